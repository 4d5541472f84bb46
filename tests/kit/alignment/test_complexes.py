"""Complexes through the kit: chain maps (permuted homo-oligomers, unequal chain counts, a given
partial map), the swap of the arguments, and TM-scores that follow from the pairs and transform."""

import json
import os

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit.alignment.complexes import align_complexes, parse_chain_map

from conftest import DATA, data_path, dovel_cmd


def _d0(length):
    return 0.5 if length <= 21 else 1.24 * (length - 15) ** (1.0 / 3.0) - 1.8


def _recomputed(r):
    """Both complex TM-scores from the pairs and the transform alone, with NumPy."""
    m = np.asarray(r.transform.transformation_matrix())
    fixed = [d.coordinates for d in r.fixed_chains]
    mobile = [d.coordinates for d in r.mobile_chains]
    x = np.array([fixed[a][i] for a, i, _, _ in r.pairs.tolist()])
    y = np.array([mobile[b][j] for _, _, b, j in r.pairs.tolist()])
    d2 = ((y @ m[:3, :3].T + m[:3, 3] - x) ** 2).sum(axis=1)
    lf = sum(len(d) for d in r.fixed_chains)
    lm = sum(len(d) for d in r.mobile_chains)
    return (1 / (1 + d2 / _d0(lf) ** 2)).sum() / lf, (1 / (1 + d2 / _d0(lm) ** 2)).sum() / lm


def _moved(domain, rotation, shift, ident):
    return dovel.Domain.from_arrays(ident, domain.coordinates @ rotation.T + shift, domain.sequence)


def _rotation(angle):
    c, s = np.cos(angle), np.sin(angle)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) @ np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


def test_related_heterodimers_from_files_both_ways():
    a, b = data_path("complexes", "1f0s.pdb"), data_path("complexes", "1lpz.pdb")
    r = align_complexes(a, b)
    # Heavy chain A of 1F0S is chain B of 1LPZ; US-align's complex TM-scores are 0.9980 / 0.9911.
    assert r.chain_map == [("A", "B"), ("B", "A")]
    assert r.tm_fixed >= 0.997 and r.tm_mobile >= 0.990
    assert r.unmatched_fixed == () and r.unmatched_mobile == ()
    assert np.allclose(_recomputed(r), (r.tm_fixed, r.tm_mobile), atol=1e-9)
    assert sum(c.n_aligned for c in r.chains) == r.n_aligned
    s = align_complexes(b, a)
    assert (s.tm_fixed, s.tm_mobile) == (r.tm_mobile, r.tm_fixed)
    assert s.chain_map == sorted((m, f) for f, m in r.chain_map)
    assert sorted(map(tuple, s.pair_list())) == sorted((c, j, f, i) for f, i, c, j in r.pair_list())
    assert np.allclose(s.transform.transformation_matrix() @ r.transform.transformation_matrix(), np.eye(4),
                       atol=1e-9)
    assert np.allclose(_recomputed(s), (s.tm_fixed, s.tm_mobile), atol=1e-9)


def test_permuted_homodimer_and_a_given_partial_map():
    chains = dovelkit.load_chains(data_path("1hpv.pdb"))
    assert [d.id for d in chains] == ["1hpv_A", "1hpv_B"]
    rot, shift = _rotation(1.1), np.array([20.0, -7.0, 3.0])
    swapped = [_moved(chains[1], rot, shift, "copy_B"), _moved(chains[0], rot, shift, "copy_A")]
    r = align_complexes(chains, swapped)
    assert r.chain_map == [("A", "A"), ("B", "B")]  # chain names of the copies: A went second
    assert r.pairs[:, 2].tolist()[:3] == [1, 1, 1]  # fixed chain 0 with mobile position 1
    assert r.tm_fixed == pytest.approx(1.0, abs=1e-6)
    assert r.rmsd < 1e-6
    # Told to pair A with the copy of B, the map follows, and the other chains fill in around it.
    told = align_complexes(chains, swapped, chain_map="A=B")
    assert told.chain_map == [("A", "B"), ("B", "A")]
    assert 0.5 < told.tm_fixed < r.tm_fixed
    assert np.allclose(_recomputed(told), (told.tm_fixed, told.tm_mobile), atol=1e-9)
    assert align_complexes(chains, swapped, chain_map={"A": "B"}).chain_map == told.chain_map
    assert align_complexes(chains, swapped, chain_map=[("A", "B")]).chain_map == told.chain_map


def test_pentamer_in_rotated_chain_order():
    chains = dovelkit.load_chains(data_path("2beg.pdb"))
    assert len(chains) == 5
    rot, shift = _rotation(-2.3), np.array([0.0, 50.0, -9.0])
    names = "VWXYZ"
    mobile = [_moved(chains[(k + 3) % 5], rot, shift, f"m_{names[k]}") for k in range(5)]
    r = align_complexes(chains, mobile)
    fixed_names = [chain_id for chain_id, _ in r.chain_map]
    assert fixed_names == ["A", "B", "C", "D", "E"]
    for k, (_, m) in enumerate(r.chain_map):
        assert names.index(m) == (k - 3) % 5
    assert r.tm_fixed == pytest.approx(1.0, abs=1e-6)


def test_unequal_chain_counts_name_the_unmatched_chains():
    dimer = data_path("1hpv.pdb")
    single = [dovelkit.load(data_path("1k6p.pdb"), chain="B")]
    r = align_complexes(dimer, single)
    assert len(r.chain_map) == 1 and r.chain_map[0][1] == "B"
    assert len(r.unmatched_fixed) == 1 and r.unmatched_mobile == ()
    assert r.tm_mobile > 0.8 and r.tm_fixed < 0.55
    assert np.allclose(_recomputed(r), (r.tm_fixed, r.tm_mobile), atol=1e-9)
    back = align_complexes(single, dimer)
    assert back.unmatched_mobile == r.unmatched_fixed and back.unmatched_fixed == ()
    assert (back.tm_fixed, back.tm_mobile) == (r.tm_mobile, r.tm_fixed)


