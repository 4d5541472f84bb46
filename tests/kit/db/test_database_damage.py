"""Damaged databases, from real entries with the damage applied here: every one refused with one
line naming the file (and the entry), never read silently wrong, never a memory blow-up."""

import hashlib
import os
import pickle
import random
import resource
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import parquet_footer as pf
from conftest import DATA, dovel_cmd, one_line_error

import dovelkit
from dovelkit import Database

FILES = ["1o1z.pdb", "1ubq.pdb", "1k6p.pdb", "2beg.pdb", "1orc.pdb", "1ejg.pdb", "1a8o.pdb"]


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    """A database of real chains in one slice, and the same in slices of 4."""
    d = tmp_path_factory.mktemp("damage")
    inputs = [os.path.join(DATA, f) for f in FILES]
    one = Database.create(d / "one.parquet", inputs, workers=1)
    sliced = Database.create(d / "sliced.parquet", inputs, workers=1, rows_per_group=4)
    assert len(one) == len(sliced) == 12 and sliced.n_slices == 3
    return one.path, sliced.path


def content(db):
    """Everything read from a database, as one digest."""
    h = hashlib.sha256()
    for k in range(db.n_slices):
        for e in db.read_slice(k):
            h.update(repr((e.id, e.source, e.chain, e.sequence, e.secondary_structure)).encode())
            h.update(e.coordinates.tobytes())
    h.update(repr(db.ids).encode())
    return h.hexdigest()


def rewrite(src, dst, change):
    """``src`` rewritten as one table through ``change(table) -> table``, keeping its metadata."""
    table = pq.read_table(src)
    meta = table.schema.metadata
    table = change(table)
    pq.write_table(table.replace_schema_metadata(meta), dst)
    return dst


def replace_column(table, name, array):
    i = table.schema.get_field_index(name)
    return table.set_column(i, pa.field(name, array.type), array)


def refused(path, *pieces):
    """Opening and reading ``path`` fails with one ValueError naming it and saying ``pieces``."""
    with pytest.raises(ValueError) as info:
        db = Database.open(path)
        content(db)
    text = str(info.value)
    assert "\n" not in text and str(path) in text, text
    for piece in pieces:
        assert piece in text, text
    return text


@pytest.mark.parametrize("claimed", [10**12, 300, 13, 10, 0])
def test_a_doctored_row_count_is_refused_before_anything_is_allocated(good, tmp_path, claimed):
    one, sliced = good
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(pf.set_row_count(open(one, "rb").read(), 0, claimed))
    refused(bad, "damaged structure database", "slice 0")
    # the file's total left as it was
    bad.write_bytes(pf.set_row_count(open(sliced, "rb").read(), 1, claimed, also_file=False))
    refused(bad, "damaged structure database")
    # the command: one line, status 1, whether searching or describing it
    for args in (["search", os.path.join(DATA, "1ubq.pdb"), bad, "--workers", "2", "-q"], ["db", "info", bad]):
        line = one_line_error(dovel_cmd(*args))
        assert str(bad) in line and "damaged structure database" in line


def test_the_format_version_and_column_types_are_checked(good, tmp_path):
    one, _ = good
    table = pq.read_table(one)
    meta = dict(table.schema.metadata)
    pq.write_table(table.replace_schema_metadata({**meta, b"version": b"7"}), tmp_path / "v7.parquet")
    refused(tmp_path / "v7.parquet", "format version 7", "reads version 1")
    as_text = pa.array([str(v) for v in table.column("coordinates_milli").to_pylist()])
    refused(rewrite(one, tmp_path / "text.parquet", lambda t: replace_column(t, "coordinates_milli", as_text)),
            "column coordinates_milli holds string")
    ints = pa.array(range(table.num_rows), pa.int64())
    refused(rewrite(one, tmp_path / "ints.parquet", lambda t: replace_column(t, "id", ints)), "column id holds int64")


