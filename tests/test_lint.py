"""ruff over the project's Python files, with the settings in pyproject.toml."""
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
