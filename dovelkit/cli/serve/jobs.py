"""The server's search queue: searches wait in line and run one at a time on the worker pool.

One runner thread takes the searches in the order they came and runs each with the library's
worker processes (``workers`` of them), so a search gets every core the server was given, as the
command does. The line is bounded (``max_queued``): a search that finds it full is refused at
once (the API answers 503 with Retry-After). Finished searches are kept for the page (their hits,
the uploaded query for the hit reports) up to ``keep`` of them, oldest dropped first, each with
its upload folder.

Progress of a running search is an estimate: the time it has run against the time the last search
of the same database at the same level took.
"""

from __future__ import annotations

import asyncio
import itertools
import secrets
import shutil
import threading
import time
from collections import OrderedDict, deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any


class QueueFull(Exception):
    """The line of waiting searches is full."""


@dataclass
class Job:
    id: str
    database: str
    level: str
    top: int
    shown_name: str  # the upload's name as the client gave it (text, never a path)
    folder: str  # private folder of the upload, removed with the job
    query: Any  # the loaded query chain
    query_path: str
    state: str = "queued"  # queued, running, done, failed
    submitted: float = field(default_factory=time.monotonic)
    started: float | None = None
    finished: float | None = None
    result: dict[str, Any] | None = None
    error: str | None = None
    waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = field(default_factory=list)

    def seconds(self) -> float | None:
        if self.started is None:
            return None
        return (self.finished or time.monotonic()) - self.started


class JobQueue:
    """Searches in line, run one at a time by a runner thread; finished ones kept for the page."""

    def __init__(self, run: Callable[[Job], dict[str, Any]], max_queued: int = 16, keep: int = 64) -> None:
        self._run = run
        self.max_queued = max_queued
        self.keep = keep
        self._lock = threading.Condition()
        self._line: deque[Job] = deque()
        self._jobs: OrderedDict[str, Job] = OrderedDict()
        self._running: Job | None = None
        self._last_seconds: dict[tuple[str, str], float] = {}
        self._closed = False
        self._counter = itertools.count(1)
        self._thread = threading.Thread(target=self._loop, name="dovel-search-runner", daemon=True)
        self._thread.start()

    # -- submitting ---------------------------------------------------------------------------
    def new_id(self) -> str:
        return f"{next(self._counter)}-{secrets.token_hex(6)}"

    def submit(self, job: Job) -> None:
        """Put a search in line; QueueFull when the line holds max_queued searches already."""
        with self._lock:
            if self._closed:
                raise QueueFull("the server is stopping")
            if len(self._line) >= self.max_queued:
                raise QueueFull(f"{len(self._line)} searches are waiting already")
            self._line.append(job)
            self._jobs[job.id] = job
            self._drop_old()
            self._lock.notify()

    def get(self, job_id: str) -> Job | None:
        with self._lock:
            return self._jobs.get(job_id)

    def position(self, job: Job) -> int:
        """1 for the next search to run, 0 when it runs or has run."""
        with self._lock:
            try:
                return self._line.index(job) + 1
            except ValueError:
                return 0

    def status(self, job: Job) -> dict[str, Any]:
        with self._lock:
            out: dict[str, Any] = {"id": job.id, "state": job.state, "database": job.database, "level": job.level,
                                   "query": job.shown_name}
            if job.state == "queued":
                out["position"] = self._line.index(job) + 1 if job in self._line else 0
            seconds = job.seconds()
            if seconds is not None:
                out["seconds"] = round(seconds, 2)
            if job.state == "running":
                last = self._last_seconds.get((job.database, job.level))
                out["progress"] = None if not last else round(min(0.95, seconds / last), 2) if seconds else 0.0
            if job.state == "failed":
                out["error"] = job.error
            return out

    def counts(self) -> dict[str, int]:
        with self._lock:
            return {"queued": len(self._line), "running": int(self._running is not None),
                    "kept": len(self._jobs), "max_queued": self.max_queued}

    async def wait(self, job: Job) -> None:
        """Until the job has run (or failed)."""
        loop = asyncio.get_running_loop()
        with self._lock:
            if job.state in ("done", "failed"):
                return
            future: asyncio.Future[None] = loop.create_future()
            job.waiters.append((loop, future))
        await future

    # -- running ------------------------------------------------------------------------------
    def _loop(self) -> None:
        while True:
            with self._lock:
                while not self._line and not self._closed:
                    self._lock.wait()
                if self._closed:
                    return
                job = self._line.popleft()
                job.state, job.started = "running", time.monotonic()
                self._running = job
            try:
                result, error = self._run(job), None
            except Exception as exc:  # the message goes to the page; the server keeps serving
                result, error = None, _one_line(exc)
            with self._lock:
                job.finished = time.monotonic()
                job.result, job.error = result, error
                job.state = "done" if error is None else "failed"
                if error is None and job.started is not None:
                    self._last_seconds[(job.database, job.level)] = job.finished - job.started
                self._running = None
                waiters, job.waiters = job.waiters, []
                self._drop_old()
            for loop, future in waiters:
                loop.call_soon_threadsafe(_settle, future)

    def _drop_old(self) -> None:
        """Forget the oldest finished searches beyond ``keep`` (with their upload folders)."""
        finished = [j for j in self._jobs.values() if j.state in ("done", "failed")]
        for job in finished[: max(0, len(finished) - self.keep)]:
            del self._jobs[job.id]
            shutil.rmtree(job.folder, ignore_errors=True)

    def close(self) -> None:
        """Refuse new searches, drop those waiting, and let the runner end after the running one."""
        with self._lock:
            self._closed = True
            dropped = list(self._line)
            self._line.clear()
            for job in dropped:
                job.state, job.error = "failed", "the server stopped"
            self._lock.notify_all()
        for job in dropped:
            for loop, future in job.waiters:
                try:
                    loop.call_soon_threadsafe(_settle, future)
                except RuntimeError:  # that loop has closed
                    pass


def _settle(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__
