"""The packages import one way.

The graph is read from the source files: every import statement, those inside functions and
under ``if TYPE_CHECKING:`` included, relative ones resolved.  The four extension modules of
morvane are nodes by name: their edges are the imports of their stubs (``optimize.pyi``, ...)
and the ``"morvane.<module>"`` names their C++ sources import at initialisation.

Three checks: no module reaches, directly or through others, back to itself; every module has a
place in the declared order of layers below, and imports only from its own layer or lower ones;
inside ``morvane.report`` the views and the computation import only the model (the views also
each other).  An import of a package's own ancestor package is not an edge: Python imports the
ancestor first whatever the statement says, and what a package's ``__init__`` imports from its
submodules is how it exposes them.
"""

from __future__ import annotations

import ast
import fnmatch
import re
from pathlib import Path

import pytest

import morvane
import tarnwick

ROOT = Path(tarnwick.__file__).parent
MORVANE = Path(morvane.__file__).parent
CPP = MORVANE.parent.parent / "cpp"

# ---------------------------------------------------------------------------------------------
# The declared order, lowest layer first.  A module takes the first layer one of whose patterns
# (fnmatch) matches its name; it may import from its own layer and the layers before it.
# ---------------------------------------------------------------------------------------------

#: tarnwick's layers follow its folders; every module outside them is a client module.
TARNWICK_LAYERS: list[tuple[str, list[str]]] = [
    ("reference", ["tarnwick.reference", "tarnwick.reference.*"]),
    ("errors", ["tarnwick.errors"]),
    ("db", ["tarnwick.db", "tarnwick.db.*", "tarnwick.arguments", "tarnwick.progress"]),
    ("sources", ["tarnwick.sources", "tarnwick.sources.*"]),
    ("build", ["tarnwick.build", "tarnwick.build.*"]),
    ("client", ["tarnwick", "tarnwick.*"]),
]

MORVANE_LAYERS: list[tuple[str, list[str]]] = [
    (
        "base",
        ["morvane", "morvane.exception", "morvane.const", "morvane.files", "morvane.messages"],
    ),
    ("coercion", ["morvane.coerce"]),
    ("risk data", ["morvane.riskdata", "morvane.riskdata.*"]),
    ("helper", ["morvane.helper"]),
    ("costs", ["morvane.costs"]),
    # extension modules (C++), by name
    (
        "optimiser",
        ["morvane.objective", "morvane.constraints", "morvane.benchmark", "morvane.optimize"],
    ),
    ("report", ["morvane.report", "morvane.report.*"]),
    ("backtest", ["morvane.backtest", "morvane.backtest.*"]),
    ("command", ["morvane.cli"]),
]

#: The order inside the subpackages.
SUBPACKAGE_LAYERS: dict[str, list[tuple[str, list[str]]]] = {
    "morvane.riskdata": [
        ("package", ["morvane.riskdata"]),
        (
            "pieces",
            [
                "morvane.riskdata.cache",
                "morvane.riskdata.psd",
                "morvane.riskdata.industries",
                "morvane.riskdata.benchmark",
            ],
        ),
        ("day", ["morvane.riskdata.calendar"]),
        ("loader", ["morvane.riskdata.factormodel"]),
    ],
    "morvane.report": [
        ("model", ["morvane.report.model", "morvane.report.theme"]),
        (
            "inputs, maths and views",
            [
                "morvane.report.inputs",
                "morvane.report.risk",
                "morvane.report.text",
                "morvane.report.charts",
                "morvane.report.tables",
            ],
        ),
        (
            "page",
            [
                "morvane.report.page",
                "morvane.report.portfolio_tables",
                "morvane.report.notebook",
                "morvane.report.attribution_page",
            ],
        ),
        (
            "reports with views",
            ["morvane.report.portfolio", "morvane.report.attribution_result"],
        ),
        ("analyse", ["morvane.report.analyse"]),
        ("attribution", ["morvane.report.attribution"]),
        ("package and commands", ["morvane.report", "morvane.report.commands"]),
    ],
    "morvane.backtest": [
        ("record", ["morvane.backtest.record", "morvane.backtest.failures"]),
        ("objects", ["morvane.backtest.objects", "morvane.backtest.infeasible"]),
        ("config", ["morvane.backtest.config"]),
        (
            "walk and files",
            [
                "morvane.backtest.costs",
                "morvane.backtest.engine",
                "morvane.backtest.files",
                "morvane.backtest.output",
            ],
        ),
        ("page and workers", ["morvane.backtest.report", "morvane.backtest.parallel"]),
        ("runner", ["morvane.backtest.runner", "morvane.backtest.progress"]),
        ("results", ["morvane.backtest.results"]),
        ("package and commands", ["morvane.backtest", "morvane.backtest.commands"]),
    ],
}

