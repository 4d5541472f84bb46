"""``dovel msa``: a multiple alignment of structure files, every structure written moved."""

from __future__ import annotations

import argparse
import gzip
import os
import sys

from typing import TYPE_CHECKING, Any

from dovelkit.errors import UserError
from dovelkit.io.paths import printable
from dovelkit.report.formatting import number
from dovelkit.runtime.progress import Status
from dovelkit.cli.options import (add_level_options, add_max_size_option, add_preset_option, check_structure_file,
                               max_size_from, missing_directories, options_from, positive_int, probe_file,
                               remove_empty)

if TYPE_CHECKING:
    from dovelkit.alignment.many import Structure

# Exit status when the structures could not be aligned (no core column): the files are written,
# but they are not superposed on a common core.
NOT_ALIGNED = 3

EXAMPLES = """\
examples:
  dovel msa 1hrc.pdb 1ycc.pdb 1co6.cif.gz                  (the table only)
  dovel msa 1hrc.pdb 1ycc.pdb 1co6.cif.gz -o aligned/
  dovel msa a.pdb b.pdb c.pdb --chain A -o out/ --fasta family.fasta
  dovel msa x.cif:B y.pdb:A --fasta -                       (PATH:CHAIN; the FASTA on stdout)
  dovel msa x.cif y.pdb --chain B A --model 1 3             (one chain and one model per file)

With -o every structure is superposed onto the first and written moved, in its own format and
under its own file name, into the output directory, with superposed.pdb (every structure's
chain, moved, one model each, in the order given) and matrix.tsv (every pair's core RMSD and
TM-score). The FASTA alignment (--fasta FILE, or --fasta - for stdout) ends with a record "core"
marking the columns where every structure has a residue ('*') and the others ('.'); its headers
give each chain's first and last residue numbers. TM-score: of each structure against the first over the columns,
normalised by the first's length. The default level, --fold, builds the alignment from fold-level
pairwise alignments; --family (and --sensitive) runs the module's own method.

exit status: 0 aligned; 1 a mistake in the command (nothing written); 3 the structures could not
be aligned: no column holds a residue of every structure (the files are written, and stderr and
the --html report say which structures stand apart); 130 interrupted.
"""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "msa",
        help="multiple alignment of structure files",
        description="Multiple structure alignment of PDB/mmCIF files (plain or gzip).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="structure files (PATH or PATH:CHAIN); the first is the reference")
    parser.add_argument("--chain", action="extend", nargs="+", metavar="ID", default=None,
                        help="chain to take: one id for every file, or one per file (default: the first protein chain)")
    parser.add_argument("--model", action="extend", nargs="+", type=positive_int, metavar="N", default=None,
                        help="model to take, from 1: one for every file, or one per file (default 1)")
    parser.add_argument("--dssp", action="extend", nargs="+", metavar="FILE", default=None,
                        help="DSSP file of each structure's chain, one per file in order ('-' for none): "
                             "the report shows the secondary structure")
    parser.add_argument("-o", "--output", metavar="DIR",
                        help="directory for the moved structures, superposed.pdb and matrix.tsv (created when missing)")
    parser.add_argument("--fasta", metavar="FILE", help="write the alignment as FASTA to FILE ('-': stdout)")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_level_options(parser)
    add_max_size_option(parser)
    parser.set_defaults(run=run)


def _each(files: list[str], given: list[Any] | None, option: str, what: str) -> list[Any]:
    if not given:
        return [None] * len(files)
    if len(given) == 1:
        return [given[0]] * len(files)
    if len(given) != len(files):
        raise UserError(f"{option} takes one {what} for every file or one per file: "
                        f"{len(given)} {what}s for {len(files)} files")
    return list(given)


def _structures(files: list[str], chains: list[str] | None, models: list[int] | None) -> list[Structure]:
    """Each FILE as PATH or PATH:CHAIN with its --chain and --model."""
    from dovelkit.alignment.many import parse_structure, with_chain

    return [with_chain(parse_structure(f, m or 1), c, "--chain")
            for f, c, m in zip(files, _each(files, chains, "--chain", "id"), _each(files, models, "--model", "number"))]


