"""Load that changes while a run goes on: stages ramped linearly from one
target to the next (`--stages 30s:10,1m:10,30s:0`), or a shape of the
user's (`--shape module:function`) asked about once a second.

A level is the manager's worker count and its start rate. Stages set the
worker count of a closed loop, or with --rate the rate. A ramp sets its
level once a second, to the ramp's mean over that second (a worker count
rounded), so the pace the manager keeps from one rate to the next (a new
rate carries its schedule on) adds up to the ramp's. Lowering the worker
count stops no call: the manager starts none until fewer run.

In a run spread over processes each share steers its own manager from the
common start: a rate is divided among the shares as --rate is, a worker
count applies to each share as --workers does, and a shape is asked by each
share with that share's statistics.
"""

from __future__ import annotations

import inspect
import math
import re
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Literal, Protocol

if TYPE_CHECKING:
    from threads_main import VigilThreadsMain

    from .run import Plan
    from .shapes import Recorded, StageFigures, StageRun, Statistics, Steered

SECOND: Final = 1.0  # a ramp or a shape sets the level once a second
# What a rate of 0 is set as: the next start 11 days off, which holds the
# starts without ending the schedule.
MIN_RATE: Final = 1e-6
UNITS: Final = {"s": 1.0, "m": 60.0, "h": 3600.0}
_DURATION: Final = re.compile(r"(\d+(?:\.\d*)?|\.\d+)([smh])")
EXAMPLE: Final = "30s:10,1m:10,30s:0"

Kind = Literal["workers", "rate"]


class StagesError(ValueError):
    """Stages that cannot be read."""


def parse_stages(text: str, kind: Kind) -> list[tuple[float, float]]:
    """(seconds, target) of each stage of DURATION:TARGET,... ; worker
    counts are whole numbers."""
    stages = []
    for n, part in enumerate(text.split(","), 1):
        duration, sep, target = part.strip().partition(":")
        m = _DURATION.fullmatch(duration.strip())
        if not sep or m is None:
            raise StagesError(f"stage {n} ({part.strip()!r}) must be DURATION:TARGET with the "
                              f"duration in s, m or h, e.g. {EXAMPLE}")
        try:
            value = float(target) if kind == "rate" else int(target)
        except ValueError:
            noun = "a number of starts a second" if kind == "rate" else "a whole number of workers"
            raise StagesError(f"stage {n} ({part.strip()!r}): the target must be {noun}") from None
        if not math.isfinite(value) or value < 0:
            raise StagesError(f"stage {n} ({part.strip()!r}): the target must be 0 or more")
        stages.append((float(m[1]) * UNITS[m[2]], float(value)))
    if sum(d for d, _ in stages) <= 0:
        raise StagesError("the stages last 0 s in all")
    return stages


def shown(stages: Sequence[tuple[float, float]]) -> str:
    return ",".join(f"{d:g}s:{t:g}" for d, t in stages)


@dataclass(frozen=True)
class Level:
    """A worker count and a start rate (math.inf: a closed loop); None
    leaves either as it is."""

    workers: int | None = None
    rate: float | None = None


class Ramp:
    """Stages ramped linearly, each from the target before it (the first
    from `start`), a level a second; targets are the whole run's, a share's
    rate is its part of them."""

    def __init__(self, stages: Sequence[tuple[float, float]], kind: Kind, start: float,
                 shares: int = 1) -> None:
        self.stages, self.kind, self.shares = list(stages), kind, shares
        self.begins = [sum(d for d, _ in self.stages[:i]) for i in range(len(self.stages))]
        self.froms = [start, *(t for _, t in self.stages[:-1])]
        self.end = sum(d for d, _ in self.stages)

    def stage(self, t: float) -> int | None:
        """The stage under way at t seconds (a stage of 0 s never is)."""
        for i, (d, _) in enumerate(self.stages):
            if self.begins[i] <= t < self.begins[i] + d:
                return i
        return None

    def level(self, t: float) -> tuple[Level, float]:
        """The level from t seconds on, and when the next one is due."""
        i = self.stage(t)
        if i is None:  # over: the last target holds until the run ends
            return self._level(self.stages[-1][1]), math.inf
        d, target = self.stages[i]
        begin, start = self.begins[i], self.froms[i]
        first = begin + math.floor((t - begin) / SECOND) * SECOND
        last = min(first + SECOND, begin + d)
        middle = ((first + last) / 2 - begin) / d
        return self._level(start + (target - start) * middle), last

    def _level(self, value: float) -> Level:
        if self.kind == "workers":
            return Level(workers=math.floor(value + 0.5))
        return Level(rate=value / self.shares)


