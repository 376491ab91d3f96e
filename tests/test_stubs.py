"""The type stubs of the four extension modules agree with the modules themselves.

Every function and method of the modules carries its parameter list as `inspect.signature`
reports it; that is the runtime truth the stubs are compared with: parameter names and order,
keyword-only markers, defaults.
"""

from __future__ import annotations

import ast
import importlib
import inspect
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import pytest

MODULES = ["optimize", "objective", "constraints", "benchmark"]


def stub_path(name: str) -> Path:
    # next to the imported package, so an installed wheel is checked, not the source tree
    return Path(importlib.import_module("morvane").__file__).parent / f"{name}.pyi"


def stub_tree(name: str) -> ast.Module:
    return ast.parse(stub_path(name).read_text(encoding="utf-8"))


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # "positional", "keyword", "var_keyword"
    default: str | None  # repr of the default, None when required


RUNTIME_KINDS = {
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional",
    inspect.Parameter.KEYWORD_ONLY: "keyword",
    inspect.Parameter.VAR_KEYWORD: "var_keyword",
}


def runtime_params(func: Callable[..., Any]) -> list[Param]:
    params = []
    for p in inspect.signature(func).parameters.values():
        kind = RUNTIME_KINDS[p.kind]
        if kind == "var_keyword":
            params.append(Param("**", kind, None))
        else:
            default = None if p.default is inspect.Parameter.empty else repr(p.default)
            params.append(Param(p.name, kind, default))
    return params


def stub_params(node: ast.FunctionDef, namespace: dict[str, Any]) -> list[Param]:
    args = node.args
    assert not args.posonlyargs and args.vararg is None, node.name
    params: list[Param] = []
    positional_defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    for arg, default in zip(args.args, positional_defaults):
        params.append(Param(arg.arg, "positional", stub_default(default, namespace)))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(Param(arg.arg, "keyword", stub_default(default, namespace)))
    if args.kwarg is not None:
        params.append(Param("**", "var_keyword", None))  # any name: callers never see it
    return params


def stub_default(node: ast.expr | None, namespace: dict[str, Any]) -> str | None:
    if node is None:
        return None
    # evaluated among the runtime module's own names: IndustryClassification.SWS, DEFAULT_OBJECTIVE
    return repr(eval(compile(ast.Expression(node), "<stub>", "eval"), namespace))


def is_foreign(value: object) -> bool:
    """Modules and the third-party or standard-library names a module imports for its own use."""
    if isinstance(value, ModuleType):
        return True
    owner = getattr(value, "__module__", None)
    return isinstance(owner, str) and not owner.startswith("morvane")


def top_level(tree: ast.Module) -> tuple[dict[str, ast.AST], dict[str, tuple[str, str]]]:
    """(definitions by name, public imports by name -> (module, original name))."""
    defined: dict[str, ast.AST] = {}
    imported: dict[str, tuple[str, str]] = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            defined[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            defined[node.target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                imported[alias.asname or alias.name] = (node.module or "", alias.name)
    return defined, imported


def public(names: dict[str, Any]) -> set[str]:
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_match_the_module(name: str) -> None:
    module = importlib.import_module(f"morvane.{name}")
    defined, imported = top_level(stub_tree(name))
    runtime = {n for n in dir(module) if not n.startswith("_")}
    runtime -= {n for n in runtime if is_foreign(getattr(module, n))}
    assert public(defined) | (public(imported) & runtime) == runtime
    for own in public(defined):
        value = getattr(module, own)
        if callable(value):
            assert value.__module__ == module.__name__, f"{own} is not defined here"
    for alias in public(imported) & runtime:
        source, original = imported[alias]
        assert getattr(module, alias) is getattr(importlib.import_module(source), original)


def function_cases() -> list[tuple[str, str, str]]:
    cases = []
    for name in MODULES:
        for node in stub_tree(name).body:
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                cases.append((name, "", node.name))
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                cases += [
                    (name, node.name, f.name) for f in node.body if isinstance(f, ast.FunctionDef)
                ]
    return cases


def find_def(tree: ast.Module, cls: str, func: str) -> ast.FunctionDef:
    body = tree.body
    if cls:
        body = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == cls).body
    return next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == func)


