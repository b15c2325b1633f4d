"""The HTML report: one self-contained file with the summary table and the
charts drawn as inline SVG, so it opens offline in any browser and needs no
script.

The charts need matplotlib (the optional extra "report"); it is imported only
when a report is written, never by `import vigil_load`.
"""

from __future__ import annotations

import bisect
import html
import io
import math
import re
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Final

from .files import write_atomic
from .histogram import Histogram, bucket_bounds
from .shapes import LATENCY_KEYS, SECOND_KEYS, PercentileKey, RowCountKey
from .table import latency_rows, overview

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .shapes import HistoryRow, Statistics

INSTALL_HINT: Final = "pip install 'threads-main[report]'"
MAX_POINTS: Final = 720  # per line; a 24 h history is drawn in 2-minute steps
DISTRIBUTION_BINS: Final = 90

COLOURS: Final = {
    "finished": "#1f77b4", "failed": "#d62728",
    "p50": "#2ca02c", "p95": "#ff7f0e", "p99": "#9467bd", "max": "#8c564b",
    "queued": "#17becf", "running": "#e377c2",
}


class ReportUnavailable(ImportError):
    """The plotting library of the "report" extra is not installed."""


# -- the history, brought down to a size worth drawing ------------------------

@dataclass
class Series:
    """The history resampled into steps of `step` seconds.

    Rows exist only for seconds in which work was queued or running, so a
    missing second counts as nothing finished. Rates are per-second means over
    a step; queued and running are the mean of the rows present; run-time
    percentiles are the largest per-second value in a step (an upper bound,
    as when histories are merged)."""

    start: int = 0
    step: int = 1
    x: list[float] = field(default_factory=list)  # seconds since start, step start
    values: dict[str, list[float]] = field(default_factory=dict)


_SUMMED: Final[tuple[RowCountKey, ...]] = ("finished", "failed", "queued", "running")


def resample(history: Sequence[HistoryRow], max_points: int = MAX_POINTS) -> Series:
    if not history:
        return Series()
    start = min(r["time"] for r in history)
    end = max(r["time"] for r in history)
    step = max(1, math.ceil((end - start + 1) / max_points))
    nbins = (end - start) // step + 1
    sums = {k: [0.0] * nbins for k in _SUMMED}
    present = [0] * nbins
    tops: dict[str, list[float]] = {k: [math.nan] * nbins for k in SECOND_KEYS}
    for row in history:
        b = (row["time"] - start) // step
        present[b] += 1
        for k in _SUMMED:
            sums[k][b] += row[k]
        for name in SECOND_KEYS:
            v, col = row["run_time"][name], tops[name]
            if v is not None and not (col[b] >= v):  # nan compares false
                col[b] = float(v)
    s = Series(start=start, step=step)
    s.x = [float(b * step) for b in range(nbins)]
    s.values["finished"] = [v / step for v in sums["finished"]]
    s.values["failed"] = [v / step for v in sums["failed"]]
    for k in ("queued", "running"):
        s.values[k] = [v / n if n else 0.0 for v, n in zip(sums[k], present, strict=False)]
    s.values.update(tops)
    return s


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
    return 3600.0, "h"


def _figure(panels: int = 1) -> tuple[Figure, list[Axes]]:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9.0, 1.2 + 1.8 * panels), dpi=96, layout="constrained")
    axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    for ax in axes:
        ax.grid(True, color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    return fig, list(axes)


def _no_data(ax: Axes, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes,
            color="#666666", fontsize=12)
    ax.set_xticks([])
    ax.set_yticks([])


def _legend(ax: Axes, count: int) -> None:
    # Above the plot, right of the title: never on top of the lines.
    ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize=9, frameon=False,
              ncols=count, borderaxespad=0.2)


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
    keys: Sequence[str]
    ylabel: str
    log: bool = False


