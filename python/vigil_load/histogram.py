"""Log-linear latency histograms as the core records them: bounded memory,
exact counts, minimum, maximum and sum, and exact merging.

Values are whole microseconds. Values below 256 have a bucket each; above
that every power of two is split into 128 buckets of equal width, so a
bucket's middle is within 1/256 of any value in it. The bucket scheme and
the JSON form are the core's; this is the bucket arithmetic that merging,
leaving out a warm-up, the report's charts and the metrics need. A
histogram's figures (its mean and percentiles) are the core's summariser's.
"""

from __future__ import annotations

import reprlib
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Final

if TYPE_CHECKING:
    from .shapes import HistogramJson

PRECISION_BITS: Final = 8
SUB_BUCKETS: Final = 1 << (PRECISION_BITS - 1)  # 128 buckets per power of two
EXACT_LIMIT: Final = 1 << PRECISION_BITS  # values below this have a bucket each
MAX_TRACKABLE: Final = (1 << 43) - 1  # larger values share its bucket
BUCKET_COUNT: Final = EXACT_LIMIT + (43 - PRECISION_BITS) * SUB_BUCKETS  # 4736
MAX_WHOLE: Final = (1 << 63) - 1  # the core's counts and microseconds are 64-bit

_repr = reprlib.Repr(maxlong=40, maxstring=60)


def show(value: object) -> str:
    """A value read from a file, shortened for a one-line message."""
    return _repr.repr(value)


def bucket_index(value: int) -> int:
    """The bucket a value in microseconds is counted in."""
    if value < 0:
        raise ValueError(f"a histogram value must not be negative, got {value}")
    value = min(value, MAX_TRACKABLE)
    if value < EXACT_LIMIT:
        return value
    e = value.bit_length() - 1
    shift = e - (PRECISION_BITS - 1)
    return EXACT_LIMIT + (e - PRECISION_BITS) * SUB_BUCKETS + ((value >> shift) - SUB_BUCKETS)


def _check_index(index: int) -> None:
    if not 0 <= index < BUCKET_COUNT:
        raise ValueError(f"bucket index {index} is outside 0..{BUCKET_COUNT - 1}")


def _shift(index: int) -> int:
    # buckets of the power of two 2**e are 2**(e - 7) wide
    return PRECISION_BITS + (index - EXACT_LIMIT) // SUB_BUCKETS - (PRECISION_BITS - 1)


def bucket_bounds(index: int) -> tuple[int, int]:
    """The smallest and largest value (inclusive) counted in a bucket."""
    _check_index(index)
    if index < EXACT_LIMIT:
        return index, index
    shift = _shift(index)
    lo = (SUB_BUCKETS + (index - EXACT_LIMIT) % SUB_BUCKETS) << shift
    return lo, lo + (1 << shift) - 1


def bucket_value(index: int) -> int:
    """The value that stands for a bucket: the value itself below 256,
    otherwise the bucket's middle."""
    _check_index(index)
    if index < EXACT_LIMIT:
        return index
    return bucket_bounds(index)[0] + (1 << (_shift(index) - 1))


