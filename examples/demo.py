"""dovel demo: align two structures of one protein from their PDB files.

Run from this directory (``make demo`` does it after installing the module):

    python3 demo.py

The structures are bundled in examples/data: CsdE of E. coli solved twice, by X-ray (5eep) and
by NMR (1ni7, model 1), real Protein Data Bank entries (the examples of Debian's tm-align
package), each in its own deposited coordinate frame.
The demo

1. aligns the structures with ``align_pdbs``: every structure is pre-aligned onto
   the first one, the set is aligned column by column, and every input file is
   written with all of its atoms moved into the common frame;
2. prints a summary: the alignment, the C-alpha RMSD of every pair over the
   core columns, and the files written;
3. shows one pairwise alignment of the same files.
"""

import gzip
import os
import shutil
import sys

import numpy as np

import dovel

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(HERE, "data")
# CsdE by X-ray (5eep, chain A) and by NMR (1ni7); the module reads plain PDB text, so the
# bundled gzip files are unpacked into the output folder first.
NAMES = ["5eep", "1ni7"]
OUTPUT_DIR = os.path.join(HERE, "output", "csde")


def rule(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def alignment_rows(
    result: dovel.MultipleAlignmentResult, domains: list[dovel.Domain], width: int = 70
) -> list[str]:
    """The first `width` columns as one-letter rows, gaps as '-', core marked '*'."""
    core = set(result.core_positions)
    cols = result.columns[:width]
    rows = []
    for s, d in enumerate(domains):
        seq = d.sequence
        rows.append(f"{d.id:>6}  " + "".join("-" if (k := c[s]) is None else seq[k] for c in cols))
    rows.append(" " * 8 + "".join("*" if k in core else " " for k in range(len(cols))))
    return rows


def core_rows(core_cols: list[list[int | None]], s: int) -> list[int]:
    """Residue indexes of structure `s` in the core columns (where no structure has a gap)."""
    return [r for r in (c[s] for c in core_cols) if r is not None]


def main() -> None:
    sources = [os.path.join(DATA_DIR, f"{n}.pdb.gz") for n in NAMES]
    missing = [f for f in sources if not os.path.exists(f)]
    if missing:
        sys.exit(f"demo data not found: {missing[0]}")
    os.makedirs(OUTPUT_DIR, exist_ok=True)
    files = []
    for n, src in zip(NAMES, sources):
        files.append(os.path.join(OUTPUT_DIR, f"{n}.pdb"))
        with gzip.open(src, "rb") as fin, open(files[-1], "wb") as fout:
            shutil.copyfileobj(fin, fout)
    originals = [dovel.Domain.from_pdb(f) for f in files]

    rule("Input structures (CsdE, first chain, C-alpha atoms)")
    for d in originals:
        c = d.coordinates.mean(axis=0)
        print(f"  {d.id}  {len(d):4d} residues   centroid ({c[0]:7.2f}, {c[1]:7.2f}, {c[2]:7.2f})")

    # 1. The whole pipeline in one call.
    result = dovel.align_pdbs(files, OUTPUT_DIR)

    rule("Multiple alignment (align_pdbs)")
    print(f"  {result!r}")
    print(f"  {result.n_core} core columns (every structure present) out of {result.n_columns}; "
          f"score {result.score:.3f}")
    print(f"  mean pairwise RMSD of the all-against-all alignments: {result.avg_rmsd:.2f} A")
    print()
    for row in alignment_rows(result, originals):
        print("  " + row)
    print(f"  (first 70 of {result.n_columns} columns; * = core)")

    # The written files share one frame: read them back and compare the core.
    stems = [os.path.splitext(os.path.basename(f))[0] for f in files]
    written = [os.path.join(OUTPUT_DIR, f"aligned_{s}.pdb") for s in stems]
    aligned = [dovel.Domain.from_pdb(w) for w in written]
    core_cols = [result.columns[c] for c in result.core_positions]
    rule("C-alpha RMSD over the core columns, read back from the written files (A)")
    print("        " + "".join(f"{s:>8}" for s in stems))
    for i, di in enumerate(aligned):
        cells = []
        for j, dj in enumerate(aligned):
            a = di.coordinates[core_rows(core_cols, i)]
            b = dj.coordinates[core_rows(core_cols, j)]
            cells.append(f"{dovel.compute_rmsd(a, b):8.2f}")
        print(f"  {stems[i]:>6}" + "".join(cells))

    rule("Files written")
    for w, t in zip(written, result.full_transforms):
        moved = np.linalg.norm(t.translation)
        note = "reference, unmoved" if np.allclose(t.rotation, np.eye(3)) and moved == 0 else \
            f"moved (translation length {moved:.1f} A)"
        print(f"  {os.path.relpath(w, HERE)}  [{note}]")

    # 2. One pairwise alignment of two of the original files, in scan mode
    # because they lie in unrelated frames.
    d1, d2 = originals[0], originals[1]
    pair = dovel.pairwise_align(d1, d2, scan_mode=True)
    rule(f"Pairwise alignment {d1.id} / {d2.id} (scan mode)")
    print(f"  {pair!r}")
    print(f"  {pair.n_aligned} aligned pairs, RMSD {pair.rmsd:.2f} A, "
          f"sequence identity {100 * pair.seq_identity:.0f}%")
    print(f"  transform moving {d2.id} onto {d1.id}: {pair.transform!r}")


if __name__ == "__main__":
    main()
