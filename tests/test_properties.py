"""Random sequences of submissions, stops, clears, re-runs and close.

Whatever order the operations come in, once everything has settled every
copy of a task that went on the queue is accounted for exactly once:
cancelled, or started and then either finished (succeeded or failed) or
stopped. The model follows only what the test thread itself asks for; the
dispatcher and the task threads run as they will.
"""
import threading
import time
import unittest
from collections import Counter
from dataclasses import dataclass

import pytest

try:
    from hypothesis import HealthCheck, event, given, settings
    from hypothesis import strategies as st
except ImportError:  # the property tests come with the test tools
    raise unittest.SkipTest("hypothesis is not installed") from None

import threads_main
from support import FakeQueue, RecordingLog, retire, wait_until
from threads_main import ManagerError

PENDING, RUNNING, DONE = "待运行", "运行中", "完成"
FAILED, STOPPED, CANCELLED = "失败", "停止", "取消"
STOPPED_TEXT = "The manager has stopped"
BREAK = "halt"  # the stored break result
LISTS = ("totals", "runs", "dones", "success", "failed", "stops", "cancels")
COUNTERS = ("total", "done", "run", "success", "failed", "stop", "cancel")


class Gate:
    """The callable of every task, and what holds the blocking ones.

    A blocking task waits until the first release after it began, or the
    final one, in short sleeps: a stop raised into its thread lands at once,
    and, striking anywhere, cannot leave a lock held that others wait on.
    """

    def __init__(self):
        self.generation = 0
        self.opened = False
        self.threads = []  # every thread the callable ran on

    def task(self, outcome, blocks):
        self.threads.append(threading.current_thread())
        if blocks:
            began = self.generation
            while self.generation == began and not self.opened:
                time.sleep(0.005)
        if outcome == "raise":
            raise ValueError("planned failure")
        return BREAK if outcome == "break" else "ok"

    def release(self):
        self.generation += 1

    def open_for_good(self):
        self.opened = True


class Recording(threads_main.VigilThreadsMain):
    """Remembers what each re-run was given to queue: the only exact source,
    since a task can fail between a separate read and the re-run."""

    def _get_failed(self):
        names = super()._get_failed()
        self.failed_answers.append(list(names))
        return names


# The operations; their reprs are what a shrunk counterexample shows.
@dataclass(frozen=True)
class Send:
    name: "str | None"
    outcome: str  # "value", "raise" or "break"
    blocks: bool  # hold until released, then end as `outcome` says


@dataclass(frozen=True)
class Stop:
    nth: "int | None"  # which task since the last clear (-1: newest); None: an unknown name
    when_running: bool  # first wait briefly for it to be running


@dataclass(frozen=True)
class StopAll:
    pass


@dataclass(frozen=True)
class ClearQueue:
    pass


@dataclass(frozen=True)
class Rerun:
    when_failed: bool  # first wait briefly for some task to have failed


@dataclass(frozen=True)
class ClearRecord:
    when_done: bool  # first wait briefly for the dispatcher to report done


@dataclass(frozen=True)
class Close:
    pass


@dataclass(frozen=True)
class Release:
    pass


@dataclass(frozen=True)
class Pause:
    ms: int


def weighted(*pairs):
    # sampled_from keeps repeats: a strategy listed n times is n times as
    # likely, and shrinking moves towards the first one
    return st.sampled_from([s for weight, s in pairs for _ in range(weight)]).flatmap(
        lambda s: s)


def sends(blocks=None, outcomes=("value", "raise", "break", "raise")):
    # "Thread_2" is also what the counter hands out, so a caller's name and a
    # generated one collide; "" and None both ask for a generated name.
    return st.builds(Send, st.sampled_from([None, "a", "", "Thread_2", "b"]),
                     st.sampled_from(outcomes), st.booleans() if blocks is None else blocks)


stops = st.builds(Stop, st.sampled_from([-1, 0, 1, None]), st.sampled_from([True, False, True]))
mixed = weighted(
    (6, sends()),
    (4, stops),
    (3, st.builds(Rerun, st.booleans())),
    (2, st.builds(Pause, st.sampled_from([5, 20, 50]))),
    (2, st.builds(ClearRecord, st.booleans())),
    (2, st.just(Release())),
    (1, st.just(StopAll())),
    (1, st.just(ClearQueue())),
    (1, st.just(Close())),
)
# Mostly held work, so stops meet running tasks, and releases race them.
held = weighted(
    (4, sends(st.just(True))),
    (4, stops),
    (2, st.just(Release())),
    (2, st.builds(Pause, st.sampled_from([5, 20]))),
    (2, st.builds(Rerun, st.booleans())),
    (1, st.just(StopAll())),
    (1, st.just(ClearQueue())),
    (1, st.builds(ClearRecord, st.booleans())),
    (1, st.just(Close())),
)

