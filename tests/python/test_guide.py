"""The user guide's code runs as written, prints what the guide shows, and type-checks."""

import contextlib
import io
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick

import conftest

DOCS = Path(__file__).resolve().parents[2] / "docs"
GUIDE = DOCS / "guide.md"
# The chapters whose code runs, each in a namespace of its own, and how many
# Python blocks each has at least.
CHAPTERS = {"guide.md": 10, "basin.md": 10}
# A fenced block: its language, the line it starts on, its text.
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def blocks(chapter="guide.md"):
    text = (DOCS / chapter).read_text(encoding="utf-8")
    return [
        (m.group(1), text.count("\n", 0, m.start()) + 2, m.group(2)) for m in BLOCK.finditer(text)
    ]


@pytest.mark.parametrize("chapter", CHAPTERS)
def test_guide_code_prints_what_the_guide_shows(chapter):
    """Runs the Python blocks in order in one namespace; a text block right after
    a Python block is that block's expected output."""
    namespace = {"__name__": "guide"}
    found = blocks(chapter)
    assert sum(language == "python" for language, _, _ in found) >= CHAPTERS[chapter]
    for index, (language, line, code) in enumerate(found):
        if language != "python":
            continue
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"{chapter}:{line}", "exec"), namespace)
        following = found[index + 1] if index + 1 < len(found) else None
        if following and following[0] == "text" and following[1] == line + code.count("\n") + 3:
            assert out.getvalue() == following[2], f"output of the block at line {line}"


@pytest.mark.parametrize("chapter", CHAPTERS)
def test_guide_code_passes_mypy_strict(tmp_path, chapter):
    pytest.importorskip("mypy", reason="the type check needs mypy (the test extra)")
    if not conftest.installed(tarnwick):
        pytest.skip("the stubs ship with an installed module only")
    code = "\n\n".join(code for language, _, code in blocks(chapter) if language == "python")
    (tmp_path / "guide_code.py").write_text(code, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10", "guide_code.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_figure_script_draws_every_figure(tmp_path):
    pytest.importorskip("matplotlib", reason="the figures need matplotlib")
    subprocess.run(
        [sys.executable, str(GUIDE.parent / "make_figures.py"), str(tmp_path)],
        check=True,
        capture_output=True,
        timeout=600,
    )
    drawn = {path.name for path in tmp_path.glob("*.png")}
    assert drawn == {path.name for path in (GUIDE.parent / "figures").glob("*.png")}
    assert drawn >= set(re.findall(r"\(figures/(\w+\.png)\)", GUIDE.read_text(encoding="utf-8")))
