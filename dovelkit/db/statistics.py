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
Gumbel law to the positive null scores as soon as there are any). That model and its E hold for
family-level scores; the same formula E = N * P(S >= score) takes the model below at the fold
level.

Fold level. A fold-level hit is judged by the chance P that an unrelated pair of chains of the
same two lengths aligns this well, and everything follows from that one number: the hits are
ranked by it (smallest first), E = N * P, and Z is the standard normal deviate of the same
one-sided chance, Z = -Phi^-1(P), so E and Z never disagree and do not depend on how many
entries were aligned or listed. The score the model is written for is the alignment's TM-score
sum S over the shorter chain, Y = S / L_min (a short chain cannot reach a high TM-score by the
longer one, and short chains fit anything). For unrelated chains Y follows a Gumbel
(extreme-value) law; its location falls with the shorter length and rises with how many places
the shorter chain has to fit in the longer one:

    P(Y >= y) = 1 - exp(-exp(-(y - mu) / beta)),
    mu = FOLD_MU0 + FOLD_MU1 * ln(L_min) + FOLD_MU2 * ln(L_max / L_min),
    beta = FOLD_BETA0 * L_min ** FOLD_BETA1.

The constants are a maximum-likelihood fit (benchmarks/fit_null_model.py, figures in
docs/records/null_model.md) on unrelated real chains aligned as the search aligns them.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

# From benchmarks/fit_null_model.py: unrelated pairs aligned, and the bound on a chance positive score.
NULL_PAIRS = 8352
NULL_POSITIVE = 3.0 / NULL_PAIRS


# Fold level, from benchmarks/fit_null_model.py (see above).
FOLD_NULL_PAIRS = 2942
FOLD_MU0 = 0.33745
FOLD_MU1 = -0.010363
FOLD_MU2 = 0.053837
FOLD_BETA0 = 1.72381
FOLD_BETA1 = -0.790158
# The command lists fold-level hits of E below this by default (docs/records/null_model.md).
FOLD_LIST_E = 0.5


def fold_null_params(shorter: float, longer: float | None = None) -> tuple[float, float]:
    """(mu, beta) of the Gumbel law of Y for a pair of chains of ``shorter`` and ``longer`` residues
    (``longer`` None: the same length)."""
    n = max(1.0, float(shorter))
    ratio = max(1.0, float(longer) / n) if longer is not None else 1.0
    return FOLD_MU0 + FOLD_MU1 * math.log(n) + FOLD_MU2 * math.log(ratio), FOLD_BETA0 * n ** FOLD_BETA1


def fold_null_log_tail(tm_query: float, query_length: int, target_length: int) -> float:
    """ln P(TM_q >= ``tm_query``) for an unrelated target of ``target_length`` residues; exact
    where P itself would underflow."""
    lq, lt = max(1, int(query_length)), max(1, int(target_length))
    shorter, longer = min(lq, lt), max(lq, lt)
    mu, beta = fold_null_params(shorter, longer)
    x = (float(tm_query) * lq / shorter - mu) / beta
    if x > 700.0:  # P = 1 - exp(-t) with t = exp(-x) below 1e-304: ln P = -x - t/2 + ...
        return -x
    t = math.exp(-x) if x > -700.0 else math.inf
    return math.log(-math.expm1(-t)) if t < 700.0 else 0.0


def fold_null_tail(tm_query: float, query_length: int, target_length: int) -> float:
    """P(TM_q >= ``tm_query``) for an unrelated target of ``target_length`` residues."""
    return math.exp(fold_null_log_tail(tm_query, query_length, target_length))


def z_of_tail(log_p: float) -> float:
    """The standard normal deviate with the one-sided chance exp(``log_p``): -Phi^-1(P)."""
    if log_p >= 0.0:
        return -math.inf
    if log_p > -700.0:
        p = math.exp(log_p)
        from statistics import NormalDist

        return -NormalDist().inv_cdf(p) if p < 1.0 else -math.inf
    # Far tail: ln Q(z) = -z^2/2 - ln(z sqrt(2 pi)) + ln(1 - 1/z^2 + ...), solved by Newton's method.
    z = math.sqrt(-2.0 * log_p)
    for _ in range(30):
        f = -0.5 * z * z - math.log(z * math.sqrt(2.0 * math.pi)) + math.log1p(-1.0 / (z * z)) - log_p
        df = -z - 1.0 / z + 2.0 / (z ** 3 - z)
        step = f / df
        z -= step
        if abs(step) < 1e-12 * z:
            break
    return z


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
