"""The ``dovel`` command: align, msa, search and db, over the files people have."""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Sequence
from typing import NoReturn

from dovelkit.errors import UserError

# Sub-command name -> module under dovelkit.commands that provides add_parser() and run().
COMMANDS = ("align", "msa", "search", "db")

DESCRIPTION = """\
Protein structure alignment on PDB and mmCIF files (plain or gzip-compressed).

examples:
  dovel align 1hrc.pdb 1ycc.cif.gz -o 1ycc_on_1hrc.cif
  dovel msa 1hrc.pdb 1ycc.pdb 1co6.pdb -o aligned/ --fasta family.fasta
  dovel db create cath.parquet structures/
  dovel search query.pdb cath.parquet --top 20
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
        module = importlib.import_module(f"dovelkit.commands.{name}")
        module.add_parser(sub)
    return parser


def _version() -> str:
    import dovel

    return str(dovel.__version__)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; return the exit status (0 success, 1 user error, 3 a multiple alignment
    without a core, 130 interrupted)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except KeyboardInterrupt:
        print("dovel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 1
    except (UserError, OSError, ValueError, TypeError) as exc:
        print(f"dovel {args.command}: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # a fault of ours (the module's internal error derives from BaseException)
        print(f"dovel {args.command}: internal error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1


def _one_line(exc: BaseException) -> str:
    text = str(exc) if not isinstance(exc, OSError) or not exc.filename else f"{exc.filename}: {exc.strerror}"
    return " ".join(text.split()) or type(exc).__name__