def output_name(path: str) -> str:
    """The name a moved copy of ``path`` gets: its own file name when that names the format,
    otherwise its stem with the suffix of the format found in it."""
    import gemmi

    from dovelkit.io.reading import file_stem, read_structure
    from dovelkit.io.writing import output_format

    name = os.path.basename(path)
    try:
        output_format(name)
        return name
    except ValueError:
        pass
    with open(path, "rb") as fh:
        compressed = fh.read(2) == b"\x1f\x8b"
    fmt = read_structure(path).input_format
    suffix = ".cif" if fmt == gemmi.CoorFormat.Mmcif else ".pdb"
    return file_stem(path) + suffix + (".gz" if compressed else "")


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


SUPERPOSED = "superposed.pdb"  # every structure's chain moved, one model each (with -o)
MATRIX = "matrix.tsv"  # every pair's core RMSD and TM-scores (with -o)


def matrix_tsv(result: Any, names: list[str]) -> str:
    """Every pair of structures (i before j): the C-alpha RMSD over the core columns after the
    superposition onto the first, and the TM-scores over the columns both have, normalised by i's
    and by j's length, each under its own best superposition."""
    import numpy as np

    from dovelkit import _core

    placed = [np.ascontiguousarray(t.apply(d.coordinates)) for d, t in zip(result.domains, result.transforms)]
    columns = [list(col) for col in result.columns]
    rmsd, _ = _core.multiple_distances(placed, columns, [int(c) for c in result.core_positions])
    lines = ["structure_1\tstructure_2\tcore_rmsd\ttm_1\ttm_2\tn_aligned"]
    for i in range(len(placed)):
        for j in range(i + 1, len(placed)):
            pairs = np.array([(c[i], c[j]) for c in columns if c[i] is not None and c[j] is not None],
                             dtype=np.int64).reshape(-1, 2)
            tm = _core.tm_score(placed[i], placed[j], pairs)
            core = float(rmsd[i][j]) if result.n_core else float("nan")
            lines.append(f"{names[i]}\t{names[j]}\t{_cell(core, 3)}\t{tm.tm_fixed:.4f}\t{tm.tm_mobile:.4f}\t{len(pairs)}")
    return "\n".join(lines) + "\n"


def _cell(x: float, digits: int) -> str:
    return f"{x:.{digits}f}" if x == x else ""


