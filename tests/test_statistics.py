"""What the core records of the runs (_get_statistics, its histograms and
its history), and its summariser (threads_main._summarise)."""
import collections
import json
import math
import threading
import time
import unittest
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import threads_main
from load_support import START, make_stats, summary
from support import ManagerCase, wait_until
from vigil_load.histogram import Histogram

KEYS = ["finished", "succeeded", "failed", "stopped", "cancelled", "queued", "running",
        "error_rate", "first_start", "last_finish", "elapsed", "throughput", "run_time",
        "queue_wait", "latency", "late_starts", "errors", "groups", "history", "histograms"]
SUMMARY = ["min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max"]


def sleeper(ms, fail=False):
    time.sleep(ms / 1000)
    if fail:
        raise ValueError("planned failure")
    return ms


class Statistics(ManagerCase, unittest.TestCase):
    def test_a_fresh_manager(self):
        s = self.make(sleeper)._get_statistics()
        self.assertEqual(list(s), KEYS)
        self.assertEqual([s[k] for k in KEYS[:8]], [0, 0, 0, 0, 0, 0, 0, 0.0])
        self.assertEqual((s["first_start"], s["last_finish"], s["elapsed"], s["throughput"]),
                         (None, None, 0.0, 0.0))
        self.assertEqual((s["errors"], s["groups"]), ([], {}))
        for key in ("run_time", "queue_wait", "latency"):
            self.assertEqual(s[key], dict.fromkeys(SUMMARY))
            self.assertEqual(s["histograms"][key], {"unit": "us", "precision_bits": 8, "count": 0,
                                                    "sum": 0, "min": None, "max": None,
                                                    "buckets": []})
        self.assertEqual(s["history"], [])

    def test_run_times_failures_and_the_python_reading_agree(self):
        m = self.make(sleeper, 4)
        m._var.break_result = 40  # a run returning 40 counts as failed
        began = time.monotonic()
        for ms in [20] * 10 + [40] * 2 + [80] * 8:
            m._send(ms=ms)
        m._send(ms=1, fail=True)
        self.wait_done(m)
        took_ms = (time.monotonic() - began) * 1000
        s = m._get_statistics()
        self.assertEqual(json.loads(json.dumps(s)), s)
        self.assertEqual((s["finished"], s["succeeded"], s["failed"], s["error_rate"]),
                         (21, 18, 3, 100 * 3 / 21))
        rt = s["run_time"]
        # Sleeps are never shorter than asked, and no run outlasts the test.
        self.assertGreaterEqual(rt["min"], 1.0)
        self.assertTrue(20 <= rt["p50"] <= rt["p90"], rt)  # the 11th of 21 runs slept 20 ms
        self.assertTrue(80 <= rt["p90"] <= rt["p99.9"] <= rt["max"] < took_ms, (rt, took_ms))
        self.assertEqual(s["histograms"]["run_time"]["count"], 21)
        self.assertEqual(s["histograms"]["queue_wait"]["count"], 21)
        self.assertGreater(s["throughput"], 0)
        self.assertAlmostEqual(s["elapsed"], s["last_finish"] - s["first_start"], places=6)

    def test_queue_wait_is_the_wait_of_a_free_worker(self):
        # One worker, four tasks of 100 ms queued at once: each waits behind
        # the ones before it, but its queue wait counts only from the moment
        # the worker was free for it (the end of the call before), at the
        # default pace as at full speed: bounded by what the tasks read on
        # the same clock, however slow the machine.
        def us():
            return time.monotonic_ns() // 1000

        for rate in (None, math.inf):
            calls = []

            def task(calls=calls):
                entry = us()
                time.sleep(0.1)
                calls.append((entry, us()))

            m = self.make(task, 1)
            m._set_start_rate(rate)
            sent = us()
            for _ in range(4):
                m._send()
            self.wait_done(m)
            qw = m._get_statistics()["queue_wait"]
            waits = [calls[0][0] - sent] + [calls[k][0] - calls[k - 1][1] for k in range(1, 4)]
            self.assertLessEqual(qw["max"], max(waits) / 1000 * 1.02 + 1, (rate, qw, waits))

    def test_a_stop_frees_its_slot_for_the_queue_wait(self):
        # The next task waits from the stop, not from when it was queued.
        began = {}

        def task(name):
            began[name] = time.monotonic()
            while name == "a":
                time.sleep(0.005)

        m = self.make(task, 1)
        sent = time.monotonic()
        m._send("a", name="a")
        self.assertTrue(wait_until(lambda: "a" in began))
        m._send("b", name="b")
        time.sleep(0.5)
        stopped = time.monotonic()
        m._stop("a")
        self.assertTrue(wait_until(m._done, 30))
        waited = m._get_statistics()["queue_wait"]["max"]
        bound = max(began["a"] - sent, began["b"] - stopped) * 1000
        self.assertLessEqual(waited, bound * 1.02 + 1)

    def test_stops_cancels_and_clearing(self):
        gate = threading.Event()
        m = self.make(lambda: wait_until(gate.is_set, 60), 1)
        self.addCleanup(gate.set)
        for name in ("a", "b", "c"):
            m._send(name)
        self.assertTrue(wait_until(lambda: m._get_status("a")["a"] == "运行中"))
        s = m._get_statistics()
        self.assertEqual((s["queued"], s["running"]), (2, 1))
        self.assertIsNotNone(s["first_start"])
        m._stop_all()  # a is stopped, b and c withdrawn
        gate.set()
        self.assertTrue(wait_until(m._done))
        s = m._get_statistics()
        self.assertEqual((s["finished"], s["stopped"], s["cancelled"]), (0, 1, 2))
        # A stopped run has no run time; a withdrawn task no queue wait.
        self.assertEqual((s["histograms"]["run_time"]["count"],
                          s["histograms"]["queue_wait"]["count"]), (0, 1))
        self.assertIs(m._clear_record(), True)
        cleared = m._get_statistics()
        self.assertEqual((cleared["stopped"], cleared["first_start"], cleared["history"],
                          cleared["histograms"]["queue_wait"]["count"]), (0, None, [], 0))
        m._close()
        self.assertEqual(m._get_statistics()["finished"], 0)  # it answers after close

    def test_late_starts(self):
        # At 100 starts a second with two workers busy for 150 ms, the starts
        # after the first two come long after their slot in the schedule (the
        # first is on time whatever the load); without a rate there is no
        # schedule to be late for.
        counts = []
        for rate in (100, None):
            m = self.make(sleeper, 2)
            if rate:
                m._set_start_rate(rate)
            for _ in range(6):
                m._send(ms=150)
            self.wait_done(m)
            counts.append(m._get_statistics()["late_starts"])
            if rate:
                m._clear_record()
                self.assertEqual(m._get_statistics()["late_starts"], 0)
        self.assertEqual((4 <= counts[0] <= 5, counts[1]), (True, 0), counts)

    def test_history_has_a_row_a_second(self):
        # At least 2.45 s of steady work (the pacer never starts early): a
        # row for each second, within the seconds of this test, the starts
        # adding up, the last row taken when the work ended.
        m = self.make(sleeper, 2)
        m._set_start_rate(20)
        began = time.time()
        for _ in range(50):
            m._send(ms=5)
        self.wait_done(m)
        s = m._get_statistics()
        ended = time.time()
        rows = s["history"]
        times = [r["time"] for r in rows]
        self.assertEqual(times, sorted(set(times)))
        self.assertTrue(int(began) <= times[0] and times[-1] <= ended, (began, times, ended))
        self.assertGreaterEqual(times[-1] - times[0], 2, times)
        self.assertEqual(sum(r["started"] for r in rows), 50)
        self.assertEqual(sum(r["finished"] for r in rows), 50)
        self.assertEqual((rows[-1]["queued"], rows[-1]["running"]), (0, 0))
        busy = [r for r in rows if r["finished"]]
        self.assertTrue(all(5 <= r["run_time"]["p50"] <= r["run_time"]["max"] for r in busy), rows)

    def test_every_finished_run_is_in_one_history_row(self):
        # However the run ends, the second it ended in is a row, and no run is
        # counted twice: the columns add up to the totals.
        def task(i):
            time.sleep(0.002)
            if i % 5 == 0:
                raise ValueError("planned failure")

        def close_mid_second(m):
            # Runs go on into the second the close ends: half a second of them.
            time.sleep((0.5 - time.time()) % 1)
            m._close()

        def completes():
            m = self.make(task, 20)
            for i in range(100):
                m._send(i=i)
            self.wait_done(m)
            return m

        def closed():
            m = self.make(task, 20)
            m._set_start_rate(200)
            for i in range(1000):
                m._send(i=i)
            # The first run fails; the close comes after it, however slowly
            # the runs go.
            self.assertTrue(wait_until(lambda: m._var.failed))
            close_mid_second(m)
            return m

        def duration():
            m = self.make(task, 20, duration=1)
            m._set_start_rate(200)
            m._send_list([{"i": i} for i in range(20)])
            m._join_property(None, interval=1)  # the runs go on after it
            close_mid_second(m)
            return m

        for ending in (completes, closed, duration):
            with self.subTest(ending.__name__):
                m = ending()
                # Runs the close found finishing are counted when they end.
                self.assertTrue(wait_until(lambda: m._get_statistics()["running"] == 0))
                s = m._get_statistics()
                rows = s["history"]
                self.assertGreater(s["failed"], 0)
                self.assertEqual(sum(r["finished"] for r in rows), s["finished"])
                self.assertEqual(sum(r["failed"] for r in rows), s["failed"])
                self.assertEqual(sum(r["started"] for r in rows),
                                 s["histograms"]["queue_wait"]["count"])

