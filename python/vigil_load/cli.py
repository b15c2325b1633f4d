"""The command line: `vigil-load [TARGET] ...`, `vigil-load merge FILE ...`
and `vigil-load compare BASE NEW` (also `python -m vigil_load`)."""

from __future__ import annotations

import argparse
import atexit
import contextlib
import dataclasses
import importlib.util
import json
import math
import os
import platform
import shlex
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from types import FrameType
from typing import TYPE_CHECKING, Any

from . import check as checks
from . import findmax
from .files import write_atomic
from .inputs import BadInput, Parser, find, load_target, read_break_result, read_checks, read_tasks
from .outputs import (
    EXIT_BAD_INPUT,
    EXIT_CHECK_FAILED,
    EXIT_SIGNALLED,
    EXIT_WORKER_LOST,
    check_outputs,
    json_stdout,
    say,
)
from .report import ReportUnavailable, page
from .stats import StatsError, load, merge, summarise
from .table import marks
from .table import render as render_table

if TYPE_CHECKING:
    from .metrics import Endpoint
    from .run import Plan, Signals
    from .shapes import FindMax, Recorded, Settings, StageFigures, Statistics, Steered

DEFAULT_STATS = "vigil-stats.json"

_RUN_DESCRIPTION = """\
Runs a callable many times concurrently as a load or bulk run, then prints
a table of the statistics (run-time and queue-wait percentiles, error rate,
throughput) and writes them to a JSON file, and with --report PATH an HTML
report with charts.

With no MODULE:CALLABLE it runs a demonstration for about 15 s against an
HTTP server of its own on 127.0.0.1 (20 workers, 10 s, summary lines every
2 s, status 500 counted as failed; the options change these).
"""

_CHECKS_HELP = """\
checks (--check, repeatable), KEY OP NUMBER with OP one of < <= > >= ==:
  min mean p50 p90 p95 p99 p99.9 max   run time in ms ("run_time.p95" too)
  queue_wait.p95 (and the other keys)  queue wait in ms
  latency.p95 (and the other keys)     end minus intended start in ms (without
                                       --rate: the run time)
  error_rate  throughput  elapsed      percent of finished runs, runs/s, seconds
  submitted_error_rate                 percent of submitted tasks (the summary
                                       lines' Err %: stopped, cancelled count)
  finished succeeded failed stopped cancelled late_starts
  e.g. --check "p95<200" --check "error_rate<1". Exit status 1 when one is
  not met.

outputs:
  --stats and --report replace a regular file (through a symbolic link, the
  file it leads to) and refuse anything else before any task starts.
  --stats - writes the statistics to standard output; everything else that
  would go there (the table, the checks, a task's own prints) goes to stderr.

exit status:
  0 done, all checks met; 1 a check not met; 2 bad input (nothing ran);
  3 a worker process died or fell silent (--processes, --dask); 130
  interrupted by Ctrl-C, 143 by SIGTERM, in any phase (the results of what
  ran are still written)

"""

