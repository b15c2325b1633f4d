"""What the core records of the runs: _get_statistics, its histograms and
its history."""
import json
import threading
import time
import unittest

from support import ManagerCase, wait_until
from vigil_load.histogram import Histogram

KEYS = ["finished", "succeeded", "failed", "stopped", "cancelled", "queued", "running",
        "error_rate", "first_start", "last_finish", "elapsed", "throughput", "run_time",
        "queue_wait", "late_starts", "history", "histograms"]
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
        for key in ("run_time", "queue_wait"):
            self.assertEqual(s[key], dict.fromkeys(SUMMARY))
            self.assertEqual(s["histograms"][key], {"unit": "us", "precision_bits": 8, "count": 0,
                                                    "sum": 0, "min": None, "max": None,
                                                    "buckets": []})
        self.assertEqual(s["history"], [])

    def test_run_times_failures_and_the_python_reading_agree(self):
        m = self.make(sleeper, 4)
        m._var.break_result = 40  # a run returning 40 counts as failed
        for ms in [20] * 10 + [40] * 2 + [80] * 8:
            m._send(ms=ms)
        m._send(ms=1, fail=True)
        self.wait_done(m)
        s = m._get_statistics()
        self.assertEqual(json.loads(json.dumps(s)), s)
        self.assertEqual((s["finished"], s["succeeded"], s["failed"], s["error_rate"]),
                         (21, 18, 3, 100 * 3 / 21))
        rt = s["run_time"]
        self.assertGreaterEqual(rt["min"], 1.0)
        self.assertTrue(20 <= rt["p50"] < 40, rt)  # the 11th of 21 runs took 20 ms
        self.assertTrue(80 <= rt["p90"] <= rt["p99.9"] <= rt["max"] < 130, rt)
        # The recorded buckets read the same through vigil_load's own code.
        h = Histogram.from_json(s["histograms"]["run_time"])
        self.assertEqual(h.summary(), rt)
        self.assertEqual(h.count, 21)
        self.assertEqual(s["histograms"]["queue_wait"]["count"], 21)
        self.assertGreater(s["throughput"], 0)
        self.assertAlmostEqual(s["elapsed"], s["last_finish"] - s["first_start"], places=6)

    def test_queue_wait_of_a_backlog(self):
        # One worker, five tasks of 100 ms queued at once: the k-th waits
        # about k * 100 ms (plus the dispatcher's passes and thread starts).
        m = self.make(sleeper, 1)
        for _ in range(5):
            m._send(ms=100)
        self.wait_done(m)
        qw = m._get_statistics()["queue_wait"]
        self.assertLess(qw["min"], 60)
        self.assertTrue(350 <= qw["max"] < 650, qw)
        self.assertTrue(150 <= qw["p50"] < 350, qw)

    def test_stops_cancels_and_clearing(self):
        gate = threading.Event()
        m = self.make(lambda: wait_until(gate.is_set, 10), 1)
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
        # About 2.5 s of steady work: a row for each second it touched, the
        # starts adding up, the last row taken when the work ended.
        m = self.make(sleeper, 2)
        m._set_start_rate(20)
        for _ in range(50):
            m._send(ms=5)
        self.wait_done(m)
        s = m._get_statistics()
        rows = s["history"]
        times = [r["time"] for r in rows]
        self.assertEqual(times, sorted(set(times)))
        self.assertLessEqual(len(rows), int(s["elapsed"]) + 2)
        self.assertGreaterEqual(len(rows), int(s["elapsed"]))
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
