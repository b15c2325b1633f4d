"""The demonstration run: about ten seconds of requests against a small HTTP
server of our own, by 20 users in a closed loop (each sends its next request
when its last one has ended).

The server listens on 127.0.0.1 on a port the system picks; each reply takes
3 to 100 ms (searches up to 150 ms), about one in ten is a 500, which the run
counts as a failure (the break result), and about one in fifty a 503, which
the callable raises. Runs are grouped by endpoint where the core can. Nothing
leaves this machine: the server binds the loopback address and the requests
bypass any configured proxy.
"""

from __future__ import annotations

import contextlib
import dataclasses
import http.server
import random
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Final

from .run import Plan

if TYPE_CHECKING:
    from .shapes import Statistics

DURATION: Final = 10.0  # seconds of submissions and of the wait
INTERVAL: Final = 2.0  # seconds between two pairs of summary lines
MAX_WORKERS: Final = 20
FAIL_SHARE: Final = 0.10  # share of replies that are a 500
UNAVAILABLE_SHARE: Final = 0.02  # share of replies that are a 503
DELAY_MS: Final = (3, 100)  # reply time range
SEARCH_DELAY_MS: Final = (20, 150)  # the same, of a search
REQUEST_TIMEOUT: Final = 5  # seconds; no request can hang the run


class Handler(http.server.BaseHTTPRequestHandler):
    """Waits a random few milliseconds, then answers 200, or now and then 500
    or 503."""

    def do_GET(self) -> None:
        delay = SEARCH_DELAY_MS if self.path.startswith("/search") else DELAY_MS
        time.sleep(random.uniform(*delay) / 1000)
        draw = random.random()
        status = 500 if draw < FAIL_SHARE else 503 if draw < FAIL_SHARE + UNAVAILABLE_SHARE else 200
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


def fetch(url: str, endpoint: str = "") -> int:
    """The demonstration's callable: the status code of one GET. A 500 is
    returned, not raised, and counts as failed through the break result; any
    other error status is raised. `endpoint` only names the runs' group."""
    try:
        with _opener.open(url, timeout=REQUEST_TIMEOUT) as reply:
            reply.read()
            return int(reply.status)
    except urllib.error.HTTPError as err:
        err.close()
        if err.code == 500:
            return 500
        raise


def requests(base: str) -> list[dict[str, Any]]:
    tasks: list[dict[str, Any]] = [{"url": f"{base}/items/{i}", "endpoint": "/items"}
                                   for i in range(40)]
    tasks += [{"url": f"{base}/search?q=w{i}", "endpoint": "/search"} for i in range(10)]
    return tasks


def base(workers: int | None, duration: float | None, count: int | None,
         interval: float | None, break_result: Any) -> Plan:
    """The demonstration's part of the plan; options given on the command
    line win. Its tasks come with the server (see serving)."""
    import threads_main

    workers = workers or MAX_WORKERS
    groups = hasattr(threads_main.VigilThreadsMain, "_set_statistics_group")
    return Plan(
        func=fetch,
        tasks=[],
        workers=workers,
        duration=duration if duration is not None or count is not None else DURATION,
        count=count,
        interval=interval or INTERVAL,
        break_result=500 if break_result is None else break_result,
        group_by="endpoint" if groups else None,
        users=workers,
    )


def closing(p: Plan, stats: Statistics) -> str:
    """The last line: what the queue wait and the cancelled tasks of a
    closed loop mean, lest they read as a fault."""
    starts = (f"at most {p.rate:g} a second (--rate)" if p.rate
              else "as soon as a worker is free")
    ended = f"still queued when the {p.duration:g} s ended" if p.duration else "never started"
    return (f"closed loop: {p.users} users, each sending a request when its last one ended; "
            f"queue wait = the wait for the dispatcher's next start ({starts}); "
            f"the {stats['cancelled']} cancelled were requests {ended}.")


@contextlib.contextmanager
def serving(plan: Plan) -> Iterator[Plan]:
    """Runs the server for the length of the block; the plan with its tasks
    pointed at it."""
    server = Server(("127.0.0.1", 0), Handler)
    host, port = server.server_address[:2]
    url = f"http://{host!s}:{port}"
    thread = threading.Thread(target=server.serve_forever, name="http-server", daemon=True)
    thread.start()
    p = dataclasses.replace(plan, tasks=requests(url))
    how_long = f"repeated for {p.duration:g} s" if p.duration else f"{p.count} requests in all"
    print(f"server: {url}  (replies {DELAY_MS[0]}-{DELAY_MS[1]} ms, searches "
          f"{SEARCH_DELAY_MS[0]}-{SEARCH_DELAY_MS[1]} ms; ~{FAIL_SHARE:.0%} status 500, "
          f"~{UNAVAILABLE_SHARE:.0%} status 503)", flush=True)
    print(f"manager: {p.users} users in a closed loop (max_workers={p.workers}), "
          f"{len(p.tasks)} request descriptions "
          f"{how_long}, break result {p.break_result!r}, a pair of summary lines every "
          f"{p.interval:g} s (on stderr)\n", flush=True)
    try:
        yield p
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)
