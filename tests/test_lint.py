"""ruff over the project's Python files, and mypy --strict over vigil_load,
with the settings in pyproject.toml."""
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.tooling

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_ruff_finds_nothing():
    out = subprocess.run([sys.executable, "-m", "ruff", "check", "--no-cache", "."],
                         capture_output=True, text=True, cwd=ROOT, timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr


def test_vigil_load_type_checks_strictly():
    # Against the installed stubs, which declare the statistics' shapes; the
    # cache under build/ makes a second run take a fraction of the first.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict",
                          "--cache-dir", os.path.join("build", "mypy-cache"),
                          os.path.join("python", "vigil_load")],
                         capture_output=True, text=True, cwd=ROOT, timeout=300,
                         env={**os.environ, "MYPYPATH": ""})
    assert out.returncode == 0, out.stdout + out.stderr
