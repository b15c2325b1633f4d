"""One run over several worker processes (--processes) and over a Dask
cluster (--dask): the split of the work, the common start, the merged
results, signals, a worker that dies and a parent that dies. Each worker
process writes down every call it makes, so what ran is counted apart from
what the statistics say."""

import collections
import contextlib
import gc
import itertools
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import vigil_load.demo
import vigil_load.spread as spread
from load_support import child_env, counted, free_port, scraped_counts
from vigil_load.run import Plan

SPREAD_TARGET = '''
import os, signal, time

CALLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "calls")

def work(ms=0, tag="", die=False):
    with open(CALLS, "a") as f:  # one short append: whole lines from every process
        f.write(f"{os.getpid()} {time.time():.6f} {tag}\\n")
    if die:
        os.kill(os.getpid(), signal.SIGKILL)
    time.sleep(ms / 1000)
    return "ok"
'''


@pytest.fixture
def work(tmp_path):
    (tmp_path / "spreadtarget.py").write_text(SPREAD_TARGET)
    return tmp_path


def tasks(work, *lines):
    (work / "tasks.jsonl").write_text("".join(json.dumps(t) + "\n" for t in lines))
    return ["--tasks", "tasks.jsonl"]


def calls(work):
    """(pid, time, tag) of every call, in the order written."""
    path = work / "calls"
    text = path.read_text() if path.exists() else ""
    return [(int(p), float(t), tag) for p, t, tag in
            (line.split(" ") for line in text.splitlines())]


def stats_of(p, work, status=0):
    assert p.returncode == status, (p.stdout[-2000:], p.stderr[-3000:])
    return json.loads((work / "vigil-stats.json").read_text())


# -- the split ----------------------------------------------------------------------

def one_process(plan):
    """The tasks one process runs for a plan with a count or with neither."""
    total = plan.count if plan.count is not None else len(plan.tasks)
    return [plan.tasks[k % len(plan.tasks)] for k in range(total)]


@pytest.mark.parametrize("size, n, count", list(itertools.product(
    [1, 2, 3, 4, 5, 7], [1, 2, 3, 4], [None, 1, 2, 10, 11, 1001])))
def test_split_gives_each_worker_the_list_in_order_and_runs_each_task_as_one_process_would(
        size, n, count):
    tasks = [{"i": i} for i in range(size)]
    plan = Plan(func=print, tasks=tasks, count=count, rate=120.0)
    shares = spread.split(plan, n)
    total = count if count is not None else size
    assert len(shares) == min(n, total)  # no worker without a task
    counts = [s.count for s in shares]
    assert counts == sorted(counts, reverse=True) and counts[0] - counts[-1] <= 1
    ran = [[t["i"] for t in one_process(s)] for s in shares]
    # one process's run, cut into consecutive stretches: every task as often
    assert [i for r in ran for i in r] == [t["i"] for t in one_process(plan)]
    for r, share in zip(ran, shares, strict=True):
        # the list in its order from the worker's offset, the whole mix when
        # the share is as long as the list
        assert all(b == (a + 1) % size for a, b in itertools.pairwise(r))
        assert len(set(r)) == min(len(r), size)
        assert share.rate == pytest.approx(120.0 / len(shares))


def test_split_of_a_duration_cycles_the_whole_list_from_offsets_of_their_own():
    # The list of the report: alternating kinds, which dealing round-robin
    # would give one kind to each worker.
    kinds = [{"url": "/items/1"}, {"url": "/search?q=a"}, {"url": "/items/2"},
             {"url": "/search?q=b"}]
    plan = Plan(func=print, tasks=kinds, duration=30.0, workers=7)
    for n, offsets in ((2, [0, 2]), (3, [0, 2, 3]), (4, [0, 1, 2, 3])):
        shares = spread.split(plan, n)
        for share, offset in zip(shares, offsets, strict=True):
            assert (share.duration, share.count, share.workers, share.rate) == (30.0, None, 7, None)
            assert share.tasks == kinds[offset:] + kinds[:offset]


# -- worker processes on this machine ----------------------------------------------

# The command with a longer lead to the common start, in a child, so that
# what its worker processes write on stderr is seen too.
LEAD = ("-c", "import sys, vigil_load.cli, vigil_load.spread\n"
              "vigil_load.spread.START_LEAD = 3.0\n"
              "sys.exit(vigil_load.cli.main())")


