"""What a queued task costs, against a ThreadPoolExecutor work item measured in
the same run; and the start rate a caller asks for, against the rate asked.

Each benchmark prints its figure, the reference, the ratio and the goal. A
figure measured more than once is the median of its repeats, and the repeats
are printed beneath it: the best of them would hide the ones that miss. They
measure; they do not pass or fail. Memory and collector figures come from
fresh processes, so that one measurement's garbage does not weigh on the next.
"""
import statistics
import subprocess
import sys
import threading
import time

import threads_main

# Runs in a fresh process: per queued task, the objects the cyclic collector
# tracks and the resident memory, for this module or a busy thread pool.
QUEUED_PROBE = r"""
import concurrent.futures, gc, os, sys, threading, time
import threads_main

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

kind, n = sys.argv[1], int(sys.argv[2])
args = {"url": "http://127.0.0.1:8000/item", "attempt": 1}
if kind == "ours":
    m = threads_main.VigilThreadsMain(lambda **kw: None, 0, True)  # a held queue
    m._send(**args)  # the queue's feeder thread, made on its first put
    time.sleep(0.1)
    gc.collect(); objs, base = len(gc.get_objects()), rss()
    for _ in range(n):
        m._send(**args)
    time.sleep(0.5)  # the feeder moves what fits into its pipe
    gc.collect(); print((len(gc.get_objects()) - objs) / n, (rss() - base) / n)
    m._close()
else:
    gate = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(4):
            pool.submit(gate.wait)  # a busy pool: submissions stay queued
        time.sleep(0.1)
        gc.collect(); objs, base = len(gc.get_objects()), rss()
        kept = [pool.submit(print, **args) for _ in range(n)]
        gc.collect(); print((len(gc.get_objects()) - objs) / n, (rss() - base) / n)
        for f in kept:
            f.cancel()
        gate.set()
"""

# Runs in a fresh process: the mean cost of one submission, for this module
# (everything kept queued) or a busy thread pool (its futures kept, as a
# caller keeps them); and, for this module, the mean over the first `first`
# submissions beside the mean over all of them.
SEND_PROBE = r"""
import concurrent.futures, sys, threading, time
import threads_main

kind, n, first = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
args = {"url": "http://127.0.0.1:8000/item"}
if kind == "ours":
    m = threads_main.VigilThreadsMain(lambda **kw: None, 0, True)
    send = m._send
    t0 = time.perf_counter()
    for i in range(first):
        send(**args)
    t1 = time.perf_counter()
    for i in range(n - first):
        send(**args)
    t2 = time.perf_counter()
    print((t1 - t0) / first, (t2 - t0) / n)
    m._close()
else:
    gate = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(4):
            pool.submit(gate.wait)
        kept = []
        submit = pool.submit
        t0 = time.perf_counter()
        for i in range(first):
            kept.append(submit(print, **args))
        t1 = time.perf_counter()
        print((t1 - t0) / first, (t1 - t0) / first)
        for f in kept:
            f.cancel()
        gate.set()
"""

# Runs in a fresh process: a million queued tasks (memory per task), then
# how long _close takes to withdraw them all, beside draining the same names
# from a bare multiprocessing.Queue.
MILLION_PROBE = r"""
import gc, multiprocessing, os, queue, sys, time
import threads_main

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

n = int(sys.argv[1])
if sys.argv[2] == "ours":
    m = threads_main.VigilThreadsMain(lambda: None, 0, True)
    m._send()
    time.sleep(0.1)
    gc.collect(); base = rss()
    for _ in range(n):
        m._send()
    gc.collect(); per_task = (rss() - base) / n
    t0 = time.perf_counter()
    m._close()
    took = time.perf_counter() - t0
    assert len(m._var.cancels) == n + 1 - len(m._var.runs), len(m._var.cancels)
    print(per_task, took)
else:
    q = multiprocessing.Queue()
    for i in range(n):
        q.put(f"Thread_{i}")
    t0 = time.perf_counter()
    got = 0
    while True:
        try:
            q.get(True, 0.2)
            got += 1
        except queue.Empty:
            break
    took = time.perf_counter() - t0
    assert got == n, got
    print(0.0, took)
"""


