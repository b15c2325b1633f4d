"""Live metrics: `--metrics ADDRESS` serves the run's figures while it runs,
in the Prometheus text format (or OpenMetrics, as the scraper asks), through
prometheus_client, for a Prometheus server to scrape.

Nothing is counted twice and nothing is updated as tasks run: at each scrape
a collector turns the run's latest statistics into metric families, so the
counters are the run's own figures and a run nobody scrapes pays nothing.
The figures cover the whole run, its warm-up included: a counter never goes
down, and a warm-up is left out of the figures only at the end.

With --processes and --dask every worker sends the parent its figures once a
second, already cut down to the metrics' buckets and label sets (a few
hundred numbers, whatever the run's length), and the parent serves their
sum. Groups and kinds of failure keep the bounds of the statistics (1,000
groups, 100 kinds, the rest counted under "other"), so a scrape stays small.

Only the serving needs prometheus_client; the figures themselves do not, so
a worker without it still sends them.
"""

from __future__ import annotations

import bisect
import dataclasses
import functools
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final

from .histogram import bucket_value
from .stats import ERROR_KINDS, GROUPS, OTHER

if TYPE_CHECKING:
    from prometheus_client.metrics_core import Metric

    from .shapes import CoreStatistics, HistogramJson, Recorded

HINT: Final = 'pip install "threads-main[metrics]"'
DEFAULT_HOST: Final = "127.0.0.1"
RATE_SECONDS: Final = 5  # the achieved rate: starts a second over this many whole seconds
SEND_EVERY: Final = 1.0  # seconds between two figures a worker sends its parent
# A reading of a long run's statistics costs what its history costs: readings
# come at most so often that they take this share of the time.
MOST_COST: Final = 0.05


def _bounds() -> tuple[int, ...]:
    # Ten a decade from 0.1 ms, up to 60 s: a server's percentile is then
    # within a quarter of the value, for as few series as that allows.
    steps = (100, 125, 160, 200, 250, 315, 400, 500, 630, 800)
    every = [s * 10 ** e for e in range(6) for s in steps]
    return (*(b for b in every if b < 60_000_000), 60_000_000)


BOUNDS_US: Final = _bounds()  # the histograms' upper bounds (le), microseconds

COUNTERS: Final = (
    ("finished", "Runs that finished, succeeded or failed."),
    ("succeeded", "Runs that finished without failing."),
    ("failed", "Runs that raised, returned the break result or timed out."),
    ("stopped", "Runs stopped while running (the run's end, Ctrl-C, SIGTERM)."),
    ("cancelled", "Runs withdrawn before they started."),
    ("late_starts", "Starts made over 10 ms after their slot under --rate."),
)


@functools.cache
def _slot(index: int) -> int:
    """The metric bucket of a histogram bucket: the first bound at or above
    the value the run's own percentiles report for it, so that a server's
    percentile falls in the bucket that holds the run's."""
    return bisect.bisect_left(BOUNDS_US, bucket_value(index))


@dataclass
class Buckets:
    """A histogram cut down to BOUNDS_US: counts per bucket (not cumulative;
    the last one above every bound) and the sum in microseconds."""

    counts: list[int] = field(default_factory=lambda: [0] * (len(BOUNDS_US) + 1))
    total_us: int = 0

    @classmethod
    def of(cls, h: HistogramJson) -> Buckets:
        out = cls(total_us=h["sum"])
        for index, n in h["buckets"]:
            out.counts[_slot(index)] += n
        return out

    def add(self, other: Buckets) -> None:
        self.counts = [a + b for a, b in zip(self.counts, other.counts, strict=True)]
        self.total_us += other.total_us


def _bounded(rows: Mapping[str, Sequence[int]], limit: int) -> dict[str, list[int]]:
    """As merging statistics bounds groups and kinds: the `limit` rows with
    the largest first column are kept, the rest add up under OTHER."""
    ranked = sorted((n for n in rows if n != OTHER), key=lambda n: (-rows[n][0], n))
    out = {n: list(rows[n]) for n in ranked[:limit]}
    rest = [rows[n] for n in ranked[limit:]] + ([rows[OTHER]] if OTHER in rows else [])
    if rest:
        out[OTHER] = [sum(column) for column in zip(*rest, strict=True)]
    return out