def run(args: argparse.Namespace) -> int:
    from dovelkit.alignment.multiple import msa
    from dovelkit.io.atomic import write_files_atomically
    from dovelkit.io.reading import load
    from dovelkit.io.writing import output_format, render_moved, render_superposed

    if len(args.files) < 2:
        raise UserError("a multiple alignment needs at least 2 structure files")
    structures = _structures(args.files, args.chain, args.model)
    files: list[str] = [s.path for s in structures]
    dssp: list[str | None] = [None] * len(files)
    if args.dssp:
        if len(args.dssp) != len(files):
            raise UserError(f"--dssp takes one file per structure ('-' for none): {len(args.dssp)} for {len(files)}")
        dssp = [None if d == "-" else d for d in args.dssp]
    for path in files + [d for d in dssp if d is not None]:
        check_structure_file(path)
    how = options_from(args)
    to_stdout = args.fasta == "-"
    fasta_file = None if to_stdout else args.fasta

    outputs: list[str] = []
    created: list[str] | None = None
    if args.output is not None:
        names = [output_name(path) for path in files]
        seen: dict[str, str] = {}
        for path, name in zip(files, names):
            key = name.casefold()
            if key in {SUPERPOSED, MATRIX} or key in seen:
                raise UserError(f"{seen.get(key, path)} and {path} would both be written as "
                                f"{os.path.join(args.output, name)}")
            seen[key] = path
        outputs = [os.path.join(args.output, name) for name in names]
        for path, out in zip(files, outputs):
            if _same_file(path, out):
                raise UserError(f"{out} would overwrite its own input; choose another output directory")
    # Every output is checked before anything is made; the directory is made last, and removed
    # again (when still empty) if the run fails.
    probe_file(fasta_file)
    probe_file(args.html)
    if args.output is not None:
        created = missing_directories(args.output)
        if not created:
            probe_file(os.path.join(args.output, "probe"))
        os.makedirs(args.output, exist_ok=True)

    status = Status("dovel msa")
    try:
        domains = []
        for k, s in enumerate(structures):
            status.update(f"reading {k + 1}/{len(files)}")
            domains.append(load(s.path, chain=s.chain, model=s.model, dssp=dssp[k], max_size=max_size_from(args)))

        def progress(done: int, total: int) -> None:
            status.update(f"aligning {done}/{total}" if done < total else "multiple alignment done")

        status.update(f"aligning 1/{len(domains)}")
        result = msa(domains, progress=progress, options=how)
        texts: list[tuple[str | os.PathLike[str], bytes]] = []
        for k, (s, out, transform) in enumerate(zip(structures, outputs, result.transforms)):
            status.update(f"writing {k + 1}/{len(files)}")
            fmt, compressed = output_format(out)
            data = render_moved(s.path, transform, fmt).encode("utf-8")
            if compressed:
                data = gzip.compress(data, mtime=0)
            texts.append((out, data))
        if args.output is not None:
            status.update("writing the superposition and the matrix")
            parts = [(s.path, s.chain, s.model, t) for s, t in zip(structures, result.transforms)]
            texts.append((os.path.join(args.output, SUPERPOSED), render_superposed(parts).encode("utf-8")))
            texts.append((os.path.join(args.output, MATRIX),
                          matrix_tsv(result, [printable(d.id) for d in domains]).encode("utf-8")))
        fasta = result.to_fasta()
        if fasta_file is not None:
            texts.append((fasta_file, fasta.encode("utf-8")))
        if args.html is not None:
            from dovelkit.report.document import msa_report

            texts.append((args.html, msa_report(result, sources=[(s.path, s.chain) for s in structures]).html().encode("utf-8")))
        write_files_atomically(texts)
    except Exception:  # an interrupted run keeps the directory it was asked to fill
        if created is not None:
            remove_empty(created)
        raise
    finally:
        status.close()

    for k in result.unplaced:
        print(f"dovel msa: warning: no superposition of {printable(domains[k].id)} onto {printable(domains[0].id)} was found; "
              f"it keeps its own frame{'' if args.sensitive else ' (try --sensitive)'}", file=sys.stderr)
    stdout = sys.stdout
    ids = [printable(d.id) for d in domains]
    shown = [printable(os.path.basename(o)) for o in outputs] if outputs else [printable(f) for f in files]
    id_w = max(len("structure"), *(len(i) for i in ids))
    file_w = max(len("file"), *(len(n) for n in shown))
    stdout.write(f"{'structure':<{id_w}}  {'file':<{file_w}}  {'length':>6}  {'TM-score':>8}  {'core RMSD':>9}\n")
    for d, i, n, rmsd, tm in zip(domains, ids, shown, result.core_rmsd, result.tm_scores):
        stdout.write(f"{i:<{id_w}}  {n:<{file_w}}  {len(d):>6}  {number(tm, 4):>8}  {number(rmsd, 3):>9}\n")
    stdout.write(f"\n{len(result.columns)} columns, {result.n_core} core columns, mean TM-score "
                 f"{number(result.mean_tm, 4)} ({result.level} level)")
    if args.output is not None:
        stdout.write(f"; {len(outputs)} structures written to {printable(args.output)}, with "
                     f"{SUPERPOSED} and {MATRIX}\n")
    else:
        stdout.write("\n")
    if fasta_file is not None:
        stdout.write(f"alignment written to {printable(fasta_file)}\n")
    elif to_stdout:
        stdout.write("\n" + fasta)
    failure = result.failure()
    if failure is not None:
        stdout.flush()
        print(f"dovel msa: {failure}", file=sys.stderr)
        return NOT_ALIGNED
    return 0
