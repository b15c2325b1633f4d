"""Load with faults: many tasks of mixed kinds under concurrent stops,
re-runs and drains; many managers in a row."""
import gc
import os
import random
import threading
import time
import unittest

import pytest

from support import RecordingLog, wait_until
from threads_main import VigilThreadsMain

FINAL = {"完成", "失败", "停止", "取消"}
RELEASE = threading.Event()  # ends the held tasks of a test that did not stop them


class Counting(VigilThreadsMain):
    """Counts the names each re-run puts back on the queue."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.requeued = 0

    def _get_failed(self):
        names = super()._get_failed()
        self.requeued += len(names)
        return names


def task(kind, t=0.0):
    if kind == "hold":  # runs until stopped, in steps a stop can reach
        while not RELEASE.wait(0.01):
            pass
    elif kind == "sleep":
        time.sleep(t)
    elif kind == "raise":
        raise ValueError("planned failure")
    elif kind == "break":
        return 500
    return kind


def descriptions(n, rng):
    kinds = ["instant", "sleep", "raise", "break"]
    return [{"kind": rng.choice(kinds), "t": rng.choice([0.001, 0.05, 0.3])}
            for _ in range(n)]


@pytest.mark.slow
class Stress(unittest.TestCase):
    def test_mixed_load_with_interleaved_faults(self):
        rng = random.Random(1234)
        base_threads = threading.active_count()
        m = Counting(task, 30)
        m._log = RecordingLog()
        m._var.break_result = 500
        t0 = time.monotonic()
        # Runs that last until stopped, so that stops always meet running
        # tasks, and one withdrawal made sure of while they fill every slot
        # the worker count allows: however slowly a loaded machine goes, the
        # stop and the withdrawal paths are both met.
        holds = [f"hold_{i}" for i in range(10)]
        for name in holds:
            m._send(name, kind="hold")
        statuses = lambda: [m._get_status(h)[h] for h in holds]  # noqa: E731
        self.assertTrue(wait_until(lambda: set(statuses()) == {"运行中"}, 60), statuses())
        m._set_max_workers(10)
        m._send("withdrawn", kind="instant")
        m._clear_queue()
        self.assertEqual(m._get_status("withdrawn"), {"withdrawn": "取消"})
        m._set_max_workers(30)
        per_thread = [descriptions(2000, random.Random(i)) for i in range(8)]
        batch = descriptions(4000, rng)
        go = threading.Barrier(9)

        def submitter(items):
            go.wait()
            for d in items:
                m._send(**d)

        subs = [threading.Thread(target=submitter, args=(items,)) for items in per_thread]
        for s in subs:
            s.start()
        go.wait()
        m._send_list(batch)

        faults = {"stop_all": 0, "rerun": 0, "stop": 0, "clear": 0}
        refusals = []
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline:
            action = rng.choices(list(faults), weights=[1, 2, 4, 1])[0]
            faults[action] += 1
            if action == "stop_all":
                m._stop_all()
            elif action == "rerun":
                m._rerun_failed()
            elif action == "clear":
                m._clear_queue()
            else:
                runs = m._var.runs
                if runs:
                    try:
                        m._stop(rng.choice(runs))
                    except Exception as e:
                        refusals.append(str(e))
            time.sleep(rng.uniform(0.02, 0.2))
        # The window may close before a re-run met a failed task (the
        # queue's drains and stops can take every failure first): one task
        # that fails, then a re-run, so the re-run path is always met.
        extra = 0
        if m.requeued == 0:
            extra = 1
            m._send("fails", kind="raise")
            seen = wait_until(lambda: m._get_status("fails") == {"fails": "失败"}, 60)
            self.assertTrue(seen, (m._get_status("fails"), m._get_qsize(), len(m._var.runs),
                                   len(m._var.dones), len(m._var.stops), faults))
            m._rerun_failed()
        for name in holds:  # those the window's stops did not reach
            if m._get_status(name)[name] == "运行中":
                m._stop(name)
        # Every submission lands before the close, however slowly the
        # submitters and the batch go (an empty queue does not say so).
        for s in subs:
            s.join(300)
        self.assertTrue(wait_until(lambda: len(m._var.totals) == 20011 + extra, 300),
                        len(m._var.totals))
        self.assertIs(m._close(), True)
        self.assertTrue(wait_until(lambda: threading.active_count() <= base_threads, 30),
                        threading.enumerate())

        v = m._var
        self.assertEqual(len(v.totals), 20011 + extra)
        self.assertEqual(len(set(v.totals)), 20011 + extra)
        # Every started run ended exactly once, as done or as stopped.
        self.assertEqual(len(v.runs), len(v.dones) + len(v.stops))
        self.assertEqual(len(v.dones), len(v.success) + len(v.failed))
        # Every queue entry (a submission or a re-run) was started or withdrawn.
        self.assertEqual(len(v.totals) + m.requeued, len(v.runs) + len(v.cancels))
        c = m._get_run_status()
        self.assertEqual(c["total"],
                         c["success"] + c["failed"] + c["stop"] + c["cancel"] - m.requeued)
        self.assertEqual(c["run"] - c["done"] - c["stop"], 0)
        statuses = m._get_all_status()
        self.assertEqual(set(statuses), set(v.totals))
        self.assertLessEqual(set(statuses.values()), FINAL)
        # A name that ran once is in exactly one final list.
        dones, stops, cancels = set(v.dones), set(v.stops), set(v.cancels)
        once = [n for n in v.totals if v.runs.count(n) <= 1 and v.cancels.count(n) <= 1
                and (n in v.runs) != (n in cancels)]
        for n in once:
            self.assertEqual((n in dones) + (n in stops) + (n in cancels), 1, n)
        for n in stops:
            if v.runs.count(n) == 1:
                self.assertNotIn(n, dones)
        self.assertEqual([e for e in m._log.messages("debug") if e.startswith("Run error")], [])
        self.assertTrue(all(r.endswith("not running") or r.endswith("does not exist")
                            for r in refusals) or not refusals)
        self.assertGreater(len(v.stops), 0)
        self.assertGreater(len(v.cancels), 0)
        self.assertGreater(m.requeued, 0)
        print(f"\n  stress: {c}, re-queued {m.requeued}, faults {faults}, "
              f"{time.monotonic() - t0:.1f} s", flush=True)

    def test_many_managers_in_a_row(self):
        def fds():
            return len(os.listdir("/proc/self/fd"))

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096

        def one():
            m = VigilThreadsMain(lambda x: x * 2, 4)
            m._log = RecordingLog()
            for i in range(5):
                m._send(x=i)
            self.assertTrue(wait_until(m._done, 10))
            self.assertIs(m._close(), True)
            m._var.thread_init.join(5)

        base_threads = threading.active_count()
        one()
        gc.collect()
        base_fds = fds()
        for _ in range(20):
            one()
        gc.collect()
        early = rss()
        for _ in range(180):
            one()
        gc.collect()
        self.assertTrue(wait_until(lambda: threading.active_count() <= base_threads, 10),
                        threading.enumerate())
        self.assertTrue(wait_until(lambda: (gc.collect(), fds())[1] <= base_fds, 10),
                        f"descriptors: {fds()} after, {base_fds} before")
        if os.environ.get("VIGIL_SANITIZED") != "1":
            self.assertLess(rss() - early, 4 * 1024 * 1024)


if __name__ == "__main__":
    unittest.main()
