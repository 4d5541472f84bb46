"""Imported first by the server process that forks the kit's worker processes: the server ends
when the process that started it ends (the variable names that process; on Linux)."""

from __future__ import annotations

import os

from dovelkit.pools import SERVER_GUARD_ENV, die_with_parent

_parent = os.environ.pop(SERVER_GUARD_ENV, "")
if _parent.isdigit():
    die_with_parent(int(_parent))
