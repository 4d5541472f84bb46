"""The path type every function of the kit accepts, and names taken from files made printable."""

from __future__ import annotations

import os
import re
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


# Characters that break a line, a cell or a terminal when a name carries them: the C0 and C1
# controls (newline, tab, CR, ESC, BEL, ...), DEL and the Unicode line and paragraph separators.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_ESCAPES = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}


def printable(text: str) -> str:
    """``text`` with its control characters written as escapes (``\\n``, ``\\t``, ``\\r``, ``\\x1b``): a
    name taken from a file (an id, a path) then stays one FASTA header, one TSV cell, one line of a
    terminal, and sends the terminal no commands."""
    return _CONTROL.sub(lambda m: _ESCAPES.get(m.group()) or _escape(ord(m.group())), text)


def _escape(code: int) -> str:
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
