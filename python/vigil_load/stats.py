"""What a run recorded (its counts, times, histograms, history rows, the
failures and groups tables, a row per worker process, its settings and
active spans): checked when read from a file or taken from the core, merged
over several processes or machines, and with a warm-up left out. What
derives from it (error rates, elapsed times, throughputs, the summaries,
the notes) is the core's to compute: `summarise` turns recorded figures
into the statistics."""

from __future__ import annotations

import json
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Final, cast

from .histogram import MAX_WHOLE, Histogram, show
from .shapes import (
    COUNT_KEYS,
    GROUP_COUNT_KEYS,
    GROUP_LATENCIES,
    LATENCY_GROUPS,
    PROCESS_COUNT_KEYS,
    ROW_COUNT_KEYS,
    SECOND_KEYS,
    CountKey,
    LatencyGroup,
)

if TYPE_CHECKING:
    from .shapes import (
        ErrorKind,
        Histograms,
        HistoryRow,
        Recorded,
        RecordedGroup,
        RecordedProcess,
        SecondRunTime,
        Setting,
        Settings,
        Statistics,
    )

# Bounds of what a run can record: counts in 64 bits, epoch seconds up to the
# end of the year 9999 (the report prints them as dates), milliseconds of a
# run time in 64-bit microseconds. Anything beyond is a damaged file, and
# would overflow the arithmetic of merging, the table or the report.
LAST_EPOCH: Final = 253_402_300_799
MAX_MS: Final = MAX_WHOLE / 1000
# The core keeps this many kinds of failure and groups, and counts the rest
# under OTHER; a merge keeps the same bounds, so a merged file stays as small.
ERROR_KINDS: Final = 100
GROUPS: Final = 1000
OTHER: Final = "other"


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


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise StatsError(f"{what} must be a string, got {show(value)}")
    return value


def _second(times: object, what: str) -> SecondRunTime:
    if not isinstance(times, Mapping):
        raise StatsError(f"{what} must be a JSON object")
    p50, p95, p99, top = (_number_or_none(times.get(key), f'{what} "{key}"', MAX_MS)
                          for key in SECOND_KEYS)
    return {"p50": p50, "p95": p95, "p99": p99, "max": top}


_NO_SECOND: Final = {"p50": None, "p95": None, "p99": None, "max": None}


def _failed_by_group(value: object, what: str) -> dict[str, int]:
    if not isinstance(value, Mapping):
        raise StatsError(f"{what} must be a JSON object of counts by group")
    return {_text(k, f"{what}: a group's name"): _count(v, f"{what} {show(k)}")
            for k, v in value.items()}


def _row(row: object, n: int) -> HistoryRow:
    if not isinstance(row, Mapping):
        raise StatsError(f"history row {n} must be a JSON object")
    time = row.get("time")
    if isinstance(time, bool) or not isinstance(time, int) or not 0 <= time <= LAST_EPOCH:
        raise StatsError(f'history row {n} needs "time" as whole epoch seconds from 0 to '
                         f'{LAST_EPOCH}, got {show(time)}')
    finished, failed, started, queued, running = (
        _count(row.get(key), f'history row {n}: "{key}"') for key in ROW_COUNT_KEYS)
    if not isinstance(row.get("run_time"), Mapping):
        raise StatsError(f'history row {n} needs "run_time" as a JSON object')
    # (rows of a core that did not record them)
    latency = row.get("latency", _NO_SECOND)
    by_group = row.get("failed_by_group", {})
    return {"time": time, "finished": finished, "failed": failed, "started": started,
            "queued": queued, "running": running,
            "run_time": _second(row["run_time"], f'history row {n}: "run_time"'),
            "latency": _second(latency, f'history row {n}: "latency"'),
            "failed_by_group": _failed_by_group(by_group, f'history row {n}: "failed_by_group"')}


def _histogram(hists: Mapping[str, object], name: str, where: str) -> Histogram:
    if name not in hists:
        if name == "latency":  # statistics of a core that did not record it
            return Histogram()
        raise StatsError(f'{where}lack the "{name}" histogram')
    try:
        return Histogram.from_json(hists[name])
    except ValueError as err:
        raise StatsError(f'{where}"{name}" histogram: {err}') from None