# Runs in a fresh process: the same runs made through the workers of a
# manager (which record run times, starts and history) and through workers
# made by hand on a state holder of the same shape (which record nothing),
# each run synchronously on this thread, in interleaved rounds.
RECORD_PROBE = r"""
import sys, threading, time
import threads_main
from vigil_var import VigilVar

n, rounds, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
# "plain": instant runs; "group": each with one of ten endpoints, grouped by
# it; "fail": each raising (its kind counted; its traceback goes to a log
# that writes debug, which the manager's default one does not).
kwargs = [{"ep": f"/endpoint/{i % 10}"} if mode == "group" else {} for i in range(n)]

def task(ep=None):
    if mode == "fail":
        raise ValueError("planned failure")
    return None

def recording_workers():
    m = threads_main.VigilThreadsMain(task, 0, True)  # a held queue
    if mode == "group":
        m._set_statistics_group("ep")
    for kw in kwargs:
        m._send(**kw)
    # Listed as started, as the dispatcher lists a task it starts: each run
    # lists its name as done, and without this the running count would go
    # below 0, where it is below max_workers and the queue is no longer held.
    v = m._var
    names = list(v.threads.keys())
    v.runs.extend(names)
    return m, [v.threads.get(name).thread._target.__self__ for name in names]

def plain_workers():
    v = VigilVar(func=task, reserve=True)
    v.add(threads=VigilVar(), min_time=0, max_time=0, all_time=0, success=[], failed=[],
          dones=[], break_result=None)
    workers = []
    for i in range(n):
        # Like a manager's record, each holds its not yet started thread
        # (which the run's end drops).
        w = threads_main._Worker(v, f"Thread_{i}", None, **kwargs[i])
        thread = threading.Thread(target=w.start)
        v.threads.set(f"Thread_{i}", value={"thread": thread, "result": None, "status": "待运行"})
        workers.append(w)
    return None, workers

def timed(workers):
    t0 = time.perf_counter()
    for w in workers:
        w.start()
    return (time.perf_counter() - t0) / len(workers)

per_run = {"on": [], "off": []}
for _ in range(rounds):
    for key, make in (("on", recording_workers), ("off", plain_workers)):
        m, workers = make()
        per_run[key].append(timed(workers))
        if m is not None:
            dones = list(m._var.dones)
            m._close()
            assert len(dones) == len(set(dones)) == n, (
                f"{len(dones) - len(set(dones))} of {n} held tasks ran twice")
print(*per_run["on"], *per_run["off"])
"""


# Runs in a fresh process: rounds of instant tasks, each round cleared with
# _clear_record, through a manager ("ours" on its runners, "ours-fresh" on a
# new OS thread per task) or through the same life in plain
# Python ("plain": a dispatcher thread taking names off a multiprocessing
# Queue and starting one threading.Thread per task, a record per name, the
# name lists, all cleared each round). Prints the resident memory after the
# warm-up rounds and after each measured round.
CLEARED_PROBE = r"""
import multiprocessing, os, sys, threading, time

# Read through a raw descriptor: a text file made per reading would leave
# objects of its own among those measured.
STATM = os.open("/proc/self/statm", os.O_RDONLY)
PAGE = os.sysconf("SC_PAGE_SIZE")

def rss():
    return int(os.pread(STATM, 200, 0).split()[1]) * PAGE

kind, per_round, warm, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
QUEUE_AHEAD = 2000

if kind in ("ours", "ours-fresh"):
    import threads_main
    m = threads_main.VigilThreadsMain(lambda: None, 30)
    m._set_start_rate(1e6)  # as fast as the dispatcher starts them
    m._set_fresh_threads(kind == "ours-fresh")  # a new OS thread per task, or the runners

    def one_round():
        for sent in range(0, per_round, 1000):
            while m._get_qsize() > QUEUE_AHEAD:
                time.sleep(0.01)
            for _ in range(1000):
                m._send()
        while not (m._done() and m._get_qsize() == 0):
            time.sleep(0.01)
        while not m._clear_record():
            time.sleep(0.01)
else:
    class Record:
        __slots__ = ("thread", "result", "status")

        def __init__(self):
            self.thread, self.result, self.status = None, None, "pending"

    q = multiprocessing.Queue()
    records, totals, runs, dones, success = {}, [], [], [], []
    slots = threading.BoundedSemaphore(30)
    count = [0]

    def run(name):
        try:
            rec = records[name]
            rec.status = "running"
            rec.result, rec.status, rec.thread = None, "done", None
            success.append(name)
            dones.append(name)
        finally:
            slots.release()

    def dispatcher():
        while True:
            name = q.get()
            slots.acquire()
            runs.append(name)
            t = threading.Thread(target=run, args=(name,))
            records[name].thread = t
            t.start()

    threading.Thread(target=dispatcher, daemon=True).start()

    def one_round():
        global records, totals, runs, dones, success
        for _ in range(per_round):
            while q.qsize() > QUEUE_AHEAD:
                time.sleep(0.01)
            count[0] += 1
            name = f"Thread_{count[0]}"
            records[name] = Record()
            q.put(name)
            totals.append(name)
        while len(dones) < per_round:
            time.sleep(0.01)
        time.sleep(0.05)
        records, totals, runs, dones, success = {}, [], [], [], []

for _ in range(warm):
    one_round()
print(rss(), flush=True)
for _ in range(rounds):
    one_round()
    print(rss(), flush=True)
if kind != "plain":
    m._close()
"""

