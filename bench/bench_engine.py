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
6. A paced run through a stall: vigil_load --rate 200, 10 workers, a target
   that stalls for 2 s, against a ThreadPoolExecutor fed by a loop sleeping
   to each slot (which catches up after a stall): latency from each call's
   slot, the late starts, the rate delivered.
7. The pacer's ceiling: vigil_load --rate 3000 and 10000 with 10 workers and
   an instant target, beside the closed loop of the same workers (what the
   engine starts at all) and the paced pool: starts delivered a second.
8. The pacer's cost: vigil_load --rate 100 against the paced pool, CPU of
   the whole run; and an idle manager's share of a core, paced and at the
   default pace.
9. The cost of an idle manager that keeps 30 idle runners.

Usage: python bench/bench_engine.py [http] [instant] [memory] [withdraw] [timing] [stall]
       [paced] [paced_cpu] [idle]
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
    from vigil_load.stats import summarise
    plan = run.Plan(func=benchtarget.get, tasks=[{}], workers=workers, duration=seconds,
                    interval=3600, fresh_threads=kind == "vigil_load_fresh")
    w0, c0 = time.perf_counter(), time.process_time()
    outcome = run.execute(plan, progress=lambda live: None)
    cpu = time.process_time() - c0
    s = summarise(outcome.recorded)
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


# One paced run in a fresh process: the kind, the rate, the worker count,
# the seconds and the target ("instant", or "stall": 1 ms calls that take
# 500 ms from 5 s to 7 s into the run). Prints the starts delivered a
# second, the CPU seconds of the whole run, latency p50 and p90 in ms (from
# each call's slot in the schedule) and the late starts.
PACED_PROBE = r"""
import math, sys, time
kind, rate, workers, seconds, what = (sys.argv[1], float(sys.argv[2]), int(sys.argv[3]),
                                      float(sys.argv[4]), sys.argv[5])
t0 = time.monotonic()


def target(**_):
    if what == "stall":
        time.sleep(0.5 if 5.0 <= time.monotonic() - t0 < 7.0 else 0.001)


if kind != "pool":
    # vigil_load at --rate, or its closed loop at full speed (kind "closed").
    import threads_main  # imported before the measure, as the pool's module is
    from vigil_load import run
    from vigil_load.stats import summarise
    plan = run.Plan(func=target, tasks=[{}], workers=workers, duration=seconds, interval=3600,
                    rate=rate if kind == "paced" else None)
    c0 = time.process_time()
    s = summarise(run.execute(plan, progress=lambda live: None).recorded)
    cpu = time.process_time() - c0
    lat = s["latency"]
    print(s["throughput"], cpu, lat["p50"], lat["p90"], s["late_starts"])
else:
    # A ThreadPoolExecutor fed by a loop sleeping to each slot; a call held
    # up waits in the pool's queue, so the pool catches up after a stall.
    # Each call is measured from its slot.
    import threading
    from concurrent.futures import ThreadPoolExecutor
    ThreadPoolExecutor(1).shutdown()
    ends, lock = [], threading.Lock()

    def call(slot):
        target()
        with lock:
            ends.append((time.monotonic(), slot))

    c0 = time.process_time()
    with ThreadPoolExecutor(workers) as pool:
        start = time.monotonic()
        end, k = start + seconds, 0
        while True:
            now = time.monotonic()
            if now >= end:
                break
            while start + k / rate <= now:
                pool.submit(call, start + k / rate)
                k += 1
            time.sleep(max(0.0, start + k / rate - time.monotonic()))
    cpu = time.process_time() - c0
    lat = sorted(e - s for e, s in ends)
    p50, p90 = (lat[min(len(lat) - 1, int(q * len(lat)))] * 1000 for q in (0.5, 0.9))
    print(len(ends) / (max(e for e, _ in ends) - start), cpu, p50, p90, -1)
"""


# The share of a core an open manager with nothing to do takes over 5 s, at
# a start rate (or None, the default pace).
IDLE_PROBE = r"""
import sys, time, threads_main
m = threads_main.VigilThreadsMain(lambda: None)
m._set_start_rate(None if sys.argv[1] == "None" else float(sys.argv[1]))
time.sleep(0.2)
c0, w0 = time.process_time(), time.perf_counter()
time.sleep(5)
print((time.process_time() - c0) / (time.perf_counter() - w0))
m._close()
"""


