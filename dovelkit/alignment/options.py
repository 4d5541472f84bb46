"""Named parameter settings: the defaults, and a sensitive setting for distant homologues."""

import dovel

PRESETS = ("default", "sensitive")

# The sensitive setting, chosen with benchmarks/bench_sensitive.py on its
# training families (docs/sensitive.md has the figures and the choice).
SENSITIVE = {
    "e1": 5.0,
    "e2": 8.0,
    "cutoff_dist": 14.0,
    "gap_open": 1.0,
}


def parameters(preset: str = "default") -> dovel.Parameters:
    """Return a new ``dovel.Parameters`` for a named preset.

    ``"default"``: ``dovel.Parameters()`` unchanged.

    ``"sensitive"``: aligns homologues that the defaults leave at score 0,
    typically pairs at about 1.8-2.7 A C-alpha RMSD.  It changes four of the
    eleven values and keeps the other seven at their defaults:

    - ``e1`` 2.0 -> 5.0: the distance scale of the residue-pair probability,
      so residues 2-3 A apart still count as equivalent;
    - ``e2`` 5.0 -> 8.0: the same for differences of the backbone steps;
    - ``gap_open`` 3.0 -> 1.0: each gap position costs a third as much, so a
      loop of different length no longer splits the alignment;
    - ``cutoff_dist`` 10.0 -> 14.0: the minimum score of a local path rises
      from 30 to 42 units.  This keeps chance matches between unrelated
      chains, which the looser scales would otherwise let through, at 0.

    Gain, on the family search benchmark (29 queries against 43 chains each,
    scan mode): 67 of the 85 homologues that TM-align ranks before the first
    chain of another family are ranked before it, against 52 with the
    defaults; no chain of another family gets a positive score.

    Cost: about 1.2x the CPU time of the default search (about 4.4x faster
    than TM-align on the same targets); aligned pairs score higher than with
    the defaults, so scores of the two presets are not comparable; pairs
    aligned by both presets get about 10 % more aligned residues at a higher
    RMSD (median 1.19 A against 0.83 A; TM-align 1.27 A).  Pairs beyond about
    3 A (fold-level relatives) stay out of reach.

    Raises ValueError for any other name.
    """
    if not isinstance(preset, str) or preset not in PRESETS:
        raise ValueError(f"unknown preset {preset!r}: valid presets are {', '.join(repr(p) for p in PRESETS)}")
    params = dovel.Parameters()
    if preset == "sensitive":
        for name, value in SENSITIVE.items():
            setattr(params, name, value)
    return params
