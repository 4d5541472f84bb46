"""The viewer's scene: whole structures moved into one frame, residues matched to the chain as
loaded, colours and hover texts of the aligned residues, and a page that asks for nothing."""

import base64
import io
import json
import re
import zipfile

import gemmi
import numpy as np
import pytest

import dovelkit
from dovelkit.report import viewer as V

from conftest import data_path


def scene_of(block):
    data = base64.b64decode(re.search(r'data-scene="([^"]+)"', block).group(1))
    return zipfile.ZipFile(io.BytesIO(data))


def atoms(text, chain=None, name="CA"):
    """(label, xyz) of the named atoms of a chain of an mmCIF text, read by gemmi independently."""
    st = gemmi.make_structure_from_block(gemmi.cif.read_string(text).sole_block())
    out = []
    for ch in st[0]:
        if chain is not None and ch.name != chain:
            continue
        for res in ch:
            for atom in res:
                if atom.name == name:
                    out.append((f"{res.seqid.num}{res.seqid.icode.strip()}", atom.pos.tolist()))
    return out


@pytest.fixture(scope="module")
def pair():
    fixed_path = data_path("families", "cytochrome_c", "1hrc.pdb")
    mobile_path = data_path("families", "cytochrome_c", "1ycc.pdb")
    a, b = dovelkit.load(fixed_path), dovelkit.load(mobile_path)
    return fixed_path, mobile_path, a, b, dovelkit.align(a, b, level="fold")


def test_whole_files_move_with_the_alignment_and_residues_match(pair):
    fixed_path, mobile_path, a, b, aln = pair
    fixed = V.place_file(fixed_path, None, a.id)
    moved = V.place_file(mobile_path, aln.transform, b.id)
    # The C-alpha atoms of the moved file are the aligned chain's, moved: label for label.
    cas = atoms(moved.text, moved.chain)
    assert [lab for lab, _ in cas][: len(moved.labels)] == moved.labels
    expected = aln.transform.apply(np.ascontiguousarray(b.coordinates, dtype=np.float64))
    assert np.allclose([xyz for _, xyz in cas][: len(b)], expected, atol=1e-3)
    assert np.allclose([xyz for _, xyz in atoms(fixed.text, fixed.chain)][: len(a)], a.coordinates, atol=1e-3)
    # Side chains and the heme come along; waters do not (nothing draws them).
    names = set(gemmi.cif.read_string(moved.text).sole_block().find_values("_atom_site.label_comp_id"))
    assert "HEC" in names and "HOH" not in names
    assert len(atoms(moved.text, moved.chain, "CB")) > 50

    V.annotate_pairs(fixed, moved, aln.pairs, aln.distances, (a.sequence, b.sequence))
    pairs = np.asarray(aln.pairs).reshape(-1, 2)
    assert set(fixed.residues) == set(pairs[:, 0].tolist()) and set(moved.residues) == set(pairs[:, 1].tolist())
    i, j = (int(x) for x in pairs[0])
    d = float(np.asarray(aln.distances)[0])
    assert fixed.residues[i] == (V.distance_colour(d),
                                 f"paired with {b.id} {b.sequence[j]}{moved.labels[j]}: {d:.2f} Å")


def test_scene_archive_names_every_residue_once(pair):
    fixed_path, mobile_path, a, b, aln = pair
    fixed = V.place_file(fixed_path, None, a.id)
    moved = V.place_file(mobile_path, aln.transform, b.id)
    moved.colour = V.colour(1)
    V.annotate_pairs(fixed, moved, aln.pairs, aln.distances, (a.sequence, b.sequence))
    archive = scene_of(V.viewer_block([fixed, moved]))
    assert sorted(archive.namelist()) == ["annotations_0.json", "annotations_1.json", "index.mvsj",
                                          "structure_0.cif", "structure_1.cif"]
    tree = json.loads(archive.read("index.mvsj"))
    urls = [n["params"]["url"] for n in tree["root"]["children"] if n["kind"] == "download"]
    assert urls == ["structure_0.cif", "structure_1.cif"]  # inside the archive: nothing is fetched
    rows = json.loads(archive.read("annotations_1.json"))
    assert len(rows) == len(b) and {r["auth_asym_id"] for r in rows} == {moved.chain}
    unaligned = V.lighten(V.colour(1), 0.55)
    assert sum(r["color"] != unaligned for r in rows) == len(moved.residues)
    # The same scene gives the same bytes (no time stamp in the archive).
    assert V.scene_archive([fixed, moved]) == V.scene_archive([fixed, moved])


def test_insertion_codes_chains_and_names_reach_the_scene_as_data():
    placed = V.Placed('<b>x</b>"', "data_x\n", "B", ["52", "52A", "53"], residues={1: ("#123456", "tip")})
    block = V.viewer_block([placed], title="<script>")
    assert "<b>x</b>" not in block and "<script>" not in block
    rows = json.loads(scene_of(block).read("annotations_0.json"))
    assert rows[1] == {"auth_asym_id": "B", "auth_seq_id": 52, "pdbx_PDB_ins_code": "A", "color": "#123456",
                       "tooltip": '<b>x</b>": tip'}
    assert "pdbx_PDB_ins_code" not in rows[0] and rows[2]["auth_seq_id"] == 53
    with pytest.raises(ValueError):
        V.viewer_block([])


def test_chain_without_file_is_drawn_from_its_c_alpha_atoms(pair):
    *_, a, b, aln = pair
    placed = V.place_domain(b, aln.transform, "in memory")
    cas = atoms(placed.text)
    assert len(cas) == len(b) == len(placed.labels)
    assert np.allclose([xyz for _, xyz in cas], aln.transform.apply(np.ascontiguousarray(b.coordinates)), atol=1e-3)


def test_distance_colours_follow_the_scale():
    assert V.distance_colour(0.0) == V.DISTANCE_SCALE[0][1]
    assert V.distance_colour(V.DISTANCE_MAX) == V.distance_colour(50.0) == V.DISTANCE_SCALE[-1][1]
    assert V.distance_colour(float("nan")) == V.DISTANCE_SCALE[-1][1]
    assert V.distance_colour(3.0) == V.DISTANCE_SCALE[2][1]  # 0.5 of the way
