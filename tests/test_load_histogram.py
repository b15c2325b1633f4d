"""vigil_load's histogram: its bucket scheme, its JSON form and its
subtraction."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vigil_load.histogram import (
    BUCKET_COUNT,
    MAX_TRACKABLE,
    Histogram,
    bucket_bounds,
    bucket_index,
    bucket_value,
)

values_us = st.integers(min_value=0, max_value=10**11)


class TestBuckets:
    def test_every_bucket_holds_exactly_its_bounds(self):
        previous_hi = -1
        for i in range(BUCKET_COUNT):
            lo, hi = bucket_bounds(i)
            assert lo == previous_hi + 1, f"gap or overlap before bucket {i}"
            assert bucket_index(lo) == i and bucket_index(hi) == i
            assert lo <= bucket_value(i) <= hi
            previous_hi = hi
        assert previous_hi == MAX_TRACKABLE

    @pytest.mark.parametrize("value, index", [
        (0, 0), (255, 255), (256, 256), (257, 256), (258, 257), (511, 383),
        (512, 384), (515, 384), (516, 385),
    ])
    def test_index_at_the_edges_of_the_linear_range(self, value, index):
        assert bucket_index(value) == index

    def test_values_above_the_range_share_the_last_bucket(self):
        assert bucket_index(2**43) == BUCKET_COUNT - 1
        assert bucket_index(2**60) == BUCKET_COUNT - 1
        h = Histogram.from_values([2**50])
        assert h.min == h.max == 2**50 and h.total == 2**50

    @given(values_us)
    def test_representative_within_one_256th(self, v):
        rep = bucket_value(bucket_index(v))
        assert abs(rep - v) <= v / 256

    def test_negative_value_and_bad_index_are_refused(self):
        with pytest.raises(ValueError):
            bucket_index(-1)
        with pytest.raises(ValueError):
            bucket_bounds(BUCKET_COUNT)


class TestJsonForm:
    def test_round_trip_and_layout(self):
        h = Histogram.from_values([3, 3, 300, 70_000])
        data = h.to_json()
        assert list(data) == ["unit", "precision_bits", "count", "sum", "min", "max", "buckets"]
        assert data["buckets"] == [[3, 2], [bucket_index(300), 1], [bucket_index(70_000), 1]]
        assert data["count"] == 4 and data["sum"] == 70_306
        assert Histogram.from_json(data) == h
        assert Histogram.from_json(Histogram().to_json()) == Histogram()

    @pytest.mark.parametrize("damage, message", [
        (lambda d: d.update(precision_bits=7), "precision_bits"),
        (lambda d: d.update(unit="ms"), "unit"),
        (lambda d: d.update(count=5), "add up"),
        (lambda d: d["buckets"].append([BUCKET_COUNT, 1]), "outside"),
        (lambda d: d.update(buckets=[[1, -1]]), "bucket count"),
        (lambda d: d.update(min=None), "min and max"),
        (lambda d: d.update(sum=1.5), "sum"),
    ])
    def test_damaged_forms_are_refused(self, damage, message):
        data = Histogram.from_values([1, 2, 3]).to_json()
        damage(data)
        with pytest.raises(ValueError, match=message):
            Histogram.from_json(data)


class TestSince:
    @settings(max_examples=200, deadline=None)
    @given(st.lists(values_us, max_size=100), st.lists(values_us, max_size=100))
    def test_what_came_after_a_snapshot(self, before, after):
        later = Histogram.from_values(before + after).since(Histogram.from_values(before))
        alone = Histogram.from_values(after)
        assert (later.count, later.total, later.buckets()) == (alone.count, alone.total,
                                                               alone.buckets())
        # The extremes are exact, or within the bucket of the exact one.
        for got, exact in ((later.min, alone.min), (later.max, alone.max)):
            assert got is None if exact is None else bucket_index(got) == bucket_index(exact)
        if after and min(after) < min(before, default=MAX_TRACKABLE + 1):
            assert later.min == alone.min

    def test_a_histogram_that_is_not_an_earlier_copy_is_refused(self):
        with pytest.raises(ValueError, match="recorded before"):
            Histogram.from_values([5, 300]).since(Histogram.from_values([5, 5]))
