"""``dovel align``: align two structures, show the alignment, write the mobile one moved onto the fixed one."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any

from dovelkit.cli import align_complex as complex_command
from dovelkit.errors import UserError
from dovelkit.io.paths import printable
from dovelkit.report.formatting import number
from dovelkit.runtime.progress import Status
from dovelkit.cli.options import (OldMethodOption, add_level_options, add_max_size_option, add_preset_option,
                                  check_structure_file, max_size_from, options_from, positive_int, probe_file)

if TYPE_CHECKING:
    from dovelkit.alignment.options import Options
    from dovelkit.alignment.pairwise import PairwiseAlignment

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
  dovel align model.pdb ref.pdb --method direct   (already superposed: no search)
  dovel align a.pdb b.pdb --json > a_b.json
  dovel align --all 1hrc.pdb 1ycc.pdb 1co6.pdb    (every pair: a table)
  dovel align --pairs pairs.tsv > scores.tsv
  dovel align 1a4w.pdb 1bcu.pdb --complex         (all chains: the chain map and one superposition)
  dovel align 1f0s.pdb 1lpz.pdb --complex --chain-map A=B --json

FIXED stays, MOBILE is moved onto it. The alignment lines mark pairs whose C-alpha atoms lie
within 3.0 A (':') or 5.0 A ('.') after the superposition. With -o the whole of MOBILE (every
model and atom) is written moved, as PDB or mmCIF by the name's suffix (.pdb, .ent, .cif, .mmcif;
add .gz to compress).

The TM-scores are normalised by each chain's length (0.5 and above: the same fold). The default
level, --fold, finds the alignment that maximises TM-score; --family (and --sensitive, its
preset, and --method) runs the module's own method, whose score is reported beside the TM-scores.
Many pairs: --all aligns every pair of the structures given (the later one of each pair onto
the earlier), --pairs the pairs listed in FILE: one pair a line, FIXED and MOBILE separated by a
tab (or spaces), each a path or PATH:CHAIN; empty lines and lines starting with '#' are skipped.
The pairs are aligned on every core and printed as one table, a line per pair in the order given:
tab-separated with a header line (fixed, mobile, id_fixed, id_mobile, length_fixed,
length_mobile, n_aligned, rmsd, score, seq_identity, coverage_fixed, coverage_mobile, tm_fixed,
tm_mobile; rmsd empty when nothing aligned), or with --json a list of what --json prints for one pair.

""" + complex_command.HELP + "\n"


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    from dovelkit.alignment.many import SMALL_JOB

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
    parser.add_argument("--direct", action=OldMethodOption, methods="direct")  # deprecated: --method direct
    parser.add_argument("-o", "--output", metavar="OUT", help="write MOBILE moved onto FIXED to OUT (.pdb/.cif[.gz])")
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of text")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_level_options(parser, ("scan", "direct"))
    add_max_size_option(parser)
    complex_command.add_options(parser)
    parser.set_defaults(run=run)



def _score_note(result: PairwiseAlignment) -> str:
    return "  (fold level: the TM-score by fixed)" if result.level == "fold" else ""


def summary(result: PairwiseAlignment, path_fixed: str, path_mobile: str) -> str:
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
    from dovelkit.alignment.many import parse_structure

    if args.complex or args.chain_map is not None:
        return complex_command.run(args)
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
    pairs included): that needs no NumPy (dovelkit.alignment.light), so the command starts in a fraction of
    the time."""
    if args.output is not None or args.html is not None:
        return False
    try:
        return options_from(args).fold
    except UserError:
        return False


def preload(args: argparse.Namespace) -> tuple[str, ...]:
    """The extension modules (and what imports them) this run needs, imported before it starts."""
    reading = ("dovel", "dovelkit._core", "dovelkit.io.reading")
    return reading + (("dovelkit.alignment.light",) if quick(args) else ("dovelkit.alignment.pairwise", "dovelkit.io.writing"))


def run_one(args: argparse.Namespace) -> int:
    for path in (args.fixed, args.mobile):
        check_structure_file(path)
    if args.output is not None:
        from dovelkit.io.writing import output_format

        output_format(args.output)  # a bad name fails before any work
    probe_file(args.output)  # a file can be made there, before any work
    probe_file(args.html)
    how = options_from(args)

    status = Status("dovel align")
    try:
        if quick(args):
            from dovelkit.alignment.light import fold_align_files

            status.update("aligning")
            result: PairwiseAlignment = fold_align_files(
                args.fixed, args.mobile, args.chain1, args.chain2, max_size_from(args))
        else:
            result = _align(args, how, status)
    finally:
        status.close()
    return _show(args, result)


def _align(args: argparse.Namespace, how: Options, status: Status) -> PairwiseAlignment:
    from dovelkit.alignment.pairwise import align
    from dovelkit.io.reading import load

    status.update("reading")
    fixed = load(args.fixed, chain=args.chain1, max_size=max_size_from(args))
    mobile = load(args.mobile, chain=args.chain2, max_size=max_size_from(args))
    status.update("aligning")
    result = align(fixed, mobile, options=how)
    if args.output is not None:
        from dovelkit.io.writing import write_moved

        status.update("writing")
        write_moved(args.mobile, result.transform, args.output)
    if args.html is not None:
        from dovelkit.report.document import pairwise_report

        status.update("writing the report")
        pairwise_report(result).write(args.html)
    return result


def _show(args: argparse.Namespace, result: PairwiseAlignment) -> int:
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
    from dovelkit.alignment.many import SMALL_JOB, align_pairs, every_pair, parse_structure, read_pairs, tsv
    from dovelkit.runtime.pools import default_workers
    from dovelkit.runtime.progress import progress_bar, stderr_is_terminal

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
        rows = align_pairs(pairs, options_from(args),
                           workers=args.workers or (default_workers() if len(pairs) >= SMALL_JOB else 1),
                           progress=progress, max_size=max_size_from(args))
    finally:
        for bar in bars:
            bar.close()
    if args.json:
        import json

        sys.stdout.write(json.dumps(rows) + "\n")
    else:
        sys.stdout.write(tsv(rows))
    return 0
