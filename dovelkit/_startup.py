"""What a process must settle before the package's (slow) imports: imported first by it.

- Ctrl-C while the ``dovel`` command is still importing: one line, no traceback. Only when this
  process is the command (``dovel ...`` or ``python -m dovelkit ...``) is a handler set for
  SIGINT, kept until the command's main function takes over with the usual KeyboardInterrupt;
  nothing has started by then that needs cleaning up, so the process just ends with status 130.
- The server process that forks the kit's workers (see dovelkit.runtime.pools) is started with
  ``DOVELKIT_SERVER_PARENT`` naming the process that started it: it then ends when that process
  ends (on Linux), from the start of its imports on.
"""

from __future__ import annotations

import os
import signal
import sys
import threading


def is_the_command() -> bool:
    """Whether this process is the ``dovel`` command."""
    argv = getattr(sys, "orig_argv", None) or sys.argv
    if argv and os.path.basename(argv[0]) == "dovel":
        return True
    for i, arg in enumerate(argv[:-1]):
        if arg == "-m":
            return argv[i + 1] == "dovelkit" or argv[i + 1].startswith("dovelkit.")
    return bool(sys.argv) and os.path.basename(sys.argv[0]) == "dovel"


SERVER_GUARD_ENV = "DOVELKIT_SERVER_PARENT"
_PR_SET_PDEATHSIG = 1


def die_with_parent(expected_parent: int | None = None) -> None:
    """Ask the kernel to kill this process when its parent ends (Linux; elsewhere nothing), and
    end now if the parent is already gone (it is not ``expected_parent`` any more)."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if expected_parent is not None and os.getppid() != expected_parent:
        os._exit(0)


def interrupted_while_starting(signum: int, frame: object) -> None:
    try:
        os.write(2, b"dovel: interrupted\n")
    finally:
        os._exit(130)


if (
    threading.current_thread() is threading.main_thread()
    and signal.getsignal(signal.SIGINT) is signal.default_int_handler
    and is_the_command()
):
    signal.signal(signal.SIGINT, interrupted_while_starting)

_server_parent = os.environ.pop(SERVER_GUARD_ENV, "")
if _server_parent.isdigit():
    die_with_parent(int(_server_parent))
