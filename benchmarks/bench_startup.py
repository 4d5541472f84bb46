#!/usr/bin/env python3
"""Start-up: one `dovel align` of two small PDB files, timed as a whole process, beside the TMalign
program (Debian's tm-align) on the same pair, and beside a bare interpreter (`python3 -c pass`)
for what any Python command costs on this machine before it does anything.

The commands run in turn, round after round (so a busy machine slows all of them alike); the
table shows the median and the fastest wall time of each. `dovel` is the installed console script
when there is one on PATH (a pyenv shim resolved to the script behind it), otherwise `python3 -m
dovelkit`; either way this checkout's dovelkit comes first on the path. `dovel align` of one pair at
the fold level (the default) needs no NumPy; `--family` goes through the module's domains, which
NumPy builds.

  PYTHONPATH=build/torva-py python3 benchmarks/bench_startup.py [--runs 15] [--compare DIR]

--compare DIR adds `python3 -m dovelkit` run from another checkout's root (with its own dovelkit/),
e.g. a copy of an earlier commit, to see what a change did.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAIR = [os.path.join(ROOT, "..", "shared", "data", "families", "cytochrome_c", n) for n in ("1hrc.pdb", "1ycc.pdb")]


def env_with(root: str) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def wall(cmd: list[str], env: dict[str, str] | None) -> float:
    # run from the root the environment names: `python3 -m` looks in the working directory first
    cwd = env["PYTHONPATH"].split(os.pathsep)[0] if env else ROOT
    t = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=cwd, check=True)
    return time.perf_counter() - t


def console_script() -> str | None:
    """The installed `dovel` script; a pyenv shim (a shell script that looks for the interpreter
    on every call) is resolved to the script it runs, as a virtual environment would have it."""
    script = shutil.which("dovel")
    if script and os.sep + "shims" + os.sep in script and shutil.which("pyenv"):
        found = subprocess.run(["pyenv", "which", "dovel"], capture_output=True, text=True)
        script = found.stdout.strip() if found.returncode == 0 and found.stdout.strip() else None
    return script


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=15)
    ap.add_argument("--compare", metavar="DIR", help="another checkout's root, run as python3 -m dovelkit")
    args = ap.parse_args()

    script = console_script()
    dovel_cmd = [script] if script else [sys.executable, "-m", "dovelkit"]
    how = "console script" if script else "python3 -m dovelkit"
    commands: list[tuple[str, list[str], dict[str, str] | None]] = [
        ("python3 -c pass (bare interpreter)", [sys.executable, "-c", "pass"], None),
        (f"dovel align ({how})", dovel_cmd + ["align", *PAIR], env_with(ROOT)),
        (f"dovel align --family ({how})", dovel_cmd + ["align", "--family", *PAIR], env_with(ROOT)),
    ]
    if args.compare:
        commands.append((f"dovel align from {args.compare}", [sys.executable, "-m", "dovelkit", "align", *PAIR],
                         env_with(os.path.abspath(args.compare))))
    tmalign = shutil.which("TMalign")
    if tmalign:
        commands.append(("TMalign", [tmalign, *PAIR], None))
    else:
        print("TMalign not found (Debian package tm-align): shown without it")

    for _, cmd, env in commands:  # warm the file cache, check that each runs
        wall(cmd, env)
    times: list[list[float]] = [[] for _ in commands]
    for _ in range(args.runs):
        for k, (_, cmd, env) in enumerate(commands):
            times[k].append(wall(cmd, env))

    print(f"whole processes on 1hrc.pdb and 1ycc.pdb (104 and 108 residues), {args.runs} rounds")
    print(f"{'command':<48} {'median s':>9} {'fastest s':>10}")
    for (name, _, _), ts in zip(commands, times):
        print(f"{name:<48} {statistics.median(ts):9.3f} {min(ts):10.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
