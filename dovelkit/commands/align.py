"""``dovel align``: align two structures, show the alignment, write the mobile one moved onto the fixed one."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any

from dovelkit.errors import UserError
from dovelkit.formatting import number, printable
from dovelkit.progress import Status
from dovelkit.commands import (add_max_size_option, add_mode_option, add_preset_option, check_structure_file,
                               max_size_from, mode_from, parameters_from, positive_int, probe_file)

if TYPE_CHECKING:
    from dovelkit.pairwise import PairwiseAlignment
    from dovelkit.quick import QuickAlignment

USAGE = """\
dovel align [options] FIXED MOBILE
       dovel align [options] --all A B C ...
       dovel align [options] --pairs FILE"""

EXAMPLES = """\
examples:
  dovel align 1hrc.pdb 1ycc.pdb
  dovel align 1hrc.pdb 1ycc.pdb --family              (the module's own method)
  dovel align 1hrc.pdb 1ycc.cif.gz --chain2 A -o 1ycc_on_1hrc.cif
  dovel align 1hrc.pdb:A 4zhl.cif:U               (PATH:CHAIN names a chain)
  dovel align model.pdb ref.pdb --direct          (already superposed: no search)
  dovel align a.pdb b.pdb --json > a_b.json
  dovel align --all 1hrc.pdb 1ycc.pdb 1co6.pdb    (every pair: a table)
  dovel align --pairs pairs.tsv > scores.tsv

FIXED stays, MOBILE is moved onto it. The alignment lines mark pairs whose C-alpha atoms lie
within 3.0 A (':') or 5.0 A ('.') after the superposition. With -o the whole of MOBILE (every
model and atom) is written moved, as PDB or mmCIF by the name's suffix (.pdb, .ent, .cif, .mmcif;
add .gz to compress).

