"""Reports of alignments and searches: plotly figures for notebooks and one self-contained HTML page.

``pairwise_report(aln)``, ``msa_report(m)`` and ``search_report(query, hits)`` return a
:class:`Report`: its ``figures`` (name -> ``plotly.graph_objects.Figure``), its ``text()`` and its
``html()``, a single page that embeds plotly.js once and opens offline (the page's content
security policy forbids every request, so nothing is fetched even by accident). plotly is
imported only when a report is built.
"""

from __future__ import annotations

import html as _html
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

import dovel

from dovelkit.report.formatting import number
from dovelkit.io.paths import PathLike

if TYPE_CHECKING:
    import plotly.graph_objects as go

    from dovelkit.alignment.multiple import MultipleAlignment
    from dovelkit.alignment.pairwise import PairwiseAlignment
    from dovelkit.db.engine import Hit


# Scripts and styles only from the page itself; no connection, font, frame or image from anywhere.
_CSP = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
        "img-src data: blob:; font-src data:; worker-src blob:")

_STYLE = """
body { font-family: Helvetica, Arial, sans-serif; color: #222; margin: 0; background: #fff; }
main { max-width: 1180px; margin: 0 auto; padding: 18px 24px 40px; }
h1 { font-size: 22px; margin: 8px 0 4px; }
h2 { font-size: 17px; margin: 28px 0 4px; border-bottom: 1px solid #ddd; padding-bottom: 3px; }
p.caption { margin: 2px 0 6px; color: #555; font-size: 13px; }
p.sub { margin: 0 0 12px; color: #555; }
table { border-collapse: collapse; font-size: 13px; }
table.summary td { padding: 2px 14px 2px 0; }
table.summary td:first-child { color: #555; }
table.hits th, table.hits td { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: right; }
table.hits th { background: #f3f5f8; }
table.hits td.l, table.hits th.l { text-align: left; }
.figure { width: 100%; }
footer { margin-top: 30px; color: #888; font-size: 12px; }
p.warning { margin: 4px 0 14px; padding: 8px 12px; background: #fdecea; border-left: 4px solid #c62828;
  color: #7f1d1d; font-weight: bold; }
pre { font-size: 12px; background: #f7f7f7; padding: 8px; overflow-x: auto; }
"""


@dataclass
class Section:
    heading: str
    figure: str | None = None  # a key of Report.figures
    caption: str = ""
    html: str = ""  # extra markup, already escaped


