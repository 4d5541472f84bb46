"""A molecular viewer for the reports: superposed structures drawn by Mol*, inline and offline.

The viewer is Mol* (MIT licence), the built ``molstar.js`` that the ``molstar-cli`` package ships.
A page embeds it once (``viewer_head()``, about 5 MB of script and 70 kB of style) and any number
of viewer blocks (``viewer_block(...)``). Each block carries its scene as a MolViewSpec archive
(MVSX: a zip of the view description, the structures and their residue annotations) in base64:
nothing is fetched, not even from the page's own folder.

The structures are whole files moved into one frame by the alignment's transforms (every atom, so
side chains, ligands and waters come along), written as mmCIF by gemmi. When no file is at hand
(a ``dovel.Domain`` built in memory) the chain is drawn from its C-alpha atoms alone.

What is drawn: the polymer as cartoon in the structure's own colour, residues that are aligned
coloured by their pair distance on the scale of the report's other figures, side chains of the
aligned residues as thin sticks, ligands as ball-and-stick; hovering a residue names it and its
pair with their distance.

The page's content security policy must allow what Mol* needs (``VIEWER_CSP``): inline scripts,
``'unsafe-eval'`` (Mol* compiles its label templates with ``new Function``), ``blob:`` workers and
``data:``/``blob:`` images. No source of the network is allowed.
"""

from __future__ import annotations

import base64
import html as _html
import io
import json
import math
import os
import zipfile
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from functools import cache
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import dovel
    import gemmi

    from dovelkit.io.paths import PathLike

# Everything the viewer needs of a page's content security policy; nothing reaches the network.
VIEWER_CSP = ("default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; "
              "img-src data: blob:; font-src data:; worker-src blob:; connect-src data: blob:")

# Pair distance colours, as in the report's other figures: blue where the chains agree, red where
# they part (angstrom, capped at DISTANCE_MAX).
DISTANCE_SCALE = ((0.0, "#deebf7"), (0.2, "#9ecae1"), (0.5, "#ffffbf"), (0.75, "#fdae61"), (1.0, "#d7191c"))
DISTANCE_MAX = 6.0
# Chain colours: the first (fixed or query) structure is always the dark blue one.
PALETTE = ("#1f4e9c", "#e4572e", "#29a36a", "#9b5de5", "#f0a202", "#00a6a6", "#d1495b", "#6c757d",
           "#8ac926", "#ff7aa2", "#3a86ff", "#8d6e63")
# Unaligned residues: the structure's colour, lightened this far towards white.
_UNALIGNED_LIGHTEN = 0.55


def colour(k: int) -> str:
    return PALETTE[k % len(PALETTE)]


def _rgb(hex_colour: str) -> tuple[int, int, int]:
    return int(hex_colour[1:3], 16), int(hex_colour[3:5], 16), int(hex_colour[5:7], 16)


def _hex(rgb: Sequence[float]) -> str:
    return "#" + "".join(f"{max(0, min(255, round(c))):02x}" for c in rgb)


def lighten(hex_colour: str, amount: float) -> str:
    return _hex([c + (255 - c) * amount for c in _rgb(hex_colour)])


def distance_colour(d: float, vmax: float = DISTANCE_MAX) -> str:
    """The colour of a pair distance on DISTANCE_SCALE (capped at vmax; not finite = vmax)."""
    t = 1.0 if not math.isfinite(d) else min(max(d / vmax, 0.0), 1.0)
    for (t0, c0), (t1, c1) in zip(DISTANCE_SCALE, DISTANCE_SCALE[1:]):
        if t <= t1:
            f = (t - t0) / (t1 - t0)
            a, b = _rgb(c0), _rgb(c1)
            return _hex([x + (y - x) * f for x, y in zip(a, b)])
    return DISTANCE_SCALE[-1][1]


