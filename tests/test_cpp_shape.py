"""The C++ sources stay readable: no function body over 80 lines.

Blocks are found by their braces (comments and string literals blanked first); a block whose
opening brace follows a closing parenthesis is a function body (or a lambda, a loop or a branch
inside one, which is never longer than the function holding it).
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
LIMIT = 80


def blank(text: str) -> str:
    """Comments and literals replaced by nothing, newlines kept, so line numbers stay."""

    def keep_lines(match: re.Match[str]) -> str:
        return "\n" * match.group(0).count("\n")

    text = re.sub(r'R"\((.*?)\)"', keep_lines, text, flags=re.S)
    text = re.sub(r"/\*.*?\*/", keep_lines, text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r'"(?:[^"\\\n]|\\.)*"', '""', text)
    return re.sub(r"'(?:[^'\\\n]|\\.)*'", "''", text)


def bodies(text: str) -> list[tuple[int, int]]:
    """(first line, number of lines) of every block opened right after a closing parenthesis,
    optionally followed by qualifiers or a trailing return type."""
    text = blank(text)
    opened: list[int] = []
    found = []
    head = re.compile(r"\)\s*(?:const|noexcept|override|mutable|->\s*[\w:<>&*, ]+|\s)*$")
    for i, ch in enumerate(text):
        if ch == "{":
            opened.append(i)
        elif ch == "}" and opened:
            start = opened.pop()
            if head.search(text[max(0, start - 200) : start]):
                first = text.count("\n", 0, start) + 1
                found.append((first, text.count("\n", start, i) + 1))
    return found


def test_the_scan_finds_a_long_body() -> None:
    long_body = "int f(int a) {\n" + "  ++a;\n" * 90 + "  return a;\n}\n"
    assert bodies(long_body) == [(1, 93)]
    assert bodies('struct S {\n  int x;\n};\nconst char* t = "{";\n') == []


@pytest.mark.parametrize(
    "path", sorted((ROOT / "cpp").rglob("*.[ch]pp")), ids=lambda p: str(p.relative_to(ROOT))
)
def test_no_function_is_longer_than_the_limit(path: Path) -> None:
    too_long = [(line, n) for line, n in bodies(path.read_text(encoding="utf-8")) if n > LIMIT]
    assert too_long == [], f"{path.name}: functions starting at (line, length) {too_long}"
