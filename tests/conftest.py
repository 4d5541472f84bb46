import os

import numpy as np
import pytest

DATA = os.path.join(os.path.dirname(__file__), "data")


def data_path(*parts):
    return os.path.join(DATA, *parts)


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


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
