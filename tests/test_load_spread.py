"""One run over several worker processes (--processes) and over a Dask
cluster (--dask): the split of the work, the common start, the merged
results, signals, a worker that dies and a parent that dies. Each worker
process writes down every call it makes, so what ran is counted apart from
what the statistics say."""

import collections
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
from load_support import child_env
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
    [1, 2, 3, 5, 6, 7], [1, 2, 3, 4], [None, 1, 2, 10, 11, 1001])))
def test_split_runs_every_task_of_the_whole_run_once(size, n, count):
    tasks = [{"i": i} for i in range(size)]
    plan = Plan(func=print, tasks=tasks, count=count, rate=120.0)
    shares = spread.split(plan, n)
    total = count if count is not None else size
    assert len(shares) == min(n, total)  # no worker without a task
    counts = [s.count for s in shares]
    assert counts == sorted(counts, reverse=True) and counts[0] - counts[-1] <= 1
    assert sum(counts) == total
    ran = [t["i"] for s in shares for t in one_process(s)]
    assert collections.Counter(ran) == collections.Counter(t["i"] for t in one_process(plan))
    # Round-robin: worker w runs tasks w, w+n, ... of the whole run, in order.
    for w, share in enumerate(shares):
        assert [t["i"] for t in one_process(share)] == [
            k % size for k in range(w, total, len(shares))]
        assert share.rate == pytest.approx(120.0 / len(shares))


def test_split_of_a_duration():
    plan = Plan(func=print, tasks=[{"i": i} for i in range(4)], duration=30.0, workers=7)
    shares = spread.split(plan, 3)
    assert len(shares) == 3
    for w, share in enumerate(shares):
        assert (share.duration, share.count, share.workers, share.rate) == (30.0, None, 7, None)
        # cycled for ever, it gives tasks w, w+3, w+6, ... of the whole run
        cycled = [share.tasks[j % len(share.tasks)]["i"] for j in range(24)]
        assert cycled == [(w + 3 * j) % 4 for j in range(24)]


# -- worker processes on this machine ----------------------------------------------

# The command with a longer lead to the common start, in a child, so that
# what its worker processes write on stderr is seen too.
LEAD = ("-c", "import sys, vigil_load.cli, vigil_load.spread\n"
              "vigil_load.spread.START_LEAD = 3.0\n"
              "sys.exit(vigil_load.cli.main())")


def test_processes_split_start_together_and_merge_exactly(work):
    names = "abcde"
    args = tasks(work, *({"tag": t} for t in names))
    begun = time.time()
    p = subprocess.run([sys.executable, *LEAD, "spreadtarget:work", *args, "--processes", "2",
                        "--count", "1001", "--workers", "4", "--rate", "1e9", "--interval", "0.5"],
                       cwd=work, env=child_env(), capture_output=True, text=True, timeout=300)
    s = stats_of(p, work)
    made = calls(work)
    by_pid = collections.Counter(pid for pid, _, _ in made)
    assert sorted(by_pid.values()) == [500, 501] and os.getpid() not in by_pid
    # the tasks of one process's run of 1001: "a" once more than the others
    assert collections.Counter(tag for _, _, tag in made) == {
        "a": 201, "b": 200, "c": 200, "d": 200, "e": 200}
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
    assert "worker 1 of 2: 501 finished" in p.stdout and "worker 2 of 2: 500 finished" in p.stdout
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.split("summary =")[1].split()[0] == "1001", last
    assert (work / "vigil-report.html").exists()


def test_processes_run_the_demonstration(tmp_path, vigil_main, monkeypatch):
    # Half the replies fail (the server is this process's), so both kinds
    # come however few requests a loaded machine makes.
    monkeypatch.setattr(vigil_load.demo, "FAIL_SHARE", 0.5)
    p = vigil_main(["--processes", "2", "--duration", "2", "--interval", "1"], tmp_path)
    s = stats_of(p, tmp_path)
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


def test_a_worker_that_dies_is_named_and_the_others_results_written(work):
    # Worker 2 runs the odd tasks of the whole run: the second line, which
    # kills its process at its first call.
    child = start_child(work, ["spreadtarget:work", *tasks(work, {"ms": 5}, {"die": True}),
                               "--processes", "2", "--count", "40", "--workers", "2",
                               "--interval", "1"])
    out = finish(child)
    err = (work / "stderr.txt").read_text()
    assert child.returncode == spread.EXIT_WORKER_LOST, err[-2000:]
    assert "worker 2 of 2 died with exit status -9 (SIGKILL)" in err
    s = json.loads((work / "vigil-stats.json").read_text())
    assert (s["finished"], s["succeeded"]) == (20, 20)
    assert "worker 1 of 2: 20 finished" in out and "worker 2 of 2" not in out


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


@pytest.mark.parametrize("args, fragment", [
    (["--dask", "local:2"], 'needs the package distributed: pip install "threads-main[dask]"'),
    (["--dask", "local:0"], "above 0"),
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


def test_dask_worker_that_dies_is_named(cluster, home):
    # Kills its Dask worker process (the cluster's nanny starts another):
    # run last of the tests on this cluster.
    child = start_child(home, ["spreadtarget:work", *tasks(home, {"ms": 5}, {"die": True}),
                               "--dask", cluster[0], "--count", "40", "--workers", "2",
                               "--interval", "1"])
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
