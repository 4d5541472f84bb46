"""Sub-commands of the ``dovel`` command: each module gives ``add_parser(subparsers)``."""

from __future__ import annotations

import argparse

import dovel


def add_preset_option(parser: argparse.ArgumentParser) -> None:
    """``--sensitive``: the parameter preset for distant homologues (see ``dovelkit.parameters``)."""
    parser.add_argument(
        "--sensitive",
        action="store_true",
        help="use the sensitive parameter preset: finds more distant homologues, about 1.2x the time",
    )


def parameters_from(args: argparse.Namespace) -> dovel.Parameters:
    """The alignment parameters the options ask for."""
    from dovelkit.presets import parameters

    return parameters("sensitive" if getattr(args, "sensitive", False) else "default")


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
    """``--max-size``: the most structure text one input file may give (see ``dovelkit.reading``)."""
    from dovelkit.reading import DEFAULT_MAX_SIZE

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
