"""Two runs side by side: each figure of BASE and NEW with its change and a
verdict (better, worse, or within noise), the noise judged from the runs'
own figures, and the thresholds of a CI gate (`--fail-on`).

The rules by which noise is judged are written once, in EPILOG (the
command's help), and in docs/vigil-load.md.
"""

from __future__ import annotations

import argparse
import bisect
import itertools
import json
import math
import re
import statistics
import sys
import textwrap
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Literal

from .files import destination, write_atomic
from .histogram import Histogram, bucket_index
from .shapes import GROUP_LATENCIES, PERCENTILE_KEYS, GroupLatency
from .stats import StatsError, load
from .table import fmt_ms

if TYPE_CHECKING:
    from .run import Signals
    from .shapes import Group, HistoryRow, Statistics

SIGNIFICANCE: Final = 0.001
MIN_SECONDS: Final = 3  # whole seconds of history below which counting noise stands alone
FISHER_BELOW: Final = 5  # a 2x2 cell expecting fewer runs than this gets the exact test
TOP_GROUPS: Final = 20  # groups in the terminal's comparison; --stats has them all

Verdict = Literal["better", "worse", "within noise"]


@dataclass(frozen=True)
class Figure:
    key: str  # as --fail-on names it
    label: str
    unit: Literal["/s", "%", "ms"]  # a "%" figure is a share and changes in points
    lower_is_better: bool = True


THROUGHPUT: Final = Figure("throughput", "throughput", "/s", lower_is_better=False)
ERRORS: Final = Figure("errors", "error rate", "%")
LATE: Final = Figure("late", "late starts", "%")
TIMES: Final = {(hist, name): Figure(f"{prefix}{name}", f"{label} {name}", "ms")
                for hist, prefix, label in (("run_time", "", "run time"),
                                            ("latency", "latency.", "latency"))
                for name in PERCENTILE_KEYS}
FIGURES: Final = {f.key: f for f in (THROUGHPUT, ERRORS, LATE, *TIMES.values())}
ALIASES: Final = {"error_rate": "errors", "late_starts": "late",
                  **{f"run_time.{name}": name for name in PERCENTILE_KEYS}}


@dataclass(frozen=True)
class Row:
    figure: Figure
    base: float | None
    new: float | None
    p_value: float | None
    verdict: Verdict | None  # None when a side has no value

    @property
    def change(self) -> float | None:
        """NEW minus BASE in the figure's unit (points for a share)."""
        return None if self.base is None or self.new is None else self.new - self.base

    @property
    def relative(self) -> float | None:
        """The change in percent of BASE; None from a BASE of 0."""
        change = self.change
        if change is None or self.base is None or (self.base == 0 and change != 0):
            return None
        return 0.0 if change == 0 else 100.0 * change / self.base


def _verdict(figure: Figure, base: float | None, new: float | None, p: float | None,
             beyond: bool, alpha: float) -> Row:
    if base is None or new is None or p is None:
        return Row(figure, base, new, p, None)
    if p >= alpha or not beyond or new == base:
        return Row(figure, base, new, p, "within noise")
    worse = (new > base) == figure.lower_is_better
    return Row(figure, base, new, p, "worse" if worse else "better")


# -- the noise of a run ---------------------------------------------------------

@dataclass(frozen=True)
class Spread:
    """How much more a run's per-second counts varied than counting noise:
    of finished runs (variance over mean), and of failures about the run's
    error rate (over binomial variance). Never below 1."""
    finished: float = 1.0
    failed: float = 1.0


def whole_seconds(stats: Statistics) -> list[HistoryRow]:
    """The history rows whose whole second lies within an active span."""
    spans = stats["active"]
    starts = [s for s, _ in spans]
    out = []
    for row in stats["history"]:
        i = bisect.bisect_right(starts, row["time"]) - 1
        if i >= 0 and row["time"] + 1 <= spans[i][1]:
            out.append(row)
    return out


def spread(stats: Statistics) -> Spread:
    rows = whole_seconds(stats)
    if len(rows) < MIN_SECONDS:
        return Spread()
    counts = [r["finished"] for r in rows]
    mean = statistics.fmean(counts)
    finished = statistics.variance(counts) / mean if mean > 0 else 1.0
    total = sum(counts)
    rate = sum(r["failed"] for r in rows) / total if total else 0.0
    binomial = rate * (1 - rate) * total / len(rows)  # a row's expected variance, on average
    failed = 1.0
    if binomial > 0:
        scatter = sum((r["failed"] - rate * r["finished"]) ** 2 for r in rows) / (len(rows) - 1)
        failed = scatter / binomial
    return Spread(max(1.0, finished), max(1.0, failed))