class ShapeFailed(Exception):
    """The shape raised, or returned something that is no level; the text
    is what stderr shows."""


class Shape:
    """The user's function: f(seconds) or f(seconds, statistics), returning
    (workers, rate) or None to end the run."""

    def __init__(self, func: Callable[..., Any], name: str, shares: int = 1) -> None:
        self.func, self.name, self.shares = func, name, shares
        try:
            inspect.signature(func).bind(0.0, {})
            self.with_stats = True
        except TypeError:
            self.with_stats = False
        except ValueError:  # no signature to read
            self.with_stats = False

    def level(self, t: float, stats: Callable[[], Statistics]) -> Level | None:
        try:
            value = self.func(t, stats()) if self.with_stats else self.func(t)
        except Exception as err:
            # The traceback from the shape's own frame on.
            shown = traceback.format_exception(type(err), err, err.__traceback__.tb_next
                                               if err.__traceback__ is not None else None)
            raise ShapeFailed(f"the shape {self.name} raised at {t:.1f} s:\n"
                              f"{''.join(shown).rstrip()}") from None
        if value is None:
            return None
        if not (isinstance(value, (tuple, list)) and len(value) == 2):
            raise ShapeFailed(f"the shape {self.name} returned {value!r} at {t:.1f} s; it must "
                              f"return (workers, rate) or None")
        workers, rate = value
        if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                    or workers < 0):
            raise ShapeFailed(f"the shape {self.name} returned {value!r} at {t:.1f} s; the "
                              f"workers must be a whole number from 0 up, or None")
        if rate is not None and (isinstance(rate, bool) or not isinstance(rate, (int, float))
                                 or not rate >= 0):
            raise ShapeFailed(f"the shape {self.name} returned {value!r} at {t:.1f} s; the rate "
                              f"must be a number from 0 up (math.inf: a closed loop), or None")
        return Level(workers, None if rate is None else float(rate) / self.shares)


class Manager(Protocol):
    def _set_max_workers(self, workers_number: float | None = ...,
                         maximum: bool = ...) -> bool: ...

    def _set_start_rate(self, per_second: float | None = ...) -> bool: ...


class Feeder(Protocol):
    users: int | None

    def set_rate(self, rate: float | None) -> None: ...


