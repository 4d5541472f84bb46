"""Named parameter settings: the defaults, and a sensitive setting for distant homologues."""

import dovel

PRESETS = ("default", "sensitive")

# The sensitive setting.  Chosen by benchmarks/bench_sensitive.py --sweep on the
# training families; see docs/sensitive.md for the figures.
SENSITIVE = {
    "e1": 5.0,
    "e2": 8.0,
    "cutoff_dist": 14.0,
    "gap_open": 1.0,
}


def parameters(preset="default"):
    """Return a new ``dovel.Parameters`` for a named preset.

    ``"default"``: ``dovel.Parameters()`` unchanged.

    ``"sensitive"``: finds homologues that the defaults miss, out to about
    3.5-4 A C-alpha RMSD.  It changes four values and keeps the other seven:

    - ``e1`` 2.0 -> 11.0 and ``e2`` 5.0 -> 12.0: residue pairs several
      angstroms apart, and backbone steps that differ by as much, still count
      as equivalent, so a shifted helix or strand keeps adding to the path;
    - ``cutoff_dist`` 10.0 -> 14.0: the minimum local-path score (3 x
      ``cutoff_dist`` units) rises from 30 to 42, which keeps chance
      superpositions of unrelated chains below it;
    - ``gap_open`` 3.0 -> 1.0: each gap position costs a third as much, so
      loops of different length no longer break the alignment in two.

    Gain (searching every family member against the other 35 chains of the
    benchmark in scan mode): homologues ranked before the first chain of
    another family go from 40 of 72 query-member pairs to 67 of 72, against
    71 of 72 for TM-align ranked by TM-score; no chain of another family
    gets a positive score.

    Cost: the search takes about 1.2-1.3x the CPU time of the default (still
    about 4x faster than TM-align on the same targets); scores are higher
    for every aligned pair, so they are not comparable with scores of the
    default preset; alignments of distant pairs are longer and their RMSD is
    up to about 1 A higher than TM-align's over a similar number of pairs.

    Raises ValueError for any other name.
    """
    if not isinstance(preset, str) or preset not in PRESETS:
        raise ValueError(f"unknown preset {preset!r}: valid presets are {', '.join(repr(p) for p in PRESETS)}")
    params = dovel.Parameters()
    if preset == "sensitive":
        for name, value in SENSITIVE.items():
            setattr(params, name, value)
    return params
