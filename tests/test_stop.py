"""Cancellation, stop, queue and record clearing, close; and their races."""
import itertools
import math
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
import unittest

from support import FakeQueue, ManagerCase, retire, wait_until
from threads_main import ManagerError, VigilThreadsMain


def spin(seconds=5.0):
    """Busy in interpreter code, so a stop is delivered at once."""
    end = time.time() + seconds
    while time.time() < end:
        time.sleep(0.001)
    return "spun"


def unreadable():
    raise ValueError("unreadable item")


class Unreadable:
    """Put on the queue, it fails as it is read back."""

    def __reduce__(self):
        return unreadable, ()


def settled(m):
    v = m._var
    return m._get_qsize() == 0 and len(v.runs) - len(v.dones) - len(v.stops) == 0


class AsyncRaise(unittest.TestCase):
    def test_failures_become_stop_thread_error(self):
        for tid, exc in [(2**40 + 12345, SystemExit), ("x", SystemExit), (1.5, SystemExit)]:
            with self.assertRaises(ManagerError) as cm:
                VigilThreadsMain._async_raise(tid, exc)
            self.assertEqual(str(cm.exception), "Stop thread error")
            self.assertIs(type(cm.exception), ManagerError)

    def test_class_or_instance_is_raised_in_the_thread(self):
        for exc in (SystemExit, SystemExit("instance"), KeyError):
            caught = []
            ready = threading.Event()

            def target():
                try:
                    ready.set()
                    spin(60)
                except BaseException as e:  # that is the point
                    caught.append(type(e))

            t = threading.Thread(target=target)
            t.start()
            ready.wait()
            self.assertIsNone(VigilThreadsMain._async_raise(t.ident, exc))
            t.join(30)
            expected = exc if isinstance(exc, type) else type(exc)
            self.assertEqual(caught, [expected])


class StopOne(ManagerCase, unittest.TestCase):
    def test_refusals(self):
        gate = threading.Event()
        self.addCleanup(gate.set)
        m = self.make(lambda: gate.wait(60), 1)
        m._send("running")
        m._send("queued")
        self.assertTrue(wait_until(lambda: "running" in m._var.runs))
        with self.assertRaises(Exception) as cm:
            m._stop("ghost")
        self.assertIs(type(cm.exception), Exception)
        self.assertEqual(str(cm.exception), "Task <ghost> does not exist")
        with self.assertRaises(Exception) as cm:
            m._stop("queued")
        self.assertIs(type(cm.exception), Exception)
        self.assertEqual(str(cm.exception), "Task <queued> not running")
        self.assertEqual(m._var.threads.get("queued").status, "待运行")
        gate.set()
        self.wait_done(m)

    def test_stop_running_and_finished(self):
        m = self.make(lambda t: spin(t), 2)
        m._send("long", t=60)
        m._send("short", t=0)
        self.assertTrue(wait_until(lambda: "short" in m._var.dones))
        self.wait_running(m, "long")
        thread = m._var.threads.get("long").thread
        self.assertIs(m._stop("long"), True)
        rec = m._var.threads.get("long")
        self.assertEqual((rec.status, rec.thread), ("停止", None))
        self.assertEqual(m._var.stops, ["long"])
        thread.join(30)
        self.assertFalse(thread.is_alive())
        self.assertNotIn("long", m._var.dones)
        self.assertIs(m._stop("short"), True)
        self.assertIs(m._stop("long"), True)  # a second stop changes nothing
        self.assertEqual(m._var.threads.get("short").status, "完成")
        self.assertEqual(m._var.stops, ["long"])
        self.assertEqual(m._log.messages("info"), ["Stop complete"] * 3)
        self.wait_done(m)

    def test_stop_action_over_all_started(self):
        m = self.make(lambda t: spin(t), 10)
        for i, t in enumerate([0, 60, 0, 60, 60]):
            m._send(f"t{i}", t=t)
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 2 and
                                   len(m._var.runs) == 5))
        self.wait_running(m, "t1", "t3", "t4")
        self.assertIsNone(m._stop_action(""))
        self.assertEqual(m._var.stops, ["t1", "t3", "t4"])
        self.assertEqual([m._var.threads.get(f"t{i}").status for i in range(5)],
                         ["完成", "停止", "完成", "停止", "停止"])
        self.assertEqual(m._log.messages(), [])
        self.wait_done(m)

    def test_stop_action_failures_are_logged(self):
        m = self.make(lambda t: spin(t), 10)
        for i in range(3):
            m._send(f"t{i}", t=60)
        self.wait_running(m, "t0", "t1", "t2")
        real = VigilThreadsMain._async_raise
        calls = []

        def flaky(tid, exc):
            calls.append(tid)
            if len(calls) == 2:
                raise ManagerError("Stop thread error")
            return real(tid, exc)

        m._async_raise = flaky
        self.assertIsNone(m._stop_action())
        self.assertEqual(m._log.messages("debug"), ["Stop error: Stop thread error"])
        statuses = [m._var.threads.get(f"t{i}").status for i in range(3)]
        self.assertEqual(statuses, ["停止", "停止", "运行中"])
        self.assertEqual(m._var.stops, ["t0", "t1"])
        self.assertIsNone(m._stop_action("nobody"))
        self.assertTrue(m._log.messages("debug")[-1].startswith("Stop error: "))
        del m._async_raise
        m._stop_action()  # t1 was claimed although its request failed
        self.assertEqual(m._var.stops, ["t0", "t1", "t2"])