if __name__ == "__main__":
    unittest.main()


class Custom(Exception):
    pass


def here(case, func, tasks, group=None, break_result=None):
    """A manager whose tasks run one after another on this thread, in the
    order sent (its queue is held, its workers started by hand)."""
    m = case.make(func, 0, True)
    if group is not None:
        m._set_statistics_group(group)
    m._var.break_result = break_result
    for kw in tasks:
        m._send(**kw)
    v = m._var
    names = list(v.threads.keys())
    v.runs.extend(names)
    for name in names:
        v.threads.get(name).thread._target.__self__.start()
    return m


def fail_as(how=None, ep=None):
    if how is None:
        return "ok"
    if how == "break":
        return ["broken", 1]
    if isinstance(how, int):
        return how
    kind, message = how
    raise kind(message)


def without_times(errors):
    """Failures by kind as (kind, message, example, count); their first and
    last failure checked to be epoch seconds in order."""
    for e in errors:
        assert isinstance(e["first"], float) and e["first"] <= e["last"], e
    return [(e["kind"], e["message"], e["example"], e["count"]) for e in errors]


class FailuresAndGroups(ManagerCase, unittest.TestCase):
    def test_failures_by_kind_ordered_by_count_each_logged_once(self):
        long = "x" * 250
        hows = [(ValueError, "a"), None, "break", (Custom, long), (ValueError, "b"),
                (ValueError, "a"), "break", (ValueError, "a"), (KeyError, "k")]
        began = time.time()
        m = here(self, fail_as, [{"how": h} for h in hows], break_result=[["broken", 1]])
        s = m._get_statistics()
        self.assertEqual(without_times(s["errors"]), [
            ("ValueError", "a", "a", 3), ("break result", "['broken', 1]", "['broken', 1]", 2),
            ("KeyError", "<str>", "'k'", 1), ("ValueError", "b", "b", 1),
            (f"{__name__}.Custom", "x" * 200, "x" * 200, 1)])
        # First and last failure as clock times, in the order they failed.
        times = sorted((e["first"], e["kind"], e["message"]) for e in s["errors"])
        self.assertEqual([t[1:] for t in times], [
            ("ValueError", "a"), ("break result", "['broken', 1]"),
            (f"{__name__}.Custom", "x" * 200), ("ValueError", "b"), ("KeyError", "<str>")])
        a = s["errors"][0]
        self.assertTrue(began <= a["first"] < a["last"] <= time.time(), a)
        self.assertEqual((s["failed"], s["groups"]), (8, {}))
        # Each exception once at debug level, with its traceback; reading the
        # failures again logs nothing more.
        m._get_failed_result()
        m._get_statistics()
        logged = [msg for msg in m._log.messages("debug") if msg.startswith("Task error: ")]
        self.assertEqual(len(logged), 6, logged)
        self.assertTrue(logged[0].startswith("Task error: Thread_1: Traceback"), logged[0])
        self.assertIn("in fail_as", logged[0])
        self.assertTrue(logged[0].endswith("ValueError: a\n"), logged[0])

    def test_a_log_that_writes_debug_gets_the_traceback(self):
        m = self.make(fail_as, 1, log=False)  # the manager's own VigilLog
        with self.assertLogs("VigilThreads", "DEBUG") as logs:
            m._send(how=(ValueError, "v"))
            self.wait_done(m)
        self.assertTrue(any("Task error: Thread_1: Traceback" in line for line in logs.output))

    def test_a_hundred_kinds_then_other(self):
        hows = [(ValueError, "x" * i) for i in range(1, 101)] + [(ValueError, "x")] * 2
        hows += [(KeyError, "late"), (ValueError, "y")]
        m = here(self, fail_as, [{"how": h} for h in hows])
        errors = m._get_statistics()["errors"]
        self.assertEqual(len(errors), 101)
        self.assertEqual(without_times(errors[:1] + errors[-1:]), [
            ("ValueError", "x", "x", 3), ("other", "", "KeyError: 'late'", 2)])
        self.assertEqual(sum(e["count"] for e in errors), len(hows))

    def test_a_template_groups_messages_that_differ_only_by_ids(self):
        def lookup(i):
            return (LookupError, f"no user {uuid.uuid4()} in 'shard {i}' at 0x{i * 4099:x}, "
                                 f"try {i}.5 of -{i} (req {i:03x}a7c9e2d1)")
        hows = [lookup(i) for i in range(5)]
        hows += [(ValueError, "can't parse item7"), (ValueError, "can't parse item12"),
                 (ValueError, "can't read"), (ValueError, "1 " * 100), (KeyError, "k"),
                 (KeyError, "j"), 500, 503, 500]
        m = here(self, fail_as, [{"how": h} for h in hows], break_result=[500, 503])
        errors = without_times(m._get_statistics()["errors"])
        self.assertEqual(errors, [
            ("LookupError", "no user <uuid> in <str> at <hex>, try <n> of <n> (req <hex>)",
             hows[0][1], 5),
            ("KeyError", "<str>", "'k'", 2),
            ("ValueError", "can't parse item<n>", "can't parse item7", 2),
            ("break result", "500", "500", 2),
            ("ValueError", ("<n> " * 50)[:200], "1 " * 100, 1),
            ("ValueError", "can't read", "can't read", 1),
            ("break result", "503", "503", 1)])

    def test_groups_by_a_keyword_argument(self):
        tasks = [{"ep": "/a"}, {"ep": "/a", "how": (ValueError, "v")}, {"ep": 7}, {},
                 {"ep": "é" * 120}, {"how": "break"}]
        m = here(self, fail_as, tasks, group="ep", break_result=[["broken", 1]])
        s = m._get_statistics()
        g = s["groups"]
        self.assertEqual(list(g), ["", "/a", "7", "é" * 100])  # most runs first, then by name
        self.assertEqual([(x["finished"], x["succeeded"], x["failed"]) for x in g.values()],
                         [(2, 1, 1), (2, 1, 1), (1, 1, 0), (1, 1, 0)])
        self.assertEqual(without_times(g["/a"]["errors"]), [("ValueError", "v", "v", 1)])
        # The history has each second's failures by group.
        by_group = collections.Counter()
        for r in s["history"]:
            by_group.update(r["failed_by_group"])
        self.assertEqual(by_group, {"/a": 1, "": 1})
        self.assertEqual(g[""]["errors"][0]["kind"], "break result")
        a = g["/a"]
        self.assertEqual(a["histograms"]["run_time"]["count"], 2)
        self.assertEqual(a["error_rate"], 50.0)
        self.assertLessEqual(s["first_start"], a["first_start"])
        self.assertLessEqual(a["first_start"], a["last_finish"])
        self.assertEqual(json.loads(json.dumps(s)), s)

    def test_a_thousand_groups_then_other(self):
        tasks = [{"ep": i} for i in range(1000)] + [{"ep": 0}, {"ep": "new"}, {"ep": "newer"}]
        m = here(self, fail_as, tasks, group="ep")
        g = m._get_statistics()["groups"]
        self.assertEqual(len(g), 1001)
        self.assertEqual((g["0"]["finished"], g["other"]["finished"]), (2, 2))
        self.assertEqual(list(g)[-1], "other")

    def test_setting_the_group(self):
        m = self.make(fail_as, 0, True)
        self.assertIs(m._set_statistics_group("ep"), True)
        for bad in (b"ep", 1, ["ep"]):
            with self.assertRaises(TypeError, msg=repr(bad)):
                m._set_statistics_group(bad)
        self.assertIs(m._set_statistics_group(None), True)
        self.assertIs(m._set_statistics_group(key="ep"), True)
        self.assertEqual(m._log.messages("info"), ["Statistics group: ep",
                                                   "Statistics group: None",
                                                   "Statistics group: ep"])
        # The refusals changed nothing: runs are grouped by "ep"; then, with
        # the grouping removed, no longer.
        m2 = here(self, fail_as, [{"ep": "/a"}], group="ep")
        self.assertEqual(list(m2._get_statistics()["groups"]), ["/a"])
        m2._set_statistics_group()
        m2._send(ep="/b")
        m2._var.runs.append("Thread_2")
        m2._var.threads.get("Thread_2").thread._target.__self__.start()
        self.assertEqual(m2._get_statistics()["groups"]["/a"]["finished"], 1)
        self.assertEqual(len(m2._get_statistics()["groups"]), 1)
        m._close()
        with self.assertRaises(threads_main.ManagerError):
            m._set_statistics_group("ep")

    def test_unpaced_latency_is_the_run_time_and_clearing(self):
        # With no schedule there is no intended start: a run's latency is its
        # run time, whatever it waited in the queue.
        m = self.make(sleeper, 2)
        m._set_statistics_group("ms")
        for i in range(12):
            m._send(ms=i % 3 * 10, fail=i == 5)
        self.wait_done(m)
        s = m._get_statistics()
        h = s["histograms"]
        self.assertEqual(h["latency"]["count"], 12)
        self.assertEqual((h["latency"], s["latency"]), (h["run_time"], s["run_time"]))
        self.assertEqual([r["latency"] for r in s["history"]],
                         [r["run_time"] for r in s["history"]])
        self.assertEqual(len(s["errors"]), 1)
        self.assertEqual(sorted(s["groups"]), ["0", "10", "20"])
        self.assertTrue(all(r["latency"]["max"] is not None for r in s["history"] if r["finished"]))
        # What the recorder holds and what a dict holds are summarised alike.
        self.assertEqual(threads_main._summarise(s), s)
        self.assertIs(m._clear_record(), True)
        s = m._get_statistics()
        self.assertEqual((s["errors"], s["groups"], s["histograms"]["latency"]["count"]),
                         ([], {}, 0))

    def test_merging_real_runs_adds_kinds_and_groups_exactly(self):
        import vigil_load

        parts = []
        for hows in ([(ValueError, "a"), None, "break", (ValueError, "a")],
                     [(ValueError, "a"), (KeyError, "k"), None, None, "break"]):
            tasks = [{"how": h, "ep": f"/{i % 2}"} for i, h in enumerate(hows)]
            parts.append(here(self, fail_as, tasks, group="ep",
                              break_result=[["broken", 1]])._get_statistics())
        merged = vigil_load.merge(parts)
        counts = {(e["kind"], e["message"]): e["count"] for e in merged["errors"]}
        self.assertEqual(counts, {("ValueError", "a"): 3, ("break result", "['broken', 1]"): 2,
                                  ("KeyError", "<str>"): 1})
        for name in ("/0", "/1"):
            got = merged["groups"][name]
            for key in ("finished", "failed"):
                self.assertEqual(got[key], sum(p["groups"][name][key] for p in parts))
            for key in ("run_time", "latency"):
                want = Histogram()
                for p in parts:
                    want.add(Histogram.from_json(p["groups"][name]["histograms"][key]))
                self.assertEqual(got["histograms"][key], want.to_json())
            self.assertEqual(sum(e["count"] for e in got["errors"]), got["failed"])


