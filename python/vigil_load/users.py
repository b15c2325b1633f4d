"""A target that is a class: state kept per worker, as a virtual user keeps
its login or a keep-alive connection across its calls.

Every call is its own thread as Python sees it, so a threading.local()
connection would be opened per call. Instead an instance of the class is
lent to each call: a free one when there is one, else a new one, so there
are never more than the calls that ran at once (at most the worker count),
and an instance is never in two calls at once. A new instance's on_start()
runs before its first call, and on_stop() of every instance at the end of
the run, when the class has them.
"""

from __future__ import annotations

import sys
import threading
from typing import Any, Final

SHOWN_FAILURES: Final = 3  # failed on_stop() calls named on stderr at most


def has_call(cls: type) -> bool:
    """Whether instances of `cls` are callable."""
    return any("__call__" in vars(k) for k in cls.__mro__ if k is not object)


class Instances:
    """The callable a manager runs for a class target: it lends an instance
    to each call and calls it with the call's keyword arguments."""

    def __init__(self, cls: type) -> None:
        self.cls = cls
        self.name = f"{cls.__module__}.{cls.__qualname__}"
        self._lock = threading.Lock()
        self._free: list[Any] = []
        # Instances whose call was stopped halfway (a stop, a time-out):
        # their state is unknown, so they are not lent again.
        self._retired: list[Any] = []
        self.made = 0

    def __call__(self, **kwargs: Any) -> Any:
        with self._lock:
            user = self._free.pop() if self._free else None
        if user is None:
            user = self.cls()
            on_start = getattr(user, "on_start", None)
            if on_start is not None:
                on_start()  # a failure fails this call; the instance is dropped
            with self._lock:
                self.made += 1
        done = False
        try:
            result = user(**kwargs)
            done = True
            return result
        except Exception:
            done = True  # the target's own failure: the instance stays usable
            raise
        finally:
            with self._lock:
                (self._free if done else self._retired).append(user)

    def close(self) -> None:
        """on_stop() of every instance not in a call, once; a failure is
        named on stderr and the others still run."""
        with self._lock:
            users = self._free + self._retired
            self._free, self._retired = [], []
        failed = 0
        for user in users:
            on_stop = getattr(user, "on_stop", None)
            if on_stop is None:
                continue
            try:
                on_stop()
            except Exception as err:
                failed += 1
                if failed <= SHOWN_FAILURES:
                    print(f"vigil_load: on_stop() of a {self.name} raised "
                          f"{type(err).__name__}: {err}", file=sys.stderr, flush=True)
        if failed > SHOWN_FAILURES:
            print(f"vigil_load: on_stop() raised in {failed - SHOWN_FAILURES} more instances",
                  file=sys.stderr, flush=True)