@dataclass
class Placed:
    """One structure in the common frame, ready to be drawn.

    ``text`` is the whole structure as mmCIF, already moved; ``chain`` the author chain id of the
    aligned chain and ``labels`` its residues' numbers with insertion code ("52", "52A"), in the
    order of the chain's residues as loaded (index 0, 1, 2, ...). ``residues`` maps a residue index
    to its (colour, hover text): those residues are the aligned ones."""

    name: str
    text: str
    chain: str
    labels: list[str]
    colour: str = PALETTE[0]
    residues: dict[int, tuple[str, str]] = field(default_factory=dict)


def _split_label(label: str) -> tuple[int, str]:
    digits = label.rstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
    return int(digits), label[len(digits):]


def place_file(path: PathLike, transform: dovel.Transform | None, name: str, chain: str | None = None,
               model: int = 1) -> Placed:
    """The whole structure of ``path`` moved by ``transform`` (None: as it lies), and the residue
    labels of its chain ``chain`` (None: the first protein chain, as ``dovelkit.load`` picks it)."""
    import gemmi

    from dovelkit.io.reading import BLANK_CHAIN, read_chain, read_structure

    _, data = read_chain(path, chain, model, labelled=True)
    structure = read_structure(path)
    # The model drawn, without waters (the viewer does not draw them) and without hydrogens.
    for k in range(len(structure) - 1, -1, -1):
        if k != model - 1:
            del structure[k]
    structure.remove_waters()
    structure.remove_hydrogens()
    structure.setup_entities()
    if transform is not None:
        tr = gemmi.Transform()
        tr.mat.fromlist(transform.rotation.tolist())
        tr.vec.fromlist(transform.translation.tolist())
        structure[0].transform_pos_and_adp(tr)
    structure.name = _block_name(name)
    text = structure.make_mmcif_document(_mmcif_groups()).as_string()
    return Placed(name, text, "" if data.chain == BLANK_CHAIN else data.chain, list(data.labels))


def _block_name(name: str) -> str:
    return "".join(ch if ch.isalnum() else "_" for ch in name)[:40] or "structure"


def _mmcif_groups() -> gemmi.MmcifOutputGroups:
    import gemmi

    groups = gemmi.MmcifOutputGroups(False)
    for name in ("block_name", "atoms", "group_pdb", "auth_all", "entity", "entity_poly", "struct_asym",
                 "struct_conf", "struct_sheet", "chem_comp", "conn"):
        setattr(groups, name, True)
    return groups


