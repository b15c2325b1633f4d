"""Load that changes during a run (stages, a shape of the user's) and a
class target that keeps an instance per worker: the levels set at the times
asked (on a held clock), and real runs through the command line."""

import contextlib
import json
import math
import signal
import subprocess
import sys
from types import SimpleNamespace

import pytest

import threads_main
from load_support import child_env
from support import RecordingLog, wait_until
from vigil_load.levels import Ramp, Steering

STEER_TARGET = '''
import os, threading, time

lock = threading.Lock()
now = {"running": 0, "most": 0}

def work(ms=30):
    with lock:
        now["running"] += 1
        now["most"] = max(now["most"], now["running"])
    time.sleep(ms / 1000)
    with lock:
        now["running"] -= 1
    return "ok"

def grow(seconds):
    return None if seconds >= 2 else (1 + int(seconds), None)

def bad(seconds, stats):
    if seconds >= 1:
        raise RuntimeError(f"planned, after {stats['finished']} runs")
    return (2, None)

def garbage(seconds):
    return "garbage"

def get():
    # A request to the test's server, which answers 503 above its capacity.
    import urllib.error, urllib.request
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(f"http://127.0.0.1:{os.environ['STEER_PORT']}/", timeout=10) as reply:
            reply.read()
            return reply.status
    except urllib.error.HTTPError as err:
        err.close()
        raise RuntimeError(f"status {err.code}") from None

made = []

class Client:
    """A keep-alive connection per instance."""

    def __init__(self):
        self.calls, self.starts, self.stops = 0, 0, 0
        made.append(self)

    def on_start(self):
        import http.client
        self.starts += 1
        self.conn = http.client.HTTPConnection("127.0.0.1", int(os.environ["STEER_PORT"]),
                                               timeout=10)

    def __call__(self, path="/"):
        self.calls += 1
        self.conn.request("GET", path)
        reply = self.conn.getresponse()
        reply.read()
        return reply.status

    def on_stop(self):
        self.stops += 1
        self.conn.close()
'''


def steer_target(tmp_path):
    (tmp_path / "steertarget.py").write_text(STEER_TARGET)
    return tmp_path


def levels(p, what):
    """The values the manager logged for `what`, in order."""
    return [line.split(f"{what}: ")[1] for line in p.stderr.splitlines() if f"{what}: " in line]


def test_a_ramp_sets_each_level_at_the_second_asked():
    # The clock is held and moved to each time the steering says its next
    # level is due: worker counts ramp 0 -> 4 in 4 s, hold 2 s, ramp down
    # in 2 s, each second the ramp's mean over it; rates (split in two
    # shares) ramp from 2 to 10, a stage of 0 s jumps to 30.
    m = threads_main.VigilThreadsMain(lambda: None, 2, True)
    try:
        m._log = RecordingLog()
        for source, expected in (
                (Ramp([(4, 4), (2, 4), (2, 0)], "workers", 0.0),
                 [(0, "1"), (1, "2"), (2, "3"), (3, "4"), (6, "3"), (7, "1"), (8, "0")]),
                (Ramp([(2, 10), (0, 30), (1, 30)], "rate", 2.0, shares=2),
                 [(0, "2.0"), (1, "4.0"), (2, "15.0")])):
            m._log.entries.clear()
            clock = [100.0]
            feeder = SimpleNamespace(users=None, set_rate=lambda rate: None)
            steer = Steering(source, m, feeder, m._get_statistics, 2, None,
                             clock=lambda: clock[0])
            set_at = []
            assert steer.begin()
            while True:
                for message in m._log.messages()[len(set_at):]:
                    set_at.append((clock[0] - 100, message.split(": ")[1]))
                if math.isinf(steer.due):
                    break
                assert steer.due > clock[0]
                clock[0] = steer.due
                assert steer.step()
            assert set_at == expected
            # each stage's figures count from its start
            assert [stage for stage, _, _ in steer.starts] == ([0, 1, 2] if source.kind ==
                                                                "workers" else [0, 2])
    finally:
        m._close()


def test_stages_from_the_command_line(tmp_path, vigil_main):
    work = steer_target(tmp_path)
    p = vigil_main(["steertarget:work", "--stages", "2s:4,1s:4,2s:0", "--interval", "1",
                    "--report", "vigil-report.html"], work)
    assert p.returncode == 0, p.stderr[-3000:]
    # 0 -> 4 in 2 s: 1 then 3; 4; 4 -> 0 in 2 s: 3 then 1 (and 0 as the run ends)
    assert levels(p, "Workers number")[:5] == ["1", "3", "4", "3", "1"]
    most = sys.modules["steertarget"].now["most"]
    assert 2 <= most <= 4
    s = json.loads((work / "vigil-stats.json").read_text())
    stages = s["stages"]
    assert [(st["stage"], st["seconds"], st["kind"], st["from"], st["to"]) for st in stages] == [
        (1, 2, "workers", 0, 4), (2, 1, "workers", 4, 4), (3, 2, "workers", 4, 0)]
    assert sum(st["finished"] for st in stages) == s["finished"] > 0
    assert stages[0]["start"] < stages[1]["start"] < stages[2]["start"]
    assert [r["stage"] for r in s["history"] if "stage" in r] == [1, 2, 3]
    assert s["settings"][0]["stages"] == "2s:4,1s:4,2s:0"
    assert "by stage" in p.stdout and "4 -> 0 workers" in p.stdout and "whole run" in p.stdout
    assert "By stage" in (work / "vigil-report.html").read_text()