_RUN_EPILOG = """\
tasks file:
  JSON lines, one JSON object of keyword arguments per line, for instance
    {"url": "http://127.0.0.1:8000/a"}
  A "thread_name" entry names the task. Blank lines are skipped. Without
  --tasks there is one task with no keyword arguments.

how long:
  --duration S   the task list is submitted again and again for S seconds;
                 then the queue is withdrawn and running tasks get up to 10 s
                 to finish before they are stopped
  --count N      N tasks in all, cycling through the task list
  neither        each task of the list once
  --warmup S     the first S seconds run and show in the history and the
                 report's charts, but the figures and the checks leave them out

--rate and stalls:
  each start has a slot in a schedule of PER_SECOND a second. A start that
  cannot be made at its slot (every worker busy, a stalled target) is not
  dropped: once workers free, the starts owed are made as fast as they
  allow, and latency counts from each start's slot, so a stall shows as a
  bump in latency; late_starts counts starts made over 10 ms after their
  slot, and keeps growing while the workers do not suffice for the rate.

load that changes during a run:
  --stages 30s:10,1m:10,30s:0
                 stages of DURATION:TARGET (the duration in s, m or h), each
                 ramped linearly from the target before it: worker counts of
                 a closed loop, the first ramp from 0 (30s:10 ramps from 0 to
                 10 workers in 30 s; 0s:10 starts at 10), or starts a second
                 with --rate R, the first ramp from R. A ramp sets its level
                 once a second; lowering the worker count stops no call. The
                 run lasts as long as the stages; the table, the report and
                 the history show each stage's start and figures.
  --shape MODULE:FUNCTION
                 FUNCTION(seconds) or FUNCTION(seconds, statistics) is called
                 before the first task and about once a second, with the
                 seconds since the start (and the statistics so far), and
                 returns the next (workers, rate) or None to end the run;
                 None within the pair leaves that one as it is, a rate of
                 math.inf is a closed loop and 0 holds the starts. It starts
                 from --workers and --rate; --duration bounds the run. When it
                 raises, the run ends, its results are written, its traceback
                 goes to stderr and the exit status is 2.
  With --processes or --dask each share ramps or asks the shape itself:
  rates are divided among the shares as --rate is, worker counts apply to
  each as --workers does, and a shape sees its share's statistics.

more than one process:
  --processes N and --dask split the run: each worker cycles through the
  tasks file in its order from an offset of its own (the whole mix); with
  --count, or the file run once, worker k runs the k-th of N consecutive
  stretches of what one process would run, so each line runs as often as in
  one process (run once, each worker runs a part of the file). Each gets 1/N
  of --rate, the whole --duration and --workers tasks at once; all start
  together, the summary lines add up their counts and the results are
  merged as merge does, with a row per worker in the table, the stats file
  ("processes") and the report. A worker that dies, or sends nothing for
  10 s (three intervals if longer), is named on stderr, the others' results
  are written, exit status 3. N is at most the number of CPUs. With --dask
  every worker needs threads-main installed and the target's module
  importable.

live metrics:
  --metrics ADDRESS serves the run's figures for a Prometheus server to
  scrape at http://ADDRESS/metrics, from before the first task until the
  run's end (--metrics-linger S: S seconds more, for a last scrape). A port
  alone, or :PORT, listens on 127.0.0.1; 0.0.0.0:PORT on every interface.
  The metrics (the warm-up included) are named in docs/vigil-load.md.

""" + _CHECKS_HELP + """\
Results of several processes or machines are combined with
  {prog} merge A.json B.json ...   (see merge --help)
and two runs compared, with a verdict on each figure, with
  {prog} compare BASE.json NEW.json   (see compare --help)
"""

_MERGE_DESCRIPTION = """\
Combines the statistics files of several runs (processes or machines) into
one: counts add, the run-time and queue-wait histograms merge exactly, the
per-second histories add second by second, failures add kind by kind and
groups group by group, and the settings of every run are kept. Elapsed time
is the time in which at least one run was active. Prints the table and
writes the merged statistics, and with --report PATH the report.
"""


def _number(kind: Callable[[str], float], what: str) -> Callable[[str], Any]:
    noun = "a whole number" if kind is int else "a number"

    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be {noun}, got {text!r}") from None
        if not math.isfinite(value) or value <= 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0, got {text!r}")
        return value
    parse.__name__ = what  # argparse names the type in some messages
    return parse


def _outputs(p: argparse.ArgumentParser) -> None:
    p.add_argument("--stats", metavar="PATH", default=DEFAULT_STATS,
                   help=f"where the statistics are written as JSON (default {DEFAULT_STATS}); "
                        "- for standard output")
    p.add_argument("--report", metavar="PATH",
                   help="write the HTML report with charts to PATH (without it none is "
                        "drawn); needs the extra 'report' (matplotlib, Jinja2)")
    p.add_argument("--check", metavar="EXPR", action="append", default=[],
                   help='a condition on the statistics, e.g. "p95<200" (repeatable; see below)')
    p.add_argument("--base", metavar="FILE", type=_base,
                   help="a statistics file whose figures the report shows beside these, each "
                        "with its change and verdict (as compare judges them)")


def _base(path: str) -> tuple[str, Statistics]:
    from .compare import base_for_report

    return base_for_report(path)