def place_domain(domain: dovel.Domain, transform: dovel.Transform | None, name: str) -> Placed:
    """A chain known only by its C-alpha atoms (no file): those atoms, moved by ``transform``."""
    import gemmi

    xyz = np.ascontiguousarray(domain.coordinates, dtype=np.float64)
    if transform is not None:
        xyz = transform.apply(xyz)
    chain = (domain.chain or "A").strip()[:1] or "A"
    lines = []
    for k, (code, (x, y, z)) in enumerate(zip(domain.sequence, xyz)):
        residue = gemmi.expand_one_letter(code, gemmi.ResidueKind.AA) or "UNK"
        lines.append(f"ATOM  {k + 1:5d}  CA  {residue:>3} {chain}{(k + 1) % 10000:4d}    "
                     f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00           C")
    structure = gemmi.read_pdb_string("\n".join(lines) + "\nEND\n")
    structure.setup_entities()
    structure.name = _block_name(name)
    return Placed(name, structure.make_mmcif_document(_mmcif_groups()).as_string(), chain,
                  [str((k + 1) % 10000) for k in range(len(xyz))])


def place(domain: dovel.Domain, transform: dovel.Transform | None, name: str,
          source: PathLike | tuple[PathLike, str | None] | None = None) -> Placed:
    """``domain`` in the common frame: the whole structure of its file ``source`` (a path, or
    (path, chain id); without a chain id the one the domain's id names, ``<stem>_<chain>``) moved
    by ``transform``, or its C-alpha atoms alone when there is no file, when the file cannot be
    read, or when its chain is not the domain's (another length: the file changed since)."""
    if source is not None:
        path, chain = source if isinstance(source, tuple) else (source, _chain_of(domain, source))
        try:
            placed = place_file(path, transform, name, chain)
        except (OSError, ValueError, RuntimeError):
            placed = None
        if placed is not None and len(placed.labels) == len(domain):
            return placed
    return place_domain(domain, transform, name)


def _chain_of(domain: dovel.Domain, path: PathLike) -> str | None:
    """The chain id in the domain's id ``<stem>_<chain>`` when the stem is the file's."""
    from dovelkit.io.paths import display_path
    from dovelkit.io.reading import file_stem

    stem = display_path(file_stem(path)) + "_"
    ident = str(domain.id or "")
    return ident[len(stem):] or None if ident.startswith(stem) else None


def annotate_pairs(first: Placed, second: Placed, pairs: np.ndarray, distances: np.ndarray,
                   sequences: tuple[str, str]) -> None:
    """Colour every aligned residue of two placed chains by its pair distance, with a hover text
    naming its partner (by the partner's residue number in its file)."""
    for (i, j), d in zip(np.asarray(pairs, dtype=np.int64).reshape(-1, 2), np.asarray(distances, float)):
        i, j, d = int(i), int(j), float(d)
        c = distance_colour(d)
        first.residues[i] = (c, f"paired with {second.name} {sequences[1][j]}{second.labels[j]}: {d:.2f} Å")
        second.residues[j] = (c, f"paired with {first.name} {sequences[0][i]}{first.labels[i]}: {d:.2f} Å")


# -- the scenes of the reports ------------------------------------------------------------------

def pairwise_viewer(aln: Any, names: tuple[str, str],
                    sources: Sequence[PathLike | tuple[PathLike, str | None] | None] = (None, None)) -> str:
    """The viewer block of a pairwise alignment: ``mobile`` moved onto ``fixed``, aligned residues
    coloured by pair distance."""
    fixed = place(aln.fixed, None, names[0], sources[0])
    mobile = place(aln.mobile, aln.transform, names[1], sources[1])
    mobile.colour = colour(1)
    annotate_pairs(fixed, mobile, aln.pairs, aln.distances, (aln.fixed.sequence, aln.mobile.sequence))
    return viewer_block([fixed, mobile], title=f"{names[1]} superposed on {names[0]}")


def multiple_viewer(domains: Sequence[dovel.Domain], transforms: Sequence[dovel.Transform], names: Sequence[str],
                    columns: Sequence[Sequence[int | None]], core: Sequence[int], values: Any,
                    sources: Sequence[PathLike | tuple[PathLike, str | None] | None] | None = None,
                    vmax: float = 4.0) -> str:
    """The viewer block of a multiple alignment: every structure in the common frame, the residues
    of core columns coloured by their distance to the column's mean position (``values[c][k]``)."""
    placed = []
    for k, (d, t, nm) in enumerate(zip(domains, transforms, names)):
        p = place(d, t, nm, sources[k] if sources is not None else None)
        p.colour = colour(k)
        placed.append(p)
    for c in core:
        for k, i in enumerate(columns[c]):
            if i is None:
                continue
            v = float(values[c][k])
            placed[k].residues[int(i)] = (distance_colour(v, vmax),
                                          f"core column {c + 1}: {v:.2f} Å from the column's mean")
    return viewer_block(placed, title=f"{len(placed)} structures superposed", scale_max=vmax,
                        scale_label="core residues by distance to their column's mean")


def search_viewer(query: dovel.Domain, qname: str, shown: Sequence[tuple[str, Any, Any]],
                  query_source: PathLike | tuple[PathLike, str | None] | None = None) -> str:
    """The viewer block of a search: the query and hits moved onto it. ``shown`` holds (name,
    source or None, alignment of the hit onto the query) for each hit drawn; each hit's aligned
    residues are coloured by their distance to the query residue they pair with."""
    q = place(query, None, qname, query_source)
    placed = [q]
    partners: dict[int, list[str]] = {}
    for k, (name, source, aln) in enumerate(shown):
        p = place(aln.mobile, aln.transform, name, source)
        p.colour = colour(k + 1)
        seq = aln.mobile.sequence
        for (i, j), d in zip(np.asarray(aln.pairs, dtype=np.int64).reshape(-1, 2), np.asarray(aln.distances, float)):
            i, j, d = int(i), int(j), float(d)
            p.residues[j] = (distance_colour(d), f"paired with {qname} {query.sequence[i]}{q.labels[i]}: {d:.2f} Å")
            partners.setdefault(i, []).append(f"{name} {seq[j]}{p.labels[j]} {d:.1f} Å")
        placed.append(p)
    for i, names in partners.items():
        q.residues[i] = (q.colour, "paired with " + ", ".join(names))
    return viewer_block(placed, title=f"{len(shown)} hits superposed on {qname}")


# -- the scene --------------------------------------------------------------------------------

def _annotation_rows(placed: Placed) -> list[dict[str, object]]:
    rows: list[dict[str, object]] = []
    aligned = placed.residues
    for k, label in enumerate(placed.labels):
        num, icode = _split_label(label)
        row: dict[str, object] = {"auth_asym_id": placed.chain, "auth_seq_id": num}
        if icode:
            row["pdbx_PDB_ins_code"] = icode
        if k in aligned:
            c, tip = aligned[k]
            row.update(color=c, tooltip=f"{placed.name}: {tip}")
        else:
            row.update(color=lighten(placed.colour, _UNALIGNED_LIGHTEN), tooltip=f"{placed.name}: not aligned")
        rows.append(row)
    return rows


def _node(kind: str, params: Mapping[str, object] | None = None,
          children: list[dict[str, object]] | None = None) -> dict[str, object]:
    node: dict[str, object] = {"kind": kind}
    if params is not None:
        node["params"] = dict(params)
    if children:
        node["children"] = children
    return node


def _structure_nodes(k: int, placed: Placed, side_chains: bool) -> dict[str, object]:
    annotations = f"annotations_{k}.json"
    chain_sel = {"auth_asym_id": placed.chain}
    aligned_sel = [{"auth_asym_id": placed.chain, **_seq_selector(placed.labels[i])}
                   for i in sorted(placed.residues)]
    base = placed.colour
    polymer = _node("component", {"selector": "polymer"}, [
        _node("representation", {"type": "cartoon"}, [
            _node("color", {"color": lighten(base, 0.75)}),
            _node("color", {"selector": chain_sel, "color": lighten(base, _UNALIGNED_LIGHTEN)}),
            _node("color_from_uri", {"uri": annotations, "format": "json", "schema": "auth_residue",
                                     "field_name": "color"}),
        ]),
    ])
    children = [polymer, _node("tooltip_from_uri", {"uri": annotations, "format": "json",
                                                    "schema": "auth_residue", "field_name": "tooltip"})]
    if aligned_sel and side_chains:
        # Side chains of the aligned residues: thin sticks in a pale shade of the structure's colour.
        children.append(_node("component", {"selector": aligned_sel}, [
            _node("representation", {"type": "ball_and_stick", "size_factor": 0.3, "ignore_hydrogens": True},
                  [_node("color", {"color": lighten(base, 0.35)})]),
        ]))
    children.append(_node("component", {"selector": "ligand"}, [
        _node("representation", {"type": "ball_and_stick", "ignore_hydrogens": True},
              [_node("color", {"color": base})]),
    ]))
    if k == 0:  # the camera frames the reference chain (other chains of its file may lie far away)
        children.append(_node("component", {"selector": chain_sel}, [_node("focus")]))
    return _node("download", {"url": f"structure_{k}.cif"}, [
        _node("parse", {"format": "mmcif"}, [
            _node("structure", {"type": "model"}, children),
        ]),
    ])


def _seq_selector(label: str) -> dict[str, object]:
    num, icode = _split_label(label)
    sel: dict[str, object] = {"auth_seq_id": num}
    if icode:
        sel["pdbx_PDB_ins_code"] = icode
    return sel


def scene_archive(structures: Sequence[Placed], title: str = "", side_chains: bool | None = None) -> bytes:
    """The MVSX archive of the scene: index.mvsj, the structures and their annotations. Side chains
    of the aligned residues are drawn for a pair (``side_chains=None``), not for more structures."""
    if side_chains is None:
        side_chains = len(structures) <= 2
    root = _node("root", None, [
        _node("canvas", {"background_color": "#ffffff"}),
        *(_structure_nodes(k, p, side_chains) for k, p in enumerate(structures)),
    ])
    state = {"kind": "single", "root": root,
             "metadata": {"version": "1", "timestamp": "1970-01-01T00:00:00"}}
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        archive.writestr(_entry("index.mvsj"), json.dumps(state, separators=(",", ":")))
        for k, p in enumerate(structures):
            archive.writestr(_entry(f"structure_{k}.cif"), p.text)
            archive.writestr(_entry(f"annotations_{k}.json"),
                             json.dumps(_annotation_rows(p), separators=(",", ":"), ensure_ascii=False))
    return buffer.getvalue()


def _entry(name: str) -> zipfile.ZipInfo:
    info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))  # same scene, same bytes
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