def _when(value: object, what: str) -> float | None:
    # An older format named the task there: its time is not known.
    return None if isinstance(value, str) else _number_or_none(value, what, LAST_EPOCH)


def _errors(value: object, where: str) -> list[ErrorKind]:
    if not isinstance(value, list):
        raise StatsError(f'{where}"errors" must be a list')
    out: list[ErrorKind] = []
    for n, e in enumerate(value, 1):
        what = f'{where}"errors" row {n}'
        if not isinstance(e, Mapping):
            raise StatsError(f"{what} must be a JSON object")
        kind, message = (_text(e.get(k), f'{what}: "{k}"') for k in ("kind", "message"))
        # An older format kept the exact message, which is its own example.
        example = _text(e.get("example", message), f'{what}: "example"')
        first, last = (_when(e.get(k), f'{what}: "{k}" (epoch seconds)') for k in ("first", "last"))
        out.append({"kind": kind, "message": message, "example": example,
                    "count": _count(e.get("count"), f'{what}: "count"'),
                    "first": first, "last": last})
    return merge_errors([out])  # in order and within bounds, as a merge leaves them


def _spans(value: object) -> list[list[float]]:
    if not isinstance(value, list):
        raise StatsError('"active" must be a list of [start, end] epoch seconds')
    spans = []
    for n, pair in enumerate(value, 1):
        if not (isinstance(pair, list) and len(pair) == 2):
            raise StatsError(f'"active" span {n} must be [start, end] in epoch seconds')
        start, end = (_number_or_none(v, f'"active" span {n}', LAST_EPOCH) for v in pair)
        if start is None or end is None or end < start:
            raise StatsError(f'"active" span {n} must be [start, end] with start <= end')
        spans.append([start, end])
    return union(spans)


def _setting(value: object, what: str) -> Setting:
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float) and value == value and abs(value) != float("inf"):
        return value
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return list(value)
    raise StatsError(f"{what} must be a string, a number, true, false, null or a list of "
                     f"strings, got {show(value)}")


def _settings(value: object) -> list[Settings]:
    if not isinstance(value, list):
        raise StatsError('"settings" must be a list of JSON objects')
    out = []
    for n, entry in enumerate(value, 1):
        if not isinstance(entry, Mapping):
            raise StatsError(f'"settings" entry {n} must be a JSON object')
        out.append({str(k): _setting(v, f'"settings" entry {n}: "{k}"') for k, v in entry.items()})
    return out


def _group(data: object, name: str) -> RecordedGroup:
    where = f"group {show(name)}: "
    if not isinstance(data, Mapping):
        raise StatsError(f"{where}must be a JSON object")
    finished, succeeded, failed = (_count(data.get(key), f'{where}"{key}"')
                                   for key in GROUP_COUNT_KEYS)
    first_start, last_finish = (
        _number_or_none(data.get(key), f'{where}"{key}" (epoch seconds)', LAST_EPOCH)
        for key in ("first_start", "last_finish"))
    hists = data.get("histograms")
    if not isinstance(hists, Mapping):
        raise StatsError(f'{where}needs "histograms" with "run_time" and "latency"')
    run_time, latency = (_histogram(hists, key, where).to_json() for key in GROUP_LATENCIES)
    return {"finished": finished, "succeeded": succeeded, "failed": failed,
            "first_start": first_start, "last_finish": last_finish,
            "active": span_of(first_start, last_finish),
            "errors": _errors(data.get("errors", []), where),
            "histograms": {"run_time": run_time, "latency": latency}}


