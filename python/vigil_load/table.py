"""The statistics as a plain-text table for the terminal, and as rows that
the HTML report shares."""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Final

from .shapes import LATENCY_GROUPS, LATENCY_KEYS

if TYPE_CHECKING:
    from .shapes import ErrorKind, Group, ProcessRow, Statistics

TOP_KINDS: Final = 5  # kinds of failure under the terminal's table
TOP_GROUPS: Final = 20  # groups in the terminal's table; the report has them all
GROUP_COLUMNS: Final = ("group", "finished", "failed", "error %", "runs/s",
                        "p50 ms", "p95 ms", "p99 ms", "max ms")
PROCESS_COLUMNS: Final = ("process", "finished", "failed", "stopped", "cancelled", "error %",
                          "runs/s", "p50 ms", "p95 ms", "p99 ms", "max ms", "latency p99 ms",
                          "where")


def fmt_ms(v: float | None) -> str:
    if v is None:
        return "-"
    return f"{v:.3f}" if v < 10 else f"{v:.2f}" if v < 1000 else f"{v:.0f}"


def _duration(seconds: float) -> str:
    text = f"{seconds:.2f} s"
    if seconds >= 60:
        whole = int(seconds)
        text += f" ({whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d})"
    return text


def warmups(stats: Statistics) -> list[tuple[float, float]]:
    """(start, end) in epoch seconds of each run's warm-up."""
    out = []
    for s in stats["settings"]:
        start, end = s.get("started"), s.get("warmup_end")
        if isinstance(start, (int, float)) and isinstance(end, (int, float)):
            out.append((float(start), float(end)))
    return out


def overview(stats: Statistics) -> list[tuple[str, str]]:
    """(label, value) pairs of the counts and rates."""
    elapsed = "first start to last finish"
    if len(stats["active"]) > 1:
        elapsed = f"the time in which a run was active ({len(stats['active'])} spans)"
    pairs = [
        ("finished runs", f"{stats['finished']:,}"),
        ("succeeded", f"{stats['succeeded']:,}"),
        ("failed", f"{stats['failed']:,}"),
        ("error rate", f"{stats['error_rate']:.2f} % of finished runs (failed / finished)"),
        ("of submitted", f"{stats['submitted_error_rate']:.2f} % of submitted tasks (failed / "
                         f"submitted, the summary lines' Err %)"),
        ("stopped", f"{stats['stopped']:,}"),
        ("cancelled", f"{stats['cancelled']:,}"),
        ("queued / running at the end", f"{stats['queued']:,} / {stats['running']:,}"),
        ("elapsed", _duration(stats["elapsed"]) + ", " + elapsed),
        ("throughput", f"{stats['throughput']:.1f} finished runs/s"),
    ]
    if stats["late_starts"]:
        pairs.append(("late starts", f"{stats['late_starts']:,} (more than a 10 ms pass "
                                     f"behind schedule)"))
    spans = warmups(stats)
    if spans:
        seconds = ", ".join(f"{end - start:.3g} s" for start, end in spans)
        pairs.append(("warm-up", f"the first {seconds} of the run left out of these figures "
                                 f"(kept in the history)"))
    return pairs


_LABELS: Final = {"run_time": "run time", "queue_wait": "queue wait", "latency": "latency"}


def latency_rows(stats: Statistics) -> list[tuple[str, list[str]]]:
    """Run time, queue wait and (when recorded) latency, one row each, in the
    order of LATENCY_KEYS."""
    return [(_LABELS[key], [fmt_ms(stats[key].get(k)) for k in LATENCY_KEYS])
            for key in LATENCY_GROUPS
            if key != "latency" or stats["histograms"]["latency"]["count"]]


def error_line(e: ErrorKind) -> str:
    """A kind of failure as one line: kind and message."""
    return f"{e['kind']}: {e['message']}" if e["message"] else e["kind"]


def clock(epoch: float | None) -> str:
    """A time of day, UTC, to the second ("-" when unknown)."""
    return "-" if epoch is None else time.strftime("%H:%M:%S", time.gmtime(epoch))


def group_rows(stats: Statistics) -> list[list[str]]:
    """A row per group, in the order of GROUP_COLUMNS, most runs first."""
    def cells(name: str, g: Group) -> list[str]:
        rt = g["run_time"]
        return [name if name else '""', f"{g['finished']:,}", f"{g['failed']:,}",
                f"{g['error_rate']:.2f}", f"{g['throughput']:.1f}",
                *(fmt_ms(rt[k]) for k in ("p50", "p95", "p99", "max"))]
    return [cells(name, g) for name, g in stats["groups"].items()]


def process_rows(stats: Statistics) -> list[list[str]]:
    """A row per worker process, in the order of PROCESS_COLUMNS, and under
    them the whole run's row ("all"), the sum of their counts; none for a
    run made in one process. The processes of merged runs are named
    run.process."""
    procs = stats["processes"]
    if not procs:
        return []
    several = any(p["run"] != 1 for p in procs)

    def cells(name: str, p: ProcessRow | Statistics, where: str) -> list[str]:
        rt = p["run_time"]
        return [name, *(f"{p[k]:,}" for k in ("finished", "failed", "stopped", "cancelled")),
                f"{p['error_rate']:.2f}", f"{p['throughput']:.1f}",
                *(fmt_ms(rt[k]) for k in ("p50", "p95", "p99", "max")),
                fmt_ms(p["latency"]["p99"]), where]
    return [*(cells(f"{p['run']}.{p['process']}" if several else str(p["process"]), p,
                    p["where"]) for p in procs),
            cells("all", stats, "")]


