"""Sub-commands of the ``dovel`` command: each module gives ``add_parser(subparsers)`` and the
``run(args)`` it sets as the parser's default; the shared option types and checks live here."""

from __future__ import annotations

import argparse
import math
import os
from typing import TYPE_CHECKING

from dovelkit.errors import UserError

if TYPE_CHECKING:
    import dovel

    from dovelkit.alignment.options import Options


def add_preset_option(parser: argparse.ArgumentParser) -> None:
    """``--sensitive``: the parameter preset for distant homologues (see ``dovelkit.parameters``)."""
    parser.add_argument(
        "--sensitive",
        action="store_true",
        help="use the sensitive parameter preset: finds more distant homologues, about 1.2x the time",
    )


# The level the commands align at when neither --fold nor --family is given (and nothing that only
# the family level has, --sensitive or --method, is asked for): the fold level finds every relative
# TM-align finds, at the TM-score TM-align reaches, in less time (docs/fold.md).
DEFAULT_LEVEL = "fold"

METHOD_HELP = {
    "scan": "scan: chains in any frames, the superposition search (the default)",
    "direct": "direct: no superposition search, refinement from the frames as given",
    "quick": "quick: one alignment step from the frames as given",
}


def add_level_options(parser: argparse.ArgumentParser, methods: tuple[str, ...] = ()) -> None:
    """``--fold`` / ``--family``: the alignment level; with ``methods``, ``--method``: the family
    level's method."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--fold", dest="level", action="store_const", const="fold", default=None,
                       help="fold level: the alignment that maximises TM-score (the default)")
    group.add_argument("--family", dest="level", action="store_const", const="family",
                       help="family level: the module's own method (implied by --sensitive and --method)")
    if methods:
        parser.add_argument("--method", choices=methods, default=None,
                            help="family level only (implies --family): " + "; ".join(METHOD_HELP[m] for m in methods))


class OldMethodOption(argparse.Action):
    """A deprecated option that names a family-level method (``--direct``, ``--mode full``): it
    says so on stderr, once, and stands for ``--method``."""

    def __init__(self, option_strings: list[str], dest: str, methods: dict[str, str] | str, **kwargs: object) -> None:
        self.methods = methods
        nargs = 0 if isinstance(methods, str) else None
        super().__init__(option_strings, dest, nargs=nargs, default=None, help=argparse.SUPPRESS,
                         **kwargs)  # type: ignore[arg-type]

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        import sys

        method = self.methods if isinstance(self.methods, str) else self.methods[str(values)]
        shown = option_string if isinstance(self.methods, str) else f"{option_string} {values}"
        print(f"{parser.prog}: {shown} is deprecated; use --method {method}", file=sys.stderr)
        setattr(namespace, "old_method", (shown, method))


def options_from(args: argparse.Namespace) -> Options:
    """How to align, as the options ask: --fold or --family when given, otherwise the family level
    when an option of it is (--method, --sensitive or a deprecated method option), otherwise
    DEFAULT_LEVEL. UserError for --fold with such an option, or two methods that disagree."""
    from dovelkit.alignment.options import Options

    method = getattr(args, "method", None)
    family_option = None if method is None else f"--method {method}"
    old = getattr(args, "old_method", None)
    if old is not None:
        if method is not None and method != old[1]:
            raise UserError(f"{old[0]} and --method {method} disagree")
        method, family_option = old[1], old[0]
    if getattr(args, "sensitive", False):
        family_option = family_option or "--sensitive"
    level = getattr(args, "level", None)
    if level == "fold" and family_option is not None:
        raise UserError(f"{family_option} is an option of the family level; it does not go with --fold")
    if level is None:
        level = "family" if family_option is not None else DEFAULT_LEVEL
    if level == "fold":
        return Options("fold")
    return Options("family", method, parameters_from(args))


def parameters_from(args: argparse.Namespace) -> dovel.Parameters:
    """The alignment parameters the options ask for."""
    from dovelkit.alignment.options import parameters

    return parameters("sensitive" if getattr(args, "sensitive", False) else "default")


# -- option types: argparse turns their ArgumentTypeError into "argument --x: <message>" ---------

def _number(text: str, kind: type[int] | type[float]) -> float:
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected {'a whole number' if kind is int else 'a number'}, not {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, not {text!r}")
    return value


def positive_int(text: str) -> int:
    """A whole number of at least 1 (counts: hits, workers, slice sizes)."""
    value = int(_number(text, int))
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {text!r}")
    return value


def positive_float(text: str) -> float:
    """A finite number above 0 (durations)."""
    value = _number(text, float)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text!r}")
    return value


def finite_float(text: str) -> float:
    """Any finite number (score thresholds)."""
    return _number(text, float)


# -- inputs -------------------------------------------------------------------------------------

def check_structure_file(path: str) -> None:
    """Raise UserError unless ``path`` names an existing file (a directory is not a structure)."""
    if os.path.isdir(path):
        raise UserError(f"{path}: is a directory, not a structure file")
    if not os.path.exists(path):
        raise UserError(f"{path}: no such file")
    if not os.path.isfile(path):
        from dovelkit.io.paths import not_regular

        raise UserError(f"{path}: {not_regular(os.stat(path).st_mode)}")


# -- outputs: every one is checked before anything is created --------------------------------------

def probe_file(path: str | None) -> None:
    """Raise UserError unless a file can be created at ``path`` (None: nothing to write): its
    directory exists and takes a new file (a file is made there and removed again)."""
    if path is None:
        return
    import tempfile

    from dovelkit.io.atomic import check_writable

    try:
        check_writable(path)
    except ValueError as exc:
        raise UserError(str(exc)) from None
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, probe = tempfile.mkstemp(prefix=".dovel-probe.", dir=directory)
    except OSError as exc:
        raise UserError(f"{path}: cannot be written: {exc.strerror or exc}") from None
    os.close(fd)
    os.unlink(probe)


def missing_directories(directory: str) -> list[str]:
    """The directories ``os.makedirs(directory)`` would create, outermost first, after checking
    that it can: raises UserError when a file stands in the way or the existing parent cannot
    take new entries. Nothing is created."""
    missing: list[str] = []
    path = os.path.abspath(directory)
    while not os.path.exists(path):
        missing.append(path)
        path = os.path.dirname(path)
    if not os.path.isdir(path):
        shown = directory if not missing else path
        raise UserError(f"{directory}: {shown} exists and is not a directory")
    if not os.access(path, os.W_OK | os.X_OK):
        raise UserError(f"{directory}: cannot create files in {path}: permission denied")
    return missing[::-1]


def remove_empty(directories: list[str]) -> None:
    """Remove the directories made for a run that failed, innermost first, where still empty."""
    for path in reversed(directories):
        try:
            os.rmdir(path)
        except OSError:
            return


# -- input size -----------------------------------------------------------------------------------

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def _size(text: str) -> int:
    """A size in bytes: digits with an optional K, M, G or T (powers of 1024; a trailing B or iB is allowed)."""
    value = text.strip().upper().removesuffix("IB").removesuffix("B")
    unit = value[-1:] if value[-1:] in _SIZE_UNITS else ""
    number = value[: len(value) - len(unit)]
    if not number.isdigit() or int(number) < 1:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 600M, 2G)")
    return int(number) * _SIZE_UNITS[unit]


def add_max_size_option(parser: argparse.ArgumentParser) -> None:
    """``--max-size``: the most structure text one input file may give (see ``dovelkit.io.reading``)."""
    from dovelkit.io.paths import DEFAULT_MAX_SIZE  # not from reading: the parser must not import gemmi

    parser.add_argument(
        "--max-size",
        type=_size,
        default=None,
        metavar="SIZE",
        help=f"refuse a structure file holding more text than SIZE, after decompression "
        f"(default {DEFAULT_MAX_SIZE >> 20}M; K, M, G suffixes)",
    )


def max_size_from(args: argparse.Namespace) -> int | None:
    """The ``--max-size`` given, or None for the default."""
    return getattr(args, "max_size", None)
