"""The HTML report: resampling a long history, a self-contained page, and
the command still working without the plotting library."""

import json
import re
import subprocess
import sys

import pytest

import vigil_load
from load_support import START, child_env, error, make_group, make_stats, row
from vigil_load.histogram import Histogram
from vigil_load.report import (
    COLOURS,
    MAX_POINTS,
    distribution,
    group_failures,
    render,
    resample,
)
from vigil_load.stats import check_recorded, process_row


def day_of_rows(seconds=86_400):
    rows = []
    for t in range(seconds):
        rows.append({"time": START + t, "finished": 90 + t % 7, "failed": t % 3, "started": 95,
                     "queued": 500 + t % 11, "running": 15,
                     "run_time": {"p50": 30.0, "p95": 80.0 + t % 5, "p99": 120.0,
                                  "max": 200.0 + (t % 1000)},
                     "latency": {"p50": 40.0, "p95": 90.0, "p99": 130.0, "max": 210.0}})
    return rows


class TestResample:
    def test_a_day_is_brought_down_and_keeps_its_totals(self):
        rows = day_of_rows()
        s = resample(rows)
        assert s.step == 120 and len(s.x) == 720 <= MAX_POINTS
        assert sum(v * s.step for v in s.values["finished"]) == pytest.approx(
            sum(r["finished"] for r in rows))
        assert sum(v * s.step for v in s.values["failed"]) == pytest.approx(
            sum(r["failed"] for r in rows))
        # failures are counted per step, not averaged: one stays one
        assert sum(s.values["failures"]) == sum(r["failed"] for r in rows)
        assert max(s.values["max"]) == 200.0 + 999  # the largest per-second value survives
        assert set(s.values["p50"]) == {30.0}

    def test_short_runs_keep_every_second_and_gaps_count_as_nothing_finished(self):
        rows = [row(0, [1000, 2000], queued=4, running=2), row(3, [5000], queued=1)]
        s = resample(rows)
        assert s.step == 1 and s.x == [0.0, 1.0, 2.0, 3.0]
        assert s.values["finished"] == [2.0, 0.0, 0.0, 1.0]
        assert s.values["queued"] == [4.0, 0.0, 0.0, 1.0]
        assert s.values["max"][0] == 2.0 and s.values["max"][3] == 5.0
        assert all(v != v for v in s.values["max"][1:3])  # NaN: no run finished there

    def test_no_history(self):
        assert resample([]).x == []

    def test_runs_far_apart_cost_their_rows_and_the_gap_is_one_step(self):
        # A run at the first seconds of the epoch merged with one of today:
        # each second of both is drawn, and the 54 years between are one gap.
        def run(first):
            history = [row(t, [1000 * (1 + t % 3)], failed=1, by_group={"/a": 1})
                       for t in range(30)]
            for r in history:
                r["time"] += first - START
            return make_stats([1000] * 30, history=history, first_start=first + 0.25,
                              last_finish=first + 30.0)

        merged = vigil_load.merge([run(0), run(START)])
        s = resample(merged["history"])
        assert (s.step, len(s.x)) == (1, 30 + 1 + 30)
        assert s.gaps == [(30.0, START - 30)] and [p[1] for p in s.pieces] == [0, START]
        assert sum(v for v in s.values["finished"] if v == v) == 60
        assert s.values["finished"][30] != s.values["finished"][30]  # the gap has no value
        by_group = group_failures(merged["history"], s)["/a"]
        assert (sum(by_group), by_group[30], by_group[31]) == (60, 0, 1)
        ticks = re.findall(r'id="throughput-xtick_\d+"', render(merged))
        assert 0 < len(ticks) <= 20
        # Quiet seconds within a run's active span are drawn to scale.
        rows = [row(0, [1000]), row(200, [1000])]
        s = resample(rows, active=[[START, START + 201.0]])
        assert (s.step, len(s.x), s.gaps) == (1, 201, [])


