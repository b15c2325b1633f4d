"""The installed distribution: where the modules come from, what pip
recorded (and so removes on uninstall), and what it declares."""
import importlib.metadata
import os
import subprocess
import sys
import sysconfig

import pytest

import threads_main
import vigil_log
import vigil_var

pytestmark = pytest.mark.tooling

DIST = "threads-main"


def test_the_tests_use_the_installed_modules():
    site = os.path.realpath(sysconfig.get_path("platlib"))
    for mod in (threads_main, vigil_log, vigil_var):
        assert os.path.dirname(os.path.realpath(mod.__file__)) == site, mod.__file__


def test_pip_records_every_installed_file():
    files = importlib.metadata.files(DIST)
    assert files
    top = {f.parts[0] for f in files}
    soabi = sysconfig.get_config_var("EXT_SUFFIX")
    assert top >= {f"{m}{soabi}" for m in ("threads_main", "vigil_log", "vigil_var")} | {
        "threads_main-stubs", "vigil_log-stubs", "vigil_var-stubs",
        f"threads_main-{importlib.metadata.version(DIST)}.dist-info"}
    for f in files:
        assert os.path.exists(f.locate()), f
    # vigil_load's files that are not Python: its report draws from templates.
    assert {"vigil_load/py.typed", "vigil_load/templates/report.html",
            "vigil_load/templates/tables.html"} <= {f.as_posix() for f in files}
    # Nothing of ours lies beside them that pip does not know about.
    site = sysconfig.get_path("platlib")
    ours = [n for n in os.listdir(site)
            if n.split(".")[0].split("-")[0] in ("threads_main", "vigil_log", "vigil_var")]
    assert set(ours) <= top


def test_metadata():
    meta = importlib.metadata.metadata(DIST)
    assert meta["Requires-Python"] == "==3.13.*"
    # Test tools are an extra; importing the modules needs nothing.
    requires = importlib.metadata.requires(DIST) or []
    assert requires and all("extra ==" in r for r in requires), requires
    assert "test" in meta.get_all("Provides-Extra")


def test_import_from_anywhere(tmp_path):
    # -I: no PYTHONPATH, no working directory, no user site on the path.
    out = subprocess.run(
        [sys.executable, "-I", "-c",
         "import threads_main, vigil_log, vigil_var; print(threads_main.DONE)"],
        capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (out.returncode, out.stdout) == (0, "完成\n"), out.stderr
