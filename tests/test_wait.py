"""The counter wait, the statistics wait and their log lines."""
import json
import subprocess
import sys
import textwrap
import threading
import time
import unittest
from unittest import mock

from support import ManagerCase, wait_until
from threads_main import ManagerError


class FakeClock:
    """time.time and time.sleep: a pause moves the clock on, then runs the
    hook registered for its number."""

    def __init__(self, hooks=()):
        self.now, self.pauses, self.hooks = 1000.0, [], dict(hooks)

    def sleep(self, seconds):
        self.pauses.append(seconds)
        self.now += seconds
        self.hooks.get(len(self.pauses), lambda: None)()

    def installed(self):
        return mock.patch.multiple(time, time=lambda: self.now, sleep=self.sleep)


def fill(m, dones, failed, totals, min_time=0, max_time=0, all_time=0):
    v = m._var
    v.dones, v.failed, v.totals = ["d"] * dones, ["f"] * failed, ["t"] * totals
    v.min_time, v.max_time, v.all_time = min_time, max_time, all_time


def line(sign, n, hms, rate, avg, mn, mx, err, pct):
    return (f"summary {sign} {n:>6} in {hms} = {rate:>6}/s Avg: {avg:>5} Min: {mn:>5} "
            f"Max: {mx:>5} Err: {err:>5} ({pct}%)")


class Join(ManagerCase, unittest.TestCase):
    def test_messages_and_stop_switch(self):
        m = self.make(lambda: None)
        m._send("a")
        self.wait_done(m)
        with mock.patch("time.sleep") as sleep:
            self.assertIs(m._join(), True)
        sleep.assert_called_once_with(1)
        msgs = m._log.messages("info")
        self.assertEqual([msgs[0], msgs[3], len(msgs)], ["Join......", "Join complete", 4])
        for counters in msgs[1:3]:  # the dict itself, not its text
            self.assertIs(type(counters), dict)
            self.assertEqual(list(counters.items())[:2], [("total", 1), ("done", 1)])
        self.assertIsNone(m._join_log())
        self.assertEqual(m._log.messages()[4:], [msgs[1]])

        m = self.make(print, 0, True)  # work held, never done: only the switch ends it
        m._send("held")
        m._stop_all = lambda: m._log.info("<stop all>")
        clock = FakeClock({3: lambda: setattr(m._var, "stop_switch", True)})
        with clock.installed():
            m._join()
        msgs = m._log.messages("info")
        self.assertEqual(clock.pauses, [1, 1, 1])
        self.assertEqual([type(x) for x in msgs[1:5]], [dict] * 4)
        self.assertEqual(msgs[:1] + msgs[5:], ["Join......", "Join stop all......",
                                               "<stop all>", "Join complete"])

    def test_ctrl_c_during_the_pause(self):
        gate = threading.Event()
        m = self.make(lambda: gate.wait(5))
        m._send("a")
        self.assertTrue(wait_until(lambda: m._var.is_run))
        with mock.patch("time.sleep", side_effect=KeyboardInterrupt):
            self.assertRaises(KeyboardInterrupt, m._join)
            self.assertRaises(KeyboardInterrupt, m._join_property, None)
        msgs = m._log.messages()
        self.assertEqual([msgs[0], type(msgs[1]), msgs[2:]],
                         ["Join......", dict, ["Join......"]])
        gate.set()  # the running task goes on
        self.wait_done(m)
        self.assertEqual(m._var.threads.get("a").status, "完成")

    def test_break_result_store_and_closed_manager(self):
        m = self.make(lambda v: v)
        m._var.done = True  # no work: each wait returns after its first pause
        m._var.break_result = "kept"
        with mock.patch("time.sleep"):
            m._join()
            m._join_property("vigil_break", 0)
            self.assertEqual(m._var.break_result, "kept")
            m._join(None)
            self.assertIsNone(m._var.break_result)
            m._join_property(break_result=[False, None])
        m._var.done = False
        for name in ("f", "n", "one"):
            m._send(name, v={"f": False, "n": None}.get(name, 1))
        self.assertTrue(wait_until(lambda: len(m._var.dones) == 3))
        self.assertEqual((sorted(m._var.failed), m._var.success), (["f", "n"], ["one"]))

        m._var.switch = False
        before = len(m._log.messages())
        for call in (m._join, lambda: m._join_property(None)):
            self.assertRaisesRegex(ManagerError, "^The manager has stopped$", call)
        self.assertEqual(len(m._log.messages()), before)


