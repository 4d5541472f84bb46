"""``dovel search``: one query against a database or a set of structure files."""

from __future__ import annotations

import argparse
import errno
import json
import os
import sys
from typing import Any

from dovelkit.io.atomic import write_atomically
from dovelkit.errors import UserError
from dovelkit.cli.options import (OldMethodOption, add_level_options, add_max_size_option, add_preset_option,
                                  check_structure_file, finite_float, max_size_from, options_from, positive_float,
                                  positive_int, probe_file)
from dovelkit.io.paths import printable
from dovelkit.report.formatting import hit_table, json_number
from dovelkit.db.listing import FOLD_LIST_E, listed

_COLUMNS = ("rank", "id", "score", "rmsd", "n_aligned", "seq_identity", "z_score", "position", "source", "chain",
            "tm_query", "tm_target", "prefilter_score", "e_value")


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "search",
        help="search queries against a database or structure files",
        description="Search a query chain against the targets and list the best hits, best first. "
        "Targets are one database (see 'dovel db create') or structure files and directories. A database "
        "is prefiltered: each entry's search key is compared with the query's and the best candidates "
        "(at the fold level at least 50 and 0.5% of the database, at the family level 32 and 0.3%; "
        "--candidates) are aligned exactly; --exhaustive aligns "
        "every entry. QUERIES may also be a folder or a database: then every chain in it is searched "
        "against DB and all hits go to one table (query first), written as each query is done; the same "
        "database as both is an all-against-all. Z-scores are taken among all entries of the database "
        "(entries not aligned count as what chance gives: score 0 at the family level, the mean TM-score of "
        "unrelated chains of their length at the fold level), except with --exhaustive at the family level, "
        "which gives the module's own hits and Z-scores (taken among the hits listed); "
        "the E-value is the number of chance hits at least as good expected in a database of this size. "
        f"By default only hits that aligned something are listed: at the family level a score above 0, at "
        f"the fold level (every target aligns) an E-value below {FOLD_LIST_E:g} (--evalue): at most one chance "
        "hit in two queries expected, whatever the size of the database (on the bundled real chains: 3 chance "
        "hits for 71 queries, with 224 of the 314 pairs of relatives; below 1: 30, with 246); --all lists "
        "every hit.",
    )
    parser.add_argument("query", metavar="QUERIES",
                        help="query structure file (its first protein chain, or --chain), or a folder of "
                        "structure files or a database: every chain of it")
    parser.add_argument("targets", metavar="DB_OR_FILES", nargs="+",
                        help="one database file, or structure files and directories")
    parser.add_argument("--chain", default=None, help="chain of the query file")
    parser.add_argument("--top", type=positive_int, default=100, metavar="N",
                        help="number of hits listed (default 100)")
    parser.add_argument("--cutoff", type=finite_float, default=0.0, metavar="X",
                        help="lowest score listed (default 0.0; at the fold level the score is the TM-score "
                        "by the query)")
    parser.add_argument("--all", action="store_true",
                        help="list every hit: also targets nothing was aligned with (family level, score 0) and "
                        "fold-level hits of E-value at or above --evalue, which are left out by default")
    parser.add_argument("--evalue", type=positive_float, default=None, metavar="E",
                        help=f"fold level: list the hits of E-value below E (default {FOLD_LIST_E:g})")
    parser.add_argument("--mode", action=OldMethodOption, choices=("scan", "full", "quick"),  # deprecated: --method
                        methods={"scan": "scan", "full": "direct", "quick": "quick"})
    parser.add_argument("--exhaustive", action="store_true",
                        help="align every entry of a database, without the prefilter")
    parser.add_argument("--candidates", type=positive_int, default=None, metavar="N",
                        help="entries of a database aligned per query after the prefilter (default: the larger "
                        "of 50 and 0.5%% of the database at the fold level, of 32 and 0.3%% at the family "
                        "level)")
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
    add_level_options(parser, ("scan", "direct", "quick"))
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
    from dovelkit.db.store import Database
    from dovelkit.io.inputs import collect_files
    from dovelkit.io.paths import display_path
    from dovelkit.io.reading import file_stem, load_chains

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
        print(printable(f"dovel search: skipped {path}: {reason}"), file=sys.stderr)
    for path in files:
        try:
            chains = load_chains(path, max_size=max_size)
            shown = display_path(path)
            stem = printable(display_path(file_stem(path))) + "_"
            origins.extend((shown, d.id[len(stem):] if d.id.startswith(stem) else d.chain) for d in chains)
            domains.extend(chains)
        except (OSError, ValueError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
            print(printable(f"dovel search: skipped {path}: {reason}"), file=sys.stderr)
    if not domains:
        raise UserError("no protein chain found in the targets")
    return domains, origins


def run(args: argparse.Namespace) -> int:
    from dovelkit.db.engine import SearchHits, search
    from dovelkit.io.reading import load
    from dovelkit.runtime.progress import stderr_is_terminal

    if os.path.isdir(args.query) or (os.path.isfile(args.query) and _is_database(args.query)):
        return run_many(args)
    check_structure_file(args.query)
    probe_file(args.output)  # a file can be made there, before any work
    probe_file(args.html)
    how = options_from(args)
    level = str(how.level)
    max_e = _max_e(args, level)
    query = load(args.query, chain=args.chain, max_size=max_size_from(args))
    targets, origins = _targets(args.targets, max_size_from(args))
    _tell_if_keyless(targets, args)
    client = _client(args)
    try:
        hits = search(
            query,
            targets,
            score_cutoff=args.cutoff,
            max_hits=args.top,
            options=how,
            workers=args.workers,
            client=client,
            progress=not args.quiet and stderr_is_terminal(),
            details=args.details or args.html is not None,  # the report draws the hits' own alignments
            exhaustive=args.exhaustive,
            candidates=args.candidates,
        )
    finally:
        if client is not None:
            client.close()
    if not args.all:  # the ranks stay those of the search
        hits = SearchHits([h for h in hits if listed(h, level, max_e)], hits.aligned, hits.entries)
    for h in hits:
        if origins:
            h.source, h.chain = origins[h.position]
    if args.html is not None:
        from dovelkit.report.search_page import search_report

        search_report(query, hits).write(args.html)
        if not args.details:
            for h in hits:
                h.alignment = None
    if args.json:
        text = json.dumps({"query": _query_dict(query, args.query), "level": how.level, "method": how.method,
                           "hits": [h.to_dict() for h in hits]}, indent=1)
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


def _max_e(args: argparse.Namespace, level: str) -> float:
    """The E-value below which fold-level hits are listed (--evalue)."""
    if args.evalue is None:
        return FOLD_LIST_E
    if level != "fold":
        raise UserError("--evalue is an option of the fold level; the family level lists the hits that score above 0")
    return float(args.evalue)


def _tell_if_keyless(targets: Any, args: argparse.Namespace) -> None:
    from dovelkit.db.store import INDEX_HINT, Database

    if isinstance(targets, Database) and not targets.has_keys and not args.exhaustive:
        print(f"dovel search: {targets.path} has no search keys, so every entry is aligned; "
              + INDEX_HINT.format(path=targets.path), file=sys.stderr)


def _client(args: argparse.Namespace) -> Any:
    """A client of the Dask scheduler given with --scheduler, or None."""
    if not args.scheduler:
        return None
    from distributed import Client

    try:
        return Client(args.scheduler, timeout=args.connect_timeout)
    except OSError as exc:
        raise UserError(f"cannot reach the scheduler at {args.scheduler}: {exc}") from None
    except (OverflowError, ValueError, TypeError) as exc:  # a port out of range gives OverflowError
        raise UserError(f"--scheduler {args.scheduler}: not a usable scheduler address ({exc})") from None


def run_many(args: argparse.Namespace) -> int:
    """Every chain of a folder or a database searched against one database: one TSV table."""
    from dovelkit.db.engine import search_many
    from dovelkit.io.atomic import replacing
    from dovelkit.db.store import Database
    from dovelkit.runtime.progress import progress_bar, stderr_is_terminal

    if args.html or args.json or args.details:
        raise UserError("--html, --json and --details take one query; many queries give one TSV table")
    if len(args.targets) != 1 or not (os.path.isfile(args.targets[0]) and _is_database(args.targets[0])):
        what = "is a directory" if os.path.isdir(args.query) else "is a database"
        raise UserError(f"{args.query} {what}: its chains are searched as many queries, which take one database "
                        "as the targets (see 'dovel db create')")
    probe_file(args.output)
    how = options_from(args)
    level = str(how.level)
    max_e = _max_e(args, level)
    db = Database.open(args.targets[0])
    _tell_if_keyless(db, args)
    if os.path.isdir(args.query):
        from dovelkit.io.inputs import collect_files
        from dovelkit.io.reading import load_chains

        queries: Any = []
        skipped: list[tuple[str, str]] = []
        for path in collect_files([args.query], skipped):
            try:
                queries.extend(load_chains(path, max_size=max_size_from(args)))
            except (OSError, ValueError) as exc:
                print(printable(f"dovel search: skipped {path}: {exc}"), file=sys.stderr)
        for path, reason in skipped:
            print(printable(f"dovel search: skipped {path}: {reason}"), file=sys.stderr)
        if not queries:
            raise UserError(f"no protein chain found in {args.query}")
        n_queries = len(queries)
    else:
        queries = db if os.path.samefile(args.query, db.path) else Database.open(args.query)
        n_queries = len(queries)
    client = _client(args)
    bar = progress_bar(n_queries, unit="query", desc="searching", enabled=not args.quiet and stderr_is_terminal())
    header = "query\t" + "\t".join(_COLUMNS) + "\n"

    def write_all(out: Any) -> None:
        out.write(header)
        for query, hits in search_many(
                queries, db, score_cutoff=args.cutoff, max_hits=args.top, options=how, workers=args.workers,
                client=client, exhaustive=args.exhaustive, candidates=args.candidates):
            for h in hits:
                if args.all or listed(h, level, max_e):
                    out.write(_clean(query.id) + "\t" + _row(h) + "\n")
            out.flush()
            bar.update(1)

    try:
        if args.output:
            try:
                with replacing(args.output) as tmp, open(tmp, "w", encoding="utf-8") as fh:
                    write_all(_Named(fh, args.output))
            except OSError as exc:  # closing the file: a disk that filled up, named by the output
                if exc.filename is not None or exc.errno not in _WRITE_ERRORS:
                    raise
                raise type(exc)(exc.errno, exc.strerror, args.output) from None
        else:
            write_all(sys.stdout)
    finally:
        bar.close()
        if client is not None:
            client.close()
    return 0


_WRITE_ERRORS = (errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO, errno.EROFS)


class _Named:
    """A text file whose write errors name the file the user asked for (not its temporary file)."""

    def __init__(self, fh: Any, shown: str) -> None:
        self.fh, self.shown = fh, shown

    def write(self, text: str) -> None:
        try:
            self.fh.write(text)
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, self.shown) from None

    def flush(self) -> None:
        try:
            self.fh.flush()
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, self.shown) from None


def _cells(h: Any) -> list[str]:
    return [str(h.rank), h.id, _full(h.score), _full(h.rmsd), str(h.n_aligned), _full(h.seq_identity),
            _full(h.z_score), str(h.position), h.source, h.chain, _full(h.tm_query), _full(h.tm_target),
            _full(h.prefilter_score), _full(h.e_value)]


def _row(h: Any) -> str:
    return "\t".join(_clean(c) for c in _cells(h))


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
        row = _cells(h)
        if details:
            row.append(" ".join(repr(v) for v in _transform_values(h)))
            row.append(",".join(f"{i}:{j}" for i, j in h.alignment.pairs.tolist()))
        lines.append("\t".join(_clean(c) for c in row))
    return "\n".join(lines) + "\n"


def _clean(text: str) -> str:
    """A TSV cell: tabs, line breaks, CR and other control characters escaped (see ``printable``)."""
    return printable(text)


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
