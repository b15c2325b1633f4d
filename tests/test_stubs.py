"""The type stubs, as installed, against the installed modules.

mypy's stubtest compares every public declaration with the real object.
It passes over runtime names with a leading underscore that a stub lacks,
and every method of the manager has one, so a separate check makes sure
every runtime name is declared. A user's own script is then type-checked
with mypy the way a user would, outside this repository.
"""
import ast
import importlib
import importlib.metadata
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.tooling

MODULES = ("threads_main", "vigil_log", "vigil_var")
REPO_STUBS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "stubs")

# Dunders a stub must declare when the class has them: they change what a
# type checker accepts. object's own (__repr__, __new__, ...) are left out.
PROTOCOL_DUNDERS = ("__len__", "__iter__", "__getitem__", "__contains__", "__call__",
                    "__setattr__", "__delattr__", "__getattribute__", "__enter__",
                    "__exit__")


def installed_stub(module):
    """Path of the stub that a type checker finds for module."""
    for f in importlib.metadata.files("threads-main") or ():
        if f.as_posix() == f"{module}-stubs/__init__.pyi":
            return str(f.locate())
    raise AssertionError(f"no installed stub package for {module}")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def undeclared(module, source):
    """Runtime names of module, and of its classes, that the stub text
    source does not declare."""
    real = importlib.import_module(module)
    tree = ast.parse(source)
    declared = set()
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared.add(node.name)
            classes[node.name] = node
        elif isinstance(node, (ast.FunctionDef, ast.AnnAssign, ast.Assign)):
            targets = ([node.target] if isinstance(node, ast.AnnAssign)
                       else getattr(node, "targets", []))
            declared.update(t.id for t in targets if isinstance(t, ast.Name))
            if isinstance(node, ast.FunctionDef):
                declared.add(node.name)
        elif isinstance(node, ast.ImportFrom):
            declared.update(a.asname for a in node.names if a.asname == a.name)
    missing = [f"{module}.{n}" for n in vars(real)
               if not n.startswith("__") and n not in declared]
    for name, node in classes.items():
        cls = getattr(real, name, None)
        if not inspect.isclass(cls):
            continue
        members = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        members |= {item.target.id for item in node.body if isinstance(item, ast.AnnAssign)}
        missing += [f"{module}.{name}.{n}" for n in vars(cls)
                    if (not n.startswith("__") or n in PROTOCOL_DUNDERS)
                    and n not in members]
    return missing


def test_stubtest_passes(tmp_path):
    # From an empty folder, so only the installed stubs are seen.
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES],
                         capture_output=True, text=True, cwd=tmp_path, timeout=300,
                         env={**os.environ, "MYPYPATH": ""})
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Success: no issues found in 3 modules" in out.stdout


@pytest.mark.parametrize("module", MODULES)
def test_every_runtime_name_is_declared(module):
    assert undeclared(module, read(installed_stub(module))) == []


def test_the_check_finds_an_undeclared_method():
    source = read(installed_stub("threads_main"))
    without = source.replace("    def _close(self, /) -> bool: ...\n", "")
    assert without != source
    assert undeclared("threads_main", without) == ["threads_main.VigilThreadsMain._close"]


def test_declared_attributes_exist_on_an_instance():
    import threads_main
    m = threads_main.VigilThreadsMain(lambda: None, max_workers=1)
    m._close()
    tree = ast.parse(read(installed_stub("threads_main")))
    cls = next(n for n in tree.body
               if isinstance(n, ast.ClassDef) and n.name == "VigilThreadsMain")
    attributes = [i.target.id for i in cls.body if isinstance(i, ast.AnnAssign)]
    assert attributes == ["_log", "_var"]
    for a in attributes:
        assert hasattr(m, a), a


@pytest.mark.parametrize("module", MODULES)
def test_installed_stubs_are_the_repository_stubs(module):
    assert read(installed_stub(module)) == read(os.path.join(REPO_STUBS, module + ".pyi")), (
        "the installed stubs are stale: install the project again")


USER_SCRIPT = '''\
import threads_main

def fetch(url: str) -> int:
    return 200

with threads_main.VigilThreadsMain(fetch, max_workers=4) as m:
    reveal_type(m)
    reveal_type(m._send(url="http://127.0.0.1/"))
    reveal_type(m._get_run_status())
    reveal_type(m._get_run_status()["done"])
    reveal_type(m._get_all_result()["data"][0]["status"])
    reveal_type(m._get_status("Thread_1"))
    reveal_type(m._get_failed())
    reveal_type(m._log)
    reveal_type(threads_main.DONE)
    reveal_type(m._get_statistics()["run_time"]["p99.9"])
    reveal_type(m._get_statistics()["history"][0]["started"])
    if m._get_all_status()["Thread_1"] == threads_main.FAILED:
        pass
    m._send_list([{"url": "x"}])
    rows: list[dict[str, str]] = [{"url": "x"}]  # a list of a narrower dict type
    m._send_list(rows)
    m._send_list_thread(tuple(rows))
    m._join(break_result=500)
'''

# How mypy writes the six status words as a type.
STATUS = " | ".join(f"Literal['{w}']" for w in ("待运行", "运行中", "完成", "失败", "停止", "取消"))
EXPECTED = [
    "threads_main.VigilThreadsMain",
    "bool",
    "TypedDict(threads_main._RunStatus, {'total': int, 'done': int, 'run': int, "
    "'success': int, 'failed': int, 'stop': int, 'cancel': int})",
    "int",
    STATUS,
    f"dict[str, {STATUS} | Literal['Task does not exist']]",
    "list[str]",
    "vigil_log.VigilLog",
    "Literal['完成']?",
    "float | None",
    "int",
]


def test_a_users_script_type_checks(tmp_path):
    (tmp_path / "use.py").write_text(USER_SCRIPT, encoding="utf-8")
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--hide-error-context", "--no-error-summary", "use.py"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
        env={**os.environ, "MYPYPATH": ""})
    lines = out.stdout.splitlines()
    revealed = [line.split('Revealed type is "', 1)[1][:-1] for line in lines
                if "Revealed type is" in line]
    others = [line for line in lines if "Revealed type is" not in line]
    assert others == [], out.stdout + out.stderr
    assert revealed == EXPECTED, textwrap.indent("\n".join(revealed), "  ")
