"""Progress bars on stderr: done and total, rate and time left."""

from __future__ import annotations

import sys
from typing import Any


class _Silent:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(total: int, unit: str = "target", desc: str | None = None, enabled: bool = True) -> Any:
    """A tqdm bar on stderr (done/total, rate, time left), or an object that does nothing."""
    if not enabled:
        return _Silent()
    from tqdm import tqdm

    return tqdm(
        total=total,
        unit=unit,
        desc=desc,
        file=sys.stderr,
        dynamic_ncols=True,
        smoothing=0.1,
        unit_scale=True,
    )


def stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
