"""Construction, worker count and the dispatcher."""
import contextlib
import json
import math
import multiprocessing
import queue
import signal
import subprocess
import sys
import threading
import time
import unittest
from unittest import mock

import threads_main
from support import FakeQueue, ManagerCase, RecordingLog, retire, wait_until
from threads_main import ManagerError, VigilThreadsMain

STOPPED = "The manager has stopped"


class ModuleShape(unittest.TestCase):
    def test_exports_and_classes(self):
        names = [n for n in vars(threads_main) if n in
                 ("VigilThreadsMain", "_Worker", "ManagerError")]
        self.assertEqual(names, ["VigilThreadsMain", "_Worker", "ManagerError"])
        self.assertEqual(VigilThreadsMain.__mro__, (VigilThreadsMain, object))
        self.assertEqual(threads_main._Worker.__mro__, (threads_main._Worker, object))
        self.assertTrue(issubclass(ManagerError, Exception))
        self.assertEqual(str(ManagerError("msg")), "msg")

    def test_import_needs_both_collaborators(self):
        for missing in ("vigil_log", "vigil_var"):
            code = (f"import sys; sys.modules[{missing!r}] = None\n"
                    "try:\n    import threads_main\nexcept ImportError:\n"
                    "    print('refused')\n")
            out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                                 text=True, timeout=60)
            self.assertEqual(out.stdout.strip(), "refused", out.stderr)

    def test_signatures(self):
        import inspect
        self.assertEqual(
            str(inspect.signature(VigilThreadsMain)),
            "(func, max_workers=None, maximum=False, logfile=False, logger=False, "
            "reserve=True, duration=None)")
        for name in ("_send", "_set_max_workers", "_check_max_workers", "_consumer",
                     "_get_qsize", "_done", "_check_while", "_start", "_queue_init"):
            meth = getattr(VigilThreadsMain, name)
            self.assertTrue(meth.__doc__, name)
            inspect.signature(meth)
        self.assertEqual(str(inspect.signature(VigilThreadsMain._send)),
                         "(self, /, thread_name=None, **kwargs)")

    def test_help_lists_the_api(self):
        # help() hides names with a leading underscore, so the class text
        # is where a reader finds the methods: every one of them, by group.
        import pydoc
        import re
        text = pydoc.render_doc(VigilThreadsMain, renderer=pydoc.plaintext)
        for group in ("Submission", "Settings", "Waits", "Queries", "Stopping and closing",
                      "Internals"):
            self.assertIn(group, text)
        methods = {name for name, value in vars(VigilThreadsMain).items()
                   if re.fullmatch(r"_[a-z]\w*", name) and callable(getattr(VigilThreadsMain, name))}
        named = set(re.findall(r"(?<![\w.])(_[a-z_]+)\(", VigilThreadsMain.__doc__))
        self.assertLessEqual(methods - named, set())  # each method is listed...
        self.assertLessEqual(named - methods, set())  # ...and each name listed is a method
        self.assertIn("_get_statistics", methods)


class Construction(ManagerCase, unittest.TestCase):
    def test_initial_fields(self):
        def f():
            return None

        m = self.make(f, log=False)
        self.assertEqual(list(vars(m)), ["_log", "_var"])
        v = m._var
        self.assertIs(v.func, f)
        self.assertIsInstance(v.queue, type(multiprocessing.Queue()))
        self.assertIsInstance(v.lock, type(multiprocessing.Lock()))
        self.assertIs(v.reserve, True)
        self.assertIsNone(v.duration)
        self.assertIs(v.switch, True)
        self.assertIs(v.stop_switch, False)
        self.assertEqual(list(v.threads.keys()), [])
        self.assertIs(v.is_run, False)
        self.assertIs(v.done, False)
        self.assertEqual((v.name, v.min_time, v.max_time, v.all_time), (1, 0, 0, 0))
        lists = [v.totals, v.runs, v.stops, v.cancels, v.dones, v.success,
                 v.failed, v.start_time, v.end_time]
        self.assertTrue(all(x == [] for x in lists))
        self.assertEqual(len({id(x) for x in lists}), len(lists))
        self.assertIsInstance(v.thread_init, threading.Thread)
        self.assertTrue(v.thread_init.is_alive())
        self.assertFalse(v.thread_init.daemon)
        self.assertFalse(v.break_result)
        self.assertEqual(m._get_qsize(), 0)
        self.assertIs(m._done(), False)

    def test_options_are_stored(self):
        m = self.make(print, 3, False, False, False, 0, 2.5, log=False)
        self.assertEqual((m._var.max_workers, m._var.reserve, m._var.duration),
                         (3, 0, 2.5))
        with self.assertRaises(TypeError):
            VigilThreadsMain()
        with self.assertRaises(TypeError):
            VigilThreadsMain(print, nonsense=1)
        with self.assertRaises(TypeError):
            VigilThreadsMain(print, 1, 2, 3, 4, 5, 6, 7)

    def test_subclass(self):
        class Mine(VigilThreadsMain):
            def __init__(self, f):
                super().__init__(f, max_workers=2)
                self.extra = 1

        m = Mine(print)
        self.addCleanup(lambda: setattr(m._var, "switch", False))
        self.assertEqual((m._var.max_workers, m.extra), (2, 1))