#: Inside the report: module -> the report modules it may import.
REPORT_VIEWS = (
    "morvane.report.text",
    "morvane.report.charts",
    "morvane.report.page",
    "morvane.report.tables",
    "morvane.report.portfolio_tables",
    "morvane.report.notebook",
)
REPORT_COMPUTATION = ("morvane.report.inputs", "morvane.report.risk")
#: The bottom of the report: its data and the page theme (fonts, colours, number display).
REPORT_BASE = ("morvane.report.model", "morvane.report.theme")

# ---------------------------------------------------------------------------------------------
# the graph
# ---------------------------------------------------------------------------------------------


def _module_name(path: Path, root: Path, package: str) -> str:
    parts = (package, *path.relative_to(root).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imported_names(tree: ast.AST, name: str, is_package: bool) -> set[str]:
    """Every module name an import statement of ``tree`` (the source of module ``name``)
    names: ``import a.b``, ``from a import b`` (both ``a`` and ``a.b``), relative forms
    resolved; anywhere in the tree, ``TYPE_CHECKING`` blocks and functions included."""
    package = name.split(".") if is_package else name.split(".")[:-1]
    targets: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets |= {a.name for a in node.names}
        elif isinstance(node, ast.ImportFrom):
            base = package[: len(package) - node.level + 1] if node.level else []
            module = ".".join([*base, *(node.module.split(".") if node.module else [])])
            targets |= {f"{module}.{a.name}" for a in node.names} | {module}
    return targets


def _cpp_imports(stem: str) -> set[str]:
    """The morvane modules the C++ sources of extension module ``stem`` name."""
    folder = CPP / stem
    if not folder.is_dir():
        return set()
    found: set[str] = set()
    for path in folder.rglob("*.[ch]pp"):
        found |= set(re.findall(r'"(morvane(?:\.\w+)+)"', path.read_text(encoding="utf-8")))
    return found


def _graph() -> dict[str, set[str]]:
    sources: dict[str, tuple[Path, bool]] = {}
    for root, package in ((ROOT, "tarnwick"), (MORVANE, "morvane")):
        for path in root.rglob("*.py"):
            sources[_module_name(path, root, package)] = (path, path.name == "__init__.py")
    extensions = {f"morvane.{p.stem}": p for p in MORVANE.glob("*.pyi")}
    nodes = set(sources) | set(extensions)
    graph: dict[str, set[str]] = {}
    for name, (path, is_package) in sources.items():
        tree = ast.parse(path.read_text(encoding="utf-8"))
        graph[name] = imported_names(tree, name, is_package)
    for name, stub in extensions.items():
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        graph[name] = imported_names(tree, name, False) | _cpp_imports(stub.stem)
    return {
        name: {t for t in targets if t in nodes and t != name and not name.startswith(t + ".")}
        for name, targets in graph.items()
    }


GRAPH = _graph()


def _imports() -> dict[str, set[str]]:
    """tarnwick's part of the graph."""
    return {
        n: {t for t in ts if t.split(".")[0] == "tarnwick"}
        for n, ts in GRAPH.items()
        if n.split(".")[0] == "tarnwick"
    }


def _cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt) :] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return None


def layer_of(name: str, table: list[tuple[str, list[str]]]) -> int | None:
    """Position in ``table`` of the first layer with a pattern matching ``name``."""
    for position, (_, patterns) in enumerate(table):
        if any(fnmatch.fnmatchcase(name, p) for p in patterns):
            return position
    return None


