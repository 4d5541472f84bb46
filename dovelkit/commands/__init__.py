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


# The level the commands align at when neither --fold nor --family is given (and nothing that only
# the family method has, --sensitive or a search's --mode, is asked for): fold mode finds every
# relative TM-align finds, at the TM-score TM-align reaches, in less time (docs/fold.md).
DEFAULT_MODE = "fold"


def add_mode_option(parser: argparse.ArgumentParser) -> None:
    """``--fold`` / ``--family``: the alignment level."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--fold", dest="level", action="store_const", const="fold", default=None,
                       help="fold level: the alignment that maximises TM-score (the default)")
    group.add_argument("--family", dest="level", action="store_const", const="family",
                       help="family level: the module's own method (implied by --sensitive)")


def mode_from(args: argparse.Namespace, family_option: str | None = None) -> str:
    """The level the options ask for: --fold or --family when given, otherwise "family" when an
    option of the family method is (``family_option``, the one the command was given, or
    --sensitive), otherwise DEFAULT_MODE. UserError for --fold with such an option."""
    from dovelkit.errors import UserError

    level = getattr(args, "level", None)
    if family_option is None and getattr(args, "sensitive", False):
        family_option = "--sensitive"
    if level == "fold" and family_option is not None:
        raise UserError(f"{family_option} is an option of the family level; it does not go with --fold")
    if level is not None:
        return str(level)
    return "family" if family_option is not None else DEFAULT_MODE


def parameters_from(args: argparse.Namespace) -> dovel.Parameters:
    """The alignment parameters the options ask for."""
    from dovelkit.presets import parameters

    return parameters("sensitive" if getattr(args, "sensitive", False) else "default")
