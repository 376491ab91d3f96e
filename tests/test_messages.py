"""The English help of the package's messages: one table (morvane.messages) behind the notes of
the argument errors and the guide's tables, and an entry for every message the C++ code has."""

from __future__ import annotations

import importlib
import inspect
import re
from pathlib import Path
from typing import Any, Callable

import pytest

import morvane.messages
from morvane.exception import InvalidArgument
from morvane.messages import ARGUMENT_ERRORS, WARNINGS, note

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["optimize", "objective", "constraints", "benchmark"]

LITERALS = re.compile(r'(?:(?<![R\w])"(?:[^"\\\n]|\\.)*"\s*)+')
ONE_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def cpp_literals() -> dict[str, str]:
    """Every ordinary string literal of the C++ sources (adjacent ones joined, as the compiler
    joins them) -> where it is; raw strings (the long docstrings) are left out."""
    found: dict[str, str] = {}
    for path in sorted((ROOT / "cpp").rglob("*.[ch]pp")):
        text = path.read_text(encoding="utf-8")
        text = re.sub(r'R"\((.*?)\)"', lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
        text = re.sub(r"^\s*//.*$", "", text, flags=re.M)
        for m in LITERALS.finditer(text):
            value = "".join(ONE_LITERAL.findall(m.group(0))).replace('\\"', '"')
            line = text.count("\n", 0, m.start()) + 1
            found.setdefault(value, f"{path.relative_to(ROOT)}:{line}")
    return found


def docstrings() -> set[str]:
    """The docstrings of the four modules' public classes, functions, methods and properties."""
    docs = set()
    for name in MODULES:
        module = importlib.import_module(f"morvane.{name}")
        for value in vars(module).values():
            docs.add(getattr(value, "__doc__", None))
            if inspect.isclass(value) and value.__module__ == module.__name__:
                docs.update(getattr(member, "__doc__", None) for member in vars(value).values())
    return {d for d in docs if isinstance(d, str)}


def test_every_chinese_text_of_the_cpp_code_is_a_known_message_or_a_docstring() -> None:
    known = set(ARGUMENT_ERRORS) | set(WARNINGS) | docstrings()
    unknown = {
        text: where
        for text, where in cpp_literals().items()
        if not text.isascii() and text not in known
    }
    assert unknown == {}, "add each message to morvane/messages.py (and the guide)"


@pytest.mark.parametrize("table", [ARGUMENT_ERRORS, WARNINGS], ids=["errors", "warnings"])
def test_every_entry_is_a_text_of_the_code(table: dict[str, Any]) -> None:
    literals = cpp_literals()
    assert [t for t in table if t not in literals] == []


def guide_rows() -> dict[str, tuple[str, str, str]]:
    """The guide's message and warning tables: template -> (kind, meaning, fix), from the first
    row naming it (the helper's table may repeat an optimiser message with the helper's meaning)."""
    rows, kind = {}, None
    for line in (ROOT / "docs" / "guide.md").read_text(encoding="utf-8").splitlines():
        if line.startswith(("| message |", "| warning |")):
            kind = line.split()[1]
        elif not line.startswith("|"):
            kind = None
        elif kind and not line.startswith("| ---"):
            first, meaning, fix = (c.strip() for c in line.strip().strip("|").split(" | "))
            found = re.match(r"`([^`]*)`", first)
            if found:
                rows.setdefault(found.group(1), (kind, meaning, fix))
    return rows


@pytest.mark.parametrize(
    "kind, table", [("message", ARGUMENT_ERRORS), ("warning", WARNINGS)], ids=["errors", "warnings"]
)
def test_the_guide_says_what_the_table_says(kind: str, table: dict[str, Any]) -> None:
    rows = guide_rows()
    for template, help_ in table.items():
        assert rows.get(template) == (kind, help_.meaning, help_.fix), template


def test_a_note_reads_as_english_without_markdown_links() -> None:
    assert note("非法的目标函数") == (
        "In English: `objective` is not an `OptimizationObjective`. "
        "To fix it: pass an instance, `MinVariance()`, not the class."
    )
    assert note("not a template") is None
    for template in ARGUMENT_ERRORS:
        text = note(template)
        assert text is not None and text.isascii() and "](" not in text, template


def bad_calls() -> list[Any]:
    from morvane import benchmark as b
    from morvane import constraints as c
    from morvane import objective as o
    from morvane import optimize as opt

    cases: list[tuple[str, Callable[[], object]]] = [
        ("expect a datetime like object, got %r(%r)", lambda: opt.to_date(3)),
        ("invalid value {} for {}", lambda: opt.to_enum("weekly", opt.CovModel)),
        ("order_book_ids 非法", lambda: opt.portfolio_optimize(3, "2025-06-03")),
        ("上下限应该以 (lower, upper) 的形式指定", lambda: opt.parse_bnds({"a": 1}, ["a"])),
        ("下限之和大于1", lambda: opt.parse_bnds({"*": (0.6, 1)}, ["a", "b"])),
        ("约束的上限或下限非法: {}", lambda: opt.ensure_bound("x")),
        (
            "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象",
            lambda: o.ensure_series({1, 2}, "x"),
        ),
        (
            "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
            lambda: o.MeanVariance(risk_aversion_coefficient=-1),
        ),
        ("约束的上限或下限非法: {} = {}", lambda: c.StyleConstraint("size", upper_limit="+5%")),
        ("跟踪误差上限小于0：{}", lambda: c.TrackingErrorLimit(-1)),
        (
            "StockPoolLimit: upper_limit及lower_limit 最少应该指定一个",
            lambda: c.StockPoolLimit(["000001.XSHE"]),
        ),
        (
            "在 TransactionVolumeLimit 约束中，current_holding 和 cash 至少需要一个",
            lambda: c.TransactionVolumeLimit(upper_limit=0.1),
        ),
        (
            "仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型",
            lambda: b.IndexBenchmark("000061.XSHE"),
        ),
    ]
    return [pytest.param(t, call, id=t) for t, call in cases]


@pytest.mark.parametrize("template, call", bad_calls())
def test_an_argument_error_keeps_its_message_and_gains_its_note(
    small_store: Path, template: str, call: Callable[[], object]
) -> None:
    with pytest.raises(InvalidArgument) as caught:
        call()
    message = str(caught.value)
    pattern = re.escape(template).replace(r"\{\}", ".*").replace("%r", ".*")
    assert re.fullmatch(pattern, message, flags=re.S), message
    assert caught.value.__notes__[-1] == note(template)


def test_an_unreadable_note_leaves_the_error_as_it_is(monkeypatch: pytest.MonkeyPatch) -> None:
    from morvane import constraints as c

    def broken(template: str) -> str:
        raise RuntimeError("no help today")

    monkeypatch.setattr(morvane.messages, "note", broken)
    with pytest.raises(InvalidArgument) as caught:
        c.TrackingErrorLimit(-1)
    assert str(caught.value) == "跟踪误差上限小于0：-1.0"
    assert getattr(caught.value, "__notes__", []) == []
