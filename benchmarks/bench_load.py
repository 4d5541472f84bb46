"""dovelkit.load against gemmi.read_structure alone, on the same files, side by side.

    PYTHONPATH=build/torva-py:. python3 benchmarks/bench_load.py [--quick]

Files from a few kB to several MB, as PDB and mmCIF, plain and gzip-compressed: bundled entries
and larger assemblies made here by copying the chains of 1BD2 (a five-chain complex) under new
chain names. Each row gives the median wall time of repeated reads, the two readers taking turns, and the ratio load / gemmi
(the goal is at most 1.3).
"""

from __future__ import annotations

import gzip
import os
import statistics
import string
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import gemmi

import dovelkit

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"
GOAL = 1.3


def assembly(copies: int) -> gemmi.Structure:
    """1BD2 with its chains repeated `copies` times under fresh one-letter chain names."""
    src = gemmi.read_structure(str(DATA / "mmcif" / "1BD2.cif.gz"))
    src.remove_ligands_and_waters()
    names = iter(string.ascii_uppercase + string.ascii_lowercase + string.digits)
    st = gemmi.Structure()
    st.name = "big"
    st.cell = src.cell
    st.spacegroup_hm = src.spacegroup_hm
    model = gemmi.Model(1)
    for k in range(copies):
        for chain in src[0]:
            copy = chain.clone()
            copy.name = next(names)
            for residue in copy:
                for atom in residue:
                    atom.pos = gemmi.Position(atom.pos.x + 60.0 * k, atom.pos.y, atom.pos.z)
            model.add_chain(copy)
    st.add_model(model)
    st.setup_entities()
    return st


def make_files(out: Path, quick: bool) -> list[Path]:
    structures = {
        "1ubq": gemmi.read_structure(str(DATA / "1ubq.pdb")),
        "2juy": gemmi.read_structure(str(DATA / "2juy_crlf.pdb")),  # 24 models
        "1bd2": gemmi.read_structure(str(DATA / "mmcif" / "1BD2.cif.gz")),
    }
    if not quick:
        structures["big4"] = assembly(4)
        structures["big12"] = assembly(12)
    files = []
    for name, st in structures.items():
        st.setup_entities()
        pdb = out / f"{name}.pdb"
        st.write_pdb(str(pdb))
        cif = out / f"{name}.cif"
        st.make_mmcif_document().write_file(str(cif))
        for plain in (pdb, cif):
            gz = plain.with_name(plain.name + ".gz")
            gz.write_bytes(gzip.compress(plain.read_bytes(), compresslevel=6))
            files += [plain, gz]
    return files


def paired_medians(first: Callable[[], object], second: Callable[[], object], budget: float) -> tuple[float, float]:
    """Median times of two calls measured alternately, so a change in machine load hits both."""
    times: tuple[list[float], list[float]] = ([], [])
    start = time.perf_counter()
    while len(times[0]) < 5 or (len(times[0]) < 401 and time.perf_counter() - start < budget):
        for fn, out in ((first, times[0]), (second, times[1])):
            t0 = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t0)
    return statistics.median(times[0]), statistics.median(times[1])


def main() -> int:
    quick = "--quick" in sys.argv
    with tempfile.TemporaryDirectory() as tmp:
        files = make_files(Path(tmp), quick)
        print(f"{'file':<14s} {'size':>9s} {'residues':>8s} {'gemmi ms':>9s} {'load ms':>9s} {'ratio':>6s}")
        worst = 0.0
        for path in files:
            domain = dovelkit.load(path)
            name = str(path)
            gemmi_s, load_s = paired_medians(lambda: gemmi.read_structure(name), lambda: dovelkit.load(path), 2.0)
            ratio = load_s / gemmi_s
            worst = max(worst, ratio)
            size = os.path.getsize(path)
            print(f"{path.name:<14s} {size / 1024:8.0f}k {len(domain):>8d} {gemmi_s * 1e3:9.2f} "
                  f"{load_s * 1e3:9.2f} {ratio:6.2f}")
        print(f"worst ratio {worst:.2f} (goal <= {GOAL})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
