"""Helpers of the vigil_load tests: statistics built from known values, and
the command line run in a child process (conftest.vigil_main runs it in this
one)."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import urllib.request
from collections.abc import Mapping
from typing import TYPE_CHECKING

import threads_main
import vigil_load
from vigil_load.histogram import Histogram

if TYPE_CHECKING:
    from vigil_load.shapes import (
        CoreStatistics,
        ErrorKind,
        Group,
        Histograms,
        HistoryRow,
        Latency,
        RecordedGroup,
        Statistics,
    )

START = 1_700_000_000  # epoch seconds of the first history row of built stats


def summary(values_us: list[int]) -> Latency:
    """The summary the core gives runs of these times (whole microseconds)."""
    return make_stats(values_us)["run_time"]


def _second(values_us: list[int]) -> dict[str, float | None]:
    s = summary(values_us)
    return {k: s[k] for k in ("p50", "p95", "p99", "max")}


def row(t: int, times_us: list[int] | None = None, *, failed: int = 0, started: int | None = None,
        queued: int = 0, running: int = 0, latency_us: list[int] | None = None,
        by_group: dict[str, int] | None = None) -> HistoryRow:
    """A history row of second START + t in which runs of the given run
    times (and latencies, by default the same) finished, and runs of the
    groups in `by_group` failed."""
    times_us = times_us or []
    return {
        "time": START + t, "finished": len(times_us), "failed": failed,
        "started": len(times_us) if started is None else started,
        "queued": queued, "running": running,
        "run_time": _second(times_us),  # type: ignore[typeddict-item]
        "latency": _second(times_us if latency_us is None else latency_us),  # type: ignore[typeddict-item]
        "failed_by_group": by_group or {},
    }


def error(kind: str, count: int, message: str = "", first: float | None = START + 1.0,
          last: float | None = None, example: str | None = None) -> ErrorKind:
    """A kind of failure; its first and last failure at epoch seconds, its
    example by default the message."""
    return {"kind": kind, "message": message, "example": message if example is None else example,
            "count": count, "first": first, "last": first if last is None else last}


def make_group(run_us: list[int], latency_us: list[int] | None = None, *, failed: int = 0,
               errors: list[ErrorKind] | None = None, first_start: float | None = START + 0.25,
               last_finish: float | None = START + 1.25) -> Group:
    """A group as the core reports it."""
    group: RecordedGroup = {
        "finished": len(run_us), "succeeded": len(run_us) - failed, "failed": failed,
        "first_start": first_start, "last_finish": last_finish, "errors": errors or [],
        "histograms": {"run_time": Histogram.from_values(run_us).to_json(),
                       "latency": Histogram.from_values(
                           run_us if latency_us is None else latency_us).to_json()}}
    return make_stats([], groups={"g": group})["groups"]["g"]


def make_stats(run_us: list[int], wait_us: list[int] | None = None, *, failed: int = 0,
               stopped: int = 0, cancelled: int = 0, queued: int = 0, running: int = 0,
               history: list[HistoryRow] | None = None,
               first_start: float | None = START + 0.25,
               last_finish: float | None = None, latency_us: list[int] | None = None,
               late_starts: int = 0, errors: list[ErrorKind] | None = None,
               groups: Mapping[str, Group | RecordedGroup] | None = None,
               histograms: Histograms | None = None) -> CoreStatistics:
    """Statistics as the core reports them for runs of the given run times,
    queue waits and latencies (whole microseconds; both by default the run
    times), or of the given histograms."""
    wait_us = list(run_us) if wait_us is None else wait_us
    latency_us = list(run_us) if latency_us is None else latency_us
    finished = len(run_us) if histograms is None else histograms["run_time"]["count"]
    if last_finish is None and first_start is not None:
        last_finish = first_start + max(1.0, len(history or []))
    return threads_main._summarise({
        "finished": finished, "succeeded": finished - failed, "failed": failed,
        "stopped": stopped, "cancelled": cancelled, "queued": queued, "running": running,
        "first_start": first_start, "last_finish": last_finish, "late_starts": late_starts,
        "errors": errors or [], "groups": dict(groups or {}),  # type: ignore[dict-item]
        "history": history or [],
        "histograms": histograms or {
            "run_time": Histogram.from_values(run_us).to_json(),
            "queue_wait": Histogram.from_values(wait_us).to_json(),
            "latency": Histogram.from_values(latency_us).to_json()}})


def scrape(url: str) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """The samples of one scrape of a metrics endpoint, by name and labels."""
    from prometheus_client.parser import text_string_to_metric_families

    with urllib.request.urlopen(url, timeout=30) as answer:
        text = answer.read().decode()
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def scraped_counts(url: str, want: Mapping[tuple[str, tuple[tuple[str, str], ...]], float],
                   ) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """The samples of a scrape with the names in `want` (of histogram buckets
    those in `want` only), to compare with it."""
    names = {name for name, _ in want}
    return {k: v for k, v in scrape(url).items()
            if k[0] in names and (k in want or not k[0].endswith("_bucket"))}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def counted(stats: Statistics) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """The counters, labelled counters and histogram counts a scrape at the
    end of a run must show, read off its stats file."""
    out = {(f"vigil_{key}_total", ()): float(stats[key])
           for key in ("finished", "succeeded", "failed", "stopped", "cancelled", "late_starts")}
    for name, g in stats["groups"].items():
        for key in ("finished", "failed"):
            out[(f"vigil_{key}_by_group_total", (("group", name),))] = float(g[key])
    for e in stats["errors"]:
        where = ("vigil_failed_by_kind_total", (("kind", e["kind"]),))
        out[where] = out.get(where, 0.0) + e["count"]
    for h in ("run_time", "latency"):
        count = float(stats["histograms"][h]["count"])
        out[(f"vigil_{h}_seconds_count", ())] = count
        out[(f"vigil_{h}_seconds_bucket", (("le", "+Inf"),))] = count
    return out


def child_env(**extra: str) -> dict[str, str]:
    """The environment of a child process that finds the same threads_main and
    vigil_load as this one, however they were installed."""
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(vigil_load.__file__))),
             os.path.dirname(os.path.abspath(threads_main.__file__))]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(
        os.pathsep) if p])
    env["PYTHONUNBUFFERED"] = "1"
    env.update(extra)
    return env


def run_cli(args: list[str], cwd: str | os.PathLike[str]) -> subprocess.CompletedProcess[str]:
    """The command line in a child, through its real entry point (the bound
    is for a child that never ends: one under the sanitizers, on a loaded
    machine, takes its time)."""
    return subprocess.run([sys.executable, "-m", "vigil_load", *args], cwd=cwd, env=child_env(),
                          capture_output=True, text=True, timeout=300)


TARGET = '''
import itertools, os, time

HERE = os.path.dirname(os.path.abspath(__file__))

def _mark():
    # Proof that a task ran: bad input must stop the command before this.
    with open(os.path.join(HERE, "called"), "a") as f:
        f.write("x\\n")

def work(ms=0, fail=False, result="ok"):
    _mark()
    time.sleep(ms / 1000)
    if fail:
        raise RuntimeError("planned failure")
    return result

_CALLS = itertools.count(1)


def cold_start(ms=5):
    # The first four calls take a second and fail: a warm-up to leave out.
    _mark()
    if next(_CALLS) <= 4:
        time.sleep(1.0)
        raise RuntimeError("cold")
    time.sleep(ms / 1000)
    return "ok"

def spin(ms=0):
    # Python code all along, so that a stop or a time-out ends it at once.
    _mark()
    end = time.monotonic() + ms / 1000
    while time.monotonic() < end:
        time.sleep(0.005)
    return "ok"

def stuck():
    _mark()
    time.sleep(3600)  # one native call: a stop cannot reach it

class Jobs:
    @staticmethod
    def quick():
        _mark()
        return "ok"

NOT_CALLABLE = 42
'''
