"""Real load runs through the command line: what the statistics say about
tasks of known run times and a known backlog, the history, checks, the start
rate, records cleared on the way and the demonstration, in this process;
signals and a task that outlives the run, in a child."""

import importlib
import importlib.metadata
import json
import platform
import re
import signal
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

import threads_main
import vigil_load.demo
import vigil_load.run
import vigil_load.stats
from load_support import TARGET, child_env, run_cli

ERROR = 1 / 256  # the histogram's relative error


@pytest.fixture
def work(tmp_path):
    (tmp_path / "loadtarget.py").write_text(TARGET)
    return tmp_path


def tasks(work, *lines):
    (work / "tasks.jsonl").write_text("".join(json.dumps(t) + "\n" for t in lines))
    return ["--tasks", "tasks.jsonl"]


def ran(work):
    called = work / "called"
    return len(called.read_text().splitlines()) if called.exists() else 0


def finished(p, work, status=0):
    assert p.returncode == status, (p.stdout[-2000:], p.stderr[-3000:])
    return json.loads((work / "vigil-stats.json").read_text())


def test_known_run_times_break_result_failures_and_checks(work, vigil_main):
    args = tasks(work, {"ms": 20}, {"ms": 20, "result": "x"}, {"ms": 40, "fail": True})
    p = vigil_main(["loadtarget:work", *args, "--count", "30", "--workers", "5",
                    "--interval", "1", "--break-result", '"x"',
                    "--check", "finished==30", "--check", "error_rate<50",
                    "--report", "vigil-report.html"], work)
    s = finished(p, work, status=1)  # a check not met; the results are written all the same
    assert ran(work) == 30
    assert (s["finished"], s["succeeded"], s["failed"], s["stopped"], s["cancelled"]) == (
        30, 10, 20, 0, 0)
    assert s["error_rate"] == pytest.approx(200 / 3)
    rt = s["run_time"]
    # 20 runs of 20 ms and 10 of 40 ms: sleeps are never shorter, and no run
    # outlasts the run as a whole (milliseconds, not microseconds)
    assert 20.0 <= rt["min"] <= rt["p50"]
    assert 20 * (1 - ERROR) <= rt["p50"] <= rt["p90"]
    assert 40 * (1 - ERROR) <= rt["p90"] <= rt["p99"] <= rt["max"] <= s["elapsed"] * 1000
    assert rt["max"] >= 40.0
    assert s["histograms"]["run_time"]["count"] == 30
    assert 0 < sum(r["finished"] for r in s["history"]) <= 30
    # the summary lines while it runs, their error share that of submitted tasks
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.endswith(f"({s['submitted_error_rate']:.2f}%)"), last
    assert "of submitted tasks (failed / submitted" in p.stdout
    assert "p99.9" in p.stdout and "finished runs" in p.stdout
    verdicts = [line.split(": ")[1].split(" (")[0] for line in p.stdout.splitlines()
                if line.startswith("check ")]
    assert verdicts == ["met", "NOT met"]
    assert (work / "vigil-report.html").stat().st_size > 10_000
    # How the run was made, in the stats file and the report.
    (made,) = s["settings"]
    assert made["command"].endswith("loadtarget:work --tasks tasks.jsonl --count 30 --workers 5 "
                                    "--interval 1 --break-result '\"x\"' --check finished==30 "
                                    "--check 'error_rate<50' --report vigil-report.html")
    assert (made["target"], made["tasks_file"], made["tasks"], made["workers"], made["count"],
            made["duration"], made["break_result"]) == (
        "loadtarget:work", "tasks.jsonl", 3, 5, 30, None, '"x"')
    assert (made["host"], made["python"]) == (socket.gethostname(), f"CPython {platform.python_version()}")
    assert made["vigil_load"] == importlib.metadata.version("threads-main")
    assert made["started"] <= s["first_start"]
    assert "How the run was made" in (work / "vigil-report.html").read_text()


