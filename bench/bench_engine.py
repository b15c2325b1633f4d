"""The cost of one request, each figure beside its peer measured in the same
run, in fresh processes taking turns; ratios are taken within each repeat:

1. HTTP, at 4 and 20 workers: vigil_load's closed loop (no --rate) against a
   ThreadPoolExecutor loop, the same keep-alive client, the same worker
   count, on nginx at 127.0.0.1 (set up as bench_spread.py does):
   requests/s and the process's CPU per request, measured around the run
   alone (start-up and the writing of results left out of both); beside
   them vigil_load --fresh-threads (a new OS thread per task), the core
   alone (a manager at the unlimited pace, no vigil_load around it) and the
   floor of a native thread per request, the last two on the pool's count
   of requests.
2. Instant tasks in a closed loop: starts/s and CPU per start of a manager at
   the unlimited pace (on its runners, and with fresh threads) against
   ThreadPoolExecutor(4).map over the same calls, and a native thread per
   task (a bare Thread start and join per task, as many at once as there are
   workers).
3. Resident memory over many instant tasks cleared with _clear_record, 30 at
   once: runners, fresh threads, and plain Python threads living the same
   life (bench_scale.py's cleared probe).
4. _close withdrawing 200,000 queued names against a bare drain of the same
   names from a multiprocessing.Queue.
5. The run time a manager records for an empty callable (what the worker's
   timing adds around the call).
6. A paced run whose target stalls.
7. The cost of an idle manager that keeps 30 idle runners.

Usage: python bench/bench_engine.py [http] [instant] [memory] [withdraw] [timing] [stall] [idle]
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_scale import CLEARED_PROBE, MILLION_PROBE  # noqa: E402
from bench_spread import CONFIG, TARGET, free_port, nginx_binary  # noqa: E402

WORKERS = 4
HTTP_WORKERS = (4, 20)
DURATION = 6.0  # seconds of each HTTP run
REPEATS = 3
INSTANT = 20000  # tasks of each instant-task run
WITHDRAWN = 200000

# One HTTP run in a fresh process: the kind, the worker count and the
# seconds; prints requests/s and CPU seconds per request, both over the run
# alone.
HTTP_PROBE = r"""
import os, sys, threading, time
import benchtarget
kind, workers, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
if kind.startswith("vigil_load"):
    import threads_main  # imported before the measure, as the pool's module is
    from vigil_load import run
    plan = run.Plan(func=benchtarget.get, tasks=[{}], workers=workers, duration=seconds,
                    interval=3600, fresh_threads=kind == "vigil_load_fresh")
    w0, c0 = time.perf_counter(), time.process_time()
    outcome = run.execute(plan, progress=lambda live: None)
    cpu = time.process_time() - c0
    s = outcome.stats
    done, wall = s["finished"], time.perf_counter() - w0
    print(s["throughput"], cpu / done, done, wall)
elif kind == "manager":
    # The core alone: the same number of requests as the pool made, all
    # queued at once, at the unlimited pace.
    import math, threads_main
    n = int(sys.argv[4])
    m = threads_main.VigilThreadsMain(benchtarget.get, workers, True, logger=False,
                                      reserve=False)
    m._set_start_rate(math.inf)
    time.sleep(0.1)
    w0, c0 = time.perf_counter(), time.process_time()
    for _ in range(n):
        m._send()
    while not m._done() or len(m._var.dones) < n:
        time.sleep(0.001)
    wall, cpu = time.perf_counter() - w0, time.process_time() - c0
    m._close()
    print(n / wall, cpu / n, n, wall)
elif kind == "thread":
    # The floor of a native thread per request: the pool's count, as many
    # at once as there are workers.
    n = int(sys.argv[4])
    slots = threading.Semaphore(workers)
    def one():
        try:
            benchtarget.get()
        finally:
            slots.release()
    w0, c0 = time.perf_counter(), time.process_time()
    threads = []
    for _ in range(n):
        slots.acquire()
        t = threading.Thread(target=one)
        t.start()
        threads.append(t)
        if len(threads) > 4 * workers:
            threads.pop(0).join()
    for t in threads:
        t.join()
    wall, cpu = time.perf_counter() - w0, time.process_time() - c0
    print(n / wall, cpu / n, n, wall)
