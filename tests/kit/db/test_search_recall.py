"""The default (prefiltered) fold-level search finds what the exhaustive one finds, on real distant
relatives: the TIM barrels of the benchmark set (4-14 % identity, eight repeated strand-helix units),
among the chains of the other families. Reads ../shared/bench/entries where it is."""

from __future__ import annotations

import csv
import os
from pathlib import Path

import pytest
from conftest import BENCH

import dovelkit
from dovelkit.db.listing import listed
from dovelkit.db.store import Database
from dovelkit.db.statistics import FOLD_LIST_E


ENTRIES = Path(BENCH) / "entries"
pytestmark = pytest.mark.skipif(not (ENTRIES / "families.tsv").is_file(), reason=f"the benchmark set is expected in {ENTRIES}")


@pytest.fixture(scope="module")
def family_chains(tmp_path_factory):
    """The family chain of every entry (58) in a database with keys, and each one's family."""
    with open(ENTRIES / "families.tsv", newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    chains = [dovelkit.load(ENTRIES / r["file"], chain=r["chain"]) for r in rows]
    family = {d.id: r["family"] for d, r in zip(chains, rows)}
    path = tmp_path_factory.mktemp("recall") / "entries.parquet"
    db = Database.from_domains(os.fspath(path), chains, rows_per_group=8)
    return {d.id: d for d in chains}, family, db


def _relatives_listed(hits, query, family):
    return {h.id for h in hits if h.id != query and family[h.id] == family[query] and listed(h, "fold", FOLD_LIST_E)}


@pytest.mark.parametrize("query", ["1d3h_A", "1ml1_A"])
def test_prefilter_keeps_the_tim_barrels_the_exhaustive_search_lists(family_chains, query):
    chains, family, db = family_chains
    # Half of the entries, as the default count aligns of the whole set's 104 chains: the prefilter
    # has to choose, and before it ranked these relatives among the last.
    chosen = dovelkit.search(chains[query], db, workers=1, level="fold", max_hits=len(db), candidates=30)
    full = dovelkit.search(chains[query], db, workers=1, level="fold", max_hits=len(db), exhaustive=True)
    expected = _relatives_listed(full, query, family)
    assert len(expected) >= 4  # distant, but the exhaustive search lists most of them
    assert _relatives_listed(chosen, query, family) == expected
    # The result tells how much was aligned.
    assert (chosen.aligned, chosen.entries, chosen.prefiltered) == (30, len(db), True)
    assert (full.aligned, full.entries, full.prefiltered) == (len(db), len(db), False)
