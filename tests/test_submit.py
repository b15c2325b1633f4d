"""Single submission: naming, records, refusals, the lock, no leaks."""
import gc
import threading
import time
import unittest
import weakref
from unittest import mock

import threads_main
from support import ManagerCase, wait_until
from threads_main import ManagerError


class Naming(ManagerCase, unittest.TestCase):
    def test_generated_and_given_names(self):
        gate = threading.Event()
        m = self.make(lambda **kw: gate.wait(5))
        self.assertIs(m._send(), True)
        self.assertIs(m._send(), True)
        m._send("job")
        m._send("job")
        m._send("")
        m._send(thread_name="kw")
        self.assertEqual(m._var.totals,
                         ["Thread_1", "Thread_2", "job", "Thread_3", "Thread_4", "kw"])
        self.assertEqual(m._var.name, 5)
        gate.set()
        self.wait_done(m)
        m._send("job")  # still in use after its task ended
        self.assertEqual(m._var.totals[-1], "Thread_5")

    def test_generated_name_skips_names_in_use(self):
        m = self.make(lambda: None)
        m._send("Thread_1")
        m._send("Thread_3")
        m._send()
        m._send()
        m._send()
        self.assertEqual(m._var.totals,
                         ["Thread_1", "Thread_3", "Thread_2", "Thread_4", "Thread_5"])
        self.wait_done(m)
        self.assertEqual(sorted(m._var.dones), sorted(m._var.totals))

    def test_keyword_arguments_reach_the_callable(self):
        got = []
        m = self.make(lambda **kw: got.append(kw), 1)  # one at a time: in order
        m._send(None, a=1, b=2)
        m._send("x", thread_name_extra=3)
        self.wait_done(m)
        self.assertEqual(got, [{"a": 1, "b": 2}, {"thread_name_extra": 3}])

    def test_concurrent_submissions_of_one_name(self):
        m = self.make(lambda: time.sleep(0.01))
        barrier = threading.Barrier(8)

        def go():
            barrier.wait()
            for _ in range(50):
                m._send("same")

        ts = [threading.Thread(target=go) for _ in range(8)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        totals = m._var.totals
        self.assertEqual(len(totals), 400)
        self.assertEqual(len(set(totals)), 400)
        self.assertEqual(totals.count("same"), 1)


class Records(ManagerCase, unittest.TestCase):
    def test_record_at_submission(self):
        # Held on the queue (no worker admitted) while the records are read:
        # a name the dispatcher has taken is neither queued nor in runs.
        m = self.make(lambda: None, 0, True)
        m._send("first")
        m._send("second")
        rec = m._var.threads.get("second")
        self.assertIsInstance(rec.thread, threading.Thread)
        self.assertIsNone(rec.thread.ident)
        self.assertFalse(rec.thread.daemon)
        self.assertIsNone(rec.result)
        self.assertEqual(rec.status, "待运行")
        self.assertEqual(m._get_qsize(), 2)
        m._set_max_workers(1, True)
        self.wait_done(m)
        self.assertEqual(m._var.threads.get("second").status, "完成")


class Refusals(ManagerCase, unittest.TestCase):
    def test_wrong_name_types(self):
        m = self.make(lambda: None)

        class S(str):
            pass

        for bad, tname in [(5, "int"), (b"x", "bytes"), (S("x"), "S"), (1.5, "float")]:
            with self.assertRaises(TypeError) as cm:
                m._send(bad)
            self.assertEqual(str(cm.exception),
                             f"Argument 'thread_name' has incorrect type "
                             f"(expected str, got {tname})")
        self.assertEqual((m._var.name, m._var.totals, m._get_qsize()), (1, [], 0))

    def test_worker_parameter_names_are_refused(self):
        m = self.make(lambda **kw: None)
        for kw in ("vigil_var", "vigil_name", "vigil_log"):
            with self.assertRaises(TypeError) as cm:
                m._send("n", **{kw: 1})
            self.assertIn("multiple values for argument", str(cm.exception))
        self.assertEqual((m._var.totals, m._get_qsize(), list(m._var.threads.keys())),
                         ([], 0, []))
        m._send("n")  # the lock was released
        self.assertEqual(m._var.totals, ["n"])

    def test_argument_errors(self):
        m = self.make(lambda: None)
        with self.assertRaises(TypeError):
            m._send("a", "b")
        with self.assertRaises(TypeError):
            m._send("a", thread_name="b")

    def test_closed_manager(self):
        m = self.make(lambda: None)
        m._var.switch = False
        with self.assertRaises(ManagerError) as cm:
            m._send("a", x=1)
        self.assertEqual(str(cm.exception), "The manager has stopped")
        self.assertEqual(m._var.totals, [])

    def test_refused_put_leaves_no_trace(self):
        # The queue's feeder thread cannot start (a process out of threads):
        # the submission fails whole, and the next one works.
        m = self.make(lambda: None)

        def refuse():
            raise RuntimeError("can't start new thread")

        m._var.queue._start_thread = refuse
        with self.assertRaisesRegex(RuntimeError, "can't start new thread"):
            m._send("a", x=1)
        self.assertEqual((m._get_all_status(), m._var.totals, m._get_qsize()), ({}, [], 0))
        del m._var.queue._start_thread
        self.assertIs(m._send("a", x=1) and m._send("b"), True)
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 2))
        self.assertEqual((m._var.totals, m._get_qsize()), (["a", "b"], 0))

    def test_failed_thread_creation_withdraws_the_task(self):
        # A queued task gets its thread when it starts: a thread that cannot
        # be made then withdraws the task ("取消") with the error as its
        # result, and leaves the lock free and the dispatcher going.
        m = self.make(lambda: None)
        m._send("first")  # the queue's own feeder thread is made on its first put
        self.wait_done(m)
        with mock.patch("threading.Thread", side_effect=RuntimeError("no threads")):
            self.assertIs(m._send("a"), True)
            self.assertTrue(wait_until(lambda: m._var.cancels == ["a"]))
        self.assertEqual(m._get_status("a"), {"a": "取消"})
        self.assertIsInstance(m._get_result("a")["a"], RuntimeError)
        self.assertEqual((m._var.totals, m._var.runs), (["first", "a"], ["first"]))
        self.assertIn("Run error: no threads", m._log.messages("debug"))
        self.assertTrue(m._var.lock.acquire(False))
        m._var.lock.release()
        m._send("b")
        self.assertTrue(wait_until(lambda: "b" in m._var.dones))
        self.assertEqual(m._var.dones, ["first", "b"])