def test_result_as_plain_values():
    r = align_complexes(data_path("1hpv.pdb"), data_path("1k6p.pdb"))
    d = json.loads(json.dumps(r.as_dict()))
    assert d["fixed"] == {"id": "1hpv", "chains": ["A", "B"], "length": r.length_fixed}
    assert d["mobile"]["id"] == "1k6p"
    assert np.allclose(d["transform"], r.transform.transformation_matrix()[:3])  # [R | t]
    assert d["chain_map"] == [list(p) for p in r.chain_map]
    assert {c["fixed"] for c in d["chains"]} == {f for f, _ in r.chain_map}
    assert d["n_aligned"] == len(d["pairs"]) == sum(c["n_aligned"] for c in d["chains"])
    fixed = {c: d for c, d in zip(r.fixed_names, r.fixed_chains)}
    for fc, fi, mc, mi in d["pairs"]:
        assert isinstance(fc, str) and isinstance(mc, str)
        assert 0 <= fi < len(fixed[fc])
        assert [fc, mc] in d["chain_map"]


def test_bad_arguments():
    chains = dovelkit.load_chains(data_path("1hpv.pdb"))
    with pytest.raises(ValueError, match="does not hold"):
        align_complexes(chains, chains, chain_map="A=Q")
    with pytest.raises(ValueError, match="twice"):
        align_complexes(chains, chains, chain_map="A=A,B=A")
    with pytest.raises(ValueError, match="FIXED=MOBILE"):
        parse_chain_map("A-B")
    with pytest.raises(ValueError, match="empty"):
        parse_chain_map(" , ")
    with pytest.raises(ValueError, match="no chain"):
        align_complexes([], chains)
    with pytest.raises(TypeError):
        align_complexes([chains[0], "B"], chains)
    with pytest.raises(TypeError):
        align_complexes(3, chains)
    with pytest.raises(OSError):
        align_complexes(os.path.join(DATA, "no_such_file.pdb"), chains)
    # The package's pairwise function stays in place beside the alignment modules.
    assert callable(dovelkit.align) and dovelkit.align_complexes is align_complexes


# -- the command ---------------------------------------------------------------------------------

def _user_error(p, *words):
    assert p.returncode == 1, p.stderr
    lines = p.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in p.stderr, p.stderr
    for w in words:
        assert w in lines[0]


def test_command_json_output_file_and_table(tmp_path):
    a, b = data_path("1hpv.pdb"), data_path("1k6p.pdb")
    out, page = tmp_path / "k6p_on_hpv.cif", tmp_path / "report.html"
    p = dovel_cmd("align", a, b, "--complex", "--json", "-o", out, "--html", page)
    assert p.returncode == 0, p.stderr
    data = json.loads(p.stdout)
    html = page.read_text(encoding="utf-8")
    assert "Chain map" in html and "1k6p superposed on 1hpv" in html
    for key in ("fixed", "mobile", "tm_fixed", "tm_mobile", "n_aligned", "rmsd", "transform", "chain_map", "chains",
                "pairs"):
        assert key in data
    assert data["tm_fixed"] > 0.8 and len(data["chain_map"]) == 2
    # The file written is the whole mobile assembly moved by the reported transform.
    T = np.array(data["transform"])
    for name in ("A", "B"):
        before = dovelkit.load(b, chain=name).coordinates
        after = dovelkit.load(out, chain=name).coordinates
        np.testing.assert_allclose(after, before @ T[:3, :3].T + T[:3, 3], atol=2e-3)

    text = dovel_cmd("align", a, b, "--complex", "--chain-map", "A=B")
    assert text.returncode == 0, text.stderr
    lines = text.stdout.splitlines()
    table = lines[lines.index("chain map") + 1:]
    assert table[0].split()[:2] == ["fixed", "mobile"]
    assert table[1].split()[:2] == ["A", "B"] and table[2].split()[:2] == ["B", "A"]
    assert any("every chain of both assemblies is matched" in x for x in lines)

    many = dovel_cmd("align", "--all", a, b, data_path("2beg.pdb"), "--complex")
    assert many.returncode == 0, many.stderr
    rows = [line.split("\t") for line in many.stdout.splitlines()]
    assert rows[0][:3] == ["fixed", "mobile", "chains_fixed"] and len(rows) == 4
    assert rows[3][2:4] == ["2", "5"] and rows[3][-2] == "-" and len(rows[3][-1].split(",")) == 3


def test_command_mistakes_are_one_line(tmp_path):
    a, b = data_path("1hpv.pdb"), data_path("1k6p.pdb")
    _user_error(dovel_cmd("align", a, b, "--complex", "--chain-map", "A=Q"), "chain map", "'Q'")
    _user_error(dovel_cmd("align", a, b, "--complex", "--chain-map", "A:B"), "--chain-map")
    _user_error(dovel_cmd("align", a, b, "--chain-map", "A=B"), "--complex")
    _user_error(dovel_cmd("align", a, b, "--complex", "--chain1", "A"), "--chain1")
    _user_error(dovel_cmd("align", f"{a}:A", b, "--complex"), "every chain")
    _user_error(dovel_cmd("align", "--all", a, b, "--complex", "-o", tmp_path / "x.pdb"), "-o")
    _user_error(dovel_cmd("align", a, tmp_path / "missing.pdb", "--complex"), "no such file")
