"""Timing of the whole-file pipeline align_pdbs.

Cases:
  family     the bundled cytochrome c files of the demo (4 structures, 104-107 residues)
  mixed16    16 bundled structures of 100-260 residues from five families
  variants12 12 moved, jittered and trimmed copies of carbonic anhydrase 1azm (~240 residues)

The all-against-all pairwise table costs N(N-1)/2 engine alignments and
dominates; the per-structure scan pre-alignment costs N-1 scans. Each case is
run a few times and the median wall time is printed, with the time of the
multiple alignment alone (multiple_align on the pre-aligned files) beside it.

With --mustang it instead compares the fold-mode multiple alignment of dovelkit (dovelkit.msa,
mode="fold") with MUSTANG (the Debian `mustang` binary) on each bundled family of
../shared/data/families, side by side in one run: number of columns, core columns (every structure
present) and core RMSD. The core RMSD is measured the same way for both alignments: for every pair
of structures, the C-alpha RMSD over the core columns after their least-squares superposition,
averaged over the pairs (MUSTANG's own RMSD line is printed beside it). Both programs read the same
C-alpha traces (each chain written out alone, as MUSTANG takes one chain per file).

With --shared the families are those of ../shared/bench/entries and ../shared/data/families instead
(read where they are; the groups of unrelated chains are left out); --cache DIR keeps MUSTANG's result
of each family there, so that it runs once per family.

Usage: PYTHONPATH=build/torva-py python3 benchmarks/bench_msa.py [repeats]
       PYTHONPATH=build/torva-py python3 benchmarks/bench_msa.py --mustang [--write docs/fold_msa.tsv]
       PYTHONPATH=build/torva-py:. python3 benchmarks/bench_msa.py --mustang --shared [--cache DIR]
"""

import csv
import re
import subprocess

import os
import statistics
import sys
import tempfile
import time

import numpy as np

import dovel

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FAM = os.path.join(os.path.dirname(ROOT), "shared", "data", "families")


def fam(*names):
    return [os.path.join(FAM, n + ".pdb") for n in names]


def write_variant(src, dst, rng, cut):
    """Copy of `src` with every atom rotated and shifted, jittered, and residues cut[0]..cut[1] dropped."""
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q @ np.diag(np.sign(np.diag(r)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    shift = rng.uniform(-50, 50, size=3)
    with open(src) as fh, open(dst, "w") as out:
        for line in fh:
            if line.startswith(("ATOM  ", "HETATM")):
                try:
                    resseq = int(line[22:26])
                except ValueError:
                    resseq = None
                if resseq is not None and cut[0] <= resseq < cut[1]:
                    continue
                x = np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])])
                y = q @ x + shift + rng.normal(scale=0.4, size=3)
                line = f"{line[:30]}{y[0]:8.3f}{y[1]:8.3f}{y[2]:8.3f}{line[54:]}"
            out.write(line)


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


THREE = dict(A="ALA", R="ARG", N="ASN", D="ASP", C="CYS", Q="GLN", E="GLU", G="GLY", H="HIS", I="ILE",
             L="LEU", K="LYS", M="MET", F="PHE", P="PRO", S="SER", T="THR", W="TRP", Y="TYR", V="VAL")


def write_trace(domain, path):
    """The C-alpha trace of ``domain`` as a one-chain PDB file (unknown residues as glycine)."""
    with open(path, "w") as out:
        for k, (xyz, aa) in enumerate(zip(domain.coordinates, domain.sequence)):
            out.write(f"ATOM  {k + 1:5d}  CA  {THREE.get(aa, 'GLY')} A{k + 1:4d}    "
                      f"{xyz[0]:8.3f}{xyz[1]:8.3f}{xyz[2]:8.3f}  1.00  0.00           C\n")
        out.write("TER\nEND\n")


def kabsch_rmsd(a, b):
    a = a - a.mean(axis=0)
    b = b - b.mean(axis=0)
    u, sv, vt = np.linalg.svd(b.T @ a)
    d = np.sign(np.linalg.det(u @ vt))
    e = (a * a).sum() + (b * b).sum() - 2 * (sv[0] + sv[1] + d * sv[2])
    return float(np.sqrt(max(e, 0.0) / len(a)))


def core_rmsd(domains, columns):
    """Columns: one list per column of residue indices (None for a gap). The mean pairwise RMSD over
    the core columns, each pair superposed on its own."""
    core = [c for c in columns if all(x is not None for x in c)]
    if len(core) < 3:
        return len(core), float("nan")
    idx = np.array(core, dtype=np.int64)
    coords = [d.coordinates[idx[:, k]] for k, d in enumerate(domains)]
    n = len(domains)
    return len(core), float(np.mean([kabsch_rmsd(coords[i], coords[j]) for i in range(n) for j in range(i + 1, n)]))