def _p_normal(difference: float, variance: float) -> float:
    """Two-sided p-value of a difference with this variance under no change."""
    if variance <= 0:
        return 1.0 if difference == 0 else 0.0
    return math.erfc(abs(difference) / math.sqrt(2 * variance))


def _rate_p(base: tuple[int, float, float], new: tuple[int, float, float]) -> float:
    """Runs per second: (count, seconds, dispersion) of each."""
    (nb, tb, db), (nn, tn, dn) = base, new
    return _p_normal(nn / tn - nb / tb, db * nb / tb**2 + dn * nn / tn**2)


def _share_p(base: tuple[int, int, float], new: tuple[int, int, float], binomial: bool) -> float:
    """Events per run: (events, runs, dispersion) of each, pooled under no change."""
    (xb, eb, db), (xn, en, dn) = base, new
    pooled = (xb + xn) / (eb + en)
    unit = pooled * (1 - pooled) if binomial else pooled
    return _p_normal(xn / en - xb / eb, unit * (db / eb + dn / en))


def _log_choose(n: int, k: int) -> float:
    return math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1)


def two_by_two(a: int, b: int, c: int, d: int) -> float:
    """Two-sided p-value that rows (a, b) and (c, d) share one proportion:
    the pooled z-test, or Fisher's exact test when a cell expects few."""
    r1, r2, c1 = a + b, c + d, a + c
    n = r1 + r2
    if not r1 or not r2 or c1 in (0, n):
        return 1.0
    if min(r1, r2) * min(c1, n - c1) / n >= FISHER_BELOW:
        pooled = c1 / n
        return _p_normal(a / r1 - c / r2, pooled * (1 - pooled) * (1 / r1 + 1 / r2))

    def log_p(x: int) -> float:
        return _log_choose(r1, x) + _log_choose(r2, c1 - x) - _log_choose(n, c1)
    # The support has fewer than sqrt(5 n) values when a cell expects under 5.
    observed = log_p(a) + 1e-9
    return min(1.0, sum(math.exp(lp) for x in range(max(0, c1 - r2), min(r1, c1) + 1)
                        if (lp := log_p(x)) <= observed))


class _Below:
    """Runs of a histogram at or below each bucket."""

    def __init__(self, h: Histogram) -> None:
        self.indices = sorted(h.counts)
        self.running = list(itertools.accumulate(h.counts[i] for i in self.indices))

    def __call__(self, index: int) -> int:
        at = bisect.bisect_right(self.indices, index)
        return self.running[at - 1] if at else 0


def percentile_rows(hist: GroupLatency, base: Statistics | Group, new: Statistics | Group,
                    alpha: float) -> list[Row]:
    """Each percentile of two runs (or groups) with its verdict. Both runs
    are split at the bucket of BASE's percentile and at that of NEW's, and
    the shares at or below compared, each test at half the significance (a
    split at the pooled percentile alone falls inside one run when the two
    lie apart, and its test then sees only that run's tail)."""
    rows = []
    hb, hn = (Histogram.from_json(s["histograms"][hist]) for s in (base, new))
    below_b, below_n = _Below(hb), _Below(hn)
    for name in PERCENTILE_KEYS:
        vb, vn = base[hist][name], new[hist][name]
        p = None
        beyond = False
        if vb is not None and vn is not None:
            # (whole microseconds, which a figure in ms keeps exactly)
            ib, i_n = bucket_index(round(vb * 1000)), bucket_index(round(vn * 1000))
            tests = []
            for split in {ib, i_n}:
                low_b, low_n = below_b(split), below_n(split)
                tests.append(two_by_two(low_b, hb.count - low_b, low_n, hn.count - low_n))
            p = min(1.0, len(tests) * min(tests))
            beyond = abs(ib - i_n) > 1
        rows.append(_verdict(TIMES[hist, name], vb, vn, p, beyond, alpha))
    return rows


# -- the comparison -------------------------------------------------------------