def test_processes_split_start_together_and_merge_exactly(work):
    names = ["items-1", "search-1", "items-2", "search-2"]
    args = tasks(work, *({"tag": t} for t in names))
    begun = time.time()
    p = subprocess.run([sys.executable, *LEAD, "spreadtarget:work", *args, "--processes", "2",
                        "--count", "1001", "--workers", "4", "--rate", "1e9", "--interval", "0.5"],
                       cwd=work, env=child_env(), capture_output=True, text=True, timeout=300)
    s = stats_of(p, work)
    made = calls(work)
    by_pid = collections.Counter(pid for pid, _, _ in made)
    assert sorted(by_pid.values()) == [500, 501] and os.getpid() not in by_pid
    # the tasks of one process's run of 1001: the first once more than the others
    assert collections.Counter(tag for _, _, tag in made) == {
        "items-1": 251, "search-1": 250, "items-2": 250, "search-2": 250}
    # each worker sends the whole mix, not every other line of the list
    for pid in by_pid:
        assert {tag for w, _, tag in made if w == pid} == set(names)
    # every worker starts at the common start, none before it; one still
    # starting up then (a loaded machine) says how late it is, and starts
    late = [float(x) for x in re.findall(r"started ([\d.]+) s after the common start", p.stderr)]
    firsts = [min(t for pid, t, _ in made if pid == w) for w in by_pid]
    assert min(firsts) >= begun + 3.0 - 0.05, (begun, firsts)
    assert max(firsts) - min(firsts) < 0.5 + max(late, default=0), (firsts, late)
    # merged exactly: counts, histograms and the history add up
    assert (s["finished"], s["succeeded"], s["failed"]) == (1001, 1001, 0)
    assert s["histograms"]["run_time"]["count"] == s["histograms"]["queue_wait"]["count"] == 1001
    times = [r["time"] for r in s["history"]]
    assert times == sorted(set(times))
    assert sum(r["finished"] for r in s["history"]) <= 1001
    # a row per process, whose sums are the merged figures, and the count in the settings
    rows = s["processes"]
    assert [(r["run"], r["process"], r["finished"]) for r in rows] == [(1, 1, 501), (1, 2, 500)]
    for key in ("finished", "succeeded", "failed", "stopped", "cancelled"):
        assert sum(r[key] for r in rows) == s[key], key
    for key in ("run_time", "queue_wait", "latency"):
        assert sum(r["histograms"][key]["count"] for r in rows) == s["histograms"][key]["count"]
    assert all(r["run_time"]["p50"] is not None and r["throughput"] > 0 for r in rows)
    assert {r["where"].split(" pid ")[1] for r in rows} == {str(pid) for pid in by_pid}
    assert s["settings"][0]["processes"] == 2
    assert "by process (2)" in p.stdout and "worker 1 of 2: 501 finished" in p.stdout
    table = [line.split() for line in p.stdout.splitlines()]
    assert [cells[:3] for cells in table if cells[:1] in (["1"], ["2"], ["all"])] == [
        ["1", "501", "0"], ["2", "500", "0"], ["all", "1,001", "0"]]
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.split("summary =")[1].split()[0] == "1001", last


def test_processes_run_the_demonstration(tmp_path, vigil_main, monkeypatch):
    # Half the replies fail (the server is this process's), so both kinds
    # come however few requests a loaded machine makes.
    monkeypatch.setattr(vigil_load.demo, "FAIL_SHARE", 0.5)
    p = vigil_main(["--processes", "2", "--duration", "2", "--interval", "1", "--warmup", "0.5"],
                   tmp_path)
    s = stats_of(p, tmp_path)
    # the workers' warm-up, in the settings and the table as in one process's run
    (made,) = s["settings"]
    assert made["warmup_end"] >= made["started"] + 0.5 and made["processes"] == 2
    assert "warm-up" in p.stdout
    assert "server: http://127.0.0.1:" in p.stdout
    assert "worker 1 of 2:" in p.stdout and "worker 2 of 2:" in p.stdout
    assert s["succeeded"] > 0 and s["failed"] > 0


