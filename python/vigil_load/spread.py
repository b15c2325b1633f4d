"""One run spread over several processes: worker processes on this machine
(`--processes N`) or the workers of a Dask cluster (`--dask ADDRESS`).

One manager is one process, and one process runs Python on one core at a
time. Each worker runs `run.execute` on its share of the plan, exactly as a
one-process run does (flat memory, periodic clears, stops), and hands back
its statistics; the parent writes the summary lines from the workers' live
counts and merges what they recorded with `stats.merge_recorded`.

The shares: each worker runs the task list in its order, cycling through
it as one process does, from an offset of its own, so that every worker
sends the whole mix in the list's order (dealing the tasks out round-robin
would give a list of alternating kinds one kind per worker). With a count,
or the list run once, the run one process would make (tasks 0, 1, 2, ...
of the list, cycled, T in all) is cut into N consecutive stretches, the
first T % N of them one task longer than T // N: worker k (from 0) starts
at position k * (T // N) + min(k, T % N), so every task runs exactly as
often as in one process, and a worker whose stretch is shorter than the
list (the list run once) runs a contiguous part of it. With a duration, the
L tasks of the list are cut the same way and worker k starts at task
k * (L // N) + min(k, L % N), cycling for the whole duration. A rate is
divided by N, and no worker is started without a task.

All workers start at one moment a little in the future, so that their
seconds of history line up; a worker that is ready late starts at once and
ends with the others.
"""

from __future__ import annotations

import dataclasses
import gc
import importlib
import logging
import math
import multiprocessing
import multiprocessing.connection
import os
import signal
import socket
import sys
import threading
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final

from . import run
from .metrics import Figures, Sender

if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from multiprocessing.process import BaseProcess

    from .shapes import Recorded, Steered

START_LEAD: Final = 2.0  # seconds from the launch to the common start: spawn and imports
DASK_LEAD: Final = 1.0  # the same on a Dask cluster, whose workers are running already
LATE: Final = 0.05  # a worker this late for the common start says so
STOP_GRACE: Final = 30.0  # after the word to stop, a worker still alive is killed
WATCH: Final = 0.5  # seconds between two looks of a Dask worker at the word to stop
BEAT: Final = 1.0  # seconds between two signs of life of a worker process or Dask share
SILENT_MIN: Final = 10.0  # seconds a worker may send nothing, at least...
SILENT_INTERVALS: Final = 3  # ...and at least this many summary intervals
PAUSED: Final = 1.0  # a longer gap in the parent's own loop is not counted as silence
EXIT_WORKER_LOST: Final = 3
DASK_HINT: Final = 'pip install "threads-main[dask]"'


def settings(plan: run.Plan) -> dict[str, Any]:
    """The plan without its callable: what a worker needs besides the target
    it imports itself."""
    return {f.name: getattr(plan, f.name) for f in dataclasses.fields(plan) if f.name != "func"}


