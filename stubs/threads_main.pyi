"""Run one callable many times concurrently, one thread per task, at most a
configured number at once."""
import threading
from collections.abc import Callable, Generator, Iterable, Mapping
from os import PathLike
from types import TracebackType
from typing import Any, Final, Literal, NotRequired, Self, TypedDict, TypeVar, overload

from typing_extensions import disjoint_base

from vigil_log import VigilLog as VigilLog
from vigil_var import VigilVar as VigilVar

_T = TypeVar("_T")
# A task description: any mapping of keyword arguments. A TypeVar, so that a
# list of a narrower mapping (list[dict[str, str]]) is accepted: list is
# invariant in its element type.
_Task = TypeVar("_Task", bound=Mapping[str, Any])

# _Status and the TypedDicts below exist for type checkers only, hence the
# leading underscore.

# A task's status word.
_Status = Literal["待运行", "运行中", "完成", "失败", "停止", "取消"]

PENDING: Final = "待运行"
RUNNING: Final = "运行中"
DONE: Final = "完成"
FAILED: Final = "失败"
STOPPED: Final = "停止"
CANCELLED: Final = "取消"

class _RunStatus(TypedDict):
    total: int
    done: int
    run: int
    success: int
    failed: int
    stop: int
    cancel: int

class _TaskResult(TypedDict):
    task: str
    result: Any
    status: _Status

class _ResultSummary(TypedDict):
    total: int
    run: int
    success: int
    failed: int
    stop: int
    cancel: int
    data: list[_TaskResult]

# _get_statistics(): run times and queue waits in ms, None before any.
_Latency = TypedDict(
    "_Latency",
    {
        "min": float | None,
        "mean": float | None,
        "p50": float | None,
        "p90": float | None,
        "p95": float | None,
        "p99": float | None,
        "p99.9": float | None,
        "max": float | None,
    },
)

class _SecondRunTime(TypedDict):
    p50: float | None
    p95: float | None
    p99: float | None
    max: float | None

class _HistoryRow(TypedDict):
    time: int
    finished: int
    failed: int
    started: int
    queued: int
    running: int
    run_time: _SecondRunTime
    latency: _SecondRunTime
    # The second's failures by group, only the groups that failed in it.
    failed_by_group: dict[str, int]

class _Histogram(TypedDict):
    unit: Literal["us"]
    precision_bits: int
    count: int
    sum: int
    min: int | None
    max: int | None
    buckets: list[list[int]]

class _Histograms(TypedDict):
    run_time: _Histogram
    queue_wait: _Histogram
    latency: _Histogram

# One kind of failure: the exception's qualified type name and its message's
# template (ids, numbers and quoted values as <uuid>, <hex>, <n>, <str>), or
# "break result" and the value's repr, or "other" (message "") for the kinds
# beyond the first 100; example is the first full message; first and last
# the epoch seconds of the first and last failure (None only as vigil_load
# reads the rows of an older file, which named tasks there).
class _ErrorKind(TypedDict):
    kind: str
    message: str
    example: str
    count: int
    first: float | None
    last: float | None

class _GroupHistograms(TypedDict):
    run_time: _Histogram
    latency: _Histogram

# The runs of one value of the grouping keyword argument.
class _Group(TypedDict):
    finished: int
    succeeded: int
    failed: int
    error_rate: float
    first_start: float | None
    last_finish: float | None
    elapsed: float
    throughput: float
    run_time: _Latency
    latency: _Latency
    errors: list[_ErrorKind]
    histograms: _GroupHistograms

class _Statistics(TypedDict):
    finished: int
    succeeded: int
    failed: int
    stopped: int
    cancelled: int
    queued: int
    running: int
    error_rate: float
    first_start: float | None
    last_finish: float | None
    elapsed: float
    throughput: float
    run_time: _Latency
    queue_wait: _Latency
    latency: _Latency
    late_starts: int
    errors: list[_ErrorKind]
    groups: dict[str, _Group]
    history: list[_HistoryRow]
    histograms: _Histograms

# What the statistics are derived from (see _summarise): the recorded
# figures of a manager's statistics, and those of a load run.
class _RecordedGroup(TypedDict):
    finished: int
    succeeded: int
    failed: int
    first_start: float | None
    last_finish: float | None
    # The spans [start, end] of epoch seconds in which it was active; without
    # them, from its first start to its last finish.
    active: NotRequired[list[list[float]]]
    errors: list[_ErrorKind]
    histograms: _GroupHistograms

class _Recorded(TypedDict):
    finished: int
    succeeded: int
    failed: int
    stopped: int
    cancelled: int
    queued: int
    running: int
    first_start: float | None
    last_finish: float | None
    late_starts: int
    errors: list[_ErrorKind]
    groups: dict[str, _RecordedGroup]
    history: list[_HistoryRow]
    histograms: _Histograms

# How a load run was made, one entry per run (the command line, target,
# options, machine and versions).
type _Setting = str | int | float | bool | list[str] | None
type _Settings = dict[str, _Setting]

# A worker process of a load run spread over several: `run` numbers the run
# among those merged (its entry in `settings`), `process` the worker within
# its run, `where` the host and process id or the Dask worker's address.
class _RecordedProcess(TypedDict):
    run: int
    process: int
    where: str
    finished: int
    succeeded: int
    failed: int
    stopped: int
    cancelled: int
    first_start: float | None
    last_finish: float | None
    histograms: _Histograms