def test_closed_loop_latency_is_the_run_time(work, vigil_main):
    # One worker, eight 100 ms tasks, no rate: each name is queued while the
    # run before it goes on, but a closed loop has no intended start, so its
    # latency is its run time; its queue wait is only the wait of the free
    # worker for it, far below a run.
    p = vigil_main(["loadtarget:work", *tasks(work, {"ms": 100}), "--count", "8",
                    "--workers", "1", "--interval", "1"], work)
    s = finished(p, work)
    h = s["histograms"]
    assert (h["latency"], s["latency"]) == (h["run_time"], s["run_time"])
    assert h["queue_wait"]["count"] == 8
    assert s["queue_wait"]["p50"] < s["run_time"]["p50"], (s["queue_wait"], s["run_time"])
    assert s["notes"] == [] and "warning" not in p.stderr


def test_history_has_a_row_a_second(work, vigil_main):
    p = vigil_main(["loadtarget:work", *tasks(work, {"ms": 10}), "--duration", "3",
                    "--interval", "1", "--workers", "4"], work)
    s = finished(p, work)
    times = [r["time"] for r in s["history"]]
    assert times == sorted(set(times))
    assert abs(len(times) - s["elapsed"]) <= 2, (len(times), s["elapsed"])
    assert times[-1] - times[0] + 1 == len(times)  # work queued all along: no gap
    # a row is taken while work is queued or running; the moment the last
    # run ends may fall after the last row
    assert 0 < sum(r["finished"] for r in s["history"]) <= s["finished"]


def test_no_tasks_file_a_dotted_target_and_a_start_rate(work, vigil_main):
    # 11 calls with no arguments at 20 starts a second: the last starts half
    # a second after the first.
    p = vigil_main(["loadtarget:Jobs.quick", "--count", "11", "--workers", "30", "--rate", "20",
                    "--interval", "1"], work)
    s = finished(p, work)
    assert (s["finished"], s["succeeded"]) == (11, 11) and ran(work) == 11
    assert s["last_finish"] - s["first_start"] >= 0.5 - 0.01


class Unstarted:
    """A manager that starts nothing: what is sent stays queued until taken."""

    def __init__(self, workers):
        self._var = SimpleNamespace(max_workers=workers)
        self.queued = 0

    def _get_qsize(self):
        return self.queued

    def _send(self, **kwargs):
        self.queued += 1


def test_the_feeder_keeps_what_a_paced_schedule_owes_queued(monkeypatch):
    # 200 starts a second, 10 workers, a target stalled for 2 s: the 400
    # starts the schedule owes meanwhile stay queued beside the lead (a name
    # per worker, two top-ups' worth), so the manager can catch up; never
    # more than the bound; and once it has, only the lead is queued again.
    ticks = [0]  # top-ups, 10 ms apart
    monkeypatch.setattr(vigil_load.run, "time",
                        SimpleNamespace(monotonic=lambda: 100 + ticks[0] / 100))
    m = Unstarted(10)
    feeder = vigil_load.run._Feeder(m, [{}], None, None, rate=200)
    lead = 10 + 4

    def top_ups(n):
        for _ in range(n):
            ticks[0] += 1
            feeder.top_up()

    feeder.top_up()
    assert m.queued == 1 + lead
    top_ups(200)
    assert m.queued == 401 + lead
    top_ups(500)
    assert m.queued == vigil_load.run.QUEUE_AHEAD
    m.queued = 0  # caught up as far as it could: a manager's schedule starts again
    top_ups(1)
    assert m.queued == 1 + lead


def test_a_warm_up_is_left_out_of_the_figures_and_the_checks(work, vigil_main):
    # The first four calls (one a worker) take a second and fail; the warm-up
    # ends at 2 s, when all of them have ended. The calls after it take 5 ms.
    p = vigil_main(["loadtarget:cold_start", "--duration", "3", "--warmup", "2", "--workers",
                    "4", "--interval", "1", "--check", "failed==0", "--check", "max<500"], work)
    s = finished(p, work)
    rows = s["history"]
    assert sum(r["failed"] for r in rows) == 4  # kept in the history
    assert s["failed"] == 0 and 0 < s["finished"] <= ran(work) - 4
    assert s["run_time"]["max"] < 500 and s["histograms"]["run_time"]["count"] == s["finished"]
    (made,) = s["settings"]
    assert 2 <= made["warmup_end"] - made["started"] < 3  # within the run
    assert s["first_start"] == made["warmup_end"]
    assert s["elapsed"] == pytest.approx(s["last_finish"] - made["warmup_end"])
    assert "warm-up" in p.stdout


