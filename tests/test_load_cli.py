"""The command line: bad input is refused before any task starts, results go
only to regular files, and merging files with checks gates the exit status.
In this process through main(), but for one run and one merge through the
real entry point in a child."""

import json
import os
import socket
import stat
import subprocess
import sys

import pytest

import threads_main
import vigil_load
from load_support import START, TARGET, child_env, error, make_group, make_stats, row, run_cli


@pytest.fixture
def work(tmp_path):
    (tmp_path / "loadtarget.py").write_text(TARGET)
    (tmp_path / "tasks.jsonl").write_text('{"ms": 1}\n\n{"ms": 2, "result": "x"}\n')
    return tmp_path


def refused(p, work, *fragments, inputs=("loadtarget.py", "tasks.jsonl")):
    """Exit status 2, one line on stderr naming the problem, nothing run and
    nothing written."""
    assert p.returncode == 2, (p.stdout, p.stderr)
    lines = p.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vigil_load: "), p.stderr
    for fragment in fragments:
        assert fragment in lines[0]
    assert p.stdout == ""
    left = sorted(f.name for f in work.iterdir() if f.name != "__pycache__")
    assert left == sorted(inputs), "a task ran or a file was written"


class TestBadInput:
    @pytest.mark.parametrize("target, fragments", [
        ("nosuchmodule:work", ("cannot import 'nosuchmodule'", "ModuleNotFoundError")),
        ("loadtarget:nothere", ("has no attribute 'nothere'",)),
        ("loadtarget:NOT_CALLABLE", ("not callable", "int")),
        ("loadtarget", ("MODULE:CALLABLE",)),
        ("broken:work", ("cannot import 'broken'", "ZeroDivisionError")),
        ("loadtarget:Jobs", ("a class whose instances are not callable", "__call__")),
    ])
    def test_target(self, work, target, fragments, vigil_main):
        (work / "broken.py").write_text("1 / 0\n")
        p = vigil_main([target, "--count", "1"], work)
        refused(p, work, *fragments, inputs=("loadtarget.py", "tasks.jsonl", "broken.py"))

    @pytest.mark.parametrize("text, fragments", [
        ('{"ms": 1}\n{"ms": 2\n', ("line 2", "not JSON")),
        ('{"ms": 1}\n\n\n[1, 2]\n', ("line 4", "JSON object", "list")),
        ('{"thread_name": 7}\n', ("line 1", "thread_name")),
        ('{"not a name": 1}\n', ("line 1", "keyword argument")),
        ("\n\n", ("has no tasks",)),
    ])
    def test_malformed_tasks_line(self, work, text, fragments, vigil_main):
        (work / "tasks.jsonl").write_text(text)
        p = vigil_main(["loadtarget:work", "--tasks", "tasks.jsonl"], work)
        refused(p, work, "tasks.jsonl", *fragments)

    def test_missing_tasks_file(self, work, vigil_main):
        refused(vigil_main(["loadtarget:work", "--tasks", "nope.jsonl"], work), work,
                "cannot read the tasks file nope.jsonl")

    @pytest.mark.parametrize("args, fragments", [
        (["--interval", "0"], ("--interval", "greater than 0")),
        (["--interval", "-1"], ("--interval",)),
        (["--duration", "-5"], ("--duration", "greater than 0")),
        (["--count", "-3"], ("--count", "greater than 0")),
        (["--count", "2.5"], ("--count", "must be a whole number")),
        (["--workers", "0"], ("--workers",)),
        (["--rate", "nan"], ("--rate",)),
        (["--duration", "1", "--count", "2"], ("not allowed with",)),
        (["--break-result", "{oops"], ("--break-result must be JSON",)),
        (["--break-result", "0"], ("cannot be break results",)),
        (["--warmup", "0"], ("--warmup", "greater than 0")),
        (["--timeout", "-1"], ("--timeout", "greater than 0")),
        (["--group-by", "not a name"], ("--group-by", "keyword argument name")),
        (["--warmup", "5", "--duration", "2"], ("--warmup 5", "shorter than the run's duration")),
        (["--processes", "100000"], ("--processes 100000", "at most")),
        (["--no-such-option"], ("unrecognized arguments",)),
        (["--stages", "30x:10"], ("--stages 30x:10", "DURATION:TARGET", "in s, m or h")),
        (["--stages", "1m:4,30s"], ("stage 2", "DURATION:TARGET")),
        (["--stages", "1s:2.5"], ("whole number of workers",)),
        (["--stages", "1s:-1"], ("0 or more",)),
        (["--stages", "1s:x", "--rate", "5"], ("number of starts a second",)),
        (["--stages", "0s:4"], ("0 s in all",)),
        (["--stages", "1s:1", "--duration", "2"], ("not allowed with",)),
        (["--stages", "1s:1", "--shape", "loadtarget:work"], ("cannot be used together",)),
        (["--shape", "loadtarget:work", "--count", "3"], ("--duration S, not --count",)),
        (["--shape", "loadtarget:Jobs"], ("must be a function, not a class",)),
    ])
    def test_numbers_and_options(self, work, args, fragments, vigil_main):
        refused(vigil_main(["loadtarget:work", *args], work), work, *fragments)

    @pytest.mark.parametrize("option", ["--report", "--stats"])
    def test_unwritable_result_paths(self, work, option, vigil_main):
        refused(vigil_main(["loadtarget:work", option, "no/such/dir/out"], work), work,
                "cannot write results", "does not exist")
        (work / "adir").mkdir()
        refused(vigil_main(["loadtarget:work", option, "adir"], work), work,
                "is a directory", inputs=("loadtarget.py", "tasks.jsonl", "adir"))

    def test_stats_and_report_in_one_file(self, work, vigil_main):
        refused(vigil_main(["loadtarget:work", "--stats", "out", "--report", "./out"], work),
                work, "different files")

    @pytest.mark.parametrize("expr, fragment", [
        ("p95 < soon", "cannot read the check"),
        ("latency<3", "unknown statistic 'latency'"),
        ("__import__('os').system('touch called')", "cannot read the check"),
    ])
    def test_unreadable_check(self, work, expr, fragment, vigil_main):
        refused(vigil_main(["loadtarget:work", "--check", "p95<200", "--check", expr], work),
                work, fragment)

    @pytest.mark.parametrize("option, method", [
        (["--group-by", "url"], "_set_statistics_group"),
        (["--timeout", "5"], "_set_task_timeout"),
        (["--fresh-threads"], "_set_fresh_threads"),
    ])
    def test_options_a_core_too_old_lacks(self, work, option, method, vigil_main, monkeypatch):
        class Older:  # all that check_core sees of a core without the method
            _get_statistics = threads_main.VigilThreadsMain._get_statistics
            _set_start_rate = threads_main.VigilThreadsMain._set_start_rate

        monkeypatch.setattr(threads_main, "VigilThreadsMain", Older)
        refused(vigil_main(["loadtarget:work", *option], work), work, f"has no {method}",
                "older than vigil_load")

    def test_tasks_file_with_the_demonstration(self, work, vigil_main):
        refused(vigil_main(["--tasks", "tasks.jsonl"], work), work, "--tasks needs a")

    @pytest.mark.parametrize("key, how_long", [
        ("self", ["--count", "2"]), ("vigil_name", ["--duration", "2"]),
        ("vigil_var", ["--count", "1"]), ("vigil_log", ["--count", "1"]),
    ])
    def test_task_keys_the_worker_takes_itself(self, work, key, how_long, vigil_main):
        (work / "tasks.jsonl").write_text('{"ms": 1}\n' + json.dumps({key: 1}) + "\n")
        p = vigil_main(["loadtarget:work", "--tasks", "tasks.jsonl", *how_long], work)
        refused(p, work, "line 2", repr(key))

    @pytest.mark.parametrize("text, fragment", [
        ("[" * 50_000 + "]" * 50_000, "nested too deeply"),
        ("1" + "0" * 5000, "more than 4300 digits"),
    ])
    def test_json_the_decoder_refuses(self, work, text, fragment, vigil_main):
        (work / "tasks.jsonl").write_text(text + "\n")
        refused(vigil_main(["loadtarget:work", "--tasks", "tasks.jsonl"], work), work,
                "line 1", fragment)
        refused(vigil_main(["loadtarget:work", "--break-result", text], work), work,
                "--break-result", fragment)
        (work / "bad.json").write_text(text)
        refused(vigil_main(["merge", "bad.json"], work), work, "bad.json", fragment,
                inputs=("loadtarget.py", "tasks.jsonl", "bad.json"))

    def test_too_long_a_file_name(self, work, vigil_main):
        refused(vigil_main(["loadtarget:work", "--stats", "s" * 256], work), work,
                "cannot write results", "too long")


