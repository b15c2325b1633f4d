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
    from typing import NotRequired, TypedDict

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
    from threads_main import _RunStatistics as RunStatistics
    from threads_main import _RunStatus as RunStatus
    from threads_main import _SecondRunTime as SecondRunTime
    from threads_main import _Setting as Setting
    from threads_main import _Settings as Settings
    from threads_main import _Statistics as CoreStatistics

    # A stage of a run (--stages): when it began (epoch seconds), how long
    # it lasted, the target it ramped from and to (worker counts or starts
    # a second), and the figures of what finished within it.
    StageFigures = TypedDict("StageFigures", {
        "stage": int, "start": float, "seconds": float, "kind": str, "from": float, "to": float,
        "finished": int, "failed": int, "error_rate": float, "throughput": float,
        "late_starts": int, "run_time": Latency, "latency": Latency})
    # The same in one share of a run, with what was recorded of the runs
    # that finished within the stage (no history), for merging with the
    # other shares'.
    StageRun = TypedDict("StageRun", {
        "stage": int, "start": float, "seconds": float, "kind": str, "from": float, "to": float,
        "window": "Recorded"})

    class Steered(TypedDict):
        """What a steered run (--stages, --shape) hands back beside its
        figures: its stages, and the shape's failure as stderr shows it."""
        stages: list[StageRun]
        error: str | None

    class Step(TypedDict):
        """A step of --find-max: its rate, when it ran (epoch seconds; the
        figures count from the end of its settling), its figures, whether
        it passed and why not."""
        step: int
        rate: float
        start: float
        judged_from: float
        end: float
        passed: bool
        why: list[str]
        figures: dict[str, float | None]

    class FindMax(TypedDict):
        """The highest rate that passed every check (None: none did), the
        lowest that failed, and the steps."""
        rate: float | None
        failed_at: float | None
        checks: list[str]
        steps: list[Step]

    class Statistics(RunStatistics):
        """The statistics vigil_load writes and reads (the core's summary of
        a load run), with a steered run's stages or a search's steps."""
        stages: NotRequired[list[StageFigures]]
        find_max: NotRequired[FindMax]

    __all__ = ["CoreStatistics", "ErrorKind", "FindMax", "Group", "GroupHistograms",
               "HistogramJson", "Histograms", "HistoryRow", "Latency", "ProcessRow", "Recorded",
               "RecordedGroup", "RecordedProcess", "RunStatistics", "RunStatus", "SecondRunTime",
               "Setting", "Settings", "StageFigures", "StageRun", "Statistics", "Steered", "Step"]

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
