"""The whole suite once more, against the three modules built with
AddressSanitizer and UBSan.

The sanitized modules are built with CMake beside the installed ones and
loaded by this same interpreter with the sanitizer runtimes preloaded; a
child pytest runs every test except the checks of the package itself.
Deselect with -m 'not sanitizer'.
"""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "sanitize")
TARGETS = ["threads_main_asan", "vigil_log_asan", "vigil_var_asan"]


def tool(name):
    """The environment's own copy (the test extra installs CMake and Ninja),
    else the one on PATH."""
    here = os.path.join(sysconfig.get_path("scripts"), name)
    return here if os.path.exists(here) else shutil.which(name)


def check(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
    assert out.returncode == 0, f"{' '.join(cmd)} failed:\n{out.stdout}{out.stderr}"


@pytest.mark.sanitizer
@pytest.mark.timeout(3600)
def test_whole_suite_under_sanitizers(record_property, capsys):
    cmake, ninja = tool("cmake"), tool("ninja")
    assert cmake and ninja, "CMake and Ninja are needed: install the test extra"
    check([cmake, "-S", ROOT, "-B", BUILD, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
           f"-DPython3_EXECUTABLE={sys.executable}", "-DVIGIL_SANITIZE=ON"])
    check([cmake, "--build", BUILD, "--target", *TARGETS])
    with open(os.path.join(BUILD, "sanitizer-preload"), encoding="utf-8") as f:
        preload = f.read().strip()

    env = dict(os.environ)
    env.update({
        "PYTHONPATH": os.path.join(BUILD, "python-asan"),
        "PYTHONDONTWRITEBYTECODE": "1",
        # Every allocation through malloc, so ASan sees the objects too.
        "PYTHONMALLOC": "malloc",
        "VIGIL_SANITIZED": "1",
        "PYTHONUNBUFFERED": "1",  # its dots shown as they come
        "LD_PRELOAD": preload,
        # Leak detection is off: the interpreter keeps its own allocations
        # until exit.
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:halt_on_error=1",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    })
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
           "-m", "not sanitizer and not tooling",
           f"--basetemp={os.path.join(BUILD, 'tmp')}", os.path.join(ROOT, "tests")]
    # The child's progress is shown as it runs: the run takes many minutes.
    child = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
    chunks = []
    try:
        with capsys.disabled():
            sys.stdout.write("\n")
            for chunk in iter(lambda: child.stdout.read1(4096), b""):
                chunks.append(chunk)
                sys.stdout.write(chunk.decode("utf-8", "replace"))
                sys.stdout.flush()
        returncode = child.wait()
    finally:
        if child.poll() is None:  # the outer run was ended: so is its child
            child.kill()
            child.wait()
    output = b"".join(chunks).decode("utf-8", "replace")
    with open(os.path.join(BUILD, "last-run.log"), "w", encoding="utf-8") as f:
        f.write(output)
    lines = [line for line in output.splitlines() if line.strip()]
    record_property("sanitized_summary", lines[-1] if lines else "(no output)")
    if returncode != 0:
        pytest.fail(f"the sanitized run failed (exit {returncode}); its output:\n"
                    f"{output}", pytrace=False)
