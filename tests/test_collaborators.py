"""The state holder and the log sink."""
import io
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

from vigil_log import VigilLog
from vigil_var import VigilVar


class VigilVarFields(unittest.TestCase):
    def test_fields_read_write_and_missing(self):
        v = VigilVar(a=1, b=[2])
        self.assertEqual((v.a, v.b), (1, [2]))
        v.a = 5
        self.assertEqual(v.a, 5)
        self.assertIsNone(v.never_written)
        self.assertFalse(v.break_result)
        with self.assertRaises(AttributeError):
            v.__no_such_dunder__
        v.add(a=7, c=3)
        v.set_kwargs(d=4)
        self.assertEqual((v.a, v.c, v.d), (7, 3, 4))
        del v.d
        self.assertIsNone(v.d)
        with self.assertRaises(AttributeError):
            del v.d

    def test_operations_not_hidden_by_fields(self):
        t = VigilVar()
        t.set("keys", value={"status": "x"})
        t.set("get", value={"status": "y"})
        self.assertIn("keys", t.keys())
        self.assertEqual(t.get("keys").status, "x")
        self.assertEqual(t.get("get").status, "y")


class VigilVarTable(unittest.TestCase):
    def test_records_from_mappings(self):
        t = VigilVar()
        src = {"thread": None, "result": None, "status": "待运行"}
        t.set("job", value=src)
        rec = t.get("job")
        self.assertEqual(rec.status, "待运行")
        rec.status = "完成"
        self.assertEqual(t.get("job").status, "完成")
        self.assertEqual(src["status"], "待运行", "the mapping is copied")
        t.set("job", value={"status": "new"})
        self.assertEqual(t.get("job").status, "new")
        self.assertIsNone(t.get("missing"))
        self.assertEqual(t.get("missing", 3), 3)
        t.set("plain", value=5)
        self.assertEqual(t.get("plain"), 5)

    def test_record_fields_and_extras(self):
        t = VigilVar()
        t.set("job", value={"thread": None, "result": 1, "status": "完成", "note": "x"})
        rec = t.get("job")
        self.assertEqual((rec.thread, rec.result, rec.status, rec.note), (None, 1, "完成", "x"))
        self.assertIsNone(rec.unknown)
        rec.result = [1]
        rec.extra = 2
        self.assertEqual(t.get("job").result, [1])
        self.assertEqual(rec.to_dict(), {"thread": None, "result": [1], "status": "完成",
                                         "note": "x", "extra": 2})
        self.assertEqual(rec.get("note"), "x")
        self.assertEqual(rec.get("nothing", 5), 5)
        del rec.status
        self.assertIsNone(rec.status)
        self.assertNotIn("status", rec.keys())
        self.assertIn("VigilRecord(", repr(rec))
        with self.assertRaises(AttributeError):
            rec.__missing_dunder__
        part = VigilVar()
        part.set("p", value={"status": "待运行"})
        self.assertEqual(part.get("p").keys(), ["status"])

    def test_keys_items_order_and_clear(self):
        t = VigilVar()
        for n in ["b", "a", "c"]:
            t.set(n, value={"status": n})
        t.set("b", value={"status": "again"})
        self.assertEqual(list(t.keys()), ["b", "a", "c"])
        self.assertEqual([(k, r.status) for k, r in t.items()],
                         [("b", "again"), ("a", "a"), ("c", "c")])
        self.assertIn("a", t.keys())
        self.assertNotIn("z", t.keys())
        self.assertEqual(len(t.keys()), 3)
        t.clear()
        self.assertEqual(list(t.keys()), [])
        self.assertNotIn("a", t.keys())

    def test_iteration_survives_concurrent_insertions(self):
        t = VigilVar()
        for i in range(1000):
            t.set(f"n{i}", value={"status": i})
        keys = t.keys()
        seen = []
        for i, k in enumerate(keys):
            seen.append(k)
            t.set(f"extra{i}", value={"status": i})  # grows while iterating
        self.assertEqual(len(seen), 1000)
        self.assertIn("extra999", keys, "membership is live")
        seen_items = 0
        for _k, _r in t.items():
            seen_items += 1
            t.set(f"more{seen_items}", value={})
        self.assertEqual(seen_items, 2000)

    def test_concurrent_writers(self):
        t = VigilVar()

        def writer(prefix):
            for i in range(2000):
                t.set(f"{prefix}{i}", value={"status": i})

        threads = [threading.Thread(target=writer, args=(p,)) for p in "abcd"]
        for th in threads:
            th.start()
        n = 0
        while any(th.is_alive() for th in threads):
            n += sum(1 for _ in t.keys())
        for th in threads:
            th.join()
        self.assertEqual(len(t.keys()), 8000)


