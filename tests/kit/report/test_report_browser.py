"""Each kind of report, opened from its file in headless Chromium with networking cut off.

A page passes when every figure has drawn, nothing was logged as an error, no request left the
file, and a screenshot shows drawn plots in every figure's box. make test installs chromium.
"""

import json
import os

import numpy as np
import pytest

import dovelkit
from dovelkit.report.figures import HELIX, colour

from chromium import Chromium, decode_png, find_chromium
from conftest import data_path

FAMILIES = data_path("families")
READY = "window.dovelFigures !== undefined && window.dovelDrawn === window.dovelFigures"
# Page coordinates of every figure and how many plotly drew.
FIGURE_BOXES = """JSON.stringify(Array.from(document.querySelectorAll('.js-plotly-plot')).map(e => {
  const r = e.getBoundingClientRect();
  return {id: e.id, x: r.left + scrollX, y: r.top + scrollY, w: r.width, h: r.height,
          svg: e.querySelectorAll('.main-svg').length, gl: e.querySelectorAll('canvas').length};
}))"""


def load(rel, dssp=True):
    pdb = os.path.join(FAMILIES, rel)
    return dovelkit.load(pdb, dssp=pdb[:-4] + ".dssp" if dssp else None)


@pytest.fixture(scope="module")
def browser():
    exe = find_chromium()
    if exe is None:
        pytest.fail("no chromium found: tools/install-deps.sh installs the Debian package chromium "
                    "(or point DOVEL_CHROMIUM at a Chromium binary)")
    b = Chromium(exe, width=1280, height=900)
    yield b
    b.close()


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    """The three kinds of report on the bundled families, written as files."""
    out = tmp_path_factory.mktemp("reports")
    a, b = load("cytochrome_c/1hrc.pdb"), load("cytochrome_c/1ycc.pdb")
    m = dovelkit.msa([load(f"cytochrome_c/{n}.pdb") for n in ("1hrc", "1crc", "1ycc", "1co6")], level="family")
    targets = [load(os.path.join(fam, f), dssp=False) for fam in sorted(os.listdir(FAMILIES))
               if os.path.isdir(os.path.join(FAMILIES, fam))
               for f in sorted(os.listdir(os.path.join(FAMILIES, fam))) if f.endswith(".pdb")]
    hits = dovelkit.search(a, targets, workers=1, details=True, level="family")
    reports = {
        "pairwise": dovelkit.pairwise_report(dovelkit.align(a, b, level="family")),
        "multiple": dovelkit.msa_report(m),
        "search": dovelkit.search_report(a, hits),
    }
    paths = {}
    for kind, report in reports.items():
        paths[kind] = out / f"{kind}.html"
        report.write(paths[kind])
    return reports, paths


def hex_rgb(colour):
    return np.array([int(colour[k:k + 2], 16) for k in (1, 3, 5)])


def drawn(region, min_colours=12, min_ink=0.01):
    """Whether a screenshot region holds a drawn plot: enough non-white pixels of enough colours."""
    pixels = region.reshape(-1, region.shape[-1])[:, :3].astype(int)
    ink = np.any(pixels < 235, axis=1).mean()
    colours = len(np.unique(pixels[:, 0] * 65536 + pixels[:, 1] * 256 + pixels[:, 2]))
    return ink >= min_ink and colours >= min_colours


def near(region, colour, tolerance=40):
    """How many pixels of region lie within tolerance of colour."""
    pixels = region.reshape(-1, region.shape[-1])[:, :3].astype(int)
    return int((np.abs(pixels - hex_rgb(colour)).max(axis=1) <= tolerance).sum())


def open_and_check(browser, path, n_figures):
    first = len(browser.events)
    browser.open(path.as_uri(), READY, timeout=60)
    browser.pump(0.3)
    image = decode_png(browser.screenshot())
    boxes = json.loads(browser.evaluate(FIGURE_BOXES))
    problems = browser.problems(since=first)
    assert problems == [], f"{path.name}: {problems}"
    assert len(boxes) == n_figures
    regions = {}
    for box in boxes:
        assert box["svg"] >= 1, f"{box['id']} has no plot"
        region = image[int(box["y"]):int(box["y"] + box["h"]), int(box["x"]):int(box["x"] + box["w"])]
        assert region.size and drawn(region), f"{path.name}: figure {box['id']} looks blank"
        regions[box["id"]] = (region, box)
    return image, regions


@pytest.mark.parametrize("kind", ["pairwise", "multiple", "search"])
def test_report_opens_offline_and_draws(browser, pages, kind):
    reports, paths = pages
    report = reports[kind]
    figures = {s.figure: f"figure-{k}" for k, s in enumerate(report.sections) if s.figure is not None}
    image, regions = open_and_check(browser, paths[kind], len(figures))
    assert drawn(image)
    by_figure = {name: regions[div] for name, div in figures.items()}
    # The 3D view is WebGL: the chains must be on the canvas, in their colours.
    region, box = by_figure["structure"]
    assert box["gl"] >= 1
    chains = sum(1 for t in report.figures["structure"].data if t.showlegend is not False)
    seen = [k for k in range(chains) if near(region, colour(k)) > 300]
    assert len(seen) >= 2, f"{kind}: chains drawn in the 3D view: {seen} of {chains}"
    if kind == "pairwise":
        region, _ = by_figure["alignment"]
        assert near(region, HELIX, 12) > 500  # helices from the DSSP files


def test_harness_sees_requests_errors_and_blank_pages(browser, tmp_path):
    """The checks above would catch a page that fetches something, logs an error or draws nothing."""
    page = tmp_path / "bad.html"
    page.write_text(
        "<!DOCTYPE html><html><body><img src='http://example.com/x.png'>"
        "<link rel='stylesheet' href='https://example.com/s.css'>"
        "<script>console.error('broken'); window.ready = true;</script></body></html>"
    )
    first = len(browser.events)
    browser.open(page.as_uri(), "window.ready === true")
    browser.pump(0.5)
    problems = browser.problems(since=first)
    assert any("request: http://example.com/x.png" in p for p in problems)
    assert any("request: https://example.com/s.css" in p for p in problems)
    assert any("console.error: broken" in p for p in problems)
    image = decode_png(browser.screenshot())
    assert not drawn(image)