def program() -> str:
    """The command's name as it was called: the console script's name, or
    `python -m vigil_load` (run as a module, argv[0] is __main__.py)."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m vigil_load" if name in ("", "__main__.py", "-c") else name


def run_parser(prog: str = "vigil-load") -> argparse.ArgumentParser:
    p = Parser(prog=prog, description=_RUN_DESCRIPTION,
                epilog=_RUN_EPILOG.replace("{prog}", prog),
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("target", nargs="?", metavar="MODULE:CALLABLE",
                   help="the callable to run, e.g. mytests.load:fetch (the module is "
                        "imported from the working directory or sys.path)")
    p.add_argument("--tasks", metavar="FILE", help="JSON lines of keyword arguments, one task a line")
    p.add_argument("--workers", metavar="N", type=_number(int, "--workers"),
                   help="tasks running at once (default: CPUs + 4, at most 30; a given N "
                        "is used as it is)")
    how_long = p.add_mutually_exclusive_group()
    how_long.add_argument("--duration", metavar="S", type=_number(float, "--duration"),
                          help="keep submitting the tasks for S seconds")
    how_long.add_argument("--count", metavar="N", type=_number(int, "--count"),
                          help="run N tasks in all")
    how_long.add_argument("--stages", metavar="STAGES",
                          help="ramp the workers (or with --rate the rate) through stages of "
                               "DURATION:TARGET, e.g. 30s:10,1m:10,30s:0 (see below)")
    p.add_argument("--shape", metavar="MODULE:FUNCTION",
                   help="a function that gives the workers and the rate about once a second "
                        "(see below)")
    p.add_argument("--interval", metavar="S", type=_number(float, "--interval"),
                   help="seconds between two pairs of summary lines (default 5; 2 for the demo)")
    p.add_argument("--rate", metavar="PER_SECOND", type=_number(float, "--rate"),
                   help="tasks started per second, an open loop; after a stall it catches up "
                        "(see below) (default: a closed loop at full speed, each task started "
                        "as soon as a worker is free)")
    p.add_argument("--break-result", metavar="JSON",
                   help='a returned value that counts as a failure, as JSON: 500, "error", '
                        "or a list of such values; a raised exception always counts")
    p.add_argument("--timeout", metavar="S", type=_number(float, "--timeout"),
                   help="a run lasting longer is stopped and counts as failed (TimeoutError)")
    p.add_argument("--group-by", metavar="KEY",
                   help="also count each run under the value of its keyword argument KEY "
                        "(a row per value in the table and the report; runs without it "
                        'under "")')
    p.add_argument("--fresh-threads", action="store_true",
                   help="run each task on a new OS thread of its own instead of on the "
                        "manager's runners (native threads kept for one task after another)")
    p.add_argument("--warmup", metavar="S", type=_number(float, "--warmup"),
                   help="leave the first S seconds out of the figures and the checks")
    spread_over = p.add_mutually_exclusive_group()
    spread_over.add_argument("--processes", metavar="N", type=_number(int, "--processes"),
                             help="split the run over N worker processes on this machine")
    spread_over.add_argument("--dask", metavar="ADDRESS", type=_dask_address,
                             help="split the run over the workers of the Dask cluster whose "
                                  "scheduler is at ADDRESS, or of one of N local worker "
                                  "processes with local:N (needs the extra 'dask')")
    p.add_argument("--metrics", metavar="ADDRESS", type=_metrics_address,
                   help="serve live metrics for Prometheus at HOST:PORT (127.0.0.1 unless a "
                        "host is given) while the run goes on (needs the extra 'metrics')")
    p.add_argument("--metrics-linger", metavar="S", type=_number(float, "--metrics-linger"),
                   help="after the run, keep serving the metrics S seconds more")
    search = p.add_argument_group(
        "the highest rate that passes (--find-max)",
        "Runs paced steps at rising rates, from --rate up by x1.5 a step until one fails, "
        "then halves the gap between the highest rate that passed and the lowest that failed "
        "until it is within --precision. Each step is judged by the --check options on what "
        "finished after its settling; a step whose starts came late (more than a quarter over "
        "10 ms behind their slot) or fewer than its rate asks fails too, said as such. Every step's "
        "figures and verdict, and the answer, are printed and stored under find_max.")
    search.add_argument("--find-max", action="store_true",
                        help="search for the highest rate that passes every --check (needs "
                             "--rate, the first step's rate, and at least one --check)")
    search.add_argument("--step", metavar="S", type=_number(float, "--step"),
                        help=f"seconds a step runs (default {findmax.STEP:g})")
    search.add_argument("--settle", metavar="S", type=_number(float, "--settle"),
                        help=f"seconds at a step's start left out of its figures (default "
                             f"{findmax.SETTLE:g})")
    search.add_argument("--precision", metavar="PERCENT", type=_number(float, "--precision"),
                        help=f"stop once the lowest failing rate is within PERCENT of the "
                             f"highest passing one (default {findmax.PRECISION:g})")
    search.add_argument("--search-time", metavar="S", type=_number(float, "--search-time"),
                        help=f"start no step that would end the search later than S seconds "
                             f"after its start (default {findmax.SEARCH_TIME:g})")
    _outputs(p)
    return p


def _metrics_address(text: str) -> str:
    from .metrics import parse_address

    try:
        parse_address(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
    return text


def _dask_address(text: str) -> str:
    from .spread import parse_dask

    try:
        parse_dask(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
    return text


def merge_parser(prog: str = "vigil-load") -> argparse.ArgumentParser:
    p = Parser(prog=f"{prog} merge", description=_MERGE_DESCRIPTION,
                epilog=_CHECKS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+", metavar="FILE", help="statistics files of the runs")
    _outputs(p)
    return p


# -- the end of a command ------------------------------------------------------------

def _stats_json(stats: Statistics) -> str:
    # Compact, but one history row a line: a day of rows stays readable with
    # a pager and about 10 MB.
    parts = []
    starts = _row_marks(stats)
    for key, value in stats.items():
        if key == "history" and isinstance(value, list):
            rows = ",\n ".join(json.dumps({**row, **starts[n]} if n in starts else row,
                                          separators=(",", ":"))
                               for n, row in enumerate(value))
            text = f"[\n {rows}\n]" if value else "[]"
        else:
            text = json.dumps(value, separators=(",", ":"))
        parts.append(f"{json.dumps(key)}: {text}")
    return "{\n" + ",\n".join(parts) + "\n}\n"


def _row_marks(stats: Statistics) -> dict[int, dict[str, int]]:
    """The history rows in which a stage or a step begins, each with its
    number: {"stage": 2} on the row of the second the second stage began."""
    import bisect

    times = [row["time"] for row in stats["history"]]
    out: dict[int, dict[str, int]] = {}
    for when, label in marks(stats):
        kind, _, number = label.partition(" ")
        n = bisect.bisect_left(times, math.floor(when))
        if n < len(times):
            out.setdefault(n, {})[kind] = int(number)
    return out


def _version() -> str | None:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("threads-main")
    except PackageNotFoundError:  # run from a source tree
        return None


def settings(argv: Sequence[str], prog: str, args: argparse.Namespace, plan: Plan,
             workers: int | None, started: float, warmup_end: float | None,
             processes: int | None = None) -> Settings:
    """How the run was made, for the stats file and the report; `processes`
    the worker processes it was split over (None: one process)."""
    return {
        "command": shlex.join([*shlex.split(prog), *argv]),
        "target": args.target or "the demonstration",
        "tasks_file": args.tasks, "tasks": len(plan.tasks),
        "processes": processes, "dask": args.dask,
        "workers": workers, "rate": plan.rate, "users": plan.users,
        "duration": plan.duration, "count": plan.count, "timeout": plan.timeout,
        "warmup": plan.warmup, "group_by": plan.group_by,
        "break_result": None if plan.break_result is None else json.dumps(plan.break_result),
        "interval": plan.interval,
        "stages": None if plan.stages is None else args.stages, "shape": plan.shape,
        "started": started, "warmup_end": warmup_end,
        "host": socket.gethostname(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "vigil_load": _version(),
    }


def finish(stats: Statistics, args: argparse.Namespace, check_list: list[checks.Check],
           title: str, stdout: int | None = None, signals: Signals | None = None) -> int:
    """Prints the table and the checks, writes the statistics (to the
    descriptor `stdout` when given) and, when --report names a file, the
    report; the exit status. A signal that comes while the report is drawn
    ends the drawing: no report is written."""
    from .run import Interrupted

    say()
    say(render_table(stats))
    for note in stats["notes"]:
        print(f"vigil_load: warning: {note}", file=sys.stderr, flush=True)
    say()
    status = 0
    try:
        if stdout is None:
            write_atomic(args.stats, _stats_json(stats))
            say(f"statistics written to {args.stats}")
        else:
            with open(stdout, "w", encoding="utf-8", closefd=False) as f:
                f.write(_stats_json(stats))
            say("statistics written to standard output")
    except OSError as err:
        where = "standard output" if stdout is not None else args.stats
        print(f"vigil_load: cannot write {where}: {err}", file=sys.stderr)
        status = 1
    try:
        if args.report is None:
            # Drawing costs a second or more and the table, the stats file and
            # the checks need none of it.
            say("no report drawn (--report PATH writes one)")
        else:
            with signals.interruptible() if signals is not None else contextlib.nullcontext():
                html = page(stats, title=title, base=args.base)
            write_atomic(args.report, html)
            say(f"report written to {args.report} ({os.path.getsize(args.report):,} bytes)")
    except Interrupted as stop:
        print(f"vigil_load: interrupted by {signal.Signals(stop.signum).name} while drawing the "
              f"report; no report written", file=sys.stderr)
    except ReportUnavailable as err:
        say(f"no report: {err}")
    except OSError as err:
        print(f"vigil_load: cannot write {args.report}: {err}", file=sys.stderr)
        status = 1
    if check_list:
        lines, met = checks.report(check_list, stats)
        say()
        for line in lines:
            say(line)
        if not met and not status:
            status = EXIT_CHECK_FAILED
    return status


def _run(argv: Sequence[str], prog: str, signals: Signals) -> int:
    from . import run as runner

    args, check_list, break_result = _parse(argv, prog)
    plan = _plan(args, check_list, break_result)
    endpoint = _endpoint(args.metrics, plan.rate)
    # A signal from the start of the run until its results are written ends
    # the run, as Ctrl-C does, and is otherwise held: the results come first.
    with json_stdout(args.stats) as stdout, signals.interruptible(False), \
            endpoint if endpoint is not None else contextlib.nullcontext():
        ran = _execute(args, plan, check_list, signals, endpoint)
        status = _write(ran, argv, prog, args, check_list, stdout, signals)
        if endpoint is not None and args.metrics_linger is not None:
            endpoint.linger(args.metrics_linger, lambda: signals.received is not None)
        status = _exit_status(status, ran, signals)
        runner.end_lingering(status)
    return status


def _parse(argv: Sequence[str], prog: str
           ) -> tuple[argparse.Namespace, list[checks.Check], Any]:
    """The options, the checks and the break result, refused with a line
    when an option cannot be served here."""
    args = run_parser(prog).parse_args(argv)
    check_list = read_checks(args.check)
    check_outputs(args.stats, args.report)
    break_result = None if args.break_result is None else read_break_result(args.break_result)
    if args.dask is not None and importlib.util.find_spec("distributed") is None:
        from .spread import DASK_HINT

        raise BadInput(f"--dask needs the package distributed: {DASK_HINT}")
    if args.metrics is None and args.metrics_linger is not None:
        raise BadInput("--metrics-linger needs --metrics")
    if args.metrics is not None and importlib.util.find_spec("prometheus_client") is None:
        from .metrics import HINT

        raise BadInput(f"--metrics needs the package prometheus_client: {HINT}")
    if args.processes is not None:
        from .spread import most_processes

        if args.processes > most_processes():
            raise BadInput(f"--processes {args.processes}: this machine runs at most "
                           f"{most_processes()} worker processes (one a CPU)")
    if args.group_by is not None and not args.group_by.isidentifier():
        raise BadInput(f"--group-by {args.group_by!r}: must be a keyword argument name")
    return args, check_list, break_result


def _plan(args: argparse.Namespace, check_list: list[checks.Check], break_result: Any) -> Plan:
    """The run's plan, made once from every value gathered first; refused
    with a line when the values do not go together or the core cannot run
    it."""
    from . import run as runner

    base = _from_target(args, break_result)
    if args.warmup is not None and base.duration is not None and args.warmup >= base.duration:
        raise BadInput(f"--warmup {args.warmup:g}: must be shorter than the run's duration, "
                       f"{base.duration:g} s (nothing after it would be counted)")
    stages, duration, count = steer(args, base.duration, base.count)
    searching(args, check_list)
    plan = dataclasses.replace(
        base, duration=duration, count=count, rate=args.rate, warmup=args.warmup,
        group_by=args.group_by if args.group_by is not None else base.group_by,
        timeout=args.timeout, fresh_threads=args.fresh_threads, stages=stages, shape=args.shape)
    try:
        runner.check_core(plan)
    except runner.CoreTooOld as err:
        raise BadInput(str(err)) from None
    return plan


def _from_target(args: argparse.Namespace, break_result: Any) -> Plan:
    """The plan as the target, or the demonstration without one, decides it
    before the options any target takes: the callable and its tasks read
    here."""
    from . import run as runner

    if args.target is None:
        if args.tasks is not None:
            raise BadInput("--tasks needs a MODULE:CALLABLE target; the demonstration has its own")
        from . import demo

        return demo.base(args.workers, args.duration, args.count, args.interval, break_result)
    tasks = read_tasks(args.tasks, runner.reserved_keys()) if args.tasks is not None else [{}]
    return runner.Plan(func=load_target(args.target), tasks=tasks, workers=args.workers,
                       duration=args.duration, count=args.count,
                       interval=args.interval or 5.0, break_result=break_result)


def _target(args: argparse.Namespace) -> str:
    """The MODULE:CALLABLE the worker processes import."""
    return "vigil_load.demo:fetch" if args.target is None else str(args.target)


def _title(args: argparse.Namespace) -> str:
    title = "Load run demonstration" if args.target is None else f"Load run: {args.target}"
    if args.dask is not None:
        return f"{title} (Dask {args.dask})"
    return title if args.processes is None else f"{title} ({args.processes} processes)"


@dataclass
class _Ran:
    """What a run left, however it was made: the plan as it ran (the
    demonstration's with its tasks), what it recorded (None when no worker
    returned it), the signal that ended it and the rest of its settings."""

    plan: Plan
    recorded: Recorded | None
    caught: int | None
    started: float
    warmup_end: float | None = None
    workers: int | None = None  # the manager's worker count
    processes: int | None = None  # the worker processes it was split over
    lost: list[str] = field(default_factory=list)  # the workers lost
    steered: list[Steered] = field(default_factory=list)  # each steered share's stages
    found: FindMax | None = None  # the result of --find-max


def _execute(args: argparse.Namespace, plan: Plan, check_list: list[checks.Check],
             signals: Signals, endpoint: Endpoint | None) -> _Ran:
    """The run, as the options ask: the steps of --find-max, over worker
    processes or a cluster, or in this process."""
    from . import run as runner

    serving: contextlib.AbstractContextManager[Plan] = contextlib.nullcontext(plan)
    if args.target is None:
        from . import demo

        serving = demo.serving(plan)
    try:
        with serving as plan:
            if args.find_max:
                return _search(args, plan, check_list, signals)
            if args.processes is not None or args.dask is not None:
                return _spread(args, plan, signals, endpoint)
            outcome = runner.execute(
                plan, signals, observe=None if endpoint is None else endpoint.observe)
            return _Ran(plan, outcome.recorded, outcome.signal, outcome.started,
                        outcome.warmup_end, outcome.workers,
                        steered=[] if outcome.steered is None else [outcome.steered])
    except runner.RunRefused as err:
        raise BadInput(str(err)) from None


def _write(ran: _Ran, argv: Sequence[str], prog: str, args: argparse.Namespace,
           check_list: list[checks.Check], stdout: int | None, signals: Signals) -> int:
    """The run's lines, its statistics, report and checks; the exit status
    they give."""
    if ran.caught is not None:
        say()
        say(f"interrupted by {signal.Signals(ran.caught).name}: all tasks were stopped; "
            f"the results of what ran follow")
    stages, failed_shape = _steered(ran.steered)
    if failed_shape is not None:
        print(f"vigil_load: {failed_shape}\nvigil_load: the run was ended there; the "
              f"results of what ran follow", file=sys.stderr, flush=True)
    if ran.recorded is None:
        print("vigil_load: no worker returned its results; nothing was written", file=sys.stderr)
        return EXIT_WORKER_LOST
    stats = summarise({**ran.recorded, "settings": [
        settings(argv, prog, args, ran.plan, ran.workers, ran.started, ran.warmup_end,
                 ran.processes)]})
    if stages:
        stats["stages"] = stages
    found = ran.found
    if found is not None:
        stats["find_max"] = found
    # A search's checks judge its steps, not the steps taken together.
    status = finish(stats, args, [] if found is not None else check_list, _title(args), stdout,
                    signals)
    if failed_shape is not None:
        status = EXIT_BAD_INPUT
    if found is not None:
        say()
        say(findmax.answer(found))
        if found["rate"] is None and not status:
            status = EXIT_CHECK_FAILED
    if args.target is None:
        from . import demo

        say()
        say(demo.closing(ran.plan, stats))
    return status


def _exit_status(status: int, ran: _Ran, signals: Signals) -> int:
    """A signal's status over a lost worker's over what the results gave."""
    if signals.received is not None:
        return EXIT_SIGNALLED + signals.received
    return EXIT_WORKER_LOST if ran.lost else status


def _endpoint(address: str | None, rate: float | None) -> Endpoint | None:
    """The metrics endpoint, listening before any task starts."""
    if address is None:
        return None
    from .metrics import Endpoint, MetricsRefused

    try:
        endpoint = Endpoint(address, rate)
    except MetricsRefused as err:
        raise BadInput(str(err)) from None
    return endpoint


def steer(args: argparse.Namespace, duration: float | None, count: int | None
          ) -> tuple[list[tuple[float, float]] | None, float | None, int | None]:
    """--stages or --shape, refused with a line when wrong: the stages, and
    the run's duration and count with them (they end the run)."""
    from .levels import StagesError, parse_stages

    stages = None
    if args.stages is not None:
        if args.shape is not None:
            raise BadInput("--stages and --shape cannot be used together: the stages are a shape")
        try:
            stages = parse_stages(args.stages, "rate" if args.rate is not None else "workers")
        except StagesError as err:
            raise BadInput(f"--stages {args.stages}: {err}") from None
        duration, count = sum(d for d, _ in stages), None
    if args.shape is not None:
        if args.count is not None:
            raise BadInput("--shape ends the run itself: use --duration S, not --count, to "
                           "bound it")
        if isinstance(find(args.shape), type):
            raise BadInput(f"--shape {args.shape}: must be a function, not a class")
        if args.duration is None:
            duration, count = None, None  # (the demonstration's own 10 s)
    return stages, duration, count


