"""The path type every function of the kit accepts."""

from __future__ import annotations

import os
from typing import Union

PathLike = Union[str, "os.PathLike[str]"]
