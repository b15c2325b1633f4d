"""Merging the statistics of several runs: exact for counts and histograms,
second by second for the histories."""

import copy
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vigil_load
from load_support import START, make_stats, row
from vigil_load.histogram import Histogram
from vigil_load.stats import StatsError, load

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
        a = make_stats([1000] * 30, first_start=START + 10.0, last_finish=START + 20.0, failed=3)
        b = make_stats([1000] * 10, first_start=START + 5.0, last_finish=START + 15.0)
        m = vigil_load.merge([a, b])
        assert (m["first_start"], m["last_finish"], m["elapsed"]) == (START + 5.0,
                                                                      START + 20.0, 15.0)
        assert m["throughput"] == pytest.approx(40 / 15)
        assert m["error_rate"] == pytest.approx(7.5)

    def test_a_run_that_never_started_adds_nothing_but_its_counts(self):
        idle = make_stats([], first_start=None, last_finish=None, cancelled=4)
        m = vigil_load.merge([idle, idle])
        assert (m["first_start"], m["last_finish"], m["elapsed"], m["throughput"]) == (
            None, None, 0.0, 0.0)
        assert m["error_rate"] == 0.0 and m["cancelled"] == 8
        assert set(m["run_time"].values()) == {None}
        busy = make_stats([1000], first_start=START + 1.0, last_finish=START + 3.0)
        assert vigil_load.merge([idle, busy])["elapsed"] == 2.0


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

    @pytest.mark.parametrize("damage, message", [
        (lambda s: s.pop("finished"), '"finished"'),
        (lambda s: s.update(failed=-1), '"failed"'),
        (lambda s: s.update(history={}), "history"),
        (lambda s: s["history"].append({"time": "noon"}), "row 2"),
        (lambda s: s["histograms"].pop("queue_wait"), "queue_wait"),
        (lambda s: s["histograms"]["run_time"].update(count=99), "run_time"),
        (lambda s: s.update(first_start="yesterday"), "first_start"),
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
