"""One load run: a manager, the tasks fed to it, the wait with its summary
lines, and a clean end (also on Ctrl-C) that leaves the statistics."""

from __future__ import annotations

import signal
import sys
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, Protocol, cast

QUEUE_AHEAD: Final = 1000  # names kept queued by the feeder, as _send_list does
DRAIN_SECONDS: Final = 10.0  # after --duration, running tasks get this long to finish


class Manager(Protocol):
    """The part of threads_main.VigilThreadsMain a run uses."""

    def _send(self, thread_name: str | None = None, **kwargs: Any) -> bool: ...
    def _send_list(self, thread_list: list[Mapping[str, Any]]) -> None: ...
    def _join_property(self, break_result: Any, interval: float = 5) -> bool: ...
    def _get_run_status(self) -> dict[str, int]: ...
    def _get_qsize(self) -> int: ...
    def _clear_queue(self) -> bool: ...
    def _stop_all(self) -> bool: ...
    def _close(self) -> bool: ...
    def _get_statistics(self) -> dict[str, Any]: ...
    def _set_start_rate(self, per_second: float | None = None) -> None: ...


@dataclass
class Plan:
    func: Callable[..., Any]
    tasks: Sequence[Mapping[str, Any]]
    workers: int | None = None
    duration: float | None = None
    count: int | None = None  # None with no duration: each task once
    interval: float = 5.0
    rate: float | None = None
    break_result: Any = None  # None: no returned value counts as failed


class CoreTooOld(RuntimeError):
    """The threads_main in use lacks a method a run needs."""


class RunRefused(ValueError):
    """The manager refused a setting before any task was submitted."""


def check_core(plan: Plan) -> None:
    """Refuses, before anything starts, a run the installed core cannot do."""
    import threads_main

    cls = threads_main.VigilThreadsMain
    needed = ["_get_statistics"] + (["_set_start_rate"] if plan.rate is not None else [])
    missing = [name for name in needed if not hasattr(cls, name)]
    if missing:
        raise CoreTooOld(
            f"this threads_main ({threads_main.__file__}) has no {', '.join(missing)}; "
            f"it is older than vigil_load")


def _running(m: Manager) -> int:
    s = m._get_run_status()
    return s["run"] - s["done"] - s["stop"]


def _wait_idle(m: Manager, seconds: float, withdraw: bool) -> bool:
    """Waits until nothing is queued or running; True when that came."""
    deadline = time.monotonic() + seconds
    while True:
        queued = m._get_qsize()
        if withdraw and queued:
            m._clear_queue()
            queued = m._get_qsize()
        if queued == 0 and _running(m) <= 0:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)


class _Feeder:
    """Submits `total` tasks, cycling through the task list, keeping about
    QUEUE_AHEAD queued so memory stays flat however large `total` is."""

    def __init__(self, m: Manager, tasks: Sequence[Mapping[str, Any]], total: int) -> None:
        self.m, self.tasks, self.total = m, tasks, total
        self.sent = 0
        self.stop = threading.Event()
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="vigil-load-feeder", daemon=True)

    def top_up(self) -> None:
        room = QUEUE_AHEAD - self.m._get_qsize()
        while room > 0 and self.sent < self.total and not self.stop.is_set():
            self.m._send(**self.tasks[self.sent % len(self.tasks)])
            self.sent += 1
            room -= 1

    def _run(self) -> None:
        try:
            while self.sent < self.total and not self.stop.is_set():
                self.top_up()
                self.stop.wait(0.01)
        except BaseException as err:  # e.g. the manager closed under it by Ctrl-C
            self.error = err

    @property
    def busy(self) -> bool:
        return self.thread.is_alive()


@dataclass
class Outcome:
    stats: dict[str, Any]
    interrupted: bool


def execute(plan: Plan) -> Outcome:
    """Runs the plan and returns the statistics of what ran. Ctrl-C stops all
    tasks and closes the manager; the statistics are still returned."""
    import threads_main

    m = cast(Manager, threads_main.VigilThreadsMain(
        plan.func, max_workers=plan.workers, maximum=plan.workers is not None,
        logger=True, duration=plan.duration))
    interrupted = False
    feeder: _Feeder | None = None
    if plan.rate is not None:
        try:
            m._set_start_rate(plan.rate)
        except (ValueError, TypeError, OverflowError) as err:
            m._close()
            raise RunRefused(f"--rate {plan.rate:g}: {err}") from None
    try:
        if plan.duration is not None:
            m._send_list(list(plan.tasks))
            m._join_property(plan.break_result, interval=plan.interval)
            # Submission has ended: withdraw what is still queued and let the
            # runs in flight finish instead of cutting them off.
            _wait_idle(m, DRAIN_SECONDS, withdraw=True)
        else:
            total = plan.count if plan.count is not None else len(plan.tasks)
            feeder = _Feeder(m, plan.tasks, total)
            feeder.top_up()  # work is queued before the wait looks at it
            feeder.thread.start()
            while True:
                m._join_property(plan.break_result, interval=plan.interval)
                # The wait ends when the manager is idle, which a slow feeder
                # can cause in between; only the end of the feeding counts.
                if not feeder.busy and _wait_idle(m, 0, withdraw=False):
                    break
            if feeder.error is not None:
                raise feeder.error
    except KeyboardInterrupt:
        interrupted = True
    except BaseException:
        m._close()
        raise
    # One Ctrl-C is enough; a second one must not lose the results.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) \
        if threading.current_thread() is threading.main_thread() else None
    try:
        if feeder is not None:
            feeder.stop.set()
            feeder.thread.join(5)
        # _close withdraws the queue and stops what still runs; every started
        # run is then counted as finished or stopped. (Not _stop_all first: a
        # batch still submitting would refill the queue it drains, while
        # _close ends the batch before it drains.) Should it fail, what ran
        # is still worth writing.
        try:
            m._close()
        except Exception as err:
            print(f"vigil_load: closing the manager failed: {err}", file=sys.stderr)
        stats = m._get_statistics()
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    return Outcome(stats, interrupted)
