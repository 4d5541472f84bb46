"""Multiple alignment of chains that may lie in unrelated frames.

The pipeline of ``dovel.align_pdbs``, run by the core on domains from any source: every chain is
superposed onto the first one in scan mode, then the superposed copies are aligned along the
guide tree. In fold mode (``mode="fold"``) the pairwise steps and the guide tree come from
fold-level alignments, the ones that maximise TM-score.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.alignment.options import Options, options_of
from dovelkit.alignment.pairwise import transform_of
from dovelkit.io.paths import printable


@dataclass(frozen=True, eq=False)
class MultipleAlignment:
    """A multiple alignment of ``domains`` in the frame of ``domains[0]``.

    ``transforms[k]`` maps domain k from its original frame into the common frame (the first
    domain's, whose transform is the identity). ``columns`` holds one list per column with the
    residue index of each domain, None for a gap; ``core_positions`` the columns where every
    domain has a residue. ``core_rmsd[k]`` is the C-alpha RMSD of domain k to the first over the
    core columns in the common frame (0 for the first, NaN when there is no core column).
    ``unplaced`` lists the domains the superposition search found nothing for: they keep their
    own frame, and usually leave the alignment without a core.

    ``tm_scores[k]`` is the TM-score of domain k against the first over the pairs the columns give
    them, normalised by the first domain's length (1 for the first); ``mean_tm`` the mean over the
    other domains. ``level`` says how it was made; at the fold level ``score`` is ``mean_tm``, ``avg_rmsd`` the mean
    core RMSD to the first, and ``pre_transforms`` are the full transforms (no separate pre-alignment).
    """

    domains: list[dovel.Domain]
    transforms: list[dovel.Transform]
    columns: list[list[int | None]]
    core_positions: list[int]
    core_rmsd: list[float]
    unplaced: list[int]
    score: float  # of the multiple alignment
    avg_rmsd: float  # mean RMSD of the all-against-all pairwise alignments
    pre_transforms: list[dovel.Transform]  # the scan-mode superpositions onto the first domain
    tm_scores: list[float] = field(default_factory=list)
    mean_tm: float = 0.0
    level: str = "family"

    @property
    def mode(self) -> str:
        """Deprecated: ``level``."""
        import warnings

        warnings.warn("MultipleAlignment.mode is deprecated; use level", DeprecationWarning, stacklevel=2)
        return self.level

    @property
    def n_core(self) -> int:
        return len(self.core_positions)

    def __repr__(self) -> str:
        return (f"MultipleAlignment(n_structures={len(self.domains)}, n_columns={len(self.columns)}, "
                f"n_core={self.n_core}, mean_tm={self.mean_tm:.4f})")

    def aligned_sequences(self) -> list[str]:
        """Each domain's sequence with '-' for its gaps, one string per domain, all as long as ``columns``."""
        out = []
        for k, domain in enumerate(self.domains):
            seq = domain.sequence
            out.append("".join("-" if (i := col[k]) is None else seq[i] for col in self.columns))
        return out

    def core_line(self) -> str:
        """'*' for a core column, '.' for any other."""
        core = set(self.core_positions)
        return "".join("*" if c in core else "." for c in range(len(self.columns)))

    def failure(self) -> str | None:
        """None when the alignment has a core column; otherwise one sentence saying that the
        structures could not be aligned and which ones stand apart: those no superposition onto
        the first was found for, and those that share no column with the first."""
        if self.core_positions:
            return None
        names = [d.id or f"structure {k + 1}" for k, d in enumerate(self.domains)]
        apart = sorted(set(self.unplaced) | {
            k for k in range(1, len(self.domains))
            if not any(col[0] is not None and col[k] is not None for col in self.columns)})
        text = (f"the structures could not be aligned: no column holds a residue of all "
                f"{len(self.domains)} structures")
        if apart:
            listed = ", ".join(names[k] for k in apart)
            text += f"; not aligned with {names[0]}: {listed}"
        return text

    def to_fasta(self, width: int = 60) -> str:
        """The alignment as aligned FASTA, one record per domain (named by its id), then a last record
        ``core`` marking the core columns with '*' and the others with '.'; lines of ``width``."""
        names = [printable(d.id) or f"domain{k}" for k, d in enumerate(self.domains)]
        out = []
        for name, seq in zip(names + ["core"], self.aligned_sequences() + [self.core_line()]):
            out.append(f">{name}")
            out.extend(seq[k:k + width] for k in range(0, len(seq), width))
        return "\n".join(out) + "\n"


def _core_rmsd(domains: Sequence[dovel.Domain], transforms: Sequence[dovel.Transform],
               columns: list[list[int | None]], core: list[int]) -> list[float]:
    """Each domain's C-alpha RMSD to the first over the core columns, as the transforms place them
    (0 for the first; NaN for the others when there is no core column)."""
    placed = [np.ascontiguousarray(t.apply(d.coordinates)) for d, t in zip(domains, transforms)]
    rmsd, _ = _core.multiple_distances(placed, columns, core)
    return [float(x) for x in rmsd[0]]


def _tm_to_first(domains: Sequence[dovel.Domain], columns: list[list[int | None]]) -> list[float]:
    out = [1.0]
    for k in range(1, len(domains)):
        pairs = np.array([(c[0], c[k]) for c in columns if c[0] is not None and c[k] is not None],
                         dtype=np.int64).reshape(-1, 2)
        out.append(float(_core.tm_score(domains[0].coordinates, domains[k].coordinates, pairs).tm_fixed))
    return out


def _fold_msa(domains: list[dovel.Domain],
              progress: Callable[[int, int], None] | None) -> MultipleAlignment:
    r = _core.fold_align_domains([(d.coordinates, d.sequence) for d in domains])
    if progress is not None:
        progress(len(domains), len(domains))
    transforms = [transform_of(m) for m in r.onto_first]
    transforms[0] = dovel.Transform()
    columns = r.columns
    core = r.core_positions
    core_rmsd = _core_rmsd(domains, transforms, columns, core)
    tms = _tm_to_first(domains, columns)
    mean_tm = float(np.mean(tms[1:]))
    avg_rmsd = float(np.mean(core_rmsd[1:]))
    return MultipleAlignment(domains, transforms, columns, core, core_rmsd, [], mean_tm, avg_rmsd,
                             list(transforms), tms, mean_tm, "fold")


def msa(domains: Sequence[dovel.Domain], params: dovel.Parameters | None = None,
        progress: Callable[[int, int], None] | None = None, mode: str | None = None, *, level: str | None = None,
        options: Options | None = None) -> MultipleAlignment:
    """Align ``domains`` (at least two; any frames) into one multiple alignment.

    Each domain after the first is superposed onto the first in scan mode (a domain the scan
    finds nothing for keeps its frame), the moved copies are aligned along the guide tree, and the
    full transforms map every domain from its original frame onto the first -- what
    ``dovel.align_pdbs`` computes for files. The domains
    given are not changed. ``progress(done, total)``, when given, is called after each of the
    len(domains) steps (the pre-alignments, then the multiple alignment).

    How is ``options``, or ``level`` and ``params``, as for ``dovelkit.align`` (the family level's
    method is always the scan; ``mode`` is a deprecated alias of ``level``). That is the family
    level. At the fold level (the default) every pair is aligned at the fold level, the guide tree is built on
    1 - TM-score and the groups are merged along it; the domains are superposed on the most central
    one and the transforms then brought into the first domain's frame (``params`` is not used;
    ``progress`` is called once, at the end).

    Raises ValueError for fewer than two domains, an unknown level, a method other than "scan", or when
    the engine fails, TypeError for arguments of the wrong type.
    """
    if isinstance(domains, (str, bytes)) or not isinstance(domains, Sequence):
        raise TypeError(f"domains must be a sequence of dovel.Domain, not {type(domains).__name__}")
    domains = list(domains)
    for k, d in enumerate(domains):
        if not isinstance(d, dovel.Domain):
            raise TypeError(f"domains[{k}] must be a dovel.Domain, not {type(d).__name__}")
    if len(domains) < 2:
        raise ValueError("a multiple alignment needs at least 2 structures")
    how = options_of(options, level, None, params, mode=mode)
    if how.fold:
        return _fold_msa(domains, progress)
    if how.method != "scan":
        raise ValueError(f"a multiple alignment is made by the scan method, not {how.method!r}")
    settings = how.settings()
    total = len(domains)
    r = _core.align_domains([(d.coordinates, d.sequence) for d in domains], settings, progress=progress)
    if progress is not None:
        progress(total, total)
    transforms = [transform_of(m) for m in r.full_transforms]
    columns = r.columns
    core = r.core_positions
    tms = _tm_to_first(domains, columns)
    return MultipleAlignment(domains, transforms, columns, core, _core_rmsd(domains, transforms, columns, core),
                             r.unplaced, r.score, r.avg_rmsd, [transform_of(m) for m in r.pre_transforms],
                             tms, float(np.mean(tms[1:])))