@dataclass
class Figures:
    """What a scrape shows: sums over processes and cleared periods add up."""

    counts: dict[str, int] = field(default_factory=lambda: {k: 0 for k, _ in COUNTERS})
    queued: int = 0
    running: int = 0
    workers: int = 0
    rate: float = 0.0  # runs started a second, over the last RATE_SECONDS whole seconds
    groups: dict[str, list[int]] = field(default_factory=dict)  # [finished, failed]
    kinds: dict[str, int] = field(default_factory=dict)  # failed runs by kind of failure
    run_time: Buckets = field(default_factory=Buckets)
    latency: Buckets = field(default_factory=Buckets)

    @staticmethod
    def add(parts: Iterable[Figures]) -> Figures:
        out = Figures()
        groups: dict[str, list[int]] = {}
        kinds: dict[str, list[int]] = {}
        for p in parts:
            for key in out.counts:
                out.counts[key] += p.counts[key]
            out.queued += p.queued
            out.running += p.running
            out.workers += p.workers
            out.rate += p.rate
            for name, (finished, failed) in p.groups.items():
                have = groups.setdefault(name, [0, 0])
                have[0] += finished
                have[1] += failed
            for kind, n in p.kinds.items():
                kinds.setdefault(kind, [0])[0] += n
            out.run_time.add(p.run_time)
            out.latency.add(p.latency)
        out.groups = _bounded(groups, GROUPS)
        out.kinds = {kind: n for kind, (n,) in _bounded(kinds, ERROR_KINDS).items()}
        return out

    def to_wire(self) -> dict[str, Any]:
        """Plain lists and dicts, for a pipe or a Dask event."""
        return dataclasses.asdict(self)

    @classmethod
    def from_wire(cls, data: Mapping[str, Any]) -> Figures:
        return cls(**{**data, "run_time": Buckets(**data["run_time"]),
                      "latency": Buckets(**data["latency"]),
                      "groups": {n: list(g) for n, g in data["groups"].items()}})


def figures_of(stats: CoreStatistics | Recorded, now: float) -> Figures:
    """The figures of one statistics snapshot (or of part of a run, whose
    history may hold only its last rows) at the epoch time `now`."""
    counts = {key: stats[key] for key in ("finished", "succeeded", "failed", "stopped",
                                          "cancelled", "late_starts")}
    kinds: dict[str, int] = {}
    for e in stats["errors"]:
        kinds[e["kind"]] = kinds.get(e["kind"], 0) + e["count"]
    # Whole seconds only: the current one is still filling.
    second, started = int(now), 0
    for row in reversed(stats["history"]):
        if row["time"] < second - RATE_SECONDS:
            break
        if row["time"] < second:
            started += row["started"]
    hists = stats["histograms"]
    return Figures(counts=counts, queued=stats["queued"], running=stats["running"],
                   rate=started / RATE_SECONDS,
                   groups={n: [g["finished"], g["failed"]] for n, g in stats["groups"].items()},
                   kinds=kinds, run_time=Buckets.of(hists["run_time"]),
                   latency=Buckets.of(hists["latency"]))


def reader(pieces: Callable[[], Sequence[CoreStatistics | Recorded]],
           workers: int | None) -> Callable[[], Figures]:
    """The figures of a run read from the parts that add up to it (the
    cleared periods and the current one) and its number of workers."""
    def read() -> Figures:
        now = time.time()
        total = Figures.add(figures_of(p, now) for p in pieces())
        total.workers = workers or 0
        return total
    return read


class Reading:
    """`read`, called at most so often that it takes MOST_COST of the time;
    between two calls the last figures are served again."""

    def __init__(self, read: Callable[[], Figures]) -> None:
        self._read = read
        self._lock = threading.Lock()
        self._last: Figures | None = None
        self._fresh_until = 0.0

    def __call__(self) -> Figures:
        with self._lock:
            began = time.monotonic()
            if self._last is None or began >= self._fresh_until:
                self._last = self._read()
                ended = time.monotonic()
                self._fresh_until = ended + (ended - began) / MOST_COST
            return self._last


class Sender:
    """A worker's figures to its parent: every SEND_EVERY seconds from its own
    thread once the run is observed, and once more at the end (`last`)."""

    def __init__(self, send: Callable[[dict[str, Any]], None]) -> None:
        self.send = send
        self.read: Callable[[], Figures] | None = None
        self._done = threading.Event()
        self._thread: threading.Thread | None = None

    def observe(self, pieces: Callable[[], Sequence[CoreStatistics | Recorded]], workers: int | None) -> None:
        self.read = reader(pieces, workers)
        self._thread = threading.Thread(target=self._run, args=(Reading(self.read),),
                                        daemon=True, name="vigil-load-figures")
        self._thread.start()

    def _run(self, reading: Reading) -> None:
        while not self._done.wait(SEND_EVERY):
            self.send(reading().to_wire())

    def last(self) -> dict[str, Any] | None:
        """Stops the sending; the final figures, read afresh."""
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        return None if self.read is None else self.read().to_wire()


# -- serving ---------------------------------------------------------------------------