class NothingToWaitFor(unittest.TestCase):
    def test_waits_end_on_an_idle_manager_and_refuse_its_own_tasks(self):
        # Each case used to wait for ever: `done` comes only after a burst of
        # work. In a child, so a wait that never returns fails within bounds.
        code = textwrap.dedent("""\
            import json, time, threads_main
            class Log:
                def __init__(self): self.lines = []
                def info(self, m): self.lines.append(m)
                debug = warning = info
            def made(*a):
                m = threads_main.VigilThreadsMain(*a)
                m._log = Log()
                return m
            out = {}
            m = made(lambda: None)
            def until(pred):
                while not pred(): time.sleep(0.01)
            out["fresh"] = (m._join(), m._log.lines[-1], len(m._log.lines))
            m._send(); until(m._done); assert m._clear_record()
            out["cleared"] = m._join_property(None, 0.1)
            m._send_list([])
            out["empty list"] = m._join()
            m._set_max_workers(0, True)
            for _ in range(3): m._send()
            m._clear_queue()
            out["withdrawn"] = m._join()
            box = []
            own = made(lambda how: getattr(box[0], how)(*(() if how == "_join" else (None,))))
            box.append(own)
            own._send("j", how="_join"); own._send("p", how="_join_property")
            until(lambda: len(own._var.dones) == 2)
            out["own"] = [repr(r["result"]) for r in own._get_all_result()["data"]]
            m._close(); own._close()
            print(json.dumps(out))
            """)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        out = json.loads(done.stdout)
        self.assertEqual(out.pop("fresh"), [True, "Join complete", 4])
        own = "RuntimeError('cannot wait for the manager from one of its own tasks')"
        self.assertEqual(out, {"cleared": True, "empty list": True, "withdrawn": True,
                               "own": [own, own]})


class Statistics(ManagerCase, unittest.TestCase):
    def lines(self, m, old, elapsed_ago, start_ago):
        with mock.patch("time.time", return_value=1000.0):
            result = m._join_property_log(old, 1000.0 - elapsed_ago, 1000.0 - start_ago)
        return result, m._log.messages()

    def test_worked_example_and_unchanged_baseline(self):
        m = self.make(print)
        fill(m, 52, 5, 120, 12, 950, 15600)
        result, lines = self.lines(m, {"total": 100, "done": 40, "failed": 2}, 5.02, 125.3)
        self.assertEqual(lines, [
            "summary +     12 in 00:00:05 =    2.4/s Avg:     0 Min:    12 Max:   950 "
            "Err:     3 (15.00%)",
            "summary =     52 in 00:02:05 =    0.4/s Avg:   300 Min:    12 Max:   950 "
            "Err:     5 (4.17%)"])
        self.assertEqual(result, (m._get_run_status(), 1000.0))
        again = m._join_property_log(result[0], result[1], 1.0)
        self.assertIs(again[0], result[0])
        self.assertIs(again[1], result[1])
        self.assertEqual(len(m._log.messages()), 2)

    def test_guarded_and_unusual_figures(self):
        day = 86400
        cases = [  # counts, baseline (total, done, failed), ages, the two lines
            ((3, 0, 0, 0, 0, 0), (0, 0, 0), (0, 0),  # zero lengths, zero totals
             [("+", 3, "00:00:00", 0.0, 0, 0, 0, 0, "0.00"),
              ("=", 3, "00:00:00", 0.0, 0, 0, 0, 0, "0.00")]),
            ((1, 0, 1, 0, 0, 0), (1, 0, 0), (-1.5, -1.5),  # clock stepped back
             [("+", 1, "23:59:58", 0.0, -1, 0, 0, 0, "0.00"),
              ("=", 1, "23:59:58", 0.0, 0, 0, 0, 0, "0.00")]),
            ((2, 1, 4, 10, 200, 300), (10, 5, 3), (6, 8),  # negative counts, half-even
             [("+", -3, "00:00:06", -0.5, 0, 10, 200, -2, "0.00"),
              ("=", 2, "00:00:08", 0.2, 150, 10, 200, 1, "25.00")]),
            ((900, 30, 1000, 123456, 1234567, 1234567), (1000, 0, 27),  # over a day
             (25 * 3600 + 7.9, 2 * day + 61),
             [("+", 900, "01:00:07", 0.0, 100, 123456, 1234567, 3, "0.00"),
              ("=", 900, "00:01:01", 0.0, 1371, 123456, 1234567, 30, "3.00")]),
        ]
        for counts, (total, done, failed), ages, expected in cases:
            with self.subTest(counts=counts, ages=ages):
                m = self.make(print)
                fill(m, *counts)
                old = {"total": total, "done": done, "failed": failed}
                self.assertEqual(self.lines(m, old, *ages)[1], [line(*e) for e in expected])


    def test_lines_leave_no_references_behind(self):
        # The format codes, the time format and the message pieces
        # are interned strings the module owns: building lines must not add
        # references to them (on 3.13 interned strings are not immortal).
        m = self.make(print)
        fill(m, 52, 5, 120, 12, 950, 15600)
        watched = [sys.intern(t) for t in (">6", ">5", ".2f", "%H:%M:%S", "gmtime", "get")]
        old = {"total": 100, "done": 40, "failed": 2}
        m._join_property_log(old, 1.0, 1.0)
        before = [sys.getrefcount(t) for t in watched]
        for _ in range(1000):
            m._join_property_log(old, 1.0, 1.0)
        grown = [sys.getrefcount(t) - b for t, b in zip(watched, before, strict=True)]
        # (one reference or so may come and go; a leak grows with the calls)
        self.assertLess(max(grown), 5, dict(zip(watched, grown, strict=True)))


