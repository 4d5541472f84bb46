"""Complex alignment against US-align's complex mode, side by side in one run.

Pairs: every row of ../shared/data/complexes/pairs.tsv and ../shared/bench/complexes/pairs.tsv
(related, unequal chain counts, unrelated assemblies; read where they are). Each pair is aligned
by ``dovelkit.align_complexes`` (files read and aligned, wall time) and, when the environment
variable USALIGN names a US-align binary, by ``USALIGN file1 file2 -mm 1 -ter 0 -outfmt 2`` (wall
time of the process). Without it the figures recorded in pairs.tsv stand in (marked "tsv").

Columns: TM-score by each assembly (ours, US-align's), chain map agreement, aligned length, RMSD,
wall seconds of both. Each pair is also aligned with the files swapped (the scores must swap and
the map invert) and its TM-scores recomputed from the reported pairs and transform.

Then a summary against the goals, and a synthetic assembly of 20 real chains placed 70 Å apart
against a copy with its chains in another order, moved rigidly, with Gaussian noise (sigma 0.5 Å,
seeded) on every atom: the time of ours (and of US-align on the same two files when it is there).

  USALIGN=/path/to/USalign python3 benchmarks/bench_complex.py [--only data|bench] [--no-swap]
"""

from __future__ import annotations

import argparse
import csv
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dovelkit.alignment.complexes import align_complexes  # noqa: E402


def shared_dir() -> str | None:
    for base in (os.environ.get("DOVEL_SHARED"), os.path.join(ROOT, "..", "shared"),
                 os.path.join(ROOT, "..", "..", "shared")):
        if base and os.path.isdir(base):
            return os.path.abspath(base)
    return None


def d0(length: int) -> float:
    return 0.5 if length <= 21 else 1.24 * (length - 15) ** (1.0 / 3.0) - 1.8


def recomputed(r) -> tuple[float, float]:
    m = np.asarray(r.transform.transformation_matrix())
    fixed = [d.coordinates for d in r.fixed_chains]
    mobile = [d.coordinates for d in r.mobile_chains]
    p = r.pairs.tolist()
    x = np.array([fixed[a][i] for a, i, _, _ in p])
    y = np.array([mobile[b][j] for _, _, b, j in p])
    d2 = ((y @ m[:3, :3].T + m[:3, 3] - x) ** 2).sum(axis=1)
    lf, lm = r.length_fixed, r.length_mobile
    return float((1 / (1 + d2 / d0(lf) ** 2)).sum() / lf), float((1 / (1 + d2 / d0(lm) ** 2)).sum() / lm)


def parse_map(text: str) -> set[tuple[str, str]]:
    if not text or text == "-":
        return set()
    return {tuple(item.split("=", 1)) for item in text.split(";")}  # type: ignore[misc]


def run_usalign(binary: str, f1: str, f2: str) -> dict:
    """US-align's complex alignment of two files: TM1, TM2, RMSD, Lali, chain map, wall time."""
    t = time.perf_counter()
    out = subprocess.run([binary, f1, f2, "-mm", "1", "-ter", "0", "-outfmt", "2"], capture_output=True,
                         text=True, check=True).stdout
    wall = time.perf_counter() - t
    line = [ln for ln in out.splitlines() if ln and not ln.startswith("#")][0].split("\t")

    def chains(field: str, path: str) -> list[str]:
        rest = field[len(path) + 1:] if field.startswith(path + ":") else field.split(":", 1)[1]
        return [tok.split(",", 1)[1] if "," in tok else tok for tok in rest.split(":")]

    c1, c2 = chains(line[0], f1), chains(line[1], f2)
    mapping = {(a, b) for a, b in zip(c1, c2) if a and b}
    return {"tm1": float(line[2]), "tm2": float(line[3]), "rmsd": float(line[4]), "lali": int(line[10]),
            "l1": int(line[8]), "l2": int(line[9]), "map": mapping, "wall": wall, "source": "run"}


def from_tsv(row: dict) -> dict:
    return {"tm1": float(row["tm_by_file1"]), "tm2": float(row["tm_by_file2"]), "rmsd": float(row["rmsd"]),
            "lali": int(row["aligned_length"]), "l1": int(row["L1"]), "l2": int(row["L2"]),
            "map": parse_map(row["chain_map"]),
            "wall": float(row["usalign_wall_s"]), "source": "tsv"}


