"""Worker processes: how many, how they start, how they stop, and what happens when one dies.

``WorkerPool`` runs calls on worker processes forked from a clean server process (safe with threads
in this process, and quick to start: the server has imported dovelkit once). Each worker talks to
this process over a pipe of its own, and this process waits on those pipes with no thread of its
own, so:

- Ctrl-C (or SIGTERM, which the command turns into the same exception) in this process stops the
  pool at once: the workers are killed and nothing is left to join;
- a worker that dies (killed, out of memory) is noticed at once, replaced, and its call runs again
  on another worker; a call that kills ``attempts`` workers in turn ends the run with
  ``WorkerLost`` saying what happened;
- the workers end when this process ends, even by SIGKILL: they ignore Ctrl-C (the caller stops
  them), a worker dies with its parent (the server), and the server dies with this process (on
  Linux, through the parent-death signal, set by dovelkit._startup before the server's imports;
  elsewhere when the pipes close).
"""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from dovelkit._startup import SERVER_GUARD_ENV, die_with_parent

# The server imports these once; every worker forked from it starts with them. The layers above
# name what their tasks need (``preload``), before the first pool starts the server. This module
# is always among them: importing the package in the server is what arms its guard (_startup).
_PRELOAD: list[str] = [__name__]


def preload(*modules: str) -> None:
    """Have every worker process start with ``modules`` imported (by the server they are forked
    from, once): the modules whose functions the caller sends as tasks. Takes effect for a server
    started after the call."""
    for name in modules:
        if name not in _PRELOAD:
            _PRELOAD.append(name)


def default_workers() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not every platform has affinity
        return max(1, os.cpu_count() or 1)


def check_workers(workers: Any) -> int:
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive int or None, not {workers!r}")
    return workers


class WorkerLost(ChildProcessError):
    """A call ended every worker process that tried to run it."""


