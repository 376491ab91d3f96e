"""Where the store file lives, whether a store can be written there, and which file is there."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from tarnwick.errors import StoreError

__all__ = ["store_path", "rebuild_hint", "check_location", "file_key"]


def _user_cache_dir() -> Path:
    """The user's cache folder: %LOCALAPPDATA% on Windows, ~/Library/Caches on macOS,
    $XDG_CACHE_HOME (else ~/.cache) elsewhere."""
    if sys.platform == "win32" and os.environ.get("LOCALAPPDATA"):
        return Path(os.environ["LOCALAPPDATA"])
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Caches"
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache").expanduser()


def store_path() -> Path:
    """Where the store lives: ``$TARNWICK_HOME/market.duckdb`` if TARNWICK_HOME is set, else
    ``tarnwick/market.duckdb`` in the user's cache folder (``$XDG_CACHE_HOME`` or
    ``~/.cache`` on Linux)."""
    home = os.environ.get("TARNWICK_HOME")
    if home:
        return Path(home).expanduser() / "market.duckdb"
    return _user_cache_dir() / "tarnwick" / "market.duckdb"


def rebuild_hint(path: Path) -> str:
    """The command that rebuilds the store at ``path``."""
    if Path(path) == store_path():
        return "rebuild it with `tarnwick sample`"
    return f"rebuild it with `tarnwick sample --path {path}`"


def check_location(path: Path) -> None:
    """Refuse, before any work, a store location that cannot hold a store: ``path`` a folder,
    ``TARNWICK_HOME`` a file, a parent that is missing, not a folder or not writable."""
    home = os.environ.get("TARNWICK_HOME")
    if home and path == store_path():
        folder = Path(home).expanduser()
        if folder.exists() and not folder.is_dir():
            raise StoreError(f"TARNWICK_HOME={home} is a file, not a folder")
        if not folder.exists():
            if not folder.parent.is_dir():
                raise StoreError(
                    f"TARNWICK_HOME={home} cannot be created: its parent {folder.parent} is "
                    "missing or not a folder"
                )
            _check_writable(folder.parent, "TARNWICK_HOME's parent")
            return
    if path.is_dir():
        raise StoreError(f"{path} is a folder; name the store file, e.g. {path / 'market.duckdb'}")
    parent = path.parent
    if parent.exists() and not parent.is_dir():
        raise StoreError(f"cannot write the store {path}: {parent} is a file, not a folder")
    if not parent.exists():
        if path == store_path() and not home:
            return  # the user's cache folder is created on first use
        raise StoreError(f"cannot write the store {path}: the folder {parent} does not exist")
    _check_writable(parent, "the folder")


def _check_writable(folder: Path, what: str) -> None:
    if not os.access(folder, os.W_OK | os.X_OK):
        raise StoreError(f"cannot write the store: {what} {folder} is not writable")


def file_key(path: Path) -> tuple[object, ...] | None:
    """Identifies the file now at ``path`` (resolved path, inode, modification time, size);
    None when there is none.  A file renamed over the path gets another key."""
    try:
        st = path.stat()
    except (FileNotFoundError, NotADirectoryError):
        return None
    return (str(path.resolve()), st.st_ino, st.st_mtime_ns, st.st_size)
