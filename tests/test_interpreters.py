"""The three modules in subinterpreters: each interpreter gets module objects,
types and state of its own, and a manager works there."""
import subprocess
import sys
import textwrap
import unittest

# Run in a child process: a failure inside a subinterpreter must not take
# the test runner with it. The child prints one line of results.
CHILD = textwrap.dedent("""\
    import os, _interpreters
    import threads_main, vigil_log, vigil_var

    def run_in(config, source):
        r, w = os.pipe()
        iid = _interpreters.create(_interpreters.new_config(config, **EXTRA))
        try:
            failure = _interpreters.exec(iid, source.replace("WFD", str(w)))
        finally:
            _interpreters.destroy(iid)
        os.close(w)
        with os.fdopen(r) as f:
            return failure, f.read()

    SOURCE = REFUSED if REFUSED else '''
    import os, threading, time
    import threads_main, vigil_log, vigil_var
    # The second run, sent once the first has ended, gets its runner (and
    # its native thread id).
    m = threads_main.VigilThreadsMain(
        lambda x: (x * 2, threading.get_native_id(), threading.current_thread()), 1)
    for name, x in (("job", 21), ("next", 0)):
        m._send(name, x=x)
        deadline = time.monotonic() + 60
        while name not in m._var.dones and time.monotonic() < deadline:
            time.sleep(0.01)
        m._get_result(name)[name][2].join(60)
    (result, tid, _), (_, next_tid, _) = m._get_result("job")["job"], m._get_result("next")["next"]
    result = result if tid == next_tid else "not on a runner"
    m._close()
    m._var.thread_init.join(5)
    m._var.queue.join_thread()
    ids = (id(threads_main.VigilThreadsMain), id(threads_main.ManagerError),
           id(vigil_var.VigilVar), id(vigil_log.VigilLog))
    os.write(WFD, f"{result} {ids}".encode())
    '''
    ours = (id(threads_main.VigilThreadsMain), id(threads_main.ManagerError),
            id(vigil_var.VigilVar), id(vigil_log.VigilLog))
    failure, out = run_in(CONFIG, SOURCE)
    if REFUSED:
        print(failure is None, out)
    else:
        print(failure is None, out.split(" ", 1)[0],
              all(a != b for a, b in zip(eval(out.split(" ", 1)[1]), ours)) if out else None)
""")

# An isolated interpreter that refuses daemon threads: the queue's feeder
# thread cannot start, so no submission can succeed.
REFUSED = textwrap.dedent("""\
    import os
    import threads_main
    m = threads_main.VigilThreadsMain(lambda: None, 2)
    try:
        m._send("job")
    except RuntimeError:
        pass
    os.write(WFD, repr((m._get_all_status(), m._var.totals, m._get_qsize())).encode())
    # No close: the interpreter's end must not wait for the dispatcher.
    """)


def child(config, refused="", **extra):
    code = f"CONFIG = {config!r}\nEXTRA = {extra!r}\nREFUSED = {refused!r}\n" + CHILD
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=180)
    if out.returncode != 0:
        raise AssertionError(f"the child failed:\n{out.stdout}\n{out.stderr}")
    return out.stdout.split()


class Subinterpreters(unittest.TestCase):
    def test_isolated_interpreter_with_its_own_gil(self):
        # multiprocessing.Queue feeds its pipe from a daemon thread, which an
        # isolated interpreter refuses unless allowed.
        self.assertEqual(child("isolated", allow_daemon_threads=True),
                         ["True", "42", "True"])

    def test_refused_submission_leaves_nothing_and_the_interpreter_ends(self):
        self.assertEqual(child("isolated", REFUSED, allow_daemon_threads=False),
                         ["True", "({},", "[],", "0)"])

    def test_legacy_interpreter_gets_types_of_its_own(self):
        self.assertEqual(child("legacy"), ["True", "42", "True"])


if __name__ == "__main__":
    unittest.main()
