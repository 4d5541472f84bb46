"""Worker processes: how many, how they start, how they stop."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import signal
from collections.abc import Sequence
from typing import Any


def _ignore_sigint() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def default_workers() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not every platform has affinity
        return max(1, os.cpu_count() or 1)


def stop_pool(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Stop a process pool now: pending work is dropped and the worker processes end."""
    procs = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for p in procs:
        if p.is_alive():
            p.terminate()
    for p in procs:
        p.join(timeout=5)
        if p.is_alive():
            p.kill()
            p.join()


def process_pool(workers: int, preload: Sequence[str] = ("dovelkit.search",)) -> concurrent.futures.ProcessPoolExecutor:
    """Worker processes forked from a clean server process (safe with threads in this process, and
    quick to start: the server has imported the ``preload`` modules once); they ignore Ctrl-C,
    which the calling process handles by stopping them."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(list(preload))
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                                  initializer=_ignore_sigint)


def check_workers(workers: Any) -> int:
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive int or None, not {workers!r}")
    return workers