def test_a_bad_entry_is_named_by_id_and_row(good, tmp_path):
    one, _ = good
    table = pq.read_table(one)
    ids = table.column("id").to_pylist()
    milli = table.column("coordinates_milli").to_pylist()
    victim = 5

    short = [list(v) for v in milli]
    short[victim] = short[victim][:-1]  # one coordinate missing from the list
    path = rewrite(one, tmp_path / "short.parquet",
                   lambda t: replace_column(t, "coordinates_milli", pa.array(short, pa.list_(pa.int32()))))
    text = refused(path, f"entry '{ids[victim]}' (row {victim})", "coordinates stored")
    # the same through the caller's methods and the worker processes of a search
    db = Database.open(path)
    with pytest.raises(ValueError, match="row 5"):
        db.entry(victim)
    with pytest.raises(ValueError, match=r"\(row 5\)"):  # only some rows decoded: still named by row
        db.read_slice(0, [7, victim])
    whole = Database.open(one).read_slice(0)
    assert [e.id for e in db.read_slice(0, [7, 0])] == [whole[7].id, whole[0].id]
    with pytest.raises(IndexError):
        db.read_slice(0, [12])
    with pytest.raises(ValueError) as info:
        dovelkit.search(dovelkit.load(os.path.join(DATA, "1ubq.pdb")), db, workers=2, level="family")
    assert str(info.value) == text
    assert one_line_error(dovel_cmd("search", os.path.join(DATA, "1ubq.pdb"), path, "-q")).endswith(text)

    holed = [list(v) for v in milli]
    holed[victim][4] = None  # a null inside the list
    path = rewrite(one, tmp_path / "null.parquet",
                   lambda t: replace_column(t, "coordinates_milli", pa.array(holed, pa.list_(pa.int32()))))
    refused(path, f"entry '{ids[victim]}' (row {victim})", "missing coordinate")

    no_id = pa.array([None if i == victim else v for i, v in enumerate(ids)], pa.string())
    path = rewrite(one, tmp_path / "noid.parquet", lambda t: replace_column(t, "id", no_id))
    refused(path, f"(row {victim})", "no id")
    with pytest.raises(ValueError, match="no id"):
        Database.open(path).ids


def test_a_database_replaced_while_open_is_read_as_opened(good, tmp_path):
    """Replaced on disk (a new database renamed onto it, rows reversed), the open database and the
    workers of its search go on reading the file that was opened: names and scores agree."""
    _, sliced = good
    path = tmp_path / "db.parquet"
    path.write_bytes(open(sliced, "rb").read())
    db = Database.open(path)
    query = dovelkit.load(os.path.join(DATA, "1o1z.pdb"))
    before = [(h.id, h.score, h.position) for h in dovelkit.search(query, db, workers=1, level="family")]
    reversed_ = [db[i] for i in reversed(range(len(db)))]
    Database.from_domains(tmp_path / "new.parquet", reversed_, rows_per_group=2)
    os.replace(tmp_path / "new.parquet", path)
    small = Database.create(tmp_path / "small.parquet", [os.path.join(DATA, f) for f in FILES], workers=1,
                            rows_per_group=2)
    for workers in (1, 2):
        assert [(h.id, h.score, h.position) for h in dovelkit.search(query, db, workers=workers, level="family")] == before
    assert before[0][0] == "1o1z_A"
    # rewritten in place (same file, new content): refused, not read wrong, here and in workers
    now = Database.open(path)
    with open(path, "r+b") as fh:
        fh.write(open(small.path, "rb").read())
    for workers in (1, 2):
        with pytest.raises(ValueError, match="rewritten on disk while in use|changed on disk while in use"):
            dovelkit.search(query, now, workers=workers, level="family")


# ---- fuzz: random damage, each read in a child process under a memory cap

MEMORY_CAP = 1 << 30  # address space above what the reading process already holds

# Reads each file named on the command line in a child forked from a fresh interpreter (which has
# read no database itself, so it has no reading threads to fork), under the cap; prints one
# outcome per file.
RUNNER = """
import os, pickle, resource, sys
import test_database_damage as t
from dovelkit import Database
cap = int(sys.argv[1])
for path in sys.argv[2:]:
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            with open("/proc/self/statm") as fh:
                held = int(fh.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (held + cap, held + cap))
            try:
                outcome = ("ok", t.content(Database.open(path)))
            except (ValueError, OSError) as exc:
                outcome = ("error", type(exc).__name__, str(exc))
            except BaseException as exc:
                outcome = ("other", type(exc).__name__, str(exc)[:300])
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
            os.write(w, pickle.dumps(outcome + (peak,)))
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as fh:
        data = fh.read()
    _, status = os.waitpid(pid, 0)
    sys.stdout.buffer.write(pickle.dumps((path, status, pickle.loads(data) if data else None)))
"""


