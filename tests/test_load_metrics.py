"""vigil_load --metrics: the figures served while a run goes on and after it,
equal to its stats file at the end, in one process and over several; the
refusals before any task starts; the histogram buckets and the bounded label
sets; and a real Prometheus server (Debian's package) scraping a run."""

import bisect
import itertools
import json
import math
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from load_support import TARGET, child_env, counted, free_port, scrape, scraped_counts
from vigil_load.histogram import Histogram
from vigil_load.metrics import BOUNDS_US, Buckets, Figures

METRICS_TARGET = '''
import os, time

HERE = os.path.dirname(os.path.abspath(__file__))

def work(ms=0, fail=False, hold=False, g=""):
    if hold:  # until the test lets the run end
        deadline = time.monotonic() + 120
        while not os.path.exists(os.path.join(HERE, "release")) and time.monotonic() < deadline:
            time.sleep(0.02)
    time.sleep(ms / 1000)
    if fail:
        raise ValueError("planned")
    return "ok"
'''
QUICK = 12  # tasks that end at once; then two held ones a process


def wait_until(condition, what, seconds=60, child=None):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"waited {seconds} s for {what}"
        assert child is None or child.poll() is None, f"the run ended before {what}"
        time.sleep(0.1)


def start_run(work, port, processes, extra=()):
    """A run whose QUICK tasks end at once and whose held tasks (two a
    process) wait for the file `release`, serving its metrics on `port`."""
    held = 2 * max(processes, 1)
    lines = [{"ms": i % 7, "fail": i % 4 == 0, "g": "ab"[i % 2]} for i in range(QUICK)]
    lines += [{"hold": True, "g": "h"}] * held
    (work / "metricstarget.py").write_text(METRICS_TARGET)
    (work / "tasks.jsonl").write_text("".join(json.dumps(t) + "\n" for t in lines))
    args = ["metricstarget:work", "--tasks", "tasks.jsonl", "--workers", "4", "--group-by", "g",
            "--metrics", f"127.0.0.1:{port}", "--metrics-linger", "300", "--interval", "1",
            *(["--processes", str(processes)] if processes else []), *extra]
    err = open(work / "stderr.txt", "w")
    child = subprocess.Popen([sys.executable, "-m", "vigil_load", *args], cwd=work,
                             env=child_env(), stdout=subprocess.DEVNULL, stderr=err)
    err.close()
    return child, held


def end(child):
    """SIGTERM ends the linger as it ends a run: exit status 143."""
    child.send_signal(signal.SIGTERM)
    try:
        assert child.wait(timeout=60) == 143
    finally:
        if child.poll() is None:
            child.kill()


def scraped(url):
    try:
        return scrape(url)
    except (urllib.error.URLError, ConnectionError):  # not listening yet
        return {}


@pytest.mark.parametrize("processes", [0, 2])
def test_metrics_follow_the_run_and_equal_its_stats_file_at_the_end(tmp_path, processes):
    port = free_port()
    url = f"http://127.0.0.1:{port}/metrics"
    child, held = start_run(tmp_path, port, processes)
    try:
        # While the run goes on: the quick tasks counted, the held ones running.
        def live():
            now = scraped(url)
            return (now.get(("vigil_finished_total", ())) == QUICK
                    and now.get(("vigil_running", ())) == held)
        wait_until(live, f"a scrape showing {QUICK} finished and {held} running", child=child)
        now = scrape(url)
        assert now[("vigil_workers", ())] == 4 * max(processes, 1)
        assert now[("vigil_failed_by_group_total", (("group", "a"),))] == 3
        assert all(name.startswith("vigil_") for name, _ in now)
        (tmp_path / "release").touch()
        stats_file = tmp_path / "vigil-stats.json"
        wait_until(stats_file.exists, "the stats file", child=child)
        stats = json.loads(stats_file.read_text())
        # After the run, while it lingers: exactly the stats file's figures.
        want = counted(stats)
        assert scraped_counts(url, want) == want
        last = scrape(url)
        assert stats["finished"] == QUICK + held and stats["failed"] == 3
        assert last[("vigil_run_time_seconds_sum", ())] == pytest.approx(
            stats["histograms"]["run_time"]["sum"] / 1e6)
        assert (last[("vigil_running", ())], last[("vigil_queued", ())]) == (0, 0)
        end(child)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def test_metrics_port_is_held_for_the_run_only_and_refusals_come_first(tmp_path, vigil_main,
                                                                       monkeypatch):
    (tmp_path / "loadtarget.py").write_text(TARGET)
    port = free_port()
    p = vigil_main(["loadtarget:work", "--count", "3", "--metrics", f":{port}",
                    "--report", "r.html"], tmp_path)
    assert p.returncode == 0, p.stderr
    assert f"vigil_load: metrics at http://127.0.0.1:{port}/metrics\n" in p.stderr
    with socket.socket() as s:  # closed with the run
        s.bind(("127.0.0.1", port))
        s.listen()
        for f in ("called", "vigil-stats.json", "r.html"):
            (tmp_path / f).unlink()
        refusals = [
            (["--metrics", f"127.0.0.1:{port}"], f"--metrics 127.0.0.1:{port}: cannot listen there"),
            (["--metrics", "127.0.0.1:70000"], "a port from 0 to 65535"),
            (["--metrics-linger", "5"], "--metrics-linger needs --metrics"),
        ]
        for args, fragment in refusals:
            p = vigil_main(["loadtarget:work", "--count", "1", *args], tmp_path)
            assert p.returncode == 2 and p.stderr.count("\n") == 1, p.stderr
            assert fragment in p.stderr
    monkeypatch.setitem(sys.modules, "prometheus_client", None)  # as if not installed
    p = vigil_main(["loadtarget:work", "--count", "1", "--metrics", ":0"], tmp_path)
    assert p.returncode == 2 and p.stderr == ("vigil_load: --metrics needs the package "
                                              "prometheus_client: pip install "
                                              "\"threads-main[metrics]\"\n")
    assert sorted(f.name for f in tmp_path.iterdir() if f.name != "__pycache__") == [
        "loadtarget.py"]


