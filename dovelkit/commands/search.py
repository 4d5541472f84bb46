"""``dovel search``: one query against a database or a set of structure files."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from dovelkit.atomic import check_writable, write_atomically
from dovelkit.errors import UserError
from dovelkit.commands import (add_max_size_option, add_mode_option, add_preset_option, check_structure_file,
                               finite_float, max_size_from, mode_from, parameters_from, positive_float, positive_int)
from dovelkit.formatting import hit_table, json_number

_COLUMNS = ("rank", "id", "score", "rmsd", "n_aligned", "seq_identity", "z_score", "position", "source", "chain",
            "tm_query", "tm_target")


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "search",
        help="search a query against a database or structure files",
        description="Align a query chain with every target and list the best hits, best first. "
        "Targets are one database (see 'dovel db create') or structure files and directories.",
    )
    parser.add_argument("query", metavar="QUERY", help="query structure file (its first protein chain, or --chain)")
    parser.add_argument("targets", metavar="DB_OR_FILES", nargs="+",
                        help="one database file, or structure files and directories")
    parser.add_argument("--chain", default=None, help="chain of the query file")
    parser.add_argument("--top", type=positive_int, default=100, metavar="N",
                        help="number of hits listed (default 100)")
    parser.add_argument("--cutoff", type=finite_float, default=0.0, metavar="X",
                        help="lowest score listed (default 0.0; at the fold level the score is the TM-score "
                        "by the query)")
    parser.add_argument("--all", action="store_true",
                        help="also list targets nothing was aligned with (score 0), which are left out by default")
    parser.add_argument("--mode", choices=("scan", "full", "quick"), default=None,
                        help="family level only (implies --family): scan: targets in any frame (the default); "
                        "full: refinement on the frames as given; quick: one alignment step on the frames as given")
    parser.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help="processes on this machine (default: every core)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run on a Dask cluster: address of its scheduler (e.g. tcp://10.0.0.5:8786)")
    parser.add_argument("--connect-timeout", type=positive_float, default=20.0, metavar="SECONDS",
                        help="how long to try reaching the scheduler (default 20)")
    parser.add_argument("--details", action="store_true",
                        help="add each hit's transform and aligned pairs (TSV and JSON; the table shows the transform)")
    parser.add_argument("-o", "--output", default=None, metavar="FILE", help="write the hits to FILE as TSV (or JSON with --json)")
    parser.add_argument("--json", action="store_true", help="JSON instead of the table or TSV")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    add_preset_option(parser)
    add_mode_option(parser)
    add_max_size_option(parser)
    parser.set_defaults(run=run)


def _is_database(path: str) -> bool:
    try:
        with open(path, "rb") as fh:
            return fh.read(4) == b"PAR1"
    except OSError:
        return False


def _targets(paths: list[str], max_size: int | None = None) -> tuple[Any, list[tuple[str, str]]]:
    """A database, or the chains of the files with (source path, chain id) of each."""
    from dovelkit.database import Database
    from dovelkit.inputs import collect_files, display_path
    from dovelkit.reading import file_stem, load_chains

    dbs = [p for p in paths if os.path.isfile(p) and _is_database(p)]
    if dbs:
        if len(paths) > 1:
            raise UserError("give one database, or structure files and directories, not both")
        return Database.open(dbs[0]), []
    domains = []
    origins: list[tuple[str, str]] = []
    skipped: list[tuple[str, str]] = []
    files = collect_files(paths, skipped)
    for path, reason in skipped:
        print(f"dovel search: skipped {path}: {reason}", file=sys.stderr)
    for path in files:
        try:
            chains = load_chains(path, max_size=max_size)
            shown = display_path(path)
            stem = display_path(file_stem(path)) + "_"
            origins.extend((shown, d.id[len(stem):] if d.id.startswith(stem) else d.chain) for d in chains)
            domains.extend(chains)
        except (OSError, ValueError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
            print(f"dovel search: skipped {path}: {reason}", file=sys.stderr)
    if not domains:
        raise UserError("no protein chain found in the targets")
    return domains, origins


def run(args: argparse.Namespace) -> int:
    import dovelkit
    from dovelkit.progress import stderr_is_terminal

    check_structure_file(args.query)
    check_writable(args.output)
    check_writable(args.html)
    level = mode_from(args, None if args.mode is None else "--mode")
    how = args.mode or "scan"
    query = dovelkit.load(args.query, chain=args.chain, max_size=max_size_from(args))
    targets, origins = _targets(args.targets, max_size_from(args))
    client = None
    if args.scheduler:
        from distributed import Client

        try:
            client = Client(args.scheduler, timeout=args.connect_timeout)
        except OSError as exc:
            raise UserError(f"cannot reach the scheduler at {args.scheduler}: {exc}") from None
    try:
        params = parameters_from(args)
        hits = dovelkit.search(
            query,
            targets,
            params=params,
            score_cutoff=args.cutoff,
            max_hits=args.top,
            quick=how == "quick",
            scan_mode=how == "scan",
            mode=level,
            workers=args.workers,
            client=client,
            progress=not args.quiet and stderr_is_terminal(),
            details=args.details or args.html is not None,  # the report draws the hits' own alignments
        )
    finally:
        if client is not None:
            client.close()
    if not args.all:
        hits = [h for h in hits if h.score > 0]  # score 0: nothing aligned; ranked last, so ranks stay
    for h in hits:
        if origins:
            h.source, h.chain = origins[h.position]
    if args.html is not None:
        dovelkit.search_report(query, hits).write(args.html)
        if not args.details:
            for h in hits:
                h.alignment = None
    if args.json:
        text = json.dumps({"query": _query_dict(query, args.query), "hits": [h.to_dict() for h in hits]}, indent=1)
        text += "\n"
    elif args.output:
        text = tsv(hits, args.details)
    else:
        text = table(hits, args.details)
    if args.output:
        write_atomically(args.output, text.encode("utf-8"))
    else:
        sys.stdout.write(text)
    return 0


def _query_dict(query: Any, path: str) -> dict[str, Any]:
    return {"id": query.id, "source": path, "chain": query.chain, "length": len(query)}


def _transform_values(hit: Any) -> list[float]:
    m = hit.alignment.transform.transformation_matrix()
    return [float(v) for v in m[:3, :].reshape(-1)]


def tsv(hits: list[Any], details: bool) -> str:
    """The hits as tab-separated values with a header line (floats with all their digits)."""
    header = list(_COLUMNS) + (["transform", "pairs"] if details else [])
    lines = ["\t".join(header)]
    for h in hits:
        row = [str(h.rank), h.id, _full(h.score), _full(h.rmsd), str(h.n_aligned), _full(h.seq_identity),
               _full(h.z_score), str(h.position), h.source, h.chain, _full(h.tm_query), _full(h.tm_target)]
        if details:
            row.append(" ".join(repr(v) for v in _transform_values(h)))
            row.append(",".join(f"{i}:{j}" for i, j in h.alignment.pairs.tolist()))
        lines.append("\t".join(_clean(c) for c in row))
    return "\n".join(lines) + "\n"


def _clean(text: str) -> str:
    return text.replace("\t", " ").replace("\n", " ")


def _full(x: float | None) -> str:
    """A float with all its digits; empty for None and for a non-finite value (nothing aligned)."""
    v = json_number(x)
    return "" if v is None else repr(v)


def table(hits: list[Any], details: bool) -> str:
    """The hits as an aligned text table, best first."""
    after = None
    if details:
        after = []
        for h in hits:
            v = _transform_values(h)
            after.append("      transform R|t: " + "  ".join(
                " ".join(f"{x:8.4f}" for x in v[4 * i: 4 * i + 4]) for i in range(3)))
    return hit_table(hits, after)