def read_capped(paths, cap):
    """(path, wait status, outcome) of reading each file in its own capped child process."""
    from conftest import TESTS, kit_env

    env = kit_env(ARROW_DEFAULT_MEMORY_POOL="system")  # no large reservations of address space
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([here, TESTS, env["PYTHONPATH"]])
    result = subprocess.run([sys.executable, "-c", RUNNER, str(cap), *map(str, paths)], capture_output=True,
                            env=env, timeout=600)
    assert result.returncode == 0, result.stderr.decode()
    out, data = [], result.stdout
    while data:
        item = pickle.loads(data)
        out.append(item)
        data = data[len(pickle.dumps(item)):]
    return out


def _mutations(data, rng, n):
    body, footer = pf.split(data)
    ints = list(pf.integer_fields(footer))
    out = []
    for k in range(n):
        kind = k % 3
        if kind == 0:  # bytes anywhere
            b = bytearray(data)
            for _ in range(rng.randint(1, 4)):
                b[rng.randrange(len(b))] = rng.randrange(256)
            out.append(("bytes", bytes(b)))
        elif kind == 1:  # bytes of the footer
            b = bytearray(data)
            start = len(body)
            for _ in range(rng.randint(1, 3)):
                b[rng.randrange(start, len(b) - 8)] = rng.randrange(256)
            out.append(("footer bytes", bytes(b)))
        else:  # a number of the footer: counts, sizes, offsets, types
            _, f = pf.split(data)
            where, value = rng.choice(ints)
            pf.set_at(f, where, rng.choice([0, 1, -1, value + 1, value - 1, value * 2, 10**12, 2**31 - 1,
                                            rng.randrange(1 << 20)]))
            out.append(("footer number", pf.join(body, f)))
    return out


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork and /proc")
def test_fuzz_damaged_databases_read_correctly_or_fail_clearly(good, tmp_path):
    rng = random.Random(int(os.environ.get("FUZZ_SEED", "7")))
    paths, kinds = [], {}
    for n, src in enumerate(good):
        paths.append(src)
        for k, (kind, damaged) in enumerate(_mutations(open(src, "rb").read(), rng, int(os.environ.get("FUZZ_N", "60")))):
            path = tmp_path / f"f{n}-{k}.parquet"
            path.write_bytes(damaged)
            paths.append(str(path))
            kinds[str(path)] = (src, kind)
    results = read_capped(paths, MEMORY_CAP)
    assert len(results) == len(paths)
    expected = {}
    worst = 0
    outcomes = {"ok": 0, "error": 0}
    for path, status, outcome in results:
        assert os.WIFEXITED(status) and outcome is not None, (path, kinds.get(path), status)  # never a kill
        assert outcome[0] in ("ok", "error"), (kinds.get(path), outcome)
        worst = max(worst, outcome[-1])
        if path not in kinds:  # an undamaged original
            assert outcome[0] == "ok", outcome
            expected[path] = outcome[1]
            continue
        if outcome[0] == "ok":  # read whole and right, or not at all
            assert outcome[1] == expected[kinds[path][0]], kinds[path]
        else:
            assert path in outcome[2] and "\n" not in outcome[2], (kinds[path], outcome)
        outcomes[outcome[0]] += 1
    print(f"\nfuzz: {outcomes}, peak resident of a reading process {worst / 2**20:.0f} MB")
    assert outcomes["error"] > len(paths) // 2


def _chunks(group):
    return pf.field(group, 1)[2][1]


def _fix_total(footer):
    pf.field(footer, 3)[2] = sum(pf.field(g, 3)[2] for g in pf.row_groups(footer))


def _recount(group, delta):
    """Row count and every column's value count moved by ``delta``, as a consistent writer would."""
    pf.field(group, 3)[2] += delta
    for chunk in _chunks(group):
        pf.field(pf.field(chunk, 3)[2], 5)[2] += delta