class QueuedTasks(ManagerCase, unittest.TestCase):
    def test_record_thread_of_a_queued_task(self):
        # A queued task's worker and thread are made when it starts, or when
        # its record's thread is first read; either way the record shows a
        # not yet started Thread whose target runs that task, and that very
        # thread is the one started.
        seen = []
        m = self.make(lambda **kw: seen.append((threading.current_thread(), kw)), 0, True)
        m._send("job", x=1)
        m._send("other", y=2)
        thread = m._var.threads.get("job").thread
        self.assertIsInstance(thread, threading.Thread)
        self.assertIsNone(thread.ident)
        self.assertFalse(thread.daemon)
        worker = thread._target.__self__
        self.assertIsInstance(worker, threads_main._Worker)
        self.assertEqual((worker.vigil_name, worker.kwargs, worker.var), ("job", {"x": 1}, m._var))
        self.assertIs(m._var.threads.get("job").thread, thread)  # read again: the same
        self.assertEqual(m._var.threads.get("job").to_dict()["thread"], thread)
        # Reading results and statuses makes nothing.
        self.assertEqual(m._get_all_result()["data"][1]["status"], "待运行")
        m._set_max_workers(2, True)
        self.wait_done(m)
        self.assertEqual(sorted((sorted(kw.items()) for _, kw in seen)), [[("x", 1)], [("y", 2)]])
        self.assertIn(thread, [t for t, _ in seen])
        self.assertEqual(m._get_all_status(), {"job": "完成", "other": "完成"})

    def test_own_parameter_names_are_refused_at_submission(self):
        m = self.make(print, 0, True)
        with self.assertRaisesRegex(TypeError, "multiple values for argument 'vigil_log'"):
            m._send("a", vigil_log=1)
        self.assertEqual((m._var.totals, m._get_qsize()), ([], 0))


class NoLeaks(ManagerCase, unittest.TestCase):
    def test_everything_is_freed_with_the_manager(self):
        class Token:
            pass

        arg, out = Token(), Token()
        refs = [weakref.ref(arg), weakref.ref(out)]
        # `out` is bound into the callable, so only the manager keeps it alive.
        m = threads_main.VigilThreadsMain(lambda a, out=out: out, 30)
        for _ in range(300):
            m._send(a=arg)
        del arg, out
        self.wait_done(m, 30)
        self.assertEqual(len(m._var.dones), 300)
        m._var.switch = False
        m._var.thread_init.join(5)
        refs.append(weakref.ref(m))
        del m
        gc.collect()
        self.assertEqual([r() for r in refs], [None, None, None])


if __name__ == "__main__":
    unittest.main()
