"""Behaviour shared by the four extension modules: real Python classes with C++ bodies,
module globals read at call time, errors and warnings."""

import abc
import importlib
import importlib.machinery
import pickle
import warnings

import pytest

MODULES = ["morvane.optimize", "morvane.objective", "morvane.constraints", "morvane.benchmark"]


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_extension_modules(name: str) -> None:
    module = importlib.import_module(name)
    assert module.__name__ == name
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    loader = module.__spec__.loader
    # an editable install wraps the extension loader in a redirecting one
    loader = getattr(loader, "_skbuild_loader", loader)
    assert isinstance(loader, importlib.machinery.ExtensionFileLoader)


@pytest.mark.parametrize(
    "module, cls, metaclass",
    [
        ("morvane.objective", "OptimizationObjective", abc.ABCMeta),
        ("morvane.objective", "MinVariance", abc.ABCMeta),
        ("morvane.constraints", "OptimizationConstraint", abc.ABCMeta),
        ("morvane.constraints", "TrackingErrorLimit", abc.ABCMeta),
        ("morvane.benchmark", "OptimizeBenchmark", type),
        ("morvane.benchmark", "IndexBenchmark", type),
    ],
)
def test_classes_are_plain_python_classes(module: str, cls: str, metaclass: type) -> None:
    klass = getattr(importlib.import_module(module), cls)
    assert type(klass) is metaclass
    assert klass.__module__ == module
    assert klass.__qualname__ == cls
    # nothing but Python's own classes in the hierarchy
    assert all(base.__module__ in (module, "builtins") for base in klass.__mro__)


def test_instances_keep_state_in_dict_and_pickle() -> None:
    from morvane.constraints import TrackingErrorLimit

    limit = TrackingErrorLimit(0.05, hard=False)
    assert limit.__dict__ == {"upper": 0.05, "_hard": False}
    copy = pickle.loads(pickle.dumps(limit))
    assert type(copy) is TrackingErrorLimit
    assert copy.__dict__ == limit.__dict__
    assert copy.hard is False


def test_read_only_property() -> None:
    from morvane.constraints import TrackingErrorLimit

    limit = TrackingErrorLimit(0.05)
    with pytest.raises(AttributeError):
        limit.hard = False


def test_keyword_only_parameter_refuses_positional_use() -> None:
    from morvane.constraints import TrackingErrorLimit

    with pytest.raises(TypeError):
        TrackingErrorLimit(0.05, False)


def test_python_subclass_without_base_init() -> None:
    from morvane.objective import MinVariance

    class Mine(MinVariance):
        def __init__(self, tag: str) -> None:
            self.tag = tag

    mine = Mine("x")
    assert isinstance(mine, MinVariance)
    assert mine.tag == "x"
    assert mine.get_internal_constraints(None, 1.0, None) == []


def test_module_globals_are_read_at_call_time(monkeypatch: pytest.MonkeyPatch) -> None:
    import morvane.benchmark as benchmark

    class Record:
        type = "INDX"

    calls = []

    class FakeClient:
        @staticmethod
        def instruments(order_book_id: str) -> Record:
            calls.append(order_book_id)
            return Record()

    monkeypatch.setattr(benchmark, "tarnwick", FakeClient)
    index = benchmark.IndexBenchmark("399999.XSHE")
    assert calls == ["399999.XSHE"]
    assert index._order_book_id == "399999.XSHE"


def test_invalid_argument_message_prints_values_as_python() -> None:
    from morvane.constraints import TrackingErrorLimit
    from morvane.exception import InvalidArgument

    with pytest.raises(InvalidArgument) as info:
        TrackingErrorLimit(None)
    assert str(info.value) == "跟踪误差上限小于0：None"
    assert not isinstance(info.value, (KeyError, TypeError))


def test_warning_points_at_the_calling_line() -> None:
    from fakes import FakeHelper
    from morvane.constraints import TrackingErrorLimit

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = TrackingErrorLimit(0.05).to_constraints(None, 3, FakeHelper(["a", "b"]))
    assert result == []
    assert len(caught) == 1
    assert caught[0].filename == __file__


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m["morvane.optimize"].portfolio_optimize(),
        lambda m: m["morvane.optimize"].to_date(object()),
        lambda m: m["morvane.optimize"].parse_bnds([1, 2], ["a"]),
        lambda m: m["morvane.objective"].MeanVariance(risk_aversion_coefficient="x"),
        lambda m: m["morvane.objective"].MinVariance().get_objective_expr(1, 2, 3),
        lambda m: m["morvane.constraints"].get_deviation_value(0.1, object()),
        lambda m: m["morvane.constraints"].TurnoverLimit(object(), object()),
        lambda m: m["morvane.benchmark"].IndexBenchmark(),
        lambda m: m["morvane.benchmark"].OptimizeBenchmark.get_weight(None, None),
    ],
)
def test_bad_arguments_raise_python_exceptions(call) -> None:
    modules = {name: importlib.import_module(name) for name in MODULES}
    with pytest.raises(Exception):  # noqa: B017 - any Python exception, the point is no crash
        call(modules)