class VigilLogSink(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.old_cwd = os.getcwd()
        os.chdir(self.dir.name)
        self.addCleanup(os.chdir, self.old_cwd)

    def capture_logger(self, title):
        logger = logging.getLogger(title)
        records = []

        class H(logging.Handler):
            def emit(self, record):
                records.append((record.levelno, record.getMessage()))

        h = H(logging.DEBUG)
        logger.addHandler(h)
        old = logger.level
        logger.setLevel(logging.DEBUG)

        def undo():
            logger.removeHandler(h)
            logger.setLevel(old)

        self.addCleanup(undo)
        return records

    def test_messages_reach_the_named_logger_at_their_level(self):
        records = self.capture_logger("VigilTest1")
        log = VigilLog(title="VigilTest1", file=False, control=False)
        log.info("hello")
        log.debug("Run error: x")
        log.warning("Close error：y")
        log.info({"total": 1, "done": 0})
        self.assertEqual(records, [
            (logging.INFO, "hello"),
            (logging.DEBUG, "Run error: x"),
            (logging.WARNING, "Close error：y"),
            (logging.INFO, "{'total': 1, 'done': 0}"),
        ])
        self.assertEqual(os.listdir("."), [], "file=False writes no file")

    def test_file_true_and_path(self):
        a = VigilLog(title="VigilTest2", file=True)
        a.info("第一 line")
        a.close()
        with open("VigilTest2.log", encoding="utf-8") as f:
            self.assertIn("第一 line", f.read())
        path = os.path.join(self.dir.name, "custom.log")
        with open(path, "w", encoding="utf-8") as f:
            f.write("existing\n")
        b = VigilLog(title="VigilTest2b", file=path)
        b.info("appended")
        b.close()
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith("existing\n"))
        self.assertIn("appended", text)

    def test_two_sinks_with_one_title_do_not_share_lines(self):
        a = VigilLog(title="VigilShared", file="a.log")
        b = VigilLog(title="VigilShared", file="b.log")
        a.info("from a")
        b.info("from b")
        a.close()
        b.close()
        with open("a.log", encoding="utf-8") as f:
            ta = f.read()
        with open("b.log", encoding="utf-8") as f:
            tb = f.read()
        self.assertIn("from a", ta)
        self.assertNotIn("from b", ta)
        self.assertIn("from b", tb)
        self.assertNotIn("from a", tb)

    def test_console_goes_to_current_stderr(self):
        log = VigilLog(title="VigilTest3", control=True)
        buf = io.StringIO()
        old = sys.stderr
        sys.stderr = buf
        try:
            log.info("to the console")
            log.debug("not at info level")
        finally:
            sys.stderr = old
        self.assertIn("to the console", buf.getvalue())
        self.assertNotIn("not at info level", buf.getvalue())

    def test_concurrent_calls(self):
        log = VigilLog(title="VigilTest4", file="c.log")

        def burst(k):
            for i in range(300):
                log.info(f"t{k} m{i}")

        ts = [threading.Thread(target=burst, args=(k,)) for k in range(4)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        log.close()
        with open("c.log", encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 1200)


class ConsoleOnce(unittest.TestCase):
    """A manager made with logger=True in a program that configured logging
    its own way: each message reaches the console once, files get theirs."""

    def run_child(self, setup, logger=True, logfile=False):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        code = (
            "import logging, sys, threads_main\n"
            f"{setup}\n"
            "m = threads_main.VigilThreadsMain(lambda: None, max_workers=1, "
            f"logger={logger!r}, logfile={logfile!r})\n"
            "m._log.info('probe-info')\n"
            "m._log.warning('probe-warn')\n"
            "m._log.debug('probe-debug')\n"
            "m._close()\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             cwd=d, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)

        def read(name):
            with open(os.path.join(d, name), encoding="utf-8") as f:
                return f.read()
        return out.stderr, out.stdout, read

    def counts(self, text):
        return [text.count(w) for w in ("probe-info", "probe-warn", "probe-debug")]

    def test_each_combination(self):
        basic_info = "logging.basicConfig(level=logging.INFO)"
        cases = [
            # (application's setup, logger, lines on stderr, lines on stdout)
            ("", True, [1, 1, 0], [0, 0, 0]),
            ("", False, [0, 0, 0], [0, 0, 0]),
            # The root logger's default WARNING: warnings through it, the
            # rest through the sink's own console.
            ("logging.basicConfig()", True, [1, 1, 0], [0, 0, 0]),
            (basic_info, True, [1, 1, 0], [0, 0, 0]),
            (basic_info, False, [1, 1, 0], [0, 0, 0]),
            ("logging.basicConfig(level=logging.DEBUG)", True, [1, 1, 1], [0, 0, 0]),
            ("logging.basicConfig(level=logging.INFO, stream=sys.stdout)", True,
             [0, 0, 0], [1, 1, 0]),
            # A console handler that takes only warnings leaves the info
            # line to the sink.
            (basic_info + "; logging.getLogger().handlers[0].setLevel(logging.WARNING)",
             True, [1, 1, 0], [0, 0, 0]),
            # A handler on the named logger that does not pass records up.
            ("h = logging.StreamHandler(); logging.getLogger('VigilThreads').addHandler(h);"
             " logging.getLogger('VigilThreads').setLevel(logging.INFO);"
             " logging.getLogger('VigilThreads').propagate = False", True,
             [1, 1, 0], [0, 0, 0]),
        ]
        for setup, logger, err_counts, out_counts in cases:
            with self.subTest(setup=setup, logger=logger):
                err, out, _ = self.run_child(setup, logger)
                self.assertEqual(self.counts(err), err_counts, err)
                self.assertEqual(self.counts(out), out_counts, out)
                # The manager's own info lines go the same way.
                self.assertEqual((err + out).count("Close complete"),
                                 err_counts[0] + out_counts[0], err + out)

    def test_files_keep_their_lines(self):
        err, _, read = self.run_child(
            "logging.basicConfig(level=logging.INFO, filename='app.log')",
            logfile="sink.log")
        self.assertEqual(self.counts(err), [1, 1, 0], err)
        self.assertEqual(self.counts(read("app.log")), [1, 1, 0])
        self.assertEqual(self.counts(read("sink.log")), [1, 1, 0])
        err, _, read = self.run_child(
            "logging.basicConfig(level=logging.INFO)", logfile="sink2.log")
        self.assertEqual(self.counts(err), [1, 1, 0], err)
        self.assertEqual(self.counts(read("sink2.log")), [1, 1, 0])


if __name__ == "__main__":
    unittest.main()