# Mostly failures, re-run again and again, some while earlier runs still hold.
failing = weighted(
    (4, sends(outcomes=("raise", "value", "raise", "break"))),
    (4, st.builds(Rerun, st.booleans())),
    (2, stops),
    (2, st.just(Release())),
    (2, st.builds(Pause, st.sampled_from([5, 20]))),
    (1, st.just(StopAll())),
    (1, st.just(ClearQueue())),
    (1, st.builds(ClearRecord, st.booleans())),
    (1, st.just(Close())),
)


def sequences(operations, first=None):
    # Some work first, so the operations after it have something to act on.
    first = sends() if first is None else first
    return st.tuples(st.lists(first, min_size=1, max_size=4),
                     st.lists(operations, min_size=1, max_size=10)).map(
        lambda parts: parts[0] + parts[1])


class Session:
    """One manager driven by one sequence, and the model of what was asked."""

    def __init__(self, case, workers):
        self.case = case
        self.gate = Gate()
        m = self.m = Recording(self.gate.task, workers)
        m._log = RecordingLog()
        m.failed_answers = []
        m._var.break_result = BREAK
        self.closed = False
        self.counter = 1  # the Thread_N counter survives a clear
        self.reset()

    def reset(self):
        # What the lists count since the last successful clear.
        self.kinds = {}  # name -> (outcome, blocks), in registration order
        self.submitted = []
        self.requeued = Counter()
        # Held tasks certainly queued or running: queued since the last
        # release, with nothing since that could have ended them.
        self.busy = set()

    # -- helpers -------------------------------------------------------
    def refused(self, call):
        with self.case.assertRaises(ManagerError) as cm:
            call()
        self.case.assertEqual(str(cm.exception), STOPPED_TEXT)

    def expected_name(self, wished):
        if wished and wished not in self.kinds:
            return wished
        while True:
            name = f"Thread_{self.counter}"
            self.counter += 1
            if name not in self.kinds:
                return name

    def lists(self):
        return {f: list(getattr(self.m._var, f)) for f in LISTS}

    def dump(self):
        v = self.m._var
        return (f"lists={self.lists()} statuses={self.m._get_all_status()} "
                f"qsize={v.queue.qsize()} done={v.done} closed={self.closed} "
                f"requeued={dict(self.requeued)}")

    # -- operations ----------------------------------------------------
    def apply(self, op):
        getattr(self, "do_" + type(op).__name__)(op)

    def do_Send(self, op):
        v, send = self.m._var, self.m._send
        if self.closed:
            before = list(v.totals)
            self.refused(lambda: send(op.name, outcome=op.outcome, blocks=op.blocks))
            self.case.assertEqual(v.totals, before)
            return
        name = self.expected_name(op.name)
        self.case.assertIs(send(op.name, outcome=op.outcome, blocks=op.blocks), True)
        self.case.assertEqual(v.totals[-1], name)
        self.kinds[name] = (op.outcome, op.blocks)
        self.submitted.append(name)
        if op.blocks:
            self.busy.add(name)

    def do_Stop(self, op):
        v = self.m._var
        known = list(self.kinds)
        inside = op.nth is not None and -len(known) <= op.nth < len(known)
        name = known[op.nth] if inside else "ghost"
        stops = list(v.stops)  # only this thread's stops append to it
        if self.closed:
            self.refused(lambda: self.m._stop(name))
            self.case.assertEqual(v.stops, stops)
            return
        if op.when_running and inside:
            wait_until(lambda: v.threads.get(name).status == RUNNING, 0.05)
        started = name in v.runs  # runs only grows until a clear
        try:
            answer = self.m._stop(name)
        except ManagerError:  # not on an open manager
            raise
        except Exception as e:
            self.case.assertIs(type(e), Exception)
            if inside:
                self.case.assertFalse(started, f"{name} had started: {e}")
                self.case.assertEqual(str(e), f"Task <{name}> not running")
            else:
                self.case.assertEqual(str(e), f"Task <{name}> does not exist")
            self.case.assertEqual(v.stops, stops, "a refused stop changed stops")
            return
        self.case.assertIs(answer, True)
        self.case.assertTrue(inside, f"the unknown {name} was accepted")
        self.case.assertIn(v.stops[len(stops):], ([], [name]))
        if len(v.stops) > len(stops):
            event("a stop met a running task")
        self.busy.discard(name)

    def do_StopAll(self, op):
        v = self.m._var
        stops, cancels = list(v.stops), list(v.cancels)
        if self.closed:
            self.refused(self.m._stop_all)
            self.case.assertEqual((v.stops, v.cancels), (stops, cancels))
            return
        self.case.assertIs(self.m._stop_all(), True)
        if len(v.stops) > len(stops):
            event("a stop-all met running tasks")
        self.busy.clear()

    def do_ClearQueue(self, op):
        v = self.m._var
        cancels = list(v.cancels)
        self.case.assertIs(self.m._clear_queue(), True)
        if self.closed:  # the close drained the queue and nothing came since
            self.case.assertEqual(v.cancels, cancels)
        elif len(v.cancels) > len(cancels):
            event("a clear of the queue cancelled tasks")
        self.busy.clear()

    def do_Rerun(self, op):
        answers = self.m.failed_answers
        calls = len(answers)
        if op.when_failed:
            wait_until(lambda: FAILED in self.m._get_all_status().values(), 0.05)
        if self.closed:
            self.refused(self.m._rerun_failed)
            self.case.assertEqual(len(answers), calls, "a closed manager looked for failures")
            return
        self.case.assertIs(self.m._rerun_failed(), True)
        self.case.assertEqual(len(answers), calls + 1)
        if answers[-1]:
            event("a re-run queued failed tasks")
        for name in answers[-1]:
            self.case.assertIn(name, self.kinds)
            outcome, blocks = self.kinds[name]
            self.case.assertEqual(outcome, "raise", f"{name} was re-queued")
            self.requeued[name] += 1
            if blocks:  # the new run holds until the next release
                self.busy.add(name)

    def do_ClearRecord(self, op):
        v = self.m._var
        if op.when_done:
            wait_until(self.m._done, 0.05)
        totals, keys = v.totals, list(v.threads.keys())
        busy = sorted(self.busy)
        answer = self.m._clear_record()
        if answer is False:
            self.case.assertIs(v.totals, totals)
            self.case.assertEqual(list(v.threads.keys()), keys)
            return
        self.case.assertIs(answer, True)
        self.case.assertEqual(busy, [], "records cleared while these were queued or running")
        self.case.assertEqual(list(v.threads.keys()), [])
        self.case.assertEqual(self.lists(), {f: [] for f in LISTS})
        event("records cleared between operations")
        self.reset()

    def do_Close(self, op):
        if self.closed:
            self.refused(self.m._close)
            return
        self.case.assertIs(self.m._close(), True)
        self.closed = True
        self.busy.clear()

    def do_Release(self, op):
        self.gate.release()
        self.busy.clear()

    def do_Pause(self, op):
        time.sleep(op.ms / 1000)

    # -- the end of a sequence -----------------------------------------
    def settle(self, timeout=60.0):
        """Releases everything and waits until nothing is queued or running
        and the lists have stopped moving."""
        self.gate.open_for_good()
        v = self.m._var

        def state():
            return (v.queue.qsize(), *(len(getattr(v, f)) for f in LISTS), v.done)

        def quiet(s):
            queued, _, runs, dones, _, _, stops, _, done = s
            return (queued == 0 and runs - dones - stops <= 0
                    and not any(t.is_alive() for t in self.gate.threads)
                    # an open dispatcher marks a finished burst done
                    and (self.closed or runs == 0 or done is True))

        deadline = time.monotonic() + timeout
        last, steady = None, 0
        while time.monotonic() < deadline:
            s = state()
            steady = steady + 1 if quiet(s) and s == last else 0
            if steady >= 3:
                return
            last = s
            time.sleep(0.02)
        self.case.fail("work did not settle: " + self.dump())

    def check(self):
        case, v = self.case, self.m._var
        lists = self.lists()
        n = {f: Counter(names) for f, names in lists.items()}
        case.assertEqual(lists["totals"], self.submitted)
        for f, names in lists.items():
            case.assertLessEqual(set(names), set(self.kinds), f"{f} holds unknown names")
        for name in self.kinds:
            case.assertEqual(n["runs"][name], n["dones"][name] + n["stops"][name],
                             f"{name}: started = finished + stopped")
            case.assertEqual(n["dones"][name], n["success"][name] + n["failed"][name],
                             f"{name}: finished = succeeded + failed")
            case.assertEqual(n["runs"][name] + n["cancels"][name], 1 + self.requeued[name],
                             f"{name}: runs + cancellations = 1 + re-queues")
        case.assertEqual(len(lists["totals"]),
                         len(lists["success"]) + len(lists["failed"]) + len(lists["stops"])
                         + len(lists["cancels"]) - sum(self.requeued.values()),
                         "totals = succeeded + failed + stopped + cancelled - re-queues")

        case.assertEqual(list(v.threads.keys()), list(self.kinds))
        for name, (outcome, _) in self.kinds.items():
            # only a plain value succeeds; a raise or the break result fails
            case.assertEqual(n["failed" if outcome == "value" else "success"][name], 0, name)
            rec = v.threads.get(name)
            status = rec.status
            case.assertNotIn(status, (PENDING, RUNNING), name)
            if status == CANCELLED:
                case.assertIn(name, n["cancels"])
            elif status == STOPPED:
                case.assertIn(name, n["stops"])
            else:
                case.assertIn(name, n["dones"])
                case.assertEqual(status, FAILED if outcome == "raise" else DONE, name)
                if outcome == "raise":
                    case.assertIsInstance(rec.result, ValueError, name)
                else:
                    case.assertEqual(rec.result, BREAK if outcome == "break" else "ok", name)
            # With at most one re-queue the copies ran one after the other,
            # so the record tells how the last one ended.
            if self.requeued[name] <= 1:
                last = (CANCELLED if name in n["cancels"] else STOPPED if name in n["stops"]
                        else FAILED if outcome == "raise" else DONE)
                case.assertEqual(status, last, name)
                if status != CANCELLED:
                    case.assertIsNone(rec.thread, name)
        if any(count > 1 for count in n["runs"].values()):
            event("a task ran more than once")

        if not self.closed and lists["runs"]:
            # A settled manager that has run something can always be cleared.
            case.assertIs(self.m._clear_record(), True)
            case.assertEqual(self.m._get_run_status(), dict.fromkeys(COUNTERS, 0))


