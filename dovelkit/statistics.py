"""How unusual a hit is: its Z-score among every entry compared, and its E-value. The expected number of entries of a database of N entries that score at least this
well by chance: E = N * P(S >= score), where P is a null model of the scan's score between
unrelated chains, fitted on real ones by benchmarks/fit_null_model.py. The scan gives an
alignment a positive score only when a fragment passes its acceptance threshold, and no
unrelated pair of the bundled chains does: of NULL_PAIRS ordered pairs (every cross-family pair
of the bundled families, the families against the other bundled entries, and every chain's
reversed and mirrored trace against every chain) none scores above 0. With no chance hit to fit
a tail to, the model is the 95 % upper bound on the chance of a positive score ("rule of
three"), the same for every positive score:

    P(S >= s) = 1 for s <= 0,   NULL_POSITIVE = 3 / NULL_PAIRS for s > 0.

So E bounds the chance hits from above, and it ranks nothing that the score does not already
rank: among positive hits it only says how large a database can be before chance hits are
expected. A larger set of unrelated real pairs would give a fitted tail (the script fits a
Gumbel law to the positive null scores as soon as there are any).
"""

from __future__ import annotations

import math

# From benchmarks/fit_null_model.py: unrelated pairs aligned, and the bound on a chance positive score.
NULL_PAIRS = 7548
NULL_POSITIVE = 3.0 / NULL_PAIRS


def null_tail(score: float) -> float:
    """P(S >= score) for two unrelated chains (an upper bound; see above)."""
    return NULL_POSITIVE if score > 0 else 1.0


def e_value(score: float, n_entries: int) -> float:
    """Expected number of chance hits scoring at least ``score`` among ``n_entries``."""
    return n_entries * null_tail(score)


def z_score(score: float, n_entries: int, total: float, total_sq: float) -> float | None:
    """Z of ``score`` among ``n_entries`` whose scores sum to ``total`` (squares: ``total_sq``);
    None when they all score the same."""
    if n_entries <= 0:
        return None
    mean = total / n_entries
    var = total_sq / n_entries - mean * mean
    if not var > 1e-300:
        return None
    return (score - mean) / math.sqrt(var)
