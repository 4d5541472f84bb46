"""Complexes: two assemblies of protein chains aligned as one body.

:func:`align_complexes` finds which chain of one assembly goes with which chain of the other,
aligns the residues of every mapped chain pair and superposes the assemblies with one rigid
transform -- all in the core (``dovelkit._core.complex_align``); this module reads the files,
names the chains and hands the result out.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.io.paths import PathLike


@dataclass(frozen=True)
class ChainMatch:
    """One mapped chain pair: chain ids, the pairs aligned between them, and their TM-scores
    normalised by each chain's own length (under the complex transform)."""

    fixed: str
    mobile: str
    n_aligned: int
    tm_fixed: float
    tm_mobile: float


@dataclass(frozen=True, eq=False)
class ComplexAlignment:
    """The alignment of assembly ``mobile`` onto assembly ``fixed``.

    ``tm_fixed`` and ``tm_mobile`` are complex TM-scores: the TM-score sum over all aligned pairs
    under ``transform``, normalised by the total residue count of the fixed (mobile) assembly with
    d0 of that count; ``pairs`` and ``transform`` give them back exactly. ``pairs`` is an (n, 4)
    int64 array of (fixed chain, fixed index, mobile chain, mobile index), chains as positions in
    ``fixed_chains``/``mobile_chains`` and indices 0-based along each chain as read. ``chains`` lists
    the chain map (:class:`ChainMatch` by fixed chain order); chains of either side without a
    partner are named in ``unmatched_fixed`` and ``unmatched_mobile``. ``rmsd`` is the least-squares
    RMSD of the pairs; ``distances`` their C-alpha distances under ``transform``.
    """

    fixed: str
    mobile: str
    fixed_chains: tuple[dovel.Domain, ...]
    mobile_chains: tuple[dovel.Domain, ...]
    fixed_names: tuple[str, ...]
    mobile_names: tuple[str, ...]
    transform: dovel.Transform
    pairs: np.ndarray
    distances: np.ndarray
    rmsd: float
    tm_fixed: float
    tm_mobile: float
    length_fixed: int
    length_mobile: int
    chains: tuple[ChainMatch, ...]
    unmatched_fixed: tuple[str, ...]
    unmatched_mobile: tuple[str, ...]

    @property
    def n_aligned(self) -> int:
        return int(self.pairs.shape[0])

    @property
    def chain_map(self) -> list[tuple[str, str]]:
        """(fixed chain, mobile chain) of every mapped pair."""
        return [(c.fixed, c.mobile) for c in self.chains]

    def pair_list(self) -> list[list[Any]]:
        """The pairs as [fixed chain id, fixed index, mobile chain id, mobile index]."""
        fn, mn = self.fixed_names, self.mobile_names
        return [[fn[a], i, mn[b], j] for a, i, b, j in self.pairs.tolist()]

    def matrix_list(self) -> list[list[float]]:
        return list(self.transform.transformation_matrix().tolist())

    def as_dict(self) -> dict[str, Any]:
        """The result as plain values (what ``dovel align --complex --json`` prints)."""
        return {
            "fixed": {"id": self.fixed, "chains": list(self.fixed_names), "length": self.length_fixed},
            "mobile": {"id": self.mobile, "chains": list(self.mobile_names), "length": self.length_mobile},
            "tm_fixed": self.tm_fixed,
            "tm_mobile": self.tm_mobile,
            "n_aligned": self.n_aligned,
            "rmsd": self.rmsd if math.isfinite(self.rmsd) else None,
            "transform": self.matrix_list()[:3],  # [R | t]
            "chain_map": [[f, m] for f, m in self.chain_map],
            "chains": [
                {"fixed": c.fixed, "mobile": c.mobile, "tm_fixed": c.tm_fixed, "tm_mobile": c.tm_mobile,
                 "n_aligned": c.n_aligned}
                for c in self.chains
            ],
            "unmatched_fixed": list(self.unmatched_fixed),
            "unmatched_mobile": list(self.unmatched_mobile),
            "pairs": self.pair_list(),
        }

    def moved_coordinates(self) -> list[np.ndarray]:
        """Each mobile chain's C-alpha coordinates moved onto the fixed assembly."""
        return [self.transform.apply(d.coordinates) for d in self.mobile_chains]

    def __repr__(self) -> str:
        return (f"ComplexAlignment(fixed='{self.fixed}', mobile='{self.mobile}', chain_map={self.chain_map}, "
                f"n_aligned={self.n_aligned}, rmsd={self.rmsd:.3f}, tm_fixed={self.tm_fixed:.4f}, "
                f"tm_mobile={self.tm_mobile:.4f})")


def chain_name(domain: dovel.Domain) -> str:
    """The chain id of a domain as the kit's readers name it (``1abc_A`` gives ``A``, ``1abc__`` the
    blank chain ``_``); the domain's one-character chain for other ids."""
    ident = domain.id
    if "_" in ident:
        name = ident.rsplit("_", 1)[1]
        return name or "_"
    return str(domain.chain)


