"""The report opened in a real browser (headless Chromium) with the network
off: the screenshot must show the charts and the tables.

Needs the `chromium` package (Debian) and matplotlib. Deselect with
`-m "not browser"` where no browser can be installed."""

import os
import shutil
import subprocess

import pytest

from load_support import START, error, make_group, make_stats, row
from vigil_load.stats import check_recorded, check_stats, process_row

pytestmark = pytest.mark.browser

WIDTH, HEIGHT = 1000, 3400


def _no_network_prefix():
    """A command prefix that runs its command without a network: a network
    namespace of its own (as root, or in a user namespace otherwise)."""
    for prefix in (["unshare", "--net"], ["unshare", "--user", "--map-root-user", "--net"]):
        try:
            if subprocess.run([*prefix, "true"], capture_output=True, timeout=10).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            pass
    return []


def screenshot(html, png, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    assert browser, "headless Chromium is needed: apt-get install -y chromium"
    command = [
        *_no_network_prefix(), browser,
        "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
        "--no-first-run", "--disable-extensions", "--disable-background-networking",
        # Even where no namespace can be made, no name resolves and no proxy is
        # reachable, so nothing could be fetched.
        "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
        f"--user-data-dir={tmp_path / 'profile'}", f"--window-size={WIDTH},{HEIGHT}",
        f"--screenshot={png}", html.as_uri(),
    ]
    # The browser is no part of what the sanitizer run checks: it runs without
    # the sanitizer runtimes that run preloads.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    p = subprocess.run(command, capture_output=True, text=True, timeout=120, env=env)
    assert p.returncode == 0 and png.exists(), p.stderr[-2000:]


def colour_pixels(image, hex_colour, tolerance=0.04):
    """How many pixels of the RGB(A) float image are the given colour."""
    import numpy as np

    want = np.array([int(hex_colour[i:i + 2], 16) / 255 for i in (1, 3, 5)])
    return int((np.abs(image[:, :, :3] - want).max(axis=2) <= tolerance).sum())


def test_report_in_headless_chromium_shows_the_charts_and_tables(tmp_path):
    from matplotlib.image import imread

    from vigil_load.report import COLOURS, TABLE_COLOURS, page

    # A paced run with a warm-up, two groups, two kinds of failure, and in
    # its history a single failure among thousands of runs.
    history = [row(t, [1000 * (5 + (t * 7 + k) % 90) for k in range(40 + t % 20)],
                   failed=int(t == 30), started=40, queued=300 - 5 * t, running=10 + t % 8,
                   latency_us=[1000 * (20 + (t * 3 + k) % 200) for k in range(40 + t % 20)])
               for t in range(60)]
    run_us = [1000 * (5 + i % 90) for i in range(2000)]
    stats = make_stats(run_us, [i * 100 for i in range(2000)], failed=150, history=history,
                       first_start=START + 0.2, last_finish=START + 60.0,
                       errors=[error("ValueError", 100, "bad input"), error("break result", 50, "500")],
                       groups={"/items": make_group(run_us[:1500], failed=100),
                               "/search": make_group(run_us[1500:], failed=50)})
    stats["settings"] = [{"command": "vigil-load t:f --rate 40 --warmup 10 --processes 2",
                          "rate": 40.0, "warmup": 10.0, "started": START + 0.2,
                          "warmup_end": START + 10.2, "processes": 2}]
    stats["processes"] = [process_row(check_recorded(make_stats(part)), n, f"box pid {n}")
                          for n, part in enumerate((run_us[:1000], run_us[1000:]), 1)]
    html = tmp_path / "report.html"
    checked = check_stats(stats)
    html.write_text(page(checked, base=("base.json", checked)))  # a table against a BASE too
    png = tmp_path / "shot.png"
    screenshot(html, png, tmp_path)

    image = imread(str(png))
    assert image.shape[:2] == (HEIGHT, WIDTH)
    # Every series is drawn in its own colour, the warm-up's band too, and
    # each table's heading; a blank or half-drawn page lacks some of them.
    for key in ("finished", "started", "failed", "p50", "p95", "queued", "running", "warm-up"):
        assert colour_pixels(image, COLOURS[key]) >= 150, key
    for name in ("failures", "groups", "settings"):  # the tables this report has
        assert colour_pixels(image, TABLE_COLOURS[name], tolerance=0.01) >= 500, name
    # The single failure stands up from its axis, not a pixel above it.
    red_rows = (colour_pixels_by_row(image, COLOURS["failed"]) > 0).sum()
    assert red_rows >= 40, red_rows
    # The charts fill the page below the tables, not just a corner of it.
    busy_rows = (image[:, :, :3].min(axis=2) < 0.6).any(axis=1)
    lower = busy_rows[HEIGHT // 4:]
    assert lower.mean() > 0.3


def colour_pixels_by_row(image, hex_colour, tolerance=0.04):
    import numpy as np

    want = np.array([int(hex_colour[i:i + 2], 16) / 255 for i in (1, 3, 5)])
    return (np.abs(image[:, :, :3] - want).max(axis=2) <= tolerance).sum(axis=1)