def examples(n):
    # Each example runs real threads for tens of milliseconds; the example
    # database would be written beside the tests.
    return settings(max_examples=n, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


class Bookkeeping(unittest.TestCase):
    def run_sequence(self, workers, ops):
        before = set(threading.enumerate())
        session = Session(self, workers)
        try:
            for op in ops:
                session.apply(op)
            session.settle()
            event(f"closed: {session.closed}")
            session.check()
        finally:
            session.gate.open_for_good()
            retire(session.m)

        def left():
            return set(threading.enumerate()) - before

        self.assertTrue(wait_until(lambda: not left(), 5), f"threads left: {left()}")

    @pytest.mark.slow
    @examples(90)
    @given(workers=st.sampled_from([1, 2, 3]), ops=sequences(mixed))
    def test_every_copy_is_counted_once(self, workers, ops):
        self.run_sequence(workers, ops)

    @examples(50)
    @given(workers=st.sampled_from([1, 2]), ops=sequences(held, sends(st.just(True))))
    def test_stops_against_held_and_released_work(self, workers, ops):
        self.run_sequence(workers, ops)

    @examples(50)
    @given(workers=st.sampled_from([1, 2, 3]),
           ops=sequences(failing, sends(outcomes=("raise",))))
    def test_failures_run_again(self, workers, ops):
        self.run_sequence(workers, ops)


class HeldTake(FakeQueue):
    """Holds the first name the dispatcher takes until the test lets it go
    (`go`), as a switch of the interpreter lock inside
    multiprocessing.Queue.get, after the name has left the queue, can."""

    def __init__(self, m):
        self.dispatcher = m._var.thread_init
        self.taken, self.go, self.handed = threading.Event(), threading.Event(), threading.Event()
        super().__init__(m)  # in place from here on

    def get(self, *args, **kwargs):
        name = self.real.get(*args, **kwargs)
        if threading.current_thread() is self.dispatcher and not self.taken.is_set():
            self.taken.set()
            self.go.wait(30)
            self.handed.set()
        return name


class TakenNotYetListed(unittest.TestCase):
    """The moment between the dispatcher taking a name off the queue and
    listing it in runs, when the task is neither queued nor running: a close
    or a clear of the records then must not lose it."""

    def manager(self):
        m = threads_main.VigilThreadsMain(lambda: "ok", 1)
        m._log = RecordingLog()
        self.addCleanup(retire, m)
        return m

    def test_close(self):
        # (Should a close's SystemExit still end the dispatcher, the threading
        # library's own hook passes over it; so does this one.)
        hook = threading.excepthook
        threading.excepthook = lambda args: args.exc_type is SystemExit or hook(args)
        self.addCleanup(setattr, threading, "excepthook", hook)
        m = self.manager()
        take = HeldTake(m)
        self.addCleanup(take.go.set)
        m._send("x")
        self.assertTrue(take.taken.wait(30))
        self.assertIs(m._close(), True)
        take.go.set()
        m._var.thread_init.join(30)
        v = m._var
        # The name taken as the manager closed is withdrawn, not lost.
        self.assertEqual(v.runs.count("x") + v.cancels.count("x"), 1, m._get_all_status())
        self.assertEqual(m._get_status("x"), {"x": "取消"})

    def test_clear_record(self):
        m = self.manager()
        m._send("first")
        self.assertTrue(wait_until(m._done))
        take = HeldTake(m)
        self.addCleanup(take.go.set)
        m._send("second")
        self.assertTrue(take.taken.wait(30))
        answer = m._clear_record()
        take.go.set()
        self.assertTrue(take.handed.wait(30))
        self.assertIs(answer, False)


if __name__ == "__main__":
    unittest.main()