def start_child(work, args):
    err = open(work / "stderr.txt", "w")
    child = subprocess.Popen([sys.executable, "-m", "vigil_load", *args], cwd=work,
                             env=child_env(), stdout=subprocess.PIPE, stderr=err, text=True)
    err.close()
    return child


def wait_for(text, work, child, seconds=120):
    """Waits for `text` (a pattern) in the child's stderr."""
    path = work / "stderr.txt"
    deadline = time.monotonic() + seconds
    while (not re.search(text, path.read_text()) and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.1)
    assert re.search(text, path.read_text()), path.read_text()[-2000:]


# A summary line of at least two finished runs.
TWO_FINISHED = r"summary = +([2-9]|\d\d)"


def wait_both_called(work, child, seconds=120):
    """Waits until both worker processes have made a call."""
    deadline = time.monotonic() + seconds
    while (len({pid for pid, _, _ in calls(work)}) < 2 and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.1)
    assert len({pid for pid, _, _ in calls(work)}) == 2, calls(work)


def ended(pids, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        alive = []
        for pid in pids:
            try:
                os.kill(pid, 0)
                alive.append(pid)
            except ProcessLookupError:
                pass
        if not alive:
            return True
        time.sleep(0.1)
    return False


def finish(child, seconds=180):
    try:
        out, _ = child.communicate(timeout=seconds)
    finally:
        if child.poll() is None:
            child.kill()
    return out


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_to_the_parent_stops_every_worker_and_writes_the_merge(work, signum, status):
    child = start_child(work, ["spreadtarget:work", *tasks(work, {"ms": 300}), "--processes", "2",
                               "--duration", "120", "--workers", "4", "--interval", "1"])
    wait_both_called(work, child)
    wait_for(TWO_FINISHED, work, child)
    child.send_signal(signum)  # to the parent alone, as `timeout` sends it
    out = finish(child)
    assert child.returncode == status, (work / "stderr.txt").read_text()[-2000:]
    assert "interrupted" in out
    pids = {pid for pid, _, _ in calls(work)}
    assert len(pids) == 2 and ended(pids, 30)
    s = json.loads((work / "vigil-stats.json").read_text())
    assert s["finished"] >= 2 and s["running"] == 0
    assert s["stopped"] + s["cancelled"] >= 2  # both still had work to stop
    assert s["finished"] <= len(calls(work)) <= s["finished"] + s["stopped"]
    assert "worker 1 of 2:" in out and "worker 2 of 2:" in out


# 40 tasks, the second half's first one killing its process.
DIES_SECOND = [{"ms": 5}] * 20 + [{"die": True}] + [{"ms": 5}] * 19


def test_a_worker_that_dies_is_named_and_the_others_results_written(work):
    # The list run once: worker 2 runs its second half, whose first line
    # kills its process at its first call.
    child = start_child(work, ["spreadtarget:work", *tasks(work, *DIES_SECOND), "--processes",
                               "2", "--workers", "2", "--interval", "1"])
    out = finish(child)
    err = (work / "stderr.txt").read_text()
    assert child.returncode == spread.EXIT_WORKER_LOST, err[-2000:]
    assert "worker 2 of 2 died with exit status -9 (SIGKILL)" in err
    s = json.loads((work / "vigil-stats.json").read_text())
    assert (s["finished"], s["succeeded"]) == (20, 20)
    assert "worker 1 of 2: 20 finished" in out and "worker 2 of 2" not in out


def idle(address):
    """Waits until no Dask worker holds a task: a released one ends only
    when its run has stopped."""
    import distributed

    with distributed.Client(address, timeout=30) as client:
        deadline = time.monotonic() + 60
        while any(client.run(lambda dask_worker: len(dask_worker.state.tasks)).values()):
            assert time.monotonic() < deadline, "a Dask worker kept its task"
            time.sleep(0.2)


@pytest.mark.slow  # a worker is given up after 10 s of silence
@pytest.mark.parametrize("where", ["processes", "dask"])
def test_a_worker_that_falls_silent_is_given_up(where, work, request):
    if where == "dask":
        work = request.getfixturevalue("home")
        how = ["--dask", request.getfixturevalue("cluster")[0]]
    else:
        how = ["--processes", "2"]
    child = start_child(work, ["spreadtarget:work", *tasks(work, {"ms": 20}), *how,
                               "--duration", "4", "--workers", "2", "--interval", "1"])
    silent = None
    try:
        wait_for("summary =", work, child)
        silent = calls(work)[-1][0]
        os.kill(silent, signal.SIGSTOP)  # stopped, as a frozen machine would be
        out = finish(child, 120)
        killed = where == "dask" or ended([silent], 10)  # a Dask worker is the cluster's
    finally:
        if silent is not None and where == "dask":  # the cluster's, not ours to end
            os.kill(silent, signal.SIGCONT)
            idle(request.getfixturevalue("cluster")[0])
        elif silent is not None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(silent, signal.SIGKILL)
    err = (work / "stderr.txt").read_text()
    assert child.returncode == spread.EXIT_WORKER_LOST, err[-2000:]
    lost = [line for line in err.splitlines() if "sent nothing for 10 s" in line]
    assert len(lost) == 1, err[-2000:]
    number = int(lost[0].split("worker ")[1].split()[0])
    assert f"worker {3 - number} of 2:" in out and f"worker {number} of 2:" not in out
    assert json.loads((work / "vigil-stats.json").read_text())["finished"] > 0
    assert killed, "the silent worker was not killed"


def test_workers_stop_when_the_parent_dies(work):
    child = start_child(work, ["spreadtarget:work", *tasks(work, {"ms": 50}), "--processes", "2",
                               "--duration", "120", "--interval", "1"])
    try:
        wait_both_called(work, child)
        child.kill()
        child.wait(30)
        pids = {pid for pid, _, _ in calls(work)}
        assert ended(pids, 60), "a worker outlived its parent"
    finally:
        for pid in {pid for pid, _, _ in calls(work)}:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


# -- a Dask cluster -------------------------------------------------------------------

@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A LocalCluster of two worker processes, whose working directory holds
    the target."""
    import distributed

    home = tmp_path_factory.mktemp("cluster")
    (home / "spreadtarget.py").write_text(SPREAD_TARGET)
    before = os.getcwd()
    os.chdir(home)
    try:
        c = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                     dashboard_address=":0")
    finally:
        os.chdir(before)
    yield c.scheduler_address, home
    c.close()


@pytest.fixture
def home(cluster):
    home = cluster[1]
    for name in ("calls", "vigil-stats.json", "stderr.txt"):
        (home / name).unlink(missing_ok=True)
    return home


def test_dask_cluster_runs_a_target_and_refuses_workers_that_cannot_import_it(
        cluster, home, tmp_path, vigil_main):
    address = cluster[0]
    p = vigil_main(["spreadtarget:work", *tasks(home, {"tag": "a"}, {"tag": "b"}), "--dask",
                    address, "--count", "101", "--workers", "2", "--interval", "0.5"], home)
    s = stats_of(p, home)
    made = calls(home)
    assert sorted(collections.Counter(pid for pid, _, _ in made).values()) == [50, 51]
    assert os.getpid() not in {pid for pid, _, _ in made}
    assert collections.Counter(tag for _, _, tag in made) == {"a": 51, "b": 50}
    assert (s["finished"], s["histograms"]["run_time"]["count"]) == (101, 101)
    assert "worker 1 of 2: 51 finished" in p.stdout and "worker 2 of 2: 50 finished" in p.stdout
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.split("summary =")[1].split()[0] == "101", last
    # A module found here but not on the workers: refused, naming the worker.
    (tmp_path / "awaytarget.py").write_text(SPREAD_TARGET)
    p = vigil_main(["awaytarget:work", "--dask", address, "--count", "1"], tmp_path)
    assert p.returncode == 2, p.stderr
    assert p.stderr.startswith("vigil_load: the Dask worker tcp://") and p.stderr.count("\n") == 1
    assert "cannot import awaytarget (ModuleNotFoundError" in p.stderr
    assert "importable on every worker" in p.stderr
    assert sorted(f.name for f in tmp_path.iterdir() if f.name != "__pycache__") == [
        "awaytarget.py"]
    # Schemes whose client fails before it connects (no certificates given).
    # The half-made client is closed then, not left to a later collection
    # (which could come inside another client's start and deadlock there).
    import distributed

    gc.disable()
    try:
        for scheme in ("tls", "ucx"):
            p = vigil_main(["awaytarget:work", "--dask", f"{scheme}://127.0.0.1:9", "--count",
                            "1"], tmp_path)
            assert p.returncode == 2 and p.stderr.count("\n") == 1, p.stderr
            assert "cannot reach the scheduler" in p.stderr
            assert [o.status for o in gc.get_objects()
                    if isinstance(o, distributed.Client) and o.status != "closed"] == []
    finally:
        gc.enable()


@pytest.mark.parametrize("args, fragment", [
    (["--dask", "local:2"], 'needs the package distributed: pip install "threads-main[dask]"'),
    (["--dask", "local:0"], "above 0"),
    (["--dask", "local:100000"], "runs at most"),  # distributed missing: no cluster if not
    (["--dask", "local:2", "--processes", "2"], "not allowed with"),
])
def test_dask_refused(work, vigil_main, monkeypatch, args, fragment):
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if not installed
    p = vigil_main(["spreadtarget:work", "--count", "1", *args], work)
    assert p.returncode == 2 and p.stderr.count("\n") == 1, p.stderr
    assert fragment in p.stderr
    assert not (work / "calls").exists()


def test_dask_signal_stops_every_worker_and_writes_the_merge(cluster, home):
    child = start_child(home, ["spreadtarget:work", *tasks(home, {"ms": 300}), "--dask",
                               cluster[0], "--duration", "120", "--workers", "4",
                               "--interval", "1"])
    wait_for(TWO_FINISHED, home, child)
    child.send_signal(signal.SIGTERM)
    out = finish(child)
    assert child.returncode == 143, (home / "stderr.txt").read_text()[-2000:]
    s = json.loads((home / "vigil-stats.json").read_text())
    assert s["finished"] >= 2 and s["running"] == 0 and s["stopped"] + s["cancelled"] >= 2
    assert "worker 1 of 2:" in out and "worker 2 of 2:" in out
    settled = len(calls(home))
    time.sleep(1)
    assert len(calls(home)) == settled  # nothing runs on the workers any more


def test_dask_metrics_are_the_sum_of_the_workers_figures(cluster, home):
    port = free_port()
    child = start_child(home, ["spreadtarget:work", *tasks(home, {"tag": "a"}, {"tag": "b"}),
                               "--dask", cluster[0], "--count", "41", "--group-by", "tag",
                               "--metrics", f"127.0.0.1:{port}", "--metrics-linger", "300"])
    try:
        deadline = time.monotonic() + 60
        while not (home / "vigil-stats.json").exists() and time.monotonic() < deadline:
            assert child.poll() is None, (home / "stderr.txt").read_text()[-2000:]
            time.sleep(0.1)
        want = counted(json.loads((home / "vigil-stats.json").read_text()))
        assert want[("vigil_finished_by_group_total", (("group", "a"),))] == 21
        assert scraped_counts(f"http://127.0.0.1:{port}/metrics", want) == want
        child.send_signal(signal.SIGTERM)
    finally:
        finish(child)
    assert child.returncode == 143


def test_dask_worker_that_dies_is_named(cluster, home):
    # Kills its Dask worker process (the cluster's nanny starts another):
    # run last of the tests on this cluster.
    child = start_child(home, ["spreadtarget:work", *tasks(home, *DIES_SECOND),
                               "--dask", cluster[0], "--workers", "2", "--interval", "1"])
    out = finish(child)
    err = (home / "stderr.txt").read_text()
    assert child.returncode == spread.EXIT_WORKER_LOST, err[-2000:]
    assert "worker 2 of 2 died (the Dask worker tcp://" in err
    s = json.loads((home / "vigil-stats.json").read_text())
    assert (s["finished"], s["succeeded"]) == (20, 20)
    assert "worker 1 of 2: 20 finished" in out


@pytest.mark.slow  # a cluster of its own: about 10 s
def test_dask_local_runs_the_demonstration(tmp_path, vigil_main, monkeypatch):
    monkeypatch.setattr(vigil_load.demo, "FAIL_SHARE", 0.5)  # both kinds, however few
    p = vigil_main(["--dask", "local:2", "--duration", "2", "--interval", "1"], tmp_path)
    s = stats_of(p, tmp_path)
    assert "worker 1 of 2:" in p.stdout and "worker 2 of 2:" in p.stdout
    assert s["succeeded"] > 0 and s["failed"] > 0