def exact(values, thousandths):
    ordered = sorted(values)
    return ordered[max(1, math.ceil(len(ordered) * thousandths / 100_000)) - 1]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(min_value=0, max_value=10**11), min_size=1, max_size=300))
def test_percentiles_within_the_stated_error_of_the_order_statistic(values):
    s = summary(values)
    for key, q in (("p50", 50_000), ("p90", 90_000), ("p95", 95_000), ("p99", 99_000),
                   ("p99.9", 99_900)):
        assert abs(s[key] * 1000 - exact(values, q)) <= exact(values, q) / 256 + 1e-6, key
    assert (s["min"], s["max"]) == (min(values) / 1000, max(values) / 1000)
    assert s["mean"] == sum(values) / len(values) / 1000


def test_summary_rules():
    # 1..1000 ms: p50 is the 500th value, p99.9 the 999th.
    s = summary([ms * 1000 for ms in range(1, 1001)])
    assert (s["min"], s["mean"], s["max"]) == (1.0, 500.5, 1000.0)
    for key, want in (("p50", 500), ("p90", 900), ("p95", 950), ("p99", 990), ("p99.9", 999)):
        assert s[key] == pytest.approx(want, rel=1 / 256), key
    assert list(summary([5, 7, 7, 200]).values()) == [0.005, 0.05475, 0.007, 0.2, 0.2, 0.2, 0.2,
                                                      0.2]  # exact below 256 us
    assert summary([1_000_001])["p50"] == 1000.001  # within the exact extremes
    assert (summary([10, 20])["p50"], summary([10, 20])["p90"]) == (0.01, 0.02)  # rank rounds up
    assert summary([]) == dict.fromkeys(["min", "mean", "p50", "p90", "p95", "p99", "p99.9",
                                         "max"])
    # Counts and sums of merged runs beyond 64-bit products and 53-bit floats.
    many = {"unit": "us", "precision_bits": 8, "count": 2 * 10**15, "sum": 2**54 + 1,
            "min": 5, "max": 300, "buckets": [[5, 10**15], [256 + 22, 10**15]]}
    s = make_stats([], histograms={"run_time": many, "queue_wait": many, "latency": many})[
        "run_time"]
    assert (s["p50"], s["p90"], s["mean"]) == (0.005, 0.3, (2**54 + 1) / (2 * 10**15) / 1000)