@dataclass
class Report:
    """One report: figures for notebooks, a plain-text form, and a self-contained HTML page."""

    title: str
    subtitle: str
    summary: list[tuple[str, str]]
    figures: dict[str, go.Figure]
    sections: list[Section] = field(default_factory=list)
    body_text: str = ""
    warning: str = ""  # shown first, above the summary: what makes the result unusable

    def text(self) -> str:
        width = max((len(k) for k, _ in self.summary), default=0)
        lines = [self.title, self.subtitle, ""]
        if self.warning:
            lines += [f"warning: {self.warning}", ""]
        lines += [f"{k:<{width}}  {v}" for k, v in self.summary]
        if self.body_text:
            lines += ["", self.body_text.rstrip("\n")]
        return "\n".join(lines) + "\n"

    def html(self) -> str:
        import plotly.io as pio
        import plotly.offline

        parts = [
            "<!DOCTYPE html>",
            '<html lang="en"><head><meta charset="utf-8">',
            f'<meta http-equiv="Content-Security-Policy" content="{_CSP}">',
            '<meta name="viewport" content="width=device-width, initial-scale=1">',
            f"<title>{_html.escape(self.title)}</title>",
            f"<style>{_STYLE}</style>",
            # plotly.js, once for the whole page
            f"<script>{plotly.offline.get_plotlyjs()}</script>",
        ]
        drawn = [s.figure for s in self.sections if s.figure is not None]
        parts.append(f"<script>window.dovelFigures = {len(drawn)}; window.dovelDrawn = 0;</script>")
        parts += ["</head><body><main>", f"<h1>{_html.escape(self.title)}</h1>",
                  f'<p class="sub">{_html.escape(self.subtitle)}</p>']
        if self.warning:
            parts.append(f'<p class="warning" role="alert">{_html.escape(self.warning)}</p>')
        parts.append('<table class="summary">')
        parts += [f"<tr><td>{_html.escape(k)}</td><td>{_html.escape(v)}</td></tr>" for k, v in self.summary]
        parts.append("</table>")
        config = {"displaylogo": False, "responsive": True,
                  "modeBarButtonsToRemove": ["sendDataToCloud"],
                  "toImageButtonOptions": {"format": "png", "scale": 2}}
        for k, section in enumerate(self.sections):
            parts.append(f"<h2>{_html.escape(section.heading)}</h2>")
            if section.caption:
                parts.append(f'<p class="caption">{_html.escape(section.caption)}</p>')
            parts.append(section.html)
            if section.figure is not None:
                fig = self.figures[section.figure]
                div = pio.to_html(
                    fig, include_plotlyjs=False, include_mathjax=False, full_html=False,
                    config=config, div_id=f"figure-{k}",
                    default_width=f"{fig.layout.width}px" if fig.layout.width else "100%",
                    default_height=f"{fig.layout.height or 450}px", validate=False,
                    post_script="window.dovelDrawn += 1;",
                )
                parts.append(f'<div class="figure">{div}</div>')
        parts.append(f"<footer>dovel {_html.escape(str(dovel.__version__))}</footer>")
        parts.append("</main></body></html>\n")
        return "\n".join(parts)

    def write(self, path: PathLike) -> None:
        """Write the HTML page to path: a temporary file beside it, renamed into place when complete."""
        from dovelkit.io.atomic import write_atomically

        write_atomically(path, self.html().encode("utf-8"))

    def _repr_html_(self) -> str:  # notebooks show the figures themselves; this is the summary
        rows = "".join(f"<tr><td>{_html.escape(k)}</td><td>{_html.escape(v)}</td></tr>" for k, v in self.summary)
        return f"<b>{_html.escape(self.title)}</b><table>{rows}</table>"


def _fmt(x: float | None, digits: int = 2) -> str:
    return number(x, digits)


def _secondary(domain: dovel.Domain) -> str | None:
    """The domain's secondary structure when it carries any (not only coil)."""
    ss = domain.secondary_structure
    return ss if domain.has_dssp or set(ss) - {"C", " ", "-"} else None


# -- pairwise -----------------------------------------------------------------------------------