class WorkerCount(ManagerCase, unittest.TestCase):
    def count(self, *args, cpus=8):
        with mock.patch("os.cpu_count", return_value=cpus):
            m = self.make(print, *args, log=False)
        return m._var.max_workers

    def test_rule(self):
        self.assertEqual(self.count(), 12)
        self.assertEqual(self.count(cpus=64), 30)
        self.assertEqual(self.count(cpus=26), 30)
        self.assertEqual(self.count(cpus=25), 29)
        self.assertEqual(self.count(cpus=None), 5)
        self.assertEqual(self.count(cpus=0), 5)
        for wish, expected in [(8, 8), (29, 29), (30, 30), (100, 30)]:
            self.assertEqual(self.count(wish), expected)
        for bad in (0, -1, -3, 2.5, "4", [4]):
            self.assertEqual(self.count(bad), 12, bad)
        self.assertIs(self.count(True), True)
        self.assertEqual(self.count(100, True), 100)
        self.assertEqual(self.count(None, True, cpus=64), 68)
        # maximum keeps any number as given, 0 and negatives included (they
        # hold the queue) ...
        for wish in (0, -2, 2.5, 1000):
            self.assertEqual(self.count(wish, True), wish)

    def test_count_that_is_not_a_number_is_refused_with_maximum(self):
        # ... but a count that is no number (say, read from a configuration
        # file as text) could never be compared with the running count: the
        # dispatcher would start nothing and _join would wait in silence.
        for bad in ("10", "x", [4], b"4"):
            with self.assertRaises(TypeError) as cm:
                VigilThreadsMain(print, bad, True)
            self.assertIn("worker count must be an int, a float or None", str(cm.exception))
            self.assertIn(type(bad).__name__, str(cm.exception))
        m = self.make(print, 4, True)
        for bad in ("10", object()):
            with self.assertRaises(TypeError):
                m._set_max_workers(bad, True)
            self.assertEqual(m._var.max_workers, 4)
        self.assertEqual(m._log.messages(), [])
        self.assertIs(m._set_max_workers("10"), True)  # without maximum: the default

    def test_cpu_count_asked_each_time(self):
        m = self.make(print, log=False)
        with mock.patch("os.cpu_count", return_value=2):
            m._set_max_workers()
        self.assertEqual(m._var.max_workers, 6)
        with mock.patch("os.cpu_count", return_value=3):
            m._check_max_workers(None, False)
        self.assertEqual(m._var.max_workers, 7)

    def test_set_max_workers(self):
        m = self.make(print)
        self.assertIs(m._set_max_workers(50), True)
        self.assertEqual(m._var.max_workers, 30)
        self.assertIs(m._set_max_workers(50, maximum=True), True)
        self.assertEqual(m._var.max_workers, 50)
        with mock.patch("os.cpu_count", return_value=4):
            self.assertIs(m._set_max_workers(), True)
        self.assertEqual(m._var.max_workers, 8)
        self.assertEqual(m._log.messages("info"),
                         ["Workers number: 50", "Workers number: 50",
                          "Workers number: None"])
        with self.assertRaises(TypeError):
            m._set_max_workers(1, 2, 3)
        m._var.switch = False
        with self.assertRaises(ManagerError) as cm:
            m._set_max_workers(4)
        self.assertEqual(str(cm.exception), STOPPED)
        self.assertEqual(m._var.max_workers, 8)
        # The refused call logs nothing (a dispatcher pass that runs into the
        # cleared switch may log its own "Run error", or may not).
        self.assertEqual([x for x in m._log.messages() if not x.startswith("Run error: ")],
                         m._log.messages("info"))
        self.assertEqual(len(m._log.messages("info")), 3)


