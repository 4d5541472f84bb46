"""The bundled real chains with what is known of their relationships, for the search benchmarks.

Families: ../shared/data/families (families.tsv; the chains of "unrelated" are each a family of their
own). Other entries: the top-level PDB files and ../shared/data/mmcif, whose relationships to the
families are not recorded (family None): they sit in the database as decoys and are left out of
the counts of true and false hits.
"""

from __future__ import annotations

import csv
import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import dovelkit  # noqa: E402

DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")


def labelled_chains(every_chain: bool = False) -> list[tuple[object, str]]:
    """(domain, family) of the chain families.tsv names for each entry of the families or, with
    ``every_chain``, of every chain of those entries (each other chain is the same protein)."""
    out = []
    with open(os.path.join(DATA, "families", "families.tsv"), newline="") as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            path = os.path.join(DATA, "families", row["file"])
            family = row["family"] if row["family"] != "unrelated" else "unrelated/" + row["file"]
            chains = dovelkit.load_chains(path) if every_chain else [dovelkit.load(path, chain=row["chain"])]
            out.extend((d, family) for d in chains)
    return out


# What is known of the other entries: chains of one group are the same protein or share a domain;
# chains of different groups, and of no group, are unrelated (so are they all to the families).
OTHER_GROUPS = {
    "ubiquitin": ("1ubq", "1d3z"),
    "hiv_protease": ("1hpv", "1k6p"),
    "zinc_finger": ("1sp1", "1sp2", "3znf"),
    "amyloid_fibril": ("2beg",),
    "hiv_capsid": ("1a8o",),
    "trypsin_like": ("1gbt", "4zhl"),  # 4ZHL: urokinase with a peptide, both chains kept together
    "mhc_tcr": ("1bd2",),  # HLA, beta-2 microglobulin, peptide, T-cell receptor: Ig-like domains shared
}


def other_group(domain: object) -> str:
    """The group of a chain of other_chains(): one of OTHER_GROUPS or, alone, its entry."""
    entry = domain.id.rsplit("_", 1)[0].lower()
    for group, entries in OTHER_GROUPS.items():
        if entry in entries:
            return group
    return "entry/" + entry


def other_chains() -> list[object]:
    """Every chain of the top-level entries and of the mmCIF files."""
    paths = sorted(glob.glob(os.path.join(DATA, "*.pdb")) + glob.glob(os.path.join(DATA, "mmcif", "*.cif*")))
    out = []
    for p in paths:
        try:
            out.extend(dovelkit.load_chains(p))
        except (OSError, ValueError):
            continue
    return out