def pairwise_report(aln: PairwiseAlignment, title: str | None = None) -> Report:
    """A report of a ``dovelkit.PairwiseAlignment``: the two chains superposed (``mobile`` moved
    onto ``fixed``), the sequence alignment coloured by pair distance, the distance along the alignment and
    the summary numbers."""
    from dovelkit.report import figures as F

    a, b = aln.fixed, aln.mobile
    na, nb = a.id or "fixed", b.id or "mobile"
    if na == nb:
        na, nb = f"{na} (1)", f"{nb} (2)"
    xa = np.asarray(a.coordinates)
    xb = aln.transform.apply(np.ascontiguousarray(b.coordinates, dtype=np.float64))
    pairs = np.asarray(aln.pairs, dtype=np.int64).reshape(-1, 2)
    dist = np.asarray(aln.distances, dtype=float)
    sa, sb = a.sequence, b.sequence

    mask_a = np.zeros(len(xa), bool)
    mask_b = np.zeros(len(xb), bool)
    mask_a[pairs[:, 0]] = True
    mask_b[pairs[:, 1]] = True
    notes_a = ["not aligned"] * len(xa)
    notes_b = ["not aligned"] * len(xb)
    for (i, j), d in zip(pairs, dist):
        notes_a[i] = f"pair {F.residue_name(nb, sb, j)}: {d:.2f} Å"
        notes_b[j] = f"pair {F.residue_name(na, sa, i)}: {d:.2f} Å"
    view = F.structure_view([na, nb], [xa, xb], [sa, sb], [mask_a, mask_b], [notes_a, notes_b],
                            title=f"{nb} superposed on {na}")

    columns = F.columns_from_pairs(pairs, len(xa), len(xb))
    pair_distance = {(int(i), int(j)): float(d) for (i, j), d in zip(pairs, dist)}
    values = np.full((len(columns), 2), np.nan)
    notes = []
    pair_columns = []
    for c, (i, j) in enumerate(columns):
        d = pair_distance.get((i, j)) if i is not None and j is not None else None
        if d is not None:
            values[c] = d
            pair_columns.append(c + 1)
        notes.append(f"distance {d:.2f} Å" if d is not None else "")
    grid = F.alignment_grid(
        [na, nb], [sa, sb], columns, values, "distance (Å)",
        secondary=[_secondary(a), _secondary(b)], notes=notes,
        title="Sequence alignment, each pair coloured by its C-alpha distance",
    )
    labels = [f"{F.residue_name(na, sa, int(i))} – {F.residue_name(nb, sb, int(j))}" for i, j in pairs]
    profile = F.distance_profile(np.array(pair_columns), dist, labels,
                                 threshold=float(aln.rmsd) if math.isfinite(aln.rmsd) else None)

    summary = [
        ("fixed", f"{na}: {aln.len_fixed} residues"),
        ("mobile", f"{nb}: {aln.len_mobile} residues"),
        ("n_aligned", str(aln.n_aligned)),
        ("RMSD", f"{aln.rmsd:.2f} Å" if math.isfinite(aln.rmsd) else "n/a (nothing aligned)"),
        ("TM-score", f"{aln.tm_fixed:.4f} (by {na}), {aln.tm_mobile:.4f} (by {nb})"),
        ("score", _fmt(aln.score) + (" (fold level: the TM-score by the fixed chain)" if aln.level == "fold" else "")),
        ("sequence identity", f"{100 * aln.seq_identity:.1f} %"),
        ("coverage", f"{100 * aln.coverage_fixed:.1f} % of {na}, {100 * aln.coverage_mobile:.1f} % of {nb}"),
    ]
    if len(dist):
        summary.append(("pairs within 3 Å", f"{int((dist <= 3.0).sum())} of {len(dist)}"))
    has_ss = _secondary(a) is not None or _secondary(b) is not None
    sections = [
        Section("Superposition", "structure",
                f"{nb} moved onto {na}. Aligned stretches are drawn thick, the rest thin; hover a "
                "residue for its pair and their distance. Drag to rotate, scroll to zoom."),
        Section("Alignment", "alignment",
                "Residues numbered from 1 along each chain as loaded. "
                + ("Helices (pink) and strands (yellow) are marked in the SS rows. " if has_ss else
                   "No secondary structure was loaded (load the chains with a DSSP file to see it). ")
                + "Gaps are white."),
        Section("Distance along the alignment", "distance",
                "C-alpha distance of each aligned pair after the superposition."
                + ("" if len(dist) else " No pair: nothing was aligned.")),
    ]
    return Report(
        title=title or f"{nb} aligned to {na}",
        subtitle="Pairwise structure alignment",
        summary=summary,
        figures={"structure": view, "alignment": grid, "distance": profile},
        sections=sections,
        body_text=aln.text(),
    )


# -- multiple -----------------------------------------------------------------------------------

def core_rmsd_matrix(coordinates: Sequence[np.ndarray], columns: Sequence[Sequence[int | None]],
                     core: Sequence[int]) -> np.ndarray:
    """C-alpha RMSD between every two structures over the core columns, as they lie in the common
    superposition (no further fitting)."""
    from dovelkit import _core

    placed = [np.ascontiguousarray(x, dtype=np.float64) for x in coordinates]
    return np.array(_core.multiple_distances(placed, [list(c) for c in columns], list(core))[0])


