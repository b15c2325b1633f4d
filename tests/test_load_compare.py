"""Comparing two runs: a slower target is judged worse, runs drawn from one
distribution within noise, thresholds gate the exit status, and the input
is refused as merge refuses it."""

import json
import random
import re

import pytest

from load_support import TARGET, make_group, make_stats, row
from vigil_load.compare import percentile_rows
from vigil_load.histogram import Histogram

SEED = 31


def draw(rng, *, scale=1.0, error=0.02, seconds=10):
    """Statistics of a paced run whose run times are log-normal (about 10
    ms, times `scale`), latencies a little longer, about 300 finished a
    second, `error` of them failed and 1 % late, split over two groups."""
    history, run_us, latency_us, failed = [], [], [], 0
    groups = {"/a": [], "/b": []}
    for t in range(seconds):
        times = [int(rng.lognormvariate(9.2, 0.5) * scale) for _ in range(rng.randint(270, 330))]
        waits = [v + int(rng.expovariate(1 / 2000)) for v in times]
        fails = sum(rng.random() < error for _ in times)
        history.append(row(t, times, failed=fails, latency_us=waits))
        run_us += times
        latency_us += waits
        failed += fails
        for v in times:
            groups[rng.choice(list(groups))].append(v)
    late = sum(rng.random() < 0.01 for _ in run_us)
    share = {name: len(values) / len(run_us) for name, values in groups.items()}
    return make_stats(run_us, failed=failed, history=history, latency_us=latency_us,
                      late_starts=late,
                      groups={name: make_group(values, failed=round(failed * share[name]))
                              for name, values in groups.items()})


def verdicts(rows):
    return {r["figure"]: r["verdict"] for r in rows}


def write(path, stats):
    path.write_text(json.dumps(stats))


def test_a_target_twice_as_slow_is_judged_worse_and_shown_in_its_report(tmp_path, vigil_main):
    (tmp_path / "loadtarget.py").write_text(TARGET)
    for name, ms in (("fast", 20), ("slow", 40)):
        (tmp_path / f"{name}.jsonl").write_text(
            f'{{"ms": {ms}, "result": "a"}}\n{{"ms": {ms}, "result": "b"}}\n')
    common = ["loadtarget:work", "--count", "160", "--workers", "4", "--group-by", "result"]
    p = vigil_main([*common, "--tasks", "fast.jsonl", "--stats", "base.json", "--report",
                    "base.html"], tmp_path)
    assert p.returncode == 0, p.stderr
    p = vigil_main([*common, "--tasks", "slow.jsonl", "--stats", "new.json", "--report",
                    "new.html", "--base", "base.json"], tmp_path)
    assert p.returncode == 0, p.stderr
    page = (tmp_path / "new.html").read_text()
    assert "Against BASE base.json" in page and "<td class=\"text\">worse</td>" in page

    p = vigil_main(["compare", "base.json", "new.json", "--stats", "c.json",
                    "--fail-on", "p50+50%", "--fail-on", "errors+1pt"], tmp_path)
    assert p.returncode == 1, p.stdout + p.stderr
    assert "fail-on p50+50%: EXCEEDED" in p.stdout
    assert "fail-on errors+1pt: not exceeded" in p.stdout
    out = json.loads((tmp_path / "c.json").read_text())
    overall = verdicts(out["overall"])
    assert {k: overall[k] for k in ("throughput", "p50", "p90")} == dict.fromkeys(
        ("throughput", "p50", "p90"), "worse")
    assert overall["errors"] == "within noise"
    assert {name: verdicts(rows)["p50"] for name, rows in out["groups"].items()} == {
        "a": "worse", "b": "worse"}
    assert out["fail_on"] == [{"threshold": "p50+50%", "exceeded": True},
                              {"threshold": "errors+1pt", "exceeded": False}]
    # the change is about +100 %: a threshold above it is not exceeded
    p = vigil_main(["compare", "base.json", "new.json", "--fail-on", "p50+150%"], tmp_path)
    assert p.returncode == 0, p.stdout + p.stderr


def test_runs_drawn_from_one_distribution_are_within_noise(tmp_path, vigil_main):
    rng = random.Random(SEED)
    write(tmp_path / "a.json", draw(rng))
    write(tmp_path / "b.json", draw(rng))
    p = vigil_main(["compare", "a.json", "b.json", "--stats", "c.json"], tmp_path)
    assert p.returncode == 0, p.stderr
    out = json.loads((tmp_path / "c.json").read_text())
    scopes = {"overall": out["overall"], **out["groups"]}
    assert set(scopes) == {"overall", "/a", "/b"}
    for name, rows in scopes.items():
        assert set(verdicts(rows).values()) == {"within noise"}, (name, rows)
    # Paced: the latency percentiles are compared and shown too.
    assert "latency p99 (ms)" in p.stdout and "latency.p99" in verdicts(out["overall"])