@contextlib.contextmanager
def _sigint_held() -> Iterator[None]:
    """Processes started in this block begin with Ctrl-C ignored (the disposition passes through
    exec), so a Ctrl-C while they import prints nothing from them; one that arrives here meanwhile
    is held, not lost, and delivered to this process when the block ends."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _server_context() -> Any:
    """The forkserver context, its server running (started here, in a guarded way, when needed)."""
    context = multiprocessing.get_context("forkserver")
    from multiprocessing import forkserver

    context.set_forkserver_preload(_PRELOAD)
    guard = threading.current_thread() is threading.main_thread()
    with _sigint_held():
        previous = os.environ.get(SERVER_GUARD_ENV)
        if guard:
            os.environ[SERVER_GUARD_ENV] = str(os.getpid())
        else:
            os.environ.pop(SERVER_GUARD_ENV, None)
        try:
            forkserver.ensure_running()
        finally:
            if previous is None:
                os.environ.pop(SERVER_GUARD_ENV, None)
            else:
                os.environ[SERVER_GUARD_ENV] = previous
    return context


def _server_pid() -> int | None:
    from multiprocessing import forkserver

    pid = getattr(forkserver._forkserver, "_forkserver_pid", None)
    return int(pid) if pid is not None else None


def _worker_main(conn: multiprocessing.connection.Connection, server_pid: int | None) -> None:
    """A worker's life: run the calls that arrive until told to stop or the pipe closes."""
    die_with_parent(server_pid)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the caller's to handle
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    while True:
        try:
            message = conn.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        fn, args = message
        try:
            reply: tuple[bool, Any] = (True, fn(*args))
        except BaseException as exc:  # noqa: BLE001 - every failure goes back to the caller
            reply = (False, exc)
        try:
            data = pickle.dumps(reply, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as exc:  # a result or an exception that does not pickle
            what = reply[1] if not reply[0] else exc
            data = pickle.dumps((False, RuntimeError(f"{type(what).__name__}: {what}")))
        try:
            conn.send_bytes(data)
        except (BrokenPipeError, OSError):
            return


@dataclass
class _Task:
    index: int
    fn: Callable[..., Any]
    args: tuple[Any, ...]
    label: str
    attempts: int = 0


class _Worker:
    def __init__(self, context: Any, server_pid: int | None) -> None:
        self.conn, child = context.Pipe(duplex=True)
        self.process = context.Process(target=_worker_main, args=(child, server_pid), daemon=True)
        self.process.start()
        child.close()  # the worker holds the only other end: its death reads as the end of the pipe
        self.task: _Task | None = None

    def kill(self) -> None:
        with contextlib.suppress(Exception):
            if self.process.is_alive():
                self.process.kill()
        with contextlib.suppress(Exception):
            self.conn.close()

    def reap(self, timeout: float) -> None:
        with contextlib.suppress(Exception):
            self.process.join(timeout)


def _how_it_ended(code: int | None) -> str:
    if code is None:
        return "stopped answering"
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"was killed by {name}"
    return f"exited with status {code}"


class WorkerPool:
    """``workers`` worker processes; ``run`` sends them calls. Use as a context manager: leaving
    the block normally lets the workers finish, leaving it by an exception kills them now."""

    def __init__(self, workers: int, attempts: int = 3) -> None:
        self.attempts = max(1, attempts)
        self._context = _server_context()
        self._server_pid = _server_pid()
        self._workers: list[_Worker] = []
        self._retry: deque[_Task] = deque()
        try:
            for _ in range(check_workers(workers)):
                self._workers.append(self._start())
        except BaseException:
            self.stop()
            raise

    def _start(self) -> _Worker:
        """A new worker. The server that forks them may have ended (killed, say): it is then
        started again, once; WorkerLost when a worker still cannot be had."""
        try:
            return _Worker(self._context, self._server_pid)
        except (OSError, EOFError):
            pass
        # A server just killed is seen to have ended only once it is gone: try again for a while.
        deadline = time.monotonic() + 5.0
        while True:
            try:
                self._context = _server_context()  # starts the server again when it has ended
                self._server_pid = _server_pid()
                return _Worker(self._context, self._server_pid)
            except (OSError, EOFError) as exc:
                if time.monotonic() > deadline:
                    raise WorkerLost(f"cannot start a worker process: the server that starts them ended and cannot "
                                     f"be started again ({type(exc).__name__}: {exc})") from None
            time.sleep(0.05)

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, kind: Any, value: Any, tb: Any) -> None:
        if kind is None:
            self.close()
        else:
            self.stop()

    @property
    def pids(self) -> list[int]:
        return [w.process.pid for w in self._workers if w.process.pid is not None]

    def stop(self) -> None:
        """Kill the workers now (their calls are dropped). Their exit is confirmed by the server,
        which may be busy starting up: wait for that only briefly, and not at all at exit."""
        workers, self._workers = self._workers, []
        for w in workers:
            w.kill()
        deadline = time.monotonic() + 0.2
        for w in workers:
            w.reap(max(0.0, deadline - time.monotonic()))
            if w.process.exitcode is None:
                multiprocessing.process._children.discard(w.process)  # type: ignore[attr-defined]

    def close(self) -> None:
        """Let idle workers end, then make sure every one has."""
        for w in self._workers:
            with contextlib.suppress(Exception):
                w.conn.send(None)
        for w in self._workers:
            w.reap(2.0)
        self.stop()

    def run(
        self,
        calls: Iterable[tuple[Callable[..., Any], tuple[Any, ...], str]],
        ordered: bool = False,
        window: int | None = None,
    ) -> Iterator[tuple[int, Any]]:
        """Run ``fn(*args)`` for each ``(fn, args, label)`` of ``calls`` and yield ``(i, result)``
        (``i`` the call's place in ``calls``), in the order of ``calls`` when ``ordered``, else as
        they finish. At most ``window`` calls (default: four per worker) are taken from ``calls``
        ahead of what was yielded. An exception raised by a call is raised here. ``label`` says
        what a call does, for the message when it kills every worker that tries it."""
        window = max(len(self._workers), window or 4 * len(self._workers))
        source = enumerate(calls)
        retry = self._retry = deque()
        finished: dict[int, Any] = {}
        next_out = 0
        taken = 0
        exhausted = False
        while True:
            # hand out calls to idle workers
            for w in self._workers:
                if w.task is not None:
                    continue
                if retry:
                    task = retry.popleft()
                elif not exhausted and taken - next_out < window:
                    item = next(source, None)
                    if item is None:
                        exhausted = True
                        continue
                    i, (fn, args, label) = item
                    task = _Task(i, fn, args, label)
                    taken += 1
                else:
                    continue
                self._send(w, task)
            busy = [w for w in self._workers if w.task is not None]
            if not busy and not retry:
                if finished:  # only in ordered mode: what is left is in order
                    for i in sorted(finished):
                        yield i, finished.pop(i)
                if exhausted:
                    return
                continue
            ready = multiprocessing.connection.wait(
                [w.conn for w in busy] + [w.process.sentinel for w in busy], timeout=0.5
            )
            for w in busy:
                if w.conn not in ready and w.process.sentinel not in ready:
                    continue
                running = w.task
                assert running is not None
                ok: bool | None = None
                value: Any = None
                try:
                    if w.conn.poll():
                        ok, value = pickle.loads(w.conn.recv_bytes())
                except (EOFError, OSError):
                    ok = None
                if ok is None:  # the worker died
                    self._replace(w)
                    continue
                w.task = None
                if not ok:
                    raise value if isinstance(value, BaseException) else RuntimeError(str(value))
                if not ordered:
                    next_out += 1
                    yield running.index, value
                    continue
                finished[running.index] = value
                while next_out in finished:
                    yield next_out, finished.pop(next_out)
                    next_out += 1

    def _send(self, w: _Worker, task: _Task) -> None:
        task.attempts += 1
        w.task = task
        try:
            w.conn.send((task.fn, task.args))
        except (BrokenPipeError, ConnectionResetError, EOFError):
            self._replace(w)

    def _replace(self, w: _Worker) -> None:
        """``w`` died: start another worker in its place and give its call to the next idle one."""
        task = w.task
        w.kill()
        w.reap(1.0)
        code = w.process.exitcode
        server = self._server_pid
        with contextlib.suppress(OSError, EOFError):  # _start says what fails
            self._context = _server_context()  # starts the server again when it has ended
            self._server_pid = _server_pid()
        self._workers[self._workers.index(w)] = self._start()
        if task is None:
            return
        if self._server_pid != server:  # the worker ended with the server: not the call's doing
            task.attempts -= 1
        if task.attempts >= self.attempts:
            raise WorkerLost(
                f"a worker process {_how_it_ended(code)} while {task.label}"
                f" ({task.attempts} attempt{'s' if task.attempts > 1 else ''}, each on a new process)"
            )
        self._retry.append(task)