def searching(args: argparse.Namespace, check_list: list[checks.Check]) -> None:
    """Refuses, with a line, the options of --find-max without it, and what
    it cannot take."""
    options = [o for o, v in (("--step", args.step), ("--settle", args.settle),
                              ("--precision", args.precision),
                              ("--search-time", args.search_time)) if v is not None]
    if not args.find_max:
        if options:
            raise BadInput(f"{options[0]} is an option of --find-max")
        return
    if not check_list:
        raise BadInput("--find-max needs at least one --check: a step passes when all are met")
    if args.rate is None:
        raise BadInput("--find-max needs --rate: the rate of its first step")
    taken = [o for o, v in (("--duration", args.duration), ("--count", args.count),
                            ("--stages", args.stages), ("--shape", args.shape),
                            ("--warmup", args.warmup)) if v is not None]
    if taken:
        raise BadInput(f"--find-max runs steps of --step seconds, each settling for --settle: "
                       f"{taken[0]} does not go with it")
    step = findmax.STEP if args.step is None else args.step
    settle = findmax.SETTLE if args.settle is None else args.settle
    if settle >= step:
        raise BadInput(f"--settle {settle:g}: must be shorter than a step ({step:g} s)")


def _search(args: argparse.Namespace, plan: Plan, check_list: list[checks.Check],
            signals: Signals) -> _Ran:
    """The steps of --find-max, each a run of its own (over the worker
    processes or the cluster too): what the judged steps recorded, taken
    together, the result, the signal that ended the search, the workers
    lost and the start."""
    from . import run as runner
    from . import spread
    from .stats import merge_recorded

    def step(p: Plan) -> findmax.StepRun:
        if args.dask is not None:
            done = spread.run_dask(cluster, target, p, signals)
        elif args.processes is not None:
            done = spread.run_processes(target, p, args.processes, signals)
        else:
            out = runner.execute(p, signals)
            return findmax.StepRun(out.recorded, out.started, out.signal)
        return findmax.StepRun(done.recorded, done.start_at, signals.received, done.lost)

    target = _target(args)
    started = time.time()
    try:
        if args.dask is not None:
            with signals.interruptible():
                cluster = spread.start_dask(args.dask, target)
        with cluster if args.dask is not None else contextlib.nullcontext():
            found, parts, cut = findmax.search(
                plan, check_list, step, say,
                **{name: value for name, value in (
                    ("step", args.step), ("settle", args.settle), ("precision", args.precision),
                    ("search_time", args.search_time)) if value is not None})
    except (spread.DaskUnavailable, spread.DaskRefused) as err:
        raise BadInput(str(err)) from None
    caught, lost = None, []
    if cut is not None:
        caught, lost = cut.signal, list(cut.lost)
        if cut.recorded is not None:
            parts.append(cut.recorded)  # what ran of the step cut short, unjudged
    return _Ran(plan, merge_recorded(parts) if parts else None, caught, started,
                workers=plan.workers, lost=lost, found=found)


