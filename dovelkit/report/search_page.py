"""The report of a search: the ranked hits, the distribution of their scores with the Z-scores,
and the best hits superposed on the query."""

from __future__ import annotations

import html as _html
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

import dovel

from dovelkit.report.document import Report, Section, _fmt
from dovelkit.report.formatting import HIT_COLUMNS, LEFT_COLUMNS, hit_cells, hit_table

if TYPE_CHECKING:
    import plotly.graph_objects as go

    from dovelkit.alignment.pairwise import PairwiseAlignment
    from dovelkit.db.engine import Hit


def _is_query(query: dovel.Domain, hit_id: str, target: dovel.Domain) -> bool:
    """Whether a hit is the query itself: the same id and the same coordinates."""
    if hit_id != query.id or len(target) != len(query):
        return False
    return bool(np.allclose(np.asarray(target.coordinates), np.asarray(query.coordinates), atol=1e-3))


def search_report(query: dovel.Domain, hits: Sequence[Hit], top: int = 5, title: str | None = None) -> Report:
    """A report of a search: the ranked hits, the distribution of their scores with the Z-scores,
    and the best ``top`` hits superposed on the query.

    The superposition shows each hit's own ``alignment``, which the search keeps with
    ``details=True``; hits without one are listed but not drawn.
    """
    from dovelkit.report import figures as F

    hits = list(hits)
    qname = query.id or "query"
    scores = np.array([h.score for h in hits], dtype=float)
    labels = [h.id for h in hits]
    figures: dict[str, go.Figure] = {}
    sections = [Section("Ranked hits", None, "", _hits_table(hits))]
    if hits:
        figures["scores"] = F.score_distribution(scores, [h.z_score for h in hits], labels)
        sections.append(Section(
            "Score distribution", "scores",
            f"Scores of all {len(hits)} hits; the best {min(5, len(hits))} are marked with their "
            "Z-scores, and the top axis shows where Z-scores fall on the score scale."))

    shown: list[tuple[Hit, PairwiseAlignment]] = []
    self_hit = False
    for h in hits:
        if len(shown) == top:
            break
        if not h.n_aligned:
            continue  # nothing was aligned: no superposition to show
        aln = h.alignment
        if aln is None:
            continue
        if _is_query(query, h.id, aln.mobile):
            self_hit = True  # the query found itself: nothing to see in it
            continue
        if len(aln.pairs):
            shown.append((h, aln))
    if shown:
        xq = np.asarray(query.coordinates)
        names, coords, seqs = [qname], [xq], [query.sequence]
        masks: list[np.ndarray] = []
        qmask = np.zeros(len(xq), bool)
        for h, aln in shown:
            pairs = np.asarray(aln.pairs, dtype=np.int64).reshape(-1, 2)
            xb = aln.transform.apply(np.ascontiguousarray(aln.mobile.coordinates, dtype=np.float64))
            mb = np.zeros(len(xb), bool)
            mb[pairs[:, 1]] = True
            qmask[pairs[:, 0]] = True
            names.append(f"#{h.rank} {h.id}")
            coords.append(xb)
            seqs.append(aln.mobile.sequence)
            masks.append(mb)
        masks.insert(0, qmask)
        figures["structure"] = F.structure_view(
            names, coords, seqs, masks, title=f"Top {len(shown)} hits superposed on {qname}")
        sections.append(Section(
            "Top hits superposed", "structure",
            f"The best {len(shown)} hits moved onto {qname}"
            f"{' (the query itself left out)' if self_hit else ''}; residues aligned to the query "
            "drawn thick. Click a legend entry to hide a hit."))
    elif hits:
        why = ("no hit but the query itself has aligned residues" if self_hit else
               "none of the best hits has aligned residues"
               if any(h.alignment is not None for h in hits[:top])
               else "the hits carry no alignment (search with details=True)")
        sections.append(Section("Top hits superposed", None, f"Not drawn: {why}."))

    zs = [h.z_score for h in hits if h.z_score is not None and math.isfinite(h.z_score)]
    summary = [
        ("query", f"{qname}: {len(query.sequence)} residues"),
        ("hits", str(len(hits))),
    ]
    if hits:
        best = hits[0]
        summary.append(("best hit", f"{best.id}: score {_fmt(best.score)}, TM-score {best.tm_query:.4f} (by the query), "
                                     f"{best.tm_target:.4f} (by the target), RMSD {_fmt(best.rmsd)} Å, "
                                     f"{best.n_aligned} pairs"))
    if zs:
        summary.append(("highest Z-score", _fmt(max(zs), 1)))
    return Report(
        title=title or f"Search with {qname}",
        subtitle="Structure database search",
        summary=summary,
        figures=figures,
        sections=sections,
        body_text=_hits_text(hits),
    )


def _hit_rows(hits: Sequence[Hit]) -> tuple[list[str], list[list[str]]]:
    """Column names and cells of the hit table, as the search command prints them."""
    return list(HIT_COLUMNS), [hit_cells(h) for h in hits]


def _hits_table(hits: Sequence[Hit]) -> str:
    if not hits:
        return '<p class="caption">No hit above the score cutoff.</p>'
    names, rows = _hit_rows(hits)
    head = "".join(f'<th class="{"l" if c in LEFT_COLUMNS else ""}">{c}</th>' for c in names)
    body = ["<tr>" + "".join(f'<td class="{"l" if c in LEFT_COLUMNS else ""}">{_html.escape(v)}</td>'
                             for c, v in zip(names, row)) + "</tr>" for row in rows]
    return f'<table class="hits"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def _hits_text(hits: Sequence[Hit]) -> str:
    if not hits:
        return "no hit above the score cutoff"
    return hit_table(hits).rstrip("\n")
