"""Reports and their figures: what they show agrees with the alignment, and the page stands alone."""

import os
import re

import numpy as np
import pytest

import dovelkit
from dovelkit.report import figures
from dovelkit.cli import main
from dovelkit.report.document import core_rmsd_matrix

from conftest import data_path

FAM = data_path("families", "cytochrome_c")


def family(name, dssp=True):
    pdb = os.path.join(FAM, f"{name}.pdb")
    return dovelkit.load(pdb, dssp=pdb[:-4] + ".dssp" if dssp else None)


@pytest.fixture(scope="module")
def pair():
    return dovelkit.align(family("1hrc"), family("1ycc"), level="family")


@pytest.fixture(scope="module")
def multiple():
    return dovelkit.msa([family(n) for n in ("1hrc", "1ycc", "1co6")], level="family")


def trace(fig, name):
    return next(t for t in fig.data if t.name == name)


def test_columns_from_pairs_hold_every_residue_once_in_order():
    rng = np.random.default_rng(7)
    for _ in range(200):
        len_a, len_b = rng.integers(0, 30, size=2)
        k = rng.integers(0, min(len_a, len_b) + 1)
        pairs = np.stack([np.sort(rng.choice(len_a, k, replace=False)),
                          np.sort(rng.choice(len_b, k, replace=False))], axis=1) if k else np.zeros((0, 2))
        cols = figures.columns_from_pairs(pairs, int(len_a), int(len_b))
        assert [i for i, _ in cols if i is not None] == list(range(len_a))
        assert [j for _, j in cols if j is not None] == list(range(len_b))
        assert [c for c in cols if None not in c] == [tuple(p) for p in pairs.astype(int).tolist()]
        assert all(c != (None, None) for c in cols)


def test_upgma_merges_by_average_linkage():
    d = np.array([[0, 2, 6, 10], [2, 0, 6, 10], [6, 6, 0, 8], [10, 10, 8, 0]], dtype=float)
    merges = figures.upgma(d)
    assert [(p, q) for p, q, _, _ in merges] == [(0, 1), (2, 4), (3, 5)]
    assert [h for _, _, h, _ in merges] == [2.0, 6.0, pytest.approx((10 + 10 + 8) / 3)]
    assert merges[-1][3] == 4
    fig = figures.dendrogram(["a", "b", "c", "d"], merges, "t", "x")
    # leaves sit in tree order (d, c, a, b from the top), the root at the last merge's height
    assert list(fig.layout.yaxis.tickvals) == [2.0, 3.0, 1.0, 0.0]
    assert max(x for x in fig.data[0].x if x is not None) == pytest.approx(28 / 3)


def test_pairwise_report_draws_the_alignment_it_was_given(pair):
    report = dovelkit.pairwise_report(pair)
    assert set(report.figures) == {"structure", "alignment", "distance"}
    view = report.figures["structure"]
    moved = pair.transform.apply(pair.mobile.coordinates)
    thin_b = trace(view, pair.mobile.id)
    np.testing.assert_allclose(np.column_stack([thin_b.x, thin_b.y, thin_b.z]), moved)
    thin_a = trace(view, pair.fixed.id)
    np.testing.assert_allclose(np.column_stack([thin_a.x, thin_a.y, thin_a.z]), pair.fixed.coordinates)
    # hovering a paired residue names its partner and their distance
    i, j = pair.pairs[10]
    assert f"{pair.mobile.id} {pair.mobile.sequence[j]}{j + 1}: {pair.distances[10]:.2f} Å" in thin_a.hovertext[i]

    bars = report.figures["distance"].data[0]
    np.testing.assert_allclose(bars.y, pair.distances)
    grid = report.figures["alignment"]
    coloured = grid.data[0].z
    shown = np.sort(coloured[np.isfinite(coloured)])
    np.testing.assert_allclose(shown, np.sort(np.repeat(pair.distances, 2)))
    # helices of the DSSP files are drawn; the letters are the chains' sequences
    assert len(grid.data) == 3 and np.isfinite(grid.data[1].z).any()
    text = grid.data[2]
    rows = {}  # rows of a block: SS, a, b, SS, spacer
    for x, y, t in zip(text.x, text.y, text.text):
        rows.setdefault(y % 5, []).append((y, x, t))
    for r, chain in ((1, pair.fixed), (2, pair.mobile)):
        assert "".join(t for _, _, t in sorted(rows[r])).replace("-", "") == chain.sequence

    text = report.text()
    assert f"{pair.n_aligned}" in text and pair.text() in text


def test_pairwise_report_without_secondary_structure():
    report = dovelkit.pairwise_report(dovelkit.align(family("1hrc", False), family("1ycc", False), level="family"))
    assert len(report.figures["alignment"].data) == 2  # no SS layer
    assert "No secondary structure was loaded" in report.html()


def test_pairwise_report_of_nothing_aligned():
    aln = dovelkit.align(family("1hrc", False), dovelkit.load(data_path("families", "thioredoxin", "2trx.pdb")), level="family")
    if aln.n_aligned:
        pytest.skip("these two align now")
    report = dovelkit.pairwise_report(aln)
    assert "n/a (nothing aligned)" in report.text() and "No pair: nothing was aligned" in report.html()
    assert all(t.showlegend is not False for t in report.figures["structure"].data)  # no thick stretch
    assert not np.isfinite(report.figures["alignment"].data[0].z).any()


