"""Python code that calls back into the manager while it is stopping a task
or closing: no lock of ours is held across such code, so it returns."""
import subprocess
import sys
import textwrap
import threading
import unittest

from support import ManagerCase, wait_until


def run_child(body, timeout=60):
    """Runs `body` in a fresh interpreter; a hang there fails here."""
    code = textwrap.dedent("""\
        import threading, time
        import threads_main
        from threads_main import VigilThreadsMain

        def busy(seconds=10.0):
            end = time.time() + seconds
            while time.time() < end:
                time.sleep(0.001)
            return "done"
    """) + textwrap.dedent(body)
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=timeout)
    except subprocess.TimeoutExpired as e:
        raise AssertionError(f"the child hung:\n{e.stdout}\n{e.stderr}") from None
    if out.returncode != 0:
        raise AssertionError(f"the child failed:\n{out.stdout}\n{out.stderr}")
    return out.stdout.split()


class StopCallsBack(unittest.TestCase):
    def test_async_raise_that_stops_the_same_task(self):
        # The stop request itself runs Python code (a subclass's
        # _async_raise) that stops the same task again, directly and from
        # a __del__ it triggers.
        out = run_child("""
            class Nested(VigilThreadsMain):
                def _async_raise(self, tid, exc_type):
                    self._stop_action("job")

                    class Dropped:
                        def __del__(inner):
                            self._stop("job")
                            self._stop_all()

                    Dropped()
                    return VigilThreadsMain._async_raise(tid, exc_type)

            m = Nested(busy, 2)
            m._send("job")
            while m._get_status("job")["job"] != "运行中":
                time.sleep(0.005)
            print(m._stop("job"), m._get_status("job")["job"], m._var.stops)
            m._close()
        """)
        self.assertEqual(out, ["True", "停止", "['job']"])

    def test_close_whose_request_calls_back(self):
        out = run_child("""
            class Nested(VigilThreadsMain):
                def _async_raise(self, tid, exc_type):
                    self._clear_queue()
                    self._stop_action()
                    print("closed:", self._is_close())
                    return VigilThreadsMain._async_raise(tid, exc_type)

            m = Nested(busy, 1)
            m._send("a")
            m._send("b")
            while m._get_status("a")["a"] != "运行中":
                time.sleep(0.005)
            print(m._close(), m._get_all_status() == {"a": "停止", "b": "取消"})
            m._var.thread_init.join(5)
            print(m._var.thread_init.is_alive())
        """)
        self.assertEqual(out[-3:], ["True", "True", "False"])


class NameCallsBack(ManagerCase, unittest.TestCase):
    def test_name_whose_comparison_calls_back(self):
        # A caller's name object: comparing it with the names in runs calls
        # back into the manager in the middle of a stop.
        release = threading.Event()
        m = self.make(lambda: wait_until(release.is_set, 60), 1)
        self.addCleanup(release.set)
        m._send("job")
        self.assertTrue(wait_until(lambda: m._get_status("job")["job"] == "运行中"))
        calls = []

        class Name(str):
            def __eq__(self, other):
                if not calls:
                    calls.append(m._stop_all())
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        self.assertIs(m._stop(Name("job")), True)
        self.assertEqual(calls, [True])
        self.assertEqual(m._get_status("job"), {"job": "停止"})


if __name__ == "__main__":
    unittest.main()
