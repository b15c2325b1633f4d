"""Pass/fail conditions over a run's statistics, such as "p95<200".

Grammar (blanks allowed around the parts):

    check  := KEY OP NUMBER
    OP     := "<" | "<=" | ">" | ">=" | "=="
    NUMBER := a decimal number, optionally signed, with optional fraction
              and exponent (200, 0.5, 1e3)

KEY is one of:
    min mean p50 p90 p95 p99 p99.9 max   run time in ms (also "run_time.p95")
    queue_wait.KEY                        queue wait in ms, same keys
    latency.KEY                           latency (end minus intended start) in ms
    error_rate                            percent of finished runs that failed
    submitted_error_rate                  percent of submitted tasks that failed
                                          (the summary lines' Err %)
    throughput                            finished runs per second
    elapsed                               seconds from first start to last finish
    finished succeeded failed stopped cancelled   counts of runs
    late_starts                           starts more than a pass behind schedule

Nothing is evaluated as code. A check whose value is missing (a percentile
when no run finished) is not met.
"""

from __future__ import annotations

import difflib
import math
import operator
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

from .shapes import FIGURE_KEYS, LATENCY_KEYS, FigureKey, LatencyGroup, LatencyKey

if TYPE_CHECKING:
    from .shapes import Statistics

_OPS: Final[dict[str, Callable[[float, float], bool]]] = {
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
    "==": operator.eq,
}
_PATTERN: Final = re.compile(
    r"\s*(?P<key>[^\s<>=]+)\s*(?P<op><=|>=|==|<|>)\s*"
    r"(?P<num>[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?)\s*"
)

Reader = Callable[["Statistics"], "float | None"]


def _latency(group: LatencyGroup, key: LatencyKey) -> Reader:
    return lambda stats: stats[group][key]


def _figure(key: FigureKey) -> Reader:
    return lambda stats: stats[key]


# What each key of a check reads, in the order the help lists them.
_READERS: Final[dict[str, Reader]] = {
    **{k: _latency("run_time", k) for k in LATENCY_KEYS},
    **{f"run_time.{k}": _latency("run_time", k) for k in LATENCY_KEYS},
    **{f"queue_wait.{k}": _latency("queue_wait", k) for k in LATENCY_KEYS},
    **{f"latency.{k}": _latency("latency", k) for k in LATENCY_KEYS},
    **{k: _figure(k) for k in FIGURE_KEYS},
}
KEYS: Final[tuple[str, ...]] = tuple(_READERS)


class CheckError(ValueError):
    """A check expression that cannot be read."""


@dataclass(frozen=True)
class Check:
    text: str
    key: str
    op: str
    number: float

    def value(self, stats: Statistics) -> float | None:
        """The statistic the check looks at, None when there is none."""
        raw = _READERS[self.key](stats)
        return None if raw is None else float(raw)

    def met(self, stats: Statistics) -> bool:
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
        # A figure written the way people say it ("error-rate") is named,
        # with the nearest known key and the whole list.
        near = difflib.get_close_matches(key.replace("-", "_").lower(), KEYS, n=1)
        raise CheckError(
            f"unknown statistic {key!r} in the check {text!r}"
            + (f" (did you mean {near[0]}?)" if near else "") + "; known: "
            + " ".join((*LATENCY_KEYS, "queue_wait.<same>", "latency.<same>", *FIGURE_KEYS))
        )
    number = float(m["num"])
    if not math.isfinite(number):
        raise CheckError(f"the number in the check {text!r} is too large")
    return Check(text.strip(), key, m["op"], number)


def _show(v: float | None) -> str:
    return "no value" if v is None else f"{v:g}"


def report(checks: list[Check], stats: Statistics) -> tuple[list[str], bool]:
    """One line per check saying whether it is met, and whether all are."""
    lines, all_met = [], True
    for c in checks:
        ok = c.met(stats)
        all_met = all_met and ok
        lines.append(f"check {c.text}: {'met' if ok else 'NOT met'} "
                     f"({c.key} = {_show(c.value(stats))})")
    return lines, all_met
