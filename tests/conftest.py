"""Shared pytest settings of the suite."""
import importlib
import os
import subprocess
import sys

import pytest

import threads_main

# The sanitized run must test the sanitized modules, never the installed
# ones that would be found if its path were wrong.
if os.environ.get("VIGIL_SANITIZED") == "1":
    where = os.path.dirname(threads_main.__file__)
    if os.path.basename(where) != "python-asan":
        raise RuntimeError(f"VIGIL_SANITIZED=1 but threads_main comes from {where}")


def pytest_xdist_auto_num_workers(config):
    # Two per CPU this process may use, at most four: the tests mostly wait,
    # and more would only crowd a small machine's cores.
    return max(2, min(4, 2 * len(os.sched_getaffinity(0))))


def pytest_collection_modifyitems(items):
    # The sanitizer run is by far the longest test: started first, it runs
    # beside all the others instead of after them.
    items.sort(key=lambda item: item.get_closest_marker("sanitizer") is None)


def pytest_report_header(config):
    return f"threads_main from {os.path.dirname(threads_main.__file__)}"


_sanitized = []


def pytest_runtest_logreport(report):
    if report.when == "call":
        _sanitized.extend(v for k, v in report.user_properties if k == "sanitized_summary")


def pytest_terminal_summary(terminalreporter):
    for line in _sanitized:
        terminalreporter.write_line(f"sanitized run: {line}")


# Modules the vigil_load tests write into their folders and name as targets.
TARGET_MODULES = ("loadtarget", "memtarget", "broken", "spreadtarget", "awaytarget",
                  "steertarget")


@pytest.fixture
def vigil_main(monkeypatch, capsys):
    """vigil_load's command line in this process: call(args, cwd) runs main()
    in the folder cwd and returns what a child's CompletedProcess would,
    without starting an interpreter and the plotting library each time."""
    import vigil_load.cli
    import vigil_load.run

    monkeypatch.setattr(sys, "path", list(sys.path))  # the command adds its folder
    # It ends the process when a task's thread outlives the run, and here the
    # task threads of other tests would count.
    monkeypatch.setattr(vigil_load.run, "end_lingering", lambda status: None)

    def forget():  # each test's targets come from its own folder
        for name in TARGET_MODULES:
            sys.modules.pop(name, None)
        importlib.invalidate_caches()

    def call(args, cwd):
        monkeypatch.chdir(cwd)
        capsys.readouterr()
        try:
            status = vigil_load.cli.main(list(args))
        except SystemExit as done:  # --help
            status = done.code
        out, err = capsys.readouterr()
        return subprocess.CompletedProcess(args, status, out, err)

    forget()
    yield call
    forget()
