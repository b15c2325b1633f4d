"""The statistics dict of a run: checking one that was read from a file, and
merging the results of several processes or machines into one."""

from __future__ import annotations

import json
import sys
from collections.abc import Iterable, Mapping
from typing import Any, Final

from .histogram import MAX_WHOLE, Histogram, show

COUNT_KEYS: Final = ("finished", "succeeded", "failed", "stopped", "cancelled", "queued", "running")
ROW_COUNT_KEYS: Final = ("finished", "failed", "started", "queued", "running")
ROW_TIME_KEYS: Final = ("p50", "p95", "p99", "max")
HISTOGRAM_KEYS: Final = ("run_time", "queue_wait")
# Bounds of what a run can record: counts in 64 bits, epoch seconds up to the
# end of the year 9999 (the report prints them as dates), milliseconds of a
# run time in 64-bit microseconds. Anything beyond is a damaged file, and
# would overflow the arithmetic of merging, the table or the report.
LAST_EPOCH: Final = 253_402_300_799
MAX_MS: Final = MAX_WHOLE / 1000

Stats = dict[str, Any]


class StatsError(ValueError):
    """A statistics dict (usually read from a file) that cannot be used."""


def _count(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_WHOLE:
        raise StatsError(f"{what} must be a whole number from 0 to {MAX_WHOLE}, got {show(value)}")
    return value


def _number_or_none(value: object, what: str, high: float) -> float | None:
    if value is None:
        return None
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not 0 <= value <= high):  # NaN fails too
        raise StatsError(f"{what} must be a number from 0 to {high:g} or null, got {show(value)}")
    return float(value)


def _row(row: object, n: int) -> dict[str, Any]:
    if not isinstance(row, Mapping):
        raise StatsError(f"history row {n} must be a JSON object")
    time = row.get("time")
    if isinstance(time, bool) or not isinstance(time, int) or not 0 <= time <= LAST_EPOCH:
        raise StatsError(f'history row {n} needs "time" as whole epoch seconds from 0 to '
                         f'{LAST_EPOCH}, got {show(time)}')
    out: dict[str, Any] = {"time": time}
    for key in ROW_COUNT_KEYS:
        out[key] = _count(row.get(key), f'history row {n}: "{key}"')
    times = row.get("run_time")
    if not isinstance(times, Mapping):
        raise StatsError(f'history row {n} needs "run_time" as a JSON object')
    out["run_time"] = {
        key: _number_or_none(times.get(key), f'history row {n}: "run_time" "{key}"', MAX_MS)
        for key in ROW_TIME_KEYS
    }
    return out


def check_stats(data: object) -> Stats:
    """Checks the parts of a statistics dict that merging and the report rely
    on and returns a normalised copy; raises StatsError saying what is wrong."""
    if not isinstance(data, Mapping):
        raise StatsError("statistics must be a JSON object")
    out: Stats = {}
    for key in COUNT_KEYS:
        if key not in data:
            raise StatsError(f'statistics lack "{key}"')
        out[key] = _count(data[key], f'"{key}"')
    for key in ("first_start", "last_finish"):
        out[key] = _number_or_none(data.get(key), f'"{key}" (epoch seconds)', LAST_EPOCH)
    history = data.get("history")
    if not isinstance(history, list):
        raise StatsError('statistics need "history" as a list of rows')
    out["history"] = [_row(row, n) for n, row in enumerate(history, 1)]
    hists = data.get("histograms")
    if not isinstance(hists, Mapping):
        raise StatsError('statistics need "histograms" with "run_time" and "queue_wait"')
    out["histograms"] = {}
    for key in HISTOGRAM_KEYS:
        if key not in hists:
            raise StatsError(f'statistics lack the "{key}" histogram')
        try:
            out["histograms"][key] = Histogram.from_json(hists[key]).to_json()
        except ValueError as err:
            raise StatsError(f'"{key}" histogram: {err}') from None
    return finish(out)


