"""Real load runs through the command line, in a child process: what the
statistics say about tasks of known run times and a known backlog, the
history, checks, the start rate, Ctrl-C and the demonstration."""

import json
import signal
import subprocess
import sys
import time

import pytest

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


def finished_ok(p, work):
    assert p.returncode == 0, (p.stdout[-2000:], p.stderr[-3000:])
    return json.loads((work / "vigil-stats.json").read_text())


def test_known_run_times_break_result_and_failures(work):
    args = tasks(work, {"ms": 20}, {"ms": 20, "result": "x"}, {"ms": 40, "fail": True})
    p = run_cli(["loadtarget:work", *args, "--count", "30", "--workers", "5",
                 "--interval", "1", "--break-result", '"x"'], work)
    s = finished_ok(p, work)
    assert ran(work) == 30
    assert (s["finished"], s["succeeded"], s["failed"], s["stopped"], s["cancelled"]) == (
        30, 10, 20, 0, 0)
    assert s["error_rate"] == pytest.approx(200 / 3)
    rt = s["run_time"]
    # 20 runs of 20 ms and 10 of 40 ms: sleeps are never shorter, a little longer
    assert 20.0 <= rt["min"] < 250
    assert 20 * (1 - ERROR) <= rt["p50"] < 250
    assert 40 * (1 - ERROR) <= rt["p90"] <= rt["p99"] <= rt["max"] < 400
    assert rt["max"] >= 40.0
    assert s["histograms"]["run_time"]["count"] == 30
    assert 0 < sum(r["finished"] for r in s["history"]) <= 30
    assert "summary =" in p.stderr  # the summary lines while it runs
    assert "p99.9" in p.stdout and "finished runs" in p.stdout
    assert (work / "vigil-report.html").stat().st_size > 10_000


def test_queue_wait_of_a_known_backlog(work):
    # One worker, eight 100 ms tasks: the k-th waits for the k-1 before it.
    p = run_cli(["loadtarget:work", *tasks(work, {"ms": 100}), "--count", "8",
                 "--workers", "1", "--interval", "1"], work)
    s = finished_ok(p, work)
    qw = s["queue_wait"]
    assert s["histograms"]["queue_wait"]["count"] == 8
    assert qw["max"] >= 700 * (1 - ERROR)
    assert qw["p50"] >= 300 * (1 - ERROR)  # rank 4: behind three runs
    assert qw["min"] >= 0


def test_history_has_a_row_a_second(work):
    p = run_cli(["loadtarget:work", *tasks(work, {"ms": 10}), "--duration", "4",
                 "--interval", "1", "--workers", "4"], work)
    s = finished_ok(p, work)
    times = [r["time"] for r in s["history"]]
    assert times == sorted(set(times))
    assert abs(len(times) - s["elapsed"]) <= 2, (len(times), s["elapsed"])
    assert times[-1] - times[0] + 1 == len(times)  # work queued all along: no gap
    # a row is taken while work is queued or running; the moment the last
    # run ends may fall after the last row
    assert 0 < sum(r["finished"] for r in s["history"]) <= s["finished"]


def test_no_tasks_file_calls_with_no_arguments(work):
    p = run_cli(["loadtarget:Jobs.quick", "--count", "3", "--interval", "1"], work)
    s = finished_ok(p, work)
    assert (s["finished"], s["succeeded"]) == (3, 3) and ran(work) == 3


@pytest.mark.parametrize("checks, status, shown", [
    (["p50<10000", "error_rate<1", "finished==4"], 0, ["met", "met", "met"]),
    (["p50<10000", "p50<0.0001"], 1, ["met", "NOT met"]),
])
def test_checks_decide_the_exit_status(work, checks, status, shown):
    args = ["loadtarget:work", "--count", "4", "--interval", "1"]
    for c in checks:
        args += ["--check", c]
    p = run_cli(args, work)
    assert p.returncode == status, p.stderr[-2000:]
    verdicts = [line.split(": ")[1].split(" (")[0] for line in p.stdout.splitlines()
                if line.startswith("check ")]
    assert verdicts == shown
    assert json.loads((work / "vigil-stats.json").read_text())["finished"] == 4


def test_start_rate(work):
    # 11 instant tasks at 20 starts a second: the last waits about half a second.
    p = run_cli(["loadtarget:work", "--count", "11", "--workers", "30", "--rate", "20",
                 "--interval", "1"], work)
    s = finished_ok(p, work)
    assert s["finished"] == 11
    assert s["queue_wait"]["max"] >= 400


