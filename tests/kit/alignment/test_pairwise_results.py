"""dovelkit.align / PairwiseAlignment and dovelkit.msa / MultipleAlignment."""

import csv
import json
import math

import numpy as np
import pytest

import dovel
import dovelkit
from conftest import data_path, random_rotation

FAM = data_path("families")


def fam(rel, chain=None):
    return dovelkit.load(f"{FAM}/{rel}", chain=chain)


def moved(d, rng, shift=(40.0, -25.0, 60.0)):
    t = dovel.Transform.from_matrix(random_rotation(rng), np.array(shift))
    c = d.copy()
    c.coordinates = t.apply(d.coordinates)
    return c, t


def check_consistent(r):
    """Every number of the result follows from its listed pairs and its transform."""
    pairs = r.pairs
    assert pairs.dtype == np.int64 and pairs.shape == (r.n_aligned, 2)
    if r.n_aligned:
        assert np.all(np.diff(pairs[:, 0]) > 0) and np.all(np.diff(pairs[:, 1]) > 0)
        assert pairs.min() >= 0 and pairs[:, 0].max() < r.len_fixed and pairs[:, 1].max() < r.len_mobile
        moved = r.transform.apply(r.mobile.coordinates)
        d = np.linalg.norm(r.fixed.coordinates[pairs[:, 0]] - moved[pairs[:, 1]], axis=1)
        np.testing.assert_allclose(r.distances, d, atol=1e-9)
        if r.n_aligned >= 3:  # fewer pairs give no superposition
            assert r.rmsd == pytest.approx(math.sqrt(np.mean(d ** 2)), abs=1e-9)
        # the identity is taken over the core pairs: close pairs only
        core = r.core_pairs
        assert core.dtype == bool and core.shape == (r.n_aligned,)
        same = sum(r.fixed.sequence[i] == r.mobile.sequence[j] for i, j in pairs[core].tolist())
        assert r.seq_identity == pytest.approx(same / core.sum() if core.any() else 0.0, abs=1e-12)
        assert np.all(r.distances[core] < 5.0 + 1e-9)
    else:
        assert r.distances.shape == (0,) and math.isinf(r.rmsd) and r.score == 0.0 and r.seq_identity == 0.0
    assert r.coverage_fixed == pytest.approx(r.n_aligned / r.len_fixed)
    assert r.coverage_mobile == pytest.approx(r.n_aligned / r.len_mobile)


def check_module_numbers(r, m):
    """Score, RMSD, identity, pair count and transform are the module's own, bit for bit."""
    assert r.n_aligned == m.n_aligned == len(r.pairs)
    assert r.score.hex() == m.score.hex() and r.seq_identity.hex() == m.seq_identity.hex()
    if m.n_aligned:
        assert r.rmsd.hex() == m.rmsd.hex()
        assert r.transform.transformation_matrix().tobytes() == m.transformation_matrix().tobytes()
    else:
        assert math.isinf(r.rmsd)


def test_recovers_a_copy_in_an_unrelated_frame(rng):
    d = fam("thioredoxin/2trx.pdb")
    far, t = moved(d, rng)
    r = dovelkit.align(d, far, level="family")
    check_consistent(r)
    assert r.n_aligned == len(d) and np.all(r.pairs[:, 0] == r.pairs[:, 1])
    assert r.rmsd < 1e-6 and r.seq_identity == 1.0
    np.testing.assert_allclose(r.transform.apply(far.coordinates), d.coordinates, atol=1e-6)
    np.testing.assert_allclose(r.transform.compose(t).rotation, np.eye(3), atol=1e-9)
    assert far.coordinates.tobytes() == t.apply(d.coordinates).tobytes()  # b itself is never moved


@pytest.mark.parametrize("preset", ["default", "sensitive"])
def test_every_bundled_pair_is_consistent_and_the_module_alignment(rng, preset):
    """On every pair of the bundled families and the unrelated chains, in frames unrelated to the
    files' and in both modes: the pairs are those behind the module's numbers."""
    params = dovelkit.parameters(preset)
    found = 0
    with open(f"{FAM}/tmalign_pairs.tsv", encoding="utf-8") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    assert any(r["family"] == "unrelated" for r in rows)
    for row in rows:
        a, b = fam(row["file1"], row["chain1"]), fam(row["file2"], row["chain2"])
        b, _ = moved(b, rng)
        r = dovelkit.align(a, b, params, level="family")
        check_consistent(r)
        check_module_numbers(r, dovel.pairwise_align(a, b, params, scan_mode=True))
        found += r.n_aligned > 0
        # direct mode, from the scan's superposition
        placed = b.copy()
        placed.coordinates = r.transform.apply(b.coordinates)
        d = dovelkit.align(a, placed, params, level="family", method="direct")
        check_consistent(d)
        m = dovel.pairwise_align(a, placed, params)
        check_module_numbers(d, m)
        assert d.pairs.tolist() == [list(p) for p in m.aligned_pairs]
    assert found >= 15