def test_what_went_wrong_where_when_and_how_the_run_was_made():
    failing = {3: {"/items": 4}, 4: {"/items": 5}, 15: {"/search": 3}}
    history = [row(t, [1000 * (1 + t)] * 50, failed=sum(failing.get(t, {}).values()),
                   latency_us=[90_000] * 50, by_group=failing.get(t)) for t in range(20)]
    stats = make_stats([1000] * 1000, failed=12, history=history, first_start=START + 0.1,
                       last_finish=START + 20.0, latency_us=[90_000] * 1000,
                       errors=[error("urllib.error.HTTPError", 9, "HTTP Error <n>: <str>",
                                     START + 3.5, START + 4.9, "HTTP Error 503: '<Unavailable>'"),
                               error("break result", 3, "500", START + 15.2)],
                       groups={"/items": make_group([1000] * 700, failed=9),
                               "/search": make_group([1000] * 300, failed=3)})
    stats["settings"] = [{"command": "vigil-load t:f --rate 50 --warmup 5 --group-by endpoint",
                          "rate": 50.0, "warmup": 5.0, "started": START + 0.1,
                          "warmup_end": START + 5.1, "host": "loadbox", "tasks_file": "t.jsonl",
                          "tasks": 2, "group_by": "endpoint", "processes": 2}]
    stats["processes"] = [process_row(check_recorded(make_stats([1000] * n, failed=f)), k,
                                      f"loadbox pid {k}")
                          for k, (n, f) in enumerate(((600, 8), (400, 4)), 1)]
    page = render(stats)
    # Failures by kind: the template, an example, first and last as clock times.
    assert ("<td class=\"text\">urllib.error.HTTPError</td><td class=\"text\">HTTP Error "
            "&lt;n&gt;: &lt;str&gt;</td><td class=\"text\">HTTP Error 503: &#39;&lt;Unavailable"
            "&gt;&#39;</td><td>22:13:23</td><td>22:13:24</td>") in page
    assert "<td>9</td><td>75.0 %</td>" in page
    assert page.index("/items") < page.index("/search")  # a row per group, most runs first
    assert "vigil-load t:f --rate 50 --warmup 5 --group-by endpoint" in page
    assert "on loadbox" in page and "2 (from t.jsonl)" in page
    # A row per process, and the whole run's under them.
    assert "<h2>By process (2)</h2>" in page
    for cells in (("1", "600", "8", "0", "0", "1.33"), ("2", "400", "4", "0", "0", "1.00"),
                  ("all", "1,000", "12", "0", "0", "1.20")):
        tds = "".join(f"<td>{c}</td>" for c in cells[1:])
        assert f'<td class="text">{cells[0]}</td>{tds}' in page, cells
    assert "loadbox pid 2" in page and "<th>processes</th><td>2</td>" in page
    # The time charts: clock time and offset, the warm-up marked, starts
    # beside finishes (a paced run), failures on their own axis, latency.
    assert "22:13:20" in page and "+5 s" in page
    # a band in each of the seven panels, and in the legend of each chart
    assert page.count(f"fill: {COLOURS['warm-up']}") == 7 + 4
    for text in ("started", "failed runs per second", "latency (ms)", "run time (ms)",
                 "Failures per second by group"):
        assert text in page, text


def test_failures_by_group_are_drawn_for_the_groups_that_failed_most():
    rows = [row(0, by_group={f"/g{i}": i + 1 for i in range(10)}),
            row(2, by_group={"/g0": 5, "other": 1})]
    series = resample(rows)
    lines = group_failures(rows, series, most=3)
    # the three that failed most, then the rest (a group named "other" too)
    assert lines == {"/g9": [10.0, 0.0, 0.0], "/g8": [9.0, 0.0, 0.0], "/g7": [8.0, 0.0, 0.0],
                     "other": [sum(range(1, 8)), 0.0, 6.0]}
    few = group_failures(rows[1:], resample(rows[1:]), most=3)
    assert few == {"/g0": [5.0], "other": [1.0]}
    assert group_failures([row(0)], resample([row(0)])) == {}


