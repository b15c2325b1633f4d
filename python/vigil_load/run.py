"""One load run: a manager, the tasks fed to it, the wait with its summary
lines, and a clean end (also on Ctrl-C or SIGTERM) that leaves the
statistics.

Memory stays flat however long the run and however large the results: the
manager keeps no results (reserve=False), and every CLEAR_EVERY tasks the
feeder lets the manager run empty, keeps its statistics and clears its
records. The summary lines and the statistics add up the cleared periods.
"""

from __future__ import annotations

import contextlib
import inspect
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from types import FrameType, TracebackType
from typing import TYPE_CHECKING, Any, Final, Protocol

from .shapes import COUNTER_KEYS

if TYPE_CHECKING:
    from threads_main import VigilThreadsMain

    from .shapes import CoreStatistics, HistoryRow, Recorded, RunStatus, Steered

QUEUE_AHEAD: Final = 1000  # names the feeder keeps queued at most
FEED_EVERY: Final = 0.01  # seconds between two top-ups of the feeder
DRAIN_SECONDS: Final = 10.0  # after --duration, running tasks get this long to finish
CLEAR_EVERY = 50_000  # tasks between two clears of the manager's records
STEP: Final = 0.05  # seconds between two looks of the wait at the run and at signals
GRACE_SECONDS: Final = 3.0  # after the results are written, for tasks still running
PROGRESS_EVERY: Final = 0.5  # seconds between two reports of a worker process's counts
RECENT_ROWS: Final = 10  # rows of the cleared periods' history a live reading includes


@dataclass(frozen=True)
class Plan:
    func: Callable[..., Any]
    tasks: Sequence[Mapping[str, Any]]
    workers: int | None = None
    duration: float | None = None
    count: int | None = None  # None with no duration: each task once
    interval: float = 5.0
    rate: float | None = None
    break_result: Any = None  # None: no returned value counts as failed
    warmup: float | None = None  # seconds at the start left out of the figures
    group_by: str | None = None  # the keyword argument whose value groups the runs
    timeout: float | None = None  # seconds after which a run is stopped as failed
    # None: the feeder keeps just ahead of the manager (the worker count and
    # what it starts in two top-ups are kept queued); a number n: at most n
    # tasks queued or running, each started as one ends (n users in a
    # closed loop).
    users: int | None = None
    metrics: bool = False  # a worker's share: also send the parent its figures (--metrics)
    fresh_threads: bool = False  # a new OS thread per task instead of the manager's runners
    # Load that changes during the run: (seconds, target) stages, ramped
    # (worker counts, or with a rate starts a second), or a shape's
    # "module:function"; and how many shares the whole run's rates are
    # divided among.
    stages: list[tuple[float, float]] | None = None
    shape: str | None = None
    shares: int = 1


# The manager of the last run, for end_lingering to find its tasks' threads.
_last_manager: Any = None


class CoreTooOld(RuntimeError):
    """The threads_main in use lacks a method a run needs."""


class RunRefused(ValueError):
    """The manager refused a setting before any task was submitted."""


def check_core(plan: Plan) -> None:
    """Refuses, before anything starts, a run the installed core cannot do."""
    import threads_main

    cls = threads_main.VigilThreadsMain
    needed = ["_get_statistics", "_set_start_rate"] + [name for name, used in (
        ("_set_statistics_group", plan.group_by),
        ("_set_task_timeout", plan.timeout),
        ("_set_fresh_threads", True if plan.fresh_threads else None)) if used is not None]
    missing = [name for name in needed if not hasattr(cls, name)]
    if missing:
        raise CoreTooOld(
            f"this threads_main ({threads_main.__file__}) has no {', '.join(missing)}; "
            f"it is older than vigil_load")


