"""Process faults: Ctrl-C, SIGTERM and SIGKILL of the command, a worker killed mid-run, a closed
output pipe, and what they leave behind (processes, temporary files)."""

import os
import random
import signal
import statistics
import subprocess
import sys
import time

import pytest

from conftest import DATA, dovel_cmd, kit_env
from dovelkit import Database
from dovelkit.runtime.pools import WorkerLost, WorkerPool

psutil = pytest.importorskip("psutil")

# Enough reading for a few seconds on two workers: every structure file of the tests, twice over
# (ids repeat, so creation renames).
CREATE = ["db", "create", "--workers", "2", "--rename-duplicates", "-q"]
INPUTS = [DATA, os.path.join(DATA, "families")]


def start(args, cwd, **kw):
    return subprocess.Popen([sys.executable, "-m", "dovelkit", *map(str, args)], cwd=cwd, env=kit_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True, **kw)


def descendants(proc):
    try:
        return psutil.Process(proc.pid).children(recursive=True)
    except psutil.NoSuchProcess:
        return []


def wait_for_workers(proc, n=2, timeout=30):
    """The process tree once ``n`` worker processes run (besides the server and the tracker)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        tree = descendants(proc)
        servers = {p.pid for p in tree if "forkserver" in " ".join(p.cmdline())}
        workers = [p for p in tree if p.ppid() in servers]
        if len(workers) >= n:
            return tree
        time.sleep(0.02)
    raise AssertionError("the workers did not start")


def wait_for_startup(proc, timeout=30):
    """Once the interpreter has started and the command's own imports begin (the module's
    extension is mapped): before that, Ctrl-C meets Python's start-up, not dovel."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/maps") as fh:
                if "/dovel." in fh.read():
                    return
        except OSError:
            return
        time.sleep(0.002)