def _scope_rows(base: Statistics | Group, new: Statistics | Group, sb: Spread, sn: Spread,
                alpha: float, late: tuple[int, int] | None) -> list[Row]:
    rows = []
    ok = base["finished"] > 0 and new["finished"] > 0
    timed = ok and base["elapsed"] > 0 and new["elapsed"] > 0
    rows.append(_verdict(
        THROUGHPUT, base["throughput"] if timed else None, new["throughput"] if timed else None,
        _rate_p((base["finished"], base["elapsed"], sb.finished),
                (new["finished"], new["elapsed"], sn.finished)) if timed else None, True, alpha))
    rows.append(_verdict(
        ERRORS, base["error_rate"] if ok else None, new["error_rate"] if ok else None,
        _share_p((base["failed"], base["finished"], sb.failed),
                 (new["failed"], new["finished"], sn.failed), True) if ok else None, True, alpha))
    if late is not None:
        lb, ln = late
        rows.append(_verdict(
            LATE, 100.0 * lb / base["finished"] if ok else None,
            100.0 * ln / new["finished"] if ok else None,
            _share_p((lb, base["finished"], 1.0), (ln, new["finished"], 1.0), False) if ok
            else None, True, alpha))
    for hist in GROUP_LATENCIES:
        rows += percentile_rows(hist, base, new, alpha)
    return rows


@dataclass
class Comparison:
    base: str
    new: str
    significance: float
    overall: list[Row]
    groups: dict[str, list[Row]]
    only_base: list[str]
    only_new: list[str]
    # Latency rows say something beside run time only in a paced run.
    paced: bool


def _paced(stats: Statistics | Group) -> bool:
    h = stats["histograms"]
    return h["latency"]["count"] > 0 and h["latency"] != h["run_time"]


def compare(base: Statistics, new: Statistics, base_name: str = "BASE", new_name: str = "NEW",
            significance: float = SIGNIFICANCE) -> Comparison:
    """Every figure of `new` against `base` (checked statistics, as
    stats.load or merge return them), overall and per group in both."""
    sb, sn = spread(base), spread(new)
    groups = {name: _scope_rows(base["groups"][name], g, sb, sn, significance, None)
              for name, g in new["groups"].items() if name in base["groups"]}
    return Comparison(
        base_name, new_name, significance,
        _scope_rows(base, new, sb, sn, significance, (base["late_starts"], new["late_starts"])),
        groups, [n for n in base["groups"] if n not in new["groups"]],
        [n for n in new["groups"] if n not in base["groups"]],
        _paced(base) or _paced(new))


def shown(c: Comparison, rows: list[Row]) -> list[Row]:
    return [r for r in rows if c.paced or not r.figure.key.startswith("latency.")]


# -- the thresholds of a gate ---------------------------------------------------

_UNITS: Final = {"/s": ("%", "/s"), "%": ("%", "pt"), "ms": ("%", "ms")}
_THRESHOLD: Final = re.compile(r"\s*(?P<key>[A-Za-z_][A-Za-z0-9_.]*?)\s*(?P<sign>[+-])\s*"
                               r"(?P<num>\d+(?:\.\d*)?|\.\d+)\s*(?P<unit>%|pt|ms|/s)?\s*")


class ThresholdError(ValueError):
    """A --fail-on threshold that cannot be read."""


def known_figures() -> str:
    return " ".join(FIGURES)


def _wrapped(text: str) -> str:
    return textwrap.fill(text, 74, subsequent_indent="    ")


@dataclass(frozen=True)
class Threshold:
    text: str
    figure: Figure
    sign: int  # +1: a rise beyond the amount passes it, -1 a fall
    amount: float
    unit: str

    def exceeded(self, row: Row) -> bool:
        """Changed beyond noise in the threshold's direction by more than
        its amount."""
        change = row.change
        if row.verdict not in ("better", "worse") or change is None:
            return False
        if self.unit == "%":
            # from 0, any change is infinitely many percent
            change = row.relative if row.relative is not None else math.copysign(math.inf, change)
        return self.sign * change > self.amount


def parse_thresholds(text: str) -> list[Threshold]:
    """`p99+10%,errors+1pt,throughput-5%`: a figure, + (a rise) or - (a
    fall), an amount and its unit."""
    out = []
    for part in text.split(","):
        m = _THRESHOLD.fullmatch(part)
        if m is None:
            raise ThresholdError(
                f"cannot read the threshold {part.strip()!r}: write FIGURE+AMOUNT or "
                f"FIGURE-AMOUNT with a unit, for instance p99+10%, errors+1pt, throughput-5%; "
                f"figures: {known_figures()}")
        key = ALIASES.get(m["key"], m["key"])
        figure = FIGURES.get(key)
        if figure is None:
            raise ThresholdError(f"unknown figure {m['key']!r} in the threshold {part.strip()!r}; "
                                 f"figures: {known_figures()}")
        units = _UNITS[figure.unit]
        if m["unit"] not in units:
            raise ThresholdError(f"the threshold {part.strip()!r} needs a unit of "
                                 f"{' or '.join(units)} (% is of BASE's value)")
        amount = float(m["num"])
        if not math.isfinite(amount):
            raise ThresholdError(f"the amount in the threshold {part.strip()!r} is too large")
        out.append(Threshold(part.strip(), figure, 1 if m["sign"] == "+" else -1, amount,
                             m["unit"]))
    return out


