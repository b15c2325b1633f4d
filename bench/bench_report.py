"""What the report of a 10-minute run with 20 groups costs: merging the
statistics of two processes and drawing the report, each in a fresh child
process (so the plotting library's import is counted, as a user waits for
it), beside the same work done by the vigil_load of an earlier commit (by
default the last one that laid its charts out with matplotlib's constrained
layout). Medians of REPEATS children taking turns; every repeat is printed.

    python bench/bench_report.py [--against REV]   (REV "none": no peer)

The goal: the drawing takes at most 2 s.
"""
import argparse
import importlib.util
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))  # vigil_load when not installed

from vigil_load.histogram import Histogram  # noqa: E402

REPEATS = 3
GOAL_SECONDS = 2.0
SECONDS, GROUPS, PER_SECOND = 600, 20, 60  # per process
START = 1_700_000_000
# The last commit whose report laid its charts out with constrained layout.
BEFORE = "6f274e5"

CHILD = r'''
import json, sys, time
t0 = time.perf_counter()
from vigil_load.report import page
from vigil_load.stats import load, merge
t1 = time.perf_counter()
merged = merge([load(path) for path in sys.argv[1:]])
t2 = time.perf_counter()
html = page(merged, title="bench")
t3 = time.perf_counter()
print(json.dumps({"merge": t2 - t1, "draw": t3 - t2, "bytes": len(html)}))
'''


def _second(values):
    ordered = sorted(values)
    return {**{k: ordered[math.ceil(len(ordered) * q) - 1] / 1000
               for k, q in (("p50", 0.5), ("p95", 0.95), ("p99", 0.99))},
            "max": ordered[-1] / 1000}


def one_process(seed):
    """The statistics of one process of the run: every group's runs each
    second, the groups failing in turns, a few kinds of failure."""
    r = random.Random(seed)
    names = [f"/api/endpoint-{g}" for g in range(GROUPS)]
    runs = {name: [] for name in names}
    failed = {name: 0 for name in names}
    history = []
    for t in range(SECONDS):
        times, by_group = [], {}
        for n in range(PER_SECOND):
            name = names[n % GROUPS]
            us = int(r.lognormvariate(9.5, 0.6)) + 500
            runs[name].append(us)
            times.append(us)
            # each group fails in a stretch of its own
            if (t // 30) % GROUPS == names.index(name) and r.random() < 0.3:
                by_group[name] = by_group.get(name, 0) + 1
                failed[name] += 1
        history.append({"time": START + t, "finished": len(times),
                        "failed": sum(by_group.values()), "started": len(times),
                        "queued": r.randint(0, 30), "running": r.randint(5, 20),
                        "run_time": _second(times), "latency": _second(times),
                        "failed_by_group": by_group})
    every = [us for name in names for us in runs[name]]
    whole = Histogram.from_values(every)

    def group(name):
        h = Histogram.from_values(runs[name])
        return {"finished": len(runs[name]), "succeeded": len(runs[name]) - failed[name],
                "failed": failed[name], "first_start": START + 0.1,
                "last_finish": START + SECONDS, "errors": [
                    {"kind": "urllib.error.HTTPError", "message": "HTTP Error <n>: <str>",
                     "example": "HTTP Error 500: 'Internal'", "count": failed[name],
                     "first": START + 1.0, "last": START + SECONDS - 1.0}],
                "histograms": {"run_time": h.to_json(), "latency": h.to_json()}}

    total_failed = sum(failed.values())
    return {"finished": len(every), "succeeded": len(every) - total_failed,
            "failed": total_failed, "stopped": 0, "cancelled": 3, "queued": 0, "running": 0,
            "first_start": START + 0.1, "last_finish": START + SECONDS,
            "errors": [{"kind": "urllib.error.HTTPError", "message": "HTTP Error <n>: <str>",
                        "example": "HTTP Error 500: 'Internal'", "count": total_failed,
                        "first": START + 1.0, "last": START + SECONDS - 1.0}],
            "groups": {name: group(name) for name in names}, "history": history,
            "histograms": {"run_time": whole.to_json(), "queue_wait": whole.to_json(),
                           "latency": whole.to_json()}}


def source_at(rev, into):
    """The python/ folder of the commit `rev`, or None without git or it."""
    try:
        tar = subprocess.run(["git", "-C", ROOT, "archive", rev, "python"], capture_output=True,
                             check=True, timeout=60).stdout
        subprocess.run(["tar", "-x", "-C", into], input=tar, check=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    return os.path.join(into, "python")


def measure(python_dir, files):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([python_dir, *filter(None, [env.get("PYTHONPATH")])])
    out = subprocess.run([sys.executable, "-c", CHILD, *files], env=env, capture_output=True,
                         text=True, timeout=600)
    if out.returncode:
        raise SystemExit(f"the child failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", default=BEFORE, help="the commit to compare with, or none")
    args = parser.parse_args()
    if importlib.util.find_spec("matplotlib") is None:
        print("bench_report: skipped, the report needs matplotlib (pip install matplotlib)")
        return
    with tempfile.TemporaryDirectory() as work:
        files = []
        for seed in (1, 2):
            path = os.path.join(work, f"process-{seed}.json")
            with open(path, "w") as f:
                json.dump(one_process(seed), f)
            files.append(path)
        paths = {"this": os.path.join(ROOT, "python")}
        if args.against != "none":
            old = source_at(args.against, work)
            if old is None:
                print(f"(no peer: commit {args.against} not found)")
            else:
                paths[f"commit {args.against}"] = old
        results = {name: [] for name in paths}
        for _ in range(REPEATS):
            for name, where in paths.items():
                results[name].append(measure(where, files))
    print(f"report of a {SECONDS // 60}-minute run with {GROUPS} groups, merged from 2 "
          f"processes ({2 * SECONDS * PER_SECOND:,} runs), each figure the median of {REPEATS} "
          f"fresh processes:")
    medians = {}
    for name, runs in results.items():
        draw = statistics.median(r["draw"] for r in runs)
        merge = statistics.median(r["merge"] for r in runs)
        medians[name] = draw
        print(f"  {name:<16} drawing {draw:5.2f} s ({', '.join(f'{r['draw']:.2f}' for r in runs)})"
              f", merging {merge:5.2f} s ({', '.join(f'{r['merge']:.2f}' for r in runs)}), "
              f"{runs[0]['bytes']:,} bytes")
    mine = medians["this"]
    peers = [v for k, v in medians.items() if k != "this"]
    if peers:
        print(f"  ratio of the drawing, this / the peer: {mine / peers[0]:.2f}")
    print(f"  goal: drawing at most {GOAL_SECONDS:g} s: {'met' if mine <= GOAL_SECONDS else 'missed'}")


if __name__ == "__main__":
    main()