def _steered(steered: Sequence[Steered]) -> tuple[list[StageFigures], str | None]:
    """The figures of the stages of a steered run's shares, and the shape's
    failure, if it failed."""
    from .levels import stage_figures

    stages = stage_figures(steered) if any(s["stages"] for s in steered) else []
    errors = [s["error"] for s in steered if s["error"] is not None]
    if len(errors) > 1:
        more = len(errors) - 1
        errors[0] += f"\n(and in {more} other share{'s' if more > 1 else ''} of the run)"
    return stages, errors[0] if errors else None


def _spread(args: argparse.Namespace, plan: Plan, signals: Signals,
            endpoint: Endpoint | None = None) -> _Ran:
    """The run over worker processes or a Dask cluster: what the workers
    recorded, merged, with a row per worker (None when none returned any), the
    workers lost, the common start, the number of workers started, the end
    of their warm-up and the stages of each worker's steered share."""
    from . import spread

    target = _target(args)

    try:
        if args.dask is not None:
            # Starting or reaching a cluster has nothing worth finishing.
            with signals.interruptible():
                cluster = spread.start_dask(args.dask, target)
            with cluster:
                done = spread.run_dask(cluster, target, plan, signals,
                                       None if endpoint is None else endpoint.watch)
        else:
            done = spread.run_processes(target, plan, args.processes, signals,
                                        None if endpoint is None else endpoint.watch)
    except (spread.DaskUnavailable, spread.DaskRefused) as err:
        raise BadInput(str(err)) from None
    say()
    for line in done.describe():
        say(line)
    return _Ran(plan, done.recorded, signals.received, done.start_at, done.warmup_end,
                plan.workers, done.workers, done.lost, done.steered)