class Guard(ManagerCase, unittest.TestCase):
    def test_closed_manager(self):
        m = self.make(print)
        self.assertIsNone(m._check_while())
        m._var.switch = False
        for call in (m._check_while, m._get_qsize, m._send):
            with self.assertRaises(ManagerError) as cm:
                call()
            self.assertEqual(str(cm.exception), STOPPED)
        self.assertIs(m._done(), False)
        self.assertTrue(wait_until(lambda: not m._var.thread_init.is_alive()))


class Dispatch(ManagerCase, unittest.TestCase):
    def test_bound_and_order(self):
        lock = threading.Lock()
        state = {"now": 0, "peak": 0}
        order = []

        def task(i):
            with lock:
                state["now"] += 1
                state["peak"] = max(state["peak"], state["now"])
                order.append(i)
            # The first waits for a second to run beside it, however late the
            # machine lets that one begin.
            wait_until(lambda: state["peak"] >= 2)
            time.sleep(0.05)
            with lock:
                state["now"] -= 1

        m = self.make(task, 2)
        for i in range(7):
            m._send(i=i)
        self.wait_done(m)
        self.assertEqual(state["peak"], 2)
        # Started in order (runs); the threads may begin their bodies in any.
        self.assertEqual(sorted(order), list(range(7)))
        self.assertEqual(m._var.runs, [f"Thread_{i}" for i in range(1, 8)])
        # runs keeps the submitted names, not the copies read back from the
        # queue: a task's name is stored once until the records are cleared.
        self.assertTrue(all(r is t for r, t in zip(m._var.runs, m._var.totals, strict=True)))
        self.assertEqual(m._get_qsize(), 0)

    def test_flags_follow_the_work(self):
        gate = threading.Event()
        self.addCleanup(gate.set)
        m = self.make(lambda: gate.wait(60))
        time.sleep(0.05)
        self.assertEqual((m._var.is_run, m._var.done), (False, False))
        m._send("a")  # (the dispatcher may take it before a look at the queue)
        self.assertTrue(wait_until(lambda: m._var.is_run))
        self.assertEqual(m._get_qsize(), 0)
        time.sleep(0.05)
        self.assertEqual((m._var.is_run, m._var.done), (True, False))
        gate.set()
        self.wait_done(m)
        self.assertIs(m._var.is_run, False)
        self.assertIn("a", m._var.dones)

    def test_lowering_max_workers_waits_for_running_tasks(self):
        gate = threading.Event()
        started = []
        m = self.make(lambda i: (started.append(i), gate.wait(5)), 3)
        for i in range(5):
            m._send(i=i)
        self.assertTrue(wait_until(lambda: len(started) == 3))
        m._set_max_workers(1)
        gate.set()
        self.wait_done(m)
        self.assertEqual(sorted(started), list(range(5)))

    def test_pass_errors_are_logged_and_dispatch_goes_on(self):
        m = self.make(lambda: None)
        m._var.max_workers = "x"
        m._send("a")
        self.assertTrue(wait_until(lambda: len(m._log.messages("debug")) >= 2))
        msg = m._log.messages("debug")[0]
        self.assertTrue(msg.startswith("Run error: '<' not supported"), msg)
        m._var.max_workers = 2
        self.wait_done(m)
        self.assertEqual(m._var.dones, ["a"])

    def test_failing_sink_does_not_end_the_dispatcher(self):
        calls = []

        class Broken:
            def debug(self, msg):
                calls.append(msg)
                raise RuntimeError("sink down")
            info = warning = debug

        m = self.make(lambda: None)
        m._log = Broken()
        m._var.max_workers = "x"
        m._send("a")
        self.assertTrue(wait_until(lambda: len(calls) >= 2))  # two failing passes logged
        m._var.max_workers = 2
        self.wait_done(m)
        self.assertTrue(m._var.thread_init.is_alive())

    def test_unstartable_name_releases_lock_and_is_unlisted(self):
        class Unstartable:
            ident = None

            def start(self):
                raise RuntimeError("cannot start")

        m = self.make(lambda: None)
        m._var.threads.set("ghost", value={"thread": Unstartable(), "result": None,
                                           "status": "待运行"})
        m._var.queue.put("ghost")
        m._send("real")
        self.wait_done(m)
        self.assertIn("Run error: cannot start", m._log.messages("debug"))
        self.assertEqual(m._var.runs, ["real"])
        self.assertTrue(m._var.lock.acquire(False))
        m._var.lock.release()

    def test_empty_queue_at_take_is_no_work(self):
        m = self.make(lambda: None)
        taken = []

        def get(block=True, timeout=None):
            taken.append(block)
            raise queue.Empty

        # Reports a name but has lost it by the time of the take.
        real = m._var.queue
        racy = FakeQueue(m, qsize=lambda: 1 if not taken else real.qsize(), get=get)
        self.assertTrue(wait_until(lambda: taken))
        self.assertEqual(taken[0], False, "the take never waits")
        self.assertTrue(m._var.thread_init.is_alive())
        self.assertEqual(m._log.messages("debug"), [])
        racy.restore()

    def test_log_is_read_at_each_use(self):
        m = self.make(lambda: None)
        first = m._log
        m._var.max_workers = "x"
        m._send("a")
        self.assertTrue(wait_until(lambda: first.messages("debug")))
        second = RecordingLog()
        m._log = second
        self.assertTrue(wait_until(lambda: second.messages("debug")))
        m._var.max_workers = 1
        self.wait_done(m)