def test_a_shape_steers_the_run_and_one_that_fails_ends_it_cleanly(tmp_path, vigil_main):
    work = steer_target(tmp_path)
    p = vigil_main(["steertarget:work", "--shape", "steertarget:grow", "--interval", "1"], work)
    assert p.returncode == 0, p.stderr[-3000:]
    assert levels(p, "Workers number") == ["1", "2"]  # then None ended the run
    s = json.loads((work / "vigil-stats.json").read_text())
    assert s["finished"] > 0 and s["settings"][0]["shape"] == "steertarget:grow"
    for shape, said in (("bad", ["raised at 1.0 s", "Traceback", "steertarget.py",
                                 "RuntimeError: planned, after "]),
                        ("garbage", ["returned 'garbage' at 0.0 s",
                                     "must return (workers, rate) or None"])):
        (work / "vigil-stats.json").unlink()
        p = vigil_main(["steertarget:work", "--shape", f"steertarget:{shape}", "--interval",
                        "1"], work)
        assert p.returncode == 2, p.stderr[-3000:]
        for fragment in said:
            assert fragment in p.stderr, (fragment, p.stderr[-3000:])
        assert "the results of what ran follow" in p.stderr
        s = json.loads((work / "vigil-stats.json").read_text())
        assert s["finished"] == (0 if shape == "garbage" else s["finished"])
        assert s["finished"] > 0 or shape == "garbage"
        assert s["running"] == 0


# Keep-alive HTTP on 127.0.0.1 in a process of its own (in this one it would
# share the interpreter with the run it serves): it counts the requests on
# each connection, answers 503 beyond CAPACITY requests in any second, and
# when its stdin closes prints the counts and ends.
SERVER = """
import collections, http.server, json, sys, threading, time
capacity = float(sys.argv[1])
lock, requests, recent = threading.Lock(), {}, collections.deque()

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        now = time.monotonic()
        with lock:
            requests[self.client_address] = requests.get(self.client_address, 0) + 1
            while recent and recent[0] <= now - 1:
                recent.popleft()
            ok = len(recent) < capacity
            if ok:
                recent.append(now)
        self.send_response(200 if ok else 503)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, format, *args):
        pass

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

server = Server(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
print(server.server_address[1], flush=True)
sys.stdin.read()
with lock:
    print(json.dumps(sorted(requests.values())), flush=True)
"""


