"""Every entry point of the four extension modules, called with odd arguments, ends in a return
value or a Python exception: never a crash of the interpreter.

The calls run in a child interpreter, so that a segmentation fault or an abort shows as a failed
test instead of taking the test run down. The data client is replaced by an object whose every
attribute raises, so that no call reaches a market store."""

from __future__ import annotations

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import importlib, inspect, itertools, math, warnings

    class NoData:
        def __getattr__(self, name):
            raise LookupError("no market data in this test: " + name)

    class Hostile:
        # every protocol the C++ code might use raises
        def __bool__(self): raise ValueError("bool")
        def __eq__(self, other): raise ValueError("eq")
        def __lt__(self, other): raise ValueError("lt")
        def __iter__(self): raise ValueError("iter")
        def __len__(self): raise ValueError("len")
        def __float__(self): raise ValueError("float")
        def __getattr__(self, name): raise ValueError(name)
        __hash__ = object.__hash__

    VALUES = [None, 0, -1, 10**100, math.nan, "", "x", b"x", [], [None], {}, {"*": 1},
              (1, 2, 3), object(), Hostile()]

    modules = [importlib.import_module("morvane." + name)
               for name in ("optimize", "objective", "constraints", "benchmark")]
    for module in modules:
        module.tarnwick = NoData()
        module.__dict__.get("OptimizeHelper") and setattr(module, "OptimizeHelper", NoData)

    def callables():
        for module in modules:
            for name, obj in vars(module).items():
                if name.startswith("__") or getattr(obj, "__module__", None) != module.__name__:
                    continue
                yield obj, 3
                if isinstance(obj, type):
                    instance = object.__new__(obj)
                    for attr, member in vars(obj).items():
                        if callable(member) and not attr.startswith("__"):
                            yield getattr(instance, attr), 3

    calls = 0
    warnings.simplefilter("ignore")
    for func, arity in callables():
        for n in range(arity + 1):
            for args in itertools.product(VALUES, repeat=n) if n < 3 else zip(*[VALUES] * 3):
                calls += 1
                try:
                    func(*args)
                except BaseException as exc:
                    if not isinstance(exc, Exception):
                        raise SystemExit("not an Exception: %r from %r" % (exc, func))
    print("calls", calls)
    """
)


def test_odd_arguments_never_crash_the_interpreter() -> None:
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert int(proc.stdout.split()[-1]) > 10_000