class TestOutputs:
    """--stats and --report write only regular files (or, --stats -, standard
    output); anything else at their path is left alone and refused."""

    @pytest.mark.parametrize("kind", ["fifo", "socket", "device", "dangling link",
                                      "link to a fifo", "stdout report"])
    def test_what_is_not_a_regular_file_is_refused(self, work, monkeypatch, kind, vigil_main):
        monkeypatch.chdir(work)  # a socket's path must be short
        option, path = "--stats", "out"
        if kind == "fifo":
            os.mkfifo("out")
        elif kind == "socket":
            sock = socket.socket(socket.AF_UNIX)
            sock.bind("out")
        elif kind == "device":
            try:
                os.mknod("out", stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
            except PermissionError:
                pytest.skip("no permission to make a device node")
        elif kind == "dangling link":
            os.symlink("nowhere", "out")
        elif kind == "link to a fifo":
            os.mkfifo("fifo")
            os.symlink("fifo", "out")
        else:
            option, path = "--report", "-"
        made = sorted(f.name for f in work.iterdir())
        before = {n: os.lstat(n).st_mode for n in made}
        p = vigil_main(["loadtarget:work", option, path, "--count", "1"], work)
        refused(p, work, path if path != "-" else "--report -", inputs=made)
        assert {n: os.lstat(n).st_mode for n in made} == before

    def test_a_link_to_a_file_and_stats_on_stdout_from_a_child(self, work):
        # Also the run through the real entry point: standard output is
        # handed over at the level of file descriptors, which only a process
        # of its own shows.
        (work / "real").mkdir()
        (work / "real" / "report.html").write_text("old")
        os.symlink("real/report.html", work / "report.html")
        p = run_cli(["loadtarget:work", "--tasks", "tasks.jsonl", "--stats", "-",
                     "--report", "report.html", "--check", "finished==2"], work)
        assert p.returncode == 0, p.stderr
        assert json.loads(p.stdout)["finished"] == 2  # nothing else on stdout
        assert "finished runs" in p.stderr and "check finished==2: met" in p.stderr
        assert (work / "report.html").is_symlink()
        assert "<svg" in (work / "real" / "report.html").read_text()
        assert sorted(f.name for f in (work / "real").iterdir()) == ["report.html"]

    def test_the_longest_legal_name_is_written(self, work, vigil_main):
        name = "s" * 249
        p = vigil_main(["loadtarget:work", "--count", "1", "--stats", name], work)
        assert p.returncode == 0, p.stderr
        assert json.loads((work / name).read_text())["finished"] == 1


def test_help_names_every_option_and_the_merge_command(tmp_path, vigil_main):
    p = vigil_main(["--help"], tmp_path)
    assert p.returncode == 0
    for word in ("MODULE:CALLABLE", "--tasks", "--workers", "--duration", "--count",
                 "--interval", "--rate", "--break-result", "--timeout", "--group-by", "--warmup",
                 "--fresh-threads",
                 "--stats", "--report", "--check", "--processes", "--dask", "error_rate", "p99.9",
                 "latency.p95", "130", "merge A.json B.json", "--metrics", "--metrics-linger",
                 "--stages 30s:10,1m:10,30s:0", "--shape MODULE:FUNCTION"):
        assert word in p.stdout, word
    p = vigil_main(["merge", "--help"], tmp_path)
    assert p.returncode == 0 and "histograms merge exactly" in p.stdout


def test_help_names_the_command_as_it_was_called(tmp_path):
    p = run_cli(["--help"], tmp_path)
    assert p.stdout.startswith("usage: python -m vigil_load [-h]"), p.stdout[:200]
    assert "python -m vigil_load merge A.json" in p.stdout
    script = os.path.join(os.path.dirname(sys.executable), "vigil-load")
    if not os.path.exists(script):
        pytest.skip("no vigil-load script beside this interpreter")
    for args, usage in ((["--help"], "usage: vigil-load [-h]"),
                        (["merge", "--help"], "usage: vigil-load merge [-h]")):
        p = subprocess.run([script, *args], cwd=tmp_path, env=child_env(), capture_output=True,
                           text=True, timeout=60)
        assert p.stdout.startswith(usage), p.stdout[:200] + p.stderr[-2000:]


class TestMerge:
    @pytest.fixture
    def files(self, tmp_path):
        a = make_stats([1000 * i for i in range(1, 51)], failed=1, history=[row(0, [1000])],
                       errors=[error("ValueError", 1, "no such item", START + 3.0)],
                       groups={"/items": make_group([1000 * i for i in range(1, 51)], failed=1)})
        b = make_stats([1000 * i for i in range(51, 101)], failed=4,
                       history=[row(0, [51000]), row(1, [52000])],
                       errors=[error("break result", 4, "500", START + 8.0, START + 90.0)],
                       groups={"/search": make_group([1000 * i for i in range(51, 101)], failed=4)})
        a["settings"] = [{"host": "a", "workers": 4}]
        b["settings"] = [{"host": "b", "workers": 8, "command": "vigil-load x:y --count 50"}]
        (tmp_path / "a.json").write_text(json.dumps(a))
        (tmp_path / "b.json").write_text(json.dumps(b))
        return tmp_path, a, b

    def test_merged_files_and_table_from_a_child(self, files):
        # Through the real entry point: the exit status of a check not met.
        tmp_path, a, b = files
        p = run_cli(["merge", "a.json", "b.json", "--stats", "m.json", "--report", "m.html",
                     "--check", "error_rate<5"], tmp_path)
        assert p.returncode == 1, p.stderr
        assert "check error_rate<5: NOT met (error_rate = 5)" in p.stdout
        merged = json.loads((tmp_path / "m.json").read_text())
        assert merged == vigil_load.merge([a, b])
        assert merged["settings"] == a["settings"] + b["settings"]  # each run's own
        assert merged["finished"] == 100 and merged["error_rate"] == 5.0
        assert "<svg" in (tmp_path / "m.html").read_text()
        assert "merged 2 statistics files" in p.stdout
        assert "finished runs                100" in p.stdout
        assert "report written to m.html" in p.stdout
        # the table's percentile row: p50 of 1..100 ms is 50 ms
        run_row = next(line for line in p.stdout.splitlines() if line.strip().startswith("run time"))
        assert run_row.split()[2:5] == ["1.000", "50.50", "50.05"]
        # and under it a row per group and the failures by kind
        lines = [line.split() for line in p.stdout.splitlines()]
        groups = [cells for cells in lines if cells[:1] in (["/items"], ["/search"])]
        assert groups == [["/items", "50", "1", "2.00", "50.0", "25.02", "48.00", "50.00", "50.00"],
                          ["/search", "50", "4", "8.00", "50.0", "75.01", "98.05", "100.00",
                           "100.00"]]
        # first and last failure as clock times (UTC)
        assert ["4", "22:13:28", "22:14:50", "break", "result:", "500"] in lines
        assert ["1", "22:13:23", "22:13:23", "ValueError:", "no", "such", "item"] in lines

    def test_a_generator_slower_than_the_target_is_said(self, tmp_path, vigil_main):
        # Free workers waited 5 ms for their next call, which took 1 ms: in a
        # closed loop that is the generator's limit, said once on stderr, in
        # the stats file and in the report; a paced run waits by design.
        slow = make_stats([1000] * 20, [5000] * 20)
        for rate, warned in ((None, True), (100.0, False)):
            slow["settings"] = [{"host": "a", "rate": rate}]  # type: ignore[typeddict-unknown-key]
            (tmp_path / "a.json").write_text(json.dumps(slow))
            p = vigil_main(["merge", "a.json", "--report", "vigil-report.html"], tmp_path)
            assert p.returncode == 0, p.stderr
            said = [line for line in p.stderr.splitlines() if "warning" in line]
            notes = json.loads((tmp_path / "vigil-stats.json").read_text())["notes"]
            assert len(said) == len(notes) == int(warned), (rate, p.stderr)
            if warned:
                assert said[0] == f"vigil_load: warning: {notes[0]}"
                assert "the load generator, not the target, limits this run" in notes[0]
                assert "5 ms (median queue wait)" in notes[0]
                assert notes[0] in (tmp_path / "vigil-report.html").read_text()

    @pytest.mark.parametrize("checks, status, verdicts", [
        (["p50<60", "error_rate<=5"], 0, ["met", "met"]),
        (["p50<60", "error_rate<5"], 1, ["met", "NOT met"]),
        (["p99.9 > 100", "throughput>0"], 1, ["NOT met", "met"]),
    ])
    def test_checks_gate_the_exit_status(self, files, checks, status, verdicts, vigil_main):
        tmp_path = files[0]
        args = ["merge", "a.json", "b.json"]
        for c in checks:
            args += ["--check", c]
        p = vigil_main(args, tmp_path)
        assert p.returncode == status, p.stderr
        lines = [line for line in p.stdout.splitlines() if line.startswith("check ")]
        assert [line.split(": ")[1].split(" (")[0] for line in lines] == verdicts
        assert (tmp_path / "vigil-stats.json").exists()  # written whatever the checks say

    def test_damaged_input_is_refused_and_nothing_written(self, files, vigil_main):
        tmp_path = files[0]
        (tmp_path / "c.json").write_text('{"finished": 1}')
        p = vigil_main(["merge", "a.json", "c.json"], tmp_path)
        refused(p, tmp_path, "c.json", '"succeeded"', inputs=("a.json", "b.json", "c.json"))
        p = vigil_main(["merge", "a.json", "nope.json"], tmp_path)
        refused(p, tmp_path, "nope.json", "cannot read", inputs=("a.json", "b.json", "c.json"))
        p = vigil_main(["merge"], tmp_path)
        refused(p, tmp_path, "required", inputs=("a.json", "b.json", "c.json"))

    @pytest.mark.parametrize("change, fragment", [
        (lambda s: s.update(finished=10**400), '"finished"'),
        (lambda s: s.update(first_start=-1e308, last_finish=1e308), '"first_start"'),
        (lambda s: s.update(last_finish=1e308), '"last_finish"'),
        (lambda s: s["histograms"]["run_time"].update(sum=10**400), "sum"),
        (lambda s: s["histograms"]["run_time"].update(min=10**400, max=10**400), "min"),
        (lambda s: s["histograms"]["run_time"].update(min=10**9), "larger than its max"),
        (lambda s: s["history"][0].update(time=10**30), "history row 1"),
    ])
    def test_numbers_out_of_range_are_refused(self, files, change, fragment, vigil_main):
        tmp_path, a, _ = files
        change(a)
        (tmp_path / "a.json").write_text(json.dumps(a))
        p = vigil_main(["merge", "a.json", "b.json"], tmp_path)
        refused(p, tmp_path, "a.json", fragment, inputs=("a.json", "b.json"))