def mustang(domains, tmp, name):
    """MUSTANG's columns (from its FASTA output) and the RMSD it prints."""
    files = []
    for k, d in enumerate(domains):
        path = os.path.join(tmp, f"{name}_{k}.pdb")
        write_trace(d, path)
        files.append(path)
    prefix = os.path.join(tmp, name)
    t0 = time.perf_counter()
    run = subprocess.run(["mustang", "-i", *files, "-o", prefix, "-F", "fasta", "-r", "ON"], capture_output=True, text=True,
                         cwd=tmp)
    seconds = time.perf_counter() - t0
    if run.returncode != 0:
        raise RuntimeError(f"mustang failed on {name}: {run.stdout[-500:]}{run.stderr[-500:]}")
    rows, cur = [], None
    with open(prefix + ".afasta") as fh:
        for line in fh:
            line = line.strip()
            if line.startswith(">"):
                cur = []
                rows.append(cur)
            elif line:
                cur.append(line)
    rows = ["".join(r) for r in rows]
    counters = [0] * len(rows)
    columns = []
    for c in range(len(rows[0])):
        col = []
        for k, r in enumerate(rows):
            if r[c] == "-":
                col.append(None)
            else:
                col.append(counters[k])
                counters[k] += 1
        columns.append(col)
    for k, d in enumerate(domains):
        if counters[k] != len(d):
            raise RuntimeError(f"mustang read {counters[k]} residues of {d.id}, not {len(d)}")
    # Its own figure: the mean of the pairwise RMSD matrix it writes (one decimal).
    values = []
    with open(prefix + ".rms_rot") as fh:
        for line in fh:
            m = re.match(r"\s*(\d+)\|(.*)", line)
            if m:
                i = int(m.group(1))
                cells = m.group(2).split()
                values.extend(float(v) for j, v in enumerate(cells, start=1) if j > i)
    return columns, float(np.mean(values)) if values else float("nan"), seconds


def shared_sets():
    """The families of ../shared/bench/entries and ../shared/data/families (from the project's root, or
    a folder above it for a worktree), as {name: folder}; those absent are left out."""
    here = os.path.abspath(ROOT)
    for _ in range(4):
        up = os.path.dirname(here)
        found = {name: os.path.join(up, "shared", *parts) for name, parts in
                 (("entries", ("bench", "entries")), ("data", ("data", "families")))}
        found = {k: v for k, v in found.items() if os.path.isfile(os.path.join(v, "families.tsv"))}
        if found:
            return found
        here = up
    return {}


