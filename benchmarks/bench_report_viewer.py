"""The structure viewer in reports: page size, and time to the viewer's first frame in headless Chromium.

For a pair of cytochromes c (with their hemes) and a multiple alignment of four, it writes the
report pages and opens each in headless Chromium (software WebGL, networking cut off) ``--runs``
times, each in a fresh browser, and prints: the page size, the viewer's share of it (Mol* with its
style, and the scenes), the milliseconds from navigation to the viewer's first frame (median and
range, with the stages: script parsed, viewer created, scene loaded, first frame drawn) and the
CPU seconds the browser's processes spent. The load average is printed too: on a busy machine the
times are not the viewer's.

    PYTHONPATH=build/torva-py:. python3 benchmarks/bench_report_viewer.py [--runs 3] [--out DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, "tests", "kit", "report"), os.path.join(ROOT, "tests", "kit")]  # chromium.py

DATA = os.environ.get("DOVEL_TEST_DATA") or os.path.join(os.path.dirname(ROOT), "shared", "data")
FAMILY = os.path.join(DATA, "families", "cytochrome_c")

READY = ("window.dovelViewers !== undefined && (window.dovelViewersReady === window.dovelViewers"
         " || window.dovelViewerErrors.length > 0)")


def cpu_seconds(pid: int) -> float:
    """CPU seconds of a process and all its descendants, living ones (from /proc)."""
    tick = os.sysconf("SC_CLK_TCK")
    children: dict[int, list[int]] = {}
    stats: dict[int, float] = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as fh:
                fields = fh.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(name))
        stats[int(name)] = (int(fields[11]) + int(fields[12])) / tick
    total, todo = 0.0, [pid]
    while todo:
        p = todo.pop()
        total += stats.get(p, 0.0)
        todo += children.get(p, [])
    return total


def pages(out: str) -> dict[str, str]:
    import dovelkit

    a_path, b_path = os.path.join(FAMILY, "1hrc.pdb"), os.path.join(FAMILY, "1ycc.pdb")
    a, b = dovelkit.load(a_path), dovelkit.load(b_path)
    paths = {}
    t0 = time.perf_counter()
    report = dovelkit.pairwise_report(dovelkit.align(a, b, level="fold"), sources=(a_path, b_path))
    paths["pairwise"] = os.path.join(out, "pairwise.html")
    report.write(paths["pairwise"])
    print(f"pairwise report built and written in {time.perf_counter() - t0:.2f} s")
    names = ("1hrc", "1crc", "1ycc", "1co6")
    files = [os.path.join(FAMILY, f"{n}.pdb") for n in names]
    m = dovelkit.msa([dovelkit.load(f) for f in files])
    t0 = time.perf_counter()
    dovelkit.msa_report(m, sources=files).write(os.path.join(out, "multiple.html"))
    paths["multiple"] = os.path.join(out, "multiple.html")
    print(f"multiple report built and written in {time.perf_counter() - t0:.2f} s")
    return paths


def measure(path: str, runs: int) -> dict[str, object]:
    from chromium import Chromium, find_chromium

    from dovelkit.report import viewer

    exe = find_chromium()
    if exe is None:
        raise SystemExit("no chromium found (tools/install-deps.sh installs it)")
    html = open(path, encoding="utf-8").read()
    head = len(viewer.viewer_head().encode())
    scenes = sum(len(part.split('"', 1)[0]) for part in html.split('data-scene="')[1:])
    drawn, cpu, stages = [], [], []
    for _ in range(runs):
        browser = Chromium(exe, width=1280, height=900)
        try:
            before = cpu_seconds(browser._proc.pid)
            browser.open("file://" + path, READY, timeout=180)
            times = json.loads(browser.evaluate("JSON.stringify([window.dovelViewerTimes, window.dovelViewerErrors])"))
            cpu.append(cpu_seconds(browser._proc.pid) - before)
            if times[1]:
                raise SystemExit(f"{path}: the viewer failed: {times[1]}")
            first = times[0][0]
            stages.append(first)
            drawn.append(first["drawn"])
        finally:
            browser.close()
    return {
        "bytes": os.path.getsize(path), "viewer_script_bytes": head, "scene_bytes": scenes,
        "first_frame_ms": {"median": statistics.median(drawn), "min": min(drawn), "max": max(drawn)},
        "stages_ms_first_run": stages[0], "browser_cpu_s": [round(c, 2) for c in cpu],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default=None, help="keep the pages in this folder")
    args = parser.parse_args()
    if not os.path.isdir(FAMILY):
        raise SystemExit(f"no structures at {FAMILY} (set DOVEL_TEST_DATA)")
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as tmp:
        out = args.out or tmp
        os.makedirs(out, exist_ok=True)
        results = {kind: measure(path, args.runs) for kind, path in pages(out).items()}
    print(json.dumps(results, indent=1))
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
