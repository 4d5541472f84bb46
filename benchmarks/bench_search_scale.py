"""Database creation and search at scale: 10^5 chains, one and two worker processes, and a Dask
LocalCluster of two worker processes side by side.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_search_scale.py [--entries 100000]
        [--small 10000] [--work DIR] [--query ../shared/data/1ubq.pdb] [--skip-large-search]

The targets are the bundled chains, each copy in a random frame with 0.05 A coordinate noise and
0 to 4 residues trimmed from each end, so no two targets are identical; they are written as
gzip-compressed PDB files of 50 chains each (cached in --work, default /tmp/dovel-bench-search).

Figures:
- creation: seconds and entries per second of `Database.create` on every core, bytes per entry;
- search throughput (scan mode, default parameters) over the small database with workers=1,
  workers=2 and a LocalCluster(n_workers=2, processes=True, threads_per_worker=1);
- peak resident memory of each worker process (workers=2) searching the small and the large
  database in quick mode (the slices read are the same as in scan mode; quick mode keeps the
  10^5-target run short).
Every configuration must return the same hits; the script checks it.
"""

from __future__ import annotations

import argparse
import glob
import gzip
import json
import os
import sys
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import dovelkit  # noqa: E402
from dovelkit.db.store import Database  # noqa: E402

DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")
CHAINS_PER_FILE = 50
CHAIN_IDS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"
THREE = {
    "A": "ALA", "R": "ARG", "N": "ASN", "D": "ASP", "C": "CYS", "Q": "GLN", "E": "GLU", "G": "GLY", "H": "HIS",
    "I": "ILE", "L": "LEU", "K": "LYS", "M": "MET", "F": "PHE", "P": "PRO", "S": "SER", "T": "THR", "W": "TRP",
    "Y": "TYR", "V": "VAL",
}


def bundled():
    paths = sorted(glob.glob(os.path.join(DATA, "*.pdb")) + glob.glob(os.path.join(DATA, "families", "*", "*.pdb")))
    out = []
    for p in paths:
        out.extend(dovelkit.load_chains(p))
    return out


def rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q @ np.diag(np.sign(np.diag(r)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


def make_files(directory: str, entries: int, seed: int = 2026) -> list[str]:
    """gzip PDB files holding `entries` chains, 50 per file (reused when already there)."""
    n_files = (entries + CHAINS_PER_FILE - 1) // CHAINS_PER_FILE
    files = [os.path.join(directory, f"m{k:06d}.pdb.gz") for k in range(n_files)]
    done = os.path.join(directory, f".complete-{entries}-{seed}")
    if os.path.exists(done):
        return files
    os.makedirs(directory, exist_ok=True)
    source = bundled()
    rng = np.random.default_rng(seed)
    t0 = time.perf_counter()
    left = entries
    for k, path in enumerate(files):
        lines = []
        serial = 1
        for c in range(min(CHAINS_PER_FILE, left)):
            d = source[int(rng.integers(len(source)))]
            xyz = d.coordinates @ rotation(rng).T + rng.normal(scale=30.0, size=3)
            xyz += rng.normal(scale=0.05, size=xyz.shape)
            lo, hi = int(rng.integers(0, 5)), len(d) - int(rng.integers(0, 5))
            chain = CHAIN_IDS[c]
            for r in range(lo, hi):
                x, y, z = xyz[r]
                name = THREE.get(d.sequence[r], "UNK")
                lines.append(f"ATOM  {serial % 100000:5d}  CA  {name} {chain}{r - lo + 1:4d}    "
                             f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00           C  \n")
                serial += 1
            lines.append("TER\n")
        left -= CHAINS_PER_FILE
        lines.append("END\n")
        with gzip.open(path, "wt", compresslevel=1) as fh:
            fh.write("".join(lines))
        if k % 200 == 0:
            print(f"  wrote {k + 1}/{n_files} files ({time.perf_counter() - t0:.0f} s)", file=sys.stderr, flush=True)
    open(done, "w").close()
    return files


class PeakRSS:
    """Samples the resident memory of every descendant process; keeps each one's peak."""

    def __init__(self, interval: float = 0.1, only: set[int] | None = None, exclude: set[int] = frozenset()) -> None:
        import psutil

        self.only, self.exclude = only, exclude

        self.psutil = psutil
        self.me = psutil.Process()
        self.peaks: dict[int, tuple[str, int]] = {}
        self.cpu: dict[int, list[float]] = {}  # pid -> [first, last] user+system seconds seen
        self.interval = interval
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        while not self.stop.is_set():
            for p in self.me.children(recursive=True):
                try:
                    rss = p.memory_info().rss
                    cmd = " ".join(p.cmdline())
                    if p.ppid() != self.me.pid:  # forked by a helper (the pool's fork server)
                        cmd += " [forked]"
                    t = p.cpu_times()
                except self.psutil.Error:
                    continue
                used = t.user + t.system
                self.cpu.setdefault(p.pid, [used, used])[1] = used
                name, old = self.peaks.get(p.pid, (cmd, 0))
                self.peaks[p.pid] = (name, max(old, rss))
            self.stop.wait(self.interval)

    def __enter__(self) -> "PeakRSS":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.thread.join()

    def _mine(self, pid: int) -> bool:
        if self.only is not None:
            return pid in self.only
        return pid not in self.exclude and self._is_worker(self.peaks[pid][0])

    def worker_cpu(self) -> float:
        """CPU seconds the worker processes spent while sampled (first to last sample)."""
        return sum(last - first for pid, (first, last) in self.cpu.items() if self._mine(pid))

    def busiest_worker_cpu(self, since_start: bool) -> float:
        """CPU seconds of the busiest worker: since it started (a pool started for this search,
        imports included) or while sampled (a cluster that was already running)."""
        return max((last if since_start else last - first) for pid, (first, last) in self.cpu.items()
                   if self._mine(pid))

    @staticmethod
    def _is_worker(name: str) -> bool:
        if "resource_tracker" in name:
            return False
        if "forkserver" in name:  # the fork server itself does no scanning; its children do
            return "[forked]" in name
        return "spawn_main" in name or "distributed" in name or "multiprocessing" in name

    def workers(self) -> list[int]:
        """Peaks of the processes that ran the scans (not helpers such as the resource tracker)."""
        return sorted(rss for pid, (name, rss) in self.peaks.items() if rss > 0 and self._mine(pid))


def key(hits):
    return [(h.rank, h.id, h.score.hex(), h.rmsd.hex(), h.n_aligned, h.z_score) for h in hits]


def timed_search(query, db, only=None, exclude=frozenset(), **kwargs):
    with PeakRSS(only=only, exclude=exclude) as mem:
        c0 = time.process_time()
        t0 = time.perf_counter()
        hits = dovelkit.search(query, db, **kwargs)
        seconds = time.perf_counter() - t0
        mem.own_cpu = time.process_time() - c0
    return hits, seconds, mem


def mib(x: int) -> str:
    return f"{x / 2**20:.0f}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--entries", type=int, default=100_000)
    ap.add_argument("--small", type=int, default=10_000)
    ap.add_argument("--work", default="/tmp/dovel-bench-search")
    ap.add_argument("--query", default=os.path.join(DATA, "1ubq.pdb"))
    ap.add_argument("--rounds", type=int, default=2, help="rounds of the three search configurations")
    ap.add_argument("--skip-large-search", action="store_true",
                    help="no search over the large database (no memory figure at that size)")
    args = ap.parse_args()

    load = os.getloadavg()[0]
    print(f"machine: {os.cpu_count()} cores, load average {load:.2f} at start")
    files = make_files(os.path.join(args.work, "files"), args.entries)
    small_files = files[: (args.small + CHAINS_PER_FILE - 1) // CHAINS_PER_FILE]

    figures: dict[str, object] = {"entries": args.entries, "small": args.small, "load_at_start": load}
    dbs = {}
    for label, inputs, n in (("small", small_files, args.small), ("large", files, args.entries)):
        path = os.path.join(args.work, f"db-{n}.parquet")
        t0 = time.perf_counter()
        db = Database.create(path, inputs, workers=None)
        seconds = time.perf_counter() - t0
        size = os.path.getsize(path)
        assert len(db) == n, (len(db), n)
        dbs[label] = db
        figures[f"create_{label}"] = {"entries": n, "seconds": seconds, "entries_per_s": n / seconds,
                                      "bytes_per_entry": size / n, "slices": db.n_slices}
        print(f"create {n:>7} entries: {seconds:6.1f} s, {n / seconds:7.0f} entries/s, "
              f"{size / n:6.0f} bytes/entry on disk, {db.n_slices} slices")

    query = dovelkit.load(args.query)
    small = dbs["small"]
    n = len(small)
    from distributed import Client, LocalCluster

    # The three ways, interleaved over --rounds rounds; each keeps its best time (the machine is
    # shared, and the best round is the one least disturbed). "cores" is the CPU time the scanning
    # processes got divided by the wall time: below 1 per worker means other jobs took the rest.
    cluster = LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                           processes=True, silence_logs=40)
    client = Client(cluster)
    client.run(lambda: __import__("dovelkit.db.engine"))  # workers warm, like a long-running cluster
    dask_pids = set(client.run(os.getpid).values())
    ways = {"workers=1": dict(workers=1, exclude=dask_pids), "workers=2": dict(workers=2, exclude=dask_pids),
            "dask 2 processes": dict(client=client, only=dask_pids)}
    runs: dict[str, tuple[float, list[int] | None, float]] = {}
    paths: dict[str, list[float]] = {}
    reference = None
    try:
        for r in range(args.rounds):
            for name, kwargs in ways.items():
                hits, t, mem = timed_search(query, small, **kwargs)
                cpu = mem.own_cpu if name == "workers=1" else mem.worker_cpu()
                path = mem.own_cpu if name == "workers=1" else mem.busiest_worker_cpu(name == "workers=2")
                paths.setdefault(name, []).append(path)
                if reference is None:
                    reference = key(hits)
                assert key(hits) == reference, f"{name} differs"
                print(f"  round {r + 1}: {name:<17} {t:6.1f} s, cores used {cpu / t:.2f}", flush=True)
                if name not in runs or t < runs[name][0]:
                    runs[name] = (t, None if name == "workers=1" else mem.workers(), cpu / t)
    finally:
        client.close()
        cluster.close()
    t1, t2, td = runs["workers=1"][0], runs["workers=2"][0], runs["dask 2 processes"][0]

    print(f"\nsearch, scan mode, query {query.id} ({len(query)} residues), {n} targets, best of {args.rounds}:")
    for name, (t, peaks, cores) in runs.items():
        extra = f", worker peak RSS {'/'.join(mib(p) for p in peaks)} MiB" if peaks else ""
        print(f"  {name:<17} {t:7.1f} s  {n / t:7.0f} targets/s  cores used {cores:.2f}{extra}")
    speedup = t1 / t2
    dask_vs_pool = td / t2
    print(f"  2 workers / 1 worker: {speedup:.2f}x (goal >= 1.8x)")
    print(f"  Dask time / pool time: {dask_vs_pool:.2f} (goal <= 1.15)")
    figures["search_small"] = {name: {"seconds": t, "targets_per_s": n / t, "cores_used": cores,
                                      "worker_peak_rss": peaks} for name, (t, peaks, cores) in runs.items()}
    figures["speedup_2_workers"] = speedup
    figures["dask_over_pool"] = dask_vs_pool

    # On a machine shared with other jobs the wall times above measure the share of the cores this
    # benchmark got as much as the search. The CPU time of the busiest worker is what the search
    # would take with its cores to itself (each worker its own core): the work is then split as
    # the scheduling of the slices split it, startup included.
    c1, c2, cd = (min(paths[name]) for name in ("workers=1", "workers=2", "dask 2 processes"))
    print("  CPU seconds of the busiest process (the time with a core per worker): "
          f"workers=1 {c1:.1f}, workers=2 {c2:.1f}, dask {cd:.1f}")
    print(f"  by CPU time: 2 workers / 1 worker {c1 / c2:.2f}x, Dask / pool {cd / c2:.2f}")
    figures["cpu_critical_path"] = {"workers=1": c1, "workers=2": c2, "dask 2 processes": cd,
                                    "speedup_2_workers": c1 / c2, "dask_over_pool": cd / c2}

    # Memory: the same search (quick mode, so that 10^5 targets take little time) over the small
    # and the large database; a worker holds one slice at a time, so its peak should not grow.
    mem_runs = {}
    for label in ("small", "large"):
        if label == "large" and args.skip_large_search:
            continue
        db = dbs[label]
        hits, t, mem = timed_search(query, db, workers=2, scan_mode=False, quick=True)
        mem_runs[label] = (len(db), t, mem.workers())
        print(f"\nquick mode, workers=2, {len(db):>7} targets: {t:6.1f} s, {len(db) / t:7.0f} targets/s, "
              f"worker peak RSS {'/'.join(mib(p) for p in mem.workers())} MiB")
    if "large" in mem_runs and mem_runs["small"][2] and mem_runs["large"][2]:
        growth = max(mem_runs["large"][2]) / max(mem_runs["small"][2]) - 1
        print(f"  worker peak RSS growth from {mem_runs['small'][0]} to {mem_runs['large'][0]} entries: "
              f"{100 * growth:+.1f} % (goal: flat)")
        figures["rss_growth"] = growth
    figures["memory_runs"] = {label: {"entries": e, "seconds": t, "worker_peak_rss": p}
                              for label, (e, t, p) in mem_runs.items()}
    figures["load_at_end"] = os.getloadavg()[0]
    print(f"\nload average {figures['load_at_end']:.2f} at end (other jobs share the 2 cores)")
    print(json.dumps(figures, default=float))
    return 0


if __name__ == "__main__":
    sys.exit(main())
