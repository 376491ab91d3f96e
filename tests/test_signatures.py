"""The C++ functions and classes bind their arguments exactly as Python functions do.

Each public function, method and constructor of the four extension modules is compared with a
plain Python function of the parameter list its stub declares: the same wrong calls must raise
the same TypeError, word for word (the interpreter's own messages), and the classes report
their constructor's signature to `inspect`.
"""

from __future__ import annotations

import ast
import copy
import importlib
import inspect
import pickle
from typing import Any, Callable

import pytest
from test_stubs import find_def, function_cases, stub_tree

import morvane.benchmark as mb
import morvane.constraints as mc
import morvane.objective as mo
import morvane.optimize as mopt


def strip_annotations(node: ast.FunctionDef) -> ast.FunctionDef:
    node = copy.deepcopy(node)
    args = node.args
    for arg in args.args + args.kwonlyargs + ([args.kwarg] if args.kwarg else []):
        arg.annotation = None
    node.body, node.decorator_list, node.returns = [ast.Pass()], [], None
    return node


def reference(module_name: str, cls: str, func: str) -> Callable[..., Any]:
    """A Python function of the stub's parameters (defaults evaluated among the module's names)."""
    module = importlib.import_module(f"morvane.{module_name}")
    node = strip_annotations(find_def(stub_tree(module_name), cls, func))
    tree = ast.fix_missing_locations(ast.Module(body=[node], type_ignores=[]))
    namespace = dict(vars(module))
    exec(compile(tree, f"<stub of {module_name}>", "exec"), namespace)
    ref = namespace[func]
    ref.__qualname__ = f"{cls}.{func}" if cls else func
    return ref


def runtime(module_name: str, cls: str, func: str) -> Callable[..., Any]:
    module = importlib.import_module(f"morvane.{module_name}")
    if not cls:
        return getattr(module, func)
    member = vars(getattr(module, cls))[func]
    return member.fget if isinstance(member, property) else member


def wrong_calls(ref: Callable[..., Any]) -> dict[str, tuple[list[Any], dict[str, Any]]]:
    """Calls that no body is reached by: each fails while its arguments are bound."""
    params = list(inspect.signature(ref).parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    required = [p for p in positional if p.default is p.empty]
    keyword_only = [p for p in params if p.kind is p.KEYWORD_ONLY]
    takes_any_keyword = any(p.kind is p.VAR_KEYWORD for p in params)
    calls: dict[str, tuple[list[Any], dict[str, Any]]] = {
        "too many positional": ([None] * (len(positional) + 2), {}),
    }
    if not takes_any_keyword:
        calls["misspelt keyword"] = ([], {"no_such_parameter": 1})
        calls["misspelt keyword before the count"] = (
            [None] * (len(positional) + 2),
            {"no_such_parameter": 1},
        )
    if required:
        calls["nothing given"] = ([], {})
    if len(required) > 1:
        calls["one positional given"] = ([None], {})
    if positional:
        calls["multiple values"] = ([None] * len(positional), {positional[-1].name: None})
    if keyword_only:
        calls["too many with a keyword-only one"] = (
            [None] * (len(positional) + 1),
            {keyword_only[0].name: None},
        )
    if any(p.default is p.empty for p in keyword_only):
        calls["missing keyword-only"] = ([None] * len(required), {})
    return calls


def binding_cases() -> list[Any]:
    cases = []
    for module_name, cls, func in function_cases():
        for label, (args, kwargs) in wrong_calls(reference(module_name, cls, func)).items():
            name = f"{cls}.{func}" if cls else func
            cases.append(pytest.param(module_name, cls, func, args, kwargs, id=f"{name}-{label}"))
    return cases


def message(call: Callable[..., Any], args: list[Any], kwargs: dict[str, Any]) -> str:
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    return str(caught.value)


@pytest.mark.parametrize("module_name, cls, func, args, kwargs", binding_cases())
def test_a_wrong_call_raises_the_interpreters_own_type_error(
    module_name: str, cls: str, func: str, args: list[Any], kwargs: dict[str, Any]
) -> None:
    expected = message(reference(module_name, cls, func), args, kwargs)
    assert message(runtime(module_name, cls, func), args, kwargs) == expected


@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda: mo.MeanVariance(risk_aversion_coeficient=2),
            "MeanVariance.__init__() got an unexpected keyword argument 'risk_aversion_coeficient'",
        ),
        (
            lambda: mc.TrackingErrorLimit(),
            "TrackingErrorLimit.__init__() missing 1 required positional argument: 'upper_limit'",
        ),
        (
            lambda: mc.TurnoverLimit({}, 0.1, True),
            "TurnoverLimit.__init__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: mopt.portfolio_optimize(),
            "portfolio_optimize() missing 2 required positional arguments: 'order_book_ids' and "
            "'date'",
        ),
        (
            lambda: mo.MinVariance().get_objective_expr(1, zeta=2),
            "MinVariance.get_objective_expr() missing 1 required positional argument: 'helper'",
        ),
        (
            lambda: mo.MinVariance().get_preferred_solver(self=1),
            "MinVariance.get_preferred_solver() got multiple values for argument 'self'",
        ),
        (lambda: mopt.to_date(**{1: 2}), "keywords must be strings"),
    ],
)
def test_the_messages_name_the_class_and_the_parameter(
    call: Callable[[], Any], expected: str
) -> None:
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == expected


def class_cases() -> list[tuple[str, str]]:
    return sorted({(module_name, cls) for module_name, cls, func in function_cases() if cls})


@pytest.mark.parametrize("module_name, cls", class_cases())
def test_a_class_reports_its_constructors_signature(module_name: str, cls: str) -> None:
    runtime_cls = getattr(importlib.import_module(f"morvane.{module_name}"), cls)
    if "__init__" not in vars(runtime_cls):
        pytest.skip(f"{cls} has no constructor of its own")
    ref = reference(module_name, cls, "__init__")
    expected = list(inspect.signature(ref).parameters.values())[1:]
    assert list(inspect.signature(runtime_cls).parameters.values()) == expected


def test_a_subclass_reports_its_own_constructor_or_the_inherited_one() -> None:
    class Mine(mc.OptimizationConstraint):
        def __init__(self, limit: float, *, hard: bool = True) -> None:
            self._hard = hard

    class Tighter(mc.TrackingErrorLimit):
        pass

    assert list(inspect.signature(Mine).parameters) == ["limit", "hard"]
    assert inspect.signature(Tighter) == inspect.signature(mc.TrackingErrorLimit)
    with pytest.raises(TypeError, match=r"^TrackingErrorLimit.__init__\(\) got an unexpected"):
        Tighter(0.05, hardness=True)


def test_functions_pickle_by_name_and_bind_as_methods() -> None:
    for value in (
        mopt.portfolio_optimize,
        mc.wildcard_style_constraint,
        mo.MeanVariance.__init__,
        mb.OptimizeBenchmark.get_weight,
    ):
        assert pickle.loads(pickle.dumps(value)) is value
    objective = mo.MeanVariance(risk_aversion_coefficient=2)
    bound = objective.get_preferred_solver
    assert bound.__self__ is objective and bound() == objective.get_preferred_solver()
    assert list(inspect.signature(bound).parameters) == []
    assert mb.OptimizeBenchmark.get_weight.__isabstractmethod__
    assert inspect.isroutine(mopt.portfolio_optimize)
    assert repr(mo.MeanVariance.__init__) == "<function MeanVariance.__init__>"
