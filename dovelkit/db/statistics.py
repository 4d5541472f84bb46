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

Fold level. A fold-level hit is ranked by its TM-score normalised by the query, TM_q = S / L_q,
where S is the alignment's TM-score sum. Its chance value depends mostly on the two lengths: a
target much shorter than the query cannot reach a high TM_q whatever it is, and short chains fit
anything. So the model is written for the same sum taken over the shorter chain,
Y = TM_q * L_q / L_min (L_min the shorter of the two lengths): for unrelated chains Y follows a
Gumbel (extreme-value) law whose location and scale fall with L_min,

    P(Y >= y) = 1 - exp(-exp(-(y - mu) / beta)),   mu = FOLD_MU0 + FOLD_MU1 * ln(L_min),
                                                   beta = FOLD_BETA0 * L_min ** FOLD_BETA1,

and P(TM_q >= s) = P(Y >= s * L_q / L_min). The constants are a maximum-likelihood fit
(benchmarks/fit_null_model.py) on FOLD_NULL_PAIRS ordered pairs of unrelated real chains, aligned
as the search aligns (``_core.scan_targets(..., fold=True)``): every cross-family pair of the
bundled families, each family chain against every chain of the other bundled entries and back,
and the chains of the other entries against each other when they belong to different proteins
(benchmarks/real_chains.py groups them). Chains of 9 to 275 residues; no decoys. A length
dependence is needed: the location of Y falls from about 0.45 for chains of 20 residues to 0.29
for 250 (a fit without it predicts 104 pairs with Y >= 0.5 among the 802 with L_min of 100 to 149
residues, where 4 are seen, and 27 where 87 are seen among the 206 under 20). Goodness of fit
(pairs observed / predicted): Y >= 0.4: 967 / 913, >= 0.5: 419 / 403, >= 0.6: 180 / 203, >= 0.7:
56 / 111 (the model is cautious in the far tail); for L_min of 60 to 99 residues it predicts 33
pairs above 0.5 where 59 are seen (6 above 0.6 where 3 are), for 100 to 149 residues 13 where 4
are. The highest TM_q of an unrelated pair of chains of 40 residues or more was 0.51.

The Z-score of a prefiltered search is taken over every entry of the database: the candidates
with their scores, and the entries that were not aligned by what the null model expects of them
(family level: score 0, which is what the scan gives unrelated chains; fold level: the mean and
second moment of TM_q above for each entry's length), so it does not depend on how many hits are
listed nor, much, on how many candidates were aligned.
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
FOLD_MU0 = 0.47835
FOLD_MU1 = -0.035508
FOLD_BETA0 = 1.29263  # exp(0.256681)
FOLD_BETA1 = -0.712092
_EULER = 0.5772156649015329
# The command lists fold-level hits of E below this by default. Measured on every chain of the
# bundled entries, each a query against all of them (benchmarks/bench_prefilter_search.py quality,
# 71 queries, 314 ordered pairs of relatives): below 0.5, 224 relatives and 3 chance hits of other
# groups; below 1, 246 relatives and 30 chance hits. So this lists about one chance hit for every
# twenty queries there, where 1 would make every ninth listed hit a chance one.
FOLD_LIST_E = 0.5


def fold_null_params(shorter: float) -> tuple[float, float]:
    """(mu, beta) of the Gumbel law of Y for a pair whose shorter chain has ``shorter`` residues."""
    n = max(1.0, float(shorter))
    return FOLD_MU0 + FOLD_MU1 * math.log(n), FOLD_BETA0 * n ** FOLD_BETA1


def fold_null_tail(tm_query: float, query_length: int, target_length: int) -> float:
    """P(TM_q >= ``tm_query``) for an unrelated target of ``target_length`` residues."""
    shorter = max(1, min(query_length, target_length))
    mu, beta = fold_null_params(shorter)
    y = tm_query * max(1, query_length) / shorter
    return -math.expm1(-math.exp(-(y - mu) / beta))


def fold_null_moments(query_length: int, target_lengths: np.ndarray) -> tuple[float, float]:
    """Sums, over unrelated targets of the given lengths, of the expected TM_q and TM_q squared."""
    lq = max(1, int(query_length))
    import numpy as np  # the commands' help reads this module's constants without NumPy

    shorter = np.maximum(1.0, np.minimum(float(lq), np.asarray(target_lengths, dtype=np.float64)))
    mu = FOLD_MU0 + FOLD_MU1 * np.log(shorter)
    beta = FOLD_BETA0 * shorter ** FOLD_BETA1
    mean_y = mu + _EULER * beta
    second_y = mean_y * mean_y + (math.pi ** 2 / 6.0) * beta * beta
    ratio = shorter / lq
    return float((ratio * mean_y).sum()), float((ratio * ratio * second_y).sum())


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
