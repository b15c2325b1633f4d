"""The whole suite once more, against the three modules built with
AddressSanitizer and UBSan.

The sanitized modules are built with CMake beside the installed ones and
loaded by this same interpreter with the sanitizer runtimes preloaded; a
child pytest runs every test except the checks of the package itself.
Deselect with -m 'not sanitizer'.
"""
import codecs
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import time

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


def end_session(sid):
    """Kill what is still running in session sid; return its command lines."""
    left = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                stat = f.read()
            # The fields after the command's parenthesised name: state, ppid, pgrp, session.
            if int(stat[stat.rindex(b")") + 2:].split()[3]) != sid:
                continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                left.append(f"{pid}: " + f.read().replace(b"\0", b" ").decode("utf-8", "replace"))
            os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError, IndexError):
            pass  # gone meanwhile
    return left


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
    # Serially: a test beside it in the outer run has the other cores.
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", "0",
           "-m", "not sanitizer and not tooling",
           f"--basetemp={os.path.join(BUILD, 'tmp')}", os.path.join(ROOT, "tests")]
    # The child writes to a file, not a pipe: a process some test left behind
    # would hold a pipe open and the read would never end. Its own session lets
    # whatever it leaves be found and ended.
    log_path = os.path.join(BUILD, "last-run.log")
    with open(log_path, "wb") as log:
        child = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=log,
                                 stderr=subprocess.STDOUT, start_new_session=True)
    try:
        # Its progress is shown line by line on standard error, the one stream
        # a worker process of the outer run shares with the terminal.
        with capsys.disabled(), open(log_path, "rb") as shown:
            text = codecs.getincrementaldecoder("utf-8")("replace")
            pending = ""
            while True:
                done = child.poll() is not None
                *lines, pending = (pending + text.decode(shown.read(), final=done)).split("\n")
                if done and pending:
                    lines.append(pending)
                for line in lines:
                    sys.stderr.write(f"sanitized: {line}\n")
                sys.stderr.flush()
                if done:
                    break
                time.sleep(0.5)
        returncode = child.wait()
    finally:
        if child.poll() is None:  # the outer run was ended: so is its child
            child.kill()
            child.wait()
        left = end_session(child.pid)
    with open(log_path, "rb") as f:
        output = f.read().decode("utf-8", "replace")
    if left:
        output += "\nleft running by the sanitized run, ended:\n" + "\n".join(left) + "\n"
        with capsys.disabled():
            sys.stdout.write(output[output.rindex("\nleft running"):])
    lines = [line for line in output.split("\nleft running")[0].splitlines() if line.strip()]
    record_property("sanitized_summary", lines[-1] if lines else "(no output)")
    if returncode != 0:
        pytest.fail(f"the sanitized run failed (exit {returncode}); its output:\n"
                    f"{output}", pytrace=False)
