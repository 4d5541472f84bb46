"""A complex alignment shown: as text (the summary, the chain map as a table, the unmatched chains)
and as a report (the chain map and the two assemblies superposed)."""

from __future__ import annotations

import html
import numpy as np

from dovelkit.alignment.complexes import ComplexAlignment
from dovelkit.io.paths import printable
from dovelkit.report import figures as F
from dovelkit.report.document import Report, Section
from dovelkit.report.formatting import number


def complex_text(r: ComplexAlignment, path_fixed: str | None = None, path_mobile: str | None = None) -> str:
    """The result as text: the summary, then the chain map as a table and the unmatched chains."""

    def where(path: str | None) -> str:
        return f"{printable(path)}, " if path else ""

    fixed_lengths = dict(zip(r.fixed_names, (len(d) for d in r.fixed_chains)))
    mobile_lengths = dict(zip(r.mobile_names, (len(d) for d in r.mobile_chains)))
    lines = [
        f"fixed     {printable(r.fixed)}  ({where(path_fixed)}{len(r.fixed_chains)} chains, {r.length_fixed} residues)",
        f"mobile    {printable(r.mobile)}  ({where(path_mobile)}{len(r.mobile_chains)} chains, "
        f"{r.length_mobile} residues)",
        f"n_aligned {r.n_aligned} pairs  ({100 * r.n_aligned / max(1, r.length_fixed):.1f}% of fixed, "
        f"{100 * r.n_aligned / max(1, r.length_mobile):.1f}% of mobile)",
        f"RMSD      {number(r.rmsd, 3)} A",
        f"TM-score  {number(r.tm_fixed, 4)} (by fixed), {number(r.tm_mobile, 4)} (by mobile)  "
        "(complex: normalised by each assembly's total length)",
        "",
        "chain map",
    ]
    header = ["fixed", "mobile", "len_fixed", "len_mobile", "n_aligned", "tm_fixed", "tm_mobile"]
    rows = [[printable(c.fixed), printable(c.mobile), str(fixed_lengths[c.fixed]), str(mobile_lengths[c.mobile]),
             str(c.n_aligned), number(c.tm_fixed, 4), number(c.tm_mobile, 4)] for c in r.chains]
    widths = [max(len(h), *(len(row[k]) for row in rows)) if rows else len(h) for k, h in enumerate(header)]
    for row in [header, *rows]:
        lines.append("  " + "  ".join(cell.ljust(w) if k < 2 else cell.rjust(w)
                                      for k, (cell, w) in enumerate(zip(row, widths))).rstrip())
    if not rows:
        lines.append("  (no chain pair aligned)")
    for side, names, lengths in (("fixed", r.unmatched_fixed, fixed_lengths),
                                 ("mobile", r.unmatched_mobile, mobile_lengths)):
        if names:
            listed = ", ".join(f"{printable(n)} ({lengths[n]} residues)" for n in names)
            lines.append(f"unmatched {side} chains: {listed}")
    if not r.unmatched_fixed and not r.unmatched_mobile:
        lines.append("every chain of both assemblies is matched")
    return "\n".join(lines) + "\n"


def complex_report(r: ComplexAlignment, title: str | None = None) -> Report:
    """A ``dovelkit.report.Report`` of a complex alignment: the summary, the chain map and the two
    assemblies superposed (the mobile one moved onto the fixed one, a trace per chain)."""

    names, coords, seqs, masks, notes = [], [], [], [], []
    pairs = np.asarray(r.pairs, dtype=np.int64).reshape(-1, 4)
    for side, chains, chain_names, col in (("fixed", r.fixed_chains, r.fixed_names, 0),
                                           ("mobile", r.mobile_chains, r.mobile_names, 2)):
        for k, (d, n) in enumerate(zip(chains, chain_names)):
            xyz = np.asarray(d.coordinates, dtype=np.float64)
            if side == "mobile":
                xyz = r.transform.apply(np.ascontiguousarray(xyz))
            mask = np.zeros(len(xyz), bool)
            mask[pairs[pairs[:, col] == k][:, col + 1]] = True
            names.append(f"{r.fixed if side == 'fixed' else r.mobile} {n}")
            coords.append(xyz)
            seqs.append(d.sequence)
            masks.append(mask)
            notes.append([""] * len(xyz))
    view = F.structure_view(names, coords, seqs, masks, notes, title=f"{r.mobile} superposed on {r.fixed}")
    rows = "".join(
        f'<tr><td class="l">{html.escape(c.fixed)}</td><td class="l">{html.escape(c.mobile)}</td>'
        f"<td>{c.n_aligned}</td><td>{number(c.tm_fixed, 4)}</td><td>{number(c.tm_mobile, 4)}</td></tr>"
        for c in r.chains)
    table = ('<table class="hits"><tr><th class="l">fixed chain</th><th class="l">mobile chain</th>'
             f"<th>n_aligned</th><th>TM by fixed chain</th><th>TM by mobile chain</th></tr>{rows}</table>")
    unmatched = []
    for side, chain_names in (("fixed", r.unmatched_fixed), ("mobile", r.unmatched_mobile)):
        if chain_names:
            unmatched.append(f"unmatched {side} chains: {', '.join(chain_names)}")
    summary = [
        ("fixed", f"{r.fixed}: {len(r.fixed_chains)} chains, {r.length_fixed} residues"),
        ("mobile", f"{r.mobile}: {len(r.mobile_chains)} chains, {r.length_mobile} residues"),
        ("n_aligned", str(r.n_aligned)),
        ("RMSD", f"{r.rmsd:.2f} Å"),
        ("TM-score", f"{r.tm_fixed:.4f} (by {r.fixed}), {r.tm_mobile:.4f} (by {r.mobile})"),
        ("chain map", ", ".join(f"{f}={m}" for f, m in r.chain_map) or "none"),
    ]
    sections = [
        Section("Chain map", None, "Each mapped chain pair, its aligned pairs and TM-scores by each chain's own "
                "length under the one superposition of the assemblies."
                + (" " + "; ".join(unmatched) + "." if unmatched else ""),
                html=table),
        Section("Superposition", "structure",
                f"{r.mobile} moved onto {r.fixed}, a trace per chain; aligned stretches are drawn thick. "
                "Drag to rotate, scroll to zoom."),
    ]
    return Report(title=title or f"{r.mobile} aligned to {r.fixed}", subtitle="Complex structure alignment",
                  summary=summary, figures={"structure": view}, sections=sections, body_text=complex_text(r))