def _structured_mutations(data, rng, n):
    """Edits of the footer's structure rather than its bytes: column chunk records swapped, copied
    over others (of another slice or another column), slices listed twice, dropped, swapped or
    with their counts lowered or raised, the file's total fixed to match or not."""
    import copy

    out = []
    for _ in range(n):
        body, footer = pf.split(data)
        groups = pf.row_groups(footer)
        g = rng.randrange(len(groups))
        h = rng.randrange(len(groups))
        c, d = rng.sample(range(8), 2)
        kind = rng.choice(["swap chunks", "copy chunk", "copy column", "group twice", "group dropped",
                           "groups swapped", "fewer rows", "more rows", "columns swapped"])
        if kind == "swap chunks" and g != h:
            _chunks(groups[g])[c], _chunks(groups[h])[c] = _chunks(groups[h])[c], _chunks(groups[g])[c]
        elif kind == "copy chunk" and g != h:
            _chunks(groups[h])[c] = copy.deepcopy(_chunks(groups[g])[c])
        elif kind == "copy column":
            _chunks(groups[g])[d] = copy.deepcopy(_chunks(groups[g])[c])
        elif kind == "group twice":
            groups.insert(h, copy.deepcopy(groups[g]))
        elif kind == "group dropped" and len(groups) > 1:
            del groups[g]
        elif kind == "groups swapped" and g != h:
            groups[g], groups[h] = groups[h], groups[g]
        elif kind in ("fewer rows", "more rows"):
            _recount(groups[g], -1 if kind == "fewer rows" else 1)
        elif kind == "columns swapped":
            _chunks(groups[g])[c], _chunks(groups[g])[d] = _chunks(groups[g])[d], _chunks(groups[g])[c]
        else:
            continue
        fixed = rng.random() < 0.7
        if fixed:
            _fix_total(footer)
        out.append((kind + (", total fixed" if fixed else ""), pf.join(body, footer)))
    return out


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork and /proc")
def test_fuzz_structured_footer_edits_are_refused_or_read_whole(good, tmp_path):
    """No edit of the footer's structure reads as a different list of entries: each is refused,
    or reads exactly as the original."""
    rng = random.Random(int(os.environ.get("FUZZ_SEED", "11")))
    paths, kinds = list(good), {}
    for n, src in enumerate(good):
        for k, (kind, damaged) in enumerate(_structured_mutations(open(src, "rb").read(), rng,
                                                                  int(os.environ.get("FUZZ_N", "30")))):
            path = tmp_path / f"s{n}-{k}.parquet"
            path.write_bytes(damaged)
            paths.append(str(path))
            kinds[str(path)] = (src, kind)
    results = read_capped(paths, MEMORY_CAP)
    expected = {path: outcome[1] for path, _, outcome in results if path not in kinds}
    assert len(expected) == len(good) and len(results) == len(paths)
    tally = {}
    for path, status, outcome in results:
        if path not in kinds:
            continue
        assert os.WIFEXITED(status) and outcome is not None and outcome[0] in ("ok", "error"), (kinds[path], outcome)
        if outcome[0] == "ok":
            assert outcome[1] == expected[kinds[path][0]], kinds[path]
        else:
            assert path in outcome[2] and "\n" not in outcome[2], (kinds[path], outcome)
        tally[outcome[0]] = tally.get(outcome[0], 0) + 1
    print(f"\nstructured footer edits: {tally}")


def test_peak_memory_on_a_doctored_row_count(good, tmp_path):
    """The worst case of the faults seen: a slice claiming 10^12 entries, searched by the command
    under a memory cap well below what honouring it would take."""
    one, _ = good
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(pf.set_row_count(open(one, "rb").read(), 0, 10**12))
    code = ("import resource, sys; resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30)); "
            "from dovelkit.cli import main; sys.argv[0] = 'dovel'; status = main(sys.argv[1:]); "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr); sys.exit(status)")
    from conftest import kit_env

    result = subprocess.run([sys.executable, "-c", code, "search", os.path.join(DATA, "1ubq.pdb"), str(bad), "-q"],
                            capture_output=True, text=True, env=kit_env(), timeout=120)
    assert result.returncode == 1, result.stderr
    line, peak_kb = result.stderr.strip().splitlines()
    assert "claims 1000000000000 entries" in line
    print(f"\npeak resident searching a slice claiming 10^12 entries: {int(peak_kb) / 1024:.0f} MB")
    assert int(peak_kb) < 1 << 20  # under 1 GB
