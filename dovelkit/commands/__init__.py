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
