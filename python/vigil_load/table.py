"""The statistics as a plain-text table for the terminal, and as rows that
the HTML report shares."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .shapes import LATENCY_GROUPS, LATENCY_KEYS

if TYPE_CHECKING:
    from .shapes import Statistics


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


def overview(stats: Statistics) -> list[tuple[str, str]]:
    """(label, value) pairs of the counts and rates."""
    return [
        ("finished runs", f"{stats['finished']:,}"),
        ("succeeded", f"{stats['succeeded']:,}"),
        ("failed", f"{stats['failed']:,}"),
        ("error rate", f"{stats['error_rate']:.2f} % of finished runs"),
        ("stopped", f"{stats['stopped']:,}"),
        ("cancelled", f"{stats['cancelled']:,}"),
        ("queued / running at the end", f"{stats['queued']:,} / {stats['running']:,}"),
        ("elapsed", _duration(stats["elapsed"]) + ", first start to last finish"),
        ("throughput", f"{stats['throughput']:.1f} finished runs/s"),
    ]


def latency_rows(stats: Statistics) -> list[tuple[str, list[str]]]:
    """Run time and queue wait, one row each, in the order of LATENCY_KEYS."""
    return [(label, [fmt_ms(stats[key].get(k)) for k in LATENCY_KEYS])
            for label, key in zip(("run time", "queue wait"), LATENCY_GROUPS, strict=True)]


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
    return "\n".join(lines)