def family_groups(folder, prefix=""):
    import dovelkit

    groups = {}
    with open(os.path.join(folder, "families.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            if row["family"] in ("unrelated", "unrelated_small", "large_unrelated"):
                continue  # no homologues to align (MUSTANG also fails on unrelated_small)
            groups.setdefault(prefix + row["family"], []).append(
                dovelkit.load(os.path.join(folder, row["file"]), chain=row["chain"]))
    return groups


def cached_mustang(domains, tmp, name, cache):
    """mustang(), its result kept in `cache` (a folder) by family and members: it is slow."""
    import json

    if cache is None:
        return mustang(domains, tmp, name)
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, name + ".json")
    members = [f"{d.id}:{len(d)}" for d in domains]
    if os.path.exists(path):
        with open(path) as fh:
            got = json.load(fh)
        if got["members"] == members:
            return got["columns"], got["own_rmsd"], got["seconds"]
    columns, own, seconds = mustang(domains, tmp, name)
    with open(path, "w") as fh:
        json.dump({"members": members, "columns": columns, "own_rmsd": own, "seconds": seconds}, fh)
    return columns, own, seconds


def versus_mustang(write, shared=False, cache=None):
    sys.path.insert(0, ROOT)
    import dovelkit

    if shared:
        groups = {}
        for name, folder in shared_sets().items():
            groups.update(family_groups(folder, "" if name == "entries" else "data/"))
    else:
        groups = family_groups(FAM)
    rows = []
    header = (f"{'family':<24}{'N':>3}{'columns':>9}{'MUSTANG':>9}{'ratio':>7}{'core':>6}{'MUSTANG':>9}"
              f"{'core RMSD':>11}{'MUSTANG':>9}{'(own)':>7}{'mean TM':>9}{'s':>7}{'MUSTANG s':>11}")
    print(header)
    with tempfile.TemporaryDirectory() as tmp:
        for family, domains in groups.items():
            t0 = time.perf_counter()
            m = dovelkit.msa(domains, level="fold")
            seconds = time.perf_counter() - t0
            n_core, rmsd = core_rmsd(domains, m.columns)
            mcols, m_own, m_seconds = cached_mustang(domains, tmp, family.replace("/", "_"), cache)
            m_core, m_rmsd = core_rmsd(domains, mcols)
            row = dict(family=family, n=len(domains), columns=len(m.columns), mustang_columns=len(mcols),
                       ratio=len(m.columns) / len(mcols), core=n_core, mustang_core=m_core, core_rmsd=rmsd,
                       mustang_core_rmsd=m_rmsd, mustang_own_rmsd=m_own, mean_tm=m.mean_tm, seconds=seconds,
                       mustang_seconds=m_seconds)
            rows.append(row)
            print(f"{family:<24}{row['n']:>3}{row['columns']:>9}{row['mustang_columns']:>9}{row['ratio']:>7.3f}"
                  f"{n_core:>6}{m_core:>9}{rmsd:>11.3f}{m_rmsd:>9.3f}{m_own:>7.2f}{m.mean_tm:>9.3f}"
                  f"{seconds:>7.2f}{m_seconds:>11.2f}")
    if write:
        with open(write, "w", newline="") as fh:
            w = csv.DictWriter(fh, fieldnames=list(rows[0]), delimiter="\t", lineterminator="\n")
            w.writeheader()
            for r in rows:
                w.writerow({k: f"{v:.4f}" if isinstance(v, float) else v for k, v in r.items()})


def main():
    if "--mustang" in sys.argv:
        write = sys.argv[sys.argv.index("--write") + 1] if "--write" in sys.argv else None
        cache = sys.argv[sys.argv.index("--cache") + 1] if "--cache" in sys.argv else None
        versus_mustang(write, "--shared" in sys.argv, cache)
        return
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as tmp:
        rng = np.random.default_rng(2024)
        src = os.path.join(FAM, "carbonic_anhydrase", "1azm.pdb")
        variants = []
        for k in range(12):
            dst = os.path.join(tmp, f"ca_variant{k:02d}.pdb")
            start = int(rng.integers(20, 220))
            write_variant(src, dst, rng, (start, start + int(rng.integers(0, 12))))
            variants.append(dst)
        cases = {
            "family": fam("cytochrome_c/1hrc", "cytochrome_c/1ycc", "cytochrome_c/1co6", "cytochrome_c/1crc"),
            "mixed16": fam("cytochrome_c/1hrc", "cytochrome_c/1ycc", "cytochrome_c/1co6", "cytochrome_c/1c2r",
                           "thioredoxin/2trx", "thioredoxin/1ert", "thioredoxin/3trx", "thioredoxin/1dsb",
                           "cytochrome_cprime_b562/1a7v", "cytochrome_cprime_b562/2ccy",
                           "cytochrome_cprime_b562/1rcp", "cytochrome_cprime_b562/256b",
                           "microbial_ribonuclease/1bni", "microbial_ribonuclease/9rnt",
                           "carbonic_anhydrase/1azm", "carbonic_anhydrase/1oq5"),
            "variants12": variants,
        }
        print(f"{'case':<11}{'N':>3}{'residues':>10}{'pairs':>6}{'align_pdbs s':>14}{'multiple_align s':>18}"
              f"{'per pair ms':>13}{'columns':>9}{'core':>6}")
        for name, files in cases.items():
            out = os.path.join(tmp, "out_" + name)
            t_all, result = timed(lambda: dovel.align_pdbs(files, out), repeats)
            stems = [os.path.splitext(os.path.basename(f))[0] for f in files]
            aligned = [dovel.Domain.from_pdb(os.path.join(out, f"aligned_{s}.pdb")) for s in stems]
            t_msa, _ = timed(lambda: dovel.multiple_align(aligned), repeats)
            n = len(files)
            pairs = n * (n - 1) // 2
            sizes = [len(d) for d in aligned]
            print(f"{name:<11}{n:>3}{f'{min(sizes)}-{max(sizes)}':>10}{pairs:>6}{t_all:>14.3f}{t_msa:>18.3f}"
                  f"{1000 * t_msa / pairs:>13.1f}{result.n_columns:>9}{result.n_core:>6}")


if __name__ == "__main__":
    main()