def split(plan: run.Plan, n: int) -> list[run.Plan]:
    """The shares of at most n workers (see the module's text)."""
    if n < 1:
        raise ValueError(f"at least one worker is needed, got {n}")
    size = len(plan.tasks)
    total = None if plan.duration is not None or plan.shape is not None else (
        plan.count if plan.count is not None else size)
    if total is not None:
        n = max(1, min(n, total))
    stretch = size if total is None else total

    def start(i: int) -> int:  # stretches of stretch // n, the first stretch % n one longer
        return i * (stretch // n) + min(i, stretch % n)

    return [dataclasses.replace(
        plan,
        # the list from the worker's offset on; the feeder cycles through it
        tasks=[*plan.tasks[start(i) % size:], *plan.tasks[:start(i) % size]],
        count=None if total is None else start(i + 1) - start(i),
        rate=None if plan.rate is None else plan.rate / n,
        shares=n,
    ) for i in range(n)]


class _Stop:
    """A worker's `received`: its own signal (Ctrl-C at a terminal reaches
    the whole process group) or the parent's word."""

    def __init__(self, signals: run.Signals | None = None) -> None:
        self._signals = signals
        self.told: int | None = None

    @property
    def received(self) -> int | None:
        if self.told is not None:
            return self.told
        return None if self._signals is None else self._signals.received


def _share(number: int, target: str, share: dict[str, Any], start_at: float, stop: _Stop,
           progress: Callable[[run.Live], None],
           figures: Callable[[dict[str, Any]], None], where: str) -> dict[str, Any]:
    """A worker's run: its share of the plan from the common start. Returns
    its statistics, its last live counts and `where` it ran (for its row);
    with --metrics its figures go to `figures` as it runs and come back with
    them."""
    from .inputs import load_target

    plan = run.Plan(func=load_target(target), **share)
    while (left := start_at - time.time()) > 0 and stop.received is None:
        time.sleep(min(left, run.STEP))
    late = time.time() - start_at
    if late > LATE and stop.received is None:
        print(f"vigil_load: worker {number} started {late:.2f} s after the common start",
              file=sys.stderr, flush=True)
    if plan.duration is not None:
        # all end together
        plan = dataclasses.replace(plan, duration=max(0.0, plan.duration - max(0.0, late)))
    last: list[run.Live] = [run.Live()]

    def report(live: run.Live) -> None:
        last[0] = live
        progress(live)

    sender = Sender(figures) if plan.metrics else None
    try:
        outcome = run.execute(plan, stop, report, None if sender is None else sender.observe)
    finally:
        final = None if sender is None else sender.last()
    return {"recorded": outcome.recorded, "live": dataclasses.astuple(last[0]), "figures": final,
            "where": where, "warmup_end": outcome.warmup_end, "steered": outcome.steered}


@dataclass
class Spread:
    """What a spread run leaves: what the workers that returned their
    figures recorded, merged (None when none did), the parts by worker
    number, and a line for each worker lost."""

    recorded: Recorded | None
    parts: dict[int, Recorded]
    workers: int
    start_at: float
    lost: list[str] = field(default_factory=list)
    # The latest end of the workers' warm-ups, or None when one of them could
    # not leave its warm-up out (or there was none).
    warmup_end: float | None = None
    steered: list[Steered] = field(default_factory=list)  # the workers' steered shares

    @staticmethod
    def steered_of(results: dict[int, dict[str, Any]]) -> list[Steered]:
        return [results[n]["steered"] for n in sorted(results)
                if results[n].get("steered") is not None]

    @staticmethod
    def warmup_of(results: Sequence[dict[str, Any]]) -> float | None:
        ends: list[float | None] = [r.get("warmup_end") for r in results]
        known = [e for e in ends if e is not None]
        return max(known) if known and len(known) == len(ends) else None

    def describe(self) -> list[str]:
        lines = []
        for number in sorted(self.parts):
            s = self.parts[number]
            first = s["first_start"]
            when = "no start" if first is None else f"first start {first - self.start_at:+.3f} s"
            lines.append(f"worker {number} of {self.workers}: {s['finished']} finished, "
                         f"{s['failed']} failed, {s['stopped']} stopped, {s['cancelled']} "
                         f"cancelled; {when}")
        return lines


def _merged(results: dict[int, dict[str, Any]]) -> tuple[Recorded | None,
                                                         dict[int, Recorded]]:
    """What the workers recorded, merged, with a row per worker that
    returned its figures (None when none did), and the figures by worker
    number."""
    from .stats import check_recorded, merge_recorded, process_row

    parts = {n: check_recorded(results[n]["recorded"]) for n in sorted(results)}
    if not parts:
        return None, parts
    merged = merge_recorded(list(parts.values()))
    rows = [process_row(parts[n], n, str(results[n].get("where", ""))) for n in parts]
    return {**merged, "processes": rows}, parts


def _lost(number: int, workers: int, why: str) -> str:
    line = f"worker {number} of {workers} {why}; the results of the others are kept"
    print(f"vigil_load: {line}", file=sys.stderr, flush=True)
    return line


def _log() -> run.Log:
    # The parent's lines look like one manager's.
    import vigil_log

    return vigil_log.VigilLog(title="VigilThreads", control=True)


# -- worker processes on this machine -------------------------------------------------

class _Pipe:
    """A worker's end of its pipe: the run's messages and the beats of
    another thread go out whole, one at a time."""

    def __init__(self, conn: Connection) -> None:
        self.conn = conn
        self._lock = threading.Lock()

    def send(self, message: tuple[Any, ...]) -> None:
        with self._lock:
            try:
                self.conn.send(message)
            except OSError:  # the parent is gone; the worker stops by itself
                pass

    def beat(self) -> None:
        """Says the process lives, whatever its run is doing (a drain, a
        close), for as long as the process does."""
        while True:
            time.sleep(BEAT)
            self.send(("beat", None))


def _watch_parent(conn: Connection, stop: _Stop) -> None:
    """The parent's word to stop; the end of its pipe (it died) is one too."""
    try:
        kind, signum = conn.recv()
        stop.told = signum if kind == "stop" else signal.SIGTERM
    except (EOFError, OSError):
        stop.told = signal.SIGTERM


def _process_main(number: int, target: str, share: dict[str, Any], start_at: float,
                  conn: Connection) -> None:
    """A worker process: its share, its live counts and its statistics
    through the pipe to the parent. Its manager's messages would repeat
    those of the others: only its warnings are shown, named by the worker."""
    # Spawned, this process makes the manager's queue and locks as named
    # semaphores that the parent's resource tracker unlinks, with a warning,
    # when a worker ends with tasks still running (end_lingering); with the
    # platform's own default they are made as in a one-process run.
    multiprocessing.set_start_method(multiprocessing.get_all_start_methods()[0], force=True)
    logging.basicConfig(level=logging.WARNING,
                        format=f"%(asctime)s %(levelname)s worker {number}: %(message)s")
    pipe = _Pipe(conn)
    threading.Thread(target=pipe.beat, daemon=True, name="vigil-load-beat").start()
    with run.Signals() as signals:
        stop = _Stop(signals)
        threading.Thread(target=_watch_parent, args=(conn, stop), daemon=True,
                         name="vigil-load-parent").start()
        try:
            result = _share(number, target, share, start_at, stop,
                            lambda live: pipe.send(("live", dataclasses.astuple(live))),
                            lambda figures: pipe.send(("figures", figures)),
                            f"{socket.gethostname()} pid {os.getpid()}")
        except Exception as err:
            pipe.send(("error", f"{type(err).__name__}: {err}"))
        else:
            pipe.send(("done", result))
    run.end_lingering(0)


def silence_bound(interval: float) -> float:
    """Seconds a worker may send nothing before it is given up."""
    return max(SILENT_MIN, SILENT_INTERVALS * interval)


@dataclass
class _Process:
    number: int
    proc: BaseProcess
    conn: Connection
    heard: float  # time.monotonic() of its last message, or of the common start
    ended: bool = False
    result: dict[str, Any] | None = None
    error: str | None = None
    lost: bool = False
    given_up: bool = False  # silent too long: no longer waited for
    last: run.Live = field(default_factory=run.Live)
    figures: Figures | None = None  # its last, with --metrics

    def __post_init__(self) -> None:
        # Its own thread reads the pipe: a worker stopped halfway through a
        # long message cannot hold up the parent's loop.
        self.reader = threading.Thread(target=self._listen, daemon=True,
                                       name=f"vigil-load-worker-{self.number}")
        self.reader.start()

    @property
    def open(self) -> bool:
        return self.reader.is_alive()

    def _listen(self) -> None:
        while True:
            try:
                kind, body = self.conn.recv()
            except (EOFError, OSError):
                return
            self.heard = time.monotonic()
            if kind == "live":
                self.last = run.Live(*body)
            elif kind == "figures":
                self.figures = Figures.from_wire(body)
            elif kind == "done":
                self.result = body
                if body["figures"] is not None:  # served at once, not at the run's end
                    self.figures = Figures.from_wire(body["figures"])
            elif kind == "error":
                self.error = body

    def tell(self, message: tuple[Any, ...]) -> None:
        if self.open:
            try:
                self.conn.send(message)
            except OSError:
                pass

    def give_up(self, workers: int, silent: float) -> str | None:
        """Kills a worker that sent nothing for `silent` seconds; the line
        saying it was lost, unless its results had come."""
        self.given_up = True
        if not self.ended:
            self.proc.kill()
        if self.result is not None or self.lost:
            return None
        self.lost = True
        return _lost(self.number, workers,
                     f"sent nothing for {silent:g} s and was killed (its last counts: "
                     f"{self.last.done} finished, {self.last.failed} failed)")


def _exit_text(code: int | None) -> str:
    if code is not None and code < 0:
        try:
            return f"died with exit status {code} ({signal.Signals(-code).name})"
        except ValueError:
            pass
    return f"died with exit status {code}"


def _metrics(plan: run.Plan, watch: Callable[[Callable[[], Figures]], None] | None,
             parts: Callable[[], list[Figures]]) -> run.Plan:
    """With --metrics (`watch`), the parent serves the sum of the workers'
    figures, which they are told to send."""
    if watch is None:
        return plan
    watch(lambda: Figures.add(parts()))
    return dataclasses.replace(plan, metrics=True)


def run_processes(target: str, plan: run.Plan, n: int, signals: run.Stop,
                  watch: Callable[[Callable[[], Figures]], None] | None = None) -> Spread:
    """The plan over n worker processes (spawned) on this machine."""
    workers: list[_Process] = []
    plan = _metrics(plan, watch, lambda: [w.figures for w in workers if w.figures is not None])
    shares = split(plan, n)
    ctx = multiprocessing.get_context("spawn")
    start_at = time.time() + START_LEAD
    lost: list[str] = []
    silent = silence_bound(plan.interval)
    try:
        for number, share in enumerate(shares, 1):
            here, there = ctx.Pipe()
            proc = ctx.Process(target=_process_main, name=f"vigil_load worker {number}",
                               args=(number, target, settings(share), start_at, there))
            proc.start()
            there.close()  # the worker's end of the pipe is the worker's alone
            # Its silence is counted from the common start, by which it
            # should be up whatever the machine's load.
            up_by = time.monotonic() + max(0.0, start_at - time.time())
            workers.append(_Process(number, proc, here, up_by))
        lines = run.Lines(lambda: run.Live.add([w.last for w in workers]), _log(),
                          plan.interval, start=start_at)
        kill_at: float | None = None
        looked = time.monotonic()
        while any((w.open or not w.ended) and not w.given_up for w in workers):
            multiprocessing.connection.wait([w.proc.sentinel for w in workers if not w.ended],
                                            timeout=run.STEP)
            now = time.monotonic()
            if now - looked > PAUSED:
                # This process was stopped or starved itself: that time is
                # no worker's silence.
                for w in workers:
                    w.heard += now - looked
            looked = now
            for w in workers:
                if not w.ended and w.proc.exitcode is not None:
                    w.ended = True
                    w.proc.join()
                if w.ended and not w.open and w.result is None and not w.lost:
                    w.lost = True
                    why = (f"failed: {w.error}" if w.error is not None
                           else _exit_text(w.proc.exitcode))
                    lost.append(_lost(w.number, len(workers), why))
                if not w.given_up and (w.open or not w.ended) and now - w.heard > silent:
                    line = w.give_up(len(workers), silent)
                    if line is not None:
                        lost.append(line)
            if signals.received is not None and kill_at is None:
                for w in workers:
                    w.tell(("stop", signals.received))
                kill_at = time.monotonic() + STOP_GRACE
            if kill_at is not None and time.monotonic() > kill_at:
                kill_at = math.inf
                for w in workers:
                    if not w.ended:
                        w.proc.kill()
            if time.monotonic() >= lines.due:
                lines.write()
        for w in workers:
            if w.result is not None:  # its last counts, whatever reached us before
                w.last = run.Live(*w.result["live"])
                if w.result["figures"] is not None:
                    w.figures = Figures.from_wire(w.result["figures"])
        lines.write()
    finally:
        for w in workers:
            if w.proc.is_alive():
                w.proc.kill()
            w.proc.join()
            w.reader.join(PAUSED)
            if not w.reader.is_alive():  # else a child of the worker holds its pipe open
                w.conn.close()
    results = {w.number: w.result for w in workers if w.result is not None}
    merged, parts = _merged(results)
    return Spread(merged, parts, len(workers), start_at, lost,
                  Spread.warmup_of(list(results.values())), Spread.steered_of(results))


# -- a Dask cluster --------------------------------------------------------------------

def most_processes() -> int:
    """The most worker processes a run may start on this machine: one a
    CPU it may use (each runs Python on one core at a time, so more only
    cost memory and start-up), and two on a single CPU, so that a run split
    in two can be tried anywhere."""
    return max(2, os.process_cpu_count() or 1)


def parse_dask(text: str) -> tuple[str, int | None]:
    """`local:N` as ("local", N), anything else an address of a scheduler."""
    if text.startswith("local:"):
        number = text.removeprefix("local:")
        if not number.isdigit() or int(number) < 1:
            raise ValueError(f"--dask local:N needs a number of workers above 0, got {text!r}")
        if int(number) > most_processes():
            raise ValueError(f"--dask {text}: this machine runs at most {most_processes()} "
                             f"worker processes (one a CPU)")
        return "local", int(number)
    if not text:
        raise ValueError("--dask needs the address of a scheduler, or local:N")
    return text, None


# Run on every Dask worker before the run: compiled from text, so that the
# client sends it by value and it runs on a worker that lacks vigil_load.
_PROBE = '''
def probe(names):
    import importlib, os, sys
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())  # as the run does for the target
    missing = []
    for name in names:
        try:
            importlib.import_module(name)
        except BaseException as err:
            missing.append(f"{name} ({type(err).__name__}: {err})")
    return missing
'''


def _probe() -> Callable[[list[str]], list[str]]:
    namespace: dict[str, Any] = {"__name__": "vigil_load_probe"}
    exec(_PROBE, namespace)
    return namespace["probe"]  # type: ignore[no-any-return]


def _released(worker: Any, key: object) -> bool:
    """Whether the scheduler gave up the task `key` (its client, our parent,
    went away): the worker then marks it cancelled while it still runs."""
    try:
        task = worker.state.tasks.get(key)
        return task is None or task.state in ("cancelled", "released")
    except AttributeError:  # another version's worker: the Event alone stops the run
        return False


def _dask_main(number: int, target: str, share: dict[str, Any], start_at: float, topic: str,
               stop_name: str) -> dict[str, Any]:
    """A Dask task: one worker's share; its live counts go out as events of
    `topic`, and it stops when the Event `stop_name` is set or its client is
    gone."""
    distributed = _distributed()
    thread_state = importlib.import_module("distributed.worker").thread_state
    worker = distributed.get_worker()
    # The worker's client, taken here: the watcher's thread is no task's.
    event = distributed.Event(stop_name, client=distributed.get_client())
    key = getattr(thread_state, "key", None)
    stop, done = _Stop(), threading.Event()

    def watch() -> None:
        beat = time.monotonic()
        while not done.is_set():
            if stop.told is not None:
                done.wait(WATCH)
            else:
                try:
                    if event.wait(timeout=WATCH):
                        stop.told = signal.SIGTERM
                except Exception:  # the scheduler out of reach for a moment
                    done.wait(WATCH)
                if stop.told is None and key is not None and _released(worker, key):
                    stop.told = signal.SIGTERM
            # A sign of life, whatever the run is doing (a drain, a close).
            if time.monotonic() >= beat:
                beat = time.monotonic() + BEAT
                try:
                    worker.log_event(topic, [number])
                except Exception:  # a worker closing: its task ends with it
                    pass

    watcher = threading.Thread(target=watch, daemon=True, name="vigil-load-stop")
    watcher.start()
    try:
        return _share(number, target, share, start_at, stop,
                      lambda live: worker.log_event(topic, [number, *dataclasses.astuple(live)]),
                      lambda figures: worker.log_event(topic, [number, "figures", figures]),
                      f"Dask worker {worker.address}")
    finally:
        done.set()


def _distributed() -> Any:
    # An optional package without type information: used as Any.
    return importlib.import_module("distributed")


class DaskUnavailable(RuntimeError):
    """`--dask` without the package distributed."""


class DaskRefused(ValueError):
    """The cluster cannot take the run: unreachable, no workers, or a worker
    that cannot import what the run needs."""


def _connect(address: str) -> tuple[Any, Any]:
    try:
        distributed = _distributed()
    except ImportError:
        raise DaskUnavailable(f"--dask needs the package distributed: {DASK_HINT}") from None
    where, local = parse_dask(address)
    if local is not None:
        cluster = distributed.LocalCluster(n_workers=local, processes=True, threads_per_worker=1,
                                           dashboard_address=":0")
        return cluster, distributed.Client(cluster)
    try:
        return None, distributed.Client(where, timeout=10)
    except Exception as err:  # the comm layers raise more than OSError (TypeError for tls://)
        why = str(err)
    # The half-made client, its loop thread started, is kept alive by a cycle
    # through its exception. Collected later, its __del__ could run inside
    # another client's start, which holds the lock that closing it takes: a
    # deadlock. It is collected here, where no client holds that lock.
    gc.collect()
    raise DaskRefused(f"--dask {address}: cannot reach the scheduler: {why}")


def _addresses(client: Any) -> list[str]:
    try:
        info = client.scheduler_info(n_workers=-1)  # newer versions list only a few by default
    except TypeError:
        info = client.scheduler_info()
    return sorted(info["workers"])


def _check_workers(client: Any, target: str) -> list[str]:
    workers = _addresses(client)
    if not workers:
        raise DaskRefused("the Dask cluster has no workers")
    module = target.partition(":")[0]
    answers = client.run(_probe(), ["threads_main", "vigil_load.spread", module],
                         on_error="return")
    for address in workers:
        missing = answers.get(address)
        if isinstance(missing, BaseException):
            missing = [f"the check itself ({type(missing).__name__}: {missing})"]
        if missing:
            own = [m for m in missing if not m.startswith(f"{module} (")]
            how = ("install threads-main there (every worker needs it)" if own
                   else f"the module {module} must be importable on every worker "
                        f"(from its working directory or PYTHONPATH)")
            raise DaskRefused(f"the Dask worker {address} cannot import {missing[0]}: {how}")
    return workers


@dataclass
class DaskCluster:
    """A client of a cluster whose workers can take the run, and the
    cluster itself when the run started it (local:N); closed on leaving."""

    client: Any
    cluster: Any
    workers: list[str]

    def __enter__(self) -> DaskCluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def start_dask(address: str, target: str) -> DaskCluster:
    """A scheduler's address, or local:N for a cluster of N worker
    processes on this machine for the length of the run, with every worker
    checked for what the run needs."""
    cluster, client = _connect(address)
    held = DaskCluster(client, cluster, [])
    try:
        held.workers = _check_workers(client, target)
    except BaseException:
        held.__exit__()
        raise
    return held


def run_dask(cluster: DaskCluster, target: str, plan: run.Plan, signals: run.Stop,
             watch: Callable[[Callable[[], Figures]], None] | None = None) -> Spread:
    """The plan over the workers of a cluster, one share a worker."""
    return _on_cluster(cluster.client, cluster.workers, target, plan, signals, watch)


def _on_cluster(client: Any, workers: Sequence[str], target: str, plan: run.Plan,
                signals: run.Stop,
                watch: Callable[[Callable[[], Figures]], None] | None = None) -> Spread:
    distributed = _distributed()
    figures: dict[int, Figures] = {}
    plan = _metrics(plan, watch, lambda: list(figures.values()))
    shares = split(plan, len(workers))
    run_id = uuid.uuid4().hex[:12]
    topic, stop_name = f"vigil_load-{run_id}", f"vigil_load-stop-{run_id}"
    lives: dict[int, run.Live] = {}
    heard: dict[int, float] = {}  # time.monotonic() of a share's last event, from its first

    def hear(event: tuple[float, list[Any]]) -> None:
        # Called on the client's own thread for each event the workers log:
        # a share's number, and its live counts or figures unless it is a
        # beat.
        number, *live = event[1]
        heard[number] = time.monotonic()
        if live[:1] == ["figures"]:
            figures[number] = Figures.from_wire(live[1])
        elif live:
            lives[number] = run.Live(*live)

    client.subscribe_topic(topic, hear)
    stop = distributed.Event(stop_name, client=client)
    start_at = time.time() + DASK_LEAD
    futures = {
        number: client.submit(_dask_main, number, target, settings(share), start_at, topic,
                              stop_name, key=f"vigil_load-{run_id}-{number}",
                              workers=[address], allow_other_workers=False, pure=False)
        for number, (share, address) in enumerate(zip(shares, workers, strict=False), 1)}
    where = dict(zip(futures, workers, strict=False))
    lines = run.Lines(lambda: run.Live.add(list(lives.values())), _log(), plan.interval,
                      start=start_at)
    lost: list[str] = []
    gone: set[int] = set()
    stopped = False
    look = looked = time.monotonic()
    silent = silence_bound(plan.interval)
    final: set[int] = set()  # the shares whose last figures are served
    while any(not f.done() for n, f in futures.items() if n not in gone):
        time.sleep(run.STEP)
        for n, f in futures.items():
            # A share that has ended is served with its last figures at once,
            # not only when every share has.
            if n not in final and f.status == "finished":
                final.add(n)
                if (last_figures := f.result()["figures"]) is not None:
                    figures[n] = Figures.from_wire(last_figures)
        now = time.monotonic()
        if now - looked > PAUSED:  # this process's own pause is no share's silence
            for n in list(heard):
                heard[n] += now - looked
        looked = now
        for n, when in list(heard.items()):
            f = futures[n]
            if n not in gone and not f.done() and now - when > silent:
                # A share that has begun and then fell silent: a worker
                # stopped or frozen. Its task, released, stops its run if
                # the worker comes back.
                gone.add(n)
                f.cancel()
                last = lives.get(n, run.Live())
                lost.append(_lost(n, len(futures), f"sent nothing for {silent:g} s on "
                                                   f"{where[n]}; its task was cancelled (its last "
                                                   f"counts: {last.done} finished, {last.failed} "
                                                   f"failed)"))
        if signals.received is not None and not stopped:
            stop.set()
            stopped = True
        if time.monotonic() >= look:
            look = time.monotonic() + WATCH
            present = set(_addresses(client))
            for n, f in futures.items():
                if n not in gone and not f.done() and where[n] not in present:
                    # Its task would wait for that worker for ever.
                    gone.add(n)
                    f.cancel()
                    lost.append(_lost(n, len(futures), f"died (the Dask worker {where[n]} "
                                                       f"left the cluster)"))
        if time.monotonic() >= lines.due:
            lines.write()
    results: dict[int, dict[str, Any]] = {}
    for n, f in futures.items():
        if n in gone:
            continue
        if f.status == "finished":
            result = f.result()
            results[n] = result
            lives[n] = run.Live(*result["live"])
            if result["figures"] is not None:
                figures[n] = Figures.from_wire(result["figures"])
        else:
            err = f.exception() if f.status == "error" else f.status
            lost.append(_lost(n, len(futures), f"failed on {where[n]}: {type(err).__name__}: {err}"
                              if isinstance(err, BaseException) else f"ended {err}"))
    lines.write()
    try:
        client.unsubscribe_topic(topic)
    except ValueError:
        pass
    merged, parts = _merged(results)
    return Spread(merged, parts, len(futures), start_at, lost,
                  Spread.warmup_of(list(results.values())), Spread.steered_of(results))