class _RecordedRun(_Recorded):
    processes: list[_RecordedProcess]
    settings: list[_Settings]
    # The spans [start, end] of epoch seconds in which the runs it covers
    # were active: its elapsed time is the length of their union.
    active: list[list[float]]

class _ProcessRow(TypedDict):
    run: int
    process: int
    where: str
    finished: int
    succeeded: int
    failed: int
    stopped: int
    cancelled: int
    error_rate: float
    first_start: float | None
    last_finish: float | None
    elapsed: float
    throughput: float
    run_time: _Latency
    queue_wait: _Latency
    latency: _Latency
    histograms: _Histograms

# A load run's statistics: a manager's, with the error rate of the summary
# lines (failed over submitted tasks, where error_rate divides by finished
# runs), a row per worker process, the settings of every run they cover,
# their active spans (sorted, not overlapping) and warnings about what the
# figures mean, one line each.
class _RunStatistics(_Statistics):
    submitted_error_rate: float
    processes: list[_ProcessRow]
    settings: list[_Settings]
    active: list[list[float]]
    notes: list[str]

@overload
def _summarise(recorded: _RecordedRun, /) -> _RunStatistics: ...

@overload
def _summarise(recorded: _Recorded, /) -> _Statistics: ...

class ManagerError(Exception):
    """Failure of the manager itself; its text is the message."""

@disjoint_base
class _Worker:
    """Runs one task of a manager on the task's own thread."""

    def __init__(
        self, vigil_var: VigilVar, vigil_name: str, vigil_log: VigilLog, **kwargs: Any
    ) -> None: ...
    @property
    def var(self) -> VigilVar: ...
    @property
    def vigil_name(self) -> str: ...
    @property
    def _log(self) -> VigilLog: ...
    @property
    def kwargs(self) -> dict[str, Any]: ...
    def start(self, /) -> None: ...

@disjoint_base
class VigilThreadsMain:
    """Runs func many times concurrently, one thread per task, at most
    max_workers at once."""

    _log: VigilLog
    _var: VigilVar
    def __init__(
        self,
        func: Callable[..., Any],
        max_workers: int | None = None,
        maximum: bool = False,
        logfile: bool | str | bytes | PathLike[str] | PathLike[bytes] | None = False,
        logger: bool = False,
        reserve: bool = True,
        duration: float | None = None,
    ) -> None: ...
    # construction and dispatch
    def _check_max_workers(self, /, max_workers: int | None, maximum: bool) -> None: ...
    def _set_max_workers(self, /, workers_number: float | None = None, maximum: bool = False) -> bool: ...
    def _set_start_rate(self, /, per_second: float | None = None) -> bool: ...
    def _set_pace_clock(self, /, seconds: float | None = None) -> bool: ...
    def _set_fresh_threads(self, /, flag: bool = True) -> bool: ...
    def _set_task_timeout(self, /, seconds: float | None = None) -> bool: ...
    def _set_statistics_group(self, /, key: str | None = None) -> bool: ...
    def _start(self, /) -> None: ...
    def _queue_init(self, /) -> None: ...
    def _consumer(self, /, thread_name: str) -> None: ...
    def _check_while(self, /) -> None: ...
    def _get_qsize(self, /) -> int: ...
    def _done(self, /) -> bool: ...
    def __enter__(self, /) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...
    # submission
    def _send(self, /, thread_name: str | None = None, **kwargs: Any) -> bool: ...
    def _send_list(
        self,
        /,
        thread_list: list[_Task] | tuple[_Task, ...] | set[Any],
    ) -> None: ...
    def _send_list_thread(
        self,
        /,
        thread_list: list[_Task] | tuple[_Task, ...] | set[Any],
    ) -> None: ...
    @staticmethod
    def _thread_list_yield(thread_list: Iterable[_T]) -> Generator[_T]: ...
    # waits
    def _join(self, /, break_result: Any = "vigil_break") -> bool: ...
    def _join_log(self, /) -> None: ...
    def _join_property(self, /, break_result: Any, interval: float = 5) -> bool: ...
    def _join_property_log(
        self,
        /,
        old_result: _RunStatus | Mapping[str, int],
        elapsed_time: float,
        start_time: float,
    ) -> tuple[_RunStatus | Mapping[str, int], float]: ...
    # queries
    def _get_status(
        self, /, thread_name: str
    ) -> dict[str, _Status | Literal["Task does not exist"]]: ...
    def _get_all_status(self, /) -> dict[str, _Status]: ...
    def _get_run_status(self, /) -> _RunStatus: ...
    def _is_run(self, /) -> bool: ...
    def _is_close(self, /) -> bool: ...
    def _get_result(self, /, thread_name: str) -> dict[str, Any]: ...
    def _get_all_result(self, /) -> _ResultSummary: ...
    def _get_failed_result(self, /) -> _ResultSummary: ...
    def _get_failed(self, /) -> list[str]: ...
    def _get_running_threads(self, /) -> list[tuple[str, threading.Thread]]: ...
    def _rerun_failed(self, /) -> bool: ...
    def _get_statistics(self, /) -> _Statistics: ...
    # stopping and closing
    @staticmethod
    def _async_raise(tid: int, exc_type: type[BaseException] | BaseException) -> None: ...
    def _stop_action(self, /, thread_name: str | None = None) -> None: ...
    def _stop(self, /, thread_name: str) -> bool: ...
    def _stop_all(self, /) -> bool: ...
    def _clear_queue(self, /) -> bool: ...
    def _clear_record(self, /) -> bool: ...
    def _close(self, /) -> bool: ...
