"""The one atomic writer: content forms, the mode the umask allows, nothing left behind on an
error, and no other way of writing a file in the package."""

from __future__ import annotations

import ast
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import morvane
from morvane.files import write_atomic

WRITE_UNDER_UMASK = """
import os, stat, sys
os.umask(int(sys.argv[1], 8))
from morvane.files import write_atomic
from morvane.report.page import page
target = write_atomic(sys.argv[2], page("t", "<p>body</p>"))
print(oct(stat.S_IMODE(os.stat(target).st_mode)))
"""


def _mode(path: Path) -> int:
    return stat.S_IMODE(path.stat().st_mode)


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"\x00bytes\xff", b"\x00bytes\xff"),
        ("text: 风险 ✓\n", "text: 风险 ✓\n".encode()),
        (lambda out: out.write(b"from a callback"), b"from a callback"),
        (b"", b""),
    ],
)
def test_content_forms(tmp_path, content, expected):
    target = tmp_path / "deeper" / "file.bin"  # missing folders are created
    assert write_atomic(target, content) == target
    assert target.read_bytes() == expected
    assert [p.name for p in target.parent.iterdir()] == ["file.bin"]


@pytest.mark.parametrize("umask, mode", [("022", 0o644), ("077", 0o600), ("002", 0o664)])
def test_the_mode_is_what_the_umask_allows(tmp_path, umask, mode):
    """In a child process, since the umask belongs to the whole process."""
    target = tmp_path / "page.html"
    target.write_text("old")
    os.chmod(target, 0o640)  # a replaced file takes the new mode, not the old one
    done = subprocess.run(
        [sys.executable, "-c", WRITE_UNDER_UMASK, umask, str(target)],
        capture_output=True,
        text=True,
        check=True,
    )
    assert done.stdout.strip() == oct(mode) and _mode(target) == mode
    assert target.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")


def test_the_mode_follows_this_process_umask(tmp_path):
    before = os.umask(0o027)
    try:
        write_atomic(tmp_path / "a", "x")
    finally:
        os.umask(before)
    assert _mode(tmp_path / "a") == 0o640


@pytest.mark.parametrize("failure", [ValueError("no"), KeyboardInterrupt()])
def test_an_error_leaves_the_old_file_and_no_temporary(tmp_path, failure):
    target = tmp_path / "stats.json"
    target.write_text("old")

    def half_then_fail(out) -> None:
        out.write(b"half")
        raise failure

    with pytest.raises(type(failure)):
        write_atomic(target, half_then_fail)
    assert target.read_text() == "old" and list(tmp_path.iterdir()) == [target]


def test_a_folder_in_the_way_is_an_error_that_leaves_nothing(tmp_path):
    (tmp_path / "out").mkdir()
    with pytest.raises(OSError):
        write_atomic(tmp_path / "out", "x")
    assert [p.name for p in tmp_path.iterdir()] == ["out"]


WRITERS = {"write_text", "write_bytes", "mkstemp", "NamedTemporaryFile"}
#: Writers only as functions of ``os`` and ``shutil`` (pandas has methods of the same names).
OS_WRITERS = {"replace", "rename", "copy", "copyfile", "copy2", "move"}


def _writes(path: Path) -> list[str]:
    """Calls in ``path`` that write a file other than through ``write_atomic``."""
    found = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if not isinstance(node, ast.Call):
            continue
        func = node.func
        name = func.attr if isinstance(func, ast.Attribute) else getattr(func, "id", "")
        opened = name == "open" and any(
            isinstance(a, ast.Constant) and isinstance(a.value, str) and set(a.value) & set("wax")
            for a in [*node.args[1:2], *(k.value for k in node.keywords if k.arg == "mode")]
        )
        if opened or name in WRITERS or (name in OS_WRITERS and _is_os(func)):
            found.append(f"{path.name}:{node.lineno} {name}")
    return found


def _is_os(func: ast.expr) -> bool:
    return isinstance(func, ast.Attribute) and getattr(func.value, "id", "") in ("os", "shutil")


def test_every_file_of_the_package_is_written_by_the_one_writer():
    root = Path(morvane.__file__).parent
    found = [w for p in sorted(root.rglob("*.py")) if p.name != "files.py" for w in _writes(p)]
    assert found == []


def test_the_check_for_other_writers_sees_them(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(
        "import os\nPath('a').write_text('x')\nopen('b', 'w')\nopen('c')\n"
        "os.replace('a', 'b')\nframe.replace('a', 'b')\nframe.rename('c')\nshutil.move('a', 'b')\n"
    )
    assert _writes(sample) == [
        "sample.py:2 write_text",
        "sample.py:3 open",
        "sample.py:5 replace",
        "sample.py:8 move",
    ]