def _process(data: object, n: int) -> RecordedProcess:
    where = f'"processes" row {n}: '
    if not isinstance(data, Mapping):
        raise StatsError(f"{where}must be a JSON object")
    run = _count(data.get("run", 1), f'{where}"run"')
    number = _count(data.get("process"), f'{where}"process"')
    finished, succeeded, failed, stopped, cancelled = (
        _count(data.get(key), f'{where}"{key}"') for key in PROCESS_COUNT_KEYS)
    first_start, last_finish = (
        _number_or_none(data.get(key), f'{where}"{key}" (epoch seconds)', LAST_EPOCH)
        for key in ("first_start", "last_finish"))
    hists = data.get("histograms")
    if not isinstance(hists, Mapping):
        raise StatsError(f'{where}needs "histograms" with "run_time", "queue_wait" and "latency"')
    run_time, queue_wait, latency = (_histogram(hists, key, where).to_json()
                                     for key in LATENCY_GROUPS)
    return {"run": run, "process": number, "where": _text(data.get("where", ""), f'{where}"where"'),
            "finished": finished, "succeeded": succeeded, "failed": failed, "stopped": stopped,
            "cancelled": cancelled, "first_start": first_start, "last_finish": last_finish,
            "histograms": {"run_time": run_time, "queue_wait": queue_wait, "latency": latency}}


def check_recorded(data: object) -> Recorded:
    """Checks the parts of a statistics dict (or of recorded figures) that
    merging and the report rely on and returns what it recorded, normalised;
    raises StatsError saying what is wrong. Parts a core or a vigil_load
    older than this one did not write (latency, late starts, errors, groups,
    settings) read as empty; a run without active spans was active from its
    first start to its last finish, and each group within the run's spans
    from its own first start to its last finish."""
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
    histograms = {key: _histogram(hists, key, "statistics ") for key in LATENCY_GROUPS}
    groups = data.get("groups", {})
    if not isinstance(groups, Mapping):
        raise StatsError('"groups" must be a JSON object')
    checked = {_text(k, "a group's name"): _group(g, k) for k, g in groups.items()}
    active = (_spans(data["active"]) if "active" in data
              else span_of(first_start, last_finish))
    kept = merge_groups([(checked, active)])
    processes = data.get("processes", [])
    if not isinstance(processes, list):
        raise StatsError('"processes" must be a list of rows')
    return _recorded(counts, first_start, last_finish, _groups_kept(rows, [checked], kept),
                     histograms,
                     late_starts=_count(data.get("late_starts", 0), '"late_starts"'),
                     errors=_errors(data.get("errors", []), ""),
                     groups=kept,
                     settings=_settings(data.get("settings", [])), active=active,
                     processes=[_process(p, n) for n, p in enumerate(processes, 1)])


def check_stats(data: object) -> Statistics:
    """The statistics of a statistics dict (usually read from a file),
    checked (see check_recorded) and derived again from what it recorded: a
    figure edited by hand changes nothing."""
    return summarise(check_recorded(data))


def summarise(recorded: Recorded) -> Statistics:
    """The statistics of what was recorded, derived by the core."""
    import threads_main

    # (a steered run's stages or a search's steps are added after)
    return cast("Statistics", threads_main._summarise(recorded))


def span_of(start: float | None, end: float | None) -> list[list[float]]:
    return [[start, end]] if start is not None and end is not None and end >= start else []


def union(spans: Iterable[Sequence[float]]) -> list[list[float]]:
    """Spans of time [start, end] joined where they meet or overlap, sorted."""
    out: list[list[float]] = []
    for start, end in sorted((s, e) for s, e in spans):
        if out and start <= out[-1][1]:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([start, end])
    return out


def _within(start: float | None, end: float | None, active: list[list[float]]) -> list[list[float]]:
    """The parts of [start, end] inside the spans `active`."""
    if start is None or end is None:
        return []
    return [[max(start, s), min(end, e)] for s, e in active if s <= end and e >= start]


def process_row(recorded: Recorded, number: int, where: str) -> RecordedProcess:
    """The row of the worker process `number` whose figures are `recorded`,
    as the first run of a merge."""
    return {"run": 1, "process": number, "where": where,
            **{key: recorded[key] for key in PROCESS_COUNT_KEYS},  # type: ignore[typeddict-item]
            "first_start": recorded["first_start"], "last_finish": recorded["last_finish"],
            "histograms": recorded["histograms"]}


