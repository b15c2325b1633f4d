"""Where a command's results go and how it ends: its exit statuses, the
check of its output files before anything runs, standard output given to
the statistics alone (--stats -) and its own lines."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator

from .files import destination
from .inputs import BadInput

STDOUT = "-"
EXIT_BAD_INPUT = 2
EXIT_CHECK_FAILED = 1
EXIT_WORKER_LOST = 3  # --processes, --dask: a worker died; the others' results are written
EXIT_SIGNALLED = 128  # plus the signal's number: 130 Ctrl-C, 143 SIGTERM


def check_outputs(stats: str, report: str | None) -> None:
    if report == STDOUT:
        raise BadInput("--report -: the report is written to a file only "
                       "(--stats - writes the statistics to standard output)")
    paths = [p for p in (stats, report) if p is not None and p != STDOUT]
    if len({os.path.realpath(p) for p in paths}) < len(paths):
        raise BadInput("--stats and --report must name different files")
    for path in paths:
        try:
            destination(path)
        except OSError as err:
            raise BadInput(f"cannot write results: {err}") from None


@contextlib.contextmanager
def json_stdout(stats: str) -> Iterator[int | None]:
    """With --stats -, standard output carries the statistics alone: for the
    length of the block everything else written to it, by us or by a task,
    goes to stderr. Yields the descriptor of the real standard output, or
    None when the statistics go to a file."""
    if stats != STDOUT:
        yield None
        return
    sys.stdout.flush()
    try:
        real = os.dup(1)
    except OSError as err:
        raise BadInput(f"--stats -: standard output is not open: {err.strerror}") from None
    os.dup2(2, 1)
    try:
        yield real
    finally:
        sys.stdout.flush()
        os.dup2(real, 1)
        os.close(real)


def say(text: str = "") -> None:
    print(text, flush=True)