def test_a_load_runs_figures():
    base = make_stats([1000] * 4, [5000] * 4, failed=1, cancelled=2, queued=1, running=1,
                      first_start=START, last_finish=START + 30)
    group = {**base["groups"].get("g", {}), "finished": 2, "succeeded": 2, "failed": 0,
             "first_start": START + 1, "last_finish": START + 29, "errors": [],
             "active": [[START + 20, START + 29], [START + 1, START + 2]],
             "histograms": {k: base["histograms"][k] for k in ("run_time", "latency")}}
    row = {"run": 1, "process": 2, "where": "box", "finished": 4, "succeeded": 3, "failed": 1,
           "stopped": 0, "cancelled": 2, "first_start": START, "last_finish": START + 8,
           "histograms": base["histograms"]}
    recorded = {**base, "groups": {"g": group}, "processes": [row],
                "settings": [{"rate": None}], "active": [[START + 10, START + 30],
                                                         [START, START + 5], [START + 4, START + 8]]}
    s = threads_main._summarise(recorded)
    assert list(s) == [*KEYS[:8], "submitted_error_rate", *KEYS[8:18], "processes", "settings",
                       "active", "notes", *KEYS[18:]]
    assert (s["active"], s["elapsed"], s["throughput"]) == (
        [[START, START + 8.0], [START + 10.0, START + 30.0]], 28.0, 4 / 28)
    assert (s["error_rate"], s["submitted_error_rate"]) == (25.0, 100 / 8)
    assert (s["groups"]["g"]["elapsed"], s["groups"]["g"]["throughput"]) == (10.0, 0.2)
    p = s["processes"][0]
    assert (p["error_rate"], p["elapsed"], p["throughput"], p["run_time"]) == (
        25.0, 8.0, 0.5, s["run_time"])
    # Free workers waited longer than the calls took: the load generator
    # held the run back, unless the run was paced (its starts wait for
    # their slots by design).
    assert s["notes"] == ["the load generator, not the target, limits this run: a free worker "
                          "waited 5 ms (median queue wait) for its next call, longer than the "
                          "calls took (1 ms median run time); spread the load over more "
                          "processes (--processes N)"]
    assert threads_main._summarise({**recorded, "settings": [{"rate": 10.0}]})["notes"] == []


def test_figures_it_cannot_read_are_refused():
    good = make_stats([1000, 2000])
    h = good["histograms"]["run_time"]
    for bad, error in (
            ([], TypeError), ({}, ValueError),
            ({**good, "finished": -1}, ValueError), ({**good, "first_start": "noon"}, ValueError),
            ({**good, "errors": {}}, TypeError), ({**good, "groups": {"g": []}}, TypeError),
            ({**good, "histograms": {**good["histograms"], "run_time": {**h, "count": 3}}},
             ValueError),
            ({**good, "histograms": {**good["histograms"],
                                     "run_time": {**h, "buckets": [[4736, 2]]}}}, ValueError),
            ({**good, "settings": []}, ValueError),  # a load run's needs its processes
            ({**good, "settings": [], "processes": [], "active": [[2.0, 1.0]]}, ValueError)):
        with pytest.raises(error):
            threads_main._summarise(bad)

