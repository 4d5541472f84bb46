"""Timings of the Domain class and pairwise_align as seen from Python.

Run after a build:  PYTHONPATH=build/torva-py python3 benchmarks/bench_python_surface.py
The "binding only" rows align two-residue domains, which the engine returns at
once, so they show the cost of argument binding, borrows and result wrapping.
"""
import os
import timeit

import numpy as np

import dovel

DATA = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")


def report(label, fn, number):
    best = min(timeit.repeat(fn, number=number, repeat=5)) / number
    print(f"{label:<48s} {best * 1e6:12.2f} us")


def main():
    big_path = os.path.join(DATA, "1o1z.pdb")
    big = dovel.Domain.from_pdb(big_path)
    coords = big.coordinates
    many = np.random.default_rng(1).normal(size=(100_000, 3))
    huge = dovel.Domain.from_arrays("huge", many, "A" * len(many))
    d1 = dovel.Domain.from_pdb(os.path.join(DATA, "families", "cytochrome_c", "1hrc.pdb"))
    d2 = dovel.Domain.from_pdb(os.path.join(DATA, "families", "cytochrome_c", "1ycc.pdb"))
    t, _ = dovel.superpose(d1.coordinates[:102], d2.coordinates[5:107])
    d2_framed = d2.copy()
    d2_framed.coordinates = t.apply(d2.coordinates)
    tiny = dovel.Domain.from_arrays("t", np.zeros((2, 3)), "AA")
    params = dovel.Parameters()

    report("Domain.from_pdb 1o1z (226 residues)", lambda: dovel.Domain.from_pdb(big_path), 200)
    report("Domain.coordinates get, 226 residues", lambda: big.coordinates, 20000)
    report("Domain.coordinates set, 226 residues", lambda: setattr(big, "coordinates", coords), 20000)
    report("Domain.coordinates get, 100000 residues", lambda: huge.coordinates, 50)
    report("Domain.copy, 100000 residues", lambda: huge.copy(), 50)
    report("Domain.sequence, 100000 residues", lambda: huge.sequence, 50)
    report("pairwise_align binding only", lambda: dovel.pairwise_align(tiny, tiny), 50000)
    report("pairwise_align binding only, params + keywords",
           lambda: dovel.pairwise_align(domain1=tiny, domain2=tiny, params=params, scan_mode=False), 50000)
    report("pairwise_align direct, cytochrome c pair", lambda: dovel.pairwise_align(d1, d2_framed), 200)
    report("pairwise_align scan, cytochrome c pair", lambda: dovel.pairwise_align(d1, d2, scan_mode=True), 20)
    r = dovel.pairwise_align(d1, d2_framed)
    report("AlignmentResult.aligned_pairs (~100 pairs)", lambda: r.aligned_pairs, 20000)


if __name__ == "__main__":
    main()