def test_a_warm_up_that_cannot_be_subtracted_does_not_lose_the_results(work, vigil_main,
                                                                      monkeypatch):
    def refuse(*args):
        raise vigil_load.stats.StatsError("the snapshot is not of an earlier moment")

    monkeypatch.setattr(vigil_load.stats, "since", refuse)
    p = vigil_main(["loadtarget:work", *tasks(work, {"ms": 1}), "--count", "5", "--warmup", "60"],
                   work)
    s = finished(p, work)
    assert s["finished"] == 5 and s["settings"][0]["warmup_end"] is None
    assert "the warm-up could not be left out (the snapshot is not" in p.stderr


def test_group_by_timeout_and_fresh_threads_reach_the_manager(work, vigil_main, monkeypatch):
    calls = []

    class Newer(threads_main.VigilThreadsMain):
        def _set_statistics_group(self, key=None):
            calls.append(("group", key))
            return True

        def _set_task_timeout(self, seconds=None):
            calls.append(("timeout", seconds))
            return True

        def _set_fresh_threads(self, flag=True):
            calls.append(("fresh", flag))
            return True

    monkeypatch.setattr(threads_main, "VigilThreadsMain", Newer)
    p = vigil_main(["loadtarget:work", *tasks(work, {"ms": 1}), "--count", "2", "--group-by", "ms",
                    "--timeout", "2.5", "--fresh-threads"], work)
    (made,) = finished(p, work)["settings"]
    assert calls == [("group", "ms"), ("timeout", 2.5), ("fresh", True)]
    assert (made["group_by"], made["timeout"]) == ("ms", 2.5)


def test_timeout_fails_the_runs_that_last_longer(work, vigil_main):
    # (A limit far above what the short runs take, however slow the machine.)
    p = vigil_main(["loadtarget:spin", *tasks(work, {"ms": 30000}, {"ms": 1}), "--count", "4",
                    "--workers", "4", "--timeout", "1", "--check", "failed==2"], work)
    s = finished(p, work)
    assert (s["finished"], s["failed"], s["error_rate"]) == (4, 2, 50.0)
    assert 1000 <= s["run_time"]["max"] < 30000  # counted at the limit, not at the run's end
    assert s["settings"][0]["timeout"] == 1

def test_the_run_ends_when_its_work_does(work):
    # Not at the next --interval boundary: with an interval of ten minutes, a
    # run waiting for it would outlast run_cli's bound, which an interpreter,
    # the report and the work, however slow, stay far below.
    args = ["loadtarget:work", *tasks(work, {"ms": 100}), "--workers", "2", "--interval", "600"]
    for how_long, work_seconds in ((["--count", "10"], 0.5), (["--duration", "2"], 2.0)):
        p = run_cli([*args, *how_long], work)
        s = finished(p, work)
        assert work_seconds <= s["elapsed"], how_long


def start_child(work, args, err_path, entry=("-m", "vigil_load")):
    err = open(err_path, "w")
    # A fatal error in the child then shows every thread's Python stack.
    child = subprocess.Popen([sys.executable, *entry, *args], cwd=work,
                             env=child_env(PYTHONFAULTHANDLER="1"), stdout=subprocess.PIPE,
                             stderr=err, text=True)
    err.close()
    return child


def wait_for(text, err_path, child, seconds=120):
    """Waits for `text` (a pattern) in the child's stderr."""
    deadline = time.monotonic() + seconds
    while (not re.search(text, err_path.read_text()) and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.1)
    assert re.search(text, err_path.read_text()), err_path.read_text()[-2000:]


