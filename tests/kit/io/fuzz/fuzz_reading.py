"""Coverage-guided fuzzing of the structure readers with atheris (optional; not run by make test).

    python3 -m pip install atheris
    PYTHONPATH=build/torva-py:. python3 tests/kit/fuzz/fuzz_reading.py -max_total_time=300 fuzz-corpus-reading/

Each input is written to a file and read with dovelkit.load_chains; anything but OSError,
ValueError or TypeError escaping (or a crash) is a finding. Seed the corpus with ../shared/data/*.pdb
and ../shared/data/mmcif/* for a quick start.
"""

from __future__ import annotations

import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import dovelkit

_FD, _PATH = tempfile.mkstemp(suffix=".fuzz")
os.close(_FD)


def test_one_input(data: bytes) -> None:
    with open(_PATH, "wb") as fh:
        fh.write(data)
    try:
        domains = dovelkit.load_chains(_PATH)
    except (OSError, ValueError, TypeError):
        return
    for domain in domains:
        assert len(domain) == len(domain.sequence) == domain.coordinates.shape[0] > 0


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    try:
        atheris.Fuzz()
    finally:
        os.unlink(_PATH)


if __name__ == "__main__":
    main()
