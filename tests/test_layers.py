"""tarnwick's modules import one way: no module reaches, directly or through others, back to
itself.  Read from the source files (every import statement, those inside functions too)."""

from __future__ import annotations

import ast
from pathlib import Path

import tarnwick

ROOT = Path(tarnwick.__file__).parent


def _module_name(path: Path) -> str:
    parts = ("tarnwick", *path.relative_to(ROOT).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports() -> dict[str, set[str]]:
    files = {_module_name(p): p for p in ROOT.rglob("*.py")}
    graph: dict[str, set[str]] = {}
    for name, path in files.items():
        targets = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                targets |= {a.name for a in node.names}
            elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                targets |= {f"{node.module}.{a.name}" for a in node.names} | {node.module}
        graph[name] = {t for t in targets if t in files and t != name}
    return graph


def _cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return None


def test_tarnwick_has_no_import_cycle() -> None:
    graph = _imports()
    assert {"tarnwick.store", "tarnwick.importer", "tarnwick.build.estimate"} <= set(graph)
    # A package's __init__ importing its own submodules is how a package exposes them; a
    # submodule importing back from its package's __init__ would close a cycle.
    graph = {n: {t for t in ts if not n.startswith(t + ".")} for n, ts in graph.items()}
    assert _cycle(graph) is None, " -> ".join(_cycle(graph) or [])


def test_the_cycle_finder_finds_one() -> None:
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert _cycle({"a": {"b"}, "b": set()}) is None