def fresh(code, *args, env=None, cwd=None, figures=4):
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True, env=env, cwd=cwd)
    if out.returncode != 0:
        raise SystemExit(f"probe failed ({out.returncode}):\n{out.stderr[-3000:]}")
    return [float(x) for x in out.stdout.split()[-figures:]]


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
    print(f"9. an idle manager keeping 30 idle runners, 10 s: {share * 100:.3f} % of a core "
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


def paced_runs(kinds, rate, workers, seconds, what):
    """Fresh processes taking turns, REPEATS of each kind: their figures."""
    runs = {k: [] for k in kinds}
    for _ in range(REPEATS):
        for kind in kinds:
            runs[kind].append(fresh(PACED_PROBE, kind, rate, workers, seconds, what, figures=5))
    return runs


def median(runs, kind, i):
    return statistics.median(r[i] for r in runs[kind])


def paced():
    # The pacer's own ceiling: how close a paced run comes to the rate asked,
    # beside the closed loop of the same workers (what this engine starts at
    # all) and a paced pool.
    load = os.getloadavg()[0]
    print(f"7. instant target, 10 workers, 3 s runs, median of {REPEATS} "
          f"(load average {load:.2f}): starts delivered a second")
    for rate in (3000, 10000):
        runs = paced_runs(("paced", "closed", "pool"), rate, 10, 3.0, "instant")
        got, ceiling, pool = (median(runs, k, 0) for k in ("paced", "closed", "pool"))
        print(f"  --rate {rate}: {got:,.0f}/s ({median(runs, 'paced', 4):,.0f} late starts); "
              f"the closed loop at full speed {ceiling:,.0f}/s; a paced pool {pool:,.0f}/s; "
              f"paced against min(rate, closed loop) {got / min(rate, ceiling):.2f}")
        print("    repeats: " + ", ".join(f"{a[0]:,.0f}/{b[0]:,.0f}/{c[0]:,.0f}" for a, b, c in zip(
            runs["paced"], runs["closed"], runs["pool"], strict=True)))
        if rate == 10000:
            print(f"  goal: --rate 10000 delivers >= 9,800/s, {verdict(got >= 9800)}", flush=True)


def paced_cpu():
    runs = paced_runs(("paced", "pool"), 100, 10, 5.0, "instant")
    ours, pool = median(runs, "paced", 1), median(runs, "pool", 1)
    print(f"8. --rate 100, instant target, 10 workers, 5 s, median of {REPEATS} (load average "
          f"{os.getloadavg()[0]:.2f}): CPU {ours * 1000:.0f} ms against a paced pool's "
          f"{pool * 1000:.0f} ms, ratio {ours / pool:.2f} (goal <= 1.5, {verdict(ours / pool <= 1.5)})")
    print("  repeats: " + ", ".join(f"{a[1] * 1000:.0f}/{b[1] * 1000:.0f} ms" for a, b in zip(
        runs["paced"], runs["pool"], strict=True)))
    idle = {rate: statistics.median(fresh(IDLE_PROBE, rate, figures=1)[0] for _ in range(REPEATS))
            for rate in ("100", "None")}
    print(f"  idle, 5 s: a manager paced at 100/s {idle['100'] * 100:.3f} % of a core, one at the "
          f"default pace {idle['None'] * 100:.3f} % (goal <= 0.3 %, "
          f"{verdict(idle['100'] <= 0.003)})", flush=True)


def stall():
    # Latency counts from each call's slot in the schedule: a stall shows in
    # it as a bump while the starts it held up catch up, not as a ramp that
    # lasts to the end of the run.
    runs = paced_runs(("paced", "pool"), 200, 10, 10.0, "stall")
    p50, p90 = median(runs, "paced", 2), median(runs, "paced", 3)
    print(f"6. --rate 200, 10 workers, the target stalls at 500 ms a call for 2 s of a 10 s run, "
          f"median of {REPEATS} (load average {os.getloadavg()[0]:.2f}): latency p50 {p50:.1f} ms, "
          f"p90 {p90:.0f} ms, {median(runs, 'paced', 4):.0f} late starts, "
          f"{median(runs, 'paced', 0):.1f} starts/s; a paced pool that catches up: p50 "
          f"{median(runs, 'pool', 2):.1f} ms, p90 {median(runs, 'pool', 3):.0f} ms, "
          f"{median(runs, 'pool', 0):.1f}/s (goal: p50 <= 10 ms, {verdict(p50 <= 10)})")
    print("  repeats, p50 ours/pool: " + ", ".join(f"{a[2]:.1f}/{b[2]:.1f} ms" for a, b in zip(
        runs["paced"], runs["pool"], strict=True)), flush=True)


BENCHES = {"http": http, "instant": instant, "memory": memory, "withdraw": withdraw,
           "timing": timing, "stall": stall, "paced": paced, "paced_cpu": paced_cpu, "idle": idle}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(BENCHES):
        BENCHES[name]()