def test_buckets_count_the_values_at_each_bound_and_label_sets_stay_bounded():
    rng = random.Random(31)
    values = [int(rng.lognormvariate(8, 2.5)) for _ in range(20_000)]  # 1 us to minutes
    b = Buckets.of(Histogram.from_values(values).to_json())
    cumulative = list(itertools.accumulate(b.counts))
    for bound, seen in zip(BOUNDS_US, cumulative, strict=False):
        # Exact but for values in the one histogram bucket across the bound.
        exact = sum(v <= bound for v in values)
        assert abs(seen - exact) <= sum(abs(v - bound) <= bound / 128 for v in values), bound
    assert (cumulative[-1], b.total_us) == (len(values), sum(values))

    # Two processes of 600 groups and 60 kinds each: the 1,000 groups and the
    # 100 kinds with the most runs are kept, the rest add up under "other".
    def part(first):
        return Figures(groups={f"g{first + i}": [i + 1, 1] for i in range(600)},
                       kinds={f"K{first + i}": i + 1 for i in range(60)})
    total = Figures.add([part(0), part(600), Figures(groups={"other": [5, 5]})])
    assert len(total.groups) == 1001 and len(total.kinds) == 101
    assert total.groups["other"] == [2 * sum(range(1, 101)) + 5, 200 + 5]
    assert min(total.groups[n][0] for n in total.groups if n != "other") == 101
    assert total.kinds["other"] == 2 * sum(range(1, 11))
    assert sum(g[0] for g in total.groups.values()) == 2 * sum(range(1, 601)) + 5


# -- a real Prometheus server ------------------------------------------------------

def query(base, expr):
    """The values of an instant query, by the labels beyond job and instance."""
    url = f"{base}/api/v1/query?{urllib.parse.urlencode({'query': expr})}"
    with urllib.request.urlopen(url, timeout=30) as answer:
        data = json.load(answer)
    assert data["status"] == "success", data
    return {tuple(sorted((k, v) for k, v in r["metric"].items()
                         if k not in ("job", "instance", "__name__"))): float(r["value"][1])
            for r in data["data"]["result"]}


@pytest.mark.prometheus
def test_a_prometheus_server_scrapes_counters_equal_to_the_stats_file(tmp_path):
    server = shutil.which("prometheus")
    if server is None:
        pytest.skip("no prometheus command: Debian's package could not be installed "
                    "(tools/test installs it: apt-get install prometheus)")
    port, web = free_port(), free_port()
    (tmp_path / "prometheus.yml").write_text(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        f"scrape_configs:\n  - job_name: vigil\n    static_configs:\n"
        f"      - targets: ['127.0.0.1:{port}']\n")
    base = f"http://127.0.0.1:{web}"
    # Not the sanitizer runtimes a sanitized run preloads: the server is not under test.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    with open(tmp_path / "prometheus.log", "w") as log:
        prom = subprocess.Popen([server, f"--config.file={tmp_path / 'prometheus.yml'}",
                                 f"--storage.tsdb.path={tmp_path / 'data'}",
                                 f"--web.listen-address=127.0.0.1:{web}"],
                                stdout=log, stderr=subprocess.STDOUT, env=env)
    child = None
    try:
        def ready():
            try:
                with urllib.request.urlopen(f"{base}/-/ready", timeout=10) as answer:
                    return answer.status == 200
            except (urllib.error.URLError, ConnectionError):
                return False
        wait_until(ready, "Prometheus to be ready", seconds=120, child=prom)
        child, _ = start_run(tmp_path, port, 0)
        # A scrape made while the run goes on, before the held tasks end.
        wait_until(lambda: query(base, "vigil_finished_total") == {(): QUICK},
                   "Prometheus to scrape the running run", child=child)
        (tmp_path / "release").touch()
        stats_file = tmp_path / "vigil-stats.json"
        wait_until(stats_file.exists, "the stats file", child=child)
        written = stats_file.stat().st_mtime
        # A scrape that began after the file was written: the run's last figures.
        wait_until(lambda: query(base, "timestamp(vigil_finished_total)").get((), 0) > written,
                   "a scrape after the run's end", child=child)
        stats = json.loads(stats_file.read_text())
        want = counted(stats)
        for name in {n for n, _ in want}:
            expr = name + ('{le="+Inf"}' if name.endswith("_bucket") else "")
            assert query(base, expr) == {labels: v for (n, labels), v in want.items()
                                         if n == name}, name
        # The server's percentiles from the buckets lie in the buckets that hold the run's own.
        for key, q in (("p50", 0.5), ("p90", 0.9), ("p99", 0.99)):
            own = stats["run_time"][key] / 1000
            at = bisect.bisect_left(BOUNDS_US, own * 1e6)
            low = BOUNDS_US[at - 1] / 1e6 if at else 0.0
            high = BOUNDS_US[at] / 1e6 if at < len(BOUNDS_US) else math.inf
            served = query(base, f"histogram_quantile({q}, vigil_run_time_seconds_bucket)")[()]
            assert low * (1 - 1 / 128) <= served <= high * (1 + 1 / 128), (key, served, own)
        end(child)
    finally:
        for proc in (child, prom):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