def test_distribution_counts_every_run_once():
    h = Histogram.from_values([1000] * 5 + [2000, 50_000, 900_000])
    edges, counts = distribution(h)
    assert sum(counts) == h.count
    assert edges[0] == 1.0 and edges[-1] >= 900.0
    assert counts[0] == 5 and counts[-1] == 1
    assert distribution(Histogram()) == ([], [])


@pytest.fixture(scope="module")
def day_html():
    rt = [1000 * (1 + i % 300) for i in range(5000)]
    stats = make_stats(rt, [i * 10 for i in range(5000)], failed=40,
                       history=day_of_rows(), first_start=START + 0.5,
                       last_finish=START + 86_400.0)
    return render(stats, title="a <day> & a night")


class TestPage:
    def test_self_contained_and_small_for_a_day(self, day_html):
        # Only XML namespace names may look like addresses; nothing is fetched.
        assert not re.search(r"<script|<link|<img|<iframe|@import|url\((?!#)", day_html)
        assert not re.search(r"(src|href)\s*=\s*[\"']?(https?:|//)", day_html)
        assert len(day_html.encode()) < 1_000_000
        assert day_html.count("<svg") == 4

    def test_charts_do_not_share_element_ids(self, day_html):
        ids = re.findall(r'\bid="([^"]+)"', day_html)
        assert ids and len(ids) == len(set(ids))

    def test_title_and_summary_escaped_and_present(self, day_html):
        assert "a &lt;day&gt; &amp; a night" in day_html
        assert "<th>finished runs</th><td>5,000</td>" in day_html
        assert "2023-11-14 22:13:20 UTC" in day_html  # the first start

    def test_empty_run_still_renders(self, tmp_path):
        path = tmp_path / "r.html"
        vigil_load.write_report(make_stats([], first_start=None, last_finish=None), str(path))
        text = path.read_text()
        assert "no history recorded" in text and "no run finished" in text
        assert [p.name for p in tmp_path.iterdir()] == ["r.html"]  # no temporary left


def test_import_needs_no_plotting_library():
    code = ("import sys, vigil_load, vigil_load.cli, vigil_load.run, threads_main; "
            "assert not {'matplotlib', 'jinja2'} & set(sys.modules), 'imported'")
    subprocess.run([sys.executable, "-c", code], env=child_env(), check=True, timeout=60)


def test_drawn_only_when_asked_for_and_without_the_plotting_library_the_way_to_it_said(
        tmp_path, vigil_main, monkeypatch):
    import vigil_load.cli

    (tmp_path / "a.json").write_text(json.dumps(make_stats([1000, 2000])))
    # The table, the stats file and the checks draw nothing.
    with monkeypatch.context() as patched:
        patched.setattr(vigil_load.cli, "page", lambda *a, **k: pytest.fail("drawn"))
        p = vigil_main(["merge", "a.json", "--check", "p50<100"], tmp_path)
    assert p.returncode == 0, p.stderr
    assert "no report drawn (--report PATH writes one)" in p.stdout
    assert sorted(f.name for f in tmp_path.iterdir()) == ["a.json", "vigil-stats.json"]
    monkeypatch.setitem(sys.modules, "jinja2", None)  # its import now fails
    with pytest.raises(vigil_load.ReportUnavailable, match=r"^the report needs jinja2: pip"):
        vigil_load.write_report({}, "x.html")
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    p = vigil_main(["merge", "a.json", "--check", "p50<100", "--report", "r.html"], tmp_path)
    assert p.returncode == 0, p.stderr
    hint = [line for line in p.stdout.splitlines() if "report" in line]
    assert hint == ["no report: the report needs matplotlib: pip install 'threads-main[report]'"]
    assert (tmp_path / "vigil-stats.json").exists()
    assert not (tmp_path / "r.html").exists()
    with pytest.raises(vigil_load.ReportUnavailable, match=r"^the report needs matplotlib"):
        vigil_load.write_report({}, "x.html")
    assert not (tmp_path / "x.html").exists()