def _assembly(side: str, source: PathLike | Sequence[dovel.Domain], max_size: int | None
              ) -> tuple[str, list[dovel.Domain], list[str]]:
    if isinstance(source, (str, bytes, os.PathLike)):
        from dovelkit.io.reading import file_stem, load_chains

        chains = load_chains(source, max_size=max_size)
        return file_stem(source), chains, [chain_name(d) for d in chains]
    if not isinstance(source, Iterable):
        raise TypeError(f"{side} must be a path or a list of dovel.Domain, not {type(source).__name__}")
    chains = list(source)
    for d in chains:
        if not isinstance(d, dovel.Domain):
            raise TypeError(f"{side} must hold dovel.Domain objects, not {type(d).__name__}")
    if not chains:
        raise ValueError(f"{side} holds no chain")
    names = [chain_name(d) for d in chains]
    if len(set(names)) != len(names):  # several chains of one id: tell them apart by position
        names = [f"{n}{k + 1}" if names.count(n) > 1 else n for k, n in enumerate(names)]
    stems = {d.id.rsplit("_", 1)[0] for d in chains}
    label = stems.pop() if len(stems) == 1 else "+".join(d.id for d in chains)
    return label, chains, names


def parse_chain_map(text: str) -> list[tuple[str, str]]:
    """``A=B,C=D`` as [("A", "B"), ("C", "D")]; ValueError for anything else."""
    out = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        fixed, sep, mobile = item.partition("=")
        if not sep or not fixed.strip() or not mobile.strip() or "=" in mobile:
            raise ValueError(f"chain map entry {item!r} is not FIXED=MOBILE")
        out.append((fixed.strip(), mobile.strip()))
    if not out:
        raise ValueError("the chain map is empty")
    return out


def _given_pairs(chain_map: Mapping[str, str] | Iterable[tuple[str, str]] | str | None,
                 fixed_names: list[str], mobile_names: list[str]) -> list[tuple[int, int]]:
    if chain_map is None:
        return []
    if isinstance(chain_map, str):
        items: list[tuple[str, str]] = parse_chain_map(chain_map)
    elif isinstance(chain_map, Mapping):
        items = list(chain_map.items())
    else:
        items = [tuple(p) for p in chain_map]  # type: ignore[misc]
    given = []
    seen_fixed: set[str] = set()
    seen_mobile: set[str] = set()
    for item in items:
        if len(item) != 2:
            raise ValueError(f"chain map entry {item!r} is not a (fixed, mobile) pair")
        f, m = str(item[0]), str(item[1])
        if f not in fixed_names:
            raise ValueError(f"chain map names chain '{f}', which the fixed assembly does not hold "
                             f"(chains: {', '.join(fixed_names)})")
        if m not in mobile_names:
            raise ValueError(f"chain map names chain '{m}', which the mobile assembly does not hold "
                             f"(chains: {', '.join(mobile_names)})")
        if f in seen_fixed:
            raise ValueError(f"chain map pairs fixed chain '{f}' twice")
        if m in seen_mobile:
            raise ValueError(f"chain map pairs mobile chain '{m}' twice")
        seen_fixed.add(f)
        seen_mobile.add(m)
        given.append((fixed_names.index(f), mobile_names.index(m)))
    return given


def align_complexes(fixed: PathLike | Sequence[dovel.Domain], mobile: PathLike | Sequence[dovel.Domain],
                    chain_map: Mapping[str, str] | Iterable[tuple[str, str]] | str | None = None,
                    max_size: int | None = None) -> ComplexAlignment:
    """Align assembly ``mobile`` onto assembly ``fixed`` as one body.

    Each assembly is a PDB or mmCIF file (plain or gzip; every chain holding a protein residue is
    read, as ``dovelkit.load_chains`` reads them) or a list of ``dovel.Domain`` chains. The chains
    are mapped one-to-one (chains of either side may stay unmatched), the residues of each mapped
    pair aligned in chain order, and the mobile assembly superposed on the fixed one so as to
    maximise the complex TM-score. ``chain_map`` fixes part of the map: ``{"A": "B"}``, pairs
    ``[("A", "B")]`` or the text ``"A=B,C=D"`` (fixed chain = mobile chain). The result does not
    depend on the order of the arguments beyond swapping sides. See :class:`ComplexAlignment`.

    Raises TypeError for arguments of the wrong type, ValueError for a chain map naming chains the
    assemblies do not hold (or one twice), an empty list or an unreadable file's content, OSError
    when a file cannot be read.
    """
    fixed_label, fixed_chains, fixed_names = _assembly("fixed", fixed, max_size)
    mobile_label, mobile_chains, mobile_names = _assembly("mobile", mobile, max_size)
    given = _given_pairs(chain_map, fixed_names, mobile_names)
    r = _core.complex_align([(d.coordinates, d.sequence) for d in fixed_chains],
                            [(d.coordinates, d.sequence) for d in mobile_chains], given)
    matrix = r.transform
    transform = dovel.Transform.from_matrix(np.ascontiguousarray(matrix[:3, :3]),
                                            np.ascontiguousarray(matrix[:3, 3]))
    chains = tuple(ChainMatch(fixed_names[a], mobile_names[b], int(n), float(tf), float(tm))
                   for a, b, n, tf, tm in r.chains)
    rmsd = float(r.rmsd)
    return ComplexAlignment(
        fixed=fixed_label, mobile=mobile_label,
        fixed_chains=tuple(fixed_chains), mobile_chains=tuple(mobile_chains),
        fixed_names=tuple(fixed_names), mobile_names=tuple(mobile_names),
        transform=transform, pairs=r.pairs, distances=r.distances,
        rmsd=rmsd if math.isfinite(rmsd) else math.inf,
        tm_fixed=float(r.tm_fixed), tm_mobile=float(r.tm_mobile),
        length_fixed=int(r.length_fixed), length_mobile=int(r.length_mobile),
        chains=chains,
        unmatched_fixed=tuple(fixed_names[a] for a in r.unmatched_fixed),
        unmatched_mobile=tuple(mobile_names[b] for b in r.unmatched_mobile),
    )