@pytest.mark.parametrize("how_long, signum, status", [
    (["--duration", "120"], signal.SIGINT, 130),
    (["--duration", "120"], signal.SIGTERM, 143),
    (["--count", "100000"], signal.SIGTERM, 143),
])
def test_a_signal_stops_writes_what_ran_and_exits_128_plus_it(work, how_long, signum, status):
    err_path = work / "stderr.txt"
    child = start_child(work, ["loadtarget:work", *tasks(work, {"ms": 300}), *how_long,
                               "--workers", "4", "--interval", "1", "--report",
                               "vigil-report.html"], err_path)
    try:
        wait_for(r"summary = +[1-9]", err_path, child)  # a run has finished
        child.send_signal(signum)
        time.sleep(0.3)
        child.send_signal(signum)  # a second one must not lose the stats file
        out, _ = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    said = (out[-2000:], err_path.read_text()[-2000:])
    assert child.returncode == status, said
    assert "interrupted" in out
    s = json.loads((work / "vigil-stats.json").read_text())
    assert s["finished"] >= 1 and s["running"] == 0
    assert s["stopped"] + s["cancelled"] >= 1  # work was still there to stop
    # Every finished run was a call; every call ended finished or stopped (a
    # stop can also take a task whose thread started but had not called yet).
    assert s["finished"] <= ran(work) <= s["finished"] + s["stopped"]
    # ...but it ends the report's drawing when it comes then
    assert ((work / "vigil-report.html").exists()
            != ("while drawing the report; no report written" in err_path.read_text())), said
    assert not [f for f in work.iterdir() if f.name.endswith(".tmp")]


# The command with one phase made to last (a stand-in for a slow import, a
# large merge, a cluster that is slow to start, a long report): the phase
# says when it has begun, and a signal must end it.
SLOW_PHASE = """
import sys, time, importlib
module = importlib.import_module(sys.argv[1])
def slow(*args, **kwargs):
    print("slow phase begun", file=sys.stderr, flush=True)
    time.sleep(120)
setattr(module, sys.argv[2], slow)
import vigil_load.cli
sys.exit(vigil_load.cli.main(sys.argv[3:]))
"""


@pytest.mark.parametrize("phase, args, signum, written", [
    ("vigil_load.stats load", ["merge", "a.json"], signal.SIGTERM, []),
    ("vigil_load.spread _connect", ["loadtarget:work", "--dask", "local:2"], signal.SIGTERM, []),
    ("vigil_load.report render", ["merge", "a.json", "--report", "r.html"], signal.SIGINT,
     ["vigil-stats.json"]),
    ("vigil_load.report render", ["loadtarget:work", "--count", "3", "--report", "r.html"],
     signal.SIGTERM, ["vigil-stats.json"]),
])
def test_a_signal_ends_every_phase_and_keeps_what_was_written(work, phase, args, signum,
                                                              written):
    from load_support import make_stats

    (work / "a.json").write_text(json.dumps(make_stats([1000, 2000])))
    err_path = work / "stderr.txt"
    child = start_child(work, [*phase.split(), *args], err_path, entry=("-c", SLOW_PHASE))
    try:
        wait_for("slow phase begun", err_path, child, 60)
        child.send_signal(signum)
        child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    err = err_path.read_text()
    assert child.returncode == 128 + signum, err[-2000:]
    assert f"interrupted by {signal.Signals(signum).name}" in err
    made = sorted(f.name for f in work.iterdir() if f.suffix in (".json", ".html", ".tmp"))
    assert made == sorted(["a.json", *written])


# The command as its console script runs it, with the interpreter's exit
# made to last (an exit handler that a target may register): a signal that
# comes once everything is written ends it all the same.
SLOW_EXIT = """
import atexit, sys, time
def slow():
    print("exiting", file=sys.stderr, flush=True)
    time.sleep(120)
import vigil_load.cli
sys.argv = ["vigil-load", *sys.argv[1:]]
status = vigil_load.cli.main()
atexit.register(slow)
sys.exit(status)
"""


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_once_all_is_written_exits_128_plus_it(work, signum):
    err_path = work / "stderr.txt"
    child = start_child(work, ["loadtarget:work", "--count", "2"], err_path,
                        entry=("-c", SLOW_EXIT))
    try:
        wait_for("exiting", err_path, child, 60)
        child.send_signal(signum)
        child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 128 + signum, err_path.read_text()[-2000:]


