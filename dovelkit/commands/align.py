"""``dovel align``: align two structures, show the alignment, write the mobile one moved onto the fixed one."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import TYPE_CHECKING

from dovelkit.atomic import check_writable
from dovelkit.errors import UserError
from dovelkit.formatting import number
from dovelkit.progress import Status
from dovelkit.commands import add_mode_option, add_preset_option, mode_from, parameters_from

if TYPE_CHECKING:
    from dovelkit.pairwise import PairwiseAlignment

EXAMPLES = """\
examples:
  dovel align 1hrc.pdb 1ycc.pdb
  dovel align 1hrc.pdb 1ycc.pdb --family              (the module's own method)
  dovel align 1hrc.pdb 1ycc.cif.gz --chain2 A -o 1ycc_on_1hrc.cif
  dovel align model.pdb ref.pdb --direct          (already superposed: no search)
  dovel align a.pdb b.pdb --json > a_b.json

FIXED stays, MOBILE is moved onto it. The alignment lines mark pairs whose C-alpha atoms lie
within 3.0 A (':') or 5.0 A ('.') after the superposition. With -o the whole of MOBILE (every
model and atom) is written moved, as PDB or mmCIF by the name's suffix (.pdb, .ent, .cif, .mmcif;
add .gz to compress).

The TM-scores are normalised by each chain's length (0.5 and above: the same fold). The default
level, --fold, finds the alignment that maximises TM-score; --family (and --sensitive, its
preset) runs the module's own method, whose score is reported beside the TM-scores.
"""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "align",
        help="align two structures",
        description="Pairwise structure alignment of two PDB/mmCIF files (plain or gzip).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("fixed", metavar="FIXED", help="the fixed structure")
    parser.add_argument("mobile", metavar="MOBILE", help="the structure moved onto FIXED")
    parser.add_argument("--chain1", metavar="X", help="chain of FIXED (default: its first protein chain)")
    parser.add_argument("--chain2", metavar="Y", help="chain of MOBILE (default: its first protein chain)")
    parser.add_argument("--direct", action="store_true",
                        help="no superposition search: refine from the frames the files are in")
    parser.add_argument("-o", "--output", metavar="OUT", help="write MOBILE moved onto FIXED to OUT (.pdb/.cif[.gz])")
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of text")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_mode_option(parser)
    parser.set_defaults(run=run)



def _score_note(result: PairwiseAlignment) -> str:
    return "  (fold level: the TM-score by fixed)" if result.mode == "fold" else ""


def summary(result: PairwiseAlignment, path_fixed: str, path_mobile: str) -> str:
    rmsd = number(result.rmsd, 3)
    lines = [
        f"fixed     {result.fixed.id}  ({path_fixed}, {result.len_fixed} residues)",
        f"mobile    {result.mobile.id}  ({path_mobile}, {result.len_mobile} residues)",
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
    import dovelkit
    from dovelkit.writing import output_format

    for path in (args.fixed, args.mobile):
        if not os.path.isfile(path):
            raise UserError(f"{path}: no such file")
    if args.output is not None:
        output_format(args.output)  # a bad name fails before any work
    check_writable(args.output)
    check_writable(args.html)
    mode = mode_from(args, "--direct" if args.direct else None)

    status = Status("dovel align")
    try:
        status.update("reading")
        fixed = dovelkit.load(args.fixed, chain=args.chain1)
        mobile = dovelkit.load(args.mobile, chain=args.chain2)
        status.update("aligning")
        result = dovelkit.align(fixed, mobile, params=parameters_from(args), scan=not args.direct, mode=mode)
        if args.output is not None:
            status.update("writing")
            dovelkit.write_moved(args.mobile, result.transform, args.output)
        if args.html is not None:
            status.update("writing the report")
            dovelkit.pairwise_report(result).write(args.html)
    finally:
        status.close()

    if result.n_aligned == 0:
        print(f"dovel align: no alignment found; {'mobile written unmoved' if args.output else 'nothing aligned'}",
              file=sys.stderr)
    if args.json:
        data = result.to_dict()
        data["files"] = {"fixed": args.fixed, "mobile": args.mobile, "output": args.output}
        sys.stdout.write(json.dumps(data) + "\n")
        return 0
    text = summary(result, args.fixed, args.mobile)
    if args.output is not None:
        text += f"written   {args.output}  (mobile moved onto fixed)\n"
    sys.stdout.write(text + "\n" + result.text())
    return 0