class Histogram:
    """Counts of microsecond values by bucket, with exact count, sum,
    minimum and maximum."""

    __slots__ = ("count", "counts", "max", "min", "total")

    def __init__(self) -> None:
        self.counts: dict[int, int] = {}
        self.count = 0
        self.total = 0
        self.min: int | None = None
        self.max: int | None = None

    @classmethod
    def from_values(cls, values: Iterable[int]) -> Histogram:
        h = cls()
        for v in values:
            h.record(v)
        return h

    def record(self, value: int, times: int = 1) -> None:
        """Counts `value` (whole microseconds) `times` times."""
        if times <= 0:
            return
        index = bucket_index(value)
        self.counts[index] = self.counts.get(index, 0) + times
        self.count += times
        self.total += value * times
        self.min = value if self.min is None else min(self.min, value)
        self.max = value if self.max is None else max(self.max, value)

    def add(self, other: Histogram) -> None:
        """Merges `other` into this histogram; nothing is lost."""
        for index, n in other.counts.items():
            self.counts[index] = self.counts.get(index, 0) + n
        self.count += other.count
        self.total += other.total
        if other.min is not None:
            self.min = other.min if self.min is None else min(self.min, other.min)
        if other.max is not None:
            self.max = other.max if self.max is None else max(self.max, other.max)

    def since(self, earlier: Histogram) -> Histogram:
        """What was recorded after `earlier`, a copy of this histogram taken
        before: counts and sums subtract bucket by bucket. The minimum and
        maximum are exact when they were recorded afterwards, and otherwise
        are the bounds of the lowest and highest bucket left (within 1/256)."""
        out = Histogram()
        for index, n in self.counts.items():
            left = n - earlier.counts.get(index, 0)
            if left < 0:
                raise ValueError("a histogram can only lose what it recorded before")
            if left:
                out.counts[index] = left
        out.count, out.total = self.count - earlier.count, self.total - earlier.total
        if out.count != sum(out.counts.values()) or out.total < 0:
            raise ValueError("a histogram can only lose what it recorded before")
        if out.count and self.min is not None and self.max is not None:
            low, high = min(out.counts), max(out.counts)
            new_min = earlier.min is None or self.min < earlier.min
            new_max = earlier.max is None or self.max > earlier.max
            out.min = self.min if new_min else max(self.min, bucket_bounds(low)[0])
            out.max = self.max if new_max else min(self.max, bucket_bounds(high)[1])
        return out

    def buckets(self) -> list[tuple[int, int]]:
        """(index, count) of every non-empty bucket, ascending."""
        return [(i, self.counts[i]) for i in sorted(self.counts) if self.counts[i]]

    def to_json(self) -> HistogramJson:
        return {
            "unit": "us",
            "precision_bits": PRECISION_BITS,
            "count": self.count,
            "sum": self.total,
            "min": self.min,
            "max": self.max,
            "buckets": [[i, n] for i, n in self.buckets()],
        }

    @classmethod
    def from_json(cls, data: object) -> Histogram:
        """Rebuilds a histogram from its JSON form, checking it on the way:
        a file from another tool or a damaged one must not merge silently."""
        if not isinstance(data, Mapping):
            raise ValueError("a histogram must be a JSON object")
        if data.get("unit") != "us" or data.get("precision_bits") != PRECISION_BITS:
            raise ValueError(
                f'a histogram must have "unit": "us" and "precision_bits": {PRECISION_BITS}'
            )
        h = cls()
        h.count = _whole(data.get("count"), "count")
        h.total = _whole(data.get("sum"), "sum")
        h.min = _whole_or_none(data.get("min"), "min")
        h.max = _whole_or_none(data.get("max"), "max")
        buckets = data.get("buckets")
        if not isinstance(buckets, list):
            raise ValueError('a histogram\'s "buckets" must be a list of [index, count]')
        counted = 0
        for pair in buckets:
            if not (isinstance(pair, list) and len(pair) == 2):
                raise ValueError('a histogram\'s "buckets" must be a list of [index, count]')
            index = _whole(pair[0], "bucket index")
            n = _whole(pair[1], "bucket count")
            _check_index(index)
            if n:
                h.counts[index] = h.counts.get(index, 0) + n
                counted += n
        if counted != h.count:
            raise ValueError(
                f"a histogram's bucket counts add up to {counted}, not its count {h.count}"
            )
        if (h.count == 0) != (h.min is None) or (h.count == 0) != (h.max is None):
            raise ValueError("a histogram has min and max exactly when its count is not 0")
        if h.min is not None and h.max is not None and h.min > h.max:
            raise ValueError(f"a histogram's min {h.min} is larger than its max {h.max}")
        return h

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Histogram):
            return NotImplemented
        return self.to_json() == other.to_json()

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        return f"Histogram(count={self.count}, min={self.min}, max={self.max})"


def _whole(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_WHOLE:
        raise ValueError(f"a histogram's {what} must be a whole number from 0 to {MAX_WHOLE}, "
                         f"got {show(value)}")
    return value


def _whole_or_none(value: object, what: str) -> int | None:
    return None if value is None else _whole(value, what)
