"""``dovel db``: create and describe structure databases."""

from __future__ import annotations

import argparse
import os
import sys

from dovelkit.cli.options import add_max_size_option, max_size_from, positive_int, probe_file


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "db",
        help="create or describe a structure database",
        description="Structure databases: every protein chain of a collection of files in one Parquet file.",
    )
    sub = parser.add_subparsers(dest="db_command", metavar="ACTION")
    sub.required = True

    create = sub.add_parser(
        "create",
        help="create a database from structure files and directories",
        description="Create a database from PDB/mmCIF files (plain or gzip) and directories, searched "
        "recursively for .pdb, .ent, .cif and .mmcif files (optionally .gz). Every protein chain "
        "becomes one entry; unreadable files are reported and skipped.",
    )
    create.add_argument("db", metavar="DB", help="the database file to write (e.g. structures.parquet)")
    create.add_argument("inputs", metavar="INPUT", nargs="+", help="structure files and directories")
    create.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help="processes reading files (default: every core)")
    create.add_argument("--rename-duplicates", action="store_true",
                        help="store a repeated id as ID~2, ID~3, ... instead of stopping")
    create.add_argument("--slice-size", type=positive_int, default=None, metavar="N",
                        help="entries per slice (row group) of the file (default 1000)")
    create.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary")
    add_max_size_option(create)
    create.set_defaults(run=run_create)

    index = sub.add_parser(
        "index",
        help="add search keys to a database made before they were stored",
        description="Add the search keys that a prefiltered search compares to a database written before "
        "they were stored. The file is written again and replaced atomically; a database that has its "
        "keys is left as it is.",
    )
    index.add_argument("db", metavar="DB")
    index.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary")
    index.set_defaults(run=run_index)

    info = sub.add_parser("info", help="describe a database", description="Print the size of a database.")
    info.add_argument("db", metavar="DB")
    info.set_defaults(run=run_info)


def run_create(args: argparse.Namespace) -> int:
    from dovelkit.db.store import DEFAULT_ROWS_PER_GROUP, Database
    from dovelkit.runtime.progress import stderr_is_terminal

    probe_file(args.db)  # a file can be made there, before any file is read

    db = Database.create(
        args.db,
        args.inputs,
        workers=args.workers,
        progress=not args.quiet and stderr_is_terminal(),
        rename_duplicates=args.rename_duplicates,
        rows_per_group=args.slice_size or DEFAULT_ROWS_PER_GROUP,
        max_size=max_size_from(args),
    )
    summary = db.summary
    assert summary is not None
    from dovelkit.io.paths import printable

    for path, reason in summary.skipped:
        print(printable(f"dovel db: skipped {path}: {reason}"), file=sys.stderr)
    for old, new in summary.renamed:
        print(printable(f"dovel db: renamed duplicate {old} to {new}"), file=sys.stderr)
    if not args.quiet:
        print(printable(f"dovel db: {args.db}: {summary.text()}"), file=sys.stderr)
    return 0


def run_index(args: argparse.Namespace) -> int:
    from dovelkit.db.store import Database
    from dovelkit.runtime.progress import stderr_is_terminal

    db = Database.index(args.db, progress=not args.quiet and stderr_is_terminal())
    if not args.quiet:
        if db.summary is None:
            print(f"dovel db: {args.db} already has its search keys", file=sys.stderr)
        else:
            print(f"dovel db: {args.db}: search keys added, {db.summary.text()}", file=sys.stderr)
    db.close()
    return 0


def run_info(args: argparse.Namespace) -> int:
    from dovelkit.db.store import Database

    db = Database.open(args.db)
    slices = db.slices
    print(f"path\t{db.path}")
    print(f"entries\t{len(db)}")
    print(f"slices\t{len(slices)}")
    print(f"entries_per_slice\t{len(slices[0]) if slices else 0}")
    print(f"bytes\t{os.path.getsize(db.path)}")
    print(f"search_keys\t{'yes' if db.has_keys else 'no'}")
    return 0
