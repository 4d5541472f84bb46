"""Coordinates no structure has reach the core's searches only through the API (the readers
refuse them): they must give a result in bounded time at both levels, never a crash or a hang;
the readers' one coordinate range comes from the core."""

import time

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit import _core


def _chain(n, seed):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(n, 3))
    steps = 3.8 * steps / np.linalg.norm(steps, axis=1)[:, None]
    return np.cumsum(steps, axis=0)


@pytest.mark.parametrize("spoil", ["outlier 1e308", "outlier 1e8", "all near 1e300", "all in one point"])
def test_align_finishes_on_hostile_coordinates(spoil):
    a, b = _chain(250, 1), _chain(240, 2)
    if spoil == "outlier 1e308":
        a[10, 0] = 1e308
    elif spoil == "outlier 1e8":
        a[10, 0] = 1e8
    elif spoil == "all near 1e300":
        a = 1e300 + a * 1e290
    else:
        a[:] = 7.0
    fixed = dovel.Domain.from_arrays("a", a, "A" * len(a))
    mobile = dovel.Domain.from_arrays("b", b, "A" * len(b))
    start = time.monotonic()
    for level in ("fold", "family"):
        r = dovelkit.align(fixed, mobile, mode=level)
        assert 0.0 <= r.tm_fixed <= 1.0 and 0.0 <= r.tm_mobile <= 1.0, (level, r)
    assert time.monotonic() - start < 30


def test_readers_share_the_cores_coordinate_range():
    assert _core.MAX_COORDINATE == 1e5
    assert _core.coordinate_in_range(-99999.999) and _core.coordinate_in_range(0.0)
    for v in (100000.0, -1e5, 1e308, float("inf"), float("nan")):
        assert not _core.coordinate_in_range(v), v
