"""ruff over the project's Python files, mypy --strict over vigil_load, with
the settings in pyproject.toml, clang-format over the C++ sources, and the
documentation: the site built in strict mode and the README's links."""
import glob
import os
import re
import shutil
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


def test_documentation_builds_strictly_and_the_readme_links_resolve(tmp_path):
    # Strict mode (mkdocs.yml) fails on a link to a missing page or heading
    # and on a page left out of the nav.
    out = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict",
                          "--site-dir", str(tmp_path)],
                         capture_output=True, text=True, cwd=ROOT, timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    # The README is not a page of the site: its links into docs/ are checked
    # against the files and against the headings of the built pages.
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        links = re.findall(r"\]\(([^)#]+)(?:#([^)]+))?\)", f.read())
    assert links
    for path, anchor in links:
        if re.match(r"[a-z]+:", path):
            continue
        assert os.path.isfile(os.path.join(ROOT, path)), path
        if anchor:
            page = os.path.splitext(os.path.relpath(path, "docs"))[0]
            with open(tmp_path / page / "index.html", encoding="utf-8") as f:
                assert f'id="{anchor}"' in f.read(), (path, anchor)


def test_cpp_sources_match_clang_format():
    # The test extra pins the formatter beside this interpreter; another
    # release may lay some lines out differently.
    exe = (shutil.which("clang-format", path=os.path.dirname(sys.executable))
           or shutil.which("clang-format"))
    if exe is None:
        pytest.skip("no clang-format command (it comes with the test extra)")
    files = sorted(f for f in glob.glob(os.path.join("src", "**", "*"), root_dir=ROOT,
                                        recursive=True) if f.endswith((".h", ".cpp")))
    assert files
    out = subprocess.run([exe, "--dry-run", "--Werror", *files],
                         capture_output=True, text=True, cwd=ROOT, timeout=120)
    differing = sorted(set(re.findall(r"^(src\S+?):\d+:\d+: (?:error|warning)", out.stderr, re.M)))
    assert out.returncode == 0, (
        f"not laid out as .clang-format says (clang-format -i them): {differing}\n"
        + out.stderr[-2000:])