def upward_imports(
    graph: dict[str, set[str]], table: list[tuple[str, list[str]]], scope: str
) -> list[str]:
    """The edges between modules of ``scope`` (a package) that point to a higher layer of
    ``table``, and the modules of ``scope`` that ``table`` places nowhere."""

    def inside(name: str) -> bool:
        return name == scope or name.startswith(scope + ".")

    faults = [f"{n}: no layer" for n in sorted(graph) if inside(n) and layer_of(n, table) is None]
    for name in sorted(n for n in graph if inside(n) and layer_of(n, table) is not None):
        here = layer_of(name, table)
        for target in sorted(t for t in graph[name] if inside(t)):
            there = layer_of(target, table)
            if there is not None and here is not None and there > here:
                faults.append(f"{name} ({table[here][0]}) imports {target} ({table[there][0]})")
    return faults


# ---------------------------------------------------------------------------------------------
# the checks
# ---------------------------------------------------------------------------------------------


def test_tarnwick_has_no_import_cycle() -> None:
    graph = _imports()
    assert {"tarnwick.store", "tarnwick.importer", "tarnwick.build.estimate"} <= set(graph)
    # A package's __init__ importing its own submodules is how a package exposes them; a
    # submodule importing back from its package's __init__ would close a cycle.
    graph = {n: {t for t in ts if not n.startswith(t + ".")} for n, ts in graph.items()}
    assert _cycle(graph) is None, " -> ".join(_cycle(graph) or [])


def test_no_import_cycle_in_either_package() -> None:
    assert {
        "morvane.helper",
        "morvane.optimize",
        "morvane.report.analyse",
        "morvane.backtest.engine",
        "tarnwick.store",
    } <= set(GRAPH)
    assert {"morvane.objective", "morvane.benchmark", "morvane.helper"} <= GRAPH["morvane.optimize"]
    assert _cycle(GRAPH) is None, " -> ".join(_cycle(GRAPH) or [])


@pytest.mark.parametrize(
    "scope, table",
    [("tarnwick", TARNWICK_LAYERS), ("morvane", MORVANE_LAYERS), *SUBPACKAGE_LAYERS.items()],
)
def test_imports_follow_the_declared_layers(scope, table) -> None:
    assert upward_imports(GRAPH, table, scope) == []


def test_tarnwick_does_not_import_morvane() -> None:
    assert [
        (n, t)
        for n, ts in GRAPH.items()
        if n.startswith("tarnwick")
        for t in ts
        if t.startswith("morvane")
    ] == []


@pytest.mark.parametrize("module", [*REPORT_VIEWS, *REPORT_COMPUTATION])
def test_report_views_and_computation_import_only_the_model(module) -> None:
    allowed = {*REPORT_BASE, *(REPORT_VIEWS if module in REPORT_VIEWS else ())}
    reached = {t for t in GRAPH[module] if t.startswith("morvane.report")}
    assert reached <= allowed, sorted(reached - allowed)


def test_the_cycle_finder_finds_one() -> None:
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert _cycle({"a": {"b"}, "b": set()}) is None


@pytest.mark.parametrize(
    "source, name, is_package, expected",
    [
        (
            "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from p.model import R\n",
            "p.view",
            False,
            {"typing", "typing.TYPE_CHECKING", "p.model", "p.model.R"},
        ),
        ("def f():\n    import p.q.r as r\n", "p.a", False, {"p.q.r"}),
        ("from . import model\n", "p.view", False, {"p", "p.model"}),
        (
            "from .. import x\nfrom .sub import y\n",
            "p.q",
            True,
            {"p", "p.x", "p.q.sub", "p.q.sub.y"},
        ),
    ],
)
def test_every_form_of_import_is_read(source, name, is_package, expected) -> None:
    assert imported_names(ast.parse(source), name, is_package) == expected


def test_an_upward_import_is_found() -> None:
    table = [("low", ["p.low"]), ("high", ["p.high"])]
    graph = {"p.low": {"p.high"}, "p.high": {"p.low"}, "p.new": set()}
    assert upward_imports(graph, table, "p") == [
        "p.new: no layer",
        "p.low (low) imports p.high (high)",
    ]
