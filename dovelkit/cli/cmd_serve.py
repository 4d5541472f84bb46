"""``dovel serve``: the search page and JSON API over databases (see dovelkit.cli.serve)."""

from __future__ import annotations

import argparse

from dovelkit.cli.options import _size, positive_int
from dovelkit.cli.serve.command import DESCRIPTION, add_arguments, run


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser("serve", help="a search page and JSON API over databases, for a browser",
                                   description=DESCRIPTION)
    add_arguments(parser, positive_int, _size)
    parser.set_defaults(run=run)
