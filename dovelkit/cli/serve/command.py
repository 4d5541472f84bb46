"""The arguments of ``dovel serve`` and what it runs (the command line registers them)."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

DESCRIPTION = (
    "Serve a search page and a JSON API over one or more databases (see 'dovel db create'), for a "
    "browser: upload or paste a structure, choose its chain, the level and the database, and read the "
    "ranked hits; each hit opens its pairwise report with the structure viewer. Searches wait in line "
    "and run one at a time on the worker processes. The server listens on 127.0.0.1 only, unless "
    "--host names another address: it has no authentication. API: POST /api/search (multipart field "
    "'structure', optional 'chain', 'level', 'top', 'database') answers what 'dovel search --json' "
    "prints; GET /api/databases, GET /api/health. Ctrl-C or SIGTERM stops it."
)


def add_arguments(parser: argparse.ArgumentParser, positive_int: Callable[[str], Any],
                  size: Callable[[str], Any]) -> None:
    parser.add_argument("databases", metavar="DB", nargs="+", help="database files to search")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1; another one is reachable without authentication)")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on (default 8765)")
    parser.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help="processes each search runs on (default: every core)")
    parser.add_argument("--queue", type=positive_int, default=16, metavar="N",
                        help="searches that may wait in line; more are refused with 503 (default 16)")
    parser.add_argument("--max-size", type=size, default=None, metavar="SIZE",
                        help="refuse an upload holding more text than SIZE, after decompression (default as "
                        "for files, 512M; K, M, G suffixes)")


def run(args: argparse.Namespace) -> int:
    from dovelkit.cli.serve import serve

    if not 0 <= args.port <= 65535:
        raise ValueError(f"--port must be from 0 to 65535, not {args.port}")
    serve(args.databases, host=args.host, port=args.port, workers=args.workers, max_size=args.max_size,
          max_queued=args.queue)
    return 0