def assert_all_gone(tree, within=3.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        alive = [p for p in tree if p.is_running() and p.status() != psutil.STATUS_ZOMBIE]
        if not alive:
            return
        time.sleep(0.05)
    raise AssertionError(f"still running: {[' '.join(p.cmdline())[:80] for p in alive]}")


def parts(directory):
    return sorted(n for n in os.listdir(directory) if n.endswith(".part"))


def test_ctrl_c_ends_db_create_within_two_seconds_every_time(tmp_path):
    """Fifty interrupts at random moments, from the first imports to the last file: each ends the
    command within 2 s with one line, status 130, no workers and no temporary file left."""
    rnd = random.Random(2024)
    whole = start([*CREATE, "x.parquet", *INPUTS], tmp_path)
    wait_for_startup(whole)
    began = time.monotonic()
    whole.communicate(timeout=300)
    assert whole.returncode == 0
    span = time.monotonic() - began  # from the first imports to the end, on this machine now
    latencies = []
    # Fifty interrupts that land; on a busy machine a run can finish before its interrupt, and
    # another try takes its place.
    for k in range(150):
        if len(latencies) == 50:
            break
        if os.path.exists(tmp_path / "x.parquet"):
            os.unlink(tmp_path / "x.parquet")
        proc = start([*CREATE, "x.parquet", *INPUTS], tmp_path)
        wait_for_startup(proc)
        time.sleep(rnd.uniform(0.0, 0.9 * span))
        tree = descendants(proc)
        sent = time.monotonic()
        os.killpg(proc.pid, signal.SIGINT)  # what a terminal does on Ctrl-C
        try:
            out, err = proc.communicate(timeout=10)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        latency = time.monotonic() - sent
        if proc.returncode == 0:  # finished before the interrupt
            continue
        latencies.append(latency)
        assert proc.returncode == 130, (k, err[-2000:])
        said = [line for line in err.splitlines() if not line.startswith("dovel db: renamed duplicate")]
        assert said == ["dovel: interrupted"], (k, err[-2000:])
        assert latency < 2.0, (k, latency, err[-2000:])
        assert_all_gone(tree)
        assert parts(tmp_path) == []
        if os.path.exists(tmp_path / "x.parquet"):  # interrupted after the rename: whole
            Database.open(tmp_path / "x.parquet").ids
    assert len(latencies) == 50
    print(f"\nCtrl-C latency over {len(latencies)} interrupts: min {min(latencies):.3f} s, "
          f"median {statistics.median(latencies):.3f} s, max {max(latencies):.3f} s")


def test_sigterm_ends_db_create_like_ctrl_c(tmp_path):
    proc = start([*CREATE, "x.parquet", *INPUTS], tmp_path)
    tree = wait_for_workers(proc)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 143
    assert err.strip() == "dovel: terminated"
    assert_all_gone(tree)
    assert parts(tmp_path) == [] and not os.path.exists(tmp_path / "x.parquet")


@pytest.mark.parametrize("command", ["db", "search"])
def test_sigkill_leaves_no_process_and_a_later_run_removes_the_temporary_file(command, tmp_path):
    if command == "db":
        args = [*CREATE, "x.parquet", *INPUTS]
    else:
        db = tmp_path / "t.parquet"
        assert dovel_cmd(*CREATE, "--slice-size", "20", db, *INPUTS).returncode == 0
        args = ["search", os.path.join(DATA, "1ubq.pdb"), db, "--workers", "2", "-q", "-o", "x.parquet"]
    proc = start(args, tmp_path)
    tree = wait_for_workers(proc)
    if command == "db":
        deadline = time.monotonic() + 20
        while not parts(tmp_path) and time.monotonic() < deadline:
            time.sleep(0.02)
    left = parts(tmp_path)
    proc.kill()
    proc.wait()
    assert_all_gone(tree)  # workers, their server and the resource tracker
    if command == "db":
        assert len(left) == 1 and str(proc.pid) in left[0]
    # another process's temporary file for the same target, still running: kept
    alive = tmp_path / f".x.parquet.{os.getpid()}-keepme.part"
    alive.write_bytes(b"")
    result = dovel_cmd("db", "create", "-q", "x.parquet", os.path.join(DATA, "1ubq.pdb"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert parts(tmp_path) == [alive.name]


def test_a_closed_output_pipe_ends_the_command_silently(tmp_path):
    """``dovel search ... | head -1``: once the reader has gone, dovel stops as other tools do:
    nothing on stderr, status 141 (128 + SIGPIPE)."""
    proc = start(["search", os.path.join(DATA, "1ubq.pdb"), DATA, "--workers", "1", "-q"], tmp_path)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 141
    assert err == ""


def test_errors_name_the_path_given_never_the_temporary_file(tmp_path):
    ubq, d3z = os.path.join(DATA, "1ubq.pdb"), os.path.join(DATA, "1d3z.pdb")
    cases = [
        (["align", ubq, d3z, "-o", "/proc/nope.pdb"], "/proc/nope.pdb"),
        (["align", ubq, d3z, "--html", "/proc/nope.html"], "/proc/nope.html"),
        (["search", ubq, d3z, "--workers", "1", "-q", "-o", "/proc/nope.tsv"], "/proc/nope.tsv"),
        (["db", "create", "-q", "nodir/x.parquet", ubq], "nodir/x.parquet"),
        (["db", "create", "-q", "/proc/x.parquet", ubq], "/proc/x.parquet"),
    ]
    for args, path in cases:
        result = dovel_cmd(*args, cwd=tmp_path)
        assert result.returncode == 1, result.stderr
        assert "Traceback" not in result.stderr and ".part" not in result.stderr, result.stderr
        line = result.stderr.strip()
        assert "\n" not in line and path in line, line
    assert os.listdir(tmp_path) == []


# ---- the pool itself: a worker that dies is replaced and its call runs again


def _die_once(marker):
    """Kills its worker the first time (marker absent), answers the second time."""
    if not os.path.exists(marker):
        open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return os.getpid()


def _always_die():
    os.kill(os.getpid(), signal.SIGKILL)


def _square(x):
    return x * x


def _fail(x):
    raise ValueError(f"bad input {x}")


def test_a_call_whose_worker_dies_runs_again_on_another(tmp_path):
    with WorkerPool(2) as pool:
        first = set(pool.pids)
        calls = [(_square, (i,), f"square {i}") for i in range(20)]
        calls.insert(7, (_die_once, (str(tmp_path / "m"),), "dying once"))
        results = dict(pool.run(calls, ordered=True))
        assert [results[i] for i in range(8, 21)] == [x * x for x in range(7, 20)]
        assert len(pool.pids) == 2 and len(set(pool.pids) - first) == 1  # the dead one replaced
        assert results[7] in pool.pids
        # a call that kills every worker trying it: one line saying what happened
        with pytest.raises(WorkerLost, match="was killed by SIGKILL while dying always .3 attempts"):
            list(pool.run([(_always_die, (), "dying always")]))
        # the pool still works, and a call's own exception comes back as it was raised
        assert sorted(r for _, r in pool.run((_square, (i,), "") for i in range(5))) == [0, 1, 4, 9, 16]
        with pytest.raises(ValueError, match="bad input 3"):
            list(pool.run([(_fail, (3,), "")]))
        pids = pool.pids
    assert_all_gone([psutil.Process(p) for p in pids if psutil.pid_exists(p)], within=3)


def test_a_worker_killed_mid_search_changes_nothing(tmp_path):
    """SIGKILL to a worker while a search runs: its slices run again, the hits are the same."""
    db_path = tmp_path / "t.parquet"
    assert dovel_cmd("db", "create", "-q", "--slice-size", "20", "--rename-duplicates", db_path, *INPUTS).returncode == 0
    query = os.path.join(DATA, "1ubq.pdb")
    ref = dovel_cmd("search", query, db_path, "--workers", "1", "-q", "--json")
    assert ref.returncode == 0, ref.stderr
    proc = start(["search", query, db_path, "--workers", "2", "-q", "--json"], tmp_path)
    tree = wait_for_workers(proc)
    servers = {p.pid for p in tree if "forkserver" in " ".join(p.cmdline())}
    victim = next(p for p in tree if p.ppid() in servers)
    victim.kill()
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    assert out == ref.stdout
