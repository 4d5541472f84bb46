"""The path type every function of the kit accepts."""

from __future__ import annotations

import os
import stat
from typing import Union

PathLike = Union[str, "os.PathLike[str]"]

# The most structure text one input file may hold, after inflating (see dovelkit.io.reading): well
# above the largest entries of the archive (a few hundred MB of mmCIF), so that only a damaged or
# hostile file reaches it.
DEFAULT_MAX_SIZE = 512 * 1024 * 1024


def not_regular(mode: int) -> str | None:
    """Why a file of this ``st_mode`` is not read as a structure: "not a regular file (a FIFO)" and
    the like; None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return f"not a regular file ({name})"
    return "not a regular file"


def display_path(path: str) -> str:
    """``path`` as valid UTF-8 text, for messages, ids and the database (the bytes of a file name
    that is not UTF-8 shown as ``\\xNN``)."""
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