def _recorded(counts: Mapping[CountKey, int], first_start: float | None,
              last_finish: float | None, history: list[HistoryRow],
              histograms: Mapping[LatencyGroup, Histogram], *, late_starts: int,
              errors: list[ErrorKind], groups: dict[str, RecordedGroup],
              settings: list[Settings], active: list[list[float]],
              processes: list[RecordedProcess]) -> Recorded:
    return {**counts,  # type: ignore[typeddict-item]
            "first_start": first_start, "last_finish": last_finish, "late_starts": late_starts,
            "errors": errors, "groups": groups, "processes": processes, "settings": settings,
            "active": active, "history": history,
            "histograms": _json(histograms)}


def _json(hists: Mapping[LatencyGroup, Histogram]) -> Histograms:
    return {"run_time": hists["run_time"].to_json(), "queue_wait": hists["queue_wait"].to_json(),
            "latency": hists["latency"].to_json()}


# -- merging --------------------------------------------------------------------

def _is_other(e: ErrorKind) -> bool:
    return e["kind"] == OTHER and e["message"] == ""


def _earliest(times: Iterable[float | None]) -> float | None:
    return min((t for t in times if t is not None), default=None)


def _latest(times: Iterable[float | None]) -> float | None:
    return max((t for t in times if t is not None), default=None)


def _first_seen(rows: Sequence[ErrorKind]) -> ErrorKind:
    # The row whose first failure came first; one of unknown time last.
    return min(rows, key=lambda e: (e["first"] is None, e["first"] or 0.0))


def merge_errors(parts: Iterable[Sequence[ErrorKind]], limit: int = ERROR_KINDS) -> list[ErrorKind]:
    """The failures of several runs by kind: the counts of a kind (type and
    message template) add, its first failure is the earliest, its last the
    latest, and its example that of the row that failed first. The `limit`
    most frequent kinds are kept, the rest are counted in one OTHER row,
    whose example names its kind."""
    rows: dict[tuple[str, str], list[ErrorKind]] = {}
    for errors in parts:
        for e in errors:
            rows.setdefault((e["kind"], e["message"]), []).append(e)
    merged: list[ErrorKind] = []
    for same in rows.values():
        merged.append({**_first_seen(same), "count": sum(e["count"] for e in same),
                       "first": _earliest(e["first"] for e in same),
                       "last": _latest(e["last"] for e in same)})
    ranked = sorted((e for e in merged if not _is_other(e)),
                    key=lambda e: (-e["count"], e["kind"], e["message"]))
    rest = ranked[limit:] + [e for e in merged if _is_other(e)]
    out = ranked[:limit]
    if rest:
        first = _first_seen(rest)
        example = first["example"] if _is_other(first) else f"{first['kind']}: {first['example']}"
        out.append({"kind": OTHER, "message": "", "example": example,
                    "count": sum(e["count"] for e in rest),
                    "first": _earliest(e["first"] for e in rest),
                    "last": _latest(e["last"] for e in rest)})
    return out


def _fold_groups(parts: Sequence[tuple[RecordedGroup, list[list[float]]]]) -> RecordedGroup:
    """Groups of the same name (or the groups counted as OTHER) as one."""
    hists = {key: Histogram() for key in GROUP_LATENCIES}
    for g, _ in parts:
        for key in GROUP_LATENCIES:
            hists[key].add(Histogram.from_json(g["histograms"][key]))
    # Its time is the time the group was active within each part, joined;
    # that leaves out the time between runs made one after another.
    spans = union(s for g, spans in parts for s in _within(g["first_start"], g["last_finish"],
                                                           spans))
    finished, succeeded, failed = (sum(g[key] for g, _ in parts) for key in GROUP_COUNT_KEYS)
    return {"finished": finished, "succeeded": succeeded, "failed": failed,
            "first_start": _earliest(g["first_start"] for g, _ in parts),
            "last_finish": _latest(g["last_finish"] for g, _ in parts),
            "active": spans, "errors": merge_errors(g["errors"] for g, _ in parts),
            "histograms": {"run_time": hists["run_time"].to_json(),
                           "latency": hists["latency"].to_json()}}