def test_msa_report_core_rmsd_matches_the_alignment(multiple):
    report = dovelkit.msa_report(multiple)
    assert {"structure", "alignment", "tree", "rmsd"} <= set(report.figures)
    coords = [t.apply(d.coordinates) for d, t in zip(multiple.domains, multiple.transforms)]
    m = core_rmsd_matrix(coords, multiple.columns, multiple.core_positions)
    np.testing.assert_allclose(m, m.T)
    np.testing.assert_allclose(np.diag(m), 0)
    np.testing.assert_allclose(m[0], multiple.core_rmsd, atol=1e-6)
    assert "Average-linkage" in report.html() and "not the guide tree" in report.html()
    marks = [t for t in report.figures["alignment"].data[-1].text if t == "*"]
    assert len(marks) == len(multiple.core_positions)


def test_msa_report_without_core_columns_says_so():
    m = dovelkit.msa([family("1hrc"), family("1c2r")], level="family")
    if m.core_positions:
        pytest.skip("these two now share core columns")
    report = dovelkit.msa_report(m)
    assert "tree" not in report.figures and "rmsd" not in report.figures
    assert "no core column" in report.html()


def test_search_report_superposes_the_top_hits_with_aligned_residues():
    query = family("1hrc")
    targets = [family(n) for n in ("1ycc", "1co6", "1crc")] + [
        dovelkit.load(data_path("families", "thioredoxin", "2trx.pdb"))]
    hits = dovelkit.search(query, targets, workers=1, details=True, level="family")
    report = dovelkit.search_report(query, hits, top=10)
    view = report.figures["structure"]
    drawn = {t.name for t in view.data if t.showlegend is not False}
    expected = {f"#{h.rank} {h.id}" for h in hits if h.n_aligned}
    assert drawn == {query.id} | expected
    best = hits[0]
    moved = best.alignment.transform.apply(targets[best.position].coordinates)
    t = trace(view, f"#{best.rank} {best.id}")
    np.testing.assert_allclose(np.column_stack([t.x, t.y, t.z]), moved, atol=1e-9)
    assert len(report.figures["scores"].data[0].x) == len(hits)
    for h in hits:
        assert re.search(rf"\b{h.rank}\s+{h.id}\s+{h.score:.4f}", report.text())

    # without the hits' alignments the superposition is left out, and the page says why
    bare = dovelkit.search_report(query, dovelkit.search(query, targets, workers=1, level="family"))
    assert "structure" not in bare.figures and "details=True" in bare.html()
    empty = dovelkit.search_report(query, [])
    assert empty.figures == {} and "No hit above the score cutoff" in empty.html()


def test_page_is_self_contained(pair, tmp_path):
    report = dovelkit.pairwise_report(pair)
    page = report.html()
    import plotly.offline

    assert page.count(plotly.offline.get_plotlyjs()[:2000]) == 1  # plotly.js embedded once
    assert page.count("Plotly.newPlot(") == len(report.figures)
    assert "Content-Security-Policy" in page and "default-src 'none'" in page
    outside = page.replace(plotly.offline.get_plotlyjs(), "")
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//""", outside)
    assert "<link" not in outside and "@import" not in outside and "mathjax" not in outside.lower()


def test_write_is_atomic(pair, tmp_path, monkeypatch):
    report = dovelkit.pairwise_report(pair)
    target = tmp_path / "r.html"
    target.write_text("old")

    def broken(src, dst):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", broken)
    with pytest.raises(OSError):
        report.write(target)
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["r.html"]
    monkeypatch.undo()
    report.write(target)
    assert target.read_text().startswith("<!DOCTYPE html>") and os.listdir(tmp_path) == ["r.html"]
    with pytest.raises(FileNotFoundError):
        report.write(tmp_path / "missing" / "r.html")


def test_commands_write_reports(tmp_path, capsys):
    a, b, c = (os.path.join(FAM, f"{n}.pdb") for n in ("1hrc", "1ycc", "1co6"))
    out = tmp_path / "align.html"
    assert main(["align", a, b, "--html", str(out)]) == 0
    assert "Plotly.newPlot(" in out.read_text()
    assert main(["msa", a, b, c, "-o", str(tmp_path / "msa"), "--html", str(tmp_path / "msa.html")]) == 0
    assert "Average-linkage tree" in (tmp_path / "msa.html").read_text()
    assert main(["search", a, FAM, "--workers", "1", "-q", "--html", str(tmp_path / "s.html")]) == 0
    assert "1ycc_A" in (tmp_path / "s.html").read_text()
    capsys.readouterr()

    # a report that cannot be written stops the command before it writes anything
    moved = tmp_path / "moved.pdb"
    assert main(["align", a, b, "-o", str(moved), "--html", str(tmp_path / "no" / "r.html")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "does not exist" in err and not moved.exists()
    assert main(["msa", a, b, "-o", str(tmp_path / "m2"), "--html", str(tmp_path)]) == 1
    assert "is a directory" in capsys.readouterr().err and not (tmp_path / "m2").exists()