def synthetic_20(shared: str, rng: np.random.Generator, out_dir: str) -> tuple[str, str]:
    """Two PDB files: 20 real chains 70 Å apart, and a permuted, moved, noisy copy."""
    import gemmi

    sources = ["1ive.pdb", "1mmv.pdb", "1qhi.pdb", "1gzm.pdb", "2p0r.pdb", "3nnt.pdb", "4dfr.pdb",
               "1h1s.pdb", "1f0s.pdb", "1yds.pdb"]
    chains = []
    for name in sources:
        st = gemmi.read_structure(os.path.join(shared, "data", "complexes", name))
        st.remove_ligands_and_waters()
        for ch in st[0]:
            if len(chains) < 20 and len(ch) >= 50:
                chains.append(ch.clone())
    chains = chains[:20]
    ids = "ABCDEFGHIJKLMNOPQRST"

    def build(order, move, noise):
        st = gemmi.Structure()
        model = gemmi.Model("1")
        for k, src in enumerate(order):
            ch = chains[src].clone()
            ch.name = ids[k]
            xyz = np.array([[a.pos.x, a.pos.y, a.pos.z] for r in ch for a in r])
            centre = xyz.mean(axis=0)
            place = np.array([70.0 * (src % 5), 70.0 * (src // 5), 0.0])
            for r in ch:
                for a in r:
                    p = np.array([a.pos.x, a.pos.y, a.pos.z]) - centre + place
                    if move is not None:
                        p = move[0] @ p + move[1] + rng.normal(0, noise, 3)
                    a.pos = gemmi.Position(*p)
            model.add_chain(ch)
        st.add_model(model)
        st.setup_entities()
        return st

    q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    fixed = build(list(range(20)), None, 0.0)
    perm = list(rng.permutation(20))
    mobile = build(perm, (q, np.array([13.0, -40.0, 8.0])), 0.5)
    f1, f2 = os.path.join(out_dir, "assembly20.pdb"), os.path.join(out_dir, "assembly20_moved.pdb")
    fixed.write_pdb(f1)
    mobile.write_pdb(f2)
    return f1, f2


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", choices=("data", "bench"))
    ap.add_argument("--no-swap", action="store_true", help="skip the swapped runs")
    args = ap.parse_args()
    shared = shared_dir()
    if shared is None:
        print("shared data not found beside the project (set DOVEL_SHARED)")
        return 1
    usalign = os.environ.get("USALIGN")
    if usalign and not os.access(usalign, os.X_OK):
        print(f"USALIGN={usalign} is not an executable; using the figures of pairs.tsv")
        usalign = None
    sets = [s for s in ("data", "bench") if args.only in (None, s)]
    rows = []
    for s in sets:
        folder = os.path.join(shared, s, "complexes")
        with open(os.path.join(folder, "pairs.tsv"), newline="") as fh:
            rows += [(folder, row) for row in csv.DictReader(fh, delimiter="\t")]

    print(f"{'file1':17s} {'file2':17s} {'relation':9s} {'TM1 ours':>8s} {'US':>6s} {'TM2 ours':>8s} {'US':>6s} "
          f"{'map':>4s} {'Lali':>5s} {'US':>5s} {'RMSD':>5s} {'US':>5s} {'s ours':>6s} {'s US':>6s}  swap recomp")
    results = []
    for folder, row in rows:
        f1, f2 = os.path.join(folder, row["file1"]), os.path.join(folder, row["file2"])
        t = time.perf_counter()
        r = align_complexes(f1, f2)
        wall = time.perf_counter() - t
        us = run_usalign(usalign, f1, f2) if usalign else from_tsv(row)
        # US-align's scores over our residue counts (its TM-score sums divided by the lengths we read):
        # the files hold a few residues one reader takes and the other does not (modified amino acids
        # written as HETATM, short peptides).
        us["tm1_adj"] = us["tm1"] * us["l1"] / r.length_fixed
        us["tm2_adj"] = us["tm2"] * us["l2"] / r.length_mobile
        ours_map = set(r.chain_map)
        same_map = ours_map == us["map"]
        swap_ok = True
        if not args.no_swap:
            s = align_complexes(f2, f1)
            swap_ok = ((s.tm_fixed, s.tm_mobile) == (r.tm_mobile, r.tm_fixed)
                       and set(s.chain_map) == {(m, f) for f, m in r.chain_map}
                       and s.unmatched_fixed == r.unmatched_mobile and s.unmatched_mobile == r.unmatched_fixed)
        rf, rm = recomputed(r)
        recomp = max(abs(rf - r.tm_fixed), abs(rm - r.tm_mobile))
        results.append({"row": row, "r": r, "us": us, "wall": wall, "same_map": same_map, "swap": swap_ok,
                        "recomp": recomp})
        print(f"{row['file1'][:17]:17s} {row['file2'][:17]:17s} {row['relation']:9s} {r.tm_fixed:8.4f} "
              f"{us['tm1']:6.4f} {r.tm_mobile:8.4f} {us['tm2']:6.4f} {'=' if same_map else 'diff':>4s} "
              f"{r.n_aligned:5d} {us['lali']:5d} {r.rmsd:5.2f} {us['rmsd']:5.2f} {wall:6.2f} {us['wall']:6.2f}  "
              f"{'ok' if swap_ok else 'FAIL':4s} {recomp:.1e}", flush=True)
        if (us["l1"], us["l2"]) != (r.length_fixed, r.length_mobile):
            print(f"    lengths ours {r.length_fixed}/{r.length_mobile}, US-align {us['l1']}/{us['l2']}: its TM-scores "
                  f"over our lengths {us['tm1_adj']:.4f}/{us['tm2_adj']:.4f}")
        if not same_map:
            print(f"    map ours {sorted(ours_map)}  US {sorted(us['map'])}; unmatched ours "
                  f"{list(r.unmatched_fixed)} / {list(r.unmatched_mobile)}")

    print()
    related = [x for x in results if x["row"]["relation"] == "related"]
    for suffix, label in (("", "as reported"), ("_adj", "over our residue counts")):
        within = [x for x in related if x["r"].tm_fixed >= x["us"]["tm1" + suffix] - 0.01
                  and x["r"].tm_mobile >= x["us"]["tm2" + suffix] - 0.01]
        print(f"related pairs: {len(related)}; TM by each assembly >= US-align's ({label}) - 0.01: {len(within)} "
              f"({100 * len(within) / max(1, len(related)):.0f} %, goal 95 %)")
        for key, name in (("tm1", "fixed"), ("tm2", "mobile")):
            ours = np.mean([x["r"].tm_fixed if key == "tm1" else x["r"].tm_mobile for x in related])
            theirs = np.mean([x["us"][key + suffix] for x in related])
            print(f"  mean TM by the {name} assembly: ours {ours:.4f}, US-align {theirs:.4f} (goal: ours >= US-align)")
    high = [x for x in results if max(x["us"]["tm1"], x["us"]["tm2"]) >= 0.5]
    agree = [x for x in high if x["same_map"]]

    def higher(x: dict) -> bool:
        return x["r"].tm_fixed + x["r"].tm_mobile > x["us"]["tm1_adj"] + x["us"]["tm2_adj"]

    better = [x for x in high if not x["same_map"] and higher(x)]
    tied = [x for x in high if not x["same_map"] and x not in better
            and abs(x["r"].tm_fixed - x["us"]["tm1_adj"]) < 5e-4 and abs(x["r"].tm_mobile - x["us"]["tm2_adj"]) < 5e-4]
    print(f"pairs where US-align's TM >= 0.5: {len(high)}; same chain map {len(agree)}, another map with a higher "
          f"complex TM-score (over our residue counts) {len(better)}, another map of the same TM-score (equivalent "
          f"chains) {len(tied)}, other {len(high) - len(agree) - len(better) - len(tied)}")
    for x in high:
        if not x["same_map"] and x not in better and x not in tied:
            print(f"    {x['row']['file1']} {x['row']['file2']}: ours {x['r'].tm_fixed:.4f}/{x['r'].tm_mobile:.4f} "
                  f"US {x['us']['tm1']:.4f}/{x['us']['tm2']:.4f}")
    if not args.no_swap:
        print(f"swapped files give swapped scores and the inverted map: {sum(x['swap'] for x in results)} of "
              f"{len(results)}")
    print(f"largest difference of a TM-score recomputed from pairs and transform: "
          f"{max(x['recomp'] for x in results):.1e}")
    ours_t = sum(x["wall"] for x in results)
    us_t = sum(x["us"]["wall"] for x in results)
    ratios = [x["wall"] / x["us"]["wall"] for x in results if x["us"]["wall"] > 0]
    src = "measured in this run" if usalign else "from pairs.tsv"
    print(f"wall time, all pairs: ours {ours_t:.1f} s, US-align {us_t:.1f} s ({src}); ratio {ours_t / us_t:.3f} "
          f"(goal <= 0.5); per pair median {np.median(ratios):.3f}, largest {max(ratios):.3f}")
    others = [x for x in results if x["row"]["relation"] != "related"]
    print(f"unequal and unrelated pairs: {len(others)}, all with a result; unmatched chains named in "
          f"{sum(bool(x['r'].unmatched_fixed or x['r'].unmatched_mobile) for x in others)}")

    with tempfile.TemporaryDirectory() as tmp:
        rng = np.random.default_rng(20)
        f1, f2 = synthetic_20(shared, rng, tmp)
        t = time.perf_counter()
        r = align_complexes(f1, f2)
        wall = time.perf_counter() - t
        print(f"20 chains against 20 (permuted, moved, noise 0.5 A): {wall:.2f} s, TM {r.tm_fixed:.4f}/"
              f"{r.tm_mobile:.4f}, {len(r.chain_map)} chains mapped, RMSD {r.rmsd:.2f}", end="")
        if usalign:
            u = run_usalign(usalign, f1, f2)
            same = u["map"] == set(r.chain_map)
            print(f"; US-align {u['wall']:.2f} s, TM {u['tm1']:.4f}/{u['tm2']:.4f}, same map: {same}")
        else:
            print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