class StatisticsWait(ManagerCase, unittest.TestCase):
    def run_wait(self, setup, hooks, interval=5):
        m = self.make(print, 0, True)
        m._send("held")  # never starts: the manager is never idle
        m._stop_all = lambda: m._log.info("<stop all>")
        setup(m)
        clock = FakeClock({k: (lambda f=f: f(m)) for k, f in hooks.items()})
        with clock.installed():
            self.assertIs(m._join_property(None, interval), True)
        return clock.pauses, m._log.messages("info")

    def test_lines_follow_the_intervals(self):
        def finish(m, names, failed=(), last=False):
            m._var.dones.extend(names)
            m._var.failed.extend(failed)
            m._var.done = last

        pauses, msgs = self.run_wait(
            lambda m: fill(m, 0, 0, 5, 7, 40, 100),  # all submitted before the wait
            {1: lambda m: finish(m, "ab", "b"), 3: lambda m: finish(m, "cde", last=True)})
        self.assertEqual(pauses, [5, 5, 5])
        self.assertEqual(msgs, ["Join......"] + [line(*e) for e in [
            ("+", 2, "00:00:05", 0.4, 2, 7, 40, 1, "0.00"),
            ("=", 2, "00:00:05", 0.4, 50, 7, 40, 1, "20.00"),
            ("+", 3, "00:00:10", 0.3, 3, 7, 40, 0, "0.00"),
            ("=", 5, "00:00:15", 0.3, 20, 7, 40, 1, "20.00")]] + ["Join complete"])

    def test_duration_and_stop_switch(self):
        def done_and_stopped(m):
            m._var.duration, m._var.done, m._var.stop_switch = 30, True, True

        def set_duration(value):
            return {2: lambda m: setattr(m._var, "duration", value)}

        stopped = ["Join......", "Join stop all......", "<stop all>", "Join complete"]
        self.assertEqual(self.run_wait(done_and_stopped, {}), ([5] * 7, stopped))
        self.assertEqual(self.run_wait(done_and_stopped, set_duration(12))[0], [5] * 3)
        self.assertEqual(self.run_wait(done_and_stopped, set_duration(None))[0], [5] * 2)
        self.assertEqual(
            self.run_wait(lambda m: None,
                          {2: lambda m: setattr(m._var, "stop_switch", True)}, 0.5),
            ([0.5, 0.5], stopped))


if __name__ == "__main__":
    unittest.main()