def test_a_shift_within_the_bucket_resolution_is_noise_however_many_runs():
    # 8.2-16.4 ms has buckets of 64 us; a billion runs make any shift significant.
    def shifted(us):
        h = Histogram()
        for v in range(9_000, 15_000, 50):
            h.record(v + us, 10**7)
        return make_stats([], histograms={k: h.to_json() for k in ("run_time", "queue_wait",
                                                                   "latency")})
    base = shifted(0)
    assert {r.verdict for r in percentile_rows("run_time", base, shifted(64), 0.001)} == {
        "within noise"}
    assert {r.verdict for r in percentile_rows("run_time", base, shifted(200), 0.001)} == {
        "worse"}


@pytest.fixture
def pair(tmp_path):
    """BASE and NEW of one distribution, NEW2 30 % slower with 5 % failed
    instead of 2 %, and CLEAN without failures."""
    rng = random.Random(SEED)
    for name, stats in (("base", draw(rng)), ("new", draw(rng)),
                        ("new2", draw(rng, scale=1.3, error=0.05)),
                        ("clean", draw(rng, error=0))):
        write(tmp_path / f"{name}.json", stats)
    return tmp_path


@pytest.mark.parametrize("base, new, thresholds, status", [
    ("base", "new2", ["p50+10%"], 1),
    ("base", "new2", ["p50+50%"], 0),
    ("base", "new2", ["p50-10%"], 0),  # it rose
    ("base", "new2", ["p50+2ms"], 1),
    ("base", "new2", ["errors+1pt"], 1),
    ("base", "new2", ["errors+5pt", "throughput-5%"], 0),
    ("base", "new2", ["throughput-5%,latency.p95+10%"], 1),
    ("clean", "base", ["errors+1000%"], 1),  # from none at all
    ("clean", "base", ["errors-10%"], 0),
    # changed by more than the amount, but within noise: not exceeded
    ("base", "new", ["p99.9+0.5%,p99.9-0.5%,late+0.01pt,late-0.01pt"], 0),
])
def test_fail_on_gates_the_exit_status(pair, base, new, thresholds, status, vigil_main):
    args = ["compare", f"{base}.json", f"{new}.json"]
    for t in thresholds:
        args += ["--fail-on", t]
    p = vigil_main(args, pair)
    assert p.returncode == status, p.stdout + p.stderr
    if new == "new":
        lines = [line for line in p.stdout.splitlines() if line.startswith("fail-on")]
        assert len(lines) == 4 and all("within noise" in line for line in lines), lines
        changes = [abs(float(re.search(r"([-+][\d.]+) (%|pt)", line)[1])) for line in lines]
        assert changes[0] > 0.5 and changes[2] > 0.01, lines


@pytest.mark.parametrize("args, fragment", [
    (["--fail-on", "p99+10"], "needs a unit of % or ms"),
    (["--fail-on", "p98+10%"], "unknown figure 'p98'"),
    (["--fail-on", "p99*10%"], "cannot read the threshold"),
    (["--fail-on", "errors+5ms"], "needs a unit of % or pt"),
    (["--fail-on", "throughput-5pt,p99+1%"], "needs a unit of % or /s"),
    (["--significance", "2"], "between 0 and 1"),
    (["--stats", "nodir/c.json"], "does not exist"),
])
def test_bad_arguments_are_refused_in_one_line(pair, args, fragment, vigil_main):
    p = vigil_main(["compare", "base.json", "new.json", *args], pair)
    assert p.returncode == 2 and p.stdout == ""
    assert len(p.stderr.splitlines()) == 1 and fragment in p.stderr, p.stderr
    if "--fail-on" in args and "unit" not in fragment:
        assert "throughput errors late p50 p90 p95 p99 p99.9 latency.p50" in p.stderr


def test_files_are_refused_as_merge_refuses_them(pair, vigil_main):
    (pair / "bad.json").write_text('{"finished": 1}')
    for files in (["base.json", "bad.json"], ["nope.json", "base.json"]):
        merged = vigil_main(["merge", *files], pair)
        compared = vigil_main(["compare", *files], pair)
        assert merged.returncode == compared.returncode == 2
        assert compared.stderr == merged.stderr and len(compared.stderr.splitlines()) == 1
    p = vigil_main(["merge", "base.json", "--base", "bad.json"], pair)
    assert p.returncode == 2 and '"succeeded"' in p.stderr
    assert not (pair / "vigil-stats.json").exists()
