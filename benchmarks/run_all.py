#!/usr/bin/env python3
"""Runs every benchmark: the core executables built from bench_*.cpp, then the
Python scripts bench_*.py (which need the built module on PYTHONPATH).

    PYTHONPATH=build/torva-py python3 benchmarks/run_all.py [BUILD_DIR]

`make bench` builds first and sets the path. A benchmark that fails is
reported and the others still run; the exit status is non-zero if any failed.
"""
import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    commands = []
    for src in sorted(glob.glob(os.path.join(HERE, "bench_*.cpp"))):
        exe = os.path.join(build, "benchmarks", os.path.splitext(os.path.basename(src))[0])
        if not os.path.exists(exe):
            print(f"skipped {os.path.basename(exe)}: not built (configure with -DTORVA_BUILD_BENCHMARKS=ON)")
            continue
        commands.append([exe])
    for script in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        commands.append([sys.executable, script])

    failed = []
    for cmd in commands:
        name = os.path.basename(cmd[-1])
        print(f"\n=== {name}", flush=True)
        if subprocess.call(cmd, cwd=ROOT) != 0:
            failed.append(name)
    if failed:
        print("\nfailed: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