def fresh(code, *args):
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True, check=True)
    return [float(x) for x in out.stdout.split()]


def report(title, figure, unit, reference, ref_unit, ratio, goal, ok):
    print(f"{title}\n  measured:  {figure:.4g} {unit}\n  reference: {reference:.4g} {ref_unit}\n"
          f"  ratio:     {ratio:.3f}   goal: {goal}   {'met' if ok else 'MISSED'}", flush=True)


def spread(what, values, unit="", scale=1.0):
    """Prints every repeat of a figure, of which the report gives the median:
    a goal met by the median but missed by some repeats shows here."""
    shown = ", ".join(f"{v * scale:.4g}" for v in sorted(values))
    print(f"  {what}, {len(values)} repeats (median reported): {shown} {unit}".rstrip(),
          flush=True)


def queued_cost(n=20000, rounds=3):
    ours = [fresh(QUEUED_PROBE, "ours", n) for _ in range(rounds)]
    pool = [fresh(QUEUED_PROBE, "pool", n) for _ in range(rounds)]
    o_objs, o_rss = (statistics.median(x[i] for x in ours) for i in (0, 1))
    p_objs, p_rss = (statistics.median(x[i] for x in pool) for i in (0, 1))
    report("1a. objects the cyclic collector walks, per queued task (20,000 queued)", o_objs,
           "objects", p_objs, "objects per ThreadPoolExecutor work item (busy pool)",
           o_objs / p_objs, "<= 3 objects", o_objs <= 3)
    spread("ours", [x[0] for x in ours], "objects")
    report("1b. resident memory per queued task (20,000 queued, median of 3 processes)", o_rss,
           "bytes", p_rss, "bytes per work item", o_rss / p_rss, "<= 1 KiB", o_rss <= 1024)
    spread("ours", [x[1] for x in ours], "bytes")
    spread("work item", [x[1] for x in pool], "bytes")


def send_cost(n=20000, rounds=3):
    # Interleaved fresh processes, the median of each: drift hits both alike.
    ours, pool = [], []
    for _ in range(rounds):
        ours.append(fresh(SEND_PROBE, "ours", n, n)[0])
        pool.append(fresh(SEND_PROBE, "pool", n, n)[0])
    o, p = statistics.median(ours), statistics.median(pool)
    report("2. one submission: _send against ThreadPoolExecutor.submit on a busy pool", o * 1e6,
           "us", p * 1e6, "us", o / p, "<= 1.0", o <= p)
    spread("_send", ours, "us", 1e6)
    spread("submit", pool, "us", 1e6)


def send_at_scale(n=200000, first=20000, rounds=5):
    runs = [fresh(SEND_PROBE, "ours", n, first) for _ in range(rounds)]
    ratios = [whole / early for early, whole in runs]
    ratio = statistics.median(ratios)
    early, whole = (statistics.median(run[i] for run in runs) for i in (0, 1))
    report("3. mean _send over 200,000 queued tasks against the mean over the first 20,000",
           whole * 1e6, "us", early * 1e6, "us", ratio, "<= 1.2", ratio <= 1.2)
    spread("ratio", ratios)


def million(n=1000000):
    per_task, ours = fresh(MILLION_PROBE, n, "ours")
    _, bare = fresh(MILLION_PROBE, n, "bare")
    report("4a. memory per queued task with 1,000,000 queued", per_task, "bytes", 1024.0,
           "bytes (goal)", per_task / 1024, "<= 1 KiB", per_task <= 1024)
    report("4b. _close withdrawing 1,000,000 queued tasks, against draining the same names "
           "from a bare multiprocessing.Queue", ours, "s", bare, "s", ours / bare, "<= 1.3",
           ours / bare <= 1.3)