# -- the page ---------------------------------------------------------------------------------

@cache
def _bundle_dir() -> str:
    try:
        import molstar_cli
    except ImportError:
        raise RuntimeError("the structure viewer needs the package molstar-cli (pip install molstar-cli)") from None
    folder = os.path.join(os.path.dirname(molstar_cli.__file__), "static", "molstar")
    if not os.path.isfile(os.path.join(folder, "molstar.js")):
        raise RuntimeError(f"molstar-cli has no built viewer in {folder}")
    return folder


@cache
def _bundle() -> tuple[str, str, str]:
    folder = _bundle_dir()
    with open(os.path.join(folder, "molstar.js"), encoding="utf-8") as fh:
        script = fh.read()
    with open(os.path.join(folder, "molstar.css"), encoding="utf-8") as fh:
        style = fh.read()
    try:
        with open(os.path.join(folder, "VERSION"), encoding="utf-8") as fh:
            version = fh.read().strip()
    except OSError:
        version = "unknown"
    return script.replace("</script", "<\\/script"), style.replace("</style", "<\\/style"), version


def viewer_version() -> str:
    """The version of Mol* that the pages embed."""
    return _bundle()[2]


_STYLE = """
.dovel-viewer { position: relative; width: 100%; height: 560px; border: 1px solid #ddd; }
.dovel-viewer .msp-plugin { position: absolute; inset: 0; }
.dovel-viewer .msp-state-snapshot-viewport-controls { display: none; }
.dovel-legend { font-size: 12px; color: #444; margin: 4px 0 0; }
.dovel-legend span.swatch { display: inline-block; width: 11px; height: 11px; margin: 0 4px -1px 10px;
  border: 1px solid #999; }
.dovel-viewer-error { color: #7f1d1d; font-size: 13px; }
"""