def reserved_keys() -> frozenset[str]:
    """Keyword arguments a task cannot have: the manager makes each task's
    worker with the task's arguments beside its own parameters."""
    import threads_main

    try:
        params = inspect.signature(threads_main._Worker).parameters.values()
        own = {p.name for p in params
               if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    except (TypeError, ValueError):  # no signature to read
        own = {"vigil_var", "vigil_name", "vigil_log"}
    return frozenset(own | {"self"})


class Interrupted(BaseException):
    """A signal that ends the phase it came in (see Signals.interruptible):
    a BaseException, as KeyboardInterrupt is, so that no `except Exception`
    of a phase swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Signals:
    """SIGINT and SIGTERM for as long as the block lasts: the first one
    received is kept in `received`, and a run looks at it to end as Ctrl-C
    does; by default a signal is otherwise held, so that results are still
    written. Within `interruptible()` the first signal raises Interrupted
    instead, for a phase that has nothing worth finishing (reading input,
    starting a cluster, drawing a report). Outside the main thread, where
    handlers cannot be set, it does nothing."""

    def __init__(self) -> None:
        self.received: int | None = None
        self._previous: dict[int, Any] = {}
        self._raise = False
        self._raised = False

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.received is None:
            self.received = signum
        if self._raise and not self._raised:
            # Once only: what the phase's end does (closing, cleaning up)
            # is not cut short by a second signal.
            self._raised = True
            raise Interrupted(signum)

    @contextlib.contextmanager
    def interruptible(self, on: bool = True) -> Iterator[None]:
        """A signal that comes within the block raises Interrupted (with
        on=False, is held), whatever the enclosing block does. A signal
        received before the block is not raised again."""
        before, self._raise = self._raise, on
        try:
            yield
        finally:
            self._raise = before

    def __enter__(self) -> Signals:
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()


def _running(counts: RunStatus) -> int:
    return counts["run"] - counts["done"] - counts["stop"]


def _plus(a: RunStatus, b: RunStatus) -> RunStatus:
    out = a.copy()
    for key in COUNTER_KEYS:
        out[key] += b[key]
    return out


def _idle(m: VigilThreadsMain) -> bool:
    return m._get_qsize() == 0 and _running(m._get_run_status()) <= 0


def _wait_idle(m: VigilThreadsMain, seconds: float, withdraw: bool,
               give_up: Callable[[], bool] = lambda: False) -> bool:
    """Waits until nothing is queued or running; True when that came."""
    deadline = time.monotonic() + seconds
    while True:
        if withdraw and m._get_qsize():
            m._clear_queue()
        if _idle(m):
            return True
        if time.monotonic() >= deadline or give_up():
            return False
        time.sleep(0.02)


class _Ledger:
    """The counters and statistics of the periods whose records were cleared,
    so that every figure of the run covers the whole run."""

    def __init__(self, m: VigilThreadsMain) -> None:
        self.m = m
        # A clear and a reading of the counters or the statistics exclude
        # each other: a period is never counted twice or not at all.
        self.lock = threading.Lock()
        self.cleared: RunStatus | None = None  # the counters of the cleared periods
        # What the cleared periods recorded, folded into one as they end, so
        # that their histograms take the room of one; the history is kept
        # whole.
        self.folded: Recorded | None = None
        self.rows: list[HistoryRow] = []

    def clear(self) -> bool:
        """Ends a period if the manager is idle and nothing else submits; the
        manager refuses until its dispatcher has seen it idle too."""
        from .stats import check_recorded, merge_recorded

        with self.lock:
            stats, counts = self.m._get_statistics(), self.m._get_run_status()
            if not self.m._clear_record():
                return False
            self.cleared = counts if self.cleared is None else _plus(self.cleared, counts)
            recorded = check_recorded(stats)
            self.rows += recorded["history"]
            part: Recorded = {**recorded, "history": []}
            self.folded = part if self.folded is None else merge_recorded([self.folded, part])
        return True

    def pieces(self) -> list[CoreStatistics | Recorded]:
        """The run so far as parts that add up to it, unmerged and with only
        the last rows of the cleared periods' history: cheap enough to read
        while the run goes on (recorded() merges the whole history)."""
        with self.lock:
            last = self.m._get_statistics()
            if self.folded is None:
                return [last]
            cleared: Recorded = {**self.folded, "history": self.rows[-RECENT_ROWS:]}
            return [cleared, last]

    def counts(self) -> RunStatus:
        with self.lock:
            now = self.m._get_run_status()
            return now if self.cleared is None else _plus(self.cleared, now)

    def recorded(self) -> Recorded:
        """What the whole run so far recorded."""
        from .stats import check_recorded, merge_recorded, one_run

        with self.lock:
            last = check_recorded(self.m._get_statistics())
            if self.folded is None:
                return last
            # exact: counts add, histograms merge, rows of one second add
            whole = merge_recorded([{**self.folded, "history": self.rows}, last])
        # One run, the pauses for the clears included.
        return one_run(whole)


class _Feeder:
    """Submits `total` tasks (None: until stopped), cycling through the task
    list, just ahead of need: what the workers take in two top-ups, plus a
    name for each worker, stays queued (at most QUEUE_AHEAD), so that few
    names wait for a worker (their queue wait counts only from when one was
    free for them). Under a start rate what the manager's schedule owes
    (starts due and not yet made, as during a stall) stays queued too, up to
    the same bound, so the manager can catch up. Every CLEAR_EVERY tasks it
    lets the manager run empty and clears its records."""

    def __init__(self, m: VigilThreadsMain, tasks: Sequence[Mapping[str, Any]], total: int | None,
                 ledger: _Ledger, users: int | None = None, rate: float | None = None) -> None:
        self.m, self.tasks, self.total, self.ledger, self.users = m, tasks, total, ledger, users
        self.rate = rate if rate is not None and math.isfinite(rate) else None
        self.sent = 0
        self.in_period = 0
        self.level = 0  # names queued after the last top-up
        self.last = time.monotonic()  # when the last top-up was made
        # Under a rate, the names the manager's schedule has asked for (as
        # `sent` counts them), counted in floats: a rate up to the largest
        # float meets the bound, not an overflow.
        self.due = 1.0
        self.stop = threading.Event()
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="vigil-load-feeder", daemon=True)

    def _more(self) -> bool:
        return (self.total is None or self.sent < self.total) and not self.stop.is_set()

    def _ahead(self, queued: int) -> int:
        if self.users is not None:
            return self.users - queued - _running(self.m._get_run_status())
        workers = self.m._var.max_workers
        lead = workers if isinstance(workers, int) else 1
        now = time.monotonic()
        since_last, self.last = now - self.last, now
        rate = self.rate  # (read once: a steered run changes it meanwhile)
        if rate is None:
            taken = max(0, self.level - queued)  # started since the last top-up
            return min(lead + 2 * taken, QUEUE_AHEAD) - queued
        if queued == 0:
            # A manager that finds nothing queued starts its schedule again
            # from its next start; so does this count of what it owes.
            self.due = self.sent + 1.0
        else:
            self.due += rate * since_last
        lead_time = 2 * rate * max(since_last, FEED_EVERY)
        return math.floor(min(self.due + lead + lead_time - self.sent, QUEUE_AHEAD - queued))

    def set_rate(self, rate: float | None) -> None:
        """A new rate (None: none) for the names kept queued from now on."""
        if self.rate is None and rate is not None:
            self.due = self.sent + 1.0
        self.rate = rate

    def top_up(self) -> None:
        queued = self.m._get_qsize()
        room = min(self._ahead(queued), CLEAR_EVERY - self.in_period)
        while room > 0 and self._more():
            self.m._send(**self.tasks[self.sent % len(self.tasks)])
            self.sent += 1
            self.in_period += 1
            queued += 1
            room -= 1
        self.level = queued

    def _run(self) -> None:
        try:
            while self._more():
                if self.in_period >= CLEAR_EVERY:
                    if _idle(self.m) and self.ledger.clear():
                        self.in_period = 0
                    else:
                        self.stop.wait(0.02)
                    continue
                self.top_up()
                self.stop.wait(FEED_EVERY)
        except BaseException as err:  # e.g. the manager closed under it
            self.error = err

    def end(self) -> None:
        self.stop.set()
        if self.thread.is_alive():
            self.thread.join(5)

    @property
    def busy(self) -> bool:
        return self.thread.is_alive()


@dataclass(frozen=True)
class Live:
    """What the summary lines are made of, counted over the whole run so far:
    finished, failed and submitted tasks, and the run-time figures of the
    manager (ms; min_time 0 until a run finished). A worker process sends
    these to the parent, which adds them up."""

    done: int = 0
    failed: int = 0
    total: int = 0
    min_time: int = 0
    max_time: int = 0
    all_time: int = 0

    @staticmethod
    def add(parts: Sequence[Live]) -> Live:
        ran = [p.min_time for p in parts if p.done > 0]
        return Live(sum(p.done for p in parts), sum(p.failed for p in parts),
                    sum(p.total for p in parts), min(ran) if ran else 0,
                    max((p.max_time for p in parts), default=0), sum(p.all_time for p in parts))


class Log(Protocol):
    def info(self, message: object, /) -> None: ...


class Lines:
    """The pairs of summary lines in the manager's own format, through a log
    sink, counted over the whole run by `live` (the manager's counters start
    again after each clear; several processes add theirs up). The first
    interval runs from `start` (epoch seconds, default now)."""

    def __init__(self, live: Callable[[], Live], log: Log, interval: float,
                 start: float | None = None) -> None:
        self.live, self.log, self.interval = live, log, interval
        now = time.time()
        self.start = self.mark = now if start is None else start
        self.old = live()
        self.due = time.monotonic() + interval + max(0.0, self.start - now)

    def write(self) -> None:
        """The pair since the last one written, if anything finished since."""
        self.due = time.monotonic() + self.interval
        new, now = self.live(), time.time()
        dones = new.done - self.old.done
        if dones <= 0:
            return  # the next pair covers this interval too
        span, whole = now - self.mark, now - self.start
        self._pair("+", dones, span, int(span / dones), new.failed - self.old.failed,
                   new.total - self.old.total, new)
        self._pair("=", new.done, whole, int(new.all_time / new.done), new.failed, new.total, new)
        self.old, self.mark = new, now

    def _pair(self, sign: str, dones: int, length: float, avg: int, failed: int,
              submitted: int, live: Live) -> None:
        rate = round(dones / length, 1) if length > 0 else 0.0
        error = 100 * failed / submitted if submitted > 0 else 0
        clock = time.strftime("%H:%M:%S", time.gmtime(max(length, 0.0)))
        self.log.info(f"summary {sign} {dones:>6} in {clock} = {rate:>6}/s Avg: {avg:>5} "
                      f"Min: {live.min_time:>5} Max: {live.max_time:>5} Err: {failed:>5} "
                      f"({error:.2f}%)")


class _Progress:
    """In place of the lines in a worker process: its live counts handed to
    `send` every PROGRESS_EVERY seconds and once at the end."""

    def __init__(self, live: Callable[[], Live], send: Callable[[Live], None]) -> None:
        self.live, self.send = live, send
        self.due = time.monotonic()

    def write(self) -> None:
        self.due = time.monotonic() + PROGRESS_EVERY
        self.send(self.live())


def _live(m: VigilThreadsMain, ledger: _Ledger) -> Live:
    counts, var = ledger.counts(), m._var
    return Live(counts["done"], counts["failed"], counts["total"], var.min_time, var.max_time,
                var.all_time or 0)


@dataclass
class Outcome:
    recorded: Recorded  # without the warm-up, if there was one
    signal: int | None  # the signal that ended the run early, if one did
    started: float = 0.0  # epoch seconds
    warmup_end: float | None = None  # epoch seconds; None without a warm-up
    workers: int | None = None  # the manager's worker count
    steered: Steered | None = None  # a steered run's stages and the shape's failure

    @property
    def interrupted(self) -> bool:
        return self.signal is not None


class Stop(Protocol):
    """What the run looks at to end early: the number of the signal that
    ended it, or None (Signals, or a worker process's word from its parent)."""

    @property
    def received(self) -> int | None: ...


# Told the parts of a run's statistics as it starts (see _Ledger.pieces), and
# its number of workers: what --metrics serves.
type Observer = Callable[[Callable[[], list[CoreStatistics | Recorded]], int | None], None]


def execute(plan: Plan, signals: Stop | None = None,
            progress: Callable[[Live], None] | None = None,
            observe: Observer | None = None) -> Outcome:
    """Runs the plan and returns the statistics of what ran. A signal (Ctrl-C,
    SIGTERM) stops all tasks and closes the manager; the statistics are still
    returned. `signals` is the caller's, when it holds signals for longer than
    the run (while it writes the results). With `progress` the run is one
    process's share of a larger one: the live counts go to `progress` instead
    of summary lines, and the manager's messages only to `logging`.
    `observe` is told how to read the run's figures while it goes on."""
    if signals is None:
        with Signals() as own:
            return execute(plan, own, progress, observe)
    m = _open(plan, logger=progress is None)
    run = _Run(plan, m, signals, progress, observe)
    caught = run.drive()
    _close(plan, m)
    return run.outcome(caught)


def _open(plan: Plan, logger: bool) -> VigilThreadsMain:
    """The manager with the plan's settings; a setting it refuses closes it
    again and refuses the run (RunRefused), as does a core too old for it."""
    import threads_main

    global _last_manager
    m = threads_main.VigilThreadsMain(
        plan.func, max_workers=plan.workers, maximum=plan.workers is not None,
        logger=logger, reserve=False)
    _last_manager = m
    if plan.break_result is not None:
        m._var.break_result = plan.break_result  # what the manager's waits would store
    # The methods of a newer core than the stub knows are looked up by name;
    # check_core has refused a plan that needs one this core lacks.
    for option, method, value in (("--rate", "_set_start_rate", plan.rate),
                                  ("--group-by", "_set_statistics_group", plan.group_by),
                                  ("--timeout", "_set_task_timeout", plan.timeout),
                                  ("--fresh-threads", "_set_fresh_threads",
                                   True if plan.fresh_threads else None)):
        if value is None:
            continue
        try:
            getattr(m, method)(value)
        except (ValueError, TypeError, OverflowError) as err:
            m._close()
            shown = f"{value:g}" if isinstance(value, float) else value
            raise RunRefused(f"{option} {shown}: {err}") from None
    if plan.rate is None:
        # No --rate: a closed loop at full speed, each task started as soon
        # as a worker is free.
        try:
            m._set_start_rate(math.inf)
        except ValueError:
            m._close()
            raise CoreTooOld("this threads_main has no unlimited start rate; "
                             "it is older than vigil_load") from None
    return m


class _Run:
    """A run on an open manager: the feeder, the steering and the lines it
    drives, and the figures it leaves once the manager is closed."""

    def __init__(self, plan: Plan, m: VigilThreadsMain, signals: Stop,
                 progress: Callable[[Live], None] | None, observe: Observer | None) -> None:
        from .levels import steering

        self.plan, self.m, self.signals = plan, m, signals
        self.ledger = ledger = _Ledger(m)
        if observe is not None:
            observe(ledger.pieces, m._var.max_workers)
        total = None if plan.duration is not None or plan.shape is not None else (
            plan.count if plan.count is not None else len(plan.tasks))
        self.feeder = _Feeder(m, plan.tasks, total, ledger, plan.users, plan.rate)
        self.steer = steering(plan, m, self.feeder, ledger.recorded)

        def live() -> Live:
            return _live(m, ledger)

        self.lines: Lines | _Progress = (Lines(live, m._log, plan.interval) if progress is None
                                         else _Progress(live, progress))
        self.started = time.time()
        self.warm: tuple[Recorded, float] | None = None  # the figures at the end of the warm-up
        self.warm_until = None if plan.warmup is None else time.monotonic() + plan.warmup

    def _signalled(self) -> bool:
        return self.signals.received is not None

    def drive(self) -> int | None:
        """Feeds the manager and watches the run until it ends, then lets the
        runs in flight finish; the signal that ended it, if one did. On a
        failure the manager is closed before it propagates."""
        feeder = self.feeder
        try:
            submission_ended = self._wait()
            feeder.end()
            if feeder.error is not None:
                raise feeder.error
            if submission_ended and not self._signalled():
                # Withdraw what is still queued and let the runs in flight
                # finish instead of cutting them off.
                _wait_idle(self.m, DRAIN_SECONDS, withdraw=True, give_up=self._signalled)
            self.lines.write()
            caught = self.signals.received
        except KeyboardInterrupt:  # from a handler other than ours
            caught = signal.SIGINT
        except BaseException:
            feeder.end()
            self.m._close()
            raise
        feeder.end()
        return caught

    def _wait(self) -> bool:
        """The wait, with its steps, lines and warm-up snapshot, until the
        tasks, the duration or the steering ran out, a signal came or the
        feeder failed; True when submission was ended (by the duration or the
        steering) while tasks could still come."""
        feeder, steer, lines = self.feeder, self.steer, self.lines
        # The first level is set before the first task: a run may end there.
        if steer is not None and not steer.begin():
            return True
        feeder.top_up()  # work is queued before the wait looks at it
        feeder.thread.start()
        end = None if self.plan.duration is None else time.monotonic() + self.plan.duration
        while not self._signalled() and feeder.error is None:
            if end is not None:
                if time.monotonic() >= end:
                    break
            elif not feeder.busy and _idle(self.m):
                break
            if steer is not None and time.monotonic() >= steer.due and not steer.step():
                return True
            if time.monotonic() >= lines.due:
                lines.write()
            if self.warm is None and self.warm_until is not None \
                    and time.monotonic() >= self.warm_until:
                self.warm = self.ledger.recorded(), time.time()
            time.sleep(STEP if steer is None else
                       min(STEP, max(0.0, steer.due - time.monotonic())))
        return end is not None

    def outcome(self, caught: int | None) -> Outcome:
        """What the run leaves, read once the manager is closed."""
        recorded, workers = self.ledger.recorded(), self.m._var.max_workers
        steered = None if self.steer is None else self.steer.result(recorded)
        recorded, warmup_end = self._without_warmup(recorded)
        return Outcome(recorded, caught, self.started, warmup_end, workers, steered)

    def _without_warmup(self, recorded: Recorded) -> tuple[Recorded, float | None]:
        """The figures with the warm-up left out, and when it ended (None
        without one, or when it cannot be left out)."""
        if self.plan.warmup is None:
            return recorded, None
        from .stats import since

        # A run that ended within its warm-up was all warm-up.
        then, end = self.warm if self.warm is not None else (recorded, time.time())
        try:
            return since(recorded, then, end), end
        except ValueError as err:  # a snapshot the end does not contain; the results come first
            print(f"vigil_load: the warm-up could not be left out ({err}); the figures include "
                  f"it", file=sys.stderr)
            return recorded, None


def _close(plan: Plan, m: VigilThreadsMain) -> None:
    """Closes the manager and the users' instances. _close withdraws the queue
    and stops what still runs; every started run is then counted as finished
    or stopped. Should it fail, what ran is still worth writing."""
    from .users import Instances

    try:
        m._close()
    except Exception as err:
        print(f"vigil_load: closing the manager failed: {err}", file=sys.stderr)
    if isinstance(plan.func, Instances):
        plan.func.close()


def _task_threads() -> list[tuple[threading.Thread, str]]:
    """The threads of the last run's tasks that have not ended, with the
    task's name (stopped ones still unwinding included)."""
    running = getattr(_last_manager, "_get_running_threads", None)
    return [] if running is None else [(t, name) for name, t in running()]


def end_lingering(status: int, grace: float = GRACE_SECONDS) -> None:
    """Called once the results are written. A task blocked in a native call
    ignores its stop and would keep the process alive for as long as the call
    lasts; after `grace` seconds such tasks are named on stderr and the
    process ends with `status`."""
    deadline = time.monotonic() + grace
    for t, _ in _task_threads():
        t.join(max(0.0, deadline - time.monotonic()))
    left = [(t, name) for t, name in _task_threads() if t.is_alive()]
    if not left:
        return
    frames = sys._current_frames()
    shown = []
    for t, name in left[:20]:
        frame = frames.get(t.ident) if t.ident is not None else None
        where = "" if frame is None else (
            f", in {frame.f_code.co_name} at {frame.f_code.co_filename}:{frame.f_lineno}")
        shown.append(f"task {name}{where}")
    if len(left) > 20:
        shown.append(f"and {len(left) - 20} more")
    print(f"vigil_load: {len(left)} tasks still running {grace:g} s after the results were written "
          f"(a stop reaches a task only when it runs Python code again); ending the process "
          f"with status {status}:", file=sys.stderr)
    for line in shown:
        print(f"  {line}", file=sys.stderr)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
