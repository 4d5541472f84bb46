"""Type information: the dovel.pyi stub matches the module it describes, and the examples and the
whole dovelkit package (which ships py.typed) pass `mypy --strict` against it."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import conftest

ROOT = pathlib.Path(conftest.ROOT)
STUB_DIR = ROOT / "torva-py"
# Checked with the [tool.mypy] settings of pyproject.toml (read from ROOT, the working directory).
STRICT_PATHS = ["examples", "dovelkit"]

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
        str(STUB_DIR / "dovel.pyi"), *STRICT_PATHS,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # Nothing left out: the stub and every module of the package and the examples were checked.
    files = 1 + sum(len(list((ROOT / p).rglob(pattern))) for p in STRICT_PATHS for pattern in ("*.py", "*.pyi"))
    assert re.search(rf"no issues found in {files} source files", proc.stdout), proc.stdout


def test_mypy_settings_relax_only_untyped_libraries() -> None:
    # Per-module settings may excuse third-party libraries without type information, never this
    # project's own code, and never by switching errors off.
    config = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["tool"]["mypy"]
    assert not {"ignore_errors", "ignore_missing_imports", "follow_imports", "exclude"} & config.keys()
    for override in config.get("overrides", []):
        modules = override["module"] if isinstance(override["module"], list) else [override["module"]]
        assert not [m for m in modules if m.split(".")[0] in ("dovel", "dovelkit", "examples")], override
        assert set(override) <= {"module", "ignore_missing_imports"}, override


def test_core_stub_is_the_generated_one() -> None:
    # The stub of dovelkit._core that mypy reads is generated from the built extension: it lies
    # beside the extension, generating it again gives the same text, and it declares every public
    # name of the extension.
    stubgen = pytest.importorskip("nanobind.stubgen")
    import ast
    import tempfile

    from dovelkit import _core

    stub = pathlib.Path(_core.__file__).with_name("_core.pyi")
    assert stub.is_file(), f"no generated stub beside {_core.__file__}"
    with tempfile.TemporaryDirectory() as tmp:
        fresh = pathlib.Path(tmp) / "_core.pyi"
        proc = subprocess.run([sys.executable, "-m", stubgen.__name__, "-q", "-m", "dovelkit._core", "-o", str(fresh)],
                              cwd=ROOT, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert fresh.read_text(encoding="utf-8") == stub.read_text(encoding="utf-8")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets if isinstance(t, ast.Name)}
    declared |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}
    public = {name for name in dir(_core) if not name.startswith("_")}
    assert public <= declared, sorted(public - declared)
