"""Every ``python`` block of the README and of docs/*.md runs, so the documentation cannot rot.

The blocks of one file run in order in one namespace, as a reader pasting them into a notebook
would, on the small sample market, in a scratch folder of their own. A block that truly cannot
run here (a full-market build, say) is fenced as ```` ```python skip-test <reason> ````: it is
reported as a skipped test with its reason, so every such block stays visible.
"""

from __future__ import annotations

import ast
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[1]
FENCE = re.compile(r"^(`{3,})\s*(\S*)\s*(.*)$")


@dataclass
class Block:
    path: Path
    line: int  # 1-based line of the opening fence
    source: str
    skip_reason: str | None


def python_blocks(path: Path) -> list[Block]:
    blocks: list[Block] = []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        ticks, lang, rest = opening.groups()
        end = i + 1
        while end < len(lines) and lines[end].strip() != ticks:
            end += 1
        if lang == "python":
            skip = None
            if rest.startswith("skip-test"):
                skip = rest[len("skip-test") :].strip() or "no reason given"
            blocks.append(Block(path, i + 1, "\n".join(lines[i + 1 : end]) + "\n", skip))
        i = end + 1
    return blocks


def documents() -> list[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def cases() -> list[Any]:
    params = []
    for path in documents():
        for index, block in enumerate(python_blocks(path)):
            label = f"{path.relative_to(ROOT)}:{block.line}"
            params.append(pytest.param(path, index, id=label))
    return params


@dataclass
class FileRun:
    """The blocks of one file run so far, and the namespace they share."""

    folder: Path
    namespace: dict[str, Any] = field(default_factory=lambda: {"__name__": "__docs__"})
    # the environment the file's blocks set (a recipe may point TARNWICK_HOME at its own store)
    environ: dict[str, str] = field(default_factory=lambda: dict(os.environ))
    done: int = 0
    failed_at: int | None = None


_RUNS: dict[Path, FileRun] = {}


def run_through(path: Path, index: int, folder: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Runs the blocks of path up to and including index, each once."""
    blocks = python_blocks(path)
    run = _RUNS.setdefault(path, FileRun(folder))
    monkeypatch.chdir(run.folder)
    outside = dict(os.environ)
    os.environ.clear()
    os.environ.update(run.environ)
    try:
        run_blocks(path, blocks, index, run)
    finally:
        run.environ = dict(os.environ)
        os.environ.clear()
        os.environ.update(outside)


def run_blocks(path: Path, blocks: list[Block], index: int, run: FileRun) -> None:
    while run.done <= index:
        block = blocks[run.done]
        if run.failed_at is not None:
            pytest.skip(f"an earlier block (line {run.failed_at}) of this file failed")
        run.done += 1
        if block.skip_reason is not None:
            if block is blocks[index]:
                pytest.skip(f"not run: {block.skip_reason}")
            continue
        # compiled at its place in the document, so that tracebacks show the document's lines
        code = compile("\n" * block.line + block.source, str(path), "exec")
        try:
            exec(code, run.namespace)
        except BaseException:
            run.failed_at = block.line
            raise


def test_the_docs_have_python_blocks() -> None:
    for name in ["guide.md", "cookbook.md"]:
        assert python_blocks(ROOT / "docs" / name), name


@pytest.mark.parametrize("path, index", cases())
def test_block_runs(
    path: Path,
    index: int,
    small_store: Path,
    tmp_path_factory: pytest.TempPathFactory,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    folder = _RUNS[path].folder if path in _RUNS else tmp_path_factory.mktemp(path.stem)
    run_through(path, index, folder, monkeypatch)


def test_fences_are_found_with_their_skip_reasons(tmp_path: Path) -> None:
    doc = tmp_path / "doc.md"
    doc.write_text(
        "text\n```python\nx = 1\n```\n```bash\necho no\n```\n"
        "````python skip-test builds the full market\ny = ```\n````\n```python\n```\n",
        encoding="utf-8",
    )
    blocks = python_blocks(doc)
    assert [(b.line, b.source, b.skip_reason) for b in blocks] == [
        (2, "x = 1\n", None),
        (8, "y = ```\n", "builds the full market"),
        (11, "\n", None),
    ]


CJK = re.compile(r"[\u4e00-\u9fff]")


def cpp_messages() -> set[str]:
    """Chinese string literals of the C++ modules (adjacent literals joined), docstrings aside."""
    from morvane import benchmark, constraints, objective, optimize

    objects = [v for m in (optimize, objective, constraints, benchmark) for v in vars(m).values()]
    objects += [member for cls in objects if isinstance(cls, type) for member in vars(cls).values()]
    docstrings = [getattr(o, "__doc__", None) or "" for o in objects]
    messages = set()
    for source in sorted((ROOT / "cpp").glob("*/*.cpp")):
        text = re.sub(r'R"\((.*?)\)"', "", source.read_text(encoding="utf-8"), flags=re.DOTALL)
        for run in re.finditer(r'"(?:[^"\\\n]|\\.)*"(?:\s*"(?:[^"\\\n]|\\.)*")*', text):
            literal = "".join(re.findall(r'"((?:[^"\\\n]|\\.)*)"', run.group(0)))
            if CJK.search(literal) and not any(literal in doc for doc in docstrings):
                messages.add(literal)
    return messages


def helper_messages() -> set[str]:
    """The helper's InvalidArgument texts, each f-string field written as {}."""
    package = ROOT / "src" / "morvane"
    sources = [package / "helper.py", *sorted((package / "riskdata").glob("*.py"))]
    trees = [ast.parse(path.read_text(encoding="utf-8")) for path in sources]
    messages = set()
    for node in (node for tree in trees for node in ast.walk(tree)):
        if isinstance(node, ast.Call) and getattr(node.func, "id", "") == "InvalidArgument":
            arg = node.args[0]
            parts = arg.values if isinstance(arg, ast.JoinedStr) else [arg]
            messages.add("".join(p.value if isinstance(p, ast.Constant) else "{}" for p in parts))
    return messages


def test_the_guide_lists_every_message() -> None:
    guide = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    messages = cpp_messages() | helper_messages()
    assert len(messages) > 50
    assert sorted(m for m in messages if m not in guide) == []


def anchors(path: Path) -> set[str]:
    """The anchors a renderer gives the headings of path (lower case, punctuation dropped)."""
    headings = re.findall(r"^#+ (.+)$", path.read_text(encoding="utf-8"), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}


@pytest.mark.parametrize("path", documents(), ids=lambda p: p.name)
def test_links_between_the_docs_resolve(path: Path) -> None:
    text = path.read_text(encoding="utf-8")
    for target, anchor in re.findall(r"\]\(([^)#\s]*)(?:#([^)\s]+))?\)", text):
        if target.startswith(("http:", "https:")):
            continue
        linked = (path.parent / target).resolve() if target else path
        assert linked.exists(), f"{path.name}: no file {target}"
        if anchor:
            assert anchor in anchors(linked), f"{path.name}: no heading for #{anchor} in {target}"
