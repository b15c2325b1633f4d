"""The statistics as a plain-text table for the terminal, and as rows that
the HTML report shares."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .histogram import SUMMARY_KEYS


def fmt_ms(v: object) -> str:
    if v is None:
        return "-"
    assert isinstance(v, (int, float))
    return f"{v:.3f}" if v < 10 else f"{v:.2f}" if v < 1000 else f"{v:.0f}"


def _duration(seconds: float) -> str:
    text = f"{seconds:.2f} s"
    if seconds >= 60:
        whole = int(seconds)
        text += f" ({whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d})"
    return text


def overview(stats: Mapping[str, Any]) -> list[tuple[str, str]]:
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


def latency_rows(stats: Mapping[str, Any]) -> list[tuple[str, list[str]]]:
    """Run time and queue wait, one row each, in the order of SUMMARY_KEYS."""
    return [
        (label, [fmt_ms(stats[key].get(k)) for k in SUMMARY_KEYS])
        for label, key in (("run time", "run_time"), ("queue wait", "queue_wait"))
    ]


def render(stats: Mapping[str, Any]) -> str:
    lines = ["statistics"]
    pairs = overview(stats)
    width = max(len(label) for label, _ in pairs)
    lines += [f"  {label:<{width}}  {value}" for label, value in pairs]
    rows = latency_rows(stats)
    cols = [max(8, *(len(r[1][i]) for r in rows)) for i in range(len(SUMMARY_KEYS))]
    lines.append("")
    lines.append("  " + " " * 10 + " ".join(f"{k:>{w}}" for k, w in zip(SUMMARY_KEYS, cols, strict=False))
                 + "   (ms)")
    for label, cells in rows:
        lines.append(f"  {label:<10}" + " ".join(f"{c:>{w}}" for c, w in zip(cells, cols, strict=False)))
    return "\n".join(lines)
