"""The one way the package writes a file: atomically, with the permissions the umask allows.

:func:`write_atomic` writes to a temporary file in the target's folder, flushes it to disk,
renames it over the target and makes the rename durable, so a reader (or a run resumed after a
crash, ``kill -9`` included) finds either the old file or the whole new one, never a part.  The
new file gets the mode an ordinary ``open(path, "w")`` would give it: ``0666`` less the process's
umask (``0644`` under umask ``022``, ``0600`` under ``077``), the kernel applying the umask when
the temporary file is created.  Backtest outputs, report pages, exported weights and orders all
go through it.
"""

from __future__ import annotations

import os
import secrets
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO, Union

__all__ = ["write_atomic"]

#: What a file is given: its bytes, its text (written as UTF-8), or a function that writes it
#: into the open binary file it receives.
Content = Union[bytes, str, Callable[[BinaryIO], object]]

_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
_ATTEMPTS = 100


def _create_temporary(target: Path) -> tuple[int, Path]:
    """A new, empty temporary file beside ``target`` (mode 0666 less the umask), open for
    writing."""
    for _ in range(_ATTEMPTS):
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(temporary, _FLAGS, 0o666), temporary
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {target}")


def _sync_folder(folder: Path) -> None:
    """Make a rename in ``folder`` durable where the platform allows it."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_atomic(path: Union[str, os.PathLike[str]], content: Content) -> Path:
    """Write ``content`` to ``path`` atomically (see the module); returns the path.  Missing
    parent folders are created.  On any error the target is left as it was and the temporary
    file is removed."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = _create_temporary(target)
    try:
        with os.fdopen(fd, "wb") as handle:
            if callable(content):
                content(handle)
            else:
                handle.write(content.encode("utf-8") if isinstance(content, str) else content)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _sync_folder(target.parent)
    return target
