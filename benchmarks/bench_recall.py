"""Recall of the default (prefiltered) search against the exhaustive one, on real entries.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_recall.py [--mode fold|family]
        [--entries ../shared/bench/entries] [--work /tmp/dovel-bench-recall] [--queries 1d3h,1ml1]

The database holds every protein chain of every entry of the benchmark set (../shared/bench/entries,
read where it is); each family chain of families.tsv is a query. Its relatives are the chains of the
other members of its family; the chains of `large_unrelated` and `unrelated_small` are each a group
of their own. The other chains of an entry (a second copy of the same protein, a partner chain) are
neither relatives nor false hits: they are skipped when ranks are counted, and copies (sequence
identity >= 0.9 to a family chain) are counted apart as "relatives with copies".

Reported, for the default search and the exhaustive one:
  - relatives ranked before the first chain of another family, over the listed hits (at the fold
    level E below the command's listing threshold, at the family level score > 0);
  - of the relatives the exhaustive search ranks so, how many the default one does too (recall);
  - the prefilter rank of each such relative (how many candidates the default count leaves over);
and TM-align's ranking from tmalign_pairs.tsv: for each query, the relatives whose TM-score
(normalised by the query) is above that of every other-family chain the table pairs it with.
"""

from __future__ import annotations

import argparse
import csv
import difflib
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import dovelkit  # noqa: E402
from dovelkit import _core  # noqa: E402
from dovelkit.db.listing import listed as command_listed  # noqa: E402
from dovelkit.db.store import Database  # noqa: E402
from dovelkit.db.stages import candidate_count  # noqa: E402
from dovelkit.db.statistics import FOLD_LIST_E  # noqa: E402

UNGROUPED = ("large_unrelated", "unrelated_small")


def find_entries() -> str | None:
    """../shared/bench/entries from the project's root (or from a folder above it, for a worktree)."""
    here = ROOT
    for _ in range(4):
        path = os.path.join(os.path.dirname(here), "shared", "bench", "entries")
        if os.path.isfile(os.path.join(path, "families.tsv")):
            return path
        here = os.path.dirname(here)
    return None


def read_set(entries: str):
    """(chains, labels, copies): every chain of every entry; label of each family chain (family, or
    its own id for the ungrouped); the family of each copy of a family chain."""
    rows = list(csv.DictReader(open(os.path.join(entries, "families.tsv"), newline=""), delimiter="\t"))
    chains, labels, copies = [], {}, {}
    for row in rows:
        stem = row["file"][:-4]
        found = dovelkit.load_chains(os.path.join(entries, row["file"]))
        chains.extend(found)
        own = f"{stem}_{row['chain']}"
        family = row["family"] if row["family"] not in UNGROUPED else own
        labels[own] = family
        seq = next(d.sequence for d in found if d.id == own)
        for d in found:
            if d.id != own and difflib.SequenceMatcher(None, seq, d.sequence, autojunk=False).ratio() >= 0.9:
                copies[d.id] = family
    return chains, labels, copies


def before_first_other(hits, query_id, family, labels, copies=None):
    """Ids of the relatives ranked before the first chain of another family (chains that are
    neither a relative nor a family chain are skipped)."""
    found = []
    for h in hits:
        if h.id == query_id:
            continue
        f = labels.get(h.id)
        if f is None and copies is not None:
            f = copies.get(h.id)
        if f is None:
            continue
        if f != family:
            break
        found.append(h.id)
    return found