# -- what is shown --------------------------------------------------------------

def _value(figure: Figure, v: float | None) -> str:
    if v is None:
        return "-"
    if figure.unit == "ms":
        return fmt_ms(v)
    return f"{v:.1f}" if figure.unit == "/s" else f"{v:.2f}"


def change_text(row: Row) -> str:
    change = row.change
    if change is None:
        return "-"
    if row.figure.unit == "%":
        return f"{change:+.2f} pt"
    relative = row.relative
    return f"{relative:+.1f} %" if relative is not None else f"{change:+g} {row.figure.unit}"


def table_rows(c: Comparison, rows: list[Row]) -> list[list[str]]:
    return [[f"{r.figure.label} ({r.figure.unit})", _value(r.figure, r.base),
             _value(r.figure, r.new), change_text(r), r.verdict or "-"]
            for r in shown(c, rows)]


def _columns(rows: Sequence[Sequence[str]]) -> Iterator[str]:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        yield "  " + "  ".join(cell.ljust(w) if i in (0, len(r) - 1) else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(r, widths, strict=True))).rstrip()


def render(c: Comparison, base: Statistics, new: Statistics) -> str:
    lines = [f"BASE {c.base}: {base['finished']:,} finished runs",
             f"NEW  {c.new}: {new['finished']:,} finished runs",
             f"(verdicts at significance {c.significance:g}; see --help for how noise is judged)",
             ""]
    head = ["overall", "BASE", "NEW", "change", "verdict"]
    lines += _columns([head, *table_rows(c, c.overall)])
    names = list(c.groups)
    for name in names[:TOP_GROUPS]:
        label = name if name else '""'
        lines += ["", f"group {label}: {base['groups'][name]['finished']:,} runs in BASE, "
                      f"{new['groups'][name]['finished']:,} in NEW"]
        lines += _columns([["", "BASE", "NEW", "change", "verdict"],
                           *table_rows(c, c.groups[name])])
    if len(names) > TOP_GROUPS:
        lines += ["", f"(the {TOP_GROUPS} groups with the most runs in NEW of {len(names)}; "
                      f"all with --stats)"]
    for side, only in (("BASE", c.only_base), ("NEW", c.only_new)):
        if only:
            lines += ["", f"groups only in {side}: " + ", ".join(n or '""' for n in only[:TOP_GROUPS])
                      + (" ..." if len(only) > TOP_GROUPS else "")]
    return "\n".join(lines)


def _row_json(r: Row) -> dict[str, Any]:
    return {"figure": r.figure.key, "unit": r.figure.unit, "base": r.base, "new": r.new,
            "change": r.change, "relative": r.relative, "p_value": r.p_value,
            "verdict": r.verdict}


def to_json(c: Comparison, gate: Sequence[tuple[Threshold, bool]]) -> str:
    return json.dumps({
        "base": c.base, "new": c.new, "significance": c.significance,
        "overall": [_row_json(r) for r in c.overall],
        "groups": {name: [_row_json(r) for r in rows] for name, rows in c.groups.items()},
        "only_in_base": c.only_base, "only_in_new": c.only_new,
        "fail_on": [{"threshold": t.text, "exceeded": hit} for t, hit in gate],
    }, indent=1) + "\n"


# -- the command ----------------------------------------------------------------

DESCRIPTION: Final = """\
Compares two statistics files (of single runs or merged): prints, overall
and per group, each figure of BASE and NEW side by side with its change and
a verdict, better, worse or within noise. The noise is judged from the runs
themselves, not from a fixed percentage.
"""

