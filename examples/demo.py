"""dovel demo: align a family of cytochrome c structures from their PDB files.

Run from this directory (``make demo`` does it after installing the module):

    python3 demo.py

The structures are bundled with the tests (tests/data/families/cytochrome_c),
real Protein Data Bank entries, each in its own deposited coordinate frame.
The demo

1. aligns the family with ``align_pdbs``: every structure is pre-aligned onto
   the first one, the set is aligned column by column, and every input file is
   written with all of its atoms moved into the common frame;
2. prints a summary: the alignment, the C-alpha RMSD of every pair over the
   core columns, and the files written;
3. shows one pairwise alignment and one database scan of the same files.
"""

import os
import sys

import numpy as np

import dovel

HERE = os.path.dirname(os.path.abspath(__file__))
FAMILY_DIR = os.path.join(HERE, "..", "tests", "data", "families", "cytochrome_c")
# Horse cytochrome c in two crystal forms (1hrc, 1crc), yeast iso-1
# cytochrome c (1ycc) and the cytochrome c2 of Blastochloris viridis (1co6).
NAMES = ["1hrc", "1ycc", "1co6", "1crc"]
OUTPUT_DIR = os.path.join(HERE, "output", "cytochrome_c")


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
    files = [os.path.join(FAMILY_DIR, f"{n}.pdb") for n in NAMES]
    missing = [f for f in files if not os.path.exists(f)]
    if missing:
        sys.exit(f"demo data not found: {missing[0]}")
    originals = [dovel.Domain.from_pdb(f) for f in files]

    rule("Input structures (cytochrome c, chain A, C-alpha atoms)")
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

    # 3. One database scan: the first structure against the others.
    rule(f"Database scan: {d1.id} against the other structures")
    if hasattr(dovel, "scan_database"):
        hits = dovel.scan_database(d1, originals[1:])
        if not hits:
            print("  no hits")
        for hit in hits:
            z = "-" if hit.z_score is None else f"{hit.z_score:.2f}"
            print(f"  {hit.rank}. {hit.target_id}  score {hit.score:.3f}  RMSD {hit.rmsd:.2f} A  "
                  f"aligned {hit.n_aligned}  z {z}")
    else:
        print("  (scan_database is not part of this build yet)")


if __name__ == "__main__":
    main()
