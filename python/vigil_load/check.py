"""Pass/fail conditions over a run's statistics, such as "p95<200".

Grammar (blanks allowed around the parts):

    check  := KEY OP NUMBER
    OP     := "<" | "<=" | ">" | ">=" | "=="
    NUMBER := a decimal number, optionally signed, with optional fraction
              and exponent (200, 0.5, 1e3)

KEY is one of:
    min mean p50 p90 p95 p99 p99.9 max   run time in ms (also "run_time.p95")
    queue_wait.KEY                        queue wait in ms, same keys
    error_rate                            percent of finished runs that failed
    throughput                            finished runs per second
    elapsed                               seconds from first start to last finish
    finished succeeded failed stopped cancelled   counts of runs

Nothing is evaluated as code. A check whose value is missing (a percentile
when no run finished) is not met.
"""

from __future__ import annotations

import math
import operator
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Final

from .histogram import SUMMARY_KEYS

_OPS: Final[dict[str, Callable[[float, float], bool]]] = {
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
    "==": operator.eq,
}
_TOP_KEYS: Final = (
    "error_rate", "throughput", "elapsed",
    "finished", "succeeded", "failed", "stopped", "cancelled",
)
_PATTERN: Final = re.compile(
    r"\s*(?P<key>[A-Za-z_][A-Za-z0-9_.]*)\s*(?P<op><=|>=|==|<|>)\s*"
    r"(?P<num>[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?)\s*"
)

KEYS: Final[tuple[str, ...]] = (
    SUMMARY_KEYS
    + tuple(f"run_time.{k}" for k in SUMMARY_KEYS)
    + tuple(f"queue_wait.{k}" for k in SUMMARY_KEYS)
    + _TOP_KEYS
)


class CheckError(ValueError):
    """A check expression that cannot be read."""


@dataclass(frozen=True)
class Check:
    text: str
    key: str
    op: str
    number: float

    def value(self, stats: Mapping[str, Any]) -> float | None:
        """The statistic the check looks at, None when there is none."""
        if self.key in SUMMARY_KEYS:
            raw = stats["run_time"][self.key]
        elif self.key in _TOP_KEYS:
            raw = stats[self.key]
        else:  # "run_time.p99.9": the group ends at the first dot
            group, _, name = self.key.partition(".")
            raw = stats[group][name]
        return None if raw is None else float(raw)

    def met(self, stats: Mapping[str, Any]) -> bool:
        v = self.value(stats)
        return v is not None and _OPS[self.op](v, self.number)


def parse(text: str) -> Check:
    m = _PATTERN.fullmatch(text)
    if m is None:
        raise CheckError(
            f"cannot read the check {text!r}: write KEY OP NUMBER, for instance "
            f"'p95<200', with OP one of < <= > >= =="
        )
    key = m["key"]
    if key not in KEYS:
        raise CheckError(
            f"unknown statistic {key!r} in the check {text!r}; known: "
            + " ".join((*SUMMARY_KEYS, "queue_wait.<same>", *_TOP_KEYS))
        )
    number = float(m["num"])
    if not math.isfinite(number):
        raise CheckError(f"the number in the check {text!r} is too large")
    return Check(text.strip(), key, m["op"], number)


def _show(v: float | None) -> str:
    return "no value" if v is None else f"{v:g}"


def report(checks: list[Check], stats: Mapping[str, Any]) -> tuple[list[str], bool]:
    """One line per check saying whether it is met, and whether all are."""
    lines, all_met = [], True
    for c in checks:
        ok = c.met(stats)
        all_met = all_met and ok
        lines.append(f"check {c.text}: {'met' if ok else 'NOT met'} "
                     f"({c.key} = {_show(c.value(stats))})")
    return lines, all_met
