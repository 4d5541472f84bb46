"""The search's prefilter through the key index gives the candidates -- and so the hits -- that
comparing every key gives, in one run of slices or several, here or on worker processes."""

import glob
import os

import numpy as np
import pytest

import dovelkit
from dovelkit import _core
from dovelkit.db import stages
from dovelkit.db.store import Database

from conftest import DATA

FILES = sorted(glob.glob(os.path.join(DATA, "families", "*", "*.pdb"))) + sorted(glob.glob(os.path.join(DATA, "*.pdb")))


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    chains = [c for p in FILES for c in dovelkit.load_chains(p)]
    if len(chains) < 30:
        pytest.skip(f"the bundled entries are absent ({DATA})")
    return Database.from_domains(tmp_path_factory.mktemp("ix") / "db.parquet", chains, rows_per_group=6)


def _hits(hits):
    return [(h.id, h.score, h.tm_target, h.prefilter_score, h.e_value, h.z_score) for h in hits]


def test_the_index_gives_the_candidates_of_every_key(db, monkeypatch):
    data, offsets = zip(*(db.read_keys(k) for k in range(db.n_slices)))
    queries = [db[i].coordinates for i in range(0, len(db), 4)]
    noisy = [q + np.random.default_rng(5).normal(scale=0.3, size=q.shape) for q in queries]
    for fold in (False, True):
        scores = np.concatenate([_core.prefilter_scores(noisy, d, o, fold=fold) for d, o in zip(data, offsets)], axis=1)
        for shard_entries in (10_000, 13):  # one run of slices, then runs of two slices
            monkeypatch.setattr(stages, "SHARD_ENTRIES", shard_entries)
            shards = stages.shards_of(db)
            assert (len(shards) == 1) == (shard_entries > len(db))
            for k in (3, 12):
                best = [stages.Candidates(k) for _ in noisy]
                for shard in shards:
                    found = stages.prefilter_shard(db, shard, noisy, k, fold)
                    for b, (p, s) in zip(best, found):
                        b.add(p, s)
                for q, (pos, sc) in enumerate((b.positions, b.scores) for b in best):
                    want = _core.top_candidates(scores[q].astype(np.float64), k)
                    np.testing.assert_array_equal(sc, scores[q][want])
                    positive = scores[q][want] > 0  # entries of score 0 fill up in any order
                    np.testing.assert_array_equal(pos[positive], want[positive])


def test_searches_through_the_index_equal_those_comparing_every_key(db, monkeypatch):
    queries = [db[i] for i in range(0, len(db), 9)]
    every = {}
    monkeypatch.setattr(stages, "INDEX_MIN_ENTRIES", 10**9)
    for mode in ("family", "fold"):
        every[mode] = [_hits(h) for _, h in dovelkit.search_many(queries, db, workers=1, candidates=8, level=mode)]
    monkeypatch.setattr(stages, "INDEX_MIN_ENTRIES", 0)
    monkeypatch.setattr(stages, "SHARD_ENTRIES", 20)
    for workers in (1, 2):
        for mode in ("family", "fold"):
            got = [_hits(h) for _, h in dovelkit.search_many(queries, db, workers=workers, candidates=8, level=mode)]
            assert got == every[mode], (workers, mode)
    one = dovelkit.search(queries[0], db, workers=1, candidates=8, level="fold")
    assert _hits(one) == every["fold"][0]