# Starts every viewer block of the page once the page has loaded. Each block is a div with its
# scene in data-scene (base64 MVSX); window.dovelViewers counts the blocks, dovelViewersReady those
# whose first frame is on the screen, dovelViewerTimes the milliseconds from navigation to each
# stage of each block (start, created, loaded, drawn: the first frame).
_START = """
(function () {
  window.dovelViewersReady = 0; window.dovelViewerTimes = []; window.dovelViewerErrors = [];
  function frame() { return new Promise(function (r) { requestAnimationFrame(function () { r(); }); }); }
  async function start(el) {
    var stages = {start: performance.now()};
    try {
      var viewer = await molstar.Viewer.create(el, {
        layoutIsExpanded: false, layoutShowControls: false, layoutShowRemoteState: false,
        layoutShowSequence: false, layoutShowLog: false, layoutShowLeftPanel: false,
        viewportShowExpand: true, viewportShowSelectionMode: false, viewportShowAnimation: false,
        viewportShowTrajectoryControls: false, viewportShowReset: true, viewportShowScreenshotControls: false,
        viewportShowControls: false, viewportShowSettings: false, viewportShowToggleFullscreen: false,
        collapseLeftPanel: true, pdbProvider: 'pdbe', emdbProvider: 'pdbe',
        disabledExtensions: ['volseg', 'backgrounds', 'dnatco-ntcs', 'model-archive', 'zenodo-import'],
        illumination: false, preferWebgl1: false
      });
      el.dovelViewer = viewer;
      stages.created = performance.now();
      await viewer.loadMvsData('base64,' + el.dataset.scene, 'mvsx', {replaceExisting: true});
      stages.loaded = performance.now();
      await frame(); await frame();
      stages.drawn = performance.now();
      window.dovelViewerTimes.push(stages);
      window.dovelViewersReady += 1;
      el.dataset.ready = '1';
    } catch (e) {
      window.dovelViewerErrors.push(String(e));
      var p = document.createElement('p'); p.className = 'dovel-viewer-error';
      p.textContent = 'The structure viewer could not start: ' + e;
      el.replaceWith(p);
      console.error('dovel viewer: ' + e);
    }
  }
  function startAll() {
    var blocks = Array.prototype.slice.call(document.querySelectorAll('div.dovel-viewer[data-scene]'));
    window.dovelViewers = blocks.length;
    blocks.reduce(function (p, el) { return p.then(function () { return start(el); }); }, Promise.resolve());
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', startAll);
  else startAll();
})();
"""


