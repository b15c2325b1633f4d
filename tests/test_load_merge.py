"""Merging the statistics of several runs: exact for counts and histograms,
second by second for the histories."""

import copy
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vigil_load
from load_support import START, error, make_group, make_stats, row, summary
from vigil_load.histogram import Histogram
from vigil_load.stats import (
    StatsError,
    check_recorded,
    check_stats,
    load,
    process_row,
    since,
    summarise,
)
from vigil_load.table import render as render_table

run_values = st.lists(st.integers(min_value=0, max_value=5 * 10**8), max_size=120)


class TestExactness:
    @settings(max_examples=150, deadline=None)
    @given(run_values, run_values, st.lists(st.integers(0, 10**7), max_size=50))
    def test_merged_equals_what_the_runs_recorded(self, a, b, waits):
        first = make_stats(a, waits[: len(waits) // 2], failed=len(a) // 3, stopped=1)
        second = make_stats(b, waits[len(waits) // 2:], failed=len(b) // 4, cancelled=2)
        merged = vigil_load.merge([first, second])
        # What one process would have recorded had it run both:
        whole = make_stats(a + b, waits, failed=len(a) // 3 + len(b) // 4, stopped=1,
                           cancelled=2)
        assert merged["histograms"] == whole["histograms"]
        assert merged["run_time"] == whole["run_time"]
        assert merged["queue_wait"] == whole["queue_wait"]
        for key in ("finished", "succeeded", "failed", "stopped", "cancelled", "queued",
                    "running", "error_rate"):
            assert merged[key] == whole[key], key

    def test_bucket_for_bucket(self):
        a, b = [5, 300, 300, 70_000], [300, 4_000_000, 5]
        merged = vigil_load.merge([make_stats(a), make_stats(b)])
        buckets = dict(map(tuple, merged["histograms"]["run_time"]["buckets"]))
        expected = {}
        for v in a + b:
            i = Histogram.from_values([v]).buckets()[0][0]
            expected[i] = expected.get(i, 0) + 1
        assert buckets == expected
        h = merged["histograms"]["run_time"]
        assert (h["count"], h["sum"], h["min"], h["max"]) == (7, 4_070_910, 5, 4_000_000)

    def test_merge_of_many_is_the_merge_of_merges(self):
        parts = [make_stats([i * 1000 + j for j in range(i + 1)], failed=i % 2) for i in range(5)]
        assert vigil_load.merge(parts) == vigil_load.merge(
            [vigil_load.merge(parts[:2]), vigil_load.merge(parts[2:])])

    def test_inputs_are_left_unchanged(self):
        a = make_stats([1000, 2000], history=[row(0, [1000, 2000])])
        before = copy.deepcopy(a)
        vigil_load.merge([a, a])
        assert a == before


class TestTimes:
    def test_first_start_min_last_finish_max_and_rates_from_them(self):
        a = make_stats([1000] * 30, first_start=START + 10.0, last_finish=START + 20.0, failed=3,
                       cancelled=15)
        b = make_stats([1000] * 10, first_start=START + 5.0, last_finish=START + 15.0, stopped=5)
        m = vigil_load.merge([a, b])
        assert (m["first_start"], m["last_finish"], m["elapsed"]) == (START + 5.0,
                                                                      START + 20.0, 15.0)
        assert m["throughput"] == pytest.approx(40 / 15)
        # Two error rates, each said with what it divides by: finished runs,
        # and submitted tasks (the summary lines' figure).
        assert (m["error_rate"], m["submitted_error_rate"]) == (7.5, 5.0)
        table = render_table(m)
        assert "7.50 % of finished runs (failed / finished)" in table
        assert "5.00 % of submitted tasks (failed / submitted, the summary lines' Err %)" in table

    def test_a_run_that_never_started_adds_nothing_but_its_counts(self):
        idle = make_stats([], first_start=None, last_finish=None, cancelled=4)
        m = vigil_load.merge([idle, idle])
        assert (m["first_start"], m["last_finish"], m["elapsed"], m["throughput"]) == (
            None, None, 0.0, 0.0)
        assert m["error_rate"] == 0.0 and m["cancelled"] == 8
        assert set(m["run_time"].values()) == {None}
        busy = make_stats([1000], first_start=START + 1.0, last_finish=START + 3.0)
        assert vigil_load.merge([idle, busy])["elapsed"] == 2.0


class TestRunsOneAfterAnother:
    def test_elapsed_is_the_time_some_run_was_active(self):
        a = make_stats([1000] * 100, first_start=START, last_finish=START + 10.0)
        b = make_stats([1000] * 100, first_start=START + 3600.0, last_finish=START + 3610.0)
        c = make_stats([1000] * 50, first_start=START + 3605.0, last_finish=START + 3615.0)
        ab = vigil_load.merge([a, b])
        assert (ab["elapsed"], ab["throughput"]) == (20.0, 10.0)
        assert (ab["first_start"], ab["last_finish"]) == (START, START + 3610.0)
        # The gap stays out when a merged file is merged again; overlapping
        # runs count their common time once.
        again = vigil_load.merge([json.loads(json.dumps(ab)), c])
        assert again["active"] == [[START, START + 10.0], [START + 3600.0, START + 3615.0]]
        assert again["elapsed"] == 25.0 == vigil_load.merge([a, b, c])["elapsed"]


class TestFailuresAndGroups:
    def test_kinds_add_by_type_and_template(self):
        a = make_stats([1000] * 5, failed=5,
                       errors=[error("ValueError", 3, "x <n>", START + 11, START + 19, "x 1"),
                               error("break result", 2, "500", START + 12, START + 18)])
        b = make_stats([1000] * 9, failed=9,
                       errors=[error("ValueError", 5, "y", START + 6, START + 14),
                               error("ValueError", 4, "x <n>", START + 5.5, START + 9, "x 2")])
        merged = vigil_load.merge([a, b])["errors"]
        # the earliest first failure, the latest last, the example of the earliest
        assert merged == [error("ValueError", 7, "x <n>", START + 5.5, START + 19, "x 2"),
                          error("ValueError", 5, "y", START + 6, START + 14),
                          error("break result", 2, "500", START + 12, START + 18)]

    def test_at_most_a_hundred_kinds_and_the_rest_as_other(self):
        a = make_stats([], errors=[error(f"E{i}", 1000 + i, "bad", START + i) for i in range(100)]
                       + [error("other", 50, first=START + 200, example="Z: z")])
        b = make_stats([], errors=[error("E0", 5000, "bad")]
                       + [error(f"F{i}", 2000 + i) for i in range(60)])
        merged = vigil_load.merge([a, b])
        rows = merged["errors"]
        total = 50 + 5000 + sum(1000 + i for i in range(100)) + sum(2000 + i for i in range(60))
        assert len(rows) == 101 and sum(e["count"] for e in rows) == total
        assert {e["kind"] for e in rows[:100]} == {"E0", *(f"F{i}" for i in range(60)),
                                                   *(f"E{i}" for i in range(61, 100))}
        kept = [e["count"] for e in rows[:100]]
        assert kept[0] == 6000 and kept == sorted(kept, reverse=True)
        # It spans the failures of every kind it took in; its example is the
        # earliest one's, with its kind.
        assert rows[100] == error("other", 50 + sum(1000 + i for i in range(1, 61)),
                                  first=START + 1, last=START + 200, example="E1: bad")
        twice = vigil_load.merge([merged, merged])["errors"]
        assert len(twice) == 101 and sum(e["count"] for e in twice) == 2 * total

    def test_groups_merge_group_by_group_exactly(self):
        a = make_stats([], groups={
            "/a": make_group([1000, 2000], [5000, 9000], failed=1, errors=[error("ValueError", 1)]),
            "/b": make_group([5000])})
        b = make_stats([], last_finish=START + 2.25, groups={"/a": make_group([3000, 400_000], failed=1,
                                                    errors=[error("ValueError", 1)],
                                                    first_start=START + 0.5, last_finish=START + 2.25),
                                   "": make_group([7])})
        g = vigil_load.merge([a, b])["groups"]
        assert list(g) == ["/a", "", "/b"]  # most runs first, then by name
        one = g["/a"]
        assert (one["finished"], one["succeeded"], one["failed"], one["error_rate"]) == (4, 2, 2, 50.0)
        assert one["histograms"]["run_time"] == Histogram.from_values(
            [1000, 2000, 3000, 400_000]).to_json()
        assert one["latency"] == summary([5000, 9000, 3000, 400_000])
        assert one["errors"] == [error("ValueError", 2)]
        assert (one["first_start"], one["last_finish"], one["elapsed"]) == (
            START + 0.25, START + 2.25, 2.0)

    def test_at_most_a_thousand_groups_and_the_rest_as_other(self):
        a = make_stats([], groups={f"a{i:03}": make_group([1000, 1000]) for i in range(600)},
                       history=[row(0, by_group={"a000": 3})])
        b = make_stats([], groups={f"b{i:03}": make_group([2000]) for i in range(600)},
                       history=[row(0, by_group={"a000": 1, "b400": 2, "b500": 1})])
        merged = vigil_load.merge([a, b])
        g = merged["groups"]
        # the history's failures by group add, those of groups merged into
        # "other" there too
        assert merged["history"][0]["failed_by_group"] == {"a000": 4, "other": 3}
        assert len(g) == 1001 and list(g)[-1] == "other"
        assert sum(x["finished"] for x in g.values()) == 1800
        assert "b399" in g and "b400" not in g  # ties go by name
        assert g["other"]["finished"] == 200
        assert g["other"]["histograms"]["run_time"] == Histogram.from_values([2000] * 200).to_json()
        assert len(vigil_load.merge([{**a, "groups": g}, b])["groups"]) == 1001

    def test_statistics_without_the_newer_parts_read_as_empty(self):
        old = make_stats([1000], history=[row(0, [1000])])
        for key in ("latency", "late_starts", "errors", "groups"):
            del old[key]
        del old["histograms"]["latency"], old["history"][0]["latency"]
        del old["history"][0]["failed_by_group"]
        s = check_stats(old)
        assert set(s["latency"].values()) == {None} and s["histograms"]["latency"]["count"] == 0
        assert (s["late_starts"], s["errors"], s["groups"], s["settings"]) == (0, [], {}, [])
        assert set(s["history"][0]["latency"].values()) == {None}
        assert s["history"][0]["failed_by_group"] == {}
        # Failures by kind as they were written before templates: the exact
        # message, which is its own example, and the first and last task
        # where the times now are (not known: None).
        older = make_stats([], errors=[{"kind": "KeyError", "message": "'k'", "count": 2,  # type: ignore[typeddict-item]
                                        "first": "Thread_1", "last": "Thread_9"}])
        new = make_stats([2000], latency_us=[7000], late_starts=3,
                         errors=[error("KeyError", 1, "<str>", example="'j'")])
        both = vigil_load.merge([old, older, new])
        assert both["latency"]["max"] == 7.0 and both["late_starts"] == 3
        assert both["errors"] == [error("KeyError", 2, "'k'", None, None),
                                  error("KeyError", 1, "<str>", example="'j'")]


class TestWarmup:
    def test_what_finished_after_the_warm_up_exactly(self):
        cold, warm = [90_000, 120_000, 150_000], [4000, 5000, 5000, 6000]
        groups_then = {"/a": make_group(cold, failed=2, errors=[error("ValueError", 2, "cold")])}
        then = make_stats(cold, failed=2, errors=[error("ValueError", 2, "cold")],
                          groups=groups_then, late_starts=1, last_finish=START + 1.0,
                          history=[row(0, cold, failed=2)])
        now = make_stats(cold + warm, failed=3, errors=[error("ValueError", 2, "cold"),
                                                        error("TimeoutError", 1, "limit")],
                         groups={"/a": make_group(cold + warm[:2], failed=2,
                                                  errors=[error("ValueError", 2, "cold")]),
                                 "/b": make_group(warm[2:], failed=1,
                                                  errors=[error("TimeoutError", 1, "limit")])},
                         late_starts=1, last_finish=START + 5.0,
                         history=[row(0, cold, failed=2), row(3, warm, failed=1)])
        s = summarise(since(check_recorded(now), check_recorded(then), START + 1.5))
        alone = check_stats(make_stats(warm, failed=1, errors=[error("TimeoutError", 1, "limit")],
                                       first_start=START + 1.5, last_finish=START + 5.0))
        for key in ("finished", "failed", "succeeded", "late_starts", "first_start", "last_finish",
                    "elapsed", "throughput", "errors"):
            assert s[key] == alone[key], key
        for key in ("run_time", "queue_wait", "latency"):
            got, exact = s["histograms"][key], alone["histograms"][key]
            assert [got[k] for k in ("count", "sum", "buckets")] == [
                exact[k] for k in ("count", "sum", "buckets")]
            # a maximum recorded before the warm-up ended is known to its bucket
            assert s[key] == pytest.approx(alone[key], rel=1 / 128)
        assert s["history"] == check_stats(now)["history"]  # kept whole
        assert list(s["groups"]) == ["/a", "/b"]
        assert Histogram.from_json(s["groups"]["/a"]["histograms"]["run_time"]).buckets() == (
            Histogram.from_values(warm[:2]).buckets())
        assert (s["groups"]["/a"]["failed"], s["groups"]["/a"]["errors"]) == (0, [])
        assert s["groups"]["/b"]["errors"] == [error("TimeoutError", 1, "limit")]


class TestHistory:
    def test_rows_of_the_same_second_add_and_times_take_the_largest(self):
        a = make_stats([1000, 3000], history=[
            row(0, [1000], queued=5, running=2), row(1, [3000], failed=1, started=4)])
        b = make_stats([2000, 9000], history=[
            row(1, [2000, 9000], queued=7, running=1), row(3, [], started=0, queued=1)])
        h = vigil_load.merge([b, a])["history"]
        assert [r["time"] for r in h] == [START, START + 1, START + 3]
        second = h[1]
        assert (second["finished"], second["failed"], second["started"], second["queued"],
                second["running"]) == (3, 1, 6, 7, 1)
        # Upper bounds: the largest per-key value of the merged rows.
        assert second["run_time"]["p50"] == max(row(1, [3000])["run_time"]["p50"],
                                                row(1, [2000, 9000])["run_time"]["p50"])
        assert second["run_time"]["max"] == 9.0
        assert h[0]["run_time"]["max"] == 1.0 and h[0]["queued"] == 5
        assert h[2]["run_time"] == {"p50": None, "p95": None, "p99": None, "max": None}

    def test_none_only_when_every_row_has_none(self):
        a = make_stats([], history=[row(0, [])])
        b = make_stats([4000], history=[row(0, [4000])])
        assert vigil_load.merge([a, b])["history"][0]["run_time"]["p99"] == 4.0


class TestFiles:
    def test_survives_json_and_files_round_trip(self, tmp_path):
        m = vigil_load.merge([make_stats([1000, 2500_000], history=[row(0, [1000])])])
        assert json.loads(json.dumps(m)) == m
        path = tmp_path / "s.json"
        path.write_text(json.dumps(m))
        assert load(str(path)) == m
        # What is read is what was checked: figures that derive from the
        # others are computed again, and keys nobody reads are left out.
        path.write_text(json.dumps({**m, "error_rate": 99.0, "note": "hand-edited"}))
        assert load(str(path)) == m

    def test_process_rows_add_up_keep_their_run_and_read_back_checked(self, tmp_path):
        parts = [check_recorded(make_stats([1000] * 3, failed=1)),
                 check_recorded(make_stats([2000] * 2, cancelled=1))]
        run = {**vigil_load.merge(parts), "settings": [{"processes": 2}],
               "processes": [process_row(p, n, f"box pid {n}") for n, p in enumerate(parts, 1)]}
        both = vigil_load.merge([run, run])
        rows = both["processes"]
        assert [(r["run"], r["process"], r["where"]) for r in rows] == [
            (1, 1, "box pid 1"), (1, 2, "box pid 2"), (2, 1, "box pid 1"), (2, 2, "box pid 2")]
        for key in ("finished", "failed", "cancelled"):
            assert sum(r[key] for r in rows) == both[key] == 2 * run[key]
        assert (rows[0]["error_rate"], rows[1]["run_time"]["p50"]) == (100 / 3, 2.0)
        path = tmp_path / "s.json"
        edited = copy.deepcopy(both)
        edited["processes"][0]["throughput"] = 1e6
        path.write_text(json.dumps(edited))
        assert load(str(path)) == both

    @pytest.mark.parametrize("damage, message", [
        (lambda s: s.pop("finished"), '"finished"'),
        (lambda s: s.update(failed=-1), '"failed"'),
        (lambda s: s.update(history={}), "history"),
        (lambda s: s["history"].append({"time": "noon"}), "row 2"),
        (lambda s: s["histograms"].pop("queue_wait"), "queue_wait"),
        (lambda s: s["histograms"]["run_time"].update(count=99), "run_time"),
        (lambda s: s.update(first_start="yesterday"), "first_start"),
        (lambda s: s.update(processes=[{"finished": 1}]), '"processes" row 1: "process"'),
    ])
    def test_damaged_statistics_are_refused_with_their_place(self, damage, message):
        good = make_stats([1000], history=[row(0, [1000])])
        bad = copy.deepcopy(good)
        damage(bad)
        with pytest.raises(StatsError, match=message) as err:
            vigil_load.merge([good, bad])
        assert str(err.value).startswith("statistics 2:")

    def test_nothing_to_merge(self):
        with pytest.raises(StatsError, match="nothing to merge"):
            vigil_load.merge([])

    def test_unreadable_files_name_the_file(self, tmp_path):
        (tmp_path / "bad.json").write_text("{not json")
        (tmp_path / "list.json").write_text("[]")
        for name, message in (("bad.json", "not a JSON file"), ("list.json", "JSON object"),
                              ("missing.json", "cannot read")):
            with pytest.raises(StatsError, match=message) as err:
                load(str(tmp_path / name))
            assert name in str(err.value)
