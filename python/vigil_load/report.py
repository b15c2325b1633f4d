"""The HTML report: one self-contained file with the summary table and the
charts drawn as inline SVG, so it opens offline in any browser and needs no
script.

The charts need matplotlib and the page Jinja2 (both of the optional extra
"report"); they are imported only when a report is written, never by
`import vigil_load`.
"""

from __future__ import annotations

import bisect
import functools
import heapq
import importlib
import io
import itertools
import math
import re
import time
from collections.abc import Container, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Final

from .files import write_atomic
from .histogram import Histogram, bucket_bounds
from .shapes import LATENCY_KEYS, SECOND_KEYS, PercentileKey, RowCountKey
from .stats import OTHER, union
from .table import (
    GROUP_COLUMNS,
    PROCESS_COLUMNS,
    STAGE_COLUMNS,
    STEP_COLUMNS,
    clock,
    error_line,
    group_rows,
    latency_rows,
    marks,
    overview,
    process_rows,
    stage_rows,
    step_rows,
    warmups,
)

if TYPE_CHECKING:
    import jinja2
    from markupsafe import Markup
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .shapes import HistoryRow, Statistics

INSTALL_HINT: Final = "pip install 'threads-main[report]'"
MAX_POINTS: Final = 720  # per line; a 24 h history is drawn in 2-minute steps
DISTRIBUTION_BINS: Final = 90
GROUP_LINES: Final = 8  # groups drawn on their own in the failures by group; the rest as one
# The groups' lines: distinct colours, and dashes too so that lines drawn on
# top of each other still show.
GROUP_COLOURS: Final = ("#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
                        "#e377c2", "#17becf", "#7f7f7f")
GROUP_DASHES: Final = ("-", "--", "-.", ":")

COLOURS: Final = {
    "finished": "#1f77b4", "failed": "#d62728", "started": "#bcbd22",
    "p50": "#2ca02c", "p95": "#ff7f0e", "p99": "#9467bd", "max": "#8c564b",
    "queued": "#17becf", "running": "#e377c2",
    "failures": "#d62728",
    "warm-up": "#fbe7a1",  # the warm-up's band behind the time charts
    "gap": "#e8e8e8",  # a stretch without runs, left out of the time charts
    "mark": "#555555",  # the start of a stage or a search's step
}
# The headings of the tables, each its own colour: the failures', the
# groups' and the settings'.
TABLE_COLOURS: Final = {"failures": "#f6d5d5", "groups": "#d5e5f6", "processes": "#dcefd9",
                        "settings": "#e4e4e4", "base": "#dcefd5", "stages": "#efe3f6"}


class ReportUnavailable(ImportError):
    """A library of the "report" extra (matplotlib, Jinja2) is not installed."""


# -- the history, brought down to a size worth drawing ------------------------

@dataclass
class Series:
    """The history resampled into steps of `step` seconds.

    Rows exist only for seconds in which work was queued or running, so a
    missing second counts as nothing finished. Rates are per-second means over
    a step; "failures" is the count in a step, so that a single failure
    shows; queued and running are the mean of the rows present; run-time and
    latency percentiles ("latency.p50", ...) are the largest per-second
    value in a step (an upper bound, as when histories are merged).

    A stretch without rows in which no run was active (runs made apart and
    merged) is left out: it takes one step of the chart, with no values, so
    the chart costs what the rows do and not what the clock between them
    spans. `pieces` are the stretches drawn, (chart x, first epoch second,
    seconds), and `gaps` those left out, (chart x, seconds)."""

    start: int = 0
    step: int = 1
    x: list[float] = field(default_factory=list)  # chart seconds of each step's start
    values: dict[str, list[float]] = field(default_factory=dict)
    pieces: list[tuple[float, int, int]] = field(default_factory=list)
    gaps: list[tuple[float, int]] = field(default_factory=list)

    def at(self, epoch: float) -> float:
        """The chart x of an epoch time; a time within a gap falls at the
        gap's start."""
        if not self.pieces:
            return 0.0
        i = max(0, bisect.bisect_right([p[1] for p in self.pieces], epoch) - 1)
        x, first, length = self.pieces[i]
        if i < len(self.pieces) - 1:
            return x + min(epoch - first, length)
        return x + (epoch - first)

    def epoch(self, x: float) -> float | None:
        """The epoch time at chart x; None within a gap."""
        if not self.pieces:
            return None
        i = max(0, bisect.bisect_right([p[0] for p in self.pieces], x) - 1)
        left, first, length = self.pieces[i]
        if i < len(self.pieces) - 1 and x - left >= length:
            return None
        return first + (x - left)