class IdleWait(ManagerCase, unittest.TestCase):
    """An idle dispatcher waits for work instead of polling every pass."""

    def counting(self, func, **kw):
        class Counted(VigilThreadsMain):
            looks = 0

            def _get_qsize(self):
                type(self).looks += 1
                return super()._get_qsize()

        m = Counted(func, **kw)
        self.addCleanup(retire, m)
        return m, Counted

    @staticmethod
    def parked_most(seconds):
        # Looks a dispatcher parked between its 100 ms safety wake-ups can
        # make in `seconds` at most: two a wake-up, and the last passes
        # before it parked.
        return 2 * (seconds / 0.1 + 1) + 4

    def test_polls_while_working_and_waits_when_idle(self):
        # Compared with what a parked dispatcher can do in the time that
        # actually passed, so a slow machine makes neither side fail.
        gate = threading.Event()
        self.addCleanup(gate.set)
        m, cls = self.counting(lambda: gate.wait(60))
        m._send()
        self.assertTrue(wait_until(lambda: m._var.runs))
        before, began = cls.looks, time.monotonic()
        self.assertTrue(wait_until(lambda: cls.looks - before > self.parked_most(
            time.monotonic() - began)), "parked while a task runs")
        gate.set()
        self.wait_done(m)
        before, began = cls.looks, time.monotonic()
        time.sleep(0.5)
        idle, took = cls.looks - before, time.monotonic() - began
        self.assertLessEqual(idle, self.parked_most(took), f"{idle} looks in {took:.2f} s")

    def test_submission_and_rerun_wake_it(self):
        calls = []

        def job(fail=False):
            calls.append(fail)
            if fail and len(calls) < 3:
                raise ValueError("again")

        m, _ = self.counting(job)
        m._send(fail=True)
        self.wait_done(m)
        time.sleep(0.3)  # parked by now
        m._send()
        self.assertTrue(wait_until(lambda: len(calls) == 2))
        self.wait_done(m)
        time.sleep(0.3)
        m._rerun_failed()
        self.assertTrue(wait_until(lambda: len(calls) == 3))
        self.wait_done(m)
        self.assertEqual(m._get_failed(), [])

    def test_work_queued_by_hand_still_starts(self):
        ran = []
        m, _ = self.counting(lambda: ran.append(1))
        m._send("first")
        self.wait_done(m)
        time.sleep(0.3)
        # A name put straight on the queue wakes nothing: the safety wake-up
        # finds it.
        m._var.threads.set("by_hand", value={
            "thread": threading.Thread(target=lambda: ran.append(2)),
            "result": None, "status": "待运行"})
        m._var.queue.put("by_hand")
        self.assertTrue(wait_until(lambda: ran == [1, 2]))

    def test_close_and_cleared_switch_end_a_parked_dispatcher(self):
        for by_close in (True, False):
            m, _ = self.counting(lambda: None)
            time.sleep(0.3)
            t = m._var.thread_init
            self.assertTrue(t.is_alive())
            if by_close:
                self.assertTrue(m._close())
            else:
                m._var.switch = False
            t.join(5)
            self.assertFalse(t.is_alive(), by_close)


