"""Files that appear whole or not at all.

Every file dovelkit writes goes to a temporary file in the target's directory first and is renamed
onto the target only once it is complete: a failure or Ctrl-C part-way leaves any earlier file at
that path as it was, and no temporary file behind.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator, Sequence

from dovelkit.paths import PathLike


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def check_writable(path: PathLike | None) -> None:
    """Fail early, before any work, when a file could not be written at ``path`` (None: nothing to
    write). Raises ValueError naming the path when its directory is missing or it is a directory."""
    if path is None:
        return
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(directory):
        blocker = _file_in_the_way(directory)
        if blocker is not None:
            raise ValueError(f"{target}: {blocker} is a file, not a directory")
        raise ValueError(f"{target}: directory {directory} does not exist")
    if os.path.isdir(target):
        raise ValueError(f"{target}: is a directory")


def _file_in_the_way(directory: str) -> str | None:
    """The closest existing ancestor of a missing ``directory`` when that is not a directory."""
    path = directory
    while not os.path.exists(path):
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent
    return None if os.path.isdir(path) else path


def _temporary_beside(target: str) -> tuple[int, str]:
    """An open descriptor and the path of a new temporary file in the target's directory."""
    directory = os.path.dirname(os.path.abspath(target))
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".part", dir=directory)
    try:
        # mkstemp makes the file private; give it the permissions any new file would get
        os.chmod(tmp, 0o666 & ~_umask())
    except BaseException:
        os.close(fd)
        _discard([tmp])
        raise
    return fd, tmp


def _discard(paths: Sequence[str]) -> None:
    for tmp in paths:
        with contextlib.suppress(OSError):
            os.unlink(tmp)


@contextlib.contextmanager
def replacing(out_path: PathLike) -> Iterator[str]:
    """Yield the path of a temporary file beside ``out_path`` for the caller to fill; when the
    block ends normally it is renamed onto ``out_path``, otherwise removed."""
    target = os.fspath(out_path)
    fd, tmp = _temporary_beside(target)
    os.close(fd)
    try:
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        _discard([tmp])
        raise


def write_atomically(out_path: PathLike, data: bytes) -> None:
    """Write ``data`` to ``out_path`` through a temporary file in the same directory and a rename."""
    write_files_atomically([(out_path, data)])


def write_files_atomically(files: Sequence[tuple[PathLike, bytes]]) -> None:
    """Write several files so that they appear together: all go to temporary files first, which
    are renamed into place only once every one is complete. On a failure or an interrupt before
    the renames, no target is created or changed and no temporary file is left behind."""
    staged: list[tuple[str, str]] = []
    try:
        for out_path, data in files:
            target = os.fspath(out_path)
            fd, tmp = _temporary_beside(target)
            staged.append((tmp, target))
            with os.fdopen(fd, "wb") as fh:
                fh.write(data)
        while staged:
            tmp, target = staged[0]
            os.replace(tmp, target)
            staged.pop(0)
    finally:
        _discard([tmp for tmp, _ in staged])