The TM-scores are normalised by each chain's length (0.5 and above: the same fold). The default
level, --fold, finds the alignment that maximises TM-score; --family (and --sensitive, its
preset) runs the module's own method, whose score is reported beside the TM-scores.
Many pairs: --all aligns every pair of the structures given (the later one of each pair onto
the earlier), --pairs the pairs listed in FILE: one pair a line, FIXED and MOBILE separated by a
tab (or spaces), each a path or PATH:CHAIN; empty lines and lines starting with '#' are skipped.
The pairs are aligned on every core and printed as one table, a line per pair in the order given:
tab-separated with a header line (fixed, mobile, id_fixed, id_mobile, length_fixed,
length_mobile, n_aligned, rmsd, score, seq_identity, coverage_fixed, coverage_mobile, tm_fixed,
tm_mobile; rmsd empty when nothing aligned), or with --json a list of what --json prints for one pair.
"""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    from dovelkit.many import SMALL_JOB

    parser = subparsers.add_parser(
        "align",
        usage=USAGE,
        help="align two structures, or many pairs",
        description="Pairwise structure alignment of two PDB/mmCIF files (plain or gzip).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("structures", metavar="FIXED MOBILE", nargs="*",
                        help="the fixed structure and the structure moved onto it (PATH or PATH:CHAIN)")
    parser.add_argument("--all", action="store_true", help="align every pair of the structures given")
    parser.add_argument("--pairs", metavar="FILE", help="align the pairs listed in FILE (see below)")
    parser.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help=f"processes aligning many pairs (default: every core from {SMALL_JOB} pairs on, "
                             "fewer in this process)")
    parser.add_argument("--chain1", metavar="X", help="chain of FIXED (default: its first protein chain)")
    parser.add_argument("--chain2", metavar="Y", help="chain of MOBILE (default: its first protein chain)")
    parser.add_argument("--direct", action="store_true",
                        help="no superposition search: refine from the frames the files are in")
    parser.add_argument("-o", "--output", metavar="OUT", help="write MOBILE moved onto FIXED to OUT (.pdb/.cif[.gz])")
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of text")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_mode_option(parser)
    add_max_size_option(parser)
    parser.set_defaults(run=run)



def _score_note(result: PairwiseAlignment | QuickAlignment) -> str:
    return "  (fold level: the TM-score by fixed)" if result.mode == "fold" else ""


def summary(result: PairwiseAlignment | QuickAlignment, path_fixed: str, path_mobile: str) -> str:
    rmsd = number(result.rmsd, 3)
    lines = [
        f"fixed     {printable(result.fixed.id)}  ({printable(path_fixed)}, {result.len_fixed} residues)",
        f"mobile    {printable(result.mobile.id)}  ({printable(path_mobile)}, {result.len_mobile} residues)",
        f"n_aligned {result.n_aligned} pairs  ({100 * result.coverage_fixed:.1f}% of fixed, "
        f"{100 * result.coverage_mobile:.1f}% of mobile)",
        f"RMSD      {rmsd}{'' if rmsd == '-' else ' A'}",
        f"TM-score  {number(result.tm_fixed, 4)} (by fixed), {number(result.tm_mobile, 4)} (by mobile)",
        f"score     {number(result.score, 4)}{_score_note(result)}",
        f"identity  {number(100 * result.seq_identity, 1)}%",
    ]
    fold = result.fold_level
    if fold is not None:
        # Never blank: what the fold level finds where the family level found nothing.
        lines.append(f"fold      {fold.n_aligned} pairs at RMSD {number(fold.rmsd, 3)} A, TM-score "
                     f"{number(fold.tm_fixed, 4)} (by fixed): the best superposition found (--fold aligns with it)")
    return "\n".join(lines) + "\n"


def run(args: argparse.Namespace) -> int:
    from dovelkit.many import parse_structure

    if args.all or args.pairs is not None:
        return run_many(args)
    if len(args.structures) != 2:
        raise UserError(f"give two structures FIXED and MOBILE (or --all or --pairs), not {len(args.structures)}")
    fixed, mobile = (parse_structure(s) for s in args.structures)
    for given, chain, option in ((fixed, args.chain1, "--chain1"), (mobile, args.chain2, "--chain2")):
        if given.chain is not None and chain is not None:
            raise UserError(f"{given}: the chain is given twice (also {option} {chain})")
    args.fixed, args.mobile = fixed.path, mobile.path
    args.chain1 = args.chain1 if fixed.chain is None else fixed.chain
    args.chain2 = args.chain2 if mobile.chain is None else mobile.chain
    return run_one(args)


def quick(args: argparse.Namespace) -> bool:
    """Whether this run aligns at the fold level and shows only text or JSON (tables of many
    pairs included): that needs no NumPy (dovelkit.quick), so the command starts in a fraction of
    the time."""
    if args.output is not None or args.html is not None:
        return False
    try:
        return mode_from(args, "--direct" if args.direct else None) == "fold"
    except UserError:
        return False


def preload(args: argparse.Namespace) -> tuple[str, ...]:
    """The extension modules (and what imports them) this run needs, imported before it starts."""
    reading = ("dovel", "dovelkit._core", "dovelkit.reading")
    return reading + (("dovelkit.quick",) if quick(args) else ("dovelkit.pairwise", "dovelkit.writing"))


def run_one(args: argparse.Namespace) -> int:
    for path in (args.fixed, args.mobile):
        check_structure_file(path)
    if args.output is not None:
        from dovelkit.writing import output_format

        output_format(args.output)  # a bad name fails before any work
    probe_file(args.output)  # a file can be made there, before any work
    probe_file(args.html)
    mode = mode_from(args, "--direct" if args.direct else None)

    status = Status("dovel align")
    try:
        if quick(args):
            from dovelkit.quick import fold_align_files

            status.update("aligning")
            result: PairwiseAlignment | QuickAlignment = fold_align_files(
                args.fixed, args.mobile, args.chain1, args.chain2, max_size_from(args))
        else:
            result = _align(args, mode, status)
    finally:
        status.close()
    return _show(args, result)


def _align(args: argparse.Namespace, mode: str, status: Status) -> PairwiseAlignment:
    import dovelkit

    status.update("reading")
    fixed = dovelkit.load(args.fixed, chain=args.chain1, max_size=max_size_from(args))
    mobile = dovelkit.load(args.mobile, chain=args.chain2, max_size=max_size_from(args))
    status.update("aligning")
    result = dovelkit.align(fixed, mobile, params=parameters_from(args), scan=not args.direct, mode=mode)
    if args.output is not None:
        status.update("writing")
        dovelkit.write_moved(args.mobile, result.transform, args.output)
    if args.html is not None:
        status.update("writing the report")
        dovelkit.pairwise_report(result).write(args.html)
    return result


def _show(args: argparse.Namespace, result: PairwiseAlignment | QuickAlignment) -> int:
    if result.n_aligned == 0:
        print(f"dovel align: no alignment found; {'mobile written unmoved' if args.output else 'nothing aligned'}",
              file=sys.stderr)
    if args.json:
        import json

        data = result.to_dict()
        data["files"] = {"fixed": args.fixed, "mobile": args.mobile, "output": args.output}
        sys.stdout.write(json.dumps(data) + "\n")
        return 0
    text = summary(result, args.fixed, args.mobile)
    if args.output is not None:
        text += f"written   {printable(args.output)}  (mobile moved onto fixed)\n"
    sys.stdout.write(text + "\n" + result.text())
    return 0


def run_many(args: argparse.Namespace) -> int:
    """``--all`` or ``--pairs``: one table of many alignments."""
    from dovelkit.many import SMALL_JOB, align_pairs, every_pair, parse_structure, read_pairs, tsv
    from dovelkit.pools import default_workers
    from dovelkit.progress import progress_bar, stderr_is_terminal

    if args.all and args.pairs is not None:
        raise UserError("give --all or --pairs, not both")
    for option, value in (("-o", args.output), ("--html", args.html), ("--chain1", args.chain1),
                          ("--chain2", args.chain2)):
        if value is not None:
            raise UserError(f"{option} is for one pair; with --all or --pairs name chains as PATH:CHAIN"
                            if option.startswith("--chain") else
                            f"{option} is for one pair; with --all or --pairs the table goes to stdout")
    if args.pairs is not None:
        if args.structures:
            raise UserError("with --pairs the structures come from the file; give no others")
        check_structure_file(args.pairs)
        pairs = read_pairs(args.pairs)
    else:
        if len(args.structures) < 2:
            raise UserError("--all needs at least 2 structures")
        pairs = every_pair([parse_structure(s) for s in args.structures])
    for path in sorted({s.path for pair in pairs for s in pair}):
        check_structure_file(path)

    bars: list[Any] = []

    def progress() -> None:  # the bar (and its thread) only once the workers have started
        if not bars:
            bars.append(progress_bar(len(pairs), unit="pair", desc="dovel align", enabled=stderr_is_terminal()))
        bars[0].update()

    try:
        rows = align_pairs(pairs, preset="sensitive" if args.sensitive else "default", scan=not args.direct,
                           workers=args.workers or (default_workers() if len(pairs) >= SMALL_JOB else 1),
                           progress=progress,
                           mode=mode_from(args, "--direct" if args.direct else None), max_size=max_size_from(args))
    finally:
        for bar in bars:
            bar.close()
    if args.json:
        import json

        sys.stdout.write(json.dumps(rows) + "\n")
    else:
        sys.stdout.write(tsv(rows))
    return 0