# The command with the running tasks' time to finish after --duration cut
# from 10 s to a fraction: a task that outlives it is what is tested.
SHORT_DRAIN = ("-c", "import sys, vigil_load.cli, vigil_load.run\n"
                     "vigil_load.run.DRAIN_SECONDS = 0.2\n"
                     "sys.exit(vigil_load.cli.main())")


@pytest.mark.parametrize("args, ended", [
    (["--duration", "1", "--interval", "1", "--workers", "1"], "stopped"),
    # each worker process's one task timed out, and still running at its end
    (["--count", "2", "--timeout", "0.5", "--processes", "2"], "failed"),
])
def test_a_task_stuck_in_native_code_does_not_keep_the_process(work, args, ended):
    err_path = work / "stderr.txt"
    child = start_child(work, ["loadtarget:stuck", *args], err_path, entry=SHORT_DRAIN)
    try:
        out, _ = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    err = err_path.read_text()
    assert child.returncode == 0, err[-2000:]
    assert "statistics written" in out
    s = json.loads((work / "vigil-stats.json").read_text())
    assert s[ended] == args.count("--processes") + 1  # one task, or one a worker
    line = next(line for line in err.splitlines() if "still running" in line)
    assert "Thread_1" in err and "loadtarget.py" in err, line
    assert "leaked" not in err  # the worker's semaphores, left to the parent's tracker


MEMORY_TARGET = """
import threading, weakref
import threads_main

managers, live, peak, lock = [], weakref.WeakSet(), {"results": 0, "records": 0}, threading.Lock()

class Watched(threads_main.VigilThreadsMain):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        managers.append(self)

class Result:
    pass

def work():
    r = Result()
    with lock:
        live.add(r)
        peak["results"] = max(peak["results"], len(live))
        peak["records"] = max(peak["records"], len(managers[0]._var.threads))
    return r
"""


def test_results_and_records_are_not_kept(work, vigil_main, monkeypatch):
    # Records are cleared every 100 tasks here; the lines and statistics still
    # count the whole run.
    (work / "memtarget.py").write_text(MEMORY_TARGET)
    monkeypatch.syspath_prepend(work)
    target = importlib.import_module("memtarget")
    monkeypatch.setattr(threads_main, "VigilThreadsMain", target.Watched)
    monkeypatch.setattr(vigil_load.run, "CLEAR_EVERY", 100)
    p = vigil_main(["memtarget:work", "--count", "1000", "--workers", "4", "--rate", "500",
                    "--interval", "0.5"], work)
    s = finished(p, work)
    assert len(target.managers) == 1
    assert target.peak["results"] <= 20, target.peak  # those being returned, not every one
    assert target.peak["records"] <= 100, target.peak
    assert s["finished"] == s["succeeded"] == s["histograms"]["run_time"]["count"] == 1000
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.split("summary =")[1].split()[0] == "1000", last


def test_demonstration(tmp_path, vigil_main, monkeypatch):
    # The demonstration, shortened: its own server, summary lines, the table
    # and both files in the working directory. Half the replies fail, so
    # both kinds come however few requests a loaded machine makes.
    monkeypatch.setattr(vigil_load.demo, "FAIL_SHARE", 0.5)
    p = vigil_main(["--duration", "2", "--interval", "1", "--report", "vigil-report.html"],
                   tmp_path)
    assert p.returncode == 0, p.stderr[-2000:]
    assert "server: http://127.0.0.1:" in p.stdout
    assert "summary =" in p.stderr
    s = json.loads((tmp_path / "vigil-stats.json").read_text())
    assert s["succeeded"] > 0 and s["failed"] > 0
    assert s["run_time"]["min"] >= 3.0  # replies take 3 to 100 ms
    assert (tmp_path / "vigil-report.html").exists()
    assert "report written to vigil-report.html" in p.stdout
    # A closed loop of 20 users: at the end no backlog of a thousand withdrawn
    # requests; the last line says what the figures that remain mean.
    assert s["cancelled"] <= 20 and s["settings"][0]["users"] == 20
    assert p.stdout.splitlines()[-1].startswith("closed loop: 20 users")
