"""Fit the null model of dovelkit.statistics: the scan's score between unrelated real chains.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/fit_null_model.py

Unrelated pairs, each aligned as a search aligns (scan mode, default parameters):
- every ordered pair of family chains (tests/data/families) from different families;
- every family chain against every other bundled entry (top-level PDB files, tests/data/mmcif;
  none of them belongs to one of the families) and back;
- every chain's reversed trace and its mirror image against every chain.
The script prints NULL_PAIRS (how many) and how many score above 0. With none, dovelkit.statistics
takes 3 / NULL_PAIRS (the 95 % upper bound on the chance of a positive score); with some, it also
prints a Gumbel fit (maximum likelihood) of their positive scores, the tail that would replace it.
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


def main() -> None:
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


if __name__ == "__main__":
    main()
