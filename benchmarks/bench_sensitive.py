"""Family-level search benchmark: the default and sensitive presets against TM-align.

Every member of a family searches all other chains of the set (the other
members, the members of the other families and unrelated chains, each in its
deposited coordinate frame).  Per query the figure is the sensitivity up to the
first false positive: the fraction of its family ranked strictly above the
best-scoring chain of any other family.  The module ranks by its score
(scan_database in scan mode); TM-align (tmtools, in this process) ranks by the
TM-score normalised by the query.  Both run on the same C-alpha traces and
sequences and are timed over the same targets.

    python3 benchmarks/bench_sensitive.py                  # the benchmark, writes benchmarks/sensitive/
    python3 benchmarks/bench_sensitive.py --sweep          # the parameter sweep on the training families
    python3 benchmarks/bench_sensitive.py --quick          # no files written, presets only

The families are split in two by their order in families.tsv: the first,
third and fifth (cytochrome_c, microbial_ribonuclease, carbonic_anhydrase)
train the setting (the sweep reads only their queries), the others
(thioredoxin, cytochrome_cprime_b562) and the serine proteases added here
from mmCIF validate it.
"""
import argparse
import csv
import itertools
import os
import sys
import time

import numpy as np

import dovel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from dovelkit.presets import parameters  # noqa: E402

DATA = os.path.join(ROOT, "tests", "data")
FAMILIES = os.path.join(DATA, "families")
MMCIF = os.environ.get("DOVEL_MMCIF_DIR", "/work/shared/data/mmcif")
OUT = os.path.join(ROOT, "benchmarks", "sensitive")

TRAIN = ("cytochrome_c", "microbial_ribonuclease", "carbonic_anhydrase")
VALIDATE = ("thioredoxin", "cytochrome_cprime_b562", "serine_protease")

# Chains added to the bundled families: (family, path, chain, id).  Unrelated
# chains are single members of a class of their own ("unrelated"): any score
# they get against a family member is a false positive.
EXTRA_PDB = [
    ("unrelated", os.path.join(DATA, "1o1z.pdb"), "A", "1o1z"),   # TIM barrel
    ("unrelated", os.path.join(DATA, "1ubq.pdb"), "A", "1ubq"),   # ubiquitin
    ("unrelated", os.path.join(DATA, "1k6p.pdb"), "A", "1k6p"),   # retroviral protease
    ("unrelated", os.path.join(DATA, "1a8o.pdb"), "A", "1a8o"),   # capsid C-terminal domain, all alpha
    ("unrelated", os.path.join(DATA, "1orc.pdb"), "A", "1orc"),   # Cro repressor
]
EXTRA_CIF = [
    ("serine_protease", "1GBT.cif", "A", "1gbt"),        # trypsin
    ("serine_protease", "4ZHL.cif", "U", "4zhl"),        # urokinase catalytic domain
    ("unrelated", "5PTI.cif.gz", "A", "5pti"),           # trypsin inhibitor (Kunitz)
    ("unrelated", "2OFG.cif", "X", "2ofg"),              # heavy-metal-associated domain
    ("unrelated", "1BD2.cif.gz", "A", "1bd2A"),          # MHC class I heavy chain
    ("unrelated", "1BD2.cif.gz", "B", "1bd2B"),          # beta-2-microglobulin
]


class Chain:
    def __init__(self, family, domain):
        self.family = family
        self.domain = domain
        self.id = domain.id
        self.coords = np.ascontiguousarray(domain.coordinates, dtype=np.float64)
        self.seq = domain.sequence


def read_cif_chain(path, chain, ident):
    """C-alpha trace of one chain of an mmCIF file (first model, first conformer)."""
    import gemmi

    st = gemmi.read_structure(path)
    st.remove_alternative_conformations()
    coords, seq = [], []
    for res in st[0][chain].get_polymer():
        ca = res.find_atom("CA", "*")
        info = gemmi.find_tabulated_residue(res.name)
        if ca is None or info is None or not info.is_amino_acid():
            continue
        coords.append(ca.pos.tolist())
        code = info.one_letter_code.upper()
        seq.append(code if code.isalpha() and code != "?" else "X")
    return dovel.Domain.from_arrays(ident, np.array(coords, dtype=np.float64), "".join(seq), chain)


