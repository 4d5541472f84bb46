"""The distribution: `python -m build` makes an sdist and a wheel, each installs into a fresh virtual
environment (dependencies and build requirements from PyPI), and there the command runs and two
bundled entries align.

Compiles the extension twice (the wheel from the sdist, then the sdist install); the environments
are prepared while the first build runs. About two to three minutes in all. DOVEL_SKIP_PACKAGING=1 skips it.
"""

from __future__ import annotations

import concurrent.futures
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import venv
import zipfile

import pytest

import conftest

ROOT = pathlib.Path(conftest.ROOT)
DATA = ROOT / "examples" / "data"

pytestmark = pytest.mark.skipif(
    os.environ.get("DOVEL_SKIP_PACKAGING", "") not in ("", "0"), reason="DOVEL_SKIP_PACKAGING is set"
)

ALIGN = textwrap.dedent(
    f"""
    import dovel, dovelkit
    a = dovelkit.load({str(DATA / "5eep.pdb.gz")!r})
    b = dovelkit.load({str(DATA / "1ni7.pdb.gz")!r})
    r = dovel.pairwise_align(a, b, scan_mode=True)
    assert (a.id, b.id, len(a), len(b)) == ("5eep_A", "1ni7_A", 140, 149), (a, b)
    assert r.rmsd < 2.0 and r.n_aligned >= 60, r
    print(dovel.__file__)
    """
)

# Type-checked against the installed stub, from outside the source tree.
TYPED = textwrap.dedent(
    """
    import dovel
    d: dovel.Domain = dovel.Domain.from_arrays("x", dovel.Transform().rotation, "ACD")
    rmsd: float = dovel.pairwise_align(d, d).rmsd
    hits: list[dovel.ScanHit] = dovel.scan_database(d, [d])
    """
)


def _clean_env() -> dict[str, str]:
    """The environment without anything pointing at the source tree or the system's packages."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "MYPYPATH")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def _run(cmd: list[str], cwd: pathlib.Path, timeout: float = 600) -> tuple[str, str]:
    """Runs `cmd`, which must succeed, and returns its standard output and error."""
    proc = subprocess.run(cmd, cwd=cwd, env=_clean_env(), capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"{cmd} failed ({proc.returncode}):\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout, proc.stderr


def _python(env_dir: pathlib.Path) -> pathlib.Path:
    return env_dir / "bin" / "python"


@pytest.fixture(scope="module")
def installed(tmp_path_factory: pytest.TempPathFactory) -> dict[str, pathlib.Path]:
    """Builds the sdist and the wheel and installs each into its own fresh virtual environment.

    The environments are made, with the runtime dependencies, while the build runs; installing the
    distribution then checks that they satisfy its metadata (and for the sdist, builds it in pip's
    isolated environment with the build requirements from PyPI).
    """
    root = tmp_path_factory.mktemp("packaging")
    out = root / "dist"
    deps = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["dependencies"]

    def make_env(kind: str) -> pathlib.Path:
        env_dir = root / f"venv-{kind}"
        venv.create(env_dir, with_pip=True, clear=True)
        _run([str(_python(env_dir)), "-m", "pip", "install", "-q", *deps], cwd=root, timeout=900)
        return env_dir

    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        build = pool.submit(_run, [sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)], root)
        envs = {kind: pool.submit(make_env, kind) for kind in ("wheel", "sdist")}
        build.result()
        found = {"sdist": list(out.glob("dovel-*.tar.gz")), "wheel": list(out.glob("dovel-*.whl"))}
        assert all(len(v) == 1 for v in found.values()), found
        pip = {k: [str(_python(envs[k].result())), "-m", "pip", "install"] for k in found}
        wheel_job = pool.submit(_run, [*pip["wheel"], "-q", str(found["wheel"][0])], root, 900)
        # The sdist is built as on a machine without Debian's Eigen: CMake must take the one of the
        # cmeel-eigen build requirement (the configure step names where Eigen came from).
        no_apt_eigen = "--config-settings=cmake.define.CMAKE_IGNORE_PATH=/usr/share/eigen3/cmake"
        sdist_log = "".join(_run([*pip["sdist"], "-v", no_apt_eigen, str(found["sdist"][0])], root, 900))
        wheel_job.result()
    assert re.search(r"Eigen 3\.4\S* from \S*cmeel\.prefix", sdist_log), sdist_log[-3000:]
    return {"sdist": found["sdist"][0], "wheel": found["wheel"][0],
            "sdist-env": envs["sdist"].result(), "wheel-env": envs["wheel"].result()}


def test_sdist_and_wheel_contents(installed: dict[str, pathlib.Path]) -> None:
    with tarfile.open(installed["sdist"]) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {
        "pyproject.toml", "CMakeLists.txt", "README.md", "torva-core/CMakeLists.txt", "torva-py/CMakeLists.txt",
        "torva-py/dovel.pyi", "dovelkit/__init__.py", "dovelkit/io/reading.py", "dovelkit/cli/__init__.py", "dovelkit/py.typed",
    }
    assert needed <= names, needed - names
    for folder, suffix in (("torva-core/src/", ".cpp"), ("torva-core/include/", ".h"), ("torva-py/src/", ".cpp")):
        sources = {p.name for p in (ROOT / folder).rglob(f"*{suffix}*")}
        assert sources and {n.rsplit("/", 1)[-1] for n in names if n.startswith(folder)} >= sources, folder
    assert not any(n.startswith(("build/", "build-")) for n in names)

    with zipfile.ZipFile(installed["wheel"]) as whl:
        files = set(whl.namelist())
        stub = whl.read("dovel.pyi")
    assert any(f.startswith("dovel.") and f.endswith((".so", ".pyd")) for f in files)
    assert {"dovel.pyi", "dovel-stubs/__init__.pyi", "dovelkit/py.typed", "dovelkit/io/reading.py", "dovelkit/_core.pyi"} <= files
    assert stub == (ROOT / "torva-py" / "dovel.pyi").read_bytes()


@pytest.mark.parametrize("kind", ["wheel", "sdist"])
def test_installed_in_fresh_venv(kind: str, installed: dict[str, pathlib.Path], tmp_path: pathlib.Path) -> None:
    env_dir = installed[f"{kind}-env"]
    python = _python(env_dir)
    help_text = _run([str(env_dir / "bin" / "dovel"), "--help"], cwd=tmp_path)[0]
    assert help_text.startswith("usage: dovel")
    module_path = _run([str(python), "-c", ALIGN], cwd=tmp_path)[0].strip()
    assert module_path.startswith(str(env_dir)), module_path

    # The installed stub is what a type checker sees: the good uses pass, the wrong one is caught.
    typed = tmp_path / "typed.py"
    typed.write_text(TYPED + "wrong: str = dovel.Domain('x').coordinates\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", f"--python-executable={python}", typed.name],
        cwd=tmp_path, env=_clean_env(), capture_output=True, text=True, timeout=600,
    )
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "Incompatible types in assignment" in errors[0], proc.stdout + proc.stderr
    assert errors[0].startswith(f"{typed.name}:{TYPED.count(chr(10)) + 1}:"), errors