class StopAllAndClear(ManagerCase, unittest.TestCase):
    def test_stop_all(self):
        m = self.make(lambda t: spin(t), 2)
        for i in range(5):
            m._send(f"t{i}", t=60)
        self.wait_running(m, "t0", "t1")
        self.assertIs(m._stop_all(), True)
        self.assertEqual(m._var.cancels, ["t2", "t3", "t4"])
        self.assertEqual(m._var.stops, ["t0", "t1"])
        self.assertEqual([m._var.threads.get(f"t{i}").status for i in range(5)],
                         ["停止", "停止", "取消", "取消", "取消"])
        self.assertEqual(m._log.messages("info"),
                         ["Clear queue......", "Clear queue complete", "Stop all complete"])
        m._send("after", t=0)
        self.assertTrue(wait_until(lambda: "after" in m._var.dones))

    def test_clear_queue(self):
        m = self.make(lambda: None, 1)
        m._var.max_workers = 0  # nothing is started while we fill the queue
        self.assertIs(m._clear_queue(), True)
        for i in range(500):
            m._send(f"n{i}")
        self.assertIs(m._clear_queue(), True)  # names put just before
        self.assertEqual(m._var.cancels, [f"n{i}" for i in range(500)])
        self.assertEqual(m._get_qsize(), 0)
        self.assertEqual(m._log.messages("info"),
                         ["Clear queue......", "Clear queue complete"] * 2)

    def test_clear_queue_never_waits_for_ever(self):
        # A queue that always counts names it never gives: in a child, so a
        # drain that waited for ever fails within a bound.
        code = ("import threads_main\n"
                "m = threads_main.VigilThreadsMain(lambda: None)\n"
                "real = m._var.queue\n"
                "class Liar:\n"
                "    def qsize(self): return 3\n"
                "    def __getattr__(self, name): return getattr(real, name)\n"
                "m._var.queue = Liar()\n"
                "print(m._clear_queue(), m._var.cancels)\n"
                "m._var.queue = real\n"
                "m._close()\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        self.assertEqual((out.returncode, out.stdout), (0, "True []\n"), out.stderr)

    def test_clear_record(self):
        gate = threading.Event()
        m = self.make(lambda: gate.wait(5), 1)
        self.assertIs(m._clear_record(), False)
        m._send("a")
        gate.set()
        self.wait_done(m)
        m._var.max_workers = 0  # keep the next names queued
        m._send("b")
        m._send("c")
        time.sleep(0.05)
        self.assertIs(m._var.done, True, "the flag of the first burst is still set")
        self.assertIs(m._clear_record(), False)
        self.assertEqual(len(m._var.threads.keys()), 3)
        m._var.max_workers = 1
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 3 and m._done()))
        self.assertIs(m._clear_record(), True)
        self.assertEqual(list(m._var.threads.keys()), [])
        for f in ("totals", "runs", "stops", "cancels", "dones", "success", "failed"):
            self.assertEqual(getattr(m._var, f), [], f)
        self.assertIs(m._done(), False)
        self.assertIs(m._clear_record(), False)
        m._send()
        self.assertEqual(m._var.totals, ["Thread_1"])
        self.wait_done(m)


    def test_clear_is_atomic_against_a_submission(self):
        # A result's __del__ runs when the clear drops it and lets another
        # thread submit; the submission must land wholly after the clear.
        landed = threading.Event()

        sending = []

        class Held:
            def __del__(self):
                if not sending:  # one submission, however long it takes to land
                    sending.append(True)
                    t = threading.Thread(target=lambda: (m._send("late"), landed.set()))
                    t.start()
                    t.join(0.5)

        m = self.make(Held, 2)
        for _ in range(5):
            m._send()
        self.wait_done(m)
        self.assertIs(m._clear_record(), True)
        self.assertTrue(landed.wait(30))
        self.assertTrue(wait_until(lambda: m._var.dones == ["late"]))
        self.assertEqual((m._get_run_status(), list(m._get_all_status())), (
            {"total": 1, "done": 1, "run": 1, "success": 1, "failed": 0, "stop": 0,
             "cancel": 0}, ["late"]))


