"""The statistics dict of a run: checking one that was read from a file, and
merging the results of several processes or machines into one."""

from __future__ import annotations

import json
import sys
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Final

from .histogram import MAX_WHOLE, Histogram, show
from .shapes import COUNT_KEYS, LATENCY_GROUPS, ROW_COUNT_KEYS, SECOND_KEYS, CountKey

if TYPE_CHECKING:
    from .shapes import HistoryRow, Statistics

# Bounds of what a run can record: counts in 64 bits, epoch seconds up to the
# end of the year 9999 (the report prints them as dates), milliseconds of a
# run time in 64-bit microseconds. Anything beyond is a damaged file, and
# would overflow the arithmetic of merging, the table or the report.
LAST_EPOCH: Final = 253_402_300_799
MAX_MS: Final = MAX_WHOLE / 1000


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


def _row(row: object, n: int) -> HistoryRow:
    if not isinstance(row, Mapping):
        raise StatsError(f"history row {n} must be a JSON object")
    time = row.get("time")
    if isinstance(time, bool) or not isinstance(time, int) or not 0 <= time <= LAST_EPOCH:
        raise StatsError(f'history row {n} needs "time" as whole epoch seconds from 0 to '
                         f'{LAST_EPOCH}, got {show(time)}')
    finished, failed, started, queued, running = (
        _count(row.get(key), f'history row {n}: "{key}"') for key in ROW_COUNT_KEYS)
    times = row.get("run_time")
    if not isinstance(times, Mapping):
        raise StatsError(f'history row {n} needs "run_time" as a JSON object')
    p50, p95, p99, top = (
        _number_or_none(times.get(key), f'history row {n}: "run_time" "{key}"', MAX_MS)
        for key in SECOND_KEYS)
    return {"time": time, "finished": finished, "failed": failed, "started": started,
            "queued": queued, "running": running,
            "run_time": {"p50": p50, "p95": p95, "p99": p99, "max": top}}


def check_stats(data: object) -> Statistics:
    """Checks the parts of a statistics dict that merging and the report rely
    on and returns a normalised copy; raises StatsError saying what is wrong."""
    if not isinstance(data, Mapping):
        raise StatsError("statistics must be a JSON object")
    counts: dict[CountKey, int] = {}
    for key in COUNT_KEYS:
        if key not in data:
            raise StatsError(f'statistics lack "{key}"')
        counts[key] = _count(data[key], f'"{key}"')
    first_start, last_finish = (
        _number_or_none(data.get(key), f'"{key}" (epoch seconds)', LAST_EPOCH)
        for key in ("first_start", "last_finish"))
    history = data.get("history")
    if not isinstance(history, list):
        raise StatsError('statistics need "history" as a list of rows')
    rows = [_row(row, n) for n, row in enumerate(history, 1)]
    hists = data.get("histograms")
    if not isinstance(hists, Mapping):
        raise StatsError('statistics need "histograms" with "run_time" and "queue_wait"')
    parsed = []
    for group in LATENCY_GROUPS:
        if group not in hists:
            raise StatsError(f'statistics lack the "{group}" histogram')
        try:
            parsed.append(Histogram.from_json(hists[group]))
        except ValueError as err:
            raise StatsError(f'"{group}" histogram: {err}') from None
    run_time, queue_wait = parsed
    return assemble(counts, first_start, last_finish, rows, run_time, queue_wait)


def assemble(counts: Mapping[CountKey, int], first_start: float | None,
             last_finish: float | None, history: list[HistoryRow], run_time: Histogram,
             queue_wait: Histogram) -> Statistics:
    """The statistics of these counts, times, history rows and histograms,
    with everything that derives from them (the error rate, elapsed time,
    throughput and the summaries) computed from them, keys in the usual
    order."""
    finished, failed = counts["finished"], counts["failed"]
    elapsed = last_finish - first_start if first_start is not None and last_finish is not None else 0.0
    elapsed = max(elapsed, 0.0)
    return {
        "finished": finished, "succeeded": counts["succeeded"], "failed": failed,
        "stopped": counts["stopped"], "cancelled": counts["cancelled"],
        "queued": counts["queued"], "running": counts["running"],
        "error_rate": 100.0 * failed / finished if finished else 0.0,
        "first_start": first_start,
        "last_finish": last_finish,
        "elapsed": elapsed,
        "throughput": finished / elapsed if elapsed > 0 else 0.0,
        "run_time": run_time.summary(),
        "queue_wait": queue_wait.summary(),
        "history": history,
        "histograms": {"run_time": run_time.to_json(), "queue_wait": queue_wait.to_json()},
    }


def _merge_rows(rows: Iterable[HistoryRow]) -> list[HistoryRow]:
    by_time: dict[int, HistoryRow] = {}
    for row in rows:
        have = by_time.get(row["time"])
        if have is None:
            by_time[row["time"]] = {**row, "run_time": {**row["run_time"]}}
            continue
        for key in ROW_COUNT_KEYS:
            have[key] += row[key]
        # Percentiles of a second cannot be merged from percentiles; the
        # largest of them is an upper bound of the merged one.
        times = have["run_time"]
        for name in SECOND_KEYS:
            values = [v for v in (times[name], row["run_time"][name]) if v is not None]
            times[name] = max(values) if values else None
    return [by_time[t] for t in sorted(by_time)]


def merge(list_of_stats: Iterable[Mapping[str, object]]) -> Statistics:
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
    firsts = [s["first_start"] for s in checked if s["first_start"] is not None]
    lasts = [s["last_finish"] for s in checked if s["last_finish"] is not None]
    hists = []
    for group in LATENCY_GROUPS:
        h = Histogram()
        for s in checked:
            h.add(Histogram.from_json(s["histograms"][group]))
        hists.append(h)
    run_time, queue_wait = hists
    return assemble({key: sum(s[key] for s in checked) for key in COUNT_KEYS},
                    min(firsts) if firsts else None, max(lasts) if lasts else None,
                    _merge_rows(row for s in checked for row in s["history"]),
                    run_time, queue_wait)


def load(path: str) -> Statistics:
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
        return check_stats(data)
    except StatsError as err:
        raise StatsError(f"{path}: {err}") from None