class StartRate(ManagerCase, unittest.TestCase):
    def test_setting_and_refusals(self):
        m = self.make(print)
        self.assertIs(m._set_start_rate(250), True)
        self.assertIs(m._set_start_rate(0.5), True)
        self.assertIs(m._set_start_rate(), True)
        self.assertIs(m._set_start_rate(math.inf), True)
        self.assertIs(m._set_start_rate(10**400), True)  # a number, if beyond any float
        self.assertEqual(m._log.messages(), ["Start rate: 250", "Start rate: 0.5",
                                             "Start rate: None", "Start rate: inf",
                                             f"Start rate: {10**400}"])
        for bad, error in (("10", TypeError), (True, TypeError), ([5], TypeError),
                           (0, ValueError), (-3, ValueError), (-10**400, ValueError),
                           (float("nan"), ValueError), (float("-inf"), ValueError)):
            with self.assertRaises(error, msg=repr(bad)):
                m._set_start_rate(bad)
        self.assertEqual(len(m._log.messages()), 5)
        m._close()
        with self.assertRaisesRegex(ManagerError, STOPPED):
            m._set_start_rate(10)

    def test_extreme_rates(self):
        # The largest float means every free slot; the smallest rate still
        # starts its first task at once, then keeps its pace.
        ran = []
        huge = self.make(lambda x: ran.append(x), 4)
        huge._set_start_rate(sys.float_info.max)
        slow = self.make(lambda x: ran.append(x), 4)
        slow._set_start_rate(0.001)
        for i in range(6):
            huge._send(x=i)
        slow._send(x="first")
        slow._send(x="second")
        self.assertTrue(wait_until(lambda: len(ran) == 7), ran)
        time.sleep(0.3)
        self.assertEqual((len(ran), slow._get_qsize()), (7, 1))

    def test_a_due_start_waits_for_a_worker_not_a_pass_and_a_stall_is_caught_up(self):
        # The pacer's clock is held, so no pass comes by itself, only at the
        # end of a run or a change of the time. A stall owes four slots; they
        # start back to back as the one worker frees, those more than a pass
        # behind are counted late, and the next slot keeps its time.
        gate = threading.Event()
        ran = []

        def task(x):
            if x == "stall":
                gate.wait(10)
            ran.append(x)

        m = self.make(task, 1)
        m._set_start_rate(10)  # slot k at t0 + k/10 s
        t0 = time.monotonic()
        m._set_pace_clock(t0)
        for x in ("stall", "a", "b", "c", "d", "e"):
            m._send(x, x=x)
        self.wait_running(m, "stall")
        m._set_pace_clock(t0 + 0.405)  # a to d are due: 305, 205, 105 and 5 ms behind
        gate.set()
        self.assertTrue(wait_until(lambda: len(ran) == 5), ran)
        time.sleep(0.2)
        self.assertEqual((ran, m._get_qsize(), m._get_statistics()["late_starts"]),
                         (["stall", "a", "b", "c", "d"], 1, 3))
        m._set_pace_clock(t0 + 0.5)
        self.wait_done(m)
        self.assertEqual((ran[-1], m._get_statistics()["late_starts"]), ("e", 3))

    def test_a_new_rate_carries_the_schedule_on(self):
        # A ramp sets rate after rate: none may make a start at once (a
        # burst each step), the next start comes one new interval after the
        # last, and starts owed while no worker was free stay owed.
        ran = []
        m = self.make(lambda x: ran.append(x), 5, True)
        m._set_start_rate(10)  # slots at t0, t0 + 0.1, ...
        t0 = time.monotonic()
        m._set_pace_clock(t0)
        for i in range(30):
            m._send(x=i)

        def at(offset, count):
            m._set_pace_clock(t0 + offset)
            self.assertTrue(wait_until(lambda: len(ran) >= count), (offset, ran))
            time.sleep(0.1)  # passes go by: nothing more starts
            self.assertEqual(len(ran), count, offset)

        # (A held clock makes a pass only when it moves or a worker frees:
        # each change is seen at the next offset.)
        at(0, 1)
        at(0.15, 2)  # slot 0.1
        m._set_start_rate(2)
        at(0.16, 2)
        at(0.55, 2)  # the next at 0.1 + 1/2
        at(0.6, 3)
        m._set_max_workers(0, True)
        at(2.1, 3)  # 1.1, 1.6 and 2.1 are owed
        m._set_start_rate(4)
        m._set_max_workers(5, True)
        at(2.11, 6)
        at(2.4, 7)  # then one every 1/4 s

    def test_never_more_running_than_max_workers(self):
        gate = threading.Event()
        lock = threading.Lock()
        now = {"running": 0, "most": 0}

        def task():
            with lock:
                now["running"] += 1
                now["most"] = max(now["most"], now["running"])
            gate.wait(60)
            with lock:
                now["running"] -= 1

        self.addCleanup(gate.set)
        m = self.make(task, 3)
        m._set_start_rate(5000)  # many starts a pass, were there room
        for _ in range(20):
            m._send()
        self.assertTrue(wait_until(lambda: now["running"] == 3))
        time.sleep(0.1)
        self.assertEqual((now["running"], m._get_qsize(), len(m._var.runs)), (3, 17, 3))
        gate.set()
        self.wait_done(m)
        self.assertEqual((now["most"], len(m._var.dones)), (3, 20))


    def test_unlimited_pace(self):
        # math.inf: every free slot is filled as soon as it frees, never more
        # running than max_workers; every task runs, waits and stops work and
        # the manager says done at the end.
        lock = threading.Lock()
        now = {"running": 0, "most": 0, "ran": 0}
        release = threading.Event()

        def task(hold=False):
            with lock:
                now["running"] += 1
                now["most"] = max(now["most"], now["running"])
            while hold and not release.wait(0.01):  # a stop strikes between waits
                pass
            with lock:
                now["running"] -= 1
                now["ran"] += 1

        m = self.make(task, 4)
        m._set_start_rate(math.inf)
        m._send("held", hold=True)
        for _ in range(2000):
            m._send()
        self.assertTrue(wait_until(lambda: now["ran"] == 2000))
        release.set()
        self.wait_done(m)
        self.assertEqual((now["most"] <= 4, now["ran"], len(m._var.dones)), (True, 2001, 2001))
        self.assertIs(m._var.done, True)
        self.assertGreater(now["most"], 1)
        # A stop reaches the run it names, and its slot is filled at once.
        release.clear()
        m._send("stuck", hold=True)
        m._send("after")
        self.wait_running(m, "stuck")
        self.assertIs(m._stop("stuck"), True)
        self.assertTrue(m._join_property(None, interval=0.05))
        self.assertEqual((m._var.threads.get("stuck").status, m._var.threads.get("after").status),
                         ("停止", "完成"))
        self.assertIs(m._var.done, True)


    def test_a_failed_start_leaves_the_names_taken_with_it(self):
        # One take reads several names when several may start; a start that
        # fails is logged and the others still run.
        class Picky(VigilThreadsMain):
            def _consumer(self, thread_name):
                if thread_name == "bad":
                    raise ValueError("refused")
                return super()._consumer(thread_name)

        m = Picky(lambda: None, 0, True)
        self.addCleanup(retire, m)
        m._log = RecordingLog()
        m._set_start_rate(math.inf)
        for name in ("bad", "a", "b", "c"):
            m._send(name)
        time.sleep(0.1)
        m._set_max_workers(4, maximum=True)  # the four are taken at once
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 3), m._var.cancels)
        self.assertEqual([m._var.threads.get(n).status for n in "abc"], ["完成"] * 3)
        self.assertIn("Run error: refused", m._log.messages())


    def test_a_started_thread_reads_as_started_at_once(self):
        # The dispatcher does not wait for the new thread to run: the record's
        # thread must still read as started (alive, with its ident) as soon
        # as the start returns, and be the current thread inside the task.
        release = threading.Event()
        inside = []
        seen = []

        def task():
            inside.append((threading.current_thread(), threading.get_ident()))
            release.wait(10)

        class Watch(VigilThreadsMain):
            def _consumer(self, thread_name):
                th = self._var.threads.get(thread_name).thread
                super()._consumer(thread_name)
                seen.append((th, th.is_alive(), th.ident))

        m = Watch(task, 2, True)
        self.addCleanup(retire, m)
        m._set_start_rate(math.inf)
        m._send("t")
        self.assertTrue(wait_until(lambda: seen and inside))
        th, alive, ident = seen[0]
        self.assertEqual((alive, ident), (True, inside[0][1]))
        self.assertIs(inside[0][0], th)
        release.set()
        th.join(5)
        self.assertFalse(th.is_alive())


