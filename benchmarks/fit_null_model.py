"""Fit the null models of dovelkit.db.statistics: the scan's score and the fold-level TM-score
between unrelated real chains.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/fit_null_model.py

Unrelated pairs, each aligned as a search aligns (scan mode, default parameters):
- every ordered pair of family chains (../shared/data/families) from different families;
- every family chain against every other bundled entry (top-level PDB files, ../shared/data/mmcif;
  none of them belongs to one of the families) and back;
- every chain's reversed trace and its mirror image against every chain.
The script prints NULL_PAIRS (how many) and how many score above 0. With none, dovelkit.db.statistics
takes 3 / NULL_PAIRS (the 95 % upper bound on the chance of a positive score); with some, it also
prints a Gumbel fit (maximum likelihood) of their positive scores, the tail that would replace it.

Fold level: the same chains aligned as a fold-level search aligns them (``fold=True``), real
chains only: every ordered cross-family pair, every family chain against every chain of the other
entries and back, and the other entries' chains against each other across the groups of
real_chains.OTHER_GROUPS (chains of one protein, or sharing a domain, are left out). Reversed or
mirrored traces are not used: they keep the composition of secondary structure of their source
and are no sample of the chains a database holds. The script fits, by maximum likelihood, a
Gumbel law to Y = TM_q * L_q / L_min with location a + b ln(L_min) and scale exp(c) L_min^d, and
prints the constants with the observed and predicted counts above 0.4 to 0.7, overall and by
L_min, beside a fit without the length dependence.
"""

from __future__ import annotations

import numpy as np

import real_chains
from dovelkit import _core


def _scan(coords: np.ndarray, sequence: str, targets: list) -> list[float]:
    flat = np.concatenate([d.coordinates for d in targets])
    offsets = np.zeros(len(targets) + 1, dtype=np.int64)
    np.cumsum([len(d) for d in targets], out=offsets[1:])
    hits = _core.scan_targets(np.ascontiguousarray(coords), sequence, flat, offsets,
                              "".join(d.sequence for d in targets), 0, _core.Settings(), score_cutoff=0.0,
                              max_hits=len(targets), quick=False, scan_mode=True)
    got = {h.position: h.score for h in hits}
    return [got.get(k, 0.0) for k in range(len(targets))]


def null_scores() -> np.ndarray:
    labelled = real_chains.labelled_chains()
    families = [d for d, _ in labelled]
    others = real_chains.other_chains()
    scores: list[float] = []
    for q, fq in labelled:
        scores += _scan(q.coordinates, q.sequence, [d for d, f in labelled if f != fq])
        scores += _scan(q.coordinates, q.sequence, others)
    for q in others:
        scores += _scan(q.coordinates, q.sequence, families)
    every = families + others
    for q in every:
        scores += _scan(q.coordinates[::-1], q.sequence[::-1], every)
        scores += _scan(q.coordinates * np.array([1.0, 1.0, -1.0]), q.sequence, every)
    return np.array(scores)


def _fold(q, targets: list) -> list[float]:
    flat = np.concatenate([d.coordinates for d in targets])
    offsets = np.zeros(len(targets) + 1, dtype=np.int64)
    np.cumsum([len(d) for d in targets], out=offsets[1:])
    hits = _core.scan_targets(np.ascontiguousarray(q.coordinates), q.sequence, flat, offsets,
                              "".join(d.sequence for d in targets), 0, _core.Settings(), score_cutoff=0.0,
                              max_hits=len(targets), quick=False, scan_mode=True, fold=True)
    got = {h.position: h.score for h in hits}
    return [got.get(k, 0.0) for k in range(len(targets))]


def fold_null_pairs() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """TM_q, query length and target length of every unrelated ordered pair."""
    chains = [(d, "family/" + f) for d, f in real_chains.labelled_chains()]
    chains += [(d, real_chains.other_group(d)) for d in real_chains.other_chains()]
    tm: list[float] = []
    lq: list[int] = []
    lt: list[int] = []
    for q, group in chains:
        targets = [d for d, g in chains if g != group]
        tm += _fold(q, targets)
        lq += [len(q)] * len(targets)
        lt += [len(d) for d in targets]
    return np.array(tm), np.array(lq, dtype=float), np.array(lt, dtype=float)


def _gumbel_nll(p: np.ndarray, y: np.ndarray, n: np.ndarray) -> float:
    mu = p[0] + p[1] * np.log(n)
    beta = np.exp(p[2] + p[3] * np.log(n))
    z = (y - mu) / beta
    return float(np.sum(np.log(beta) + z + np.exp(-z)))


def fold_main() -> None:
    from scipy import optimize, stats

    tm, lq, lt = fold_null_pairs()
    shorter = np.minimum(lq, lt)
    y = tm * lq / shorter
    print(f"\nfold level: FOLD_NULL_PAIRS = {len(y)}; TM_q mean {tm.mean():.3f}, max {tm.max():.3f} "
          f"(chains of 40 or more residues: {tm[np.minimum(lq, lt) >= 40].max():.3f})")
    fit = optimize.minimize(_gumbel_nll, [0.5, -0.03, -1.0, -0.5], args=(y, shorter), method="Nelder-Mead",
                            options={"maxiter": 20000, "xatol": 1e-9, "fatol": 1e-9})
    a, b, c, d = fit.x
    print(f"FOLD_MU0 = {a:.5f}; FOLD_MU1 = {b:.6f}; FOLD_BETA0 = {np.exp(c):.5f} (exp {c:.6f}); "
          f"FOLD_BETA1 = {d:.6f}")
    mu = a + b * np.log(shorter)
    beta = np.exp(c) * shorter ** d
    mu0, beta0 = stats.gumbel_r.fit(y)
    for t in (0.4, 0.5, 0.6, 0.7):
        print(f"  Y >= {t}: observed {int((y >= t).sum())}, predicted {stats.gumbel_r.sf(t, mu, beta).sum():.1f} "
              f"(without the length dependence: {stats.gumbel_r.sf(t, mu0, beta0) * len(y):.1f})")
    for lo, hi in ((0, 20), (20, 40), (40, 60), (60, 100), (100, 150), (150, 400)):
        k = (shorter >= lo) & (shorter < hi)
        if k.any():
            print(f"  L_min {lo}-{hi - 1}: {int(k.sum())} pairs; Y >= 0.5 observed {int((y[k] >= 0.5).sum())}, "
                  f"predicted {stats.gumbel_r.sf(0.5, mu[k], beta[k]).sum():.1f} (flat: "
                  f"{stats.gumbel_r.sf(0.5, mu0, beta0) * k.sum():.1f}); Y >= 0.6 observed {int((y[k] >= 0.6).sum())}, "
                  f"predicted {stats.gumbel_r.sf(0.6, mu[k], beta[k]).sum():.1f}")


def family_main() -> None:
    s = null_scores()
    positive = s[s > 0]
    print(f"NULL_PAIRS = {len(s)}")
    print(f"pairs with a positive score: {len(positive)}")
    if len(positive) == 0:
        print(f"NULL_POSITIVE = 3 / NULL_PAIRS = {3 / len(s):.3g} (95 % upper bound)")
        return
    from scipy import stats

    mu, beta = stats.gumbel_r.fit(positive)
    print(f"NULL_POSITIVE = {len(positive) / len(s):.4g}; Gumbel tail of the positive scores: mu {mu:.5f}, "
          f"beta {beta:.5f}")


def main() -> None:
    family_main()
    fold_main()


if __name__ == "__main__":
    main()