else:
    from concurrent.futures import ThreadPoolExecutor
    ThreadPoolExecutor(1).shutdown()
    # A closed loop over the pool: each worker's task submits the next when
    # it ends, a name queued ahead for each, as long as the run lasts.
    slots = threading.Semaphore(2 * workers)
    count = [0]
    end = time.monotonic() + seconds
    def done(_):
        count[0] += 1
        slots.release()
    w0, c0 = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(workers) as pool:
        while time.monotonic() < end:
            slots.acquire()
            pool.submit(benchtarget.get).add_done_callback(done)
    wall = time.perf_counter() - w0
    cpu = time.process_time() - c0
    print(count[0] / wall, cpu / count[0], count[0], wall)
"""

# Instant tasks in a fresh process: the kind, the count, the worker count;
# prints starts/s and CPU seconds per start.
INSTANT_PROBE = r"""
import math, sys, threading, time
kind, n, workers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def task():
    pass
if kind == "manager":
    import threads_main
    m = threads_main.VigilThreadsMain(task, workers, True, logger=False)
    m._set_start_rate(math.inf)
    time.sleep(0.2)
    w0, c0 = time.perf_counter(), time.process_time()
    for _ in range(n):
        m._send()
    while not m._done() or len(m._var.dones) < n:
        time.sleep(0.002)
elif kind == "manager_fresh":
    import threads_main
    m = threads_main.VigilThreadsMain(task, workers, True, logger=False)
    m._set_start_rate(math.inf)
    m._set_fresh_threads(True)
    time.sleep(0.2)
    w0, c0 = time.perf_counter(), time.process_time()
    for _ in range(n):
        m._send()
    while not m._done() or len(m._var.dones) < n:
        time.sleep(0.002)
elif kind == "pool":
    from concurrent.futures import ThreadPoolExecutor
    pool = ThreadPoolExecutor(workers)
    list(pool.map(lambda _: task(), range(workers)))
    w0, c0 = time.perf_counter(), time.process_time()
    list(pool.map(lambda _: task(), range(n)))
else:  # a native thread per task, `workers` at once
    slots = threading.Semaphore(workers)
    def run():
        slots.release()
    w0, c0 = time.perf_counter(), time.process_time()
    threads = []
    for _ in range(n):
        slots.acquire()
        t = threading.Thread(target=run)
        t.start()
        threads.append(t)
        if len(threads) > 4 * workers:
            threads.pop(0).join()
    for t in threads:
        t.join()
wall, cpu = time.perf_counter() - w0, time.process_time() - c0
print(n / wall, cpu / n)
"""

# The run time recorded for an empty callable, mean and p50 in us.
TIMING_PROBE = r"""
import math, time, threads_main
m = threads_main.VigilThreadsMain(lambda: None, 4, True, logger=False)
m._set_start_rate(math.inf)
for _ in range(5000):
    m._send()
while not m._done() or len(m._var.dones) < 5000:
    time.sleep(0.001)
h = m._get_statistics()["histograms"]["run_time"]
s = m._get_statistics()["run_time"]
print(h["sum"] / h["count"], s["p50"] * 1000)
"""


STALL_PROBE = r"""
import time
import threads_main

t0 = time.monotonic()


def target(**_):
    # Stalls at 500 ms a call from 5 s to 7 s into the run, 1 ms otherwise.
    time.sleep(0.5 if 5.0 <= time.monotonic() - t0 < 7.0 else 0.001)


m = threads_main.VigilThreadsMain(target, 10)
m._set_start_rate(200)
for i in range(2000):
    m._send(i=i)