def load_set(with_mmcif=True):
    chains = []
    with open(os.path.join(FAMILIES, "families.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            chains.append(Chain(row["family"], dovel.Domain.from_pdb(os.path.join(FAMILIES, row["file"]), row["chain"])))
    for family, path, chain, ident in EXTRA_PDB:
        chains.append(Chain(family, dovel.Domain.from_pdb(path, chain)))
    if with_mmcif and os.path.isdir(MMCIF):
        for family, name, chain, ident in EXTRA_CIF:
            chains.append(Chain(family, read_cif_chain(os.path.join(MMCIF, name), chain, ident)))
    return chains


def queries_of(chains, families=None):
    return [c for c in chains if c.family != "unrelated" and (families is None or c.family in families)]


# ---------------------------------------------------------------- searches

def search_dovel(params, queries, chains, score_cutoff=0.0):
    """Scores {(query id, target id): (score, rmsd, n_aligned)} and seconds per query."""
    scores, seconds = {}, {}
    for q in queries:
        targets = [c.domain for c in chains if c is not q]
        t0 = time.perf_counter()
        hits = dovel.scan_database(q.domain, targets, params, score_cutoff=score_cutoff,
                                   max_hits=len(targets), quick=False, scan_mode=True)
        seconds[q.id] = time.perf_counter() - t0
        for h in hits:
            scores[(q.id, h.target_id)] = (h.score, h.rmsd, h.n_aligned)
    return scores, seconds


def search_tmalign(queries, chains):
    """TM-scores normalised by the query {(query id, target id): (tm, rmsd, n_aligned)}, seconds per query."""
    import tmtools

    scores, seconds = {}, {}
    for q in queries:
        t0 = time.perf_counter()
        for c in chains:
            if c is q:
                continue
            r = tmtools.tm_align(q.coords, c.coords, q.seq, c.seq)
            n_aligned = sum(1 for a, b in zip(r.seqxA, r.seqyA) if a != "-" and b != "-")
            scores[(q.id, c.id)] = (r.tm_norm_chain1, r.rmsd, n_aligned)
        seconds[q.id] = time.perf_counter() - t0
    return scores, seconds


# ---------------------------------------------------------------- figures

def sensitivity_to_first_fp(scores, queries, chains):
    """Per query: (members found, members) ranked strictly above the best other-family chain.

    A chain the search did not report, or reported with score 0 (no alignment),
    is never found."""
    out = {}
    for q in queries:
        members, best_fp = [], 0.0
        for c in chains:
            if c is q:
                continue
            s = scores.get((q.id, c.id), (0.0,))[0]
            if c.family == q.family:
                members.append(s)
            else:
                best_fp = max(best_fp, s)
        out[q.id] = (sum(1 for s in members if s > best_fp), len(members), best_fp)
    return out


def summarise(sens, queries):
    """Mean per-query fraction and pooled counts (found, total)."""
    per = [sens[q.id][0] / sens[q.id][1] for q in queries]
    found = sum(sens[q.id][0] for q in queries)
    total = sum(sens[q.id][1] for q in queries)
    return (sum(per) / len(per) if per else float("nan")), found, total


def separation(scores, queries, chains, sens):
    """Lowest score of a homologue found before its query's first false positive, and the
    highest score of any pair of different families over the same queries."""
    fam = {c.id: c.family for c in chains}
    lowest_found, highest_cross = float("inf"), 0.0
    for q in queries:
        best_fp = sens[q.id][2]
        for c in chains:
            if c is q:
                continue
            s = scores.get((q.id, c.id), (0.0,))[0]
            if fam[c.id] == q.family:
                if s > best_fp:
                    lowest_found = min(lowest_found, s)
            else:
                highest_cross = max(highest_cross, s)
    return lowest_found, highest_cross


def relative_to_tmalign(sens, tm_sens, queries):
    """Homologues both find / homologues TM-align finds (pooled), per query restricted to TM-align's finds."""
    # Found sets are not stored in sens; recomputed by the caller where needed.
    a = sum(min(sens[q.id][0], tm_sens[q.id][0]) for q in queries)
    b = sum(tm_sens[q.id][0] for q in queries)
    return a / b if b else float("nan")


def found_sets(scores, queries, chains):
    out = {}
    for q in queries:
        best_fp = max([scores.get((q.id, c.id), (0.0,))[0] for c in chains
                       if c is not q and c.family != q.family] + [0.0])
        out[q.id] = {c.id for c in chains if c is not q and c.family == q.family
                     and scores.get((q.id, c.id), (0.0,))[0] > best_fp}
    return out


def recall_of_tmalign(scores, tm_scores, queries, chains):
    """Fraction of the (query, homologue) pairs TM-align finds before its first false positive
    that the search also finds before its own."""
    mine, ref = found_sets(scores, queries, chains), found_sets(tm_scores, queries, chains)
    both = sum(len(mine[q.id] & ref[q.id]) for q in queries)
    total = sum(len(ref[q.id]) for q in queries)
    return both / total if total else float("nan"), both, total


def report(name, scores, seconds, queries, chains, tm_scores=None):
    sens = sensitivity_to_first_fp(scores, queries, chains)
    mean, found, total = summarise(sens, queries)
    lo, hi = separation(scores, queries, chains, sens)
    t = sum(seconds[q.id] for q in queries)
    line = f"{name:28s} mean {mean:6.3f}  pairs {found:3d}/{total:<3d}  lowest found {lo:7.4f}  top cross {hi:7.4f}  {t:7.2f} s"
    if tm_scores is not None:
        r, both, ref = recall_of_tmalign(scores, tm_scores, queries, chains)
        line += f"  of TM-align's {both}/{ref} ({r:.3f})"
    return line, dict(mean=mean, found=found, total=total, lowest_found=lo, top_cross=hi, seconds=t)


# ---------------------------------------------------------------- sweep

def sweep(chains, tm_scores):
    train = queries_of(chains, TRAIN)
    grid = []
    for e1 in (2.0, 2.5, 3.0, 3.5, 4.0):
        for cutoff in (10.0, 8.0, 6.0):
            for n_passes in (2, 1):
                grid.append(dict(e1=e1, cutoff_dist=cutoff, n_passes=n_passes))
    for setting in grid:
        p = dovel.Parameters()
        for k, v in setting.items():
            setattr(p, k, v)
        scores, seconds = search_dovel(p, train, chains)
        line, _ = report(" ".join(f"{k}={v}" for k, v in setting.items()), scores, seconds, train, chains, tm_scores)
        print(line, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sweep", action="store_true")
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()

    chains = load_set()
    queries = queries_of(chains)
    print(f"{len(chains)} chains, {len(queries)} queries in "
          f"{len({q.family for q in queries})} families, {len(chains) - len(queries)} unrelated")
    tm_scores, tm_seconds = search_tmalign(queries, chains)
    if args.sweep:
        sweep(chains, tm_scores)
        return
    runs = {"TM-align (tmtools)": (tm_scores, tm_seconds)}
    for preset in ("default", "sensitive"):
        runs[preset] = search_dovel(parameters(preset), queries, chains)
    for label, subset in (("training", TRAIN), ("validation", VALIDATE), ("all", None)):
        qs = queries_of(chains, subset)
        print(f"-- {label} queries ({len(qs)})")
        for name, (scores, seconds) in runs.items():
            print(report(name, scores, seconds, qs, chains, None if name.startswith("TM") else tm_scores)[0])


if __name__ == "__main__":
    main()