def _time_chart(series: Series, title: str, note: str, panels: Sequence[Panel],
                salt: str) -> str:
    fig, axes = _figure(len(panels))
    axes[0].set_title(title, loc="left", fontsize=11)
    if not series.x:
        _no_data(axes[0], "no history recorded")
        return _svg(fig, salt)
    end = series.x[-1] + series.step
    scale, unit = _time_axis(end)
    # Each value holds for its whole step: drawn as stairs from the step's
    # start, closed at the end of the last step.
    xs = [x / scale for x in series.x] + [end / scale]
    for ax, panel in zip(axes, panels, strict=False):
        drawn = 0
        for key in panel.keys:
            ys = series.values[key]
            if all(math.isnan(y) for y in ys):
                continue
            ax.plot(xs, ys + ys[-1:], label=key, color=COLOURS[key], linewidth=1.3,
                    drawstyle="steps-post")
            drawn += 1
        if not drawn:
            _no_data(ax, "nothing to show")
            continue
        if panel.log:
            ax.set_yscale("log")
        else:
            ax.set_ylim(bottom=0)
        ax.set_ylabel(panel.ylabel)
        _legend(ax, drawn)
    axes[-1].set_xlim(0, end / scale)
    axes[-1].set_xlabel(f"{unit} since the first second of the run{note}")
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

    fig, (ax,) = _figure()
    ax.set_title("Run time distribution", loc="left", fontsize=11)
    edges, counts = distribution(hist)
    if not counts:
        _no_data(ax, "no run finished")
        return _svg(fig, "distribution")
    ax.stairs(counts, edges, fill=True, color=COLOURS["finished"], alpha=0.75)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(FuncFormatter(_plain))
    ax.xaxis.set_minor_formatter(FuncFormatter(_plain_minor))
    ax.set_xlabel("run time (ms, log scale)")
    ax.set_ylabel("runs")
    marks = 0
    for key in _MARKED:
        v = stats["run_time"].get(key)
        if v:
            ax.axvline(v, color=COLOURS[key], linewidth=1.2, linestyle="--",
                       label=f"{key} {v:.3g} ms")
            marks += 1
    if marks:
        _legend(ax, marks)
    return _svg(fig, "distribution")


def charts(stats: Statistics) -> list[str]:
    """The charts as SVG texts."""
    series = resample(stats.get("history") or [])
    mean = f"; means over {series.step} s" if series.step > 1 else ""
    top = f"; highest per-second value in each {series.step} s" if series.step > 1 else ""
    times = [v for k in ("p50", "p95", "p99", "max") for v in series.values.get(k, [])
             if not math.isnan(v) and v > 0]
    spread = max(times) / min(times) if times else 1.0
    return [
        _time_chart(series, "Throughput and failures per second", mean,
                    [Panel(("finished", "failed"), "runs per second")], "throughput"),
        # max first, so the percentiles below it are drawn on top
        _time_chart(series, "Run time percentiles per second", top,
                    [Panel(("max", "p99", "p95", "p50"), "ms", log=spread > 50)],
                    "percentiles"),
        _time_chart(series, "Queued and running tasks", mean,
                    [Panel(("queued",), "tasks"), Panel(("running",), "tasks")], "tasks"),
        _distribution_chart(stats, Histogram.from_json(stats["histograms"]["run_time"])),
    ]


# -- the page ------------------------------------------------------------------

_CSS: Final = """
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;
 background:#f6f7f9;color:#222}
main{max-width:960px;margin:0 auto;padding:24px}
h1{font-size:22px;margin:0 0 4px}
p.sub{margin:0 0 18px;color:#555;font-size:14px}
section{background:#fff;border:1px solid #e2e4e8;border-radius:6px;padding:14px 18px;
 margin-bottom:16px}
table{border-collapse:collapse;font-size:14px}
td,th{padding:3px 12px 3px 0;text-align:left}
table.lat td,table.lat th{text-align:right;padding-left:14px}
table.lat td:first-child,table.lat th:first-child{text-align:left;padding-left:0}
th{color:#555;font-weight:600}
.charts svg{display:block;width:100%;height:auto;margin:6px 0 12px}
"""


def _when(epoch: float | None) -> str:
    if epoch is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))


def render(stats: Statistics, title: str | None = None) -> str:
    """The whole HTML page as text."""
    esc = html.escape
    heading = title or "Load run report"
    sub = (f"first start {_when(stats.get('first_start'))} &middot; last finish "
           f"{_when(stats.get('last_finish'))} &middot; written {_when(time.time())}")
    rows = "".join(f"<tr><th>{esc(k)}</th><td>{esc(v)}</td></tr>" for k, v in overview(stats))
    head = "".join(f"<th>{esc(k)}</th>" for k in LATENCY_KEYS)
    lat = "".join(
        f"<tr><td>{esc(label)}</td>" + "".join(f"<td>{esc(c)}</td>" for c in cells) + "</tr>"
        for label, cells in latency_rows(stats)
    )
    svgs = "\n".join(charts(stats))
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{esc(heading)}</title>"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        f"<style>{_CSS}</style></head><body><main>"
        f"<h1>{esc(heading)}</h1><p class=\"sub\">{sub}</p>"
        f"<section><table>{rows}</table></section>"
        f"<section><table class=\"lat\"><tr><th>ms</th>{head}</tr>{lat}</table></section>"
        f"<section class=\"charts\">{svgs}</section>"
        "</main></body></html>\n"
    )


def write_report(stats: Statistics, path: str, title: str | None = None) -> None:
    """Writes the report of `stats` (a dict as `_get_statistics()` or
    `merge()` returns it) to `path` as one self-contained HTML file.

    Raises ReportUnavailable when matplotlib (the "report" extra) is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as err:
        raise ReportUnavailable(
            f"the report needs matplotlib: {INSTALL_HINT}") from err
    write_atomic(path, render(stats, title))
