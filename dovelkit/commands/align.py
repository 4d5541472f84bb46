"""``dovel align``: align two structures, show the alignment, write the second moved onto the first."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import TYPE_CHECKING

from dovelkit.atomic import check_writable
from dovelkit.errors import UserError
from dovelkit.progress import Status
from dovelkit.commands import add_max_size_option, add_preset_option, max_size_from, parameters_from

if TYPE_CHECKING:
    from dovelkit.pairwise import PairwiseAlignment

EXAMPLES = """\
examples:
  dovel align 1hrc.pdb 1ycc.pdb
  dovel align 1hrc.pdb 1ycc.cif.gz --chain2 A -o 1ycc_on_1hrc.cif
  dovel align model.pdb ref.pdb --direct          (already superposed: no search)
  dovel align a.pdb b.pdb --json > a_b.json

B is moved onto A. The alignment lines mark pairs whose C-alpha atoms lie within 3.0 A (':') or
5.0 A ('.') after the superposition. With -o the whole of B (every model and atom) is written
moved, as PDB or mmCIF by the name's suffix (.pdb, .ent, .cif, .mmcif; add .gz to compress).
"""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "align",
        help="align two structures",
        description="Pairwise structure alignment of two PDB/mmCIF files (plain or gzip).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("a", metavar="A", help="the fixed structure")
    parser.add_argument("b", metavar="B", help="the structure moved onto A")
    parser.add_argument("--chain1", metavar="X", help="chain of A (default: its first protein chain)")
    parser.add_argument("--chain2", metavar="Y", help="chain of B (default: its first protein chain)")
    parser.add_argument("--direct", action="store_true",
                        help="no superposition search: refine from the frames the files are in")
    parser.add_argument("-o", "--output", metavar="OUT", help="write B moved onto A to OUT (.pdb/.cif[.gz])")
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of text")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_max_size_option(parser)
    parser.set_defaults(run=run)



def summary(result: PairwiseAlignment, path_a: str, path_b: str) -> str:
    rmsd = f"{result.rmsd:.3f} A" if math.isfinite(result.rmsd) else "-"
    lines = [
        f"A         {result.a.id}  ({path_a}, {result.len_a} residues)",
        f"B         {result.b.id}  ({path_b}, {result.len_b} residues)",
        f"aligned   {result.n_aligned} pairs  ({100 * result.coverage_a:.1f}% of A, {100 * result.coverage_b:.1f}% of B)",
        f"RMSD      {rmsd}",
        f"score     {result.score:.4f}",
        f"identity  {100 * result.seq_identity:.1f}%",
    ]
    return "\n".join(lines) + "\n"


def run(args: argparse.Namespace) -> int:
    import dovelkit
    from dovelkit.writing import output_format

    for path in (args.a, args.b):
        if not os.path.exists(path):  # a directory, FIFO or device is refused by the reader
            raise UserError(f"{path}: no such file")
    if args.output is not None:
        output_format(args.output)  # a bad name fails before any work
    check_writable(args.output)
    check_writable(args.html)

    status = Status("dovel align")
    try:
        status.update("reading")
        a = dovelkit.load(args.a, chain=args.chain1, max_size=max_size_from(args))
        b = dovelkit.load(args.b, chain=args.chain2, max_size=max_size_from(args))
        status.update("aligning")
        result = dovelkit.align(a, b, params=parameters_from(args), scan=not args.direct)
        if args.output is not None:
            status.update("writing")
            dovelkit.write_moved(args.b, result.transform, args.output)
        if args.html is not None:
            status.update("writing the report")
            dovelkit.pairwise_report(result).write(args.html)
    finally:
        status.close()

    if result.n_aligned == 0:
        print(f"dovel align: no alignment found; {'B written unmoved' if args.output else 'nothing aligned'}",
              file=sys.stderr)
    if args.json:
        data = result.to_dict()
        data["files"] = {"a": args.a, "b": args.b, "output": args.output}
        sys.stdout.write(json.dumps(data) + "\n")
        return 0
    text = summary(result, args.a, args.b)
    if args.output is not None:
        text += f"written   {args.output}  (B moved onto A)\n"
    sys.stdout.write(text + "\n" + result.text())
    return 0
