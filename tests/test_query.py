"""Status, counter and result queries; failures and their re-runs."""
import collections
import threading
import time
import unittest

import threads_main
from support import ManagerCase, RecordingLog, retire, wait_until
from threads_main import ManagerError, VigilThreadsMain
from vigil_var import VigilVar

UNKNOWN = "Task does not exist"


def fail(**kw):
    raise ValueError(kw)


class Answers(ManagerCase, unittest.TestCase):
    def test_empty_manager_and_key_orders(self):
        m = self.make(lambda: None)
        self.assertEqual(list(m._get_run_status().items()), [(k, 0) for k in
                         ["total", "done", "run", "success", "failed", "stop", "cancel"]])
        for summary in (m._get_all_result(), m._get_failed_result()):
            self.assertEqual(list(summary.items()), [(k, 0) for k in
                             ["total", "run", "success", "failed", "stop", "cancel"]] + [("data", [])])
        self.assertEqual((m._get_all_status(), m._get_failed(), m._is_run(), m._is_close()),
                         ({}, [], False, False))
        self.assertIs(m._rerun_failed(), True)
        self.assertEqual(m._var.queue.qsize(), 0)

    def test_unknown_names_pending_tasks_and_fresh_answers(self):
        m = self.make(lambda: None)
        m._var.max_workers = 0  # holds tasks on the queue
        m._send("a")
        name = "".join(["no", "pe"])
        for answer in (m._get_status(name), m._get_result(name)):
            self.assertEqual(answer, {"nope": UNKNOWN})
            self.assertIs(next(iter(answer)), name)
        self.assertEqual(m._get_result(thread_name=5), {5: UNKNOWN})
        self.assertEqual((m._get_status("a"), m._get_result("a")), ({"a": "待运行"}, {"a": None}))
        m._get_all_result()["data"][0]["status"] = "changed"
        m._get_all_status()["a"] = "changed"
        self.assertEqual(m._get_all_result()["data"], [{"task": "a", "result": None, "status": "待运行"}])
        with self.assertRaises(TypeError) as cm:
            m._get_status()
        self.assertEqual(str(cm.exception), "VigilThreadsMain._get_status() missing 1 "
                         "required positional argument: 'thread_name'")
        self.assertRaises(TypeError, m._rerun_failed, 1)


class StatusWords(ManagerCase, unittest.TestCase):
    def test_module_constants_are_the_words_the_records_hold(self):
        self.assertEqual(
            [threads_main.PENDING, threads_main.RUNNING, threads_main.DONE,
             threads_main.FAILED, threads_main.STOPPED, threads_main.CANCELLED],
            ["待运行", "运行中", "完成", "失败", "停止", "取消"])
        release = threading.Event()

        def work(kind):
            if kind == "raise":
                raise ValueError(kind)
            while kind == "hold" and not release.is_set():
                time.sleep(0.005)  # Python code, so a stop lands here

        self.addCleanup(release.set)
        m = self.make(work, 1)
        m._send("ok", kind="return")
        m._send("bad", kind="raise")
        self.wait_done(m)
        m._send("held", kind="hold")
        m._send("queued", kind="return")
        self.assertTrue(wait_until(lambda: m._get_status("held")["held"] == threads_main.RUNNING))
        self.assertEqual(m._get_all_status(), {
            "ok": threads_main.DONE, "bad": threads_main.FAILED,
            "held": threads_main.RUNNING, "queued": threads_main.PENDING})
        m._clear_queue()
        m._stop("held")
        self.assertEqual((m._get_status("held"), m._get_status("queued")),
                         ({"held": threads_main.STOPPED}, {"queued": threads_main.CANCELLED}))


