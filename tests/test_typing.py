"""Type information: the dovel.pyi stub matches the module it describes, and the examples and the
dovelkit modules pass `mypy --strict` against it."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB_DIR = ROOT / "torva-py"
# dovelkit modules held to --strict here; errors in the modules they import are not reported.
STRICT_MODULES = ["dovelkit/__init__.py", "dovelkit/__main__.py", "dovelkit/cli.py", "dovelkit/reading.py"]

pytest.importorskip("mypy")


def _mypy(*args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=600
    )


def test_stub_matches_the_module() -> None:
    # stubtest imports the module found on the path (the build under test) and compares every
    # name, class member and signature with the stub.
    proc = _mypy("mypy.stubtest", "--mypy-config-file", os.devnull, "dovel")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_and_dovelkit_pass_mypy_strict() -> None:
    cache = ROOT / "build" / "mypy-cache"
    proc = _mypy(
        "mypy", "--strict", "--follow-imports=silent", f"--cache-dir={cache}",
        str(STUB_DIR / "dovel.pyi"), "examples", *STRICT_MODULES,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
