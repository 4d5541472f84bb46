"""plotly figures of alignments, built from plain arrays.

Every function here takes NumPy arrays, strings and lists (no ``dovel`` objects) and returns a
``plotly.graph_objects.Figure``; ``dovelkit.report.document`` extracts those arrays from the alignment
objects. Residues are numbered from 1 along each chain as loaded (the order of the C-alpha points).
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
import plotly.graph_objects as go

Column = Sequence["int | None"]

# Chain colours: the first (fixed or query) chain is always the dark blue one.
PALETTE = (
    "#1f4e9c", "#e4572e", "#29a36a", "#9b5de5", "#f0a202", "#00a6a6", "#d1495b", "#6c757d",
    "#8ac926", "#ff7aa2", "#3a86ff", "#8d6e63",
)
# Pair distance in angstrom: blue where the chains agree, red where they part.
DISTANCE_SCALE = [
    [0.0, "#deebf7"], [0.2, "#9ecae1"], [0.5, "#ffffbf"], [0.75, "#fdae61"], [1.0, "#d7191c"],
]
DISTANCE_MAX = 6.0
# Secondary structure: helix, strand.
SS_CLASSES = {"H": 0, "G": 0, "I": 0, "E": 1, "B": 1}
HELIX, STRAND = "#f2a5bc", "#f6d98c"
SS_SCALE = [[0.0, HELIX], [0.5, HELIX], [0.5, STRAND], [1.0, STRAND]]
FONT = "Helvetica, Arial, sans-serif"
MONO = "Menlo, Consolas, 'DejaVu Sans Mono', monospace"


def colour(k: int) -> str:
    return PALETTE[k % len(PALETTE)]


def _layout(fig: go.Figure, title: str, height: int) -> go.Figure:
    fig.update_layout(
        title={"text": title, "x": 0.01, "xanchor": "left", "font": {"size": 15}},
        template="plotly_white",
        font={"family": FONT, "size": 12},
        height=height,
        margin={"l": 60, "r": 30, "t": 50, "b": 40},
        hoverlabel={"font": {"family": MONO}},
    )
    return fig


def distance_colours(distances: np.ndarray, vmax: float = DISTANCE_MAX) -> list[str]:
    """The colour of each distance on the distance scale (capped at vmax)."""
    from plotly.colors import sample_colorscale

    d = np.clip(np.nan_to_num(np.asarray(distances, dtype=float), nan=vmax) / vmax, 0.0, 1.0)
    return sample_colorscale(DISTANCE_SCALE, list(d)) if len(d) else []


def residue_name(chain: str, sequence: str, i: int) -> str:
    return f"{chain} {sequence[i]}{i + 1}"


# -- 3D views -----------------------------------------------------------------------------------

def structure_view(
    names: Sequence[str],
    coordinates: Sequence[np.ndarray],
    sequences: Sequence[str],
    bold: Sequence[np.ndarray],
    notes: Sequence[Sequence[str]] | None = None,
    title: str = "Superposed C-alpha traces",
) -> go.Figure:
    """C-alpha traces in one frame: the whole chain thin, the stretches marked in ``bold`` thick.

    ``bold[k]`` is a boolean mask over chain k's residues (a bond is thick when both its ends are
    marked); ``notes[k][i]``, when given, is added to the hover text of residue i of chain k.
    """
    fig = go.Figure()
    for k, (name, xyz, seq, mask) in enumerate(zip(names, coordinates, sequences, bold)):
        xyz = np.asarray(xyz, dtype=float).reshape(-1, 3)
        mask = np.asarray(mask, dtype=bool)
        hover = [residue_name(name, seq, i) for i in range(len(xyz))]
        if notes is not None:
            hover = [h + (f"<br>{n}" if n else "") for h, n in zip(hover, notes[k])]
        fig.add_trace(go.Scatter3d(
            x=xyz[:, 0], y=xyz[:, 1], z=xyz[:, 2], mode="lines+markers", name=name,
            legendgroup=name, line={"color": colour(k), "width": 2},
            marker={"size": 1.5, "color": colour(k)}, hovertext=hover, hoverinfo="text",
        ))
        # Thick segments: bonds i..i+1 with both ends marked, NaN-separated.
        both = mask[:-1] & mask[1:] if len(mask) > 1 else np.zeros(0, bool)
        seg: list[list[float]] = []
        for i in np.flatnonzero(both):
            if seg and not math.isnan(seg[-1][0]) and seg[-1] == list(xyz[i]):
                seg.append(list(xyz[i + 1]))
            else:
                if seg:
                    seg.append([math.nan] * 3)
                seg.extend([list(xyz[i]), list(xyz[i + 1])])
        if seg:
            s = np.array(seg)
            fig.add_trace(go.Scatter3d(
                x=s[:, 0], y=s[:, 1], z=s[:, 2], mode="lines", name=f"{name} (aligned)",
                legendgroup=name, showlegend=False, line={"color": colour(k), "width": 7},
                hoverinfo="skip", connectgaps=False,
            ))
    _layout(fig, title, 560)
    axis = {"showbackground": False, "showgrid": False, "zeroline": False, "showticklabels": False,
            "title": {"text": ""}}
    fig.update_layout(
        scene={"xaxis": axis, "yaxis": axis, "zaxis": axis, "aspectmode": "data",
               "camera": {"eye": {"x": 1.05, "y": 1.05, "z": 0.7}}},
        legend={"itemsizing": "constant"}, margin={"l": 0, "r": 0, "t": 50, "b": 0},
    )
    return fig


# -- alignment grids ----------------------------------------------------------------------------

def columns_from_pairs(pairs: np.ndarray, len_a: int, len_b: int) -> list[tuple[int | None, int | None]]:
    """The alignment columns of a pairwise alignment (dovelkit.alignment.view.alignment_columns)."""
    from dovelkit.alignment.view import alignment_columns

    return alignment_columns(np.asarray(pairs, dtype=np.int64).reshape(-1, 2).tolist(), len_a, len_b)


def alignment_grid(
    names: Sequence[str],
    sequences: Sequence[str],
    columns: Sequence[Column],
    values: np.ndarray,
    value_title: str,
    secondary: Sequence[str | None] | None = None,
    marks: Sequence[str] | None = None,
    marks_name: str = "",
    notes: Sequence[str] | None = None,
    block: int = 60,
    title: str = "Sequence alignment",
    vmax: float = DISTANCE_MAX,
) -> go.Figure:
    """An alignment drawn as lines of ``block`` columns, one row per chain, residues as letters.

    ``columns[c][k]`` is chain k's residue in column c (None for a gap); ``values[c, k]`` colours
    that cell (NaN: no colour). ``secondary[k]``, when not None, adds a row under chain k with its
    helices and strands. ``marks[c]`` (one character) fills a last row, e.g. core columns;
    ``notes[c]`` is added to the hover text of column c.
    """
    n_cols, n_chains = len(columns), len(names)
    values = np.asarray(values, dtype=float).reshape(n_cols, n_chains)
    rows: list[tuple[str, str, int]] = []  # (label, kind, chain)
    for k in range(n_chains):
        has_ss = secondary is not None and secondary[k] is not None
        below = n_chains == 2 and k == 1  # a pair reads SS / a / b / SS
        if has_ss and not below:
            rows.append(("SS", "ss", k))
        rows.append((names[k], "res", k))
        if has_ss and below:
            rows.append(("SS", "ss", k))
    if marks is not None:
        rows.append((marks_name, "mark", -1))
    per_block = len(rows) + 1
    n_blocks = max(1, math.ceil(n_cols / block))
    height_rows = n_blocks * per_block
    z_val = np.full((height_rows, block), np.nan)
    z_ss = np.full((height_rows, block), np.nan)
    hover = np.full((height_rows, block), "", dtype=object)
    tx: list[int] = []
    ty: list[int] = []
    tt: list[str] = []
    tick_y: list[int] = []
    tick_text: list[str] = []
    for c, col in enumerate(columns):
        b, x = divmod(c, block)
        where = [f"{names[k]} -" if (i := col[k]) is None else residue_name(names[k], sequences[k], i)
                 for k in range(n_chains)]
        head = f"column {c + 1}<br>" + "<br>".join(where)
        if notes is not None and notes[c]:
            head += "<br>" + notes[c]
        for r, (label, kind, k) in enumerate(rows):
            y = b * per_block + r
            if kind == "res":
                i = col[k]
                letter = sequences[k][i] if i is not None else "-"
                if i is not None:
                    z_val[y, x] = values[c, k]
                hover[y, x] = head
            elif kind == "ss":
                i = col[k]
                ss = secondary[k] if secondary is not None else None  # set: "ss" rows are made only then
                code = ss[i] if (ss is not None and i is not None) else " "
                letter = code if code in SS_CLASSES else ""
                if code in SS_CLASSES:
                    z_ss[y, x] = SS_CLASSES[code]
                    hover[y, x] = f"{names[k]} {'helix' if SS_CLASSES[code] == 0 else 'strand'} ({code})"
            else:
                letter = marks[c] if marks is not None else ""
                hover[y, x] = head
            if letter and letter != " ":
                tx.append(x)
                ty.append(y)
                tt.append(letter)
    for b in range(n_blocks):
        for r, (label, kind, k) in enumerate(rows):
            tick_y.append(b * per_block + r)
            first = b * block
            if kind == "res":
                # the residue number of the block's first residue of this chain
                nums = [i for col in columns[first:first + block] if (i := col[k]) is not None]
                tick_text.append(f"{label} {nums[0] + 1:>4}" if nums else label)
            else:
                tick_text.append(label)
    fig = go.Figure()
    fig.add_trace(go.Heatmap(
        z=z_val, zmin=0, zmax=vmax, colorscale=DISTANCE_SCALE, hovertext=hover, hoverinfo="text",
        xgap=1, ygap=1, name="", colorbar={"title": {"text": value_title, "side": "right"},
                                           "len": min(1.0, 300 / (16 * height_rows + 90)),
                                           "y": 1, "yanchor": "top", "thickness": 12},
    ))
    if np.isfinite(z_ss).any():
        fig.add_trace(go.Heatmap(
            z=z_ss, zmin=0, zmax=1, colorscale=SS_SCALE, showscale=False, hovertext=hover,
            hoverinfo="text", xgap=1, ygap=1, name="",
        ))
    fig.add_trace(go.Scatter(
        x=tx, y=ty, text=tt, mode="text", hoverinfo="skip", showlegend=False,
        textfont={"family": MONO, "size": 11, "color": "#111"},
    ))
    _layout(fig, title, 16 * height_rows + 90)
    fig.update_layout(margin={"l": 120, "r": 30, "t": 50, "b": 20}, plot_bgcolor="white")
    fig.update_xaxes(visible=False, range=[-0.5, block - 0.5], fixedrange=True)
    fig.update_yaxes(autorange="reversed", tickvals=tick_y, ticktext=tick_text, showgrid=False,
                     zeroline=False, tickfont={"family": MONO, "size": 11}, fixedrange=True)
    return fig


# -- plots --------------------------------------------------------------------------------------

def distance_profile(
    positions: np.ndarray,
    distances: np.ndarray,
    labels: Sequence[str],
    title: str = "Distance along the alignment",
    threshold: float | None = None,
) -> go.Figure:
    """The C-alpha distance of each aligned pair, against its alignment column (1-based)."""
    positions = np.asarray(positions)
    distances = np.asarray(distances, dtype=float)
    fig = go.Figure()
    fig.add_trace(go.Bar(
        x=positions, y=distances,
        marker={"color": distance_colours(distances), "line": {"color": "#4a6d8c", "width": 0.6}},
        hovertext=[f"{lab}<br>{d:.2f} Å" for lab, d in zip(labels, distances)], hoverinfo="text",
        name="distance",
    ))
    if threshold is not None:
        fig.add_hline(y=threshold, line={"dash": "dot", "color": "#888"},
                      annotation_text=f"RMSD {threshold:.2f} Å", annotation_position="top right")
    _layout(fig, title, 300)
    fig.update_xaxes(title_text="alignment column")
    fig.update_yaxes(title_text="distance (Å)", rangemode="tozero")
    fig.update_layout(bargap=0.1)
    return fig


def upgma(distances: np.ndarray) -> list[tuple[int, int, float, int]]:
    """Average-linkage merges of a symmetric distance matrix: (node, node, height, size) rows in
    the order of merging; leaves are 0..n-1 and the merge in row m creates node n + m."""
    d = np.array(distances, dtype=float)
    n = len(d)
    active = {i: 1 for i in range(n)}  # node -> leaf count
    dist = {(i, j): d[i, j] for i in range(n) for j in range(i + 1, n)}
    merges = []
    for m in range(n - 1):
        (p, q), h = min(dist.items(), key=lambda kv: (kv[1], kv[0]))
        new = n + m
        sp, sq = active.pop(p), active.pop(q)
        for r in active:
            dpr = dist.pop((min(p, r), max(p, r)))
            dqr = dist.pop((min(q, r), max(q, r)))
            dist[(r, new)] = (sp * dpr + sq * dqr) / (sp + sq)
        del dist[(p, q)]
        active[new] = sp + sq
        merges.append((p, q, float(h), sp + sq))
    return merges


def dendrogram(labels: Sequence[str], merges: Sequence[tuple[int, int, float, int]],
               title: str, axis_title: str) -> go.Figure:
    """A tree drawn sideways: leaves on the left axis, merge height along x."""
    n = len(labels)
    order: list[int] = []

    def leaves(node: int) -> None:
        if node < n:
            order.append(node)
        else:
            p, q = merges[node - n][:2]
            leaves(p)
            leaves(q)

    leaves(n + len(merges) - 1 if merges else 0)
    y = {leaf: float(k) for k, leaf in enumerate(order)}
    x = {leaf: 0.0 for leaf in range(n)}
    xs: list[float | None] = []
    ys: list[float | None] = []
    for m, (p, q, h, _) in enumerate(merges):
        node = n + m
        xs += [x[p], h, h, x[q], None]
        ys += [y[p], y[p], y[q], y[q], None]
        x[node], y[node] = h, (y[p] + y[q]) / 2
    fig = go.Figure(go.Scatter(x=xs, y=ys, mode="lines", line={"color": "#333", "width": 2},
                               hoverinfo="skip", showlegend=False))
    fig.add_trace(go.Scatter(
        x=[0.0] * n, y=[y[i] for i in range(n)], mode="markers", showlegend=False,
        marker={"color": [colour(i) for i in range(n)], "size": 10}, hovertext=list(labels),
        hoverinfo="text",
    ))
    fig.add_trace(go.Scatter(
        x=[h for _, _, h, _ in merges], y=[y[n + m] for m in range(len(merges))], mode="markers",
        marker={"size": 6, "color": "#333"}, showlegend=False,
        hovertext=[f"{h:.2f}" for _, _, h, _ in merges], hoverinfo="text",
    ))
    _layout(fig, title, max(220, 40 * n + 90))
    fig.update_yaxes(tickvals=[y[i] for i in range(n)], ticktext=list(labels), showgrid=False,
                     zeroline=False, range=[-0.6, n - 0.4])
    fig.update_xaxes(title_text=axis_title, rangemode="tozero", zeroline=False)
    fig.update_layout(margin={"l": 110, "r": 30, "t": 50, "b": 50})
    return fig


def matrix_heatmap(labels: Sequence[str], matrix: np.ndarray, title: str, value_title: str) -> go.Figure:
    """A labelled square matrix with its values written in the cells."""
    m = np.asarray(matrix, dtype=float)
    text = [[f"{v:.2f}" for v in row] for row in m]
    fig = go.Figure(go.Heatmap(
        z=m, x=list(labels), y=list(labels), text=text, texttemplate="%{text}",
        colorscale="Blues", zmin=0, colorbar={"title": {"text": value_title, "side": "right"}},
        hovertemplate="%{y} – %{x}: %{z:.2f}<extra></extra>", xgap=1, ygap=1,
    ))
    size = max(300, 60 * len(labels) + 140)
    _layout(fig, title, size)
    fig.update_layout(width=max(size + 180, 640))  # square cells, room for the title
    fig.update_yaxes(autorange="reversed", type="category")
    fig.update_xaxes(type="category", side="bottom")
    fig.update_layout(margin={"l": 110, "r": 30, "t": 50, "b": 80})
    return fig


def score_distribution(
    scores: np.ndarray,
    z_scores: Sequence[float | None],
    labels: Sequence[str],
    marked: int = 5,
    title: str = "Scores of all hits",
) -> go.Figure:
    """A histogram of the scores, the best ``marked`` hits drawn as labelled lines with their Z-scores."""
    scores = np.asarray(scores, dtype=float)
    fig = go.Figure(go.Histogram(
        x=scores, nbinsx=max(10, min(60, len(scores) // 2 or 1)), marker={"color": "#9db4d6"},
        name="hits", hovertemplate="score %{x}<br>%{y} hits<extra></extra>",
    ))
    order = np.argsort(-scores, kind="stable")[:marked]
    for rank, idx in enumerate(order):
        z = z_scores[idx]
        ztext = f"Z {z:.1f}" if z is not None and math.isfinite(z) else "Z n/a"
        fig.add_vline(x=float(scores[idx]), line={"color": colour(rank + 1), "width": 2, "dash": "dash"})
        fig.add_annotation(
            x=float(scores[idx]), y=1 - 0.15 * rank, yref="paper", text=f"{labels[idx]}<br>{ztext}",
            showarrow=False, xanchor="right", align="right", font={"size": 11, "color": colour(rank + 1)},
            bgcolor="rgba(255,255,255,0.8)",
        )
    # Where the Z-scores sit on the score axis (they are linear in the score).
    zs = np.array([z if z is not None else np.nan for z in z_scores], dtype=float)
    ok = np.isfinite(zs) & np.isfinite(scores)
    if ok.sum() >= 2 and np.ptp(zs[ok]) > 0:
        slope, intercept = np.polyfit(zs[ok], scores[ok], 1)
        lo, hi = float(np.nanmin(scores)), float(np.nanmax(scores))
        ticks = [z for z in range(-3, 31) if lo - abs(slope) <= intercept + slope * z <= hi + abs(slope)]
        if ticks:
            fig.add_trace(go.Scatter(
                x=[intercept + slope * z for z in ticks], y=[0] * len(ticks), xaxis="x2",
                mode="markers", marker={"opacity": 0}, showlegend=False, hoverinfo="skip",
            ))
            fig.update_layout(xaxis2={
                "overlaying": "x", "side": "top", "tickvals": [intercept + slope * z for z in ticks],
                "ticktext": [f"Z={z}" for z in ticks], "showgrid": False, "matches": "x",
                "tickfont": {"size": 10, "color": "#555"},
            })
    _layout(fig, title, 340)
    fig.update_xaxes(title_text="score", selector={"anchor": "y"})
    fig.update_yaxes(title_text="hits")
    fig.update_layout(showlegend=False, margin={"l": 60, "r": 30, "t": 80, "b": 50}, bargap=0.05)
    return fig