time.sleep(10)
s = m._get_statistics()
m._close()
print(s["run_time"]["p90"], s["latency"]["p90"], s["latency"]["p99"], s["late_starts"])
"""


def fresh(code, *args, env=None, cwd=None):
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True, env=env, cwd=cwd)
    if out.returncode != 0:
        raise SystemExit(f"probe failed ({out.returncode}):\n{out.stderr[-3000:]}")
    return [float(x) for x in out.stdout.split()[-4:]]


def fresh_all(code, *args):
    """Every figure a probe prints."""
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True)
    if out.returncode != 0:
        raise SystemExit(f"probe failed ({out.returncode}):\n{out.stderr[-3000:]}")
    return [float(x) for x in out.stdout.split()]


def verdict(ok):
    return "met" if ok else "MISSED"


def ratios(runs, kind, peer, index):
    """Per repeat, kind's figure over its peer's from the same repeat: the
    median and the spread."""
    r = [x[index] / y[index] for x, y in zip(runs[kind], runs[peer], strict=True)]
    return statistics.median(r), min(r), max(r)


def show(label, ratio, goal, ok):
    med, lo, hi = ratio
    print(f"  {label}: {med:.2f} ({lo:.2f}-{hi:.2f} over the repeats; goal {goal}, "
          f"{verdict(ok(med))})")


def http():
    nginx = nginx_binary()
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)  # nginx's worker runs as an unprivileged user
        port = free_port()
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(tmp=tmp, port=port).replace(
                f"access_log {tmp}/access.log;", "access_log off;"))
        with open(os.path.join(tmp, "benchtarget.py"), "w") as f:
            f.write(TARGET)
        server = subprocess.Popen([nginx, "-c", conf, "-p", tmp], stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            env = dict(os.environ, BENCH_PORT=str(port))
            source = os.path.join(os.path.dirname(HERE), "python")
            env["PYTHONPATH"] = os.pathsep.join(
                [tmp, source] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
            for workers in HTTP_WORKERS:
                runs = {"vigil_load": [], "pool": [], "vigil_load_fresh": [], "manager": [],
                        "thread": []}
                for _ in range(REPEATS):
                    for kind in runs:
                        count = int(runs["pool"][-1][2]) if runs["pool"] else 0
                        runs[kind].append(fresh(HTTP_PROBE, kind, workers, DURATION, count,
                                                env=env, cwd=tmp))
                http_table(workers, runs)
        finally:
            server.send_signal(signal.SIGQUIT)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()


def http_table(workers, runs):
    med = {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v))
           for k, v in runs.items()}
    print(f"1. HTTP GET / on nginx at 127.0.0.1, keep-alive client, {workers} workers, "
          f"{DURATION:g} s, median of {REPEATS} (load average {os.getloadavg()[0]:.2f})")
    print(f"  {'':34}{'requests/s':>12}{'CPU us/request':>16}")
    for kind, label in (("vigil_load", "vigil_load closed loop (runners)"),
                        ("pool", "ThreadPoolExecutor loop"),
                        ("vigil_load_fresh", "vigil_load --fresh-threads"),
                        ("manager", "the core alone, math.inf *"),
                        ("thread", "a native thread per request *")):
        print(f"  {label:<34}{med[kind][0]:>12,.0f}{med[kind][1] * 1e6:>16.1f}")
        for r in runs[kind]:
            print(f"  {'  repeat':<34}{r[0]:>12,.0f}{r[1] * 1e6:>16.1f}")
    show("requests/s, vigil_load against the pool", ratios(runs, "vigil_load", "pool", 0),
         ">= 0.9", lambda r: r >= 0.9)
    show("CPU per request, vigil_load against the pool", ratios(runs, "vigil_load", "pool", 1),
         "<= 1.2", lambda r: r <= 1.2)
    show("CPU per request, runners against --fresh-threads",
         ratios(runs, "vigil_load", "vigil_load_fresh", 1), "< 1", lambda r: r < 1)
    print("  * on the pool's count of requests: a manager at the unlimited pace with them all "
          "queued at once, no vigil_load around it; a bare Thread started per request",
          flush=True)


def instant():
    runs = {"manager": [], "pool": [], "manager_fresh": [], "thread": []}
    for _ in range(REPEATS):
        for kind in runs:
            runs[kind].append(fresh(INSTANT_PROBE, kind, INSTANT, WORKERS))
    med = {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v))
           for k, v in runs.items()}
    print(f"2. instant tasks in a closed loop, {WORKERS} workers, {INSTANT:,} tasks, median of "
          f"{REPEATS} (load average {os.getloadavg()[0]:.2f})")
    print(f"  {'':40}{'starts/s':>12}{'CPU us/start':>14}")
    for kind, label in (("manager", "manager, unlimited pace (runners)"),
                        ("pool", "ThreadPoolExecutor(4).map"),
                        ("manager_fresh", "manager, unlimited pace, fresh threads"),
                        ("thread", "a native thread per task")):
        print(f"  {label:<40}{med[kind][0]:>12,.0f}{med[kind][1] * 1e6:>14.1f}")
        print(f"  {'  repeats':<40}" + "  ".join(f"{r[0]:,.0f}/s {r[1] * 1e6:.1f} us"
                                               for r in runs[kind]))
    show("starts/s against the pool", ratios(runs, "manager", "pool", 0), ">= 0.5",
         lambda r: r >= 0.5)
    show("CPU per start, runners against fresh threads", ratios(runs, "manager", "manager_fresh", 1),
         "< 1", lambda r: r < 1)
    print(flush=True)


def memory(per_round=20000, warm=3, rounds=12):
    # The same life (30 at once, as fast as they start, _clear_record every
    # round) on runners, on a new OS thread per task and in plain Python
    # threads; growth per task after the warm-up rounds.
    n = per_round * rounds
    growth = {}
    for kind in ("ours", "ours-fresh", "plain"):
        figures = fresh_all(CLEARED_PROBE, kind, per_round, warm, rounds)
        growth[kind] = ((figures[-1] - figures[0]) / n, figures[0])
    print(f"3. resident memory growth over {n:,} instant tasks cleared every {per_round:,}, after "
          f"{warm * per_round:,} of warm-up, 30 at once")
    for kind, label in (("ours", "runners"), ("ours-fresh", "--fresh-threads"),
                        ("plain", "plain threads, the same life")):
        g, base = growth[kind]
        print(f"  {label:<30}{g:>8.2f} bytes a task ({base / 1e6:.1f} MB after the warm-up)")
    diff = growth["ours"][0] - growth["plain"][0]
    print(f"  runners minus plain threads: {diff:.2f} bytes a task (goal <= 2, "
          f"{verdict(diff <= 2)})", flush=True)


IDLE_PROBE = r"""
import threading, time, threads_main
gate = threading.Event()
m = threads_main.VigilThreadsMain(lambda: gate.wait(10), 30, True)
for _ in range(30):
    m._send()
