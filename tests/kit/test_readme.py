"""The examples of the README and of docs/ run as written from the repository root: every Python,
sh and console block of a page, in order, in one scratch directory that sees the repository's
examples/ (so what the examples write lands there, not in the checkout)."""

import glob
import os
import re
import shlex
import subprocess
import sys

import pytest

from conftest import ROOT, kit_env

FENCE = re.compile(r"^( *)```(\w+)\n(.*?)^\1```", re.M | re.S)
NOT_RUN = "<!-- not run:"
PAGES = ["README.md"] + sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))


def examples(page):
    """(language, code) of every fenced block of a page, and how many were marked as not runnable here."""
    with open(os.path.join(ROOT, page), encoding="utf-8") as fh:
        text = fh.read()
    blocks, skipped = [], 0
    for m in FENCE.finditer(text):
        lang, body = m.group(2), m.group(3)
        before = text[:m.start()].rstrip().splitlines()[-1:] or [""]
        if before[0].strip().startswith(NOT_RUN):
            skipped += 1
            continue
        indent = len(m.group(1))
        lines = [line[indent:] for line in body.splitlines()]
        if lang == "console":
            lines = [line[2:] for line in lines if line.startswith("$ ")]
        elif lang not in ("python", "sh"):
            continue
        blocks.append((lang, "\n".join(lines) + "\n"))
    return blocks, skipped


def run_page(page, cwd):
    if not os.path.exists(os.path.join(ROOT, "examples", "data", "1sp1.pdb")):
        pytest.skip("examples/data lacks the zinc fingers of Debian's mustang package: run tools/install-deps.sh")
    blocks, _ = examples(page)
    os.symlink(os.path.join(ROOT, "examples"), cwd / "examples")
    env = kit_env()
    dovel = f"dovel() {{ {shlex.quote(sys.executable)} -m dovelkit \"$@\"; }}\n"
    for lang, code in blocks:
        if lang == "python":
            cmd = [sys.executable, "-c", code]
        else:
            cmd = ["bash", "-c", "set -e -o pipefail\n" + dovel + code]
        r = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
        assert r.returncode == 0, f"{page}:\n{code}\n--- exit {r.returncode}:\n{r.stderr[-3000:]}"
    return blocks


def test_readme_shows_each_layer_and_its_examples_run(tmp_path):
    blocks = run_page("README.md", tmp_path)
    code = "".join(c for _, c in blocks)
    assert "import dovel\n" in code and "import dovelkit" in code and "dovel search" in code
    for name in ("1ni7_on_5eep.pdb", "1ni7_on_5eep.cif.gz", "aligned", "fingers.fasta",
                 "structures.parquet", "hits.tsv", "hits.html"):
        assert (tmp_path / name).exists(), name


@pytest.mark.parametrize("page", [p for p in PAGES if p != "README.md"])
def test_docs_examples_run(page, tmp_path):
    run_page(page, tmp_path)


def test_only_examples_that_need_machines_are_not_run():
    for page in PAGES:
        _, skipped = examples(page)
        assert skipped == 0 or page == os.path.join("docs", "cluster.md"), page