def viewer_head() -> str:
    """What a page embeds once, in its head, for any number of viewer blocks: Mol*, its style and
    the script that starts the blocks."""
    script, style, _ = _bundle()
    return (f"<style>{style}</style>\n<style>{_STYLE}</style>\n"
            f"<script>{script}</script>\n<script>{_START}</script>")


def viewer_block(structures: Sequence[Placed], title: str = "", height: int = 560,
                 legend: bool = True, scale_max: float = DISTANCE_MAX,
                 scale_label: str = "aligned residues by pair distance") -> str:
    """One viewer: the structures in the frame they were placed in (the first is the reference),
    as an HTML block for a page that embeds ``viewer_head()``."""
    if not structures:
        raise ValueError("a viewer needs at least one structure")
    scene = base64.b64encode(scene_archive(structures, title)).decode("ascii")
    parts = [f'<div class="dovel-viewer" style="height: {int(height)}px" '
             f'aria-label="{_html.escape(title or "structure viewer")}" data-scene="{scene}"></div>']
    if legend:
        items = "".join(f'<span class="swatch" style="background: {p.colour}"></span>{_html.escape(p.name)}'
                        for p in structures)
        scale = "".join(f'<span class="swatch" style="background: {distance_colour(d, scale_max)}"></span>{d:g} Å'
                        for d in np.linspace(0.0, scale_max, 5))
        parts.append(f'<p class="dovel-legend">{items}</p>')
        if any(p.residues for p in structures):
            parts.append(f'<p class="dovel-legend">{_html.escape(scale_label)}:{scale}; '
                         'the other residues in their structure\'s colour, pale; ligands '
                         + ('and the side chains of aligned residues ' if len(structures) <= 2 else '')
                         + 'as sticks. Hover a residue for its pair.</p>')
    return "\n".join(parts)


def viewer_page(structures: Sequence[Placed], title: str = "Superposition") -> str:
    """A page holding nothing but one viewer (for tests and benchmarks)."""
    return "\n".join([
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f'<meta http-equiv="Content-Security-Policy" content="{VIEWER_CSP}">',
        f"<title>{_html.escape(title)}</title>",
        viewer_head(),
        "</head><body>",
        viewer_block(structures, title),
        "</body></html>\n",
    ])
