"""Shared pytest settings of the suite."""
import os

import threads_main

# The sanitized run must test the sanitized modules, never the installed
# ones that would be found if its path were wrong.
if os.environ.get("VIGIL_SANITIZED") == "1":
    where = os.path.dirname(threads_main.__file__)
    if os.path.basename(where) != "python-asan":
        raise RuntimeError(f"VIGIL_SANITIZED=1 but threads_main comes from {where}")


def pytest_report_header(config):
    return f"threads_main from {os.path.dirname(threads_main.__file__)}"


_sanitized = []


def pytest_runtest_logreport(report):
    if report.when == "call":
        _sanitized.extend(v for k, v in report.user_properties if k == "sanitized_summary")


def pytest_terminal_summary(terminalreporter):
    for line in _sanitized:
        terminalreporter.write_line(f"sanitized run: {line}")
