"""Where a task runs: on one of its manager's runners (native threads kept
for one task after another, each run under a fresh thread state) or, when
asked, on a new OS thread of its own. Either way its thread is its own as
Python sees it."""
import contextvars
import faulthandler
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

from support import ManagerCase, wait_until

LOCAL = threading.local()
VAR = contextvars.ContextVar("VAR", default="unset")


def runner_alive(native_id):
    """Whether the OS thread is still there, and a runner."""
    try:
        with open(f"/proc/self/task/{native_id}/comm") as f:
            return f.read().strip() == "vigil-runner"
    except OSError:  # gone, or going
        return False


def run_program(code, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


class TaskThread(ManagerCase, unittest.TestCase):
    def test_a_task_thread_is_its_own(self):
        for fresh in (False, True):
            with self.subTest(fresh=fresh):
                self.check_task_threads(fresh)

    def check_task_threads(self, fresh):
        gate = threading.Event()
        self.addCleanup(gate.set)
        seen, threads = {}, []

        def task(name):
            me = m._var.threads.get(name).thread
            threads.append(me)
            seen[name] = {
                "current": threading.current_thread() is me,
                "ident": (me.ident, threading.get_ident()), "native": threading.get_native_id(),
                "alive": me.is_alive(), "listed": me in threading.enumerate(),
                "frame": sys._current_frames().get(me.ident) is sys._getframe(),
                "fresh state": (getattr(LOCAL, "x", None), VAR.get()),
            }
            LOCAL.x = VAR.set(name)
            if name == "t0":
                gate.wait(10)

        m = self.make(task, 1, True)
        self.assertTrue(m._set_fresh_threads(fresh))
        # Each task sent once the one before has ended: its runner is then
        # free for the next.
        for i in range(3):
            m._send(f"t{i}", name=f"t{i}")
            self.assertTrue(wait_until(lambda: len(threads) > i))
            if i == 0:
                threads[0].join(0.05)
                self.assertTrue(threads[0].is_alive())
                gate.set()
            threads[i].join(10)
            self.assertFalse(threads[i].is_alive())
        self.wait_done(m)
        for name, facts in seen.items():
            ident, here = facts.pop("ident")
            self.assertEqual(ident, here, name)
            self.assertEqual(facts.pop("fresh state"), (None, "unset"), name)
            self.assertEqual({k: v for k, v in facts.items() if k != "native"},
                             {"current": True, "alive": True, "listed": True, "frame": True}, name)
        natives = {facts["native"] for facts in seen.values()}
        # Runners: one OS thread ran the three; a new one each otherwise.
        self.assertEqual(len(natives), 3 if fresh else 1)
        # An idle runner is no thread to threading.
        listed = {t.native_id for t in threading.enumerate()}
        self.assertTrue(natives.isdisjoint(listed), listed)
        self.assertEqual(runner_alive(next(iter(natives))), not fresh)
        self.assertIn(f"Fresh threads: {fresh}", m._log.messages("info"))

    def test_what_names_the_thread_names_the_task(self):
        hooked = []
        hook = threading.excepthook
        threading.excepthook = lambda args: hooked.append((args.exc_type, args.thread))
        self.addCleanup(setattr, threading, "excepthook", hook)

        def task(fail):
            if fail:
                raise ValueError
            with tempfile.TemporaryFile("w+") as f:
                faulthandler.dump_traceback(file=f, all_threads=True)
                f.seek(0)
                return f.read(), threading.get_ident()

        m = self.make(task, 1, True)
        m._send("dump", fail=False)
        self.wait_done(m)
        dump, ident = m._get_result("dump")["dump"]
        self.assertIn(f"Current thread 0x{ident:016x} (most recent call first):\n"
                      f'  File "{__file__}"', dump)
        # A failure of the worker's own bookkeeping (here: no failed list to
        # append to) reaches threading.excepthook, naming the task's thread.
        m._var.failed = ()
        m._send("broken", fail=True)
        self.assertTrue(wait_until(lambda: hooked))
        thread = hooked[0][1]
        self.assertEqual((hooked[0][0], thread.ident), (AttributeError, ident))
        self.assertTrue(thread.name.startswith("Thread-"))

    def test_a_stop_reaches_its_run_and_never_the_next(self):
        # A stopped run, then a timed-out one, each followed on the same
        # runner by a run that must end as it would have.
        slept, threads = [], []

        def task(kind):
            if kind == "quick":
                for _ in range(20):
                    time.sleep(0.002)  # a late request would land here
                return threading.get_native_id()
            threads.append(threading.current_thread())
            t0 = time.monotonic()
            try:
                time.sleep(0.3)
                slept.append("after the sleep")
            finally:
                slept.append((time.monotonic() - t0, threading.get_native_id()))

        def run_then_quick(name, end=None):
            m._send(name, kind="sleep")
            self.assertTrue(wait_until(lambda: len(threads) > len(slept)))
            if end:
                end(name)
            threads[-1].join(10)  # the next run finds the runner free
            m._set_task_timeout(None)  # the next run is not to be timed out itself
            m._send(f"after {name}", kind="quick")
            self.assertTrue(wait_until(lambda: f"after {name}" in m._var.dones))

        m = self.make(task, 1, True)
        run_then_quick("stopped", m._stop)
        m._set_task_timeout(0.05)
        run_then_quick("timed out")
        self.assertEqual(m._get_all_status(), {"stopped": "停止", "after stopped": "完成",
                                               "timed out": "失败", "after timed out": "完成"})
        # A run in time.sleep ends when the sleep returns, not before.
        self.assertEqual(len(slept), 2)
        self.assertTrue(all(t >= 0.3 for t, _ in slept), slept)
        tids = {tid for _, tid in slept} | {m._get_result(f"after {n}")[f"after {n}"]
                                            for n in ("stopped", "timed out")}
        self.assertEqual(len(tids), 1)  # all on one runner

    def test_the_signal_mask_is_reset_between_runs(self):
        def task(block):
            if block:
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2})
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, set())
            return signal.SIGUSR2 in mask, threading.get_native_id(), threading.current_thread()

        m = self.make(task, 1, True)
        for name, block in (("a", True), ("b", False)):
            m._send(name, block=block)
            self.assertTrue(wait_until(lambda: name in m._var.dones))
            m._get_result(name)[name][2].join(10)  # its runner is free for the next
        (blocked_a, tid_a, _), (blocked_b, tid_b, _) = (m._get_result(n)[n] for n in "ab")
        self.assertEqual((blocked_a, blocked_b, tid_a == tid_b), (True, False, True))


