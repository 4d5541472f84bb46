"""The path type every function of the kit accepts."""

from __future__ import annotations

import os
from typing import Union

PathLike = Union[str, "os.PathLike[str]"]

# The most structure text one input file may hold, after inflating (see dovelkit.reading): well
# above the largest entries of the archive (a few hundred MB of mmCIF), so that only a damaged or
# hostile file reaches it.
DEFAULT_MAX_SIZE = 512 * 1024 * 1024