class ProgramEnd(unittest.TestCase):
    def test_program_without_close_ends_after_its_work(self):
        # At every pace, and waiting without spinning (the CPU time of the
        # whole end stays far below the tasks' 0.9 s of sleep).
        code = (
            "import atexit, math, sys, time, threads_main\n"
            "done = []\n"
            "def f(i):\n    time.sleep(0.3); done.append(i)\n"
            "m = threads_main.VigilThreadsMain(f, max_workers=2)\n"
            "m._set_start_rate(eval(sys.argv[1]))\n"
            "for i in range(6): m._send(i=i)\n"
            "cpu = time.process_time()\n"
            "atexit.register(lambda: print(sorted(done), m._var.done,\n"
            "                              round(time.process_time() - cpu, 2)))\n")
        for rate in ("None", "math.inf", "1000"):
            out = subprocess.run([sys.executable, "-c", code, rate], capture_output=True,
                                 text=True, timeout=120)
            self.assertEqual(out.returncode, 0, out.stderr)
            listed, flag, cpu = out.stdout.rsplit(" ", 2)
            self.assertEqual((listed, flag), ("[0, 1, 2, 3, 4, 5]", "True"), rate)
            self.assertLess(float(cpu), 0.3, rate)

    def run_program(self, code, timeout=120):
        # The bound is for a program that never ends; one that ends is not
        # timed, as a loaded machine may take long to start it.
        try:
            return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired as e:
            self.fail(f"the program did not end:\n{e.stdout}\n{e.stderr}")

    def test_program_end_takes_no_new_submission(self):
        # The main thread ends while work keeps coming: from a daemon thread
        # (tasks, lists, re-runs), from the tasks themselves, from a batch
        # whose pass or window outlasts the program. Once the end has begun
        # nothing new is taken (no record left behind by a refusal); what was
        # queued finishes and the program ends.
        head = ("import atexit, json, threading, time, threads_main\n"
                "caught, refused = [], threading.Event()\n"
                "def feed(submit):\n"
                "    def loop():\n"
                "        try:\n"
                "            while True:\n"
                "                submit(); time.sleep(0.005)\n"
                "        except threads_main.ManagerError as e:\n"
                "            caught.append(str(e)); refused.set()\n"
                "    threading.Thread(target=loop, daemon=True).start()\n")
        tail = ("def report():\n"
                "    refused.wait(30 if FED else 0)\n"
                "    print(json.dumps([sorted(set(m._get_all_status().values())), caught,\n"
                "          sorted({str(m._get_result(n)[n]) for n in m._get_failed()})]))\n"
                "atexit.register(report)\n"
                "time.sleep(0.3)\n")
        plain = "m = threads_main.VigilThreadsMain(lambda: None, 4)\n"
        done, failed, cancelled = "完成", "失败", "取消"
        # case: (program, fed by a daemon, final statuses it may end with,
        # the texts of the failed results)
        cases = {
            "send": (plain + "feed(m._send)\n", True, {done, cancelled}, []),
            "send_list": (plain + "feed(lambda: m._send_list([{}, {}]))\n", True,
                          {done, cancelled}, []),
            "rerun": ("def task(): raise ValueError('boom')\n"
                      "m = threads_main.VigilThreadsMain(task, 4)\n"
                      "for _ in range(3): m._send()\n"
                      "feed(m._rerun_failed)\n", True, {failed}, ["boom"]),
            "own task": ("def task(): time.sleep(0.005); m._send()\n"
                         "m = threads_main.VigilThreadsMain(task, 4)\n"
                         "m._send()\n", False, {done, failed}, [STOPPED]),
            "endless pass": ("class Endless(list):\n"
                             "    def __iter__(self):\n"
                             "        while True:\n"
                             "            time.sleep(0.005); yield {}\n"
                             + plain + "m._send_list(Endless())\n", False, {done}, []),
            # (the window keeps up to 1000 queued: they run at full speed)
            "window": ("m = threads_main.VigilThreadsMain(lambda: None, 4, duration=3600)\n"
                       "m._set_start_rate(float('inf'))\n"
                       "m._send_list([{}])\n", False, {done}, []),
        }
        for case, (body, fed, finals, failures) in cases.items():
            with self.subTest(case):
                out = self.run_program(f"{head}FED = {fed}\n{body}{tail}")
                self.assertEqual((out.returncode, out.stderr), (0, ""))
                statuses, got, texts = json.loads(out.stdout)
                self.assertTrue(statuses and set(statuses) <= finals, statuses)
                self.assertEqual(got, [STOPPED] if fed else [])
                self.assertEqual(texts, failures)

    def test_program_ending_with_a_held_queue(self):
        # A window that closed with the queue full, and a worker count that
        # admits no task: nothing will ever run the queued names, so the end
        # of the program withdraws them instead of waiting for ever.
        code = ("import atexit, time, threads_main\n"
                "m = threads_main.VigilThreadsMain(lambda i: i, 0, True, duration=0.2)\n"
                "m._send_list([{'i': i} for i in range(1500)])\n"
                "atexit.register(lambda: print(len(m._var.totals), len(m._var.cancels),\n"
                "                sorted(set(m._get_all_status().values()))))\n"
                "time.sleep(0.5)\n")
        out = self.run_program(code)
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        self.assertEqual(out.stdout.split(), ["1500", "1500", "['取消']"])

    def test_ctrl_c_ends_the_program(self):
        # Ten tasks of a minute each (in short steps), four at a time; Ctrl-C
        # during _join: queued tasks are withdrawn, running ones stopped, and
        # the program ends instead of running the queue (the bound of the
        # wait for its end is half of one task).
        code = ("import atexit, json, signal, time, threads_main\n"
                "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
                "def task(i):\n"
                "    for _ in range(600):\n"
                "        time.sleep(0.1)\n"
                "m = threads_main.VigilThreadsMain(task, 4)\n"
                "for i in range(10):\n"
                "    m._send(i=i)\n"
                "atexit.register(lambda: print(json.dumps([m._get_run_status(),\n"
                "                sorted(set(m._get_all_status().values()))]), flush=True))\n"
                "while m._var.runs.__len__() < 4:\n"
                "    time.sleep(0.01)\n"
                "print('ready', flush=True)\n"
                "m._join()\n")
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual(proc.stdout.readline().strip(), "ready")
            time.sleep(0.3)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        self.assertEqual(proc.returncode, -signal.SIGINT, err)
        self.assertIn("KeyboardInterrupt", err)
        self.assertNotIn("still running", err)  # everything ended at once
        counts, statuses = json.loads(out.splitlines()[-1])
        self.assertEqual(statuses, ["停止", "取消"])  # none pending, none running
        self.assertEqual((counts["stop"], counts["cancel"], counts["done"]), (4, 6, 0))

    def test_ctrl_c_says_what_it_still_waits_for(self):
        # Two tasks in a long sleep, two queued: after Ctrl-C the sleeps hold
        # the program. After a second it says so, once; a second Ctrl-C ends
        # it at once.
        code = ("import signal, threading, time, threads_main\n"
                "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
                "started = threading.Semaphore(0)\n"
                "def task():\n    started.release(); time.sleep(300)\n"
                "m = threads_main.VigilThreadsMain(task, 2)\n"
                "for _ in range(4): m._send()\n"
                "started.acquire(); started.acquire()\n"
                "print('ready', flush=True)\n"
                "m._join()\n")
        told = ("threads_main: 2 task(s) still running; each ends when its current call "
                "returns. Press Ctrl-C again to end the program now.\n")
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        lines = queue.Queue()

        def read():
            for line in proc.stderr:
                lines.put(line)
            lines.put(None)

        reader = threading.Thread(target=read)
        try:
            self.assertEqual(proc.stdout.readline().strip(), "ready")
            reader.start()
            proc.send_signal(signal.SIGINT)
            err, deadline = [], time.monotonic() + 30
            while told not in err and time.monotonic() < deadline:
                with contextlib.suppress(queue.Empty):
                    err.append(lines.get(timeout=0.1))
            self.assertIn(told, err, "".join(map(str, err)))
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=30)
            reader.join(30)
        finally:
            proc.kill()
            proc.wait()
        err += iter(lines.get_nowait, None)
        self.assertEqual(proc.returncode, -signal.SIGINT)
        self.assertEqual(err.count(told), 1)

    def test_daemon_threads_inside_the_module_at_exit(self):
        # CPython ends daemon threads at exit by unwinding them from where
        # they wait for the GIL: the unwind must pass through our frames.
        body = {"queued": "    for _ in range(20): m._send()\n    time.sleep(10)\n",
                "waiting": "    m._send()\n    m._join_property(None, 0.001)\n"}
        for case, lines in body.items():
            code = ("import threading, time, threads_main\n"
                    "def body():\n"
                    "    m = threads_main.VigilThreadsMain(lambda: time.sleep(0.05), 2)\n"
                    f"{lines}"
                    "threading.Thread(target=body, daemon=True).start()\n"
                    "time.sleep(0.2)\n")
            for attempt in range(3):
                out = self.run_program(code)
                self.assertEqual(out.returncode, 0, f"{case} #{attempt}: {out.stderr}")

    def test_program_with_an_idle_manager_ends(self):
        # The dispatcher is parked when the main thread finishes; the end of
        # the program must wake it rather than wait on it.
        code = ("import time, threads_main\n"
                "m = threads_main.VigilThreadsMain(lambda: None)\n"
                "time.sleep(0.3)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)


if __name__ == "__main__":
    unittest.main()