def test_nothing_found_is_an_empty_alignment_not_an_error():
    a, b = fam("cytochrome_c/1hrc.pdb"), fam("unrelated/1eh6.pdb")
    assert dovel.pairwise_align(a, b, scan_mode=True).score == 0.0
    r = dovelkit.align(a, b, level="family")
    check_consistent(r)
    assert r.n_aligned == 0 and r.coverage_fixed == 0.0
    np.testing.assert_array_equal(r.transform.transformation_matrix(), np.eye(4))
    fasta = r.to_fasta(width=1000).splitlines()
    assert fasta[1] == a.sequence + "-" * len(b) and fasta[3] == "-" * len(a) + b.sequence
    d = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert d["rmsd"] is None and d["pairs"] == [] and d["n_aligned"] == 0
    tiny = dovel.Domain.from_arrays("tiny", np.zeros((2, 3)), "AG")
    assert dovelkit.align(a, tiny, level="family").n_aligned == 0


def test_direct_mode_is_the_module_direct_alignment():
    a, b = fam("cytochrome_c/1hrc.pdb"), fam("cytochrome_c/1ycc.pdb")
    b.coordinates = dovel.pairwise_align(a, b, scan_mode=True).transform.apply(b.coordinates)
    r = dovelkit.align(a, b, level="family", method="direct")
    m = dovel.pairwise_align(a, b)
    check_consistent(r)
    assert r.pairs.tolist() == [list(p) for p in m.aligned_pairs]
    assert r.score == m.score and r.rmsd == pytest.approx(m.rmsd, abs=1e-9)
    np.testing.assert_array_equal(r.transform.transformation_matrix(), m.transformation_matrix())
    assert (r.level, r.method) == ("family", "direct") and r.n_aligned > 90


def test_text_fasta_and_dict_show_the_same_alignment():
    r = dovelkit.align(fam("cytochrome_c/1hrc.pdb"), fam("cytochrome_c/1co6.pdb"), level="family")
    ga, gb = r.gapped_sequences()
    assert ga.replace("-", "") == r.fixed.sequence and gb.replace("-", "") == r.mobile.sequence
    # columns with two residues are exactly the pairs
    cols_a = np.cumsum([c != "-" for c in ga]) - 1
    cols_b = np.cumsum([c != "-" for c in gb]) - 1
    both = [(int(i), int(j)) for i, j, x, y in zip(cols_a, cols_b, ga, gb) if x != "-" and y != "-"]
    assert both == [tuple(p) for p in r.pairs.tolist()]

    for width in (7, 60, 1000):
        blocks = r.text(width).rstrip("\n").split("\n\n")
        legend = blocks.pop()
        assert "3.0" in legend and "5.0" in legend
        rows_a, marks, rows_b = zip(*(b.split("\n") for b in blocks))
        assert "".join(row.split()[2] for row in rows_a) == ga
        assert "".join(row.split()[2] for row in rows_b) == gb
        assert int(rows_a[-1].split()[-1]) == r.len_fixed and int(rows_b[-1].split()[-1]) == r.len_mobile
        pad = rows_a[0].index(rows_a[0].split()[2])
        mid = "".join(m[pad:].ljust(len(row.split()[2])) for m, row in zip(marks, rows_a))
        assert mid.count(":") == int(np.sum(r.distances <= 3.0))
        assert mid.count(":") + mid.count(".") == int(np.sum(r.distances <= 5.0))
    with pytest.raises(ValueError):
        r.text(0)

    lines = r.to_fasta().splitlines()
    k = lines.index(">" + r.mobile.id)
    assert lines[0] == ">" + r.fixed.id and "".join(lines[1:k]) == ga and "".join(lines[k + 1:]) == gb
    assert max(len(x) for x in lines) <= 60

    d = json.loads(json.dumps(r.to_dict()))
    assert d["n_aligned"] == r.n_aligned and d["pairs"] == r.pairs.tolist()
    np.testing.assert_allclose(d["transform"], r.transform.transformation_matrix())
    assert d["fixed"] == {"id": r.fixed.id, "chain": "A", "length": r.len_fixed}
    assert d["mobile"] == {"id": r.mobile.id, "chain": "A", "length": r.len_mobile}


def test_results_are_read_only_and_arguments_checked():
    a = fam("cytochrome_c/1hrc.pdb")
    r = dovelkit.align(a, a, level="family")
    with pytest.raises(ValueError):
        r.pairs[0, 0] = 5
    with pytest.raises(AttributeError):
        r.rmsd = 0.0  # type: ignore[misc]
    with pytest.raises(TypeError):
        dovelkit.align(a, "b.pdb", level="family")
    with pytest.raises(TypeError):
        dovelkit.align(a, a, params=dovel.Transform(), level="family")


# ---------------------------------------------------------------- multiple alignment

CYT = ["cytochrome_c/1hrc.pdb", "cytochrome_c/1crc.pdb", "cytochrome_c/1co6.pdb"]