class Steering:
    """Sets the levels of a ramp or a shape on a manager and its feeder at
    the times they are due (on `clock`), and keeps the statistics at the
    start of each stage (from `snapshot`) for the stages' own figures."""

    def __init__(self, source: Ramp | Shape, m: Manager, feeder: Feeder,
                 snapshot: Callable[[], Recorded], workers: int | None, rate: float | None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.source, self.m, self.feeder, self.snapshot = source, m, feeder, snapshot
        self.workers, self.rate = workers, math.inf if rate is None else rate
        self.clock = clock
        self.t0 = 0.0
        self.due = math.inf
        self.error: str | None = None
        self.starts: list[tuple[int, float, Recorded]] = []  # stage, epoch, figures then

    def begin(self) -> bool:
        """The first level, before the first task; False when the run is
        not to begin (the shape ended it or failed)."""
        self.t0 = self.clock()
        self.due = self.t0
        return self.step()

    def step(self) -> bool:
        """Sets the level due now; False when the run is to end."""
        t = self.clock() - self.t0
        if isinstance(self.source, Shape):
            try:
                level = self.source.level(t, self.statistics)
            except ShapeFailed as err:
                self.error = str(err)
                return False
            if level is None:
                return False
            while self.due <= self.clock():
                self.due += SECOND
        else:
            stage = self.source.stage(t)
            if stage is not None and (not self.starts or self.starts[-1][0] != stage):
                # (without its history, which a stage's figures do not use:
                # memory stays flat however many stages)
                self.starts.append((stage, time.time(), {**self.snapshot(), "history": []}))
            level, due = self.source.level(t)
            self.due = self.t0 + due
        self._apply(level)
        return True

    def statistics(self) -> Statistics:
        """The statistics of the run so far, as a shape is given them."""
        from .stats import summarise

        return summarise(self.snapshot())

    def _apply(self, level: Level) -> None:
        if level.workers is not None and level.workers != self.workers:
            self.m._set_max_workers(level.workers, True)
            self.workers = level.workers
            if self.feeder.users is not None:  # a closed loop of users follows
                self.feeder.users = level.workers
        if level.rate is not None and level.rate != self.rate:
            paced = math.isfinite(level.rate)
            self.m._set_start_rate(max(level.rate, MIN_RATE) if paced else math.inf)
            self.feeder.set_rate(level.rate if paced else None)
            self.rate = level.rate

    def result(self, final: Recorded) -> Steered:
        """What the run's stages measured, each from its start to the next
        (the last to `final`), and the shape's failure."""
        from .stats import since

        runs: list[StageRun] = []
        if isinstance(self.source, Ramp):
            ends = [s for _, _, s in self.starts[1:]] + [final]
            for (i, epoch, then), now in zip(self.starts, ends, strict=True):
                d, target = self.source.stages[i]
                try:
                    window = since(now, then, epoch)
                except ValueError:  # not an earlier moment of this run: no figures to give
                    continue
                runs.append({"stage": i + 1, "start": epoch, "seconds": d,
                             "from": self.source.froms[i], "to": target,
                             "kind": self.source.kind, "window": {**window, "history": []}})
        return {"stages": runs, "error": self.error}


def steering(plan: Plan, m: VigilThreadsMain, feeder: Feeder,
             snapshot: Callable[[], Recorded]) -> Steering | None:
    """The steering of a plan with stages or a shape; None without."""
    source: Ramp | Shape
    if plan.stages is not None:
        if plan.rate is not None:
            source = Ramp(plan.stages, "rate", plan.rate * plan.shares, plan.shares)
        else:
            source = Ramp(plan.stages, "workers", 0.0)
    elif plan.shape is not None:
        from .inputs import find

        source = Shape(find(plan.shape), plan.shape, plan.shares)
    else:
        return None
    return Steering(source, m, feeder, snapshot, m._var.max_workers, plan.rate)


def stage_figures(parts: Sequence[Steered]) -> list[StageFigures]:
    """The stages of a run's shares as one: each stage's figures from its
    windows in every share, merged."""
    from .stats import check_recorded, merge_recorded, summarise

    by_stage: dict[int, list[StageRun]] = {}
    for part in parts:
        for run in part["stages"]:
            by_stage.setdefault(run["stage"], []).append(run)
    out: list[StageFigures] = []
    for n in sorted(by_stage):
        runs = by_stage[n]
        s = summarise(merge_recorded([check_recorded(r["window"]) for r in runs]))
        first = runs[0]
        out.append({"stage": n, "start": min(r["start"] for r in runs),
                    "seconds": first["seconds"], "kind": first["kind"],
                    "from": first["from"], "to": first["to"],
                    "finished": s["finished"], "failed": s["failed"],
                    "error_rate": s["error_rate"], "throughput": s["throughput"],
                    "late_starts": s["late_starts"], "run_time": s["run_time"],
                    "latency": s["latency"]})
    return out