def achieved_rate(rate, seconds, workers=30):
    starts = []
    lock = threading.Lock()

    def task():
        with lock:
            starts.append(time.perf_counter())

    m = threads_main.VigilThreadsMain(task, workers)
    if rate is not None:
        m._set_start_rate(rate)
    for _ in range(int((rate or 100) * (seconds + 1)) + 10):
        m._send()
    while not starts:
        time.sleep(0.001)
    time.sleep(seconds + 0.2)
    m._close()
    window = [t for t in starts if t - starts[0] <= seconds]
    return (len(window) - 1) / (window[-1] - window[0])


def start_rates(seconds=10.0, rounds=3):
    rates = [achieved_rate(1000, seconds) for _ in range(rounds)]
    got = statistics.median(rates)
    report("5a. start rate asked 1,000/s, instant tasks, max_workers=30, over 10 s", got,
           "starts/s", 1000.0, "starts/s asked", got / 1000, ">= 0.95", got >= 950)
    spread("rate", rates, "starts/s")
    for rate in (10, 50, 500):
        got = achieved_rate(rate, seconds)
        err = abs(got - rate) / rate
        report(f"5b. start rate asked {rate}/s, over 10 s", got, "starts/s", rate,
               "starts/s asked", got / rate, "within 2 %", err <= 0.02)
    got = achieved_rate(None, seconds)
    report("5c. default start rate (one start per 10 ms pass), over 10 s", got, "starts/s",
           100.0, "starts/s", got / 100, ">= 0.95", got >= 95)


def recording_cost(n=20000, rounds=7):
    for mode, what in (
            ("plain", "its run time, latency, start and history"),
            ("group", "the same and its group, one of ten values of a keyword argument"),
            ("fail", "a run that raises: the same and its kind of failure; its traceback is "
                     "not formatted, as the manager's log does not write debug")):
        figures = fresh(RECORD_PROBE, n, rounds, mode)
        on, off = figures[:rounds], figures[rounds:]
        # The rounds interleave the two kinds: each round's difference is one repeat.
        costs = [a - b for a, b in zip(on, off, strict=True)]
        cost = statistics.median(costs)
        goal = mode != "fail"  # a failure's text and traceback are made in Python
        report(f"6{'abc'[('plain', 'group', 'fail').index(mode)]}. what recording a run costs "
               f"({what}): a run through a manager's worker against the same run through a "
               "worker that records nothing",
               cost * 1e6, "us per run", 1.0, "us (goal)" if goal else "us (no goal)", cost * 1e6,
               "<= 1 us" if goal else "none (shown)", cost <= 1e-6 if goal else True)
        spread("cost", costs, "us per run", 1e6)
        print(f"  per run (medians): {statistics.median(on) * 1e6:.3g} us recording, "
              f"{statistics.median(off) * 1e6:.3g} us not", flush=True)


def cleared_growth(per_round=50000, warm=4, rounds=2, processes=3):
    # Median over fresh processes, ours and plain interleaved: a pymalloc
    # arena kept or given back is 1 MiB, 10 bytes a task over 100,000. The
    # warm-up lets glibc make the arenas of the task threads (up to eight per
    # core) and grow them to a round's needs.
    n = per_round * rounds
    ours, plain = [], []
    for _ in range(processes):
        for kind, into in (("ours", ours), ("plain", plain)):
            figures = fresh(CLEARED_PROBE, kind, per_round, warm, rounds)
            into.append(((figures[-1] - figures[0]) / n, figures[0]))
    o, p = (statistics.median(x[0] for x in runs) for runs in (ours, plain))
    report(f"7. resident growth per task over {n:,} instant tasks cleared every {per_round:,} "
           f"(after {warm * per_round:,} tasks of warm-up), against the same life in plain "
           "Python threads", o, "bytes per task", p, "bytes per task (plain)", o / p if p else 0.0,
           "<= 8 bytes per task", o <= 8)
    print("  per process, ours: " + ", ".join(f"{g:.1f} B ({b / 1e6:.1f} MB after warm-up)"
                                               for g, b in ours), flush=True)
    print("  per process, plain: " + ", ".join(f"{g:.1f} B ({b / 1e6:.1f} MB after warm-up)"
                                                for g, b in plain), flush=True)

BENCHES = {"queued": queued_cost, "send": send_cost, "scale": send_at_scale,
           "million": million, "rate": start_rates, "record": recording_cost,
           "cleared": cleared_growth}

if __name__ == "__main__":
    chosen = sys.argv[1:] or list(BENCHES)
    for name in chosen:
        BENCHES[name]()
