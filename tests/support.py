"""Helpers shared by the test modules."""
import threading
import time

import threads_main


class RecordingLog:
    """Stands in for a manager's log sink; keeps (level, message) pairs."""

    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []

    def _add(self, level, msg):
        with self.lock:
            self.entries.append((level, msg))

    def info(self, msg):
        self._add("info", msg)

    def debug(self, msg):
        self._add("debug", msg)

    def warning(self, msg):
        self._add("warning", msg)

    def messages(self, level=None):
        with self.lock:
            return [m for lv, m in self.entries if level is None or lv == level]


class FakeQueue:
    """Stands in for a manager's queue from the moment it is made: a method
    given by keyword replaces the real queue's method of that name, and
    everything else goes to the real queue. restore() puts that back."""

    def __init__(self, manager, **methods):
        self.manager, self.real = manager, manager._var.queue
        vars(self).update(methods)
        manager._var.queue = self

    def __getattr__(self, name):
        return getattr(self.real, name)

    def restore(self):
        self.manager._var.queue = self.real


def wait_until(pred, timeout=30.0, interval=0.005):
    # The bound only ends a wait for something that never comes: it is
    # generous, since a loaded machine or the sanitized build may take many
    # times as long as a quiet one.
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(interval)
    return pred()


def retire(manager, timeout=5.0):
    """Ends a manager's dispatcher without relying on the close operation."""
    close = getattr(manager, "_close", None)
    if close is not None and manager._var.switch:
        try:
            close()
        except Exception:  # a test may have left a broken sink or queue
            pass
    manager._var.switch = False
    t = manager._var.thread_init
    if t is not None:
        t.join(timeout)


class ManagerCase:
    """Mixin: builds managers that are retired after each test."""

    def make(self, func, *args, log=True, **kwargs):
        m = threads_main.VigilThreadsMain(func, *args, **kwargs)
        self.addCleanup(retire, m)
        if log:
            m._log = RecordingLog()
        return m

    def wait_done(self, m, timeout=60.0):
        self.assertTrue(wait_until(lambda: m._done(), timeout), "work did not finish")

    def wait_running(self, m, *names):
        self.assertTrue(wait_until(lambda: all(
            m._var.threads.get(n).status == "运行中" for n in names)), f"not all running: {names}")
