"""``dovel align --complex``: every protein chain of one file aligned with every protein chain of
another as one body, with the chain map; one pair, or tables of many pairs (--all, --pairs).

The command's own module adds the options (``add_options``) and hands a run with ``--complex`` to
``run``; everything else of the complex mode lives here.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any

from dovelkit.errors import UserError

if TYPE_CHECKING:
    from dovelkit.alignment.complexes import ComplexAlignment

HELP = """\
With --complex every protein chain of FIXED is aligned with every protein chain of MOBILE: the
chains are mapped one-to-one (chains of either side may stay unmatched), the mapped pairs aligned
and the two assemblies superposed as one body. The TM-scores are then normalised by each
assembly's total length; the text shows the chain map as a table, --json adds chain_map, chains
(per mapped pair) and pairs ([fixed_chain, fixed_index, mobile_chain, mobile_index], indices
0-based along each chain as read). --chain-map A=B,C=D fixes part of the map (chain A of FIXED
with chain B of MOBILE, ...). With --all or --pairs the table has one line per pair (chain_map as
A=B;C=D)."""

COLUMNS = ("fixed", "mobile", "chains_fixed", "chains_mobile", "length_fixed", "length_mobile", "n_aligned",
           "rmsd", "tm_fixed", "tm_mobile", "chain_map", "unmatched_fixed", "unmatched_mobile")


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--complex", action="store_true",
                        help="align all protein chains of both files as one body, with a chain map")
    parser.add_argument("--chain-map", metavar="A=B,...",
                        help="with --complex: chains of FIXED paired with chains of MOBILE, fixed in the map")


def _check(args: argparse.Namespace) -> None:
    for option, value in (("--chain1", args.chain1), ("--chain2", args.chain2)):
        if value is not None:
            raise UserError(f"{option} picks one chain; --complex aligns every chain (fix pairs with --chain-map)")
    if args.direct:
        raise UserError("--direct does not go with --complex")
    if getattr(args, "level", None) == "family" or getattr(args, "sensitive", False):
        raise UserError("--complex aligns at the fold level; --family and --sensitive do not go with it")
    if args.chain_map is not None:
        from dovelkit.alignment.complexes import parse_chain_map

        try:
            parse_chain_map(args.chain_map)
        except ValueError as exc:
            raise UserError(f"--chain-map: {exc}") from None


def run(args: argparse.Namespace) -> int:
    from dovelkit.alignment.many import parse_structure

    if args.chain_map is not None and not args.complex:
        raise UserError("--chain-map goes with --complex")
    _check(args)
    if args.all or args.pairs is not None:
        return _run_many(args)
    if len(args.structures) != 2:
        raise UserError(f"give two structures FIXED and MOBILE (or --all or --pairs), not {len(args.structures)}")
    fixed, mobile = (parse_structure(s) for s in args.structures)
    for given in (fixed, mobile):
        if given.chain is not None:
            raise UserError(f"{given.path}:{given.chain}: --complex aligns every chain of a file, not one")
    return _run_one(args, fixed.path, mobile.path)


def _run_one(args: argparse.Namespace, path_fixed: str, path_mobile: str) -> int:
    from dovelkit.cli.options import check_structure_file, max_size_from, probe_file
    from dovelkit.runtime.progress import Status

    for path in (path_fixed, path_mobile):
        check_structure_file(path)
    if args.output is not None:
        from dovelkit.io.writing import output_format

        output_format(args.output)  # a bad name fails before any work
    probe_file(args.output)  # a file can be made there, before any work
    probe_file(args.html)
    status = Status("dovel align")
    try:
        from dovelkit.alignment.complexes import align_complexes
        from dovelkit.report.complex_page import complex_report

        status.update("aligning")
        result = align_complexes(path_fixed, path_mobile, chain_map=args.chain_map, max_size=max_size_from(args))
        if args.output is not None:
            from dovelkit.io.writing import write_moved

            status.update("writing")
            write_moved(path_mobile, result.transform, args.output)
        if args.html is not None:
            status.update("writing the report")
            complex_report(result).write(args.html)
    finally:
        status.close()
    _show(args, result, path_fixed, path_mobile)
    return 0


def _show(args: argparse.Namespace, result: ComplexAlignment, path_fixed: str, path_mobile: str) -> None:
    if args.json:
        import json

        data = result.as_dict()
        data["files"] = {"fixed": path_fixed, "mobile": path_mobile, "output": args.output}
        sys.stdout.write(json.dumps(data) + "\n")
        return
    from dovelkit.report.complex_page import complex_text

    text = complex_text(result, path_fixed, path_mobile)
    if args.output is not None:
        text += f"written   {args.output}  (mobile moved onto fixed)\n"
    sys.stdout.write(text)


def _row(result: ComplexAlignment, path_fixed: str, path_mobile: str) -> dict[str, Any]:
    data = result.as_dict()
    data["files"] = {"fixed": path_fixed, "mobile": path_mobile}
    return data


def tsv(rows: list[dict[str, Any]]) -> str:
    """One line per pair under a header line (COLUMNS)."""
    lines = ["\t".join(COLUMNS)]
    for r in rows:
        cells = [r["files"]["fixed"], r["files"]["mobile"], str(len(r["fixed"]["chains"])),
                 str(len(r["mobile"]["chains"])), str(r["fixed"]["length"]), str(r["mobile"]["length"]),
                 str(r["n_aligned"]), "" if r["rmsd"] is None else f"{r['rmsd']:.3f}",
                 f"{r['tm_fixed']:.4f}", f"{r['tm_mobile']:.4f}",
                 ";".join(f"{f}={m}" for f, m in r["chain_map"]) or "-",
                 ",".join(r["unmatched_fixed"]) or "-", ",".join(r["unmatched_mobile"]) or "-"]
        lines.append("\t".join(c.replace("\t", " ").replace("\n", " ") for c in cells))
    return "\n".join(lines) + "\n"


def _run_many(args: argparse.Namespace) -> int:
    from dovelkit.cli.options import check_structure_file, max_size_from
    from dovelkit.alignment.many import every_pair, parse_structure, read_pairs
    from dovelkit.runtime.progress import progress_bar, stderr_is_terminal

    if args.all and args.pairs is not None:
        raise UserError("give --all or --pairs, not both")
    for option, value in (("-o", args.output), ("--html", args.html), ("--chain-map", args.chain_map)):
        if value is not None:
            raise UserError(f"{option} is for one pair; with --all or --pairs the table goes to stdout")
    if args.pairs is not None:
        if args.structures:
            raise UserError("with --pairs the structures come from the file; give no others")
        check_structure_file(args.pairs)
        pairs = read_pairs(args.pairs)
    else:
        if len(args.structures) < 2:
            raise UserError("--all needs at least 2 structures")
        pairs = every_pair([parse_structure(s) for s in args.structures])
    for pair in pairs:
        for s in pair:
            if s.chain is not None:
                raise UserError(f"{s.path}:{s.chain}: --complex aligns every chain of a file, not one")
    for path in sorted({s.path for pair in pairs for s in pair}):
        check_structure_file(path)

    from dovelkit.alignment.complexes import align_complexes

    rows = []
    bar = progress_bar(len(pairs), unit="pair", desc="dovel align", enabled=stderr_is_terminal())
    try:
        for f, m in pairs:
            result = align_complexes(f.path, m.path, max_size=max_size_from(args))
            rows.append(_row(result, f.path, m.path))
            bar.update()
    finally:
        bar.close()
    if args.json:
        import json

        sys.stdout.write(json.dumps(rows) + "\n")
    else:
        sys.stdout.write(tsv(rows))
    return 0
