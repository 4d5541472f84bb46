#!/usr/bin/env python3
"""Make the report screenshots under docs/ from the families of ../shared/data.

    PYTHONPATH=build/torva-py:. python3 tools/report_screenshots.py [OUT_DIR]

Writes report_pairwise.png (1ycc on 1hrc), report_multiple.png (four cytochromes c) and
report_search.png (1hrc searched against every bundled family chain, as a database, with the
sensitive preset, hits scoring above 0), each the
whole page as headless Chromium draws it offline, and serve_page.png: the page of `dovel serve`
over that database (on 127.0.0.1) after a search with 1hrc.
"""

from __future__ import annotations

import glob
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests", "kit", "report"), os.path.join(ROOT, "tests", "kit")]  # chromium.py

import dovelkit  # noqa: E402
from chromium import Chromium, find_chromium  # noqa: E402

FAMILIES = os.path.join(os.environ.get("DOVEL_TEST_DATA") or os.path.join(os.path.dirname(ROOT), "shared", "data"), "families")
READY = ("window.dovelFigures !== undefined && window.dovelDrawn === window.dovelFigures"
         " && window.dovelViewers !== undefined && (window.dovelViewersReady === window.dovelViewers"
         " || window.dovelViewerErrors.length > 0)")


def path(name: str) -> str:
    return os.path.join(FAMILIES, "cytochrome_c", f"{name}.pdb")


def load(name: str) -> "dovelkit.dovel.Domain":
    pdb = path(name)
    return dovelkit.load(pdb, dssp=pdb[:-4] + ".dssp")


def serve_page(db_path: str, png: str) -> None:
    """A screenshot of the search page after a search, from a server on 127.0.0.1."""
    import signal
    import socket
    import subprocess
    import time

    dovelkit.Database.create(db_path, sorted(glob.glob(os.path.join(FAMILIES, "*", "*.pdb"))), workers=1).close()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "dovelkit", "serve", db_path, "--port", str(port),
                               "--workers", "1"])
    exe = find_chromium()
    browser = Chromium(exe, width=1100, height=760, allow_loopback=True) if exe else None
    try:
        if browser is None:
            raise SystemExit("no chromium found")
        deadline = time.monotonic() + 60
        while True:
            try:
                browser.open(f"http://127.0.0.1:{port}/", "window.dovelPageReady === true", timeout=10)
                break
            except Exception:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        root = browser.call("DOM.getDocument")["root"]["nodeId"]
        node = browser.call("DOM.querySelector", nodeId=root, selector="input[type=file]")["nodeId"]
        browser.call("DOM.setFileInputFiles", nodeId=node, files=[path("1hrc")])
        browser.evaluate("document.querySelector('button[type=submit]').click()")
        while not browser.evaluate("window.dovelHits > 0"):
            if time.monotonic() > deadline + 120:
                raise SystemExit("no hits on the search page")
            browser.pump(0.2)
        with open(png, "wb") as fh:
            fh.write(browser.screenshot())
        print(png)
    finally:
        if browser is not None:
            browser.close()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=30)


def main() -> int:
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "images")
    os.makedirs(out, exist_ok=True)
    query = load("1hrc")
    with tempfile.TemporaryDirectory() as tmp:
        serve_page(os.path.join(tmp, "serve.parquet"), os.path.join(out, "serve_page.png"))
        db = dovelkit.Database.create(os.path.join(tmp, "families.parquet"),
                                      sorted(glob.glob(os.path.join(FAMILIES, "*", "*.pdb"))), workers=1)
        sensitive = dovelkit.parameters("sensitive")
        hits = dovelkit.search(query, db, params=sensitive, score_cutoff=0.01, workers=1, max_hits=20, details=True)
        reports = {
            "pairwise": dovelkit.pairwise_report(dovelkit.align(query, load("1ycc")),
                                                 sources=(path("1hrc"), path("1ycc"))),
            "multiple": dovelkit.msa_report(dovelkit.msa([load(n) for n in ("1hrc", "1crc", "1ycc", "1co6")]),
                                            sources=[path(n) for n in ("1hrc", "1crc", "1ycc", "1co6")]),
            "search": dovelkit.search_report(query, hits, query_source=path("1hrc")),
        }
    exe = find_chromium()
    if exe is None:
        print("no chromium found", file=sys.stderr)
        return 1
    browser = Chromium(exe, width=1280, height=900)
    pages = tempfile.mkdtemp(prefix="dovel-reports-")
    try:
        for kind, report in reports.items():
            page = os.path.join(pages, f"report_{kind}.html")
            report.write(page)
            first = len(browser.events)
            browser.open("file://" + os.path.abspath(page), READY, timeout=300)
            browser.pump(0.5)
            problems = browser.problems(since=first)
            if problems:
                print(f"{page}: {problems}", file=sys.stderr)
                return 1
            with open(os.path.join(out, f"report_{kind}.png"), "wb") as fh:
                fh.write(browser.screenshot())
            print(os.path.join(out, f"report_{kind}.png"))
    finally:
        browser.close()
        for name in os.listdir(pages):
            os.unlink(os.path.join(pages, name))
        os.rmdir(pages)
    return 0


if __name__ == "__main__":
    sys.exit(main())
