"""Progress bars on stderr: done and total, rate and time left."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO


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
    )


def stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class Status:
    """A one-line progress display on stderr, shown only when stderr is a terminal.

    ``update`` rewrites the line in place; ``close`` erases it. Nothing is printed otherwise, so
    redirected output and pipes stay clean.
    """

    def __init__(self, label: str, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self.label = label
        self.start = time.monotonic()
        self.shown = False

    def update(self, text: str) -> None:
        if not self.enabled:
            return
        elapsed = time.monotonic() - self.start
        self.stream.write(f"\r\033[K{self.label}: {text} ({elapsed:.0f} s)")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
