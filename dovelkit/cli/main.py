"""The ``dovel`` command: align, msa, search and db, over the files people have."""

from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
import threading
from collections.abc import Sequence
from typing import NoReturn

from dovelkit.errors import UserError

# Sub-command name -> module under dovelkit.cli.options that provides add_parser() and run().
COMMANDS = ("align", "msa", "search", "cluster", "db", "serve")

# What each sub-command imports in any case, with the extension modules (and numpy) behind it;
# a command module that needs less for some runs says so itself (its preload(args)).
_READING = ("dovel", "dovelkit._core", "dovelkit.io.reading")
_PRELOAD = {
    "msa": _READING + ("dovelkit.alignment.multiple", "dovelkit.io.writing"),
    "search": _READING + ("dovelkit.db.engine", "dovelkit.db.store"),
    "db": _READING + ("dovelkit.db.store", "dovelkit.io.inputs"),
    "serve": _READING + ("dovelkit.db.engine", "dovelkit.db.store", "dovelkit.cli.serve.app", "uvicorn"),
    "cluster": ("dovel", "dovelkit._core", "dovelkit.db.clustering", "dovelkit.db.store"),
}

DESCRIPTION = """\
Protein structure alignment on PDB and mmCIF files (plain or gzip-compressed).

examples:
  dovel align 1hrc.pdb 1ycc.cif.gz -o 1ycc_on_1hrc.cif
  dovel msa 1hrc.pdb 1ycc.pdb 1co6.pdb -o aligned/ --fasta family.fasta
  dovel db create cath.parquet structures/
  dovel search query.pdb cath.parquet --top 20
  dovel serve cath.parquet          (a search page at http://127.0.0.1:8765/)
  dovel cluster cath.parquet -o clusters.tsv --representatives reps.parquet
"""


class _Parser(argparse.ArgumentParser):
    """Mistakes on the command line get the one line and status 1 of every other mistake, not
    argparse's usage text and status 2 (``--help`` still shows the usage)."""

    def error(self, message: str) -> NoReturn:
        self.exit(1, f"{self.prog}: {' '.join(message.split())}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="dovel", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"dovel {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for name in COMMANDS:
        module = importlib.import_module(f"dovelkit.cli.cmd_{name}")
        module.add_parser(sub)
    return parser


def _version() -> str:
    import dovel

    return str(dovel.__version__)


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where Ctrl-C would be so that it ends the command the same way: worker
    processes stopped, no partial output left."""


def _terminate(signum: int, frame: object) -> None:
    _signalled.append(signum)
    raise Terminated()


# The signals the command has received. A Ctrl-C that lands inside an extension module's import
# can come out as an ImportError (numpy turns any failure of its start-up into one): with a
# signal on record, such an error is the interruption it stands for.
_signalled: list[int] = []


def _interrupt(signum: int, frame: object) -> None:
    _signalled.append(signum)
    raise KeyboardInterrupt()


def _output_closed() -> bool:
    """Whether standard output is a pipe whose reader has gone (``dovel search ... | head -1``)."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        return True
    except (OSError, ValueError):
        pass
    try:
        import select

        poller = select.poll()
        poller.register(sys.stdout.fileno(), select.POLLOUT)
        return any(ev & select.POLLERR for _, ev in poller.poll(0))
    except (OSError, ValueError, AttributeError):
        return False


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's last flush of what is still
    buffered for a closed pipe prints nothing."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; return the exit status: 0 success, 1 error, 3 a multiple alignment without a
    core, 130 interrupted (Ctrl-C), 143 terminated (SIGTERM), 141 when the reader of the output went
    away (``| head``: dovel then stops silently, as other tools do)."""
    try:
        return _main(argv)
    except KeyboardInterrupt as exc:  # a second one, while the first was being reported
        return 143 if isinstance(exc, Terminated) else 130
    finally:
        from dovelkit._startup import is_the_command

        if is_the_command() and threading.current_thread() is threading.main_thread():
            # The work is done (or stopped) and reported: a Ctrl-C or SIGTERM while the
            # interpreter shuts down has nothing left to stop, and must not end it by the signal.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)


def _main(argv: Sequence[str] | None) -> int:
    command = "dovel"
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        command = f"dovel {args.command}"
        # The extension modules the command runs on are imported while Ctrl-C still just ends the
        # process (dovelkit._startup): an interrupt inside an extension's initialisation can leave
        # an ImportError, or worse, instead of a KeyboardInterrupt.
        module = sys.modules[f"dovelkit.cli.cmd_{args.command}"]
        preload = getattr(module, "preload", None)
        for name in preload(args) if preload is not None else _PRELOAD.get(args.command, ()):
            importlib.import_module(name)
        if threading.current_thread() is threading.main_thread():
            from dovelkit._startup import interrupted_while_starting

            if signal.getsignal(signal.SIGINT) in (interrupted_while_starting, signal.default_int_handler):
                signal.signal(signal.SIGINT, _interrupt)
            signal.signal(signal.SIGTERM, _terminate)
        status = int(args.run(args) or 0)
        if _output_closed():
            _silence_stdout()
            return 141
        return status
    except Terminated:
        print("dovel: terminated", file=sys.stderr)
        return 143
    except KeyboardInterrupt:
        print("dovel: interrupted", file=sys.stderr)
        return 130
    except ImportError as exc:
        if not _signalled:
            print(f"{command}: internal error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
            return 1
        if signal.SIGTERM in _signalled:
            print("dovel: terminated", file=sys.stderr)
            return 143
        print("dovel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError as exc:
        if _output_closed():
            _silence_stdout()
            return 141
        print(f"{command}: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (UserError, OSError, ValueError, TypeError) as exc:
        print(f"{command}: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # a fault of ours (the module's internal error derives from BaseException)
        print(f"{command}: internal error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1


def _one_line(exc: BaseException) -> str:
    from dovelkit.io.paths import printable

    text = str(exc) if not isinstance(exc, OSError) or not exc.filename else f"{exc.filename}: {exc.strerror}"
    return printable(" ".join(text.split())) or type(exc).__name__
