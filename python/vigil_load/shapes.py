"""The statistics of a run as types, and the keys that code iterates over.

The shapes are those of the core's statistics and of what they are derived
from (`_get_statistics()`, `threads_main._summarise`), declared once as
TypedDicts in the threads_main stubs; merging, the table, the checks and the
report read and write the same shapes, here under plain names: Recorded is
what a load run recorded, Statistics what the core derives from it. They
exist for type checkers only (the statistics are plain dicts at run time),
so import them under `if TYPE_CHECKING:`. The key tuples below are ordinary
values.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Final, Literal, get_args

if TYPE_CHECKING:
    from threads_main import _ErrorKind as ErrorKind
    from threads_main import _Group as Group
    from threads_main import _GroupHistograms as GroupHistograms
    from threads_main import _Histogram as HistogramJson
    from threads_main import _Histograms as Histograms
    from threads_main import _HistoryRow as HistoryRow
    from threads_main import _Latency as Latency
    from threads_main import _ProcessRow as ProcessRow
    from threads_main import _RecordedGroup as RecordedGroup
    from threads_main import _RecordedProcess as RecordedProcess
    from threads_main import _RecordedRun as Recorded
    from threads_main import _RunStatistics as Statistics
    from threads_main import _RunStatus as RunStatus
    from threads_main import _SecondRunTime as SecondRunTime
    from threads_main import _Setting as Setting
    from threads_main import _Settings as Settings
    from threads_main import _Statistics as CoreStatistics

    __all__ = ["CoreStatistics", "ErrorKind", "Group", "GroupHistograms", "HistogramJson",
               "Histograms", "HistoryRow", "Latency", "ProcessRow", "Recorded", "RecordedGroup",
               "RecordedProcess", "RunStatus", "SecondRunTime", "Setting", "Settings",
               "Statistics"]

# Keys of Statistics, in the order the core writes them.
CountKey = Literal["finished", "succeeded", "failed", "stopped", "cancelled", "queued", "running"]
COUNT_KEYS: Final[tuple[CountKey, ...]] = get_args(CountKey)
# The figures a check can compare directly: rates and counts of runs.
FigureKey = Literal["error_rate", "submitted_error_rate", "throughput", "elapsed",
                    "finished", "succeeded", "failed", "stopped", "cancelled", "late_starts"]
FIGURE_KEYS: Final[tuple[FigureKey, ...]] = get_args(FigureKey)
LatencyGroup = Literal["run_time", "queue_wait", "latency"]  # also the keys of Histograms
LATENCY_GROUPS: Final[tuple[LatencyGroup, ...]] = get_args(LatencyGroup)
GroupLatency = Literal["run_time", "latency"]  # the keys of GroupHistograms
GROUP_LATENCIES: Final[tuple[GroupLatency, ...]] = get_args(GroupLatency)
# Counts of a ProcessRow.
ProcessCountKey = Literal["finished", "succeeded", "failed", "stopped", "cancelled"]
PROCESS_COUNT_KEYS: Final[tuple[ProcessCountKey, ...]] = get_args(ProcessCountKey)
# Counts of a Group.
GroupCountKey = Literal["finished", "succeeded", "failed"]
GROUP_COUNT_KEYS: Final[tuple[GroupCountKey, ...]] = get_args(GroupCountKey)

# Keys of Latency, a summary in milliseconds.
LatencyKey = Literal["min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max"]
LATENCY_KEYS: Final[tuple[LatencyKey, ...]] = get_args(LatencyKey)
PercentileKey = Literal["p50", "p90", "p95", "p99", "p99.9"]
PERCENTILE_KEYS: Final[tuple[PercentileKey, ...]] = get_args(PercentileKey)

# Keys of HistoryRow and of its SecondRunTime.
RowCountKey = Literal["finished", "failed", "started", "queued", "running"]
ROW_COUNT_KEYS: Final[tuple[RowCountKey, ...]] = get_args(RowCountKey)
SecondKey = Literal["p50", "p95", "p99", "max"]
SECOND_KEYS: Final[tuple[SecondKey, ...]] = get_args(SecondKey)

# Keys of RunStatus, the manager's seven counters.
CounterKey = Literal["total", "done", "run", "success", "failed", "stop", "cancel"]
COUNTER_KEYS: Final[tuple[CounterKey, ...]] = get_args(CounterKey)
