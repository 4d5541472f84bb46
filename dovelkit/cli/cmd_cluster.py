"""``dovel cluster``: the clusters of a database, one representative each."""

from __future__ import annotations

import argparse
import sys

from dovelkit.cli.options import positive_float, positive_int
from dovelkit.io.atomic import check_writable
from dovelkit.errors import UserError


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text} is not between 0 and 1")
    return value


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "cluster",
        help="cluster a database at the fold level",
        description="Cluster the entries of a database (see 'dovel db create') at the fold level: every member "
        "of a cluster was aligned with the cluster's representative and has a TM-score (normalised by the "
        "member) of at least --tm, with an alignment covering at least --coverage of the chains --cov-mode "
        "names. Not every pair is compared: candidates come from an index of the search keys, members are "
        "aligned with candidate representatives only, and then clusters join larger ones (see "
        "docs/clustering.md). The output is a two-column table, representative then member, every entry "
        "once and every representative also as its own member; clusters largest first.",
    )
    parser.add_argument("db", metavar="DB", help="the database to cluster")
    parser.add_argument("-o", "--output", default=None, metavar="FILE",
                        help="write the table to FILE (default: standard output)")
    parser.add_argument("--tm", type=_fraction, default=0.5, metavar="X",
                        help="least TM-score of a member with its representative, by the member (default 0.5)")
    parser.add_argument("--coverage", type=_fraction, default=0.7, metavar="X",
                        help="least fraction of the chains (--cov-mode) the alignment covers (default 0.7)")
    parser.add_argument("--cov-mode", type=int, choices=(0, 1, 2), default=0,
                        help="coverage of 0: both the member and the representative (the default), 1: the member, "
                        "2: the representative")
    parser.add_argument("--components", action="store_true",
                        help="connected components of the pairs that passed instead of greedy set cover (a member "
                        "is then linked to its representative through a chain of such pairs)")
    parser.add_argument("--candidates", type=positive_int, default=20, metavar="N",
                        help="prefilter candidates of each entry (default 20)")
    parser.add_argument("--representatives", default=None, metavar="FILE",
                        help="also write the representatives as a database")
    parser.add_argument("--html", default=None, metavar="FILE",
                        help="also write a report: one self-contained HTML page")
    parser.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help="processes on this machine (default: every core)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run on a Dask cluster: address of its scheduler (e.g. tcp://10.0.0.5:8786)")
    parser.add_argument("--connect-timeout", type=positive_float, default=20.0, metavar="SECONDS",
                        help="how long to try reaching the scheduler (default 20)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    import os

    from dovelkit.cli.cmd_search import _client
    from dovelkit.db.clustering import cluster
    from dovelkit.io.atomic import write_atomically
    from dovelkit.runtime.progress import stderr_is_terminal

    for path in (args.output, args.representatives, args.html):
        check_writable(path)
    if args.representatives is not None and os.path.abspath(args.representatives) == os.path.abspath(args.db):
        raise UserError("--representatives would overwrite the database being clustered")
    client = _client(args)
    try:
        result = cluster(args.db, tm=args.tm, coverage=args.coverage, cov_mode=args.cov_mode,
                         method="components" if args.components else "set-cover", candidates=args.candidates,
                         workers=args.workers, client=client, progress=not args.quiet and stderr_is_terminal())
    finally:
        if client is not None:
            client.close()
    text = result.tsv()
    if args.representatives is not None:
        result.write_representatives(args.representatives)
    if args.html is not None:
        from dovelkit.report.clusters import cluster_report

        cluster_report(result).write(args.html)
    if args.output is None:
        sys.stdout.write(text)
    else:
        write_atomically(args.output, text.encode("utf-8"))
    if not args.quiet:
        sizes = result.sizes()
        print(f"{len(result.ids)} entries in {len(sizes)} clusters ({sum(s == 1 for s in sizes)} of one entry, "
              f"the largest of {max(sizes, default=0)})", file=sys.stderr)
    return 0
