"""Shared fixtures.

Importing this module points TARNWICK_HOME at a throw-away directory, so that no test ever
builds the full sample market in the user's cache by accident.  Tests that need market data
take the session fixture ``small_store``: the small sample market, built once per session,
with TARNWICK_HOME set to its directory for the rest of the session.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
from pathlib import Path

import pytest

_SAFE_HOME = tempfile.mkdtemp(prefix="tarnwick-test-home-")
os.environ["TARNWICK_HOME"] = _SAFE_HOME
atexit.register(shutil.rmtree, _SAFE_HOME, ignore_errors=True)


@pytest.fixture(scope="session")
def small_store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Path of the small sample market's store file (``$TARNWICK_HOME/market.duckdb``)."""
    from tarnwick import store

    home = tmp_path_factory.mktemp("tarnwick-small")
    path = store.build("small", path=home / "market.duckdb", progress=False)
    os.environ["TARNWICK_HOME"] = str(home)
    store.close()
    return path


@pytest.fixture(scope="session")
def full_store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Path of the full sample market's store file, built once per session (about a minute and
    2 GB); TARNWICK_FULL_STORE=path/market.duckdb reuses a built one.  TARNWICK_HOME is left
    alone: tests point it at the file's folder while they need it."""
    from tarnwick import store

    given = os.environ.get("TARNWICK_FULL_STORE")
    if given:
        return Path(given)
    home = tmp_path_factory.mktemp("tarnwick-full")
    return store.build("full", path=home / "market.duckdb", progress=False)
