"""`dovel align --html` in headless Chromium, networking cut off: the viewer draws both structures
(pixels of each one's colours in its canvas), hovering a residue names its pair, nothing is
requested and nothing is logged as an error. The screenshot is left in the test's folder."""

import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import TESTS, data_path, kit_env

sys.path[:0] = [os.path.join(TESTS, "kit", "report"), os.path.join(TESTS, "kit")]  # where chromium.py is
from chromium import Chromium, decode_png, find_chromium  # noqa: E402

from dovelkit.report.viewer import colour, lighten  # noqa: E402

VIEWER_READY = ("window.dovelViewers !== undefined && (window.dovelViewersReady === window.dovelViewers"
                " || window.dovelViewerErrors.length > 0)")
VIEWER_BOXES = """JSON.stringify(Array.from(document.querySelectorAll('.dovel-viewer')).map(e => {
  const r = e.getBoundingClientRect();
  return {x: r.left + scrollX, y: r.top + scrollY, w: r.width, h: r.height, canvas: e.querySelectorAll('canvas').length};
}))"""
HOVER_TEXT = "Array.from(document.querySelectorAll('.msp-highlight-info')).map(e => e.innerText).join(' ')"


def near(region, hex_colour, tolerance=40):
    rgb = np.array([int(hex_colour[k:k + 2], 16) for k in (1, 3, 5)])
    pixels = region.reshape(-1, region.shape[-1])[:, :3].astype(int)
    return int((np.abs(pixels - rgb).max(axis=1) <= tolerance).sum())


def viewer_regions(browser, image):
    boxes = json.loads(browser.evaluate(VIEWER_BOXES))
    return [(image[int(b["y"]):int(b["y"] + b["h"]), int(b["x"]):int(b["x"] + b["w"])], b) for b in boxes]


def test_align_html_draws_both_structures_and_names_pairs_on_hover(tmp_path):
    exe = find_chromium()
    if exe is None:
        pytest.fail("no chromium found: tools/install-deps.sh installs the Debian package chromium")
    fixed = data_path("families", "cytochrome_c", "1hrc.pdb")
    mobile = data_path("families", "cytochrome_c", "1ycc.pdb")
    page = tmp_path / "pair.html"
    subprocess.run([sys.executable, "-m", "dovelkit", "align", fixed, mobile, "--html", str(page)],
                   env=kit_env(), check=True, capture_output=True, timeout=300)
    html = page.read_text()
    assert html.count("<script>\"use strict\";var molstar=") == 1  # Mol* once
    browser = Chromium(exe, width=1280, height=900)
    try:
        first = len(browser.events)
        browser.open(page.as_uri(), VIEWER_READY, timeout=180)
        # Hover the viewer until it names a residue and its pair, at once: in headless Chromium
        # the viewer of a long page stops picking once the page has idled a few seconds.
        browser.evaluate("document.querySelector('.dovel-viewer').scrollIntoView({block: 'center'})")
        r = json.loads(browser.evaluate(
            "JSON.stringify(document.querySelector('.dovel-viewer').getBoundingClientRect())"))
        top = r["top"]
        text = ""
        deadline = time.monotonic() + 90
        for fx, fy in ((0.5, 0.5), (0.45, 0.5), (0.55, 0.45), (0.5, 0.4), (0.5, 0.6), (0.4, 0.5), (0.6, 0.55)):
            browser.call("Input.dispatchMouseEvent", type="mouseMoved", x=r["left"] + fx * r["width"],
                         y=top + fy * r["height"])
            browser.pump(2.5)
            text = browser.evaluate(HOVER_TEXT) or ""
            if "paired with" in text or time.monotonic() > deadline:
                break
        assert "paired with" in text and " Å" in text, text
        assert browser.evaluate("window.dovelViewerErrors.length") == 0
        stages = json.loads(browser.evaluate("JSON.stringify(window.dovelViewerTimes)"))[0]
        print(f"viewer first frame {stages['drawn']:.0f} ms after navigation ({stages})")
        browser.call("Input.dispatchMouseEvent", type="mouseMoved", x=1, y=1)
        browser.pump(0.3)
        shot = browser.screenshot()
        (tmp_path / "pair.png").write_bytes(shot)
        [(region, box)] = viewer_regions(browser, decode_png(shot))
        assert box["canvas"] >= 1
        assert (region[..., :3].astype(int) < 235).any(axis=-1).mean() > 0.05, "the viewer looks blank"
        # Each structure's own colour: the hemes and the side chains of aligned residues.
        assert near(region, colour(0)) > 200, "the fixed structure is not drawn"
        assert near(region, lighten(colour(1), 0.35)) > 200, "the moved structure is not drawn"
        assert browser.problems(since=first) == []
    finally:
        browser.close()
