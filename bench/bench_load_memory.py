"""The memory of a `python -m vigil_load` run: large results against a
callable that returns 1, and a long run against a short one, each beside the
same run with every result and task record kept (as vigil_load once did).

Every figure is the peak resident memory of its own child process: the
command line as a user runs it, without the report, whose plotting library
alone outweighs what the run keeps and is the same for every run. They
measure; they do not pass or fail. The long runs lower the period at which the records are
cleared from 50,000 to 10,000 tasks so that six periods fit in about a
minute; what a period costs scales with it.
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

TARGET = r'''
import os
import vigil_load.run

if os.environ.get("BENCH_KEEP"):
    # Every result and every task's record kept for the whole run.
    import threads_main

    class Keeping(threads_main.VigilThreadsMain):
        def __init__(self, *args, **kwargs):
            kwargs["reserve"] = True
            super().__init__(*args, **kwargs)

    threads_main.VigilThreadsMain = Keeping
    vigil_load.run.CLEAR_EVERY = 10**15
elif os.environ.get("BENCH_CLEAR_EVERY"):
    vigil_load.run.CLEAR_EVERY = int(os.environ["BENCH_CLEAR_EVERY"])

def one():
    return 1

def big():
    return b"x" * 100_000  # a new 100 KB object every call
'''


def peak_mb(work, callable_name, count, **env):
    """Peak resident memory, in MB, of one command-line run in a child."""
    child_env = dict(os.environ)
    source = os.path.join(os.path.dirname(HERE), "python")  # vigil_load when not installed
    child_env["PYTHONPATH"] = os.pathsep.join(
        [work, source] + [p for p in child_env.get("PYTHONPATH", "").split(os.pathsep) if p])
    child_env.update(env)
    args = [sys.executable, "-m", "vigil_load", f"memtarget:{callable_name}",
            "--count", str(count), "--workers", "30", "--rate", "2000", "--interval", "5",
            "--stats", os.path.join(work, "s.json")]
    p = subprocess.Popen(args, cwd=work, env=child_env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise SystemExit(f"the run of {callable_name} x {count} ended with {p.returncode}")
    return usage.ru_maxrss / 1024  # kB on Linux


def show(title, measured, reference, ref_text, kept, goal):
    ratio = measured / reference
    print(f"{title}\n  measured:  {measured:.1f} MB\n  reference: {reference:.1f} MB ({ref_text})\n"
          f"  ratio:     {ratio:.2f} (goal <= {goal}, {'met' if ratio <= goal else 'missed'})\n"
          f"  with every result and record kept: {kept:.1f} MB ({kept / reference:.2f})\n",
          flush=True)


def main():
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "memtarget.py"), "w") as f:
            f.write(TARGET)
        one = peak_mb(work, "one", 3000)
        big = peak_mb(work, "big", 3000)
        big_kept = peak_mb(work, "big", 3000, BENCH_KEEP="1")
        show("1. peak memory, 3,000 results of 100 KB", big, one, "3,000 results of 1",
             big_kept, 1.1)
        period = {"BENCH_CLEAR_EVERY": "10000"}
        short = peak_mb(work, "one", 10_000, **period)
        long = peak_mb(work, "one", 60_000, **period)
        long_kept = peak_mb(work, "one", 60_000, BENCH_KEEP="1")
        show("2. peak memory, 60,000 instant tasks (records cleared every 10,000)", long, short,
             "10,000 instant tasks", long_kept, 1.1)


if __name__ == "__main__":
    main()