while len(m._var.runs) < 30:
    time.sleep(0.01)
gate.set()
while not m._done():
    time.sleep(0.01)
time.sleep(0.5)
c0, w0 = time.process_time(), time.perf_counter()
time.sleep(10)
print((time.process_time() - c0) / (time.perf_counter() - w0))
m._close()
"""


def idle():
    share = fresh(IDLE_PROBE)[0]
    print(f"7. an idle manager keeping 30 idle runners, 10 s: {share * 100:.3f} % of a core "
          f"(goal <= 0.3 %, {verdict(share <= 0.003)})", flush=True)


def withdraw():
    ours, bare = [], []
    for _ in range(REPEATS):
        ours.append(fresh(MILLION_PROBE, WITHDRAWN, "ours")[1])
        bare.append(fresh(MILLION_PROBE, WITHDRAWN, "bare")[1])
    o, b = statistics.median(ours), statistics.median(bare)
    print(f"4. _close withdrawing {WITHDRAWN:,} queued names: {o:.3f} s; a bare drain of the "
          f"same names from a multiprocessing.Queue: {b:.3f} s; ratio {o / b:.2f} "
          f"(goal <= 1.3, {verdict(o / b <= 1.3)})")
    pairs = zip(ours, bare, strict=True)
    print("  repeats: " + ", ".join(f"{x:.3f}/{y:.3f} s" for x, y in pairs), flush=True)


def timing():
    runs = [fresh(TIMING_PROBE) for _ in range(REPEATS)]
    mean = statistics.median(r[0] for r in runs)
    p50 = statistics.median(r[1] for r in runs)
    print(f"5. run time recorded for an empty callable: mean {mean:.2f} us, p50 {p50:.1f} us "
          f"(what the worker's timing adds around the call)", flush=True)


def stall():
    # The latency of a paced run counts from each start's slot in the
    # schedule, so a stall shows in it even though each call stays fast.
    run_p90, lat_p90, lat_p99, late = fresh(STALL_PROBE)
    print(f"6. rate 200/s, 10 workers, the target stalls at 500 ms a call for 2 s of a 10 s run: "
          f"latency p90 {lat_p90:.0f} ms, p99 {lat_p99:.0f} ms, beside run time p90 "
          f"{run_p90:.2f} ms; {late:.0f} late starts (goal: latency p90 >= 900 ms with run time "
          f"p90 near 1 ms, {verdict(lat_p90 >= 900 and run_p90 < 5)})", flush=True)


BENCHES = {"http": http, "instant": instant, "memory": memory, "withdraw": withdraw,
           "timing": timing, "stall": stall, "idle": idle}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(BENCHES):
        BENCHES[name]()
