"""The demonstration run: about ten seconds of requests against a small HTTP
server of our own.

The server listens on 127.0.0.1 on a port the system picks; each reply takes
3 to 100 ms and about one in ten is a 500, which the run counts as a failure
(the break result). Nothing leaves this machine: the server binds the
loopback address and the requests bypass any configured proxy.
"""

from __future__ import annotations

import contextlib
import http.server
import random
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from typing import Any, Final

from .run import Plan

DURATION: Final = 10.0  # seconds of submissions and of the wait
INTERVAL: Final = 2.0  # seconds between two pairs of summary lines
MAX_WORKERS: Final = 20
FAIL_SHARE: Final = 0.10  # share of replies that are a 500
DELAY_MS: Final = (3, 100)  # reply time range
REQUEST_TIMEOUT: Final = 5  # seconds; no request can hang the run


class Handler(http.server.BaseHTTPRequestHandler):
    """Waits a random few milliseconds, then answers 200, or now and then 500."""

    def do_GET(self) -> None:
        time.sleep(random.uniform(*DELAY_MS) / 1000)
        status = 500 if random.random() < FAIL_SHARE else 200
        body = f"{status} {self.path}\n".encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # the console belongs to the summary lines


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128  # room for every worker connecting at once
    daemon_threads = True


# No proxy, whatever the environment says: requests go straight to loopback.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def fetch(url: str) -> int:
    """The demonstration's callable: the status code of one GET (a 500 is
    returned, not raised, and counts as failed through the break result)."""
    try:
        with _opener.open(url, timeout=REQUEST_TIMEOUT) as reply:
            reply.read()
            return int(reply.status)
    except urllib.error.HTTPError as err:
        err.close()
        return int(err.code)


def requests(base: str) -> list[dict[str, Any]]:
    tasks: list[dict[str, Any]] = [{"url": f"{base}/items/{i}"} for i in range(40)]
    tasks += [{"url": f"{base}/search?q=w{i}"} for i in range(10)]
    return tasks


def plan(workers: int | None, duration: float | None, count: int | None,
         interval: float | None, rate: float | None, break_result: Any) -> Plan:
    """The demonstration's plan; options given on the command line win."""
    return Plan(
        func=fetch,
        tasks=[],  # filled in once the server has its port
        workers=workers or MAX_WORKERS,
        duration=duration if duration is not None or count is not None else DURATION,
        count=count,
        interval=interval or INTERVAL,
        rate=rate,
        break_result=500 if break_result is None else break_result,
    )


@contextlib.contextmanager
def serving(p: Plan) -> Iterator[str]:
    """Runs the server for the length of the block and points the plan's
    tasks at it."""
    server = Server(("127.0.0.1", 0), Handler)
    host, port = server.server_address[:2]
    base = f"http://{host!s}:{port}"
    thread = threading.Thread(target=server.serve_forever, name="http-server", daemon=True)
    thread.start()
    p.tasks = requests(base)
    how_long = f"repeated for {p.duration:g} s" if p.duration else f"{p.count} requests in all"
    print(f"server: {base}  (replies {DELAY_MS[0]}-{DELAY_MS[1]} ms, "
          f"~{FAIL_SHARE:.0%} status 500)", flush=True)
    print(f"manager: max_workers={p.workers}, {len(p.tasks)} request descriptions "
          f"{how_long}, break result {p.break_result!r}, a pair of summary lines every "
          f"{p.interval:g} s (on stderr)\n", flush=True)
    try:
        yield base
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)