class UnreadableItem(ManagerCase, unittest.TestCase):
    def test_it_is_logged_and_skipped_and_the_names_read_with_it_go_on(self):
        # Beside it, items that name no task. Starts at once (math.inf, a
        # rate with a hundred starts in hand), one per pass, a clear and a
        # close; each through the batched read and through get() (a queue of
        # another kind).
        for way, other_kind in itertools.product((math.inf, 1000, None, "clear", "close"),
                                                 (False, True)):
            with self.subTest(way=way, other_kind=other_kind):
                gate = threading.Event()
                self.addCleanup(gate.set)
                m = self.make(lambda: gate.wait(30), 1)
                if other_kind:
                    FakeQueue(m)
                if way in (math.inf, 1000):
                    m._set_start_rate(way)
                m._send("holder")
                self.assertTrue(wait_until(lambda: "holder" in m._var.runs))
                names = [f"n{i}" for i in range(10)]
                for name in names[:5]:
                    m._send(name)
                for item in (Unreadable(), "stranger", ["unhashable"]):
                    m._var.queue.put(item)
                for name in names[5:]:
                    m._send(name)
                time.sleep(0.2)  # the queue's feeder writes them all, to be read as one
                if way == "clear":
                    self.assertIs(m._clear_queue(), True)
                elif way == "close":
                    self.assertIs(m._close(), True)
                else:
                    m._set_max_workers(20)
                gate.set()
                final = "取消" if way in ("clear", "close") else "完成"
                v = m._var

                def statuses():
                    return [v.threads.get(n).status for n in names]

                self.assertTrue(wait_until(lambda: statuses() == [final] * 10, 30), statuses())
                self.assertTrue(wait_until(lambda: len(v.runs) == len(v.dones) + len(v.stops), 30))
                s = m._get_run_status()
                self.assertEqual(s["total"], s["success"] + s["failed"] + s["stop"] + s["cancel"])
                for line in ("Run error: unreadable item",
                             "Run error: 'Task <stranger> has no record'"):
                    self.assertIn(line, m._log.messages("debug"))