def merge_groups(parts: Iterable[tuple[Mapping[str, RecordedGroup], list[list[float]]]],
                 limit: int = GROUPS) -> dict[str, RecordedGroup]:
    """The groups of several runs, each with the active spans of its run:
    groups of the same name merge; the `limit` groups with the most finished
    runs are kept and the rest merge into one OTHER group."""
    by_name: dict[str, list[tuple[RecordedGroup, list[list[float]]]]] = {}
    for groups, active in parts:
        for name, g in groups.items():
            by_name.setdefault(name, []).append((g, active))
    merged = {name: _fold_groups(p) for name, p in by_name.items()}
    ranked = sorted((n for n in merged if n != OTHER), key=lambda n: (-merged[n]["finished"], n))
    rest = ranked[limit:] + ([OTHER] if OTHER in merged else [])
    out = {name: merged[name] for name in ranked[:limit]}
    if rest:
        out[OTHER] = _fold_groups([p for name in rest for p in by_name[name]])
    return out


def _merge_rows(rows: Iterable[HistoryRow]) -> list[HistoryRow]:
    by_time: dict[int, HistoryRow] = {}
    for row in rows:
        have = by_time.get(row["time"])
        if have is None:
            by_time[row["time"]] = {**row, "run_time": {**row["run_time"]},
                                    "latency": {**row["latency"]},
                                    "failed_by_group": {**row["failed_by_group"]}}
            continue
        for key in ROW_COUNT_KEYS:
            have[key] += row[key]
        counts = have["failed_by_group"]
        for name, failed in row["failed_by_group"].items():
            counts[name] = counts.get(name, 0) + failed
        # Percentiles of a second cannot be merged from percentiles; the
        # largest of them is an upper bound of the merged one.
        for part in ("run_time", "latency"):
            times, other = have[part], row[part]
            for name in SECOND_KEYS:
                values = [v for v in (times[name], other[name]) if v is not None]
                times[name] = max(values) if values else None
    return [by_time[t] for t in sorted(by_time)]


def _groups_kept(rows: list[HistoryRow], parts: Iterable[Mapping[str, RecordedGroup]],
                 kept: Mapping[str, RecordedGroup]) -> list[HistoryRow]:
    """The rows with the failures of the groups that a merge counted under
    OTHER counted there too."""
    folded = {name for groups in parts for name in groups} - kept.keys()
    if not folded:
        return rows
    out: list[HistoryRow] = []
    for row in rows:
        counts: dict[str, int] = {}
        for name, failed in row["failed_by_group"].items():
            name = OTHER if name in folded else name
            counts[name] = counts.get(name, 0) + failed
        out.append({**row, "failed_by_group": counts})
    return out


def merge_recorded(parts: Sequence[Recorded]) -> Recorded:
    """What several runs (processes or machines) recorded, as one: counts
    add, histograms merge exactly and histories add second by second;
    failures merge kind by kind and groups group by group; the settings and
    worker processes of every run are kept. The runs were active in the
    union of their active spans, so that runs made one after another are
    not read as one slow run."""
    hists = {key: Histogram() for key in LATENCY_GROUPS}
    for s in parts:
        for key in LATENCY_GROUPS:
            hists[key].add(Histogram.from_json(s["histograms"][key]))
    groups = merge_groups((s["groups"], s["active"]) for s in parts)
    rows = _merge_rows(row for s in parts for row in s["history"])
    # Each run's worker processes keep their rows, numbered by the run's
    # place among the settings merged.
    processes: list[RecordedProcess] = []
    runs = 0
    for s in parts:
        processes += [{**p, "run": p["run"] + runs} for p in s["processes"]]
        runs += len(s["settings"])
    return _recorded(
        {key: sum(s[key] for s in parts) for key in COUNT_KEYS},
        _earliest(s["first_start"] for s in parts), _latest(s["last_finish"] for s in parts),
        _groups_kept(rows, [s["groups"] for s in parts], groups), hists,
        late_starts=sum(s["late_starts"] for s in parts),
        errors=merge_errors(s["errors"] for s in parts),
        groups=groups,
        settings=[entry for s in parts for entry in s["settings"]],
        active=union(span for s in parts for span in s["active"]),
        processes=processes)


