"""A ten-second load run against a small HTTP server of our own.

The server listens on 127.0.0.1 on a port the system picks; each reply takes
3 to 100 ms and about one in ten fails with status 500. A manager requests
URLs from it with urllib, repeating a list of request descriptions for ten
seconds, while `_join_property` prints statistics lines every two seconds.
At the end the counters and a few failed results are printed and both the
manager and the server are closed. Nothing leaves this machine: the server
binds the loopback address and the requests bypass any configured proxy.
"""
import collections
import http.server
import random
import sys
import threading
import time
import urllib.error
import urllib.request

import threads_main

DURATION = 10          # seconds of submissions and of the wait
INTERVAL = 2           # seconds between two pairs of statistics lines
MAX_WORKERS = 20
FAIL_SHARE = 0.10      # share of replies that are a 500
DELAY_MS = (3, 100)    # reply time range
REQUEST_TIMEOUT = 5    # seconds; no request can hang the run


class Handler(http.server.BaseHTTPRequestHandler):
    """Waits a random few milliseconds, then answers 200, or now and then 500."""

    def do_GET(self):
        time.sleep(random.uniform(*DELAY_MS) / 1000)
        status = 500 if random.random() < FAIL_SHARE else 200
        body = f"{status} {self.path}\n".encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):  # keep the console for the manager
        pass


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128  # room for every worker connecting at once
    daemon_threads = True


# No proxy, whatever the environment says: requests go straight to loopback.
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def fetch(url):
    """The manager's callable: the status code of one GET (500 is returned, not raised)."""
    try:
        with opener.open(url, timeout=REQUEST_TIMEOUT) as reply:
            reply.read()
            return reply.status
    except urllib.error.HTTPError as err:
        err.close()
        return err.code


def say(text=""):
    print(text, flush=True)


def main():
    started = time.monotonic()
    server = Server(("127.0.0.1", 0), Handler)
    host, port = server.server_address[:2]
    serving = threading.Thread(target=server.serve_forever, name="http-server",
                               daemon=True)
    serving.start()
    base = f"http://{host}:{port}"
    say(f"server: {base}  (replies {DELAY_MS[0]}-{DELAY_MS[1]} ms, "
        f"~{FAIL_SHARE:.0%} status 500)")

    requests = [{"url": f"{base}/items/{i}"} for i in range(40)]
    requests += [{"url": f"{base}/search?q=w{i}"} for i in range(10)]
    say(f"manager: max_workers={MAX_WORKERS}, {len(requests)} request "
        f"descriptions repeated for {DURATION} s, break result 500, "
        f"a statistics pair every {INTERVAL} s (on stderr)")
    say()

    m = threads_main.VigilThreadsMain(fetch, max_workers=MAX_WORKERS,
                                      logger=True, duration=DURATION)
    try:
        m._send_list(requests)
        m._join_property(500, interval=INTERVAL)
        waited = time.monotonic() - started
        before_close = m._get_run_status()
        queued = m._get_qsize()
    finally:
        m._close()

    after_close = m._get_run_status()
    var = m._var
    say()
    say(f"at the end of the wait ({waited:.1f} s after the start):")
    say(f"  counters:    {before_close}")
    say(f"  queued then: {queued} (withdrawn by _close)")
    say("after _close:")
    say(f"  counters:    {after_close}")
    if var.dones:
        say(f"  run time:    min {var.min_time} ms, max {var.max_time} ms, "
            f"mean {var.all_time // len(var.dones)} ms over "
            f"{len(var.dones)} finished tasks")

    outcomes = collections.Counter()
    for name in var.dones:
        result = var.threads.get(name).result
        outcomes[type(result).__name__ if isinstance(result, BaseException)
                 else result] += 1
    say("  results of finished tasks: " +
        ", ".join(f"{k}: {n}" for k, n in sorted(outcomes.items(), key=str)))

    failed = list(var.failed)
    if var.dones:
        say(f"  failed:      {len(failed)} of {len(var.dones)} finished "
            f"({100 * len(failed) / len(var.dones):.1f}%); the Err share of the "
            f"\"summary =\" lines divides by the {len(var.totals)} submitted")
    say()
    say(f"failed tasks (a result of 500 counts as failed, so does a raised "
        f"exception), the first {min(5, len(failed))} of {len(failed)}:")
    for name in failed[:5]:
        rec = var.threads.get(name)
        say(f"  {name:<12} status {rec.status}  result {rec.result!r}")
    raised = m._get_failed()
    if raised:
        say(f"tasks that raised: {len(raised)}, e.g. "
            f"{raised[0]}: {var.threads.get(raised[0]).result!r}")

    server.shutdown()
    server.server_close()
    serving.join(5)
    say()
    say(f"server closed; whole run {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
