#!/usr/bin/env python3
"""Make the report screenshots under docs/ from the families of ../shared/data.

    PYTHONPATH=build/torva-py:. python3 tools/report_screenshots.py [OUT_DIR]

Writes report_pairwise.png (1ycc on 1hrc), report_multiple.png (four cytochromes c) and
report_search.png (1hrc searched against every bundled family chain, as a database, with the
sensitive preset, hits scoring above 0), each the
whole page as headless Chromium draws it offline.
"""

from __future__ import annotations

import glob
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "kit"))

import dovelkit  # noqa: E402
from chromium import Chromium, find_chromium  # noqa: E402

FAMILIES = os.path.join(os.path.dirname(ROOT), "shared", "data", "families")
READY = "window.dovelFigures !== undefined && window.dovelDrawn === window.dovelFigures"


def load(name: str) -> "dovelkit.dovel.Domain":
    pdb = os.path.join(FAMILIES, "cytochrome_c", f"{name}.pdb")
    return dovelkit.load(pdb, dssp=pdb[:-4] + ".dssp")


def main() -> int:
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs")
    os.makedirs(out, exist_ok=True)
    query = load("1hrc")
    with tempfile.TemporaryDirectory() as tmp:
        db = dovelkit.Database.create(os.path.join(tmp, "families.parquet"),
                                      sorted(glob.glob(os.path.join(FAMILIES, "*", "*.pdb"))), workers=1)
        sensitive = dovelkit.parameters("sensitive")
        hits = dovelkit.search(query, db, params=sensitive, score_cutoff=0.01, workers=1, max_hits=20, details=True)
        reports = {
            "pairwise": dovelkit.pairwise_report(dovelkit.align(query, load("1ycc"))),
            "multiple": dovelkit.msa_report(dovelkit.msa([load(n) for n in ("1hrc", "1crc", "1ycc", "1co6")])),
            "search": dovelkit.search_report(query, hits),
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
            browser.open("file://" + os.path.abspath(page), READY, timeout=60)
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