def msa_report(m: MultipleAlignment, title: str | None = None) -> Report:
    """A report of a ``dovelkit.MultipleAlignment``: every chain superposed, the alignment with its
    core columns, an average-linkage tree and a heat map of the pairwise core RMSDs."""
    from dovelkit.report import figures as F

    domains = list(m.domains)
    names = _unique([d.id or f"chain {k + 1}" for k, d in enumerate(domains)])
    coords = [t.apply(np.ascontiguousarray(d.coordinates, dtype=np.float64))
              for d, t in zip(domains, m.transforms)]
    seqs = [d.sequence for d in domains]
    columns = [list(col) for col in m.columns]
    core = [int(c) for c in m.core_positions]
    core_set = set(core)
    n = len(domains)

    masks = [np.zeros(len(x), bool) for x in coords]
    for c in core:
        for k in range(n):
            if columns[c][k] is not None:
                masks[k][columns[c][k]] = True
    view = F.structure_view(names, coords, seqs, masks, title=f"{n} structures superposed")

    # Each residue's distance to the mean position of its column, and the pairwise core RMSDs.
    from dovelkit import _core

    rmsd_all, values = _core.multiple_distances([np.ascontiguousarray(x) for x in coords], columns, core)
    marks = ["*" if c in core_set else "" for c in range(len(columns))]
    notes = ["core column" if c in core_set else "" for c in range(len(columns))]
    grid = F.alignment_grid(
        names, seqs, columns, values, "to column mean (Å)", marks=marks, marks_name="core",
        notes=notes, title="Multiple alignment: residues coloured by distance to their column's mean",
        vmax=4.0,
    )
    rmsd = np.array(rmsd_all) if core else None

    summary = [
        ("structures", ", ".join(f"{nm} ({len(s)})" for nm, s in zip(names, seqs))),
        ("columns", str(len(columns))),
        ("core columns", f"{len(core)} (every structure present)"),
        ("average RMSD", f"{_fmt(float(m.avg_rmsd))} Å"),
        ("score", _fmt(float(m.score))),
        ("TM-score to the first", ", ".join(f"{nm} {float(t):.4f}" for nm, t in zip(names, m.tm_scores))
         + f"; mean {m.mean_tm:.4f} ({m.level} level)"),
        ("core RMSD to the first", ", ".join(f"{nm} {_fmt(float(r))}" for nm, r in zip(names, m.core_rmsd))),
    ]
    figures: dict[str, go.Figure] = {"structure": view, "alignment": grid}
    sections = [
        Section("Superposition", "structure",
                f"Every structure in the frame of {names[0]}; core residues drawn thick. "
                "Drag to rotate, scroll to zoom; click a legend entry to hide a chain."),
        Section("Alignment", "alignment",
                "Core columns (every structure present) are starred. Residues numbered from 1 along "
                "each chain as loaded; gaps are white."),
    ]
    if rmsd is not None:
        figures["tree"] = F.dendrogram(names, F.upgma(rmsd), "Average-linkage tree of pairwise core RMSDs",
                                       "core RMSD (Å)")
        figures["rmsd"] = F.matrix_heatmap(
            names, rmsd, f"Pairwise C-alpha RMSD over the {len(core)} core columns", "RMSD (Å)")
        sections.append(Section(
            "Tree", "tree",
            "Average-linkage (UPGMA) tree of the pairwise core RMSDs below, computed for this report "
            "from the superposed structures; it is not the guide tree the alignment was built with."))
        sections.append(Section("Pairwise RMSD", "rmsd",
                                "C-alpha RMSD of every two structures over the core columns, as "
                                "superposed (no refitting per pair)."))
    else:
        sections.append(Section("Tree and pairwise RMSD", None,
                                "Not drawn: the alignment has no core column (no column holds a "
                                "residue of every structure)."))
    return Report(
        title=title or f"Multiple alignment of {n} structures",
        subtitle="Multiple structure alignment",
        summary=summary,
        figures=figures,
        sections=sections,
        body_text=m.to_fasta(),
        warning=_sentence(m.failure() or ""),
    )


def _sentence(text: str) -> str:
    return text[:1].upper() + text[1:]


def _unique(names: list[str]) -> list[str]:
    seen: dict[str, int] = {}
    out = []
    for nm in names:
        seen[nm] = seen.get(nm, 0) + 1
        out.append(nm if seen[nm] == 1 else f"{nm} ({seen[nm]})")
    return out