def _merge(argv: Sequence[str], prog: str, signals: Signals) -> int:
    args = merge_parser(prog).parse_args(argv)
    check_list = read_checks(args.check)
    check_outputs(args.stats, args.report)
    try:
        merged = merge([load(path) for path in args.files])
    except StatsError as err:
        raise BadInput(str(err)) from None
    with json_stdout(args.stats) as stdout, signals.interruptible(False):
        say(f"merged {len(args.files)} statistics files")
        status = finish(merged, args, check_list, f"Merged load run ({len(args.files)} files)",
                        stdout, signals)
    return status if signals.received is None else EXIT_SIGNALLED + signals.received


def _end_on_signal(signum: int, frame: FrameType | None) -> None:
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(EXIT_SIGNALLED + signum)


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """The command; `prog` is how it was called (by default read off
    sys.argv[0]), as --help and the messages name it. Called without
    `argv` it is the process's command: a signal outside the command's own
    handling (once it has returned, while the interpreter joins threads and
    runs the exit handlers registered meanwhile) ends the process at once
    with 128 plus the signal's number, as in every phase of the command;
    after those handlers, in the interpreter's last teardown, where no
    Python handler runs any more and the default action would kill the
    process, signals are ignored."""
    if argv is None and threading.current_thread() is threading.main_thread():
        # (the command's own handlers restore these when they are done)
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, _end_on_signal)
        atexit.register(_ignore_signals)  # runs after the handlers registered later
    return _main(sys.argv[1:] if argv is None else argv, prog or program())


def _ignore_signals() -> None:
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_IGN)


def _main(argv: Sequence[str], prog: str) -> int:
    from .run import Interrupted, Signals

    argv = list(argv)
    # Until a run begins, and while its report is drawn, a signal ends the
    # command at once: nothing there is worth finishing.
    with Signals() as signals, signals.interruptible():
        try:
            if argv[:1] == ["merge"]:
                return _merge(argv[1:], prog, signals)
            if argv[:1] == ["compare"]:
                from .compare import command

                return command(argv[1:], prog, signals)
            return _run(argv, prog, signals)
        except BadInput as err:
            print(f"vigil_load: {err}", file=sys.stderr)
            return EXIT_BAD_INPUT
        except Interrupted as stop:
            print(f"vigil_load: interrupted by {signal.Signals(stop.signum).name}; nothing was "
                  f"written", file=sys.stderr)
            return EXIT_SIGNALLED + stop.signum