def start_child(work, args, err_path):
    err = open(err_path, "w")
    child = subprocess.Popen([sys.executable, "-m", "vigil_load", *args], cwd=work,
                             env=child_env(), stdout=subprocess.PIPE, stderr=err, text=True)
    err.close()
    return child


def wait_for(text, err_path, child, seconds=30):
    deadline = time.monotonic() + seconds
    while text not in err_path.read_text() and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    assert text in err_path.read_text(), err_path.read_text()[-2000:]


@pytest.mark.parametrize("how_long, signum, status", [
    (["--duration", "120"], signal.SIGINT, 130),
    (["--duration", "120"], signal.SIGTERM, 143),
    (["--count", "100000"], signal.SIGTERM, 143),
])
def test_a_signal_stops_writes_what_ran_and_exits_128_plus_it(work, how_long, signum, status):
    err_path = work / "stderr.txt"
    child = start_child(work, ["loadtarget:work", *tasks(work, {"ms": 300}), *how_long,
                               "--workers", "4", "--interval", "1"], err_path)
    try:
        wait_for("summary =", err_path, child)
        child.send_signal(signum)
        time.sleep(0.3)
        child.send_signal(signum)  # a second one must not lose the results
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == status, err_path.read_text()[-2000:]
    assert "interrupted" in out
    s = json.loads((work / "vigil-stats.json").read_text())
    assert s["finished"] >= 1 and s["running"] == 0
    assert s["stopped"] + s["cancelled"] >= 1  # work was still there to stop
    # Every finished run was a call; every call ended finished or stopped (a
    # stop can also take a task whose thread started but had not called yet).
    assert s["finished"] <= ran(work) <= s["finished"] + s["stopped"]
    assert (work / "vigil-report.html").exists()
    assert not [f for f in work.iterdir() if f.name.endswith(".tmp")]


def test_a_task_stuck_in_native_code_does_not_keep_the_process(work):
    err_path = work / "stderr.txt"
    child = start_child(work, ["loadtarget:stuck", "--duration", "1", "--interval", "1",
                               "--workers", "1"], err_path)
    try:
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    err = err_path.read_text()
    assert child.returncode == 0, err[-2000:]
    assert "report written" in out
    assert json.loads((work / "vigil-stats.json").read_text())["stopped"] == 1
    line = next(line for line in err.splitlines() if "still running" in line)
    assert "Thread_1" in err and "loadtarget.py" in err, line


MEMORY_TARGET = """
import atexit, json, threading, weakref
import threads_main, vigil_load.run

vigil_load.run.CLEAR_EVERY = 100
managers, live, peak, lock = [], weakref.WeakSet(), {"results": 0, "records": 0}, threading.Lock()

class Watched(threads_main.VigilThreadsMain):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        managers.append(self)

threads_main.VigilThreadsMain = Watched

class Result:
    pass

def work():
    r = Result()
    with lock:
        live.add(r)
        peak["results"] = max(peak["results"], len(live))
        peak["records"] = max(peak["records"], len(managers[0]._var.threads))
    return r

atexit.register(lambda: open("peak.json", "w").write(json.dumps(peak)))
"""


def test_results_and_records_are_not_kept(work):
    # Records are cleared every 100 tasks here; the lines and statistics still
    # count the whole run.
    (work / "memtarget.py").write_text(MEMORY_TARGET)
    p = run_cli(["memtarget:work", "--count", "1000", "--workers", "4", "--rate", "500",
                 "--interval", "0.5"], work)
    s = finished_ok(p, work)
    peak = json.loads((work / "peak.json").read_text())
    assert peak["results"] <= 20, peak  # those being returned, not every one
    assert peak["records"] <= 100, peak
    assert s["finished"] == s["succeeded"] == s["histograms"]["run_time"]["count"] == 1000
    last = [line for line in p.stderr.splitlines() if "summary =" in line][-1]
    assert last.split("summary =")[1].split()[0] == "1000", last


def test_demonstration(tmp_path):
    # The demonstration, shortened: its own server, summary lines, the table
    # and both files in the working directory.
    p = run_cli(["--duration", "2", "--interval", "1"], tmp_path)
    assert p.returncode == 0, p.stderr[-2000:]
    assert "server: http://127.0.0.1:" in p.stdout
    assert "summary =" in p.stderr
    s = json.loads((tmp_path / "vigil-stats.json").read_text())
    assert s["succeeded"] > 0 and s["failed"] > 0  # ~10 % of replies are 500
    assert s["run_time"]["min"] >= 3.0  # replies take 3 to 100 ms
    assert (tmp_path / "vigil-report.html").exists()
    assert "report written to vigil-report.html" in p.stdout
