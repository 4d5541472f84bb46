import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
# Real entries from public repositories are not part of the project: they lie in ../shared/data
# beside every checkout (DOVEL_TEST_DATA names another place). Tests that need them skip without.
DATA = os.environ.get("DOVEL_TEST_DATA") or os.path.join(os.path.dirname(ROOT), "shared", "data")
# The larger benchmark sets of the same kinds (DOVEL_BENCH_DATA names another place).
BENCH = os.environ.get("DOVEL_BENCH_DATA") or os.path.join(os.path.dirname(ROOT), "shared", "bench")
MISSING_DATA = f"test data not found: the real entries are expected in {DATA} (or set DOVEL_TEST_DATA)"


def data_path(*parts):
    path = os.path.join(DATA, *parts)
    if not os.path.exists(path):
        pytest.skip(f"{MISSING_DATA}; missing {os.path.join(*parts)}", allow_module_level=True)
    return path


def pytest_collection_modifyitems(config, items):
    """Without the data folder, skip every test of a module that reads from it."""
    if os.path.isdir(DATA):
        return
    skip = pytest.mark.skip(reason=MISSING_DATA)
    for item in items:
        module = getattr(item, "module", None)
        if module is not None and any(n in vars(module) for n in ("DATA", "data_path", "load_entry")):
            item.add_marker(skip)


def load_entry(relative, chain=None):
    """A bundled entry read by the library: load_entry("families/cytochrome_c/1hrc.pdb", chain=None)."""
    import dovel

    return dovel.Domain.from_pdb(data_path(relative), chain)


def read_ca(path, chain=None):
    """C-alpha coordinates of one chain (first model), read independently of the library."""
    coords = []
    seen_chain = chain
    last_key = None
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            line = line.rstrip("\r\n")
            if line.startswith("ENDMDL"):
                break
            if not line.startswith("ATOM  ") or line[12:16].strip() != "CA":
                continue
            if line[16] not in " A1LO":
                continue
            ch = line[21]
            if seen_chain is None:
                seen_chain = ch
            if ch != seen_chain:
                continue
            key = line[22:27]
            if key == last_key:
                continue
            last_key = key
            coords.append([float(line[30:38]), float(line[38:46]), float(line[46:54])])
    return np.array(coords, dtype=np.float64)


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q @ np.diag(np.sign(np.diag(r)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


def moved_copy(domain, rng, new_id=None, shift=(40.0, -25.0, 60.0)):
    """A copy of `domain` turned at random and moved far away (renamed when `new_id` is given), and the
    motion that put it there."""
    import dovel

    motion = dovel.Transform.from_matrix(random_rotation(rng), np.asarray(shift, dtype=np.float64))
    copy = domain.copy()
    if new_id is not None:
        copy.id = new_id
    copy.coordinates = motion.apply(domain.coordinates)
    return copy, motion


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


@pytest.fixture(scope="session")
def load():
    """load(relative, chain=None): a bundled entry (see load_entry)."""
    return load_entry


@pytest.fixture
def moved(rng):
    """moved(domain, new_id=None, shift=...): (copy, motion) as moved_copy makes them, with this test's rng."""
    return lambda domain, new_id=None, shift=(40.0, -25.0, 60.0): moved_copy(domain, rng, new_id, shift)


def interrupt_child(code, delay=0.5, timeout=120):
    """Runs `code` in a child interpreter that imports this build's dovel, sends it
    SIGINT `delay` seconds after it prints "ready", and returns its stdout lines."""
    import dovel

    env = dict(os.environ)
    module_dir = os.path.dirname(dovel.__file__)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, os.path.dirname(__file__), env.get("PYTHONPATH", "")])
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    return out.splitlines()


def random_chain(n, seed):
    """A random walk of n C-alpha steps of 3.8 A."""
    steps = np.random.default_rng(seed).normal(size=(n, 3))
    steps *= 3.8 / np.linalg.norm(steps, axis=1)[:, None]
    return np.cumsum(steps, axis=0)


def kit_env(**extra):
    """The environment of a child process that imports this checkout's dovelkit and this build's dovel."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    env.update(extra)
    return env


def dovel_cmd(*args, cwd=None, env=None, timeout=300):
    """Runs the ``dovel`` command (as ``python -m dovelkit``) in a separate process, as a user does."""
    return subprocess.run([sys.executable, "-m", "dovelkit", *map(str, args)], capture_output=True, text=True,
                          env=env or kit_env(), cwd=cwd, timeout=timeout)


def one_line_error(result):
    """The one line a failed command printed; it must have exited 1 without a traceback."""
    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr, result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    return lines[0]
