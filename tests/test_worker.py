"""The task worker, run synchronously against a hand-made state holder."""
import sys
import threading
import unittest
from unittest import mock

from support import ManagerCase, wait_until
from threads_main import _Worker
from vigil_var import VigilVar


def holder(func, reserve=True, **extra):
    v = VigilVar(func=func, reserve=reserve)
    v.add(threads=VigilVar(), min_time=0, max_time=0, all_time=0,
          success=[], failed=[], dones=[])
    v.add(**extra)
    return v


def run(v, name="job", **kwargs):
    v.threads.set(name, value={"thread": "T", "result": None, "status": "待运行"})
    w = _Worker(v, name, None, **kwargs)
    w.start()
    return v.threads.get(name)


class Clock:
    """time.time() stand-in returning the given seconds one after another."""

    def __init__(self, *values):
        self.values = list(values)

    def __call__(self):
        return self.values.pop(0)


class Outcomes(unittest.TestCase):
    def test_success_records_everything(self):
        seen = []
        v = holder(lambda **kw: seen.append(kw) or 42)
        rec = run(v, x=1)
        self.assertEqual(seen, [{"x": 1}])
        self.assertEqual((rec.status, rec.result, rec.thread), ("完成", 42, None))
        self.assertEqual((v.success, v.failed, v.dones), (["job"], [], ["job"]))

    def test_attributes_and_fresh_kwargs(self):
        v = holder(lambda **kw: kw.update(x=99))
        log = object()
        w = _Worker(v, "job", log, x=1)
        self.assertIs(w.var, v)
        self.assertEqual(w.vigil_name, "job")
        self.assertIs(w._log, log)
        self.assertEqual(w.kwargs, {"x": 1})
        v.threads.set("job", value={"thread": None, "result": None, "status": ""})
        w.start()
        self.assertEqual(w.kwargs, {"x": 1})

    def test_exception_is_the_result(self):
        v = holder(lambda: (_ for _ in ()).throw(ValueError("bad")))
        rec = run(v)
        self.assertEqual(rec.status, "失败")
        self.assertIsInstance(rec.result, ValueError)
        self.assertEqual((v.success, v.failed, v.dones), ([], ["job"], ["job"]))
        self.assertEqual((v.min_time, v.max_time, v.all_time), (0, 0, 0))

    def test_reserve_off_keeps_result_none(self):
        v = holder(lambda: 5, reserve=0)
        self.assertIsNone(run(v, "a").result)
        v.func = lambda: 1 / 0
        rec = run(v, "b")
        self.assertEqual((rec.result, rec.status), (None, "失败"))

    def test_sys_exit_inside_the_task_counts_as_failed(self):
        v = holder(lambda: sys.exit(3))
        rec = run(v)
        self.assertEqual(rec.status, "失败")
        self.assertIsInstance(rec.result, SystemExit)
        self.assertEqual((v.failed, v.dones), (["job"], ["job"]))

    def test_not_callable_fails_the_task(self):
        v = holder(42)
        rec = run(v)
        self.assertEqual(rec.status, "失败")
        self.assertIsInstance(rec.result, TypeError)

    def test_missing_record_ends_quietly(self):
        v = holder(lambda: 1)
        w = _Worker(v, "nobody", None)
        with mock.patch("threading.excepthook") as hook:
            t = threading.Thread(target=w.start)
            t.start()
            t.join()
        hook.assert_not_called()
        self.assertEqual((v.dones, v.success), ([], []))

    def test_runs_once(self):
        v = holder(lambda: 1)
        v.threads.set("job", value={"thread": None, "result": None, "status": ""})
        w = _Worker(v, "job", None)
        w.start()
        with self.assertRaises(RuntimeError):
            w.start()
        self.assertEqual(v.dones, ["job"])

    def test_own_parameter_names_collide(self):
        for kw in ("vigil_var", "vigil_name", "vigil_log", "self"):
            with self.assertRaises(TypeError) as cm:
                _Worker(None, "n", None, **{kw: 1})
            self.assertIn("multiple values", str(cm.exception))