class Runners(ManagerCase, unittest.TestCase):
    def test_idle_runners_beyond_the_worker_count_end_and_a_closed_managers_all(self):
        gate = threading.Event()
        self.addCleanup(gate.set)

        def task():
            gate.wait(10)
            return threading.get_native_id()

        m = self.make(task, 6, True)
        for i in range(6):
            m._send(f"t{i}")
        self.assertTrue(wait_until(lambda: len(m._var.runs) == 6))
        gate.set()
        self.wait_done(m)
        tids = {m._get_result(f"t{i}")[f"t{i}"] for i in range(6)}
        self.assertEqual(len(tids), 6)
        # The next start tells the runners how many to keep.
        m._set_max_workers(2, True)
        m._send("t6")
        self.wait_done(m)
        self.assertTrue(wait_until(lambda: sum(map(runner_alive, tids)) == 2, 15))
        m._close()
        self.assertTrue(wait_until(lambda: not any(map(runner_alive, tids)), 15))

    def test_fork_from_the_main_thread(self):
        out = run_program("""
            import os, threading, time, warnings
            import threads_main
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            gate = threading.Event()
            m = threads_main.VigilThreadsMain(lambda i: gate.wait(10) if i == 0 else i, 2, True)
            m._send("busy", i=0)
            m._send("quick", i=1)
            while (m._get_status("quick")["quick"] != threads_main.DONE
                   or m._get_status("busy")["busy"] != threads_main.RUNNING):
                time.sleep(0.01)
            busy = m._var.threads.get("busy").thread
            pid = os.fork()
            if pid == 0:
                # The runners stayed in the parent: a task thread there is no
                # thread here, and a new manager gets runners of its own.
                busy.join(5)
                c = threads_main.VigilThreadsMain(lambda x: x * 2, 2)
                for x in range(4):
                    c._send(f"c{x}", x=x)
                c._join()
                print("child", busy.is_alive(),
                      [c._get_result(f"c{x}")[f"c{x}"] for x in range(4)], flush=True)
                raise SystemExit  # an ordinary end of the program, with m still open
            deadline = time.monotonic() + 30
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    print("the child hung", flush=True)
                    break
                time.sleep(0.02)
            gate.set()
            m._send("again", i=2)
            m._join()
            print("parent", m._get_result("again")["again"], flush=True)
            m._close()
            """)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.splitlines(), ["child False [0, 2, 4, 6]", "parent 2"])


class ProgramEnd(unittest.TestCase):
    def test_a_stopped_run_still_unwinding_is_waited_for(self):
        # The interpreter's wait at exit knows the dispatcher, not the
        # runners: the stopped run's finally must still run before the end.
        out = run_program("""
            import threading, time, threads_main
            started = threading.Event()
            def task():
                started.set()
                try:
                    time.sleep(0.5)
                finally:
                    print("unwound", flush=True)
            m = threads_main.VigilThreadsMain(task, 1)
            m._send("t")
            started.wait(10)
            m._stop("t")
            """)
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, "unwound\n", ""))

    def test_ctrl_c_in_the_wait_at_exit_with_a_run_that_never_ends(self):
        # The wait at exit is given up; the interpreter finalizes (slowly:
        # the __del__ below) while the runner wakes and reaches for the
        # interpreter, which ends that thread. Nothing may crash or hang.
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import gc, signal, time, threads_main
            signal.signal(signal.SIGINT, signal.default_int_handler)
            gc.disable()
            class Slow:  # collected by the last collection, once finalizing
                def __del__(self):
                    time.sleep(0.6)
            slow = Slow()
            slow.cycle = slow
            del slow
            def task():
                print("running", flush=True)
                while True:
                    time.sleep(0.2)
            m = threads_main.VigilThreadsMain(task, 1)
            m._send("t")
            """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual(proc.stdout.readline().strip(), "running")
            time.sleep(0.3)
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        self.assertNotIn(proc.returncode, (-signal.SIGABRT, -signal.SIGSEGV, -signal.SIGBUS), err)
        self.assertNotIn("Fatal Python error", err)
        self.assertNotIn("terminate called", err)


if __name__ == "__main__":
    unittest.main()
