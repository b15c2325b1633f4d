"""Batch submission: the element walk, single and repeated passes, the
background thread."""
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest
from unittest import mock

from support import ManagerCase, wait_until
from threads_main import VigilThreadsMain


class Single(ManagerCase, unittest.TestCase):
    def test_walk_and_pass(self):
        g = VigilThreadsMain._thread_list_yield(5)  # fails only when advanced
        self.assertTrue(inspect.isgenerator(g))
        self.assertRaises(TypeError, next, g)
        got = []
        m = self.make(lambda **kw: got.append(kw), 1)
        items = [{"thread_name": "a", "x": 1}, {"x": 2}, [("thread_name", "c")]]
        self.assertIsNone(m._send_list_thread(items))
        self.assertEqual(m._var.totals, ["a", "Thread_1", "c"])
        self.wait_done(m)
        self.assertEqual(got, [{"x": 1}, {"x": 2}, {}])
        self.assertEqual(items[0], {"thread_name": "a", "x": 1})

    def test_bad_elements(self):
        m = self.make(lambda **kw: None)
        with self.assertRaises(TypeError) as own:
            m._send(**None)
        self.assertTrue(str(own.exception).endswith(
            "argument after ** must be a mapping, not NoneType"))
        for bad, message in [(None, str(own.exception)), (5, "not iterable"),
                             ({"thread_name": 5}, "incorrect type"),
                             ({1: 2}, "keywords must be strings")]:
            before = len(m._var.totals)
            with self.assertRaises(TypeError) as cm:
                m._send_list_thread([{}, bad, {"thread_name": "never"}])
            self.assertIn(message, str(cm.exception))
            self.assertEqual(len(m._var.totals), before + 1)
        self.assertNotIn("never", m._var.totals)


class Background(ManagerCase, unittest.TestCase):
    def test_containers_and_thread(self):
        m = self.make(lambda **kw: None)
        made, real = [], threading.Thread

        def spy(*args, **kwargs):
            made.append(kwargs)
            return real(*args, **kwargs)

        class L(list):
            pass

        items = L([{"thread_name": "a"}])
        with mock.patch("threading.Thread", spy):
            for ignored in ({"x": 1}, "abc", frozenset(), None, range(2)):
                self.assertIsNone(m._send_list(ignored))
            self.assertEqual(made, [])
            self.assertIsNone(m._send_list(items))
        self.assertEqual(made[0], {"target": m._send_list_thread, "args": (items,)})
        m._send_list(({},))
        m._send_list({(("thread_name", "s"),)})  # a set needs hashable elements
        self.assertTrue(wait_until(lambda: len(m._var.totals) == 3))
        self.assertIn("s", m._var.totals)

    def test_errors_stay_in_the_thread(self):
        m = self.make(lambda **kw: None)
        seen = []
        with mock.patch("threading.excepthook", seen.append):
            self.assertIsNone(m._send_list([{"thread_name": "a"}, None, {}]))
            self.assertTrue(wait_until(lambda: seen))
        self.assertIs(seen[0].exc_type, TypeError)
        self.assertFalse(seen[0].thread.daemon)
        self.assertEqual((m._var.totals, m._log.messages()), (["a"], []))


class Repeated(ManagerCase, unittest.TestCase):
    """Nothing leaves the queue (max_workers 0); the clock moves one second
    per pass and by its length at each pause, which runs a hook."""

    def run_loop(self, duration, items, hooks):
        m = self.make(lambda **kw: None)
        m._var.max_workers, m._var.duration = 0, duration
        clock = {"now": 1000.0, "pauses": [], "passes": 0}

        class Ticking(list):
            def __iter__(self):
                clock["passes"] += 1
                clock["now"] += 1.0
                return super().__iter__()

        caller = threading.current_thread()
        real_sleep, real_time = time.sleep, time.time

        # Threads other than this one (left over from other tests) see the
        # real clock.
        def sleep(seconds):
            if threading.current_thread() is not caller:
                return real_sleep(seconds)
            clock["pauses"].append(seconds)
            clock["now"] += seconds
            hooks[len(clock["pauses"])](m, clock)

        def now():
            return clock["now"] if threading.current_thread() is caller else real_time()

        with mock.patch.multiple(time, time=now, sleep=sleep):
            self.assertIsNone(m._send_list_thread(Ticking(items)))
        return m, clock

    def close(self, m, clock):
        m._var.switch = False

    def test_queue_bound(self):
        m, clock = self.run_loop(100, [{}] * 600, {1: self.close})
        # 0 and 600 waiting admit a pass; 1200 does not.
        self.assertEqual((len(m._var.totals), m._var.queue.qsize()), (1200, 1200))
        self.assertEqual(clock["pauses"], [0.01])

    def test_window_admits_its_end_and_is_reread(self):
        first = []

        def widen(m, clock):
            first.append(clock["passes"])
            m._var.duration = 10

        m, clock = self.run_loop(2, [{"thread_name": "n"}], {1: widen, 2: self.close})
        # Passes at 1000, 1001 and 1002 (the end); after the window is moved
        # to 1010, passes at 1003.01 .. 1009.01.
        self.assertEqual((first, clock["passes"], clock["pauses"]), ([3], 10, [0.01] * 2))
        self.assertEqual(len(m._var.totals), 10)

    def test_idle_after_the_window_until_close(self):
        # Past its window the loop pauses at every turn, passes over the list
        # no more, and waits so until the close ends it. In a child: a loop
        # that spun instead would hold the interpreter for ever.
        code = textwrap.dedent("""\
            import threading, time, threads_main
            passes, pauses, real_sleep = [0], [], time.sleep
            class Counting(list):
                def __iter__(self):
                    passes[0] += 1
                    return super().__iter__()
            def sleep(seconds):
                if threading.current_thread() is not threading.main_thread():
                    pauses.append((threading.get_ident(), seconds, passes[0]))
                real_sleep(seconds)
            time.sleep = sleep
            m = threads_main.VigilThreadsMain(lambda **kw: None, duration=0.05)
            m._send_list(Counting())
            while len(pauses) < 20:
                real_sleep(0.01)
            seen = pauses[:20]
            batch = [t for t in threading.enumerate() if t.ident == seen[0][0]]
            m._close()
            batch[0].join(60)
            print(len({t for t, _, _ in seen}), sorted({s for _, s, _ in seen}),
                  len({n for _, _, n in seen}), batch[0].is_alive())
            """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        # one pausing thread, pauses of 10 ms, no pass among them, ended by the close
        self.assertEqual((out.returncode, out.stdout), (0, "1 [0.01] 1 False\n"), out.stderr)

    def test_program_without_close_ends_after_the_window(self):
        # The main thread ends once the window has passed: the batch, which
        # would wait for a close, must let the program end.
        code = (
            "import atexit, time, threads_main\n"
            "class Counting(list):\n"
            "    passes = 0\n"
            "    def __iter__(self):\n"
            "        Counting.passes += 1\n"
            "        return super().__iter__()\n"
            "m = threads_main.VigilThreadsMain(print, duration=0.5)\n"
            "m._send_list(Counting())\n"
            "atexit.register(lambda: print(Counting.passes > 1))\n"
            "time.sleep(0.7)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, timeout=30, env=dict(os.environ))
        self.assertEqual((out.returncode, out.stdout.strip()), (0, "True"), out.stderr)

if __name__ == "__main__":
    unittest.main()