_SUMMED: Final[tuple[RowCountKey, ...]] = ("finished", "failed", "started", "queued", "running")
GAP_SECONDS: Final = 60  # a stretch of this long without rows and runs is left out...
GAPS: Final = 20  # ...the longest this many of them; shorter ones are drawn to scale


def _pieces(times: Sequence[int], active: Sequence[Sequence[float]]) -> list[tuple[int, int]]:
    """(first epoch second, seconds) of the stretches worth drawing: the
    seconds from the first row to the last, less the longest gaps between
    rows that no active span covers."""
    spans = union(active)
    starts = [s for s, _ in spans]

    def covered(first: int, end: int) -> bool:
        i = bisect.bisect_right(starts, first) - 1
        return i >= 0 and spans[i][1] >= end

    found = [(b - a - 1, a, b) for a, b in itertools.pairwise(times)
             if b - a - 1 >= GAP_SECONDS and not covered(a + 1, b)]
    cuts = sorted((a, b) for _, a, b in heapq.nlargest(GAPS, found))
    pieces, first = [], times[0]
    for a, b in cuts:
        pieces.append((first, a + 1 - first))
        first = b
    pieces.append((first, times[-1] + 1 - first))
    return pieces


def resample(history: Sequence[HistoryRow], max_points: int = MAX_POINTS,
             active: Sequence[Sequence[float]] = ()) -> Series:
    """The history in at most about `max_points` steps; `active` are the
    spans (epoch seconds) in which a run was active, whose quiet stretches
    are drawn to scale."""
    if not history:
        return Series()
    times = sorted({r["time"] for r in history})
    pieces = _pieces(times, active)
    gaps = len(pieces) - 1
    drawn = sum(length for _, length in pieces)
    # Each gap takes a step and may round a piece up by one.
    step = max(1, math.ceil(drawn / max(1, max_points - 2 * gaps)))
    s = Series(start=times[0], step=step)
    firsts, offsets, x = [], [], 0
    nbins = 0
    for n, (first, length) in enumerate(pieces):
        firsts.append(first)
        offsets.append(nbins)
        s.pieces.append((float(x), first, length))
        count = (length - 1) // step + 1
        nbins += count
        x += count * step
        if n < gaps:
            s.gaps.append((float(x), pieces[n + 1][0] - (first + length)))
            nbins += 1
            x += step
    sums = {k: [0.0] * nbins for k in _SUMMED}
    present = [0] * nbins
    tops: dict[str, list[float]] = {f"{prefix}{k}": [math.nan] * nbins
                                    for prefix in ("", "latency.") for k in SECOND_KEYS}
    for row in history:
        i = bisect.bisect_right(firsts, row["time"]) - 1
        b = offsets[i] + (row["time"] - firsts[i]) // step
        present[b] += 1
        for k in _SUMMED:
            sums[k][b] += row[k]
        for part, prefix in (("run_time", ""), ("latency", "latency.")):
            for name in SECOND_KEYS:
                v, col = row[part][name], tops[prefix + name]  # type: ignore[literal-required]
                if v is not None and not (col[b] >= v):  # nan compares false
                    col[b] = float(v)
    s.x = [float(b * step) for b in range(nbins)]
    for k in ("finished", "failed", "started"):
        s.values[k] = [v / step for v in sums[k]]
    s.values["failures"] = sums["failed"]
    for k in ("queued", "running"):
        s.values[k] = [v / n if n else 0.0 for v, n in zip(sums[k], present, strict=False)]
    s.values.update(tops)
    for gx, _ in s.gaps:  # a gap has no values: the lines break there
        b = int(gx) // step
        for col in s.values.values():
            col[b] = math.nan
    return s