@pytest.mark.parametrize("module_name, cls, func", function_cases())
def test_stub_signature_matches_the_runtime(module_name: str, cls: str, func: str) -> None:
    module = importlib.import_module(f"morvane.{module_name}")
    node = find_def(stub_tree(module_name), cls, func)
    if cls:
        member = vars(getattr(module, cls))[func]
        target = member.fget if isinstance(member, property) else member
        decorators = {ast.unparse(d) for d in node.decorator_list}
        assert ("property" in decorators) == isinstance(member, property)
        if "abstractmethod" in decorators:
            assert getattr(member, "__isabstractmethod__", False)
    else:
        target = getattr(module, func)
    assert stub_params(node, vars(module)) == runtime_params(target)
    annotated = node.args.args[1:] if cls else node.args.args
    assert all(a.annotation is not None for a in annotated + node.args.kwonlyargs)
    assert node.returns is not None


def class_cases() -> list[tuple[str, str]]:
    return [
        (name, node.name)
        for name in MODULES
        for node in stub_tree(name).body
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
    ]


def is_class_level(node: ast.AST) -> bool:
    return isinstance(node, ast.FunctionDef) or (
        isinstance(node, ast.AnnAssign) and "ClassVar" in ast.unparse(node.annotation)
    )


@pytest.mark.parametrize("module_name, cls", class_cases())
def test_stub_class_matches_the_runtime(module_name: str, cls: str) -> None:
    runtime = getattr(importlib.import_module(f"morvane.{module_name}"), cls)
    node = next(
        n for n in stub_tree(module_name).body if isinstance(n, ast.ClassDef) and n.name == cls
    )
    assert [ast.unparse(b) for b in node.bases] == [
        b.__name__ for b in runtime.__bases__ if b is not object
    ]
    # a metaclass is declared on a base and inherited by its subclasses
    inherited = type(runtime.__bases__[0]).__name__
    metaclass = {k.arg: ast.unparse(k.value) for k in node.keywords}.get("metaclass", inherited)
    assert metaclass == type(runtime).__name__
    members = {getattr(n, "name", None) or n.target.id for n in node.body if is_class_level(n)}
    own = {n for n in vars(runtime) if not n.startswith("_") or n == "__init__"}
    assert members == own


def sample_instances() -> list[object]:
    from morvane import benchmark, constraints, objective
    from morvane.costs import TransactionCostModel

    c, o = constraints, objective
    return [
        c.TrackingErrorLimit(0.05),
        c.TurnoverLimit({"000001.XSHE": 1.0}, 0.2),
        c.BenchmarkComponentWeightLimit(0.5),
        c.IndustryConstraint("银行", upper_limit=0.2),
        c.WildcardIndustryConstraint(upper_limit=0.2),
        c.StyleConstraint("size", upper_limit=1),
        c.IndustryComponentLimit("银行", upper_limit=0.2),
        c.IndexComponentLimit("000300.XSHG", upper_limit=0.5),
        c.StockPoolLimit(["000001.XSHE"], upper_limit=0.5),
        c.TransactionVolumeLimit(upper_limit=0.1, cash=1e6),
        c.TransactionMarketValueLimit(upper_limit=0.1, cash=1e6),
        o.MinVariance(),
        o.MinActiveVariance(),
        o.MeanVariance(),
        o.ActiveMeanVariance(),
        o.RiskParity(),
        o.MinTrackingError(),
        o.MaxInformationRatio(),
        o.MaxSharpeRatio(),
        o.MaxIndicator({"000001.XSHE": 1.0}),
        o.MinStyleDeviation({"size": 1.0}),
        o.WithTransactionCost(o.MinVariance(), TransactionCostModel()),
        benchmark.OptimizeBenchmark(),
    ]


def test_stub_instance_attributes_match_the_runtime() -> None:
    instances = sample_instances()
    covered = {type(i).__name__ for i in instances}
    for _module, cls in class_cases():
        if cls in {"OptimizationConstraint", "OptimizationObjective", "IndexBenchmark"}:
            continue  # bare bases carry no state; IndexBenchmark needs a store (private only)
        assert cls in covered, f"no sample instance of {cls}"
    for instance in instances:
        module_name = type(instance).__module__.rsplit(".", 1)[1]
        node = next(
            n
            for n in stub_tree(module_name).body
            if isinstance(n, ast.ClassDef) and n.name == type(instance).__name__
        )
        declared = {
            n.target.id for n in node.body if isinstance(n, ast.AnnAssign) and not is_class_level(n)
        }
        assert declared == public(vars(instance)), type(instance).__name__


@pytest.mark.parametrize("name", MODULES)
def test_every_stub_entry_has_a_one_line_english_docstring(name: str) -> None:
    tree = stub_tree(name)
    nodes = [tree] + [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    for node in nodes:
        doc = ast.get_docstring(node)
        label = getattr(node, "name", name)
        assert doc and "\n" not in doc and doc.isascii(), label


def test_package_is_marked_typed() -> None:
    assert (stub_path("optimize").parent / "py.typed").is_file()