def merge(list_of_stats: Iterable[Mapping[str, object]]) -> Statistics:
    """Combines the statistics of several runs (processes or machines): what
    they recorded merges (see merge_recorded), and the rates and summaries
    are derived again from the merged figures. Elapsed time is the time in
    which at least one of the runs was active."""
    checked = []
    for n, stats in enumerate(list_of_stats, 1):
        try:
            checked.append(check_recorded(stats))
        except StatsError as err:
            raise StatsError(f"statistics {n}: {err}") from None
    if not checked:
        raise StatsError("nothing to merge: no statistics given")
    return summarise(merge_recorded(checked))


def one_run(recorded: Recorded) -> Recorded:
    """The figures as those of one run, active from its first start to its
    last finish (a pause in between included), and each group from its own
    first start to its last finish."""
    active = span_of(recorded["first_start"], recorded["last_finish"])
    return {**recorded, "active": active, "groups": merge_groups([(recorded["groups"], active)])}


# -- a warm-up left out -----------------------------------------------------------

def _errors_since(now: Sequence[ErrorKind], then: Sequence[ErrorKind]) -> list[ErrorKind]:
    counts = {(e["kind"], e["message"]): e["count"] for e in then}
    out: list[ErrorKind] = []
    for e in now:
        left = e["count"] - counts.pop((e["kind"], e["message"]), 0)
        out.append({**e, "count": left})
    # A kind the snapshot had apart that the end counts under OTHER.
    gone = sum(counts.values())
    for e in out:
        if gone and _is_other(e):
            e["count"], gone = e["count"] - min(gone, e["count"]), 0
    return merge_errors([[e for e in out if e["count"] > 0]])


def _group_since(now: RecordedGroup, then: RecordedGroup | None, start: float) -> RecordedGroup:
    finished, succeeded, failed = (now[key] - (0 if then is None else then[key])
                                   for key in GROUP_COUNT_KEYS)
    hists = now["histograms"] if then is None else {
        key: Histogram.from_json(now["histograms"][key]).since(
            Histogram.from_json(then["histograms"][key])).to_json() for key in GROUP_LATENCIES}
    first, last = now["first_start"], now["last_finish"]
    if last is None or last < start or finished == 0:
        first = last = None
    elif first is not None:
        first = max(first, start)
    return {"finished": finished, "succeeded": succeeded, "failed": failed,
            "first_start": first, "last_finish": last, "active": span_of(first, last),
            "errors": now["errors"] if then is None else _errors_since(now["errors"],
                                                                       then["errors"]),
            "histograms": {"run_time": hists["run_time"], "latency": hists["latency"]}}


def since(now: Recorded, then: Recorded, start: float) -> Recorded:
    """What was recorded of the runs that finished after `then`, a snapshot
    of the same run taken at the epoch time `start` (the end of a warm-up):
    counts, histograms (bucket by bucket), failures and groups are the
    differences; the history stays whole; the run is taken to start at
    `start`."""
    counts = {key: now[key] - then[key] if key not in ("queued", "running") else now[key]
              for key in COUNT_KEYS}
    if min(counts.values()) < 0:
        raise StatsError("the snapshot is not of an earlier moment of the same run")
    hists = {key: Histogram.from_json(now["histograms"][key]).since(
        Histogram.from_json(then["histograms"][key])) for key in LATENCY_GROUPS}
    last = now["last_finish"]
    first: float | None = start
    if last is None or last < start:
        first = last = None
    groups = {name: _group_since(g, then["groups"].get(name), start)
              for name, g in now["groups"].items()}
    return _recorded(counts, first, last, now["history"], hists,
                     late_starts=max(0, now["late_starts"] - then["late_starts"]),
                     errors=_errors_since(now["errors"], then["errors"]),
                     groups={n: g for n, g in groups.items() if g["finished"] or g["failed"]},
                     settings=now["settings"], active=span_of(first, last),
                     processes=now["processes"])


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