class MetricsRefused(ValueError):
    """--metrics cannot be served: no prometheus_client, a bad address, or
    one this process cannot listen on."""


def parse_address(text: str) -> tuple[str, int]:
    """HOST:PORT, [IPV6]:PORT, :PORT or PORT; the host is loopback unless
    named."""
    host, sep, port = text.rpartition(":")
    if not sep:
        host, port = "", text
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"needs HOST:PORT with a port from 0 to 65535, got {text!r}")
    return host or DEFAULT_HOST, int(port)


def _families(f: Figures, target_rate: float | None) -> Iterator[Metric]:
    from prometheus_client.core import (
        CounterMetricFamily,
        GaugeMetricFamily,
        HistogramMetricFamily,
    )
    for key, text in COUNTERS:
        yield CounterMetricFamily(f"vigil_{key}", text, value=f.counts[key])
    for column, key in ((0, "finished"), (1, "failed")):
        by_group = CounterMetricFamily(f"vigil_{key}_by_group", f"Runs {key}, by the value of "
                                       f"the --group-by argument.", labels=["group"])
        for name in sorted(f.groups):
            by_group.add_metric([name], f.groups[name][column])
        yield by_group
    by_kind = CounterMetricFamily("vigil_failed_by_kind", "Failed runs, by the exception's "
                                  "type (or \"break result\", \"other\").", labels=["kind"])
    for kind in sorted(f.kinds):
        by_kind.add_metric([kind], f.kinds[kind])
    yield by_kind
    for name, value, text in (
            ("queued", f.queued, "Calls waiting for a worker."),
            ("running", f.running, "Calls running."),
            ("workers", f.workers, "Calls that may run at once (over every process)."),
            ("achieved_rate", f.rate,
             f"Runs started a second over the last {RATE_SECONDS} whole seconds.")):
        yield GaugeMetricFamily(f"vigil_{name}", text, value=value)
    if target_rate is not None:
        yield GaugeMetricFamily("vigil_target_rate", "Runs to start a second (--rate).",
                                value=target_rate)
    for name, b, text in (("run_time", f.run_time, "Run time of the finished runs."),
                          ("latency", f.latency,
                           "End of a run minus its intended start (under --rate its slot; "
                           "else its start).")):
        seen, buckets = 0, []
        for bound, n in zip(BOUNDS_US, b.counts, strict=False):
            seen += n
            buckets.append((str(bound / 1e6), float(seen)))  # 0.0001 ... 60.0
        buckets.append(("+Inf", float(seen + b.counts[-1])))
        yield HistogramMetricFamily(f"vigil_{name}_seconds", text, buckets=buckets,
                                    sum_value=b.total_us / 1e6)


class Endpoint:
    """The metrics served on ADDRESS from the moment it is made (a port in
    use refuses the run before it starts) until it is closed. What it serves
    is set by `observe` (one process) or `watch` (a parent's sum)."""

    def __init__(self, address: str, target_rate: float | None) -> None:
        try:
            from prometheus_client import CollectorRegistry, start_http_server
        except ImportError:
            raise MetricsRefused(f"--metrics needs the package prometheus_client: {HINT}") from None
        try:
            host, port = parse_address(address)
        except ValueError as err:
            raise MetricsRefused(f"--metrics {err}") from None
        self.target_rate = target_rate
        self._source: Callable[[], Figures] = Figures
        registry = CollectorRegistry()
        registry.register(self)
        try:
            self._server, self._thread = start_http_server(port, host, registry)
        except OSError as err:
            raise MetricsRefused(f"--metrics {address}: cannot listen there: "
                                 f"{err.strerror or err}") from None
        host, port = self._server.socket.getsockname()[:2]  # the port chosen for port 0
        self.url = f"http://{f'[{host}]' if ':' in host else host}:{port}/metrics"

    def collect(self) -> Iterator[Metric]:
        return _families(self._source(), self.target_rate)

    def watch(self, read: Callable[[], Figures]) -> None:
        # Said once the run has been accepted: bad input stays one line.
        print(f"vigil_load: metrics at {self.url}", file=sys.stderr, flush=True)
        self._source = Reading(read)

    def observe(self, pieces: Callable[[], Sequence[CoreStatistics | Recorded]], workers: int | None) -> None:
        self.watch(reader(pieces, workers))

    def linger(self, seconds: float, stopped: Callable[[], bool]) -> None:
        """Keeps serving for `seconds` (a last scrape's time) unless stopped."""
        until = time.monotonic() + seconds
        while not stopped() and (left := until - time.monotonic()) > 0:
            time.sleep(min(left, 0.05))

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def __enter__(self) -> Endpoint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
