"""Load that changes during a run (stages, a shape of the user's) and a
class target that keeps an instance per worker: the levels set at the times
asked (on a held clock), and real runs through the command line."""

import http.server
import json
import math
import sys
import threading
from types import SimpleNamespace

import threads_main
from support import RecordingLog
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
    p = vigil_main(["steertarget:work", "--stages", "2s:4,1s:4,2s:0", "--interval", "1"], work)
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


class _Counting(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive
    requests: dict = {}

    def do_GET(self):
        self.requests[self.client_address] = self.requests.get(self.client_address, 0) + 1
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, format, *args):
        pass


def test_a_class_target_keeps_an_instance_and_its_connection_per_worker(tmp_path, vigil_main,
                                                                         monkeypatch):
    work = steer_target(tmp_path)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Counting)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    monkeypatch.setenv("STEER_PORT", str(server.server_address[1]))
    try:
        p = vigil_main(["steertarget:Client", "--count", "200", "--workers", "3", "--interval",
                        "1", "--break-result", "500"], work)
    finally:
        server.shutdown()
        server.server_close()
    assert p.returncode == 0, p.stderr[-3000:]
    made = sys.modules["steertarget"].made
    assert 1 <= len(made) <= 3
    assert [(u.starts, u.stops) for u in made] == [(1, 1)] * len(made)
    # one connection per instance, every call of an instance on it
    assert sorted(_Counting.requests.values()) == sorted(u.calls for u in made)
    assert sum(u.calls for u in made) == 200
    s = json.loads((work / "vigil-stats.json").read_text())
    assert (s["finished"], s["succeeded"]) == (200, 200)