class Close(ManagerCase, unittest.TestCase):
    def test_close_idle_manager(self):
        m = self.make(lambda: None)
        self.assertIs(m._close(), True)
        self.assertEqual(m._log.messages(), ["Close......", "Clear queue......",
                                             "Clear queue complete", "Close complete"])
        self.assertIs(m._var.switch, False)
        m._var.thread_init.join(30)
        self.assertFalse(m._var.thread_init.is_alive())
        for call in (m._close, m._stop_all, m._send, lambda: m._stop("x")):
            with self.assertRaises(ManagerError) as cm:
                call()
            self.assertEqual(str(cm.exception), "The manager has stopped")
        self.assertIs(m._clear_queue(), True)

    def test_close_with_work(self):
        m = self.make(lambda t: spin(t), 2)
        for i in range(4):
            m._send(f"t{i}", t=60)
        self.wait_running(m, "t0", "t1")
        threads = [m._var.threads.get(f"t{i}").thread for i in range(2)]
        self.assertIs(m._close(), True)
        self.assertEqual([m._var.threads.get(f"t{i}").status for i in range(4)],
                         ["停止", "停止", "取消", "取消"])
        for t in [*threads, m._var.thread_init]:
            t.join(30)
            self.assertFalse(t.is_alive())
        self.assertEqual(m._log.messages("warning"), [])
        with self.assertRaises((ValueError, OSError)):
            m._var.queue.put("late")

    def test_close_surfaces_nowhere_as_an_uncaught_exception(self):
        # A subclass's pass runs Python code, where the close's SystemExit
        # for the dispatcher lands.
        class Sub(VigilThreadsMain):
            def _get_qsize(self):
                return super()._get_qsize()

        seen = []
        hook = threading.excepthook
        threading.excepthook = lambda a: seen.append(a.exc_type)
        self.addCleanup(setattr, threading, "excepthook", hook)
        for _ in range(10):
            m = Sub(lambda: time.sleep(0.2), 2)
            self.addCleanup(retire, m)
            for _ in range(4):
                m._send()
            time.sleep(0.05)
            m._close()
            m._var.thread_init.join(5)
        self.assertEqual(seen, [])

    def test_dispatcher_already_ended_is_no_failure(self):
        m = self.make(lambda: None)
        m._var.switch = False
        m._var.thread_init.join(30)
        m._var.switch = True
        self.assertIs(m._close(), True)
        self.assertEqual(m._log.messages("warning"), [])

    def test_failing_step(self):
        m = self.make(lambda: None)

        def close():
            raise OSError("boom")

        unclosable = FakeQueue(m, qsize=lambda: 0, close=close)
        with self.assertRaises(ManagerError) as cm:
            m._close()
        self.assertEqual(str(cm.exception), "Close error：boom")
        self.assertIs(m._var.switch, False)
        unclosable.restore()
        unclosable.real.close()

    def test_process_ends_after_close(self):
        code = (
            "import time, threads_main\n"
            "def f():\n    while True: time.sleep(0.001)\n"
            "m = threads_main.VigilThreadsMain(f, max_workers=3)\n"
            "for i in range(6): m._send()\n"
            "time.sleep(0.3)\n"
            "print(m._close(), sorted(set(m._get_all_status().values()))\n"
            "      if hasattr(m, '_get_all_status') else '')\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.startswith("True"), out.stdout)
        self.assertEqual(out.stderr, "")

    def test_close_withdraws_names_still_on_their_way_into_the_queue(self):
        # The queue's feeder thread writes nothing while it pickles the slow
        # item: the names behind it reach the queue after close has begun to
        # drain, and must still be withdrawn, not left pending.
        code = textwrap.dedent("""
            import threading, time, threads_main
            class Slow:
                def __reduce__(self):
                    time.sleep(1.5)
                    return (str, ("names no task",))
            block = threading.Event()
            m = threads_main.VigilThreadsMain(block.wait, 1)
            m._send("first")
            while m._get_run_status()["run"] < 1:
                time.sleep(0.01)
            m._var.queue.put(Slow())
            for i in range(10):
                m._send(f"t{i}")
            m._close()
            block.set()
            print(sorted(m._get_all_status().values()))
            """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, timeout=120)
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        self.assertEqual(out.stdout.strip(), str(["停止"] + ["取消"] * 10))


class WithBlock(ManagerCase, unittest.TestCase):
    def test_leaving_the_block_closes(self):
        m = self.make(lambda: spin(60), 1)
        with m as entered:
            self.assertIs(entered, m)
            m._send("busy")
            m._send("queued")
            self.assertTrue(wait_until(lambda: m._get_status("busy")["busy"] == "运行中"))
        self.assertIs(m._is_close(), True)
        self.assertEqual(m._get_all_status(), {"busy": "停止", "queued": "取消"})
        m._var.thread_init.join(30)
        self.assertFalse(m._var.thread_init.is_alive())

    def test_closed_inside_the_block_is_no_error(self):
        m = self.make(lambda: None)
        with m:
            m._close()
        self.assertEqual(m._log.messages().count("Close complete"), 1)
        self.assertIs(m.__exit__(None, None, None), False)

    def test_an_exception_closes_and_goes_on(self):
        m = self.make(lambda: spin(5), 1)
        with self.assertRaises(ValueError), m:
            m._send("busy")
            raise ValueError("in the block")
        self.assertIs(m._is_close(), True)
        self.assertEqual(m._log.messages().count("Close complete"), 1)

    def test_ctrl_c_in_a_wait_closes_before_the_interrupt_goes_on(self):
        code = (
            "import signal, time, threads_main\n"
            # (Ctrl-C even when this test runs with SIGINT ignored.)
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "def f():\n    while True: time.sleep(0.001)\n"
            "try:\n"
            "    with threads_main.VigilThreadsMain(f, max_workers=1) as m:\n"
            "        m._send('busy')\n"
            "        m._send('queued')\n"
            "        print('waiting', flush=True)\n"
            "        m._join()\n"
            "except KeyboardInterrupt:\n"
            "    print(m._is_close(), m._get_all_status(), flush=True)\n"
            "    raise\n")
        p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual(p.stdout.readline(), "waiting\n")
            time.sleep(0.3)
            p.send_signal(signal.SIGINT)
            out, err = p.communicate(timeout=30)
        finally:
            p.kill()
            p.wait()
        # The interrupt went on to end the program, and the program ended:
        # the manager's threads were gone.
        self.assertEqual(p.returncode, -signal.SIGINT, err)
        self.assertIn("KeyboardInterrupt", err)
        self.assertEqual(out, "True {'busy': '停止', 'queued': '取消'}\n")


class TaskTimeout(ManagerCase, unittest.TestCase):
    def timed_out(self, m, name, limit="0.2"):
        rec = m._var.threads.get(name)
        return (rec.status, type(rec.result), str(rec.result)) == (
            "失败", TimeoutError, f"the task ran longer than its time-out of {limit} s")

    def test_setting_and_refusals(self):
        m = self.make(lambda: spin(30), 2)
        self.assertIs(m._set_task_timeout(10**400), True)  # a number, if never reached
        self.assertIs(m._set_task_timeout(), True)
        self.assertIs(m._set_task_timeout(0.2), True)
        for bad, error in (("1", TypeError), (True, TypeError), ([5], TypeError),
                           (0, ValueError), (-3, ValueError), (-10**400, ValueError),
                           (float("nan"), ValueError), (float("inf"), ValueError)):
            with self.assertRaises(error, msg=repr(bad)):
                m._set_task_timeout(bad)
        self.assertEqual(m._log.messages(), [
            f"Task timeout: {10**400}", "Task timeout: None", "Task timeout: 0.2"])
        m._send("t")  # the refusals left the limit at 0.2 s
        self.wait_done(m)
        self.assertTrue(self.timed_out(m, "t"))
        m._close()
        with self.assertRaisesRegex(ManagerError, "The manager has stopped"):
            m._set_task_timeout(1)

    def test_a_run_past_the_limit_fails_as_a_run_that_raised(self):
        def task(t, swallow=False):
            try:
                return spin(t)
            except BaseException:  # what a careless task does
                if not swallow:
                    raise
                return "swallowed"

        # A limit far above what the quick run takes, however slow the machine.
        m = self.make(task, 4)
        m._set_task_timeout(1.5)
        m._send("slow", t=30)
        m._send("swallows", t=30, swallow=True)
        m._send("quick", t=0)
        threads = [m._var.threads.get(n).thread for n in ("slow", "swallows")]
        self.wait_done(m)
        for t in threads:
            t.join(5)
            self.assertFalse(t.is_alive())
        for name in ("slow", "swallows"):
            self.assertTrue(self.timed_out(m, name, "1.5"), name)
            self.assertIsNone(m._var.threads.get(name).thread)
        v = m._var
        self.assertEqual((sorted(v.failed), v.success, v.stops), (["slow", "swallows"],
                                                                   ["quick"], []))
        self.assertEqual(sorted(v.dones), ["quick", "slow", "swallows"])
        s = m._get_statistics()
        self.assertEqual((s["finished"], s["failed"], s["stopped"]), (3, 2, 0))
        self.assertAlmostEqual(s["error_rate"], 200 / 3)

    def test_the_limit_reaches_runs_in_progress_and_none_removes_it(self):
        # A run blocked in one native call is counted at its limit; its thread
        # ends when the call returns.
        gate = threading.Event()
        m = self.make(lambda: gate.wait(30), 2)
        m._send("blocked")
        self.wait_running(m, "blocked")
        thread = m._var.threads.get("blocked").thread
        time.sleep(0.3)
        m._set_task_timeout(0.2)
        self.wait_done(m)
        self.assertTrue(self.timed_out(m, "blocked"))
        self.assertTrue(thread.is_alive())
        m._set_task_timeout(None)
        m._send("free")
        self.wait_running(m, "free")
        time.sleep(0.4)
        gate.set()
        self.wait_done(m)
        thread.join(5)
        self.assertFalse(thread.is_alive())
        self.assertEqual(m._var.threads.get("free").status, "完成")
        self.assertEqual((m._var.failed, m._var.success), (["blocked"], ["free"]))

    def test_a_stop_and_the_time_out_count_a_run_once(self):
        # Runs blocked in a native call stay in progress after either took
        # them, for the other to find.
        gate = threading.Event()
        self.addCleanup(gate.set)
        m = self.make(lambda: gate.wait(30), 2)
        m._send("stopped")
        m._send("timed_out")
        self.wait_running(m, "stopped", "timed_out")
        m._stop("stopped")
        m._set_task_timeout(0.05)
        self.assertTrue(wait_until(lambda: "timed_out" in m._var.failed))
        m._stop_action()
        time.sleep(0.1)  # the dispatcher's passes over the stopped run
        gate.set()
        self.wait_done(m)
        v = m._var
        self.assertEqual((v.stops, v.failed, v.dones, v.success),
                         (["stopped"], ["timed_out"], ["timed_out"], []))
        self.assertEqual(m._get_all_status(), {"stopped": "停止", "timed_out": "失败"})
        s = m._get_statistics()
        self.assertEqual((s["finished"], s["failed"], s["stopped"]), (1, 1, 1))

    def test_a_request_that_fails_still_counts_the_run(self):
        gate = threading.Event()
        self.addCleanup(gate.set)
        m = self.make(lambda: gate.wait(30), 2)

        def refuse(tid, exc):
            raise ManagerError("Stop thread error")

        m._async_raise = refuse
        m._set_task_timeout(0.05)
        m._send("t")
        self.wait_done(m)
        self.assertTrue(wait_until(lambda: len(m._log.messages("debug")) >= 2))
        # The failed request, and the run's own failure as every failure is logged.
        self.assertEqual(sorted(m._log.messages("debug")),
                         ["Task error: t: TimeoutError: the task ran longer than its time-out"
                          " of 0.05 s\n", "Timeout error: Stop thread error"])
        self.assertEqual((m._var.failed, m._var.dones), (["t"], ["t"]))

class Races(ManagerCase, unittest.TestCase):
    def check_counts(self, m):
        v = m._var
        dones, stops = set(v.dones), set(v.stops)
        self.assertEqual(dones & stops, set())
        self.assertEqual(len(v.runs) - len(v.dones) - len(v.stops), 0)
        self.assertEqual(sorted(v.runs), sorted(v.dones + v.stops))
        for name in stops:
            self.assertEqual(v.threads.get(name).status, "停止")

    def test_stop_against_finish(self):
        m = self.make(lambda t: time.sleep(t), 30)
        for _ in range(300):
            m._send(t=random.choice([0, 0.001, 0.003, 0.01]))
        deadline = time.monotonic() + 20
        while not m._done() and time.monotonic() < deadline:
            m._stop_action()
        self.assertTrue(wait_until(lambda: settled(m)))
        self.check_counts(m)

    def test_stop_all_against_dispatch(self):
        m = self.make(lambda: time.sleep(0.002), 30)
        stop = threading.Event()

        def submitter():
            while not stop.is_set():
                m._send()
                time.sleep(0.001)

        t = threading.Thread(target=submitter)
        t.start()
        for _ in range(40):
            m._stop_all()
            time.sleep(0.01)
        stop.set()
        t.join()
        m._stop_all()
        self.assertTrue(wait_until(lambda: settled(m)))
        self.check_counts(m)
        v = m._var
        self.assertEqual(sorted(v.totals), sorted(v.runs + v.cancels))

    def test_clear_against_late_put(self):
        m = self.make(lambda: None, 1)
        barrier = threading.Barrier(2)

        def late():
            barrier.wait()
            for _ in range(200):
                m._send()

        t = threading.Thread(target=late)
        t.start()
        barrier.wait()
        m._clear_queue()
        t.join()
        m._clear_queue()
        self.assertTrue(wait_until(lambda: settled(m)))
        v = m._var
        self.assertEqual(sorted(v.totals), sorted(v.dones + v.cancels))
        self.assertEqual(set(v.dones) & set(v.cancels), set())

    def test_close_against_busy_dispatcher(self):
        base = threading.active_count()
        m = VigilThreadsMain(lambda: spin(0.05), 30)
        for _ in range(200):
            m._send()
        time.sleep(0.2)
        self.assertIs(m._close(), True)
        self.assertTrue(wait_until(lambda: threading.active_count() <= base),
                        threading.enumerate())
        v = m._var
        self.assertEqual(len(v.runs) - len(v.dones) - len(v.stops), 0)
        self.assertEqual(sorted(v.totals), sorted(v.runs + v.cancels))

    def test_requests_never_reach_other_threads(self):
        hits = []
        stop = threading.Event()

        def bystander():
            while not stop.is_set():
                try:
                    for _ in range(1000):
                        pass
                    time.sleep(0)
                except BaseException as e:
                    hits.append(type(e))

        b = [threading.Thread(target=bystander) for _ in range(4)]
        for t in b:
            t.start()
        m = self.make(lambda t: spin(t), 30)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            if m._get_qsize() < 30:
                for _ in range(10):
                    m._send(t=random.choice([0, 0.002, 0.005]))
            m._stop_action()
            time.sleep(0.002)
        # However little the window got done, one run is stopped and one
        # ends by itself while the bystanders run.
        m._send("held", t=60)
        m._send("quick", t=0)
        self.wait_running(m, "held")
        self.assertIs(m._stop("held"), True)
        self.assertTrue(wait_until(lambda: "quick" in m._var.dones))
        stop.set()
        for t in b:
            t.join(30)
        self.assertTrue(wait_until(lambda: settled(m)))
        self.assertEqual(hits, [])
        self.check_counts(m)


if __name__ == "__main__":
    unittest.main()
