"""CPython's private names the module relies on (src/common/private_names):
each is there with the shape relied on, and without it the public path does
the work."""
import _thread
import multiprocessing
import subprocess
import sys
import textwrap
import threading
import unittest

from support import ManagerCase, wait_until


class Shapes(unittest.TestCase):
    def test_threading_names(self):
        # The quick start and the runners: Thread.start's own steps.
        self.assertIsInstance(threading._limbo, dict)
        lock = threading._active_limbo_lock
        self.assertTrue(lock.acquire(False))
        lock.release()
        self.assertTrue(callable(threading._start_joinable_thread))
        t = threading.Thread(target=lambda: None)
        self.assertIsInstance(t._started, threading.Event)
        self.assertIsNone(t._ident)
        self.assertTrue(callable(t._bootstrap))
        self.assertTrue(callable(t._handle._set_done))
        # A handle for a thread threading did not start: running until done.
        handle = _thread._make_thread_handle(12345)
        self.assertEqual((handle.ident, handle.is_done()), (12345, False))
        handle._set_done()
        handle.join()
        self.assertTrue(handle.is_done())
        self.assertTrue(hasattr(_thread._ThreadHandle, "_set_done"))
        self.assertTrue(callable(threading._register_atexit))  # the program end's hook

    def test_multiprocessing_queue_names(self):
        q = multiprocessing.Queue()
        self.addCleanup(q.close)
        q.put("a")
        self.assertIsInstance(q._reader._handle, int)
        self.assertIs(q._closed, False)
        self.assertTrue(q._rlock.acquire(False))
        q._rlock.release()
        self.assertEqual(multiprocessing.reduction.ForkingPickler.loads(q._recv_bytes()), "a")
        q._sem.release()  # what get() does after reading
        self.assertIsNotNone(q._thread)  # the feeder started with the put


class WithoutThem(ManagerCase, unittest.TestCase):
    def test_runners_fall_back_to_a_thread_per_task(self):
        code = textwrap.dedent("""
            import _thread, threading
            del _thread._make_thread_handle  # as if a later 3.13.x had none
            import threads_main
            m = threads_main.VigilThreadsMain(lambda: threading.get_native_id(), 1, True)
            for i in range(3):
                m._send(f"t{i}")
            m._join()
            print(len({m._get_result(f"t{i}")[f"t{i}"] for i in range(3)}),
                  sorted(set(m._get_all_status().values())))
            m._close()
            """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        self.assertEqual(out.stdout.split(), ["3", "['完成']"])  # three OS threads, all done

    def test_the_program_ends_after_its_work_without_the_exit_registration(self):
        code = textwrap.dedent("""
            import atexit, threading, time
            del threading._register_atexit  # as if a later 3.13.x had none
            import threads_main
            m = threads_main.VigilThreadsMain(lambda: time.sleep(0.2), 1)
            for i in range(3):
                m._send(f"t{i}")
            atexit.register(lambda: print(sorted(m._get_all_status().values())))
            """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        # (a dispatcher that the end never reached would keep it for ever)
        self.assertEqual(out.stdout.strip(), "['完成', '完成', '完成']")

    def test_a_queue_without_its_reader_is_read_with_get(self):
        m = self.make(lambda: "ok", 2)
        m._send("first")  # the queue's feeder thread starts with the first put
        self.wait_done(m)
        del m._var.queue._reader  # get(False) does without it
        for i in range(5):
            m._send(f"t{i}")
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 6))
        self.assertEqual(set(m._get_all_status().values()), {"完成"})
        self.assertEqual(m._log.messages("debug"), [])


if __name__ == "__main__":
    unittest.main()
