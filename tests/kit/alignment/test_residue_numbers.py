"""Residues are named by their author numbers (with insertion codes) in every result that names them."""

import json

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit import _core
from dovelkit.alignment.light import fold_align_files
from conftest import data_path, moved_copy


def test_labels_keep_insertion_codes_and_negative_numbers():
    orc = dovelkit.load(data_path("1orc.pdb"))
    labels = _core.residue_labels(orc)
    assert len(labels) == len(orc)
    k = labels.index("56")
    assert labels[k:k + 7] == ["56", "56A", "56B", "56C", "56D", "56E", "57"]
    o1z = _core.residue_labels(dovelkit.load(data_path("1o1z.pdb")))
    assert o1z[:4] == ["-3", "-2", "-1", "0"] or o1z[:3] == ["-3", "-2", "-1"]
    assert _core.residue_labels(orc.copy()) == labels  # copies keep them
    plain = dovel.Domain.from_arrays("x", np.zeros((3, 3)), "AGA")
    assert _core.residue_labels(plain) == ["1", "2", "3"]
    with pytest.raises(ValueError, match="2 for a domain of 3"):
        _core.set_residue_labels(plain, ["1", "2"])
    with pytest.raises(TypeError):
        _core.residue_labels("not a domain")


def test_pairs_text_and_json_name_author_residues(rng):
    orc = dovelkit.load(data_path("1orc.pdb"))
    labels = _core.residue_labels(orc)
    twin, _ = moved_copy(orc, rng, "twin")
    assert _core.residue_labels(twin) == labels  # new coordinates keep the residues' labels
    for level in ("fold", "family"):
        r = dovelkit.align(orc, twin, level=level)
        assert r.residue_pairs() == [[labels[i], labels[j]] for i, j in r.pairs.tolist()]
        assert ["56C", "56C"] in r.residue_pairs()
        d = json.loads(json.dumps(r.to_dict()))
        assert d["residues"] == r.residue_pairs() and d["pairs"] == r.pairs.tolist()
        first = r.text().splitlines()[0].split()
        assert first[1] == labels[0] and first[-1] == labels[59]

    # 1o1z starts at -3: the lines start with its author numbers, also on the NumPy-free path.
    path = data_path("1o1z.pdb")
    quick = fold_align_files(path, path)
    full = dovelkit.align(dovelkit.load(path), dovelkit.load(path))
    assert quick.text() == full.text()
    assert quick.text().splitlines()[0].split()[1] == "-3"
    assert quick.to_dict()["residues"] == full.to_dict()["residues"]
    assert quick.to_dict()["residues"][0] == ["-3", "-3"]


def test_the_fold_level_of_an_empty_family_result_names_residues_too():
    a = dovelkit.load(data_path("families/cytochrome_c/1hrc.pdb"))
    b = dovelkit.load(data_path("families/unrelated/1eh6.pdb"))
    r = dovelkit.align(a, b, level="family")
    d = r.to_dict()
    assert d["residues"] == [] and d["fold_level"]["residues"] == r.fold_level.residue_pairs()
    assert len(d["fold_level"]["residues"]) == r.fold_level.n_aligned > 0
