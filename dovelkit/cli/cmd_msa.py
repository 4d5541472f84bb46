"""``dovel msa``: a multiple alignment of structure files, every structure written moved."""

from __future__ import annotations

import argparse
import gzip
import os
import sys

from dovelkit.errors import UserError
from dovelkit.io.paths import printable
from dovelkit.report.formatting import number
from dovelkit.runtime.progress import Status
from dovelkit.cli.options import (add_level_options, add_max_size_option, add_preset_option, check_structure_file,
                               max_size_from, missing_directories, options_from, probe_file,
                               remove_empty)

# Exit status when the structures could not be aligned (no core column): the files are written,
# but they are not superposed on a common core.
NOT_ALIGNED = 3

EXAMPLES = """\
examples:
  dovel msa 1hrc.pdb 1ycc.pdb 1co6.cif.gz -o aligned/
  dovel msa a.pdb b.pdb c.pdb --chain A -o out/ --fasta family.fasta
  dovel msa x.cif y.pdb --chain B A -o out/        (one chain per file)

Every structure is superposed onto the first and written moved, in its own format and under its
own file name, into the output directory. The FASTA alignment ends with a record "core" marking
the columns where every structure has a residue ('*') and the others ('.'); without --fasta it
is printed after the table. TM-score: of each structure against the first over the columns,
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
    parser.add_argument("files", nargs="+", metavar="FILE", help="structure files; the first is the reference")
    parser.add_argument("--chain", action="extend", nargs="+", metavar="ID", default=None,
                        help="chain to take: one id for every file, or one per file (default: the first protein chain)")
    parser.add_argument("-o", "--output", required=True, metavar="DIR",
                        help="directory for the moved structures (created when missing)")
    parser.add_argument("--fasta", metavar="FILE", help="write the alignment as FASTA to FILE")
    parser.add_argument("--html", metavar="FILE", help="also write a report: one self-contained HTML page (figures open offline)")
    add_preset_option(parser)
    add_level_options(parser)
    add_max_size_option(parser)
    parser.set_defaults(run=run)


def _chains(files: list[str], chains: list[str] | None) -> list[str | None]:
    if not chains:
        return [None] * len(files)
    if len(chains) == 1:
        return [chains[0]] * len(files)
    if len(chains) != len(files):
        raise UserError(f"--chain takes one id for every file or one per file: {len(chains)} ids for {len(files)} files")
    return list(chains)


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


def run(args: argparse.Namespace) -> int:
    from dovelkit.alignment.multiple import msa
    from dovelkit.io.atomic import write_files_atomically
    from dovelkit.io.reading import load
    from dovelkit.io.writing import output_format, render_moved

    files: list[str] = args.files
    if len(files) < 2:
        raise UserError("a multiple alignment needs at least 2 structure files")
    chains = _chains(files, args.chain)
    for path in files:
        check_structure_file(path)
    how = options_from(args)

    names = [output_name(path) for path in files]
    seen: dict[str, str] = {}
    for path, name in zip(files, names):
        key = name.casefold()
        if key in seen:
            raise UserError(f"{seen[key]} and {path} would both be written as {os.path.join(args.output, name)}")
        seen[key] = path
    outputs = [os.path.join(args.output, name) for name in names]
    for path, out in zip(files, outputs):
        if _same_file(path, out):
            raise UserError(f"{out} would overwrite its own input; choose another output directory")
    # Every output is checked before anything is made; the directory is made last, and removed
    # again (when still empty) if the run fails.
    created = missing_directories(args.output)
    probe_file(args.fasta)
    probe_file(args.html)
    if not created:
        probe_file(os.path.join(args.output, "probe"))
    os.makedirs(args.output, exist_ok=True)

    status = Status("dovel msa")
    try:
        domains = []
        for k, (path, chain) in enumerate(zip(files, chains)):
            status.update(f"reading {k + 1}/{len(files)}")
            domains.append(load(path, chain=chain, max_size=max_size_from(args)))

        def progress(done: int, total: int) -> None:
            status.update(f"aligning {done}/{total}" if done < total else "multiple alignment done")

        status.update(f"aligning 1/{len(domains)}")
        result = msa(domains, progress=progress, options=how)
        texts: list[tuple[str | os.PathLike[str], bytes]] = []
        for k, (path, out, transform) in enumerate(zip(files, outputs, result.transforms)):
            status.update(f"writing {k + 1}/{len(files)}")
            fmt, compressed = output_format(out)
            data = render_moved(path, transform, fmt).encode("utf-8")
            if compressed:
                data = gzip.compress(data, mtime=0)
            texts.append((out, data))
        fasta = result.to_fasta()
        if args.fasta is not None:
            texts.append((args.fasta, fasta.encode("utf-8")))
        if args.html is not None:
            from dovelkit.report.document import msa_report

            texts.append((args.html, msa_report(result).html().encode("utf-8")))
        write_files_atomically(texts)
    except Exception:  # an interrupted run keeps the directory it was asked to fill
        remove_empty(created)
        raise
    finally:
        status.close()

    for k in result.unplaced:
        print(f"dovel msa: warning: no superposition of {printable(domains[k].id)} onto {printable(domains[0].id)} was found; "
              f"it keeps its own frame{'' if args.sensitive else ' (try --sensitive)'}", file=sys.stderr)
    stdout = sys.stdout
    ids = [printable(d.id) for d in domains]
    names = [printable(os.path.basename(o)) for o in outputs]
    id_w = max(len("structure"), *(len(i) for i in ids))
    file_w = max(len("file"), *(len(n) for n in names))
    stdout.write(f"{'structure':<{id_w}}  {'file':<{file_w}}  {'length':>6}  {'TM-score':>8}  {'core RMSD':>9}\n")
    for d, i, n, rmsd, tm in zip(domains, ids, names, result.core_rmsd, result.tm_scores):
        shown = number(rmsd, 3)
        stdout.write(f"{i:<{id_w}}  {n:<{file_w}}  {len(d):>6}  {number(tm, 4):>8}  {shown:>9}\n")
    stdout.write(f"\n{len(result.columns)} columns, {result.n_core} core columns, mean TM-score "
                 f"{number(result.mean_tm, 4)} ({result.level} level); "
                 f"{len(outputs)} structures written to {printable(args.output)}\n")
    if args.fasta is not None:
        stdout.write(f"alignment written to {printable(args.fasta)}\n")
    else:
        stdout.write("\n" + fasta)
    failure = result.failure()
    if failure is not None:
        stdout.flush()
        print(f"dovel msa: {failure}", file=sys.stderr)
        return NOT_ALIGNED
    return 0