def tmalign_ranking(entries: str, labels: dict[str, str]) -> tuple[int, int]:
    """(relatives above every other-family pair of the query, relatives) by TM-align's table."""
    tm: dict[str, dict[str, float]] = {}
    with open(os.path.join(entries, "tmalign_pairs.tsv"), newline="") as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            a = f"{row['file1'][:-4]}_{row['chain1']}"
            b = f"{row['file2'][:-4]}_{row['chain2']}"
            tm.setdefault(a, {})[b] = float(row["tm_score_norm_file1"])
            tm.setdefault(b, {})[a] = float(row["tm_score_norm_file2"])
    above = total = 0
    for q, fam in labels.items():
        rel = [labels_id for labels_id, f in labels.items() if f == fam and labels_id != q]
        others = [s for t, s in tm.get(q, {}).items() if labels.get(t) != fam]
        worst = max(others, default=0.0)
        total += len(rel)
        above += sum(tm.get(q, {}).get(r, 0.0) > worst for r in rel)
    return above, total


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--entries", default=None)
    ap.add_argument("--work", default="/tmp/dovel-bench-recall")
    ap.add_argument("--mode", choices=("fold", "family"), default="fold")
    ap.add_argument("--queries", default=None, help="comma-separated entry names (default: every family chain)")
    args = ap.parse_args()
    entries = args.entries or find_entries()
    if entries is None:
        print("the benchmark set ../shared/bench/entries is not there", file=sys.stderr)
        return 1
    chains, labels, copies = read_set(entries)
    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "entries.parquet")
    if os.path.exists(path):
        os.remove(path)
    db = Database.from_domains(path, chains, rows_per_group=16)
    n = len(db)
    fold = args.mode == "fold"
    k = candidate_count(n, fold)
    print(f"database: {n} chains of {len(labels)} entries; {args.mode} level, {k} candidates aligned by "
          f"default; listed: " + (f"E < {FOLD_LIST_E:g}" if fold else "score > 0"))
    by_id = {d.id: d for d in chains}
    ids = db.ids
    keys = [db.read_keys(s) for s in range(db.n_slices)]
    wanted = None if args.queries is None else set(args.queries.split(","))
    totals = {"default": 0, "exhaustive": 0}
    with_copies = {"default": 0, "exhaustive": 0}
    both = both_copies = n_rel = n_rel_copies = 0
    ranks: list[int] = []
    lost: list[str] = []
    times = {"default": 0.0, "exhaustive": 0.0}
    for qid, fam in labels.items():
        if wanted is not None and qid.split("_")[0] not in wanted:
            continue
        q = by_id[qid]
        n_rel += sum(1 for t, f in labels.items() if f == fam and t != qid)
        n_rel_copies += sum(1 for f in copies.values() if f == fam)
        found = {}
        for run, kw in (("default", {}), ("exhaustive", {"exhaustive": True})):
            t = time.perf_counter()
            hits = dovelkit.search(q, db, workers=1, level=args.mode, max_hits=n, **kw)
            times[run] += time.perf_counter() - t
            hits = [h for h in hits if command_listed(h, args.mode, FOLD_LIST_E)]
            found[run] = (before_first_other(hits, qid, fam, labels),
                          before_first_other(hits, qid, fam, labels, copies))
            totals[run] += len(found[run][0])
            with_copies[run] += len(found[run][1])
        full, full_c = found["exhaustive"]
        both += len(set(full) & set(found["default"][0]))
        both_copies += len(set(full_c) & set(found["default"][1]))
        missed = sorted(set(full_c) - set(found["default"][1]))
        if missed:
            lost.append(f"{qid}: {', '.join(missed)}")
        scores = np.concatenate([_core.prefilter_scores([q.coordinates], d, o, fold=fold)[0] for d, o in keys])
        order = list(_core.top_candidates(scores.astype(np.float64), n))
        ranks.extend(order.index(ids.index(r)) + 1 for r in full_c)
    tm_above, tm_total = tmalign_ranking(entries, labels)
    print(f"relatives ranked before the first other-family chain (of {n_rel}):")
    for run in totals:
        print(f"  {run:<10} {totals[run]:>4}   with copies of the family chains {with_copies[run]:>4} "
              f"(of {n_rel + n_rel_copies}); search time {times[run]:.1f} s")
    print(f"  TM-align   {tm_above:>4}   (of {tm_total}, from tmalign_pairs.tsv)")
    print(f"recall of the default search: {both}/{totals['exhaustive']} "
          f"({100 * both / max(1, totals['exhaustive']):.1f} %) of the relatives the exhaustive search ranks so; "
          f"with copies {both_copies}/{with_copies['exhaustive']} "
          f"({100 * both_copies / max(1, with_copies['exhaustive']):.1f} %)")
    if ranks:
        print(f"prefilter rank of those relatives (of {n - 1} others): max {max(ranks)}, median "
              f"{int(np.median(ranks))}, within the {k} candidates {sum(r <= k + 1 for r in ranks)}/{len(ranks)}")
    for line in lost:
        print(f"  lost by default: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
