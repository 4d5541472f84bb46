"""Files that appear whole or not at all.

Every file dovelkit writes goes to a temporary file in the target's directory first and is renamed
onto the target only once it is complete: a failure or Ctrl-C part-way leaves any earlier file at
that path as it was, and no temporary file behind. A file is flushed to disk, and so is its
directory after the rename, before the write reports success: a database or structure "written"
survives a crash or a power loss. Errors name the target, never the temporary file.
"""

from __future__ import annotations

import contextlib
import os
import re
import tempfile
from collections.abc import Iterable, Iterator, Sequence

from dovelkit.io.paths import PathLike


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


# Temporary files are named .<target name>.<pid>-<random>.part: the pid lets a later write to the
# same target remove what a process that no longer exists left behind (killed, or the machine
# stopped, before it could clean up).
_PART = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)-[A-Za-z0-9_]+\.part$")


def _process_exists(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, but is not ours
        return True
    return True


def remove_stale_parts(target: PathLike) -> list[str]:
    """Remove the temporary files of writes to ``target`` left by processes that no longer exist;
    return their paths."""
    path = os.path.abspath(os.fspath(target))
    directory, name = os.path.split(path)
    removed: list[str] = []
    try:
        entries = os.listdir(directory)
    except OSError:
        return removed
    for entry in entries:
        m = _PART.match(entry)
        if m is None or m.group("name") != name or _process_exists(int(m.group("pid"))):
            continue
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(directory, entry))
            removed.append(os.path.join(directory, entry))
    return removed


def _temporary_beside(target: str) -> tuple[int, str]:
    """An open descriptor and the path of a new temporary file in the target's directory. An
    error names the target, not the temporary file."""
    directory = os.path.dirname(os.path.abspath(target))
    remove_stale_parts(target)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.{os.getpid()}-", suffix=".part",
                                   dir=directory)
    except OSError as exc:
        raise type(exc)(exc.errno, exc.strerror, target) from None
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


def _sync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _sync_directories(targets: Iterable[str]) -> None:
    """Make renames into these targets' directories durable (where directories can be synced)."""
    for directory in sorted({os.path.dirname(os.path.abspath(t)) for t in targets}):
        try:
            fd = os.open(directory, os.O_RDONLY)
        except OSError:
            continue
        try:
            with contextlib.suppress(OSError):  # some file systems refuse fsync on a directory
                os.fsync(fd)
        finally:
            os.close(fd)


def _replace(tmp: str, target: str) -> None:
    try:
        os.replace(tmp, target)
    except OSError as exc:
        raise type(exc)(exc.errno, exc.strerror, target) from None


@contextlib.contextmanager
def replacing(out_path: PathLike) -> Iterator[str]:
    """Yield the path of a temporary file beside ``out_path`` for the caller to fill and close;
    when the block ends normally the file is flushed to disk and renamed onto ``out_path`` (the
    rename made durable too), otherwise removed."""
    target = os.fspath(out_path)
    fd, tmp = _temporary_beside(target)
    os.close(fd)
    try:
        yield tmp
        try:
            _sync_file(tmp)
        except OSError as exc:  # a disk that filled up, say: named by the target
            raise type(exc)(exc.errno, exc.strerror, target) from None
        _replace(tmp, target)
    except BaseException:
        _discard([tmp])
        raise
    _sync_directories([target])


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
                try:
                    fh.write(data)
                    fh.flush()
                    os.fsync(fh.fileno())
                except OSError as exc:
                    raise type(exc)(exc.errno, exc.strerror, target) from None
        done = []
        while staged:
            tmp, target = staged[0]
            _replace(tmp, target)
            done.append(target)
            staged.pop(0)
    finally:
        _discard([tmp for tmp, _ in staged])
    _sync_directories(done)
