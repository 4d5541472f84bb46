"""The README's examples run as written from the repository root: every Python, sh and console
block, in the order of the README, in one scratch directory that sees the repository's tests/data
at tests/data (so what the examples write lands there, not in the checkout)."""

import os
import re
import shlex
import subprocess
import sys

from conftest import ROOT, kit_env

FENCE = re.compile(r"^( *)```(\w+)\n(.*?)^\1```", re.M | re.S)
NOT_RUN = "<!-- not run:"


def examples():
    """(language, code) of every fenced block, and how many were marked as not runnable here."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as fh:
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


def test_readme_examples_run(tmp_path):
    blocks, skipped = examples()
    assert skipped <= 3  # only the cluster examples, which need machines
    assert [lang for lang, _ in blocks].count("python") >= 4 and len(blocks) >= 7
    shell_commands = sum(code.count("dovel ") for lang, code in blocks if lang != "python")
    assert shell_commands >= 6
    os.symlink(os.path.join(ROOT, "tests"), tmp_path / "tests")
    env = kit_env()
    dovel = f"dovel() {{ {shlex.quote(sys.executable)} -m dovelkit \"$@\"; }}\n"
    for lang, code in blocks:
        if lang == "python":
            cmd = [sys.executable, "-c", code]
        else:
            cmd = ["bash", "-c", "set -e -o pipefail\n" + dovel + code]
        r = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
        assert r.returncode == 0, f"{code}\n--- exit {r.returncode}:\n{r.stderr[-3000:]}"
    # what the examples promise to write is there
    for name in ("1ycc_on_1hrc.pdb", "1ycc_on_1hrc.cif.gz", "aligned", "family.fasta", "pairs.json",
                 "structures.parquet", "hits.tsv", "1ycc_on_1hrc.html"):
        assert (tmp_path / name).exists(), name