def finish(stats: Stats) -> Stats:
    """Recomputes everything that derives from the counts, the two times and
    the histograms, and returns the dict with its keys in the usual order."""
    finished, failed = stats["finished"], stats["failed"]
    first, last = stats["first_start"], stats["last_finish"]
    elapsed = last - first if first is not None and last is not None else 0.0
    elapsed = max(elapsed, 0.0)
    hists = {key: Histogram.from_json(stats["histograms"][key]) for key in HISTOGRAM_KEYS}
    out: Stats = {key: stats[key] for key in COUNT_KEYS}
    out["error_rate"] = 100.0 * failed / finished if finished else 0.0
    out["first_start"] = first
    out["last_finish"] = last
    out["elapsed"] = elapsed
    out["throughput"] = finished / elapsed if elapsed > 0 else 0.0
    out["run_time"] = hists["run_time"].summary()
    out["queue_wait"] = hists["queue_wait"].summary()
    out["history"] = stats["history"]
    out["histograms"] = {key: hists[key].to_json() for key in HISTOGRAM_KEYS}
    return out


def _merge_rows(rows: Iterable[dict[str, Any]]) -> list[dict[str, Any]]:
    by_time: dict[int, dict[str, Any]] = {}
    for row in rows:
        have = by_time.get(row["time"])
        if have is None:
            by_time[row["time"]] = {
                **{k: row[k] for k in ("time", *ROW_COUNT_KEYS)},
                "run_time": dict(row["run_time"]),
            }
            continue
        for key in ROW_COUNT_KEYS:
            have[key] += row[key]
        # Percentiles of a second cannot be merged from percentiles; the
        # largest of them is an upper bound of the merged one.
        times = have["run_time"]
        for key in ROW_TIME_KEYS:
            values = [v for v in (times[key], row["run_time"][key]) if v is not None]
            times[key] = max(values) if values else None
    return [by_time[t] for t in sorted(by_time)]


def merge(list_of_stats: Iterable[Mapping[str, Any]]) -> Stats:
    """Combines the statistics of several runs (processes or machines):
    counts add, histograms merge exactly and histories add second by second;
    the rates and summaries are computed again from the merged figures."""
    checked = []
    for n, stats in enumerate(list_of_stats, 1):
        try:
            checked.append(check_stats(stats))
        except StatsError as err:
            raise StatsError(f"statistics {n}: {err}") from None
    if not checked:
        raise StatsError("nothing to merge: no statistics given")
    out: Stats = {key: sum(s[key] for s in checked) for key in COUNT_KEYS}
    firsts = [s["first_start"] for s in checked if s["first_start"] is not None]
    lasts = [s["last_finish"] for s in checked if s["last_finish"] is not None]
    out["first_start"] = min(firsts) if firsts else None
    out["last_finish"] = max(lasts) if lasts else None
    out["history"] = _merge_rows(row for s in checked for row in s["history"])
    out["histograms"] = {}
    for key in HISTOGRAM_KEYS:
        h = Histogram()
        for s in checked:
            h.add(Histogram.from_json(s["histograms"][key]))
        out["histograms"][key] = h.to_json()
    return finish(out)


def load(path: str) -> Stats:
    """Reads and checks a statistics file; errors name the file."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as err:
        raise StatsError(f"{path}: cannot read: {err.strerror or err}") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as err:
        raise StatsError(f"{path}: not a JSON file: {err}") from None
    except ValueError:  # what the decoder says of a number that long
        raise StatsError(f"{path}: not a statistics file: a number of more than "
                         f"{sys.get_int_max_str_digits()} digits") from None
    except RecursionError:
        raise StatsError(f"{path}: not a statistics file: JSON nested too deeply") from None
    if not isinstance(data, dict):
        raise StatsError(f"{path}: statistics must be a JSON object")
    try:
        check_stats(data)
    except StatsError as err:
        raise StatsError(f"{path}: {err}") from None
    return data