STAGE_COLUMNS: Final = ("stage", "start", "length", "target", "finished", "failed", "error %",
                        "runs/s", "p50 ms", "p95 ms", "p99 ms", "late starts")


def marks(stats: Statistics) -> list[tuple[float, str]]:
    """(epoch seconds, label) of the start of each stage or step of a run."""
    found = stats.get("find_max")
    if found is not None:
        return [(s["start"], f"step {s['step']}") for s in found["steps"]]
    return [(s["start"], f"stage {s['stage']}") for s in stats.get("stages", [])]


def stage_rows(stats: Statistics) -> list[list[str]]:
    """A row per stage in the order of STAGE_COLUMNS, and one of the whole
    run; none without stages."""
    stages = stats.get("stages", [])
    if not stages:
        return []
    first = stages[0]["start"]
    rows = []
    for st in stages:
        unit = "/s" if st["kind"] == "rate" else " workers"
        target = (f"{st['to']:g}{unit}" if st["from"] == st["to"]
                  else f"{st['from']:g} -> {st['to']:g}{unit}")
        rt = st["run_time"]
        rows.append([str(st["stage"]), f"+{st['start'] - first:.1f} s", f"{st['seconds']:g} s",
                     target, f"{st['finished']:,}", f"{st['failed']:,}",
                     f"{st['error_rate']:.2f}", f"{st['throughput']:.1f}",
                     *(fmt_ms(rt[k]) for k in ("p50", "p95", "p99")), f"{st['late_starts']:,}"])
    rt = stats["run_time"]
    rows.append(["whole run", "", f"{stats['elapsed']:.1f} s", "", f"{stats['finished']:,}",
                 f"{stats['failed']:,}", f"{stats['error_rate']:.2f}",
                 f"{stats['throughput']:.1f}", *(fmt_ms(rt[k]) for k in ("p50", "p95", "p99")),
                 f"{stats['late_starts']:,}"])
    return rows


STEP_COLUMNS: Final = ("step", "rate /s", "verdict", "starts/s", "runs/s", "error %",
                       "p95 ms", "late starts", "why not")


def step_rows(stats: Statistics) -> list[list[str]]:
    """A row per step of a search, in the order of STEP_COLUMNS."""
    found = stats.get("find_max")
    if found is None:
        return []

    def num(v: float | None, form: str) -> str:
        return "-" if v is None else format(v, form)

    rows = []
    for st in found["steps"]:
        f = st["figures"]
        rows.append([str(st["step"]), f"{st['rate']:.4g}", "passed" if st["passed"] else "FAILED",
                     num(f.get("starts_per_second"), ".1f"), num(f.get("throughput"), ".1f"),
                     num(f.get("error_rate"), ".2f"), fmt_ms(f.get("p95")),
                     num(f.get("late_starts"), ",.0f"), "; ".join(st["why"])])
    return rows


def _columns(rows: list[list[str]], left: frozenset[int] = frozenset({0})) -> list[str]:
    """Rows as aligned columns, text columns (`left`) to the left."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  " + "  ".join(c.ljust(w) if i in left else c.rjust(w)
                             for i, (c, w) in enumerate(zip(r, widths, strict=True))).rstrip()
            for r in rows]


def render(stats: Statistics) -> str:
    lines = ["statistics"]
    pairs = overview(stats)
    width = max(len(label) for label, _ in pairs)
    lines += [f"  {label:<{width}}  {value}" for label, value in pairs]
    rows = latency_rows(stats)
    cols = [max(8, *(len(r[1][i]) for r in rows)) for i in range(len(LATENCY_KEYS))]
    lines.append("")
    lines.append("  " + " " * 10 + " ".join(f"{k:>{w}}" for k, w in zip(LATENCY_KEYS, cols, strict=False))
                 + "   (ms)")
    for label, cells in rows:
        lines.append(f"  {label:<10}" + " ".join(f"{c:>{w}}" for c, w in zip(cells, cols, strict=False)))
    stages = stage_rows(stats)
    if stages:
        lines += ["", "by stage (each stage's figures: what finished within it)"]
        lines += _columns([list(STAGE_COLUMNS), *stages], left=frozenset({0, 3}))
    steps = step_rows(stats)
    if steps:
        lines += ["", "find-max steps (each step's figures: what finished after its settling)"]
        lines += _columns([list(STEP_COLUMNS), *steps], left=frozenset({0, 2, 8}))
    groups = group_rows(stats)
    if groups:
        more = len(groups) - TOP_GROUPS
        lines += ["", f"by group ({len(groups)})" + (f", the {TOP_GROUPS} with the most runs; "
                                                     f"all in the report" if more > 0 else "")
                  + "; error % of finished runs"]
        lines += _columns([list(GROUP_COLUMNS), *groups[:TOP_GROUPS]])
    procs = process_rows(stats)
    if procs:
        lines += ["", f"by process ({len(procs) - 1}); error % of finished runs"]
        lines += _columns([list(PROCESS_COLUMNS), *procs],
                          left=frozenset({0, len(PROCESS_COLUMNS) - 1}))
    errors = stats["errors"]
    if errors:
        shown = errors[:TOP_KINDS]
        lines += ["", "failures by kind" + (f" (the {len(shown)} most frequent of "
                                            f"{len(errors)}; all in the report)"
                                            if len(errors) > len(shown) else "")]
        lines += _columns([["count", "first (UTC)", "last (UTC)", "kind: message"],
                           *([f"{e['count']:,}", clock(e["first"]), clock(e["last"]),
                              error_line(e)] for e in shown)], left=frozenset({3}))
    return "\n".join(lines)