@contextlib.contextmanager
def server(monkeypatch, capacity=math.inf):
    """The server for the length of the block, its port in STEER_PORT;
    yields a list that gets the counts of requests of its connections."""
    child = subprocess.Popen([sys.executable, "-c", SERVER, str(capacity)], text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    counts = []
    try:
        monkeypatch.setenv("STEER_PORT", child.stdout.readline().strip())
        yield counts
        out, _ = child.communicate(timeout=30)
        counts += json.loads(out)
    finally:
        child.kill()
        child.wait(30)


def test_a_class_target_keeps_an_instance_and_its_connection_per_worker(tmp_path, vigil_main,
                                                                         monkeypatch):
    work = steer_target(tmp_path)
    with server(monkeypatch) as requests:
        p = vigil_main(["steertarget:Client", "--count", "200", "--workers", "3", "--interval",
                        "1", "--break-result", "500"], work)
    assert p.returncode == 0, p.stderr[-3000:]
    made = sys.modules["steertarget"].made
    assert 1 <= len(made) <= 3
    assert [(u.starts, u.stops) for u in made] == [(1, 1)] * len(made)
    # one connection per instance, every call of an instance on it
    assert requests == sorted(u.calls for u in made)
    assert sum(u.calls for u in made) == 200
    s = json.loads((work / "vigil-stats.json").read_text())
    assert (s["finished"], s["succeeded"]) == (200, 200)


SEARCH = ["--step", "4", "--settle", "1", "--precision", "20", "--search-time", "120",
          "--interval", "5"]


@pytest.mark.slow
@pytest.mark.parametrize("spread", [[], ["--processes", "2"]])
def test_the_search_finds_a_target_s_known_limit(tmp_path, vigil_main, monkeypatch, spread):
    # The server takes 20 requests a second and answers 503 to the rest:
    # above 20/s a share (R - 20) / R fails, so error_rate<10 holds up to
    # 20 / 0.9. Workers to spare: the search's limit is the target's.
    capacity = 20
    limit = capacity / 0.9
    work = steer_target(tmp_path)
    with server(monkeypatch, capacity):
        p = vigil_main(["steertarget:Client", "--find-max", "--rate", "5", "--check",
                        "error_rate<10", "--break-result", "503", "--workers", "30", *SEARCH,
                        "--report", "vigil-report.html", *spread], work)
    assert p.returncode == 0, p.stderr[-3000:]
    found = json.loads((work / "vigil-stats.json").read_text())["find_max"]
    rate, failed_at = found["rate"], found["failed_at"]
    said = [line for line in p.stdout.splitlines() if line.startswith("step ")]
    assert rate <= limit * 1.1, said  # never above what the target sustains
    assert capacity * 0.9 <= failed_at <= rate * 1.2, said  # found within the precision asked
    steps = found["steps"]
    assert [s["rate"] for s in steps][:4] == [5, 7.5, 11.25, 16.875]  # x1.5 while they pass
    assert all(s["passed"] == (not s["why"]) for s in steps)
    assert any("check error_rate<10 not met" in why for s in steps for why in s["why"])
    assert f"find-max: the highest rate that passed every check: {rate:.4g}/s" in p.stdout
    assert "find-max steps" in p.stdout
    assert "The highest rate that passes" in (work / "vigil-report.html").read_text()


@pytest.mark.slow
def test_a_rate_the_workers_cannot_keep_fails_its_step(tmp_path, vigil_main):
    # Two workers and calls of 100 ms start at most 20 a second: above that
    # the starts fall behind, which fails the step whatever the checks say.
    work = steer_target(tmp_path)
    (work / "tasks.jsonl").write_text('{"ms": 100}\n')
    p = vigil_main(["steertarget:work", "--tasks", "tasks.jsonl", "--find-max", "--rate", "30",
                    "--check", "error_rate<1", "--workers", "2", *SEARCH], work)
    assert p.returncode == 0, p.stderr[-3000:]
    found = json.loads((work / "vigil-stats.json").read_text())["find_max"]
    assert found["rate"] is not None and found["rate"] < 20
    failed = [s for s in found["steps"] if not s["passed"]]
    assert failed and all("came over 10 ms late" in " ".join(s["why"]) for s in failed)


@pytest.mark.slow
def test_stages_and_a_shape_over_two_processes(tmp_path, vigil_main):
    # Each share ramps its half of the rate; the stages' figures are the
    # shares' merged. A shape is asked by each share, and its failure in
    # both ends the run as in one process.
    work = steer_target(tmp_path)
    p = vigil_main(["steertarget:work", "--rate", "8", "--stages", "1s:8,2s:16", "--workers", "8",
                    "--interval", "1", "--processes", "2"], work)
    assert p.returncode == 0, p.stderr[-3000:]
    s = json.loads((work / "vigil-stats.json").read_text())
    assert [(st["from"], st["to"], st["kind"]) for st in s["stages"]] == [
        (8, 8, "rate"), (8, 16, "rate")]
    assert sum(st["finished"] for st in s["stages"]) == s["finished"] > 0
    # 8 starts asked in stage 1 and 24 in stage 2 (a mean of 12/s), the
    # shares' halves together: a pace is never exceeded, whatever the load
    assert [st["finished"] <= 1.5 * asked
            for st, asked in zip(s["stages"], (8, 24), strict=True)] == [True, True]
    assert [r["stage"] for r in s["history"] if "stage" in r] == [1, 2]
    p = vigil_main(["steertarget:work", "--shape", "steertarget:bad", "--interval", "1",
                    "--processes", "2"], work)
    assert p.returncode == 2, p.stderr[-3000:]
    assert "RuntimeError: planned" in p.stderr and "(and in 1 other share of the run)" in p.stderr
    assert "worker 2 of 2" in p.stdout


def test_a_signal_ends_the_search_with_the_answer_of_the_steps_before(tmp_path):
    work = steer_target(tmp_path)
    out_path = work / "out.txt"
    with open(out_path, "w") as out:
        child = subprocess.Popen(
            [sys.executable, "-m", "vigil_load", "steertarget:work", "--find-max", "--rate", "5",
             "--check", "error_rate<1", "--step", "2", "--settle", "0.5", "--interval", "5"],
            cwd=work, env=child_env(), stdout=out, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: "step 1 at 5/s: passed" in out_path.read_text(), 60)
        child.send_signal(signal.SIGTERM)
        child.wait(60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(10)
    assert child.returncode == 143, out_path.read_text()[-2000:]
    found = json.loads((work / "vigil-stats.json").read_text())["find_max"]
    assert found["rate"] >= 5 and found["steps"][0]["passed"]
    assert "find-max: the highest rate that passed every check" in out_path.read_text()