class BreakResult(unittest.TestCase):
    def sort(self, br, result):
        v = holder(lambda: result, break_result=br)
        rec = run(v)
        return rec.status, ("failed" if v.failed else "success")

    def test_falsy_break_result(self):
        for br in (None, False, 0, "", [], (), set()):
            self.assertEqual(self.sort(br, None), ("完成", "success"), br)

    def test_scalar_equality_not_containment(self):
        self.assertEqual(self.sort("stop", "stop"), ("完成", "failed"))
        self.assertEqual(self.sort("stop", "stopper"), ("完成", "success"))
        self.assertEqual(self.sort(500, 500), ("完成", "failed"))
        self.assertEqual(self.sort(500, 200), ("完成", "success"))

    def test_containers(self):
        self.assertEqual(self.sort([None, False], None), ("完成", "failed"))
        self.assertEqual(self.sort([None, False], 0), ("完成", "failed"))
        self.assertEqual(self.sort((1, 2), 3), ("完成", "success"))
        self.assertEqual(self.sort(frozenset({1}), frozenset({1})), ("完成", "failed"))
        self.assertEqual(self.sort(frozenset({1}), 1), ("完成", "success"))

    def test_failing_comparison_takes_the_failure_path(self):
        v = holder(lambda: [1], break_result={1, 2})
        with mock.patch("time.time", Clock(10.0, 10.25)):
            rec = run(v)
        self.assertEqual(rec.status, "失败")
        self.assertIsInstance(rec.result, TypeError)
        self.assertEqual(v.failed, ["job"])
        self.assertEqual(v.all_time, 250, "timing already includes the run")

        class Weird:
            def __eq__(self, other):
                raise ArithmeticError("no")

        v = holder(lambda: Weird(), break_result=7)
        self.assertEqual(run(v).status, "失败")


class Timing(unittest.TestCase):
    def test_zero_means_no_minimum_yet(self):
        v = holder(lambda: None)
        with mock.patch("time.time", Clock(1.0, 1.0, 2.0, 2.03125, 3.0, 3.0078125)):
            run(v, "a")
            self.assertEqual((v.min_time, v.max_time, v.all_time), (0, 0, 0))
            run(v, "b")
            self.assertEqual((v.min_time, v.max_time, v.all_time), (31, 31, 31))
            run(v, "c")
        self.assertEqual((v.min_time, v.max_time, v.all_time), (7, 31, 38))

    def test_truncation(self):
        v = holder(lambda: None)
        with mock.patch("time.time", Clock(100.0009, 100.0128)):
            run(v)
        # start int(100000.9) = 100000; run int(100012.8 - 100000) = 12
        self.assertEqual(v.all_time, 12)

    def test_concurrent_updates_are_not_lost(self):
        v = holder(lambda: None)
        local = threading.local()

        def fake_time():
            # Each worker thread sees its own clock: every run lasts 7 ms.
            n = getattr(local, "n", 0)
            local.n = n + 1
            return 1000.0 + n * 0.007

        names = [f"t{i}" for i in range(400)]
        for n in names:
            v.threads.set(n, value={"thread": None, "result": None, "status": ""})
        workers = [_Worker(v, n, None) for n in names]
        with mock.patch("time.time", fake_time):
            ts = [threading.Thread(target=w.start) for w in workers]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
        self.assertEqual(v.all_time, 7 * 400)
        self.assertEqual((v.min_time, v.max_time), (7, 7))
        self.assertEqual(len(v.dones), 400)


class TimingOfAManager(ManagerCase, unittest.TestCase):
    def test_a_zero_ms_run_is_a_real_minimum(self):
        # Each run lasts what its task says, on a clock of its own thread.
        local = threading.local()

        def fake_time():
            return 1000.0 + getattr(local, "ms", 0) / 1000

        def task(ms):
            if ms < 0:
                raise ValueError("no run time")
            local.ms = getattr(local, "ms", 0) + ms

        m = self.make(task, 1)
        with mock.patch("time.time", fake_time):
            m._send("raised", ms=-1)   # raised: sets no minimum
            self.wait_done(m)
            self.assertEqual(m._var.min_time, 0)
            for name, ms in (("instant", 0), ("slow", 200), ("slower", 300)):
                m._send(name, ms=ms)
                self.assertTrue(wait_until(lambda: name in m._var.dones))
            self.assertEqual((m._var.min_time, m._var.max_time, m._var.all_time), (0, 300, 500))
            # The figures outlive a clear of the records, and so does what
            # tells a real minimum of 0 from none yet.
            self.wait_done(m)
            self.assertIs(m._clear_record(), True)
            m._send("after", ms=40)
            self.assertTrue(wait_until(lambda: "after" in m._var.dones))
        self.assertEqual((m._var.min_time, m._var.max_time), (0, 300))


if __name__ == "__main__":
    unittest.main()