class Failures(ManagerCase, unittest.TestCase):
    def test_only_the_failed_status_counts(self):
        m = self.make(lambda kind: fail() if kind == "err" else kind)
        m._var.break_result = "brk"
        kinds = ["ok", "brk", "err", "stopped", "cancelled"]
        for kind in kinds:
            m._send(kind, kind=kind)
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 5))
        m._var.threads.get("stopped").status = "停止"
        m._var.threads.get("cancelled").status = "取消"
        self.assertEqual((m._get_status("brk"), sorted(m._var.failed)), ({"brk": "完成"}, ["brk", "err"]))
        counts = [("total", 5), ("run", 5), ("success", 3), ("failed", 2), ("stop", 0), ("cancel", 0)]
        full, only = m._get_all_result(), m._get_failed_result()
        self.assertEqual((list(full.items())[:6], list(only.items())[:6]), (counts, counts))
        self.assertEqual([list(e.items()) for e in full["data"]],
                         [[("task", k), ("result", m._var.threads.get(k).result), ("status", s)]
                          for k, s in zip(kinds, ["完成", "完成", "失败", "停止", "取消"], strict=True)])
        self.assertEqual(([e["task"] for e in only["data"]], m._get_failed()), (["err"], ["err"]))
        m._var.max_workers = 0
        m._rerun_failed()
        self.assertEqual((m._var.queue.get(timeout=30), m._var.queue.qsize()), ("err", 0))

    def test_rerun_runs_again_with_its_arguments(self):
        gate, seen = threading.Event(), collections.Counter()

        def task(x):
            seen[x] += 1
            if x == 1 and seen[x] == 1:
                raise ValueError("first run")
            if x == 1:
                gate.wait(60)
            return x * 10

        self.addCleanup(gate.set)
        m = self.make(task)
        m._send("a", x=1)
        m._send("b", x=2)
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 2))
        self.assertEqual(m._get_all_status(), {"a": "失败", "b": "完成"})
        self.assertIs(m._rerun_failed(), True)
        self.assertTrue(wait_until(lambda: m._get_status("a") == {"a": "运行中"}))
        gate.set()
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 3))
        self.assertEqual((seen, m._get_status("a"), m._get_result("a")),
                         ({1: 2, 2: 1}, {"a": "完成"}, {"a": 10}))
        v = m._var
        self.assertEqual((v.totals, v.runs, v.failed, v.dones.count("a"), sorted(v.success)),
                         (["a", "b"], ["a", "b", "a"], ["a"], 2, ["a", "b"]))

    def test_rerun_twice_before_dispatch_runs_twice(self):
        m = self.make(fail)
        m._send("a", x=7)
        self.assertTrue(wait_until(lambda: m._var.dones == ["a"]))
        m._var.max_workers = 0
        m._rerun_failed()
        m._rerun_failed()
        self.assertEqual(m._var.queue.qsize(), 2)
        m._var.max_workers = 2
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 3))
        self.assertEqual((m._var.runs, m._var.failed), (["a"] * 3, ["a"] * 3))
        self.assertEqual(m._get_result("a")["a"].args, ({"x": 7},))

    def test_rerun_asks_the_method_and_refuses_after_close(self):
        class Mine(VigilThreadsMain):
            def _get_failed(self):
                return ["x", "y"]

        m = Mine(lambda: None)
        self.addCleanup(retire, m)
        m._log = RecordingLog()
        m._var.max_workers = 0
        m._rerun_failed()
        self.assertEqual([m._var.queue.get(timeout=30) for _ in range(2)], ["x", "y"])
        m._var.switch = False
        with self.assertRaises(ManagerError) as cm:
            m._rerun_failed()
        self.assertEqual((str(cm.exception), m._var.queue.qsize()), ("The manager has stopped", 0))

    def test_queries_answer_after_close(self):
        m = self.make(fail)
        m._send("a")
        self.wait_done(m)
        m._var.switch = False
        m._var.thread_init.join(5)
        self.assertEqual((m._is_close(), m._get_status("a"), m._get_all_status(), m._get_failed()),
                         (True, {"a": "失败"}, {"a": "失败"}, ["a"]))
        self.assertEqual((m._get_run_status()["failed"], len(m._get_failed_result()["data"])), (1, 1))
        self.assertIsInstance(m._get_result("a")["a"], ValueError)


class Tables(ManagerCase, unittest.TestCase):
    def test_clear_between_membership_and_lookup(self):
        class Clearing(VigilVar):
            def get(self, name, default=None):
                self.clear()
                return super().get(name, default)

        m = self.make(lambda: None)
        t = m._var.threads = Clearing()
        for query, expected in [(lambda: m._get_status("a"), {"a": UNKNOWN}),
                                (lambda: m._get_result("a"), {"a": UNKNOWN}),
                                (m._get_all_status, {}),
                                (lambda: m._get_all_result()["data"], [])]:
            t.set("a", value={"thread": None, "result": None, "status": "失败"})
            self.assertEqual(query(), expected)

    def test_one_listing_and_one_lookup_per_task(self):
        calls = collections.Counter()

        class Counting(VigilVar):
            def keys(self):
                calls["list"] += 1
                return super().keys()

            def items(self):
                calls["list"] += 1
                return super().items()

            def get(self, name, default=None):
                calls["get"] += 1
                return super().get(name, default)

        m = self.make(lambda: None)
        t = m._var.threads = Counting()
        for i in range(1000):
            t.set(f"t{i}", value={"result": i, "status": "失败" if i % 2 else "完成"})
        for query, size in [(m._get_all_status, 1000), (lambda: m._get_all_result()["data"], 1000),
                            (lambda: m._get_failed_result()["data"], 500), (m._get_failed, 500)]:
            calls.clear()
            self.assertEqual((len(query()), calls["list"]), (size, 1))
            self.assertLessEqual(calls["get"], 1000)


if __name__ == "__main__":
    unittest.main()