EPILOG: Final = """\
verdicts (at --significance, by default 0.001):
  throughput, error rate, late starts (per finished run)
    beyond noise when the difference is more than z standard errors (z the
    two-sided normal quantile: 3.29 at 0.001). The standard error is counting
    noise (Poisson for throughput and late starts, binomial for the error
    rate) scaled by the run's dispersion: how much more its finished runs
    and its failures per second varied than counting noise would make them,
    over the whole seconds of its history (inside the active spans: no
    warm-up, no partial first or last second; 3 at least), never less than
    counting noise. Groups keep no per-second counts and take their run's
    dispersion.
  run-time and latency percentiles (p50 p90 p95 p99 p99.9)
    beyond noise when both (a) a two-sample test on the histograms' bucket
    counts rejects: the runs of both are split at the bucket of BASE's
    percentile, and again at that of NEW's, and the shares at or below the
    split compared, each test at half the significance, by a two-proportion
    z-test (Fisher's exact test where a cell expects fewer than 5 runs), and
    (b) the two percentiles lie more than one histogram bucket apart (the
    histogram's resolution, under 0.8 %).
  Latency rows are shown for paced runs (--rate) only; in a closed loop
  latency is the run time. A figure missing on either side has no verdict.

thresholds (--fail-on, comma-separated or repeated):
  FIGURE+AMOUNT (a rise) or FIGURE-AMOUNT (a fall), AMOUNT with a unit:
  % of BASE's value for any figure; pt (points) for errors and late; ms for
  the percentiles; /s for throughput. e.g. --fail-on p99+10%,errors+1pt,
  throughput-5%. A threshold is exceeded when the overall figure changed
  beyond noise in its direction by more than its amount. Figures:
    {figures}
  (errors is also error_rate, late late_starts, p99 run_time.p99)

exit status:
  0 no threshold exceeded; 1 a threshold exceeded; 2 bad input (one line:
  a file merge would refuse, a threshold it cannot read, an unwritable
  --stats); 130 interrupted by Ctrl-C, 143 by SIGTERM
"""


def _significance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got {text!r}") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text!r}")
    return value


def _thresholds(text: str) -> list[Threshold]:
    try:
        return parse_thresholds(text)
    except ThresholdError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def parser(prog: str) -> argparse.ArgumentParser:
    from .inputs import Parser

    p = Parser(prog=f"{prog} compare", description=DESCRIPTION,
                epilog=EPILOG.replace("{figures}", _wrapped(known_figures())),
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("base", metavar="BASE", help="the statistics file to compare against")
    p.add_argument("new", metavar="NEW", help="the statistics file of the run judged")
    p.add_argument("--fail-on", metavar="THRESHOLDS", type=_thresholds, action="append",
                   default=[], help="e.g. p99+10%%,errors+1pt,throughput-5%% (see below); exit "
                                    "status 1 when one is exceeded")
    p.add_argument("--significance", metavar="P", type=_significance, default=SIGNIFICANCE,
                   help=f"the chance of calling a change where there is none, per figure "
                        f"(default {SIGNIFICANCE:g})")
    p.add_argument("--stats", metavar="PATH",
                   help="also write the comparison as JSON there (- for standard output)")
    return p


def read(path: str) -> Statistics:
    """A statistics file as merge reads it; BadInput as merge refuses it."""
    from .inputs import BadInput

    try:
        return load(path)
    except StatsError as err:
        raise BadInput(str(err)) from None


def command(argv: Sequence[str], prog: str, signals: Signals) -> int:
    from .inputs import BadInput
    from .outputs import EXIT_CHECK_FAILED, EXIT_SIGNALLED, STDOUT, json_stdout, say

    args = parser(prog).parse_args(argv)
    gate = [t for group in args.fail_on for t in group]
    if args.stats is not None and args.stats != STDOUT:
        try:
            destination(args.stats)
        except OSError as err:
            raise BadInput(f"cannot write results: {err}") from None
    base, new = read(args.base), read(args.new)
    c = compare(base, new, args.base, args.new, args.significance)
    rows = {r.figure.key: r for r in c.overall}
    results = [(t, t.exceeded(rows[t.figure.key])) for t in gate]
    with json_stdout(args.stats or "") as stdout, signals.interruptible(False):
        say(render(c, base, new))
        if results:
            say()
        for t, hit in results:
            r = rows[t.figure.key]
            say(f"fail-on {t.text}: {'EXCEEDED' if hit else 'not exceeded'} "
                f"({r.figure.label} {change_text(r)}, {r.verdict or 'no value'})")
        status = EXIT_CHECK_FAILED if any(hit for _, hit in results) else 0
        if args.stats is not None:
            text = to_json(c, results)
            try:
                if stdout is None:
                    write_atomic(args.stats, text)
                    say(f"comparison written to {args.stats}")
                else:
                    with open(stdout, "w", encoding="utf-8", closefd=False) as f:
                        f.write(text)
            except OSError as err:
                print(f"vigil_load: cannot write {args.stats}: {err}", file=sys.stderr)
                status = EXIT_CHECK_FAILED
    return status if signals.received is None else EXIT_SIGNALLED + signals.received


def base_for_report(path: str) -> tuple[str, Statistics]:
    """--base FILE of a run or a merge: read before anything runs."""
    try:
        return path, load(path)
    except StatsError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