def test_msa_matches_the_whole_file_pipeline(tmp_path, rng):
    """Domains in unrelated frames end up as align_pdbs aligns the files."""
    domains = [fam(p) for p in CYT]
    reference = dovel.align_pdbs([f"{FAM}/{p}" for p in CYT], str(tmp_path))
    shifted = [domains[0]] + [moved(d, rng, shift=(k * 30.0, 5.0, -40.0))[0] for k, d in enumerate(domains[1:])]
    m = dovelkit.msa(shifted, level="family")
    assert m.columns == reference.columns and m.core_positions == reference.core_positions
    assert len(m.transforms) == 3 and m.n_core > 80
    np.testing.assert_array_equal(m.transforms[0].transformation_matrix(), np.eye(4))
    # core RMSD: recomputed from the columns, in the common frame
    common = [t.apply(d.coordinates) for t, d in zip(m.transforms, shifted)]
    for k in range(3):
        rows = [(m.columns[c][0], m.columns[c][k]) for c in m.core_positions]
        d = np.array([np.linalg.norm(common[0][i] - common[k][j]) for i, j in rows])
        assert m.core_rmsd[k] == pytest.approx(math.sqrt(np.mean(d ** 2)), abs=1e-9)
    assert m.core_rmsd[0] == 0.0 and 0 < max(m.core_rmsd) < 2.0


def test_msa_fasta_and_errors():
    domains = [fam(p) for p in CYT]
    m = dovelkit.msa(domains, level="family")
    lines = m.to_fasta(width=10_000).splitlines()
    assert lines[0::2] == [">1hrc_A", ">1crc_A", ">1co6_A", ">core"]
    seqs, core = lines[1:7:2], lines[7]
    assert all(len(s) == len(m.columns) for s in seqs + [core])
    assert [s.replace("-", "") for s in seqs] == [d.sequence for d in domains]
    assert [c for c, x in enumerate(core) if x == "*"] == m.core_positions
    assert all("-" not in "".join(s[c] for s in seqs) for c in m.core_positions)
    steps = []
    dovelkit.msa(domains, progress=lambda done, total: steps.append((done, total)), level="family")
    assert steps == [(1, 3), (2, 3), (3, 3)]
    with pytest.raises(ValueError, match="at least 2"):
        dovelkit.msa(domains[:1], level="family")
    with pytest.raises(TypeError):
        dovelkit.msa([domains[0], "x.pdb"], level="family")


def test_the_commands_quick_fold_path_shows_what_the_library_computes(tmp_path):
    """`dovel align A B` at the fold level reads and aligns without NumPy (dovelkit.alignment.light); its text
    and JSON must be the library's, character for character: plain and gzip mmCIF, chains named,
    ligands after TER, a legacy-layout file, a chain id that is blank, unrelated chains."""
    from conftest import dovel_cmd

    from dovelkit.cli.cmd_align import summary
    from dovelkit.alignment.light import fold_align_files

    cases = [(f"{FAM}/cytochrome_c/1hrc.pdb", None, data_path("mmcif", "1BD2.cif.gz"), "A"),
             (data_path("3ems.pdb"), "A", data_path("1hpv.pdb"), "B"),
             (data_path("mmcif", "5PTI.cif.gz"), None, data_path("1ubq.pdb"), None),
             (data_path("mmcif", "4ZHL.cif"), "U", data_path("mmcif", "1GBT.cif"), None),
             (data_path("2juy_crlf.pdb"), None, f"{FAM}/unrelated/1eh6.pdb", None)]
    blank = tmp_path / "blank.pdb"
    blank.write_text("".join(line[:21] + " " + line[22:] if line.startswith(("ATOM", "HETATM", "TER")) else line
                             for line in open(data_path("1ubq.pdb")).readlines()))
    cases.append((str(blank), None, f"{FAM}/cytochrome_c/1hrc.pdb", None))
    for a, ca, b, cb in cases:
        quick = fold_align_files(a, b, ca, cb)
        full = dovelkit.align(dovelkit.load(a, chain=ca), dovelkit.load(b, chain=cb), level="fold")
        assert summary(quick, a, b) + quick.text() == summary(full, a, b) + full.text()
        assert json.dumps(quick.to_dict()) == json.dumps(full.to_dict())
        assert quick.to_fasta() == full.to_fasta()
        named = [x for x in (f"{a}:{ca}" if ca else a, f"{b}:{cb}" if cb else b)]
        out = dovel_cmd("align", *named)
        assert out.returncode == 0 and out.stdout == summary(full, a, b) + "\n" + full.text()
    # the same errors as the library's
    with pytest.raises(ValueError, match="no chain 'Q'"):
        fold_align_files(f"{FAM}/cytochrome_c/1hrc.pdb", data_path("1ubq.pdb"), chain_mobile="Q")
    assert fold_align_files(blank, blank).fixed.id == "blank__"
    bad = tmp_path / "bad.pdb"
    bad.write_text("HEADER    nothing here\n")
    with pytest.raises(ValueError, match="bad.pdb"):
        fold_align_files(bad, data_path("1ubq.pdb"))
