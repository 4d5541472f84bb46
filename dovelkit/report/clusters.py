"""The report of a clustering: the sizes of the clusters, the largest ones with their members'
TM-scores, and the members of one cluster superposed on its representative."""

from __future__ import annotations

import html as _html
from typing import TYPE_CHECKING

import numpy as np

from dovelkit.report.document import Report, Section

if TYPE_CHECKING:
    import plotly.graph_objects as go

    from dovelkit.db.clustering import Clustering

# Members drawn in the superposition at most.
_DRAWN = 8


def _size_figure(sizes: list[int]) -> go.Figure:
    import plotly.graph_objects as go

    from dovelkit.report import figures as F

    values, counts = np.unique(np.array(sizes, dtype=np.int64), return_counts=True)
    fig = go.Figure(go.Bar(x=[str(v) for v in values.tolist()], y=counts.tolist(),
                           marker={"color": F.colour(0)},
                           hovertemplate="%{y} clusters of %{x} entries<extra></extra>"))
    F._layout(fig, "Cluster sizes", 380)
    fig.update_layout(xaxis={"title": {"text": "entries in the cluster"}, "type": "category"},
                      yaxis={"title": {"text": "clusters"}})
    return fig


def cluster_report(clustering: Clustering, top: int = 10, title: str | None = None) -> Report:
    """A report of ``clustering``: size distribution, the ``top`` largest clusters with each
    member's TM-score and coverage with its representative, and the largest cluster of several
    entries superposed on its representative (its first members, at most 8)."""
    from dovelkit import _core
    from dovelkit.report import figures as F
    from dovelkit.db.store import Database

    clusters = clustering.clusters()
    sizes = [len(m) for m in clusters.values()]
    ids = clustering.ids
    figures: dict[str, go.Figure] = {}
    sections: list[Section] = []
    if sizes:
        figures["sizes"] = _size_figure(sizes)
        sections.append(Section("Cluster sizes", "sizes",
                                f"{len(sizes)} clusters of {len(ids)} entries; bars count the clusters of each size."))
    rows = []
    lines = []
    for r, members in list(clusters.items())[:top]:
        cells = ", ".join(
            f"{_html.escape(ids[m])} ({clustering.tm[m]:.3f}, {clustering.coverage[m]:.2f})" for m in members[1:])
        rows.append(f"<tr><td>{_html.escape(ids[r])}</td><td>{len(members)}</td><td>{cells or '-'}</td></tr>")
        lines.append(f"{ids[r]}\t{len(members)}\t" + ", ".join(f"{ids[m]} {clustering.tm[m]:.3f}" for m in members[1:]))
    if rows:
        table = ('<table class="hits"><tr><th>representative</th><th>entries</th>'
                 "<th>members (TM-score by the member, fraction of it aligned)</th></tr>" + "".join(rows) + "</table>")
        sections.append(Section(f"The {len(rows)} largest clusters", None,
                                "Each member with the figures of its alignment with the representative.", table))
    several = [(r, m) for r, m in clusters.items() if len(m) > 1]
    if several:
        r, members = several[0]
        with Database.open(clustering.path) as db:
            rep = db.entry(r)
            names, coords, seqs, masks = [ids[r]], [rep.coordinates], [rep.sequence], []
            rep_mask = np.zeros(len(rep.coordinates), bool)
            for m in members[1:_DRAWN + 1]:
                e = db.entry(m)
                got = _core.fold_align(rep.coordinates, rep.sequence, e.coordinates, e.sequence)
                t = np.asarray(got.transform, dtype=np.float64)
                moved = np.asarray(e.coordinates, dtype=np.float64) @ t[:3, :3].T + t[:3, 3]
                pairs = np.asarray(got.pairs, dtype=np.int64).reshape(-1, 2)
                mask = np.zeros(len(moved), bool)
                mask[pairs[:, 1]] = True
                rep_mask[pairs[:, 0]] = True
                names.append(f"{ids[m]} (TM {clustering.tm[m]:.2f})")
                coords.append(moved)
                seqs.append(e.sequence)
                masks.append(mask)
            masks.insert(0, rep_mask)
        figures["structure"] = F.structure_view(names, coords, seqs, masks,
                                                title=f"Cluster of {ids[r]}: members superposed")
        sections.append(Section("A cluster superposed", "structure",
                                f"The largest cluster's first {len(names) - 1} members moved onto its "
                                f"representative {ids[r]}; aligned residues thick."))
    rule = clustering.rule
    cov = {0: "of both chains", 1: "of the member", 2: "of the representative"}[rule.cov_mode]
    summary = [
        ("database", f"{clustering.path}: {len(ids)} entries"),
        ("clusters", f"{len(sizes)} ({sum(1 for s in sizes if s == 1)} of one entry)"),
        ("largest", str(max(sizes)) if sizes else "-"),
        ("rule", f"TM-score >= {rule.tm:g} (by the member), coverage >= {rule.coverage:g} {cov}; {clustering.method}"),
    ]
    return Report(title=title or "Clusters", subtitle="Fold-level clustering of a structure database",
                  summary=summary, figures=figures, sections=sections, body_text="\n".join(lines))
