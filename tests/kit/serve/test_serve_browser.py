"""The search page in headless Chromium: upload a structure, wait for the hits, open the best one,
and see the viewer draw both structures. The browser reaches 127.0.0.1 and nothing else."""

import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import TESTS, data_path

sys.path[:0] = [os.path.join(TESTS, "kit", "report"), os.path.join(TESTS, "kit")]  # where chromium.py is
from chromium import Chromium, decode_png, find_chromium  # noqa: E402

from test_serve_api import QUERY, Server, _env  # noqa: E402

from dovelkit.report.viewer import colour, lighten  # noqa: E402

VIEWER_READY = ("window.dovelViewers !== undefined && (window.dovelViewersReady === window.dovelViewers"
                " || window.dovelViewerErrors.length > 0)")
VIEWER_BOX = """JSON.stringify((function () {
  var r = document.querySelector('.dovel-viewer').getBoundingClientRect();
  return {x: r.left + scrollX, y: r.top + scrollY, w: r.width, h: r.height};
})())"""


def near(region, hex_colour, tolerance=40):
    rgb = np.array([int(hex_colour[k:k + 2], 16) for k in (1, 3, 5)])
    pixels = region.reshape(-1, region.shape[-1])[:, :3].astype(int)
    return int((np.abs(pixels - rgb).max(axis=1) <= tolerance).sum())


def test_search_page_upload_hits_and_viewer(tmp_path, tmp_path_factory):
    """Screenshots of both pages are left in the test's folder."""
    exe = find_chromium()
    if exe is None:
        pytest.fail("no chromium found: tools/install-deps.sh installs the Debian package chromium")
    families = data_path("families")

    db = tmp_path / "families.parquet"
    subprocess.run([sys.executable, "-m", "dovelkit", "db", "create", str(db), families, "--workers", "1", "-q"],
                   env=_env(tmp_path), check=True, timeout=300)
    server = Server(db, tmp_path_factory.mktemp("serve-tmp"), "--workers", "1")
    browser = Chromium(exe, width=1280, height=900, allow_loopback=True)
    try:
        first = len(browser.events)
        browser.open(server.base + "/", "window.dovelPageReady === true", timeout=60)
        document = browser.call("DOM.getDocument")["root"]["nodeId"]
        node = browser.call("DOM.querySelector", nodeId=document, selector="input[type=file]")["nodeId"]
        browser.call("DOM.setFileInputFiles", nodeId=node, files=[QUERY])
        browser.evaluate("document.querySelector('button[type=submit]').click()")
        deadline = time.monotonic() + 120
        while not browser.evaluate("window.dovelHits > 0"):
            assert time.monotonic() < deadline, browser.evaluate("document.getElementById('status').textContent")
            browser.pump(0.2)
        rows = json.loads(browser.evaluate(
            "JSON.stringify(Array.from(document.querySelectorAll('#hits tbody tr')).map("
            "r => [r.cells[1].textContent, r.querySelector('a').getAttribute('href')]))"))
        assert rows[0][0] == "1hrc_A"  # the query finds itself first
        with open(tmp_path / "page.png", "wb") as fh:
            fh.write(browser.screenshot())
        # The best hit other than the query itself opens its pairwise report with the viewer.
        best, link = rows[1]
        browser.open(server.base + "/" + link, VIEWER_READY, timeout=180)
        assert browser.evaluate("window.dovelViewerErrors.length") == 0
        browser.pump(0.5)
        shot = browser.screenshot()
        with open(tmp_path / "report.png", "wb") as fh:
            fh.write(shot)
        image = decode_png(shot)
        box = json.loads(browser.evaluate(VIEWER_BOX))
        region = image[int(box["y"]):int(box["y"] + box["h"]), int(box["x"]):int(box["x"] + box["w"])]
        ink = (region[..., :3].astype(int) < 235).any(axis=-1).mean()
        assert ink > 0.05, f"the viewer's box is nearly blank ({ink:.3f})"
        # Ligands and side chains carry each structure's own colour: both structures are drawn.
        assert near(region, colour(0)) > 200 and near(region, lighten(colour(1), 0.35)) > 200
        others = [p for p in browser.problems(since=first)
                  if not p.startswith(f"request: {server.base}/")]
        assert others == []
    finally:
        browser.close()
        server.stop()
