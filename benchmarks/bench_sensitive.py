"""Search benchmark: fold mode and the family method's default and sensitive presets against TM-align.

Every member of a family searches all other chains of the set (the other
members, the members of the other families and unrelated chains, each in its
deposited coordinate frame).  Per query the figure is the sensitivity up to the
first false positive: the fraction of its family ranked strictly above the
best-scoring chain of any other family (a chain scored 0, i.e. not aligned, is
never found).  The module ranks by its score (scan_database in scan mode,
score_cutoff 0); TM-align (tmtools, in this process) ranks by the TM-score
normalised by the query.  Both see the same C-alpha traces and sequences and
are timed over the same targets (process CPU time, and wall time).  Fold mode
(dovelkit.search at the fold level, in this process) ranks, like TM-align, by the
TM-score normalised by the query; for it and for TM-align the benchmark also
reports the highest TM-score any unrelated chain reaches.

Training and validation are split by query family.  Round 1 trained on the
first, third and fifth families of families.tsv (cytochrome_c,
microbial_ribonuclease, carbonic_anhydrase), fixed before any measurement.
Two more families from the real entries that come with the installed TM-align
tools (erythrocruorin globins, CsdE) were added afterwards as held-out data;
the globins drew false positives from the four-helix bundles at the round-1
setting, so round 2 added them to the training queries.  Validation:
thioredoxin, cytochrome_cprime_b562, the serine proteases added from mmCIF and
CsdE.  Every chain (all families and the unrelated ones) is a target for every
query, so the negatives are shared by both halves.

    python3 benchmarks/bench_sensitive.py             # benchmark; writes benchmarks/sensitive/*.tsv
    python3 benchmarks/bench_sensitive.py --sweep 2   # the round-2 sweep on the training families
    python3 benchmarks/bench_sensitive.py --no-write
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
from dovelkit.alignment.options import parameters  # noqa: E402

DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")
FAMILIES = os.path.join(DATA, "families")
MMCIF = os.environ.get("DOVEL_MMCIF_DIR", os.path.join(DATA, "mmcif"))
OUT = os.path.join(ROOT, "benchmarks", "sensitive")

# Round 1 trained on the first, third and fifth families of families.tsv.  The globins, added
# later as held-out data, drew false positives from the four-helix bundles at the round-1
# setting, so round 2 trained on them as well; CsdE stayed held out.
TRAIN_1 = ("cytochrome_c", "microbial_ribonuclease", "carbonic_anhydrase")
TRAIN = TRAIN_1 + ("globin",)
VALIDATE = ("thioredoxin", "cytochrome_cprime_b562", "serine_protease", "csde")

# Chains added to the bundled families: (family, path, chain, id).  "unrelated"
# is not a family: each of its chains is a false positive for every query.
EXTRA_PDB = [
    ("unrelated", os.path.join(DATA, "1o1z.pdb"), "A", "1o1z"),   # TIM barrel
    ("unrelated", os.path.join(DATA, "1ubq.pdb"), "A", "1ubq"),   # ubiquitin
    ("unrelated", os.path.join(DATA, "1k6p.pdb"), "A", "1k6p"),   # retroviral aspartic protease
    ("unrelated", os.path.join(DATA, "1a8o.pdb"), "A", "1a8o"),   # capsid C-terminal domain, all alpha
    ("unrelated", os.path.join(DATA, "1orc.pdb"), "A", "1orc"),   # Cro repressor
]
EXTRA_CIF = [
    ("serine_protease", "1GBT.cif", "A", "1gbt"),        # trypsin
    ("serine_protease", "4ZHL.cif", "U", "4zhl"),        # urokinase catalytic domain
    ("unrelated", "5PTI.cif.gz", "A", "5pti"),           # Kunitz trypsin inhibitor
    ("unrelated", "2OFG.cif", "X", "2ofg"),              # heavy-metal-associated domain
    ("unrelated", "1BD2.cif.gz", "A", "1bd2A"),          # MHC class I heavy chain
    ("unrelated", "1BD2.cif.gz", "B", "1bd2B"),          # beta-2-microglobulin
]
# Real entries shipped with the TM-align tools installed here (tmtools' test data, Debian tm-align examples).
TMTOOLS_DATA = os.path.join(os.path.dirname(__import__("tmtools").__file__), "data")
TMALIGN_EXAMPLES = "/usr/share/doc/tm-align/examples"
EXTRA_LATE = [
    ("globin", os.path.join(TMTOOLS_DATA, "2gtl.pdb"), "A", "2gtlA"),   # erythrocruorin globin chains,
    ("globin", os.path.join(TMTOOLS_DATA, "2gtl.pdb"), "B", "2gtlB"),   # four different sequences
    ("globin", os.path.join(TMTOOLS_DATA, "2gtl.pdb"), "C", "2gtlC"),
    ("globin", os.path.join(TMTOOLS_DATA, "2gtl.pdb"), "D", "2gtlD"),
    ("unrelated", os.path.join(TMTOOLS_DATA, "2gtl.pdb"), "M", "2gtlM"),  # erythrocruorin linker chain
    ("unrelated", os.path.join(TMTOOLS_DATA, "7ok9.pdb"), "A", "7ok9A"),  # penicillin-binding protein
    ("csde", os.path.join(TMALIGN_EXAMPLES, "1ni7.pdb.gz"), "A", "1ni7"),  # CsdE, NMR model 1
    ("csde", os.path.join(TMALIGN_EXAMPLES, "5eep.pdb.gz"), "A", "5eep"),  # CsdE, crystal
]

# The grids the sweeps ran (each a full product), per round: (training families, grids, record file).
SWEEPS_1 = [
    dict(e1=(2.0, 3.0, 4.0, 5.0, 6.0), e2=(5.0, 8.0), cutoff_dist=(10.0, 7.0, 5.0), gap_open=(3.0, 1.5)),
    dict(e1=(6.0, 8.0, 10.0), e2=(8.0, 12.0), cutoff_dist=(10.0, 12.0), gap_open=(1.5, 1.0, 0.5)),
    dict(e1=(8.0, 10.0, 12.0), e2=(12.0, 16.0), cutoff_dist=(10.0, 12.0, 14.0), gap_open=(2.0, 1.5, 1.0)),
    dict(e1=(10.0, 11.0, 12.0), e2=(12.0, 14.0), cutoff_dist=(12.0, 13.0, 14.0), gap_open=(1.5, 1.0)),
]
SWEEPS_2 = [
    dict(e1=(4.0, 5.0, 6.0, 8.0), e2=(8.0, 12.0), cutoff_dist=(10.0, 12.0, 14.0), gap_open=(1.5, 1.0)),
]
# sweep_training.tsv was recorded before the globins, CsdE, 2gtl M and 7ok9 A were added (36 chains);
# rerunning round 1 now searches all 44.
ROUNDS = {1: (TRAIN_1, SWEEPS_1, "sweep_training.tsv"), 2: (TRAIN, SWEEPS_2, "sweep_training_2.tsv")}


class Chain:
    def __init__(self, family, domain):
        self.family = family
        self.domain = domain
        self.id = domain.id
        self.coords = np.ascontiguousarray(domain.coordinates, dtype=np.float64)
        self.seq = domain.sequence


def read_cif_chain(path, chain, ident):
    """C-alpha trace of one chain of an mmCIF or PDB file read with gemmi (first model, first
    conformer, amino acids only)."""
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
        seq.append(code if code.isalpha() else "X")
    return dovel.Domain.from_arrays(ident, np.array(coords, dtype=np.float64), "".join(seq), chain)


def load_set():
    chains = []
    with open(os.path.join(FAMILIES, "families.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            path = os.path.join(FAMILIES, row["file"])
            chains.append(Chain(row["family"], dovel.Domain.from_pdb(path, row["chain"])))
    for family, path, chain, ident in EXTRA_PDB:
        chains.append(Chain(family, dovel.Domain.from_pdb(path, chain)))
    if os.path.isdir(MMCIF):
        for family, name, chain, ident in EXTRA_CIF:
            chains.append(Chain(family, read_cif_chain(os.path.join(MMCIF, name), chain, ident)))
    else:
        print(f"note: {MMCIF} not found; running without the mmCIF chains", file=sys.stderr)
    for family, path, chain, ident in EXTRA_LATE:
        if os.path.exists(path):
            chains.append(Chain(family, read_cif_chain(path, chain, ident)))
        else:
            print(f"note: {path} not found; running without it", file=sys.stderr)
    return chains


def queries_of(chains, families=None):
    return [c for c in chains if c.family != "unrelated" and (families is None or c.family in families)]


def split_of(family):
    return "training" if family in TRAIN else "validation"


# ---------------------------------------------------------------- searches

class Timer:
    def __enter__(self):
        self.cpu, self.wall = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu, self.wall = time.process_time() - self.cpu, time.perf_counter() - self.wall


def search_dovel(params, queries, chains, score_cutoff=0.0):
    """{(query, target): (score, rmsd, n_aligned)} and {query: (cpu s, wall s)}."""
    scores, seconds = {}, {}
    for q in queries:
        targets = [c.domain for c in chains if c is not q]
        with Timer() as t:
            hits = dovel.scan_database(q.domain, targets, params, score_cutoff=score_cutoff,
                                       max_hits=len(targets), quick=False, scan_mode=True)
        seconds[q.id] = (t.cpu, t.wall)
        for h in hits:
            scores[(q.id, h.target_id)] = (h.score, h.rmsd, h.n_aligned)
    return scores, seconds


def search_fold(queries, chains):
    """Fold mode through the kit, in this process: {(query, target): (TM-score normalised by the
    query, rmsd, n_aligned)} and times as above."""
    import dovelkit

    scores, seconds = {}, {}
    for q in queries:
        targets = [c.domain for c in chains if c is not q]
        with Timer() as t:
            hits = dovelkit.search(q.domain, targets, max_hits=len(targets), workers=1, level="fold")
        seconds[q.id] = (t.cpu, t.wall)
        for h in hits:
            scores[(q.id, h.id)] = (h.tm_query, h.rmsd, h.n_aligned)
    return scores, seconds


def top_unrelated(scores, queries, chains):
    """The highest score of a chain of the unrelated set, and the (query, chain) that has it."""
    best = (0.0, "", "")
    for q in queries:
        for c in chains:
            if c.family == "unrelated" and score_of(scores, q, c) > best[0]:
                best = (score_of(scores, q, c), q.id, c.id)
    return best


def search_tmalign(queries, chains):
    """{(query, target): (TM-score normalised by the query, rmsd, n_aligned)} and times as above."""
    import tmtools

    scores, seconds = {}, {}
    for q in queries:
        rows = {}
        with Timer() as t:
            for c in chains:
                if c is not q:
                    rows[c.id] = tmtools.tm_align(q.coords, c.coords, q.seq, c.seq)
        seconds[q.id] = (t.cpu, t.wall)
        for cid, r in rows.items():
            n_aligned = sum(1 for a, b in zip(r.seqxA, r.seqyA) if a != "-" and b != "-")
            scores[(q.id, cid)] = (r.tm_norm_chain1, r.rmsd, n_aligned)
    return scores, seconds


# ---------------------------------------------------------------- figures

def score_of(scores, q, c):
    return scores.get((q.id, c.id), (0.0,))[0]


def found_sets(scores, queries, chains):
    """Per query: (ids of the family members ranked strictly above the best other-family chain,
    number of members, that best other-family score)."""
    out = {}
    for q in queries:
        others = [c for c in chains if c is not q]
        best_fp = max([score_of(scores, q, c) for c in others if c.family != q.family] + [0.0])
        members = [c for c in others if c.family == q.family]
        out[q.id] = ({c.id for c in members if score_of(scores, q, c) > best_fp}, len(members), best_fp)
    return out


def figures(scores, seconds, queries, chains, tm_scores=None):
    found = found_sets(scores, queries, chains)
    fam = {c.id: c.family for c in chains}
    lowest_found, top_cross = float("inf"), 0.0
    for q in queries:
        for c in chains:
            if c is q:
                continue
            s = score_of(scores, q, c)
            if fam[c.id] != q.family:
                top_cross = max(top_cross, s)
            elif c.id in found[q.id][0]:
                lowest_found = min(lowest_found, s)
    fig = dict(
        mean=float(np.mean([len(found[q.id][0]) / found[q.id][1] for q in queries])),
        found=sum(len(found[q.id][0]) for q in queries),
        total=sum(found[q.id][1] for q in queries),
        lowest_found=lowest_found,
        top_cross=top_cross,
        cpu_s=sum(seconds[q.id][0] for q in queries),
        wall_s=sum(seconds[q.id][1] for q in queries),
    )
    if tm_scores is not None:
        ref = found_sets(tm_scores, queries, chains)
        fig["of_tmalign_found"] = sum(len(found[q.id][0] & ref[q.id][0]) for q in queries)
        fig["tmalign_found"] = sum(len(ref[q.id][0]) for q in queries)
        fig["of_tmalign"] = fig["of_tmalign_found"] / max(1, fig["tmalign_found"])
    return fig


def line(name, fig):
    s = (f"{name:34s} mean {fig['mean']:5.3f}  found {fig['found']:2d}/{fig['total']:<2d}  "
         f"lowest found {fig['lowest_found']:6.3f}  top cross {fig['top_cross']:6.3f}  "
         f"cpu {fig['cpu_s']:6.2f} s  wall {fig['wall_s']:6.2f} s")
    if "of_tmalign" in fig:
        s += f"  of TM-align's {fig['of_tmalign_found']}/{fig['tmalign_found']} ({fig['of_tmalign']:.3f})"
    return s


def write_tsv(path, rows):
    fields = list(dict.fromkeys(k for r in rows for k in r))
    with open(path, "w", newline="") as fh:
        w = csv.DictWriter(fh, fieldnames=fields, restval="", delimiter="\t", lineterminator="\n")
        w.writeheader()
        for r in rows:
            w.writerow({k: (f"{v:.4f}" if isinstance(v, float) else v) for k, v in r.items()})


# ---------------------------------------------------------------- sweep

def sweep(chains, tm_scores, families, grids, out_path=None):
    """Every setting of the grids on the queries of the given families; one line (and TSV row) each."""
    train = queries_of(chains, families)
    rows = []
    for grid in grids:
        keys = list(grid)
        for values in itertools.product(*(grid[k] for k in keys)):
            p = dovel.Parameters()
            for k, v in zip(keys, values):
                setattr(p, k, v)
            fig = figures(*search_dovel(p, train, chains), train, chains, tm_scores)
            rows.append(dict(zip(keys, values), **fig))
            print(line(" ".join(f"{k}={v:g}" for k, v in zip(keys, values)), fig), flush=True)
    if out_path:
        write_tsv(out_path, rows)
    return rows


# ---------------------------------------------------------------- out of reach

def insertion_check(chains, presets):
    """DsbA (1dsb) holds its thioredoxin fold in two pieces around a 75-residue helical insertion.
    Align the thioredoxins with 1dsb as deposited and with a copy from which the residues that
    TM-align leaves out between the two pieces are removed (same coordinates otherwise)."""
    import tmtools

    by_id = {c.id: c for c in chains}
    dsb, trx = by_id.get("1dsb"), [by_id[i] for i in ("2trx", "1ert", "3trx") if i in by_id]
    if dsb is None or not trx:
        return []
    r = tmtools.tm_align(trx[0].coords, dsb.coords, trx[0].seq, dsb.seq)
    j, aligned = -1, []
    for a, b in zip(r.seqxA, r.seqyA):
        if b != "-":
            j += 1
            if a != "-":
                aligned.append(j)
    gaps = [(aligned[k], aligned[k + 1]) for k in range(len(aligned) - 1) if aligned[k + 1] - aligned[k] > 10]
    cut_from, cut_to = gaps[0][0] + 1, gaps[-1][1]          # 0-based, removed: cut_from .. cut_to - 1
    keep = [k for k in range(len(dsb.seq)) if not cut_from <= k < cut_to]
    trimmed = dovel.Domain.from_arrays("1dsb_no_insertion", dsb.coords[keep], "".join(dsb.seq[k] for k in keep))
    negatives = [c.domain for c in chains if c.family not in ("thioredoxin",)]
    rows = []
    for name, params in presets.items():
        for t in trx:
            hits = dovel.scan_database(t.domain, [dsb.domain, trimmed] + negatives, params, score_cutoff=0.0,
                                       max_hits=len(negatives) + 2)
            by = {h.target_id: h for h in hits}
            rows.append(dict(preset=name, query=t.id, target="1dsb", removed=f"none ({len(dsb.seq)} residues)",
                             score=by["1dsb"].score, n_aligned=by["1dsb"].n_aligned,
                             best_unrelated=max(h.score for h in hits if h.target_id not in ("1dsb", "1dsb_no_insertion"))))
            rows.append(dict(preset=name, query=t.id, target="1dsb_no_insertion",
                             removed=f"{cut_from + 1}-{cut_to} ({len(keep)} residues left)",
                             score=by["1dsb_no_insertion"].score, n_aligned=by["1dsb_no_insertion"].n_aligned,
                             best_unrelated=rows[-1]["best_unrelated"]))
            hits = dovel.scan_database(trimmed, [t.domain] + negatives, params, score_cutoff=0.0,
                                       max_hits=len(negatives) + 1)
            h = next(h for h in hits if h.target_id == t.id)
            rows.append(dict(preset=name, query="1dsb_no_insertion", target=t.id, removed="(query)",
                             score=h.score, n_aligned=h.n_aligned,
                             best_unrelated=max(x.score for x in hits if x.target_id != t.id)))
    return rows


def csde_check(chains, presets):
    """1ni7 (NMR) starts 7 residues before 5eep (crystal) of the same protein.  The scan always
    superposes the start of the query, so compare 1ni7 as deposited with 1ni7 less its first 8."""
    by_id = {c.id: c for c in chains}
    if "1ni7" not in by_id or "5eep" not in by_id:
        return []
    nmr, xtal = by_id["1ni7"], by_id["5eep"]
    trimmed = dovel.Domain.from_arrays("1ni7_from_9", nmr.coords[8:], nmr.seq[8:])
    rows = []
    for name, params in presets.items():
        for query in (nmr.domain, trimmed):
            hit = dovel.scan_database(query, [xtal.domain], params, score_cutoff=0.0, max_hits=1)[0]
            rows.append(dict(preset=name, query=query.id, target=xtal.id, score=hit.score,
                             n_aligned=hit.n_aligned, rmsd=hit.rmsd))
    return rows


def msa_check(presets):
    """align_pdbs (pre-alignment by scan onto the first file, then the multiple alignment) on each
    bundled family, as `dovel msa` runs it."""
    import tempfile

    groups = {}
    with open(os.path.join(FAMILIES, "families.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            if row["family"] != "unrelated":
                groups.setdefault(row["family"], []).append(os.path.join(FAMILIES, row["file"]))
    rows = []
    for family, files in groups.items():
        for name, params in presets.items():
            with tempfile.TemporaryDirectory() as out:
                r = dovel.align_pdbs(files, out, params)
            rows.append(dict(family=family, preset=name, n_structures=len(files), n_core=r.n_core,
                             avg_rmsd=r.avg_rmsd))
    return rows


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sweep", type=int, choices=sorted(ROUNDS), help="run a training sweep instead of the benchmark")
    ap.add_argument("--no-write", action="store_true", help="print only")
    args = ap.parse_args()

    chains = load_set()
    queries = queries_of(chains)
    print(f"{len(chains)} chains: {len(queries)} queries in {len({q.family for q in queries})} families, "
          f"{len(chains) - len(queries)} unrelated; training {', '.join(TRAIN)}; validation {', '.join(VALIDATE)}")
    if not args.no_write:
        os.makedirs(OUT, exist_ok=True)
    tm = search_tmalign(queries, chains)
    if args.sweep:
        families, grids, name = ROUNDS[args.sweep]
        sweep(chains, tm[0], families, grids, None if args.no_write else os.path.join(OUT, name))
        return

    presets = {name: parameters(name) for name in ("default", "sensitive")}
    print("sensitive:", presets["sensitive"], f"cutoff_dist={presets['sensitive'].cutoff_dist:g}")
    runs = {"TM-align (tmtools)": tm}
    runs["fold mode"] = search_fold(queries, chains)
    for name, p in presets.items():
        runs[name] = search_dovel(p, queries, chains)

    summary = []
    for label, subset in (("training", TRAIN), ("validation", VALIDATE), ("all", None)):
        qs = queries_of(chains, subset)
        print(f"-- {label} queries ({len(qs)})")
        for name, (scores, seconds) in runs.items():
            fig = figures(scores, seconds, qs, chains, None if name.startswith("TM") else tm[0])
            print(line(name, fig))
            summary.append(dict(queries=label, method=name, **fig))
    for name in ("TM-align (tmtools)", "fold mode"):
        top, q_id, c_id = top_unrelated(runs[name][0], queries, chains)
        print(f"{name}: highest TM-score of an unrelated chain {top:.3f} ({q_id} -> {c_id})")
        next(r for r in summary if r["queries"] == "all" and r["method"] == name)["top_unrelated"] = top
    all_rows = [r for r in summary if r["queries"] == "all"]
    tm_cpu = all_rows[0]["cpu_s"]
    for r in all_rows[1:]:
        print(f"{r['method']}: {tm_cpu / r['cpu_s']:.1f}x faster than TM-align in CPU time, "
              f"{all_rows[0]['wall_s'] / r['wall_s']:.1f}x in wall time")

    # Alignment quality of every homologous pair (each query against each member of its family).
    pairs = []
    found = {name: found_sets(s, queries, chains) for name, (s, _) in runs.items()}
    for q in queries:
        for c in chains:
            if c is q or c.family != q.family:
                continue
            k = (q.id, c.id)
            row = dict(family=q.family, split=split_of(q.family), query=q.id, target=c.id,
                       query_len=len(q.seq), target_len=len(c.seq),
                       tm_score=tm[0][k][0], tm_rmsd=tm[0][k][1], tm_aligned=tm[0][k][2],
                       tm_found=int(c.id in found["TM-align (tmtools)"][q.id][0]))
            fs, frmsd, fn = runs["fold mode"][0].get(k, (0.0, float("inf"), 0))
            row.update(fold_tm=fs, fold_rmsd=frmsd, fold_aligned=fn,
                       fold_found=int(c.id in found["fold mode"][q.id][0]))
            for name in presets:
                s, rmsd, n = runs[name][0].get(k, (0.0, float("inf"), 0))
                row.update({f"{name}_score": s, f"{name}_rmsd": rmsd, f"{name}_aligned": n,
                            f"{name}_found": int(c.id in found[name][q.id][0])})
            pairs.append(row)
    print("-- homologous pairs (query -> member, both directions)")
    print(f"{'':18s} {'positive score':>15s} {'found':>7s} {'median aligned':>15s} {'median RMSD':>12s}")
    for name in presets:
        pos = [r for r in pairs if r[f"{name}_score"] > 0]
        print(f"{name:18s} {len(pos):>8d}/{len(pairs):<6d} {sum(r[f'{name}_found'] for r in pairs):>7d} "
              f"{np.median([r[f'{name}_aligned'] for r in pos]):>15.0f} {np.median([r[f'{name}_rmsd'] for r in pos]):>12.2f}")
    print(f"{'fold mode':18s} {'':>15s} {sum(r['fold_found'] for r in pairs):>7d} "
          f"{np.median([r['fold_aligned'] for r in pairs]):>15.0f} {np.median([r['fold_rmsd'] for r in pairs]):>12.2f}")
    print(f"{'TM-align':18s} {'':>15s} {sum(r['tm_found'] for r in pairs):>7d} "
          f"{np.median([r['tm_aligned'] for r in pairs]):>15.0f} {np.median([r['tm_rmsd'] for r in pairs]):>12.2f}")
    both = [r for r in pairs if r["default_score"] > 0 and r["sensitive_score"] > 0]
    print(f"on the {len(both)} pairs both presets align: median aligned / RMSD "
          + ", ".join(f"{name} {np.median([r[f'{name}_aligned'] for r in both]):.0f} / "
                      f"{np.median([r[f'{name}_rmsd'] for r in both]):.2f}" for name in presets)
          + f", TM-align {np.median([r['tm_aligned'] for r in both]):.0f} / {np.median([r['tm_rmsd'] for r in both]):.2f}")
    print("found by TM-align, not by fold mode:",
          ", ".join(f"{r['query']}->{r['target']} (TM-align {r['tm_score']:.3f}, fold {r['fold_tm']:.3f})"
                    for r in pairs if r["tm_found"] and not r["fold_found"]) or "none")
    missed = [r for r in pairs if r["tm_found"] and not r["sensitive_found"]]
    print("found by TM-align, not by the sensitive preset:",
          ", ".join(f"{r['query']}->{r['target']} (TM {r['tm_score']:.2f}, {r['tm_rmsd']:.2f} A, "
                    f"score {r['sensitive_score']:.3f})" for r in missed) or "none")

    reach = dict(presets)
    loose = dovel.Parameters()
    loose.e1, loose.e2, loose.cutoff_dist, loose.gap_open = 11.0, 12.0, 14.0, 1.0
    reach["round-1 (e1 11)"] = loose
    insertion = insertion_check(chains, reach)
    print("-- DsbA insertion check")
    for r in insertion:
        print(f"{r['preset']:15s} {r['query']:>18s} -> {r['target']:18s} removed {r['removed']:26s} "
              f"score {r['score']:.3f} aligned {r['n_aligned']:3d}  best unrelated {r['best_unrelated']:.3f}")

    csde = csde_check(chains, reach)
    print("-- CsdE start check")
    for r in csde:
        print(f"{r['preset']:15s} {r['query']:>12s} -> {r['target']}  score {r['score']:.3f} "
              f"aligned {r['n_aligned']:3d}  rmsd {r['rmsd']:.2f}")

    msa = msa_check(presets)
    print("-- multiple alignment of each bundled family (first file as reference)")
    for r in msa:
        print(f"{r['family']:24s} {r['preset']:10s} core columns {r['n_core']:3d}  average RMSD {r['avg_rmsd']:.2f}")

    if not args.no_write:
        write_tsv(os.path.join(OUT, "msa.tsv"), msa)
        write_tsv(os.path.join(OUT, "search_summary.tsv"), summary)
        if csde:
            write_tsv(os.path.join(OUT, "csde_start.tsv"), csde)
        write_tsv(os.path.join(OUT, "pairs.tsv"), pairs)
        if insertion:
            write_tsv(os.path.join(OUT, "dsba_insertion.tsv"), insertion)
        print("wrote benchmarks/sensitive/search_summary.tsv, pairs.tsv, dsba_insertion.tsv, csde_start.tsv, msa.tsv")


if __name__ == "__main__":
    main()
