"""The highest start rate that still passes the checks (--find-max): paced
steps of a fixed length, each a run of its own at one rate, judged by the
checks on what finished after its first seconds (its settling).

The rate grows by FACTOR a step from --rate until a step fails, then the
search narrows between the highest rate that passed and the lowest that
failed (halving the gap) until that gap is within the precision asked, or
the search's time is up. A step whose starts came late, or fewer than its
rate asked (the workers or this generator could not keep the rate), fails
as well, said as such: the answer is never a rate the target was not
really given.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

from .check import Check

if TYPE_CHECKING:
    from .run import Plan
    from .shapes import FindMax, Recorded, Statistics, Step

FACTOR: Final = 1.5  # the rate of the next step while every step passed
STEP: Final = 10.0  # default seconds a step runs
SETTLE: Final = 2.0  # default seconds at a step's start left out of its figures
PRECISION: Final = 5.0  # default: stop when the failing rate is within this % of the passing
SEARCH_TIME: Final = 600.0  # default seconds the whole search may take
# A step fails when more of its starts than this share came late: the
# workers or this generator fell behind (which makes nearly every start
# late), not a moment's stall of a loaded machine.
LATE_SHARE: Final = 0.25
MADE_SHARE: Final = 0.9  # ...or when it made fewer starts a second than this share of its rate


class Search:
    """The rates to try: up by FACTOR while every step passes, then halving
    the gap between the highest passing and the lowest failing rate."""

    def __init__(self, first: float, precision: float, factor: float = FACTOR) -> None:
        self.first, self.precision, self.factor = first, precision, factor
        self.passed: float | None = None
        self.failed: float | None = None

    def record(self, rate: float, passed: bool) -> None:
        if passed:
            self.passed = rate if self.passed is None else max(self.passed, rate)
        else:
            self.failed = rate if self.failed is None else min(self.failed, rate)

    def next(self) -> float | None:
        """The next rate to try; None once the answer is within the precision."""
        if self.failed is None:
            return self.first if self.passed is None else self.passed * self.factor
        if self.passed is None:
            return self.failed / self.factor
        if self.failed <= self.passed * (1 + self.precision / 100):
            return None
        return (self.passed + self.failed) / 2


@dataclass
class StepRun:
    """What running one step left: what it recorded (the settling left out;
    None when no worker returned anything), its start (epoch seconds), the
    signal that ended it early and the workers lost."""

    recorded: Recorded | None
    started: float
    signal: int | None = None
    lost: Sequence[str] = ()


def _made(stats: Statistics, since: float, until: float) -> tuple[float, float] | None:
    """Starts made in the whole seconds of the history from `since` to
    `until`, and those seconds; None when there is no whole second."""
    first, last = math.ceil(since), math.floor(until)
    if last <= first:
        return None
    made = sum(r["started"] for r in stats["history"] if first <= r["time"] < last)
    return made, last - first


def judge(stats: Statistics, checks: Sequence[Check], rate: float, judged_from: float,
          fed_until: float) -> tuple[bool, list[str], dict[str, float | None]]:
    """Whether a step passed, the reasons it did not, and its figures."""
    why = [f"check {c.text} not met ({c.key} = {_value(c.value(stats))})"
           for c in checks if not c.met(stats)]
    figures: dict[str, float | None] = {
        "finished": stats["finished"], "failed": stats["failed"],
        "error_rate": stats["error_rate"], "throughput": stats["throughput"],
        "late_starts": stats["late_starts"], "p50": stats["run_time"]["p50"],
        "p95": stats["run_time"]["p95"], "p99": stats["run_time"]["p99"]}
    for c in checks:
        figures[c.key] = c.value(stats)
    # (late starts count from the settling's end, as the starts asked do)
    late, asked = stats["late_starts"], rate * (fed_until - judged_from)
    if late > LATE_SHARE * max(asked, 1):
        why.append(f"{late} of the {asked:.0f} starts asked came over 10 ms late: the workers "
                   f"or this generator could not keep {rate:.4g}/s")
    started = _made(stats, judged_from, fed_until)
    if started is not None:
        made, seconds = started
        figures["starts_per_second"] = made / seconds
        if made < MADE_SHARE * rate * seconds - 1:
            why.append(f"only {made / seconds:.4g} starts a second were made of {rate:.4g}: the "
                       f"workers or this generator could not keep the rate")
    return not why, why, figures


def _value(v: float | None) -> str:
    return "no value" if v is None else f"{v:g}"


def line(step: Step) -> str:
    f = step["figures"]
    shown = ", ".join(f"{key} = {_value(f.get(key))}" for key in (
        "p95", "error_rate", "throughput", "late_starts") if key in f)
    verdict = "passed" if step["passed"] else "FAILED: " + "; ".join(step["why"])
    return f"step {step['step']} at {step['rate']:.4g}/s: {verdict} ({shown})"


def answer(found: FindMax) -> str:
    steps = {s["rate"]: s["step"] for s in found["steps"]}
    if found["rate"] is None:
        return "find-max: no rate passed every check" + (
            f" (the lowest tried: {found['failed_at']:.4g}/s)" if found["failed_at"] else "")
    above = ("" if found["failed_at"] is None else
             f"; the lowest that failed: {found['failed_at']:.4g}/s, step "
             f"{steps[found['failed_at']]}")
    return (f"find-max: the highest rate that passed every check: {found['rate']:.4g}/s "
            f"(step {steps[found['rate']]}{above})")


def search(plan: Plan, checks: Sequence[Check], run_step: Callable[[Plan], StepRun],
           say: Callable[[str], None], step: float = STEP, settle: float = SETTLE,
           precision: float = PRECISION, search_time: float = SEARCH_TIME
           ) -> tuple[FindMax, list[Recorded], StepRun | None]:
    """Runs the steps: the result, what each judged step recorded, and the
    step that ended the search early (a signal, a worker lost), if one did."""
    from .stats import summarise

    assert plan.rate is not None
    rates = Search(plan.rate, precision)
    found: FindMax = {"rate": None, "failed_at": None, "checks": [c.text for c in checks],
                      "steps": []}
    parts: list[Recorded] = []
    cut: StepRun | None = None
    began = time.monotonic()
    while (rate := rates.next()) is not None:
        if rate * (step - settle) < 1:
            say(f"find-max: stopped below {rate:.4g}/s: a step would start less than one task "
                f"after its settling")
            break
        if time.monotonic() - began + step > search_time:
            say(f"find-max: the search time ({search_time:g} s) is up")
            break
        done = run_step(dataclasses.replace(plan, rate=rate, duration=step, warmup=settle,
                                            count=None))
        if done.signal is not None or done.lost or done.recorded is None:
            cut = done  # not judged: the answer is that of the steps before
            break
        judged_from = done.started + settle
        passed, why, figures = judge(summarise(done.recorded), checks, rate, judged_from,
                                     done.started + step)
        rates.record(rate, passed)
        record: Step = {"step": len(found["steps"]) + 1, "rate": rate, "start": done.started,
                        "judged_from": judged_from, "end": done.started + step,
                        "passed": passed, "why": why, "figures": figures}
        found["steps"].append(record)
        parts.append(done.recorded)
        say(line(record))
    found["rate"], found["failed_at"] = rates.passed, rates.failed
    return found, parts, cut
