"""Scan mode on homologues that are not colinear: horse cytochrome c (1hrc)
against another crystal form of it (1crc) whose omega loop, residues 41-52,
has been cut out. Residue for residue the windows pair the two across the gap
and find nothing; every surface that stands on the scan must still align them.
"""

import numpy as np
import pytest

import dovel
from conftest import data_path, read_ca

HRC = data_path("families", "cytochrome_c", "1hrc.pdb")
CRC = data_path("families", "cytochrome_c", "1crc.pdb")
GAP = range(41, 53)  # residue labels removed from 1crc chain A


def index_in_first(k):
    """Residue of 1hrc that residue k of the shortened 1crc corresponds to."""
    return k if k < 40 else k + len(GAP)


@pytest.fixture(scope="module")
def gapped(tmp_path_factory):
    path = tmp_path_factory.mktemp("gap") / "1crc_gap.pdb"
    with open(CRC) as fh, open(path, "w") as out:
        for line in fh:
            if line.startswith(("ATOM  ", "HETATM")) and line[21] == "A" and int(line[22:26]) in GAP:
                continue
            out.write(line)
    return str(path)


def placed_rmsd(first, second_moved):
    """RMSD of corresponding C-alpha atoms, the moved second chain as placed."""
    ref = first[[index_in_first(k) for k in range(len(second_moved))]]
    return float(np.sqrt(((second_moved - ref) ** 2).sum(axis=1).mean()))


def test_pairwise_align_in_scan_mode(gapped):
    d1 = dovel.Domain.from_pdb(HRC, "A")
    d2 = dovel.Domain.from_pdb(gapped, "A")
    assert len(d2.sequence) == 92
    r = dovel.pairwise_align(d1, d2, scan_mode=True)
    assert r.score > 0.8
    assert r.n_aligned >= 85
    assert r.rmsd < 1.0
    # Both sides of the gap sit on their counterparts.
    assert placed_rmsd(d1.coordinates, r.transform_coordinates(d2.coordinates)) < 1.0


def test_scan_database_finds_it_first(gapped):
    query = dovel.Domain.from_pdb(HRC, "A")
    targets = [dovel.Domain.from_pdb(data_path("families", "unrelated", "1stn.pdb"), "A"),
               dovel.Domain.from_pdb(gapped, "A")]
    hits = dovel.scan_database(query, targets)
    assert hits and hits[0].target_id == targets[1].id
    assert hits[0].score > 0.8
    assert hits[0].n_aligned >= 85
    assert all(h.score < 0.2 for h in hits[1:])


def test_align_pdbs_writes_it_onto_the_reference(gapped, tmp_path):
    dovel.align_pdbs([HRC, gapped], str(tmp_path), chain="A")
    moved = read_ca(str(tmp_path / "aligned_1crc_gap.pdb"), "A")
    assert len(moved) == 92
    assert placed_rmsd(read_ca(HRC, "A"), moved) < 1.0
