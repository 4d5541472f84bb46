"""The fold-level multiple alignment keeps the domains of multi-domain chains in the same columns when
a one-domain member is present: three antibody light chains (variable and constant domain) and one
variable domain alone (1a2y), in several orders. Reads ../shared/bench/entries where it is."""

from __future__ import annotations

from pathlib import Path

import pytest
from conftest import BENCH

import dovelkit

ENTRIES = Path(BENCH) / "entries"
pytestmark = pytest.mark.skipif(not (ENTRIES / "families.tsv").is_file(), reason=f"the benchmark set is expected in {ENTRIES}")

MEMBERS = (("2mcp", "L"), ("1a0q", "L"), ("2pcp", "A"), ("1a2y", "A"))


@pytest.fixture(scope="module")
def antibodies():
    return {name: dovelkit.load(ENTRIES / f"{name}.pdb", chain=chain) for name, chain in MEMBERS}


@pytest.mark.parametrize("order", [("2mcp", "1a0q", "2pcp", "1a2y"), ("1a2y", "2mcp", "1a0q", "2pcp"),
                                   ("2mcp", "1a2y", "2pcp", "1a0q")])
def test_light_chains_keep_both_domains_together(antibodies, order):
    domains = [antibodies[n] for n in order]
    m = dovelkit.msa(domains, level="fold")
    assert len(m.columns) <= 230  # the longest chain has 220 residues
    light = [k for k, n in enumerate(order) if n != "1a2y"]
    for a in light:
        for b in light:
            if a >= b:
                continue
            # The pairwise fold alignment of the two light chains (both domains) is kept.
            pairs = {tuple(p) for p in dovelkit.align(domains[a], domains[b], level="fold").pair_list()}
            together = {(c[a], c[b]) for c in m.columns if c[a] is not None and c[b] is not None}
            assert len(pairs & together) >= 0.9 * len(pairs), (order[a], order[b])
            # ... the constant domain (the second half) too.
            second = {p for p in pairs if p[0] >= 115}
            assert len(second & together) >= 0.9 * len(second)
    # The variable domain alone lies in the columns of the light chains' variable domains.
    v = order.index("1a2y")
    placed = [c for c in m.columns if c[v] is not None]
    assert sum(all(c[k] is not None for k in light) for c in placed) >= 0.8 * len(domains[v])