def group_failures(history: Sequence[HistoryRow], series: Series,
                   most: int = GROUP_LINES) -> dict[str, list[float]]:
    """Failed runs in each step of `series` by group: the `most` groups with
    the most failures (ties by name) each on its own, the rest summed under
    "other" (with the group of that name); none when no group failed."""
    totals: dict[str, int] = {}
    for row in history:
        for name, failed in row["failed_by_group"].items():
            totals[name] = totals.get(name, 0) + failed
    ranked = sorted(totals, key=lambda n: (-totals[n], n))
    if len(ranked) > most + 1:
        lines = {name: name for name in ranked[:most] if name != OTHER}
    else:
        lines = {name: name for name in ranked}
    out = {name: [0.0] * len(series.x) for name in [*lines.values(), *(
        [OTHER] if len(lines) < len(ranked) else [])]}
    for row in history:
        b = min(int(series.at(row["time"]) // series.step), len(series.x) - 1)
        for name, failed in row["failed_by_group"].items():
            out[lines.get(name, OTHER)][b] += failed
    return out


def distribution(hist: Histogram, bins: int = DISTRIBUTION_BINS) -> tuple[list[float], list[int]]:
    """Bin edges in ms (log-spaced from min to max) and the runs in each bin,
    each histogram bucket counted in the bin of its lower bound."""
    if hist.count == 0 or hist.min is None or hist.max is None:
        return [], []
    lo = max(hist.min, 1)
    hi = max(hist.max + 1, lo * 2)
    ratio = (hi / lo) ** (1 / bins)
    edges = [lo * ratio**i for i in range(bins + 1)]
    counts = [0] * bins
    for index, n in hist.buckets():
        b = bisect.bisect_right(edges, bucket_bounds(index)[0]) - 1
        counts[min(max(b, 0), bins - 1)] += n
    return [e / 1000.0 for e in edges], counts


# -- drawing -------------------------------------------------------------------

def _time_axis(span: float) -> tuple[float, str]:
    if span <= 300:
        return 1.0, "s"
    if span <= 3 * 3600:
        return 60.0, "min"
    if span <= 3 * 86400:
        return 3600.0, "h"
    return 86400.0, "d"


_DAY: Final = 86400
_TICK_STEPS: Final = (1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800,
                      21600, 43200, _DAY, 2 * _DAY, 7 * _DAY, 14 * _DAY, 28 * _DAY, 91 * _DAY,
                      182 * _DAY, 365 * _DAY)


def _tick_step(drawn: float) -> int:
    """About eight ticks over `drawn` seconds; whole years, 1-2-5 times a
    power of ten, beyond the steps listed."""
    for t in _TICK_STEPS:
        if drawn / t <= 8:
            return t
    years = drawn / 8 / (365 * _DAY)  # above 1 here
    power: int = 10 ** int(math.log10(years))
    return next(m * power for m in (1, 2, 5, 10) if m * power >= years) * 365 * _DAY


def _clock_ticks(ax: Axes, series: Series, end: float) -> str:
    """Ticks every few seconds, minutes, hours or days from the start of
    each piece, each labelled with the clock time (UTC) and the offset from
    the first second (the date, when gaps are left out); the axis label."""
    from matplotlib.ticker import FixedLocator, FuncFormatter

    drawn = sum(length for _, _, length in series.pieces)
    step = _tick_step(drawn)
    scale, unit = _time_axis(drawn)
    clock = "%H:%M:%S" if step < 60 else "%H:%M" if step < _DAY else "%Y-%m-%d"
    gaps = bool(series.gaps)

    def label(x: float, _pos: int | None = None) -> str:
        at = series.epoch(x)
        if at is None:
            return ""
        below = (time.strftime("%Y-%m-%d", time.gmtime(at)) if gaps
                 else f"+{(at - series.start) / scale:g} {unit}")
        return f"{time.strftime(clock, time.gmtime(at))}\n{below}"

    ticks = [x + k * step for x, _, length in series.pieces
             for k in range(max(1, math.ceil(length / step)))]
    ax.xaxis.set_major_locator(FixedLocator([t for t in ticks if t <= end]))
    ax.xaxis.set_major_formatter(FuncFormatter(label))
    if gaps:
        return (f"clock time (UTC) and date; {len(series.gaps)} stretch"
                f"{'es' if len(series.gaps) > 1 else ''} with no run active left out (shaded)")
    day = time.strftime("%Y-%m-%d", time.gmtime(series.start))
    return f"clock time (UTC, {day}) and time since the first second"


def _how_long(seconds: float) -> str:
    for size, unit in ((365 * _DAY, "years"), (_DAY, "days"), (3600, "h"), (60, "min")):
        if seconds >= 2 * size:
            return f"{seconds / size:.3g} {unit}"
    return f"{seconds:g} s"


# The page's charts are laid out by fixed margins in inches: a layout engine
# (constrained layout) measures every text several times over and costs
# several times what the drawing does.
WIDTH_IN: Final = 9.0
PANEL_IN: Final = 1.7  # the plot of one panel
LEFT_IN: Final = 0.85  # the y tick labels and the axis label
RIGHT_IN: Final = 0.2
TITLE_IN: Final = 0.32
LEGEND_ROW_IN: Final = 0.22  # a row of a legend, above its panel
GAP_IN: Final = 0.1
BOTTOM_IN: Final = 0.78  # two lines of tick labels and the axis label
LEGEND_COLUMNS: Final = 5
LABEL_CHARS: Final = 40  # a longer label (a group's name) is cut in the legend


def _legend_rows(entries: int) -> int:
    return math.ceil(entries / LEGEND_COLUMNS) if entries else 0


def _figure(title: str, legends: Sequence[int] = (0,)) -> tuple[Figure, list[Axes]]:
    """A chart of panels one above the other, sharing their x axis; each
    has room above it for a legend of `legends[i]` entries."""
    from matplotlib.figure import Figure

    above = [_legend_rows(n) * LEGEND_ROW_IN + GAP_IN for n in legends]
    height = TITLE_IN + sum(above) + PANEL_IN * len(legends) + BOTTOM_IN
    fig = Figure(figsize=(WIDTH_IN, height), dpi=96)
    fig.text(LEFT_IN / WIDTH_IN, 1 - 0.08 / height, title, ha="left", va="top", fontsize=11)
    axes: list[Axes] = []
    top = height - TITLE_IN
    for room in above:
        top -= room + PANEL_IN
        ax = fig.add_axes((LEFT_IN / WIDTH_IN, top / height,
                           (WIDTH_IN - LEFT_IN - RIGHT_IN) / WIDTH_IN, PANEL_IN / height),
                          sharex=axes[0] if axes else None)
        ax.grid(True, color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
        if axes:
            axes[-1].tick_params(labelbottom=False)
        axes.append(ax)
    return fig, axes


def _no_data(ax: Axes, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes,
            color="#666666", fontsize=12)
    ax.set_xticks([])
    ax.set_yticks([])


def _legend(ax: Axes, count: int, reverse: bool = False) -> None:
    # Above the plot, right-aligned, in the room its panel was given: never
    # on top of the lines. `reverse` lists the lines in the opposite order of
    # their drawing (a band, such as the warm-up's, stays first).
    from matplotlib.lines import Line2D

    handles, labels = ax.get_legend_handles_labels()
    if reverse:
        bands = sum(1 for h in handles if not isinstance(h, Line2D))
        handles = handles[:bands] + handles[bands:][::-1]
        labels = labels[:bands] + labels[bands:][::-1]
    ax.legend(handles, labels, loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize=9,
              frameon=False, ncols=min(count, LEGEND_COLUMNS), borderaxespad=0.2,
              handlelength=2.6)


_ID_REF: Final = re.compile(r'(\bid="|url\(#|href="#)([^")]+)')


def _svg(fig: Figure, name: str) -> str:
    import matplotlib

    buf = io.StringIO()
    # Text stays text: a small file, drawn in the browser's own fonts.
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": name}):
        fig.savefig(buf, format="svg", metadata={"Date": None})
    text = buf.getvalue()
    # Every chart numbers its elements from 1; inlined in one page their ids
    # (and the clip paths that refer to them) must not meet.
    return _ID_REF.sub(lambda m: f"{m[1]}{name}-{m[2]}", text[text.index("<svg"):])


@dataclass
class Panel:
    keys: Sequence[str]  # drawn in this order, the last on top
    ylabel: str
    log: bool = False
    # Linear up to 1, logarithmic above: a single failure stands out beside
    # hundreds.
    symlog: bool = False
    # Lines named otherwise than by their key: label, colour and dashes.
    lines: dict[str, tuple[str, str, str]] = field(default_factory=dict)
    reverse_legend: bool = False  # the legend lists the keys last to first


# Lines that often lie on one another (the percentiles of a second, starts
# and finishes) each have a dash pattern and a width of their own, so that
# the one beneath shows through the gaps of the one on top: (dashes, width).
STYLES: Final = {"p50": ("-", 1.6), "p95": ((0, (6, 2)), 1.4), "p99": ((0, (4, 1.5, 1, 1.5)), 1.3),
                 "max": ((0, (1, 1.2)), 1.5), "started": ((0, (5, 2)), 1.3)}


def _colour(key: str) -> str:
    return COLOURS[key.rpartition(".")[2]]


def _style(key: str) -> tuple[str, str, object, float]:
    """Label, colour, dashes and width of a line named by its key."""
    name = key.rpartition(".")[2]
    dashes, width = STYLES.get(name, ("-", 1.3))
    return name, _colour(key), dashes, width


def _drawn(series: Series, panel: Panel) -> list[str]:
    return [k for k in panel.keys if not all(math.isnan(y) for y in series.values[k])]


def _time_chart(series: Series, title: str, note: str, panels: Sequence[Panel],
                salt: str, warm: Sequence[tuple[float, float]] = (),
                marks: Sequence[tuple[float, str]] = ()) -> str:
    if not series.x:
        fig, axes = _figure(title)
        _no_data(axes[0], "no history recorded")
        return _svg(fig, salt)
    drawn = [_drawn(series, panel) for panel in panels]
    legends = [len(keys) + (1 if warm and n == 0 else 0) if keys else 0
               for n, keys in enumerate(drawn)]
    fig, axes = _figure(title, legends)
    end = series.x[-1] + series.step
    # Each value holds for its whole step: drawn as stairs from the step's
    # start, closed at the end of the last step.
    xs = [*series.x, end]
    for n, (ax, panel, keys) in enumerate(zip(axes, panels, drawn, strict=True)):
        for k, (first, last) in enumerate(warm):
            ax.axvspan(series.at(first), series.at(last), color=COLOURS["warm-up"],
                       linewidth=0, label=None if k or n else "warm-up")
        for when, label in marks:  # where each stage or step begins
            x = series.at(when)
            ax.axvline(x, color=COLOURS["mark"], linewidth=0.9, linestyle=":")
            if ax is axes[0]:
                ax.text(x, 1.0, f" {label}", transform=ax.get_xaxis_transform(), ha="left",
                        va="top", fontsize=7, color=COLOURS["mark"])
        for x, seconds in series.gaps:
            ax.axvspan(x, x + series.step, color=COLOURS["gap"], linewidth=0)
            if n == 0:
                ax.text(x + series.step / 2, 0.98, f"{_how_long(seconds)} without runs",
                        transform=ax.get_xaxis_transform(), rotation=90, ha="center",
                        va="top", fontsize=7, color="#666666")
        if not keys:
            _no_data(ax, "nothing to show")
            continue
        for key in keys:
            ys = series.values[key]
            label, colour, dashes, width = (*panel.lines[key], 1.3) if key in panel.lines \
                else _style(key)
            if len(label) > LABEL_CHARS:
                label = label[:LABEL_CHARS - 1] + "\u2026"
            ax.plot(xs, ys + ys[-1:], label=label, color=colour, linestyle=dashes,
                    linewidth=width, drawstyle="steps-post")
        if panel.log:
            from matplotlib.ticker import FuncFormatter

            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(FuncFormatter(_plain))
            ax.yaxis.set_minor_formatter(FuncFormatter(_plain_minor))
        elif panel.symlog:
            from matplotlib.ticker import FuncFormatter

            ax.set_yscale("symlog", linthresh=1.0)
            top = max((v for k in keys for v in series.values[k] if not math.isnan(v)),
                      default=0.0)
            ax.set_ylim(0, max(2.0, top * 1.5))
            ax.yaxis.set_major_formatter(FuncFormatter(_plain))
        else:
            ax.set_ylim(bottom=0)
        ax.set_ylabel(panel.ylabel)
        _legend(ax, legends[n], panel.reverse_legend)
    axes[-1].set_xlim(0, end)
    axes[-1].set_xlabel(_clock_ticks(axes[-1], series, end) + note)
    return _svg(fig, salt)


def _plain(value: float, _pos: int | None = None) -> str:
    return f"{value:g}"


def _plain_minor(value: float, _pos: int | None = None) -> str:
    # Only the 2s and 5s between the powers of ten, or the axis gets crowded.
    digit = round(value / 10 ** math.floor(math.log10(value))) if value > 0 else 0
    return f"{value:g}" if digit in (2, 5) else ""


_MARKED: Final[tuple[PercentileKey, ...]] = ("p50", "p95", "p99")  # drawn on the distribution


def _distribution_chart(stats: Statistics, hist: Histogram) -> str:
    from matplotlib.ticker import FuncFormatter

    edges, counts = distribution(hist)
    marked = [(k, v) for k in _MARKED if (v := stats["run_time"].get(k))]
    fig, (ax,) = _figure("Run time distribution", [len(marked) if counts else 0])
    if not counts:
        _no_data(ax, "no run finished")
        return _svg(fig, "distribution")
    ax.stairs(counts, edges, fill=True, color=COLOURS["finished"], alpha=0.75)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(FuncFormatter(_plain))
    ax.xaxis.set_minor_formatter(FuncFormatter(_plain_minor))
    ax.set_xlabel("run time (ms, log scale)")
    ax.set_ylabel("runs")
    for key, v in marked:
        _, colour, dashes, width = _style(key)
        ax.axvline(v, color=colour, linewidth=width, linestyle=dashes, label=f"{key} {v:.3g} ms")
    if marked:
        _legend(ax, len(marked))
    return _svg(fig, "distribution")


LOG_SPREAD: Final = 10


def _spread(series: Series, keys: Sequence[str]) -> float:
    times = [v for k in keys for v in series.values.get(k, []) if not math.isnan(v) and v > 0]
    return max(times) / min(times) if times else 1.0


def charts(stats: Statistics) -> list[str]:
    """The charts as SVG texts."""
    warm = warmups(stats)
    starts = marks(stats)
    # A warm-up's quiet seconds belong to its run, as the active spans' do.
    series = resample(stats["history"], active=[*stats["active"], *warm])
    mean = f"; means over {series.step} s" if series.step > 1 else ""
    top = f"; highest per-second value in each {series.step} s" if series.step > 1 else ""
    # Starts beside finishes where a rate paced them: a gap is the pacer
    # falling behind, or runs piling up.
    paced = any(s.get("rate") is not None for s in stats["settings"])
    per = "second" if series.step == 1 else f"{series.step} s"
    # max first, so the percentiles below it are drawn on top; a log axis
    # where they lie an order of magnitude apart, or the median is a flat
    # line at the bottom
    run_time = ("max", "p99", "p95", "p50")
    latency = tuple(f"latency.{k}" for k in run_time)
    times = [Panel(run_time, "run time (ms)", log=_spread(series, run_time) > LOG_SPREAD,
                   reverse_legend=True)]
    if stats["histograms"]["latency"]["count"]:
        times.append(Panel(latency, "latency (ms)", log=_spread(series, latency) > LOG_SPREAD,
                           reverse_legend=True))
    out = [
        _time_chart(series, "Throughput and failures per second", mean,
                    [Panel(("started", "finished") if paced else ("finished",), "runs per second"),
                     Panel(("failures",), f"failed runs per {per}", symlog=True)],
                    "throughput", warm, starts),
        _time_chart(series, "Run time" + (" and latency" if len(times) > 1 else "")
                    + " percentiles per second", top, times, "percentiles", warm, starts),
        _time_chart(series, "Queued and running tasks", mean,
                    [Panel(("queued",), "tasks"), Panel(("running",), "tasks")], "tasks", warm,
                    starts),
        _distribution_chart(stats, Histogram.from_json(stats["histograms"]["run_time"])),
    ]
    by_group = group_failures(stats["history"], series)
    if by_group:
        # Which group failed when: one line each, under keys of their own
        # (a group's name may be anything).
        keyed = {f"group {n}": ys for n, ys in enumerate(by_group.values())}
        styles = {key: (name if name else '""', GROUP_COLOURS[n % len(GROUP_COLOURS)],
                        GROUP_DASHES[n % len(GROUP_DASHES)])
                  for n, (key, name) in enumerate(zip(keyed, by_group, strict=True))}
        series.values.update(keyed)
        out.insert(1, _time_chart(series, "Failures per second by group", "",
                                  [Panel(list(keyed), f"failed runs per {per}", symlog=True,
                                         lines=styles)], "group-failures", warm))
    return out


# -- the page ------------------------------------------------------------------
# The page is drawn by the templates in templates/ (autoescaped: every value
# from the statistics goes in as text); what is below gives them the values.

@dataclass
class Table:
    """A table of figures: `kind` names its CSS class (its heading's colour)
    and `text` the columns shown as text, left-aligned."""

    kind: str
    columns: Sequence[str]
    rows: Sequence[Sequence[str]]
    text: Container[int] = (0,)


def _when(epoch: float | None) -> str:
    if epoch is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))

def _failures(stats: Statistics) -> Table | None:
    if not stats["errors"]:
        return None
    total = sum(e["count"] for e in stats["errors"]) or 1
    return Table("failures", ("runs", "share", "kind", "message", "example", "first (UTC)",
                              "last (UTC)"),
                 [[f"{e['count']:,}", f"{100 * e['count'] / total:.1f} %", e["kind"],
                   e["message"], e["example"], clock(e["first"]), clock(e["last"])]
                  for e in stats["errors"]], text=(2, 3, 4))


@dataclass
class _Groups:
    table: Table
    errors: list[tuple[str, str, int]]  # each group's most frequent failure


def _groups(stats: Statistics) -> _Groups | None:
    rows = group_rows(stats)
    if not rows:
        return None
    return _Groups(Table("groups", GROUP_COLUMNS, rows),
                   [(name or '""', error_line(g["errors"][0]), g["errors"][0]["count"])
                    for name, g in stats["groups"].items() if g["errors"]])


def _processes(stats: Statistics) -> Table | None:
    rows = process_rows(stats)
    if not rows:
        return None
    return Table("processes", PROCESS_COLUMNS, rows, text=(0, len(PROCESS_COLUMNS) - 1))


def _stages(stats: Statistics) -> Table | None:
    rows = stage_rows(stats)
    return Table("stages", STAGE_COLUMNS, rows, text=(0, 3)) if rows else None


def _steps_chart(stats: Statistics) -> str:
    """The search's steps: the starts and finishes a second each step made,
    and its p95, against the rate it asked; passed steps filled, failed
    ones hollow."""
    found = stats["find_max"]
    fig, (made, p95) = _figure("find-max: each step against the rate it asked", (0, 0))
    steps = found["steps"]
    if not steps:
        _no_data(made, "no step finished")
        return _svg(fig, "steps")
    rates = [s["rate"] for s in steps]
    made.plot([0, max(rates)], [0, max(rates)], color="#bbbbbb", linewidth=0.8,
              label="as asked")
    for passed in (True, False):
        chosen = [s for s in steps if s["passed"] is passed]
        face = None if passed else "none"
        for key, ax, colour, label in (("starts_per_second", made, COLOURS["started"], "starts/s"),
                                       ("throughput", made, COLOURS["finished"], "finished/s"),
                                       ("p95", p95, COLOURS["p95"], "p95")):
            points = [(s["rate"], s["figures"].get(key)) for s in chosen]
            xs = [x for x, y in points if y is not None]
            ys = [y for _, y in points if y is not None]
            if xs:
                ax.scatter(xs, ys, s=30, color=colour, facecolors=face, zorder=3,
                           label=f"{label}{'' if passed else ' (failed)'}")
    for s in steps:
        made.annotate(str(s["step"]), (s["rate"], s["figures"].get("throughput") or 0.0),
                      textcoords="offset points", xytext=(4, 4), fontsize=7, color="#555555")
    if found["rate"] is not None:
        for ax in (made, p95):
            ax.axvline(found["rate"], color=COLOURS["p50"], linestyle="--", linewidth=1.0)
    made.set_ylabel("per second")
    p95.set_ylabel("run time p95 (ms)")
    p95.set_xlabel("rate asked (starts per second); dashed: the answer")
    made.set_xlim(left=0)
    made.set_ylim(bottom=0)
    tops = [s["figures"].get("p95") for s in steps]
    p95.set_ylim(0, 1.25 * max((t for t in tops if t is not None), default=1.0))
    # Inside the plots, where the points leave room: the rates rise to the right.
    made.legend(loc="upper left", fontsize=8, frameon=False)
    p95.legend(loc="lower right", fontsize=8, frameon=False, ncols=2)
    return _svg(fig, "steps")

@dataclass
class _Search:
    answer: str
    table: Table
    chart: Markup


def _search(stats: Statistics) -> _Search | None:
    from markupsafe import Markup

    from .findmax import answer

    if "find_max" not in stats:
        return None
    # (in the stages' colours)
    return _Search(answer(stats["find_max"]), Table("stages", STEP_COLUMNS, step_rows(stats),
                                                    text=(8,)),
                   Markup(_steps_chart(stats)))


@dataclass
class _Base:
    name: str
    significance: str
    table: Table


def _base(base: tuple[str, Statistics] | None, stats: Statistics) -> _Base | None:
    """BASE's figures beside these, each with its change and verdict."""
    from .compare import compare, table_rows

    if base is None:
        return None
    c = compare(base[1], stats, base[0], "this run")
    return _Base(c.base, f"{c.significance:g}",
                 Table("base", ("", "BASE", "this run", "change", "verdict"),
                       table_rows(c, c.overall), text=(0, 4)))


def _shown(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)

@dataclass
class _Settings:
    when: str
    host: str
    command: str
    pairs: list[tuple[str, str]]


def _settings(stats: Statistics) -> list[_Settings]:
    out = []
    for s in stats["settings"]:
        started = s.get("started")
        how_long = (f"{_shown(s.get('duration'))} s" if s.get("duration") is not None
                    else f"{_shown(s.get('count'))} tasks" if s.get("count") is not None
                    else "each task once")
        tasks = f"{_shown(s.get('tasks'))} " + (f"(from {s['tasks_file']})" if s.get("tasks_file")
                                                 else "(no tasks file)")
        users = s.get("users")
        pairs = [
            ("target", _shown(s.get("target"))),
            ("tasks", tasks),
            ("workers", _shown(s.get("workers"))
             + (f", {users} users in a closed loop" if users else "")
             + (" in each process" if s.get("processes") else "")),
            ("processes", f"{_shown(s.get('processes'))}"
             + (f" on the Dask cluster {s['dask']}" if s.get("dask") else "")
             if s.get("processes") else "1"),
            ("rate", f"{_shown(s.get('rate'))} starts/s" if s.get("rate") is not None
             else "not paced"),
            ("how long", how_long),
            ("time-out", f"{_shown(s.get('timeout'))} s" if s.get("timeout") is not None
             else "none"),
            ("warm-up", f"{_shown(s.get('warmup'))} s" if s.get("warmup") is not None
             else "none"),
            ("grouped by", _shown(s.get("group_by"))),
            ("break result", _shown(s.get("break_result"))),
            ("versions", f"{_shown(s.get('python'))}, vigil_load {_shown(s.get('vigil_load'))}"),
        ]
        out.append(_Settings(_when(started) if isinstance(started, (int, float)) else "-",
                             _shown(s.get("host")), _shown(s.get("command")), pairs))
    return out


@functools.cache
def _templates() -> jinja2.Environment:
    import jinja2

    env = jinja2.Environment(loader=jinja2.PackageLoader("vigil_load"),
                             autoescape=True, undefined=jinja2.StrictUndefined,
                             trim_blocks=True, lstrip_blocks=True)
    env.filters["thousands"] = lambda n: f"{n:,}"
    return env


def render(stats: Statistics, title: str | None = None,
           base: tuple[str, Statistics] | None = None) -> str:
    """The whole HTML page as text; with `base` (its name and statistics),
    its figures beside these, each with its change and verdict."""
    from markupsafe import Markup

    from .stats import check_stats

    stages, found = stats.get("stages"), stats.get("find_max")
    stats = check_stats(stats)  # also a core's own dict, or one of an older core
    if stages is not None:  # (which the check leaves out)
        stats["stages"] = stages
    if found is not None:
        stats["find_max"] = found
    return _templates().get_template("report.html").render(
        heading=title or "Load run report", table_colours=TABLE_COLOURS,
        first_start=_when(stats.get("first_start")), last_finish=_when(stats.get("last_finish")),
        written=_when(time.time()), notes=stats["notes"], overview=overview(stats),
        latency_keys=LATENCY_KEYS, latency=latency_rows(stats), base=_base(base, stats),
        search=_search(stats), stages=_stages(stats), failures=_failures(stats),
        failures_unrecorded=bool(stats["failed"]), groups=_groups(stats),
        processes=_processes(stats), charts=Markup("\n".join(charts(stats))),
        settings=_settings(stats))


def page(stats: Statistics, title: str | None = None,
         base: tuple[str, Statistics] | None = None) -> str:
    """The report of `stats` as one HTML page (with `base`'s figures beside
    them). Raises ReportUnavailable when matplotlib or Jinja2 (the "report"
    extra) is missing."""
    for name in ("matplotlib", "jinja2"):
        try:
            importlib.import_module(name)
        except ImportError as err:
            raise ReportUnavailable(f"the report needs {name}: {INSTALL_HINT}") from err
    return render(stats, title, base)


def write_report(stats: Statistics, path: str, title: str | None = None) -> None:
    """Writes the report of `stats` (a dict as `_get_statistics()` or
    `merge()` returns it) to `path` as one self-contained HTML file.

    Raises ReportUnavailable when matplotlib or Jinja2 (the "report" extra) is
    missing."""
    write_atomic(path, page(stats, title))
