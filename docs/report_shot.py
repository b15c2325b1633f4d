"""The target of docs/report.png: two endpoints that fail at different
times of the run, /items with 503s for ids it cannot find from its 8th to
its 13th second, /search by time-outs (slow searches) from its 18th to its
22nd. Redrawn from the repository's root with

    cd docs && python -m vigil_load report_shot:call --tasks report_shot.jsonl \\
        --processes 2 --duration 30 --rate 120 --workers 8 --timeout 0.25 \\
        --group-by endpoint --warmup 3 --stats /tmp/shot.json --report /tmp/shot.html

and the page's screenshot in headless Chromium, 1000 pixels wide.
"""

import random
import time

_began: list[float] = []


def call(endpoint: str, item: int) -> int:
    now = time.monotonic()
    if not _began:
        _began.append(now)
    second = now - _began[0]
    if endpoint == "/items":
        time.sleep(random.uniform(0.004, 0.030))
        if 8 <= second < 13 and random.random() < 0.4:
            raise RuntimeError(f"HTTP Error 503: item {item + random.randrange(1000)} not found")
    else:
        slow = 18 <= second < 22 and random.random() < 0.5
        time.sleep(random.uniform(0.3, 0.4) if slow else random.uniform(0.020, 0.090))
    return 200
