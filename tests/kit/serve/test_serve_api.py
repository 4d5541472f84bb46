"""dovel serve, run as its own process on 127.0.0.1: the API against the command, bad uploads, a
full queue and a clean stop.

Every request goes to the loopback address; every loop of requests is bounded in count and time.
"""

import concurrent.futures
import gzip
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
import uuid

import pytest

from conftest import ROOT, data_path

FAMILIES = data_path("families")
QUERY = os.path.join(FAMILIES, "cytochrome_c", "1hrc.pdb")
ENV_PATH = os.pathsep.join([os.path.join(ROOT, "build", "torva-py"), ROOT])


def _env(tmpdir):
    env = dict(os.environ, PYTHONPATH=ENV_PATH + os.pathsep + os.environ.get("PYTHONPATH", ""), TMPDIR=str(tmpdir))
    return env


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One ``dovel serve`` process on 127.0.0.1 with its own temporary folder."""

    def __init__(self, db, tmpdir, *options):
        self.port = _free_port()
        self.tmpdir = tmpdir
        self.base = f"http://127.0.0.1:{self.port}"
        cmd = [sys.executable, "-m", "dovelkit", "serve", str(db), "--port", str(self.port), *options]
        self.proc = subprocess.Popen(cmd, env=_env(tmpdir), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"the server ended: {self.proc.communicate()[1].decode()}")
            try:
                if self.get("/api/health")[0] == 200:
                    return
            except OSError:
                time.sleep(0.2)
        self.stop()
        raise RuntimeError("the server did not answer within 60 s")

    def get(self, path, timeout=30):
        try:
            with urllib.request.urlopen(self.base + path, timeout=timeout) as r:
                return r.status, r.read(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.read(), e.headers

    def post(self, path, fields, timeout=120, content_type=None, body=None):
        if body is None:
            body, content_type = multipart(fields)
        request = urllib.request.Request(self.base + path, data=body, method="POST",
                                         headers={"Content-Type": content_type})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as r:
                return r.status, json.loads(r.read()), r.headers
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"{}"), e.headers

    def uploads_left(self):
        """Files under the server's upload folder."""
        found = []
        for base, _, files in os.walk(self.tmpdir):
            found += [os.path.join(base, f) for f in files]
        return found

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def multipart(fields):
    """A multipart/form-data body: values are str (fields) or (file name, bytes) (files)."""
    boundary = uuid.uuid4().hex
    parts = []
    for name, value in fields.items():
        if isinstance(value, tuple):
            filename, data = value
            head = (f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; filename="{filename}"\r\n'
                    "Content-Type: application/octet-stream\r\n\r\n")
            parts.append(head.encode() + data + b"\r\n")
        else:
            parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode())
    parts.append(f"--{boundary}--\r\n".encode())
    return b"".join(parts), f"multipart/form-data; boundary={boundary}"


def command_json(*args, tmpdir):
    out = subprocess.run([sys.executable, "-m", "dovelkit", "search", "--json", *args], env=_env(tmpdir),
                         capture_output=True, timeout=300, check=True)
    return json.loads(out.stdout)


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    if not os.path.isdir(FAMILIES):
        pytest.skip(f"no structures at {FAMILIES}")
    folder = tmp_path_factory.mktemp("db")
    db = folder / "families.parquet"
    subprocess.run([sys.executable, "-m", "dovelkit", "db", "create", str(db), FAMILIES, "--workers", "1", "-q"],
                   env=_env(folder), check=True, timeout=300)
    return db


@pytest.fixture(scope="module")
def server(database, tmp_path_factory):
    s = Server(database, tmp_path_factory.mktemp("serve-tmp"), "--workers", "1", "--max-size", "2M")
    yield s
    s.stop()


def test_api_lists_what_the_command_prints(server, database, tmp_path):
    raw = open(QUERY, "rb").read()
    for level, top in (("fold", "100"), ("family", "7")):
        expected = command_json("--top", top, "--workers", "1", "--" + level, QUERY, str(database), tmpdir=tmp_path)
        status, got, _ = server.post("/api/search", {"structure": ("1hrc.pdb", raw), "level": level, "top": top})
        assert status == 200, got
        assert got["hits"] == expected["hits"]  # every field of every hit, ranks included
        assert got["query"] == {**expected["query"], "source": "1hrc.pdb"}
    # The same chain gzip-compressed, pasted as text, or picked by chain id gives the same hits.
    fold = command_json("--top", "20", QUERY, str(database), tmpdir=tmp_path)["hits"]
    for fields in ({"structure": ("1hrc.pdb.gz", gzip.compress(raw))},
                   {"structure": raw.decode("latin-1")},
                   {"structure": ("renamed.ent", raw), "chain": "A"}):
        status, got, _ = server.post("/api/search", {**fields, "top": "20"})
        assert status == 200 and got["hits"] == fold, got
    status, listing, _ = server.get("/api/databases")
    assert status == 200 and json.loads(listing)["databases"] == [{"name": "families", "entries": 40}]


def test_bad_uploads_get_a_4xx_with_a_message_and_leave_nothing(server):
    pdb = open(QUERY, "rb").read()
    bomb = gzip.compress(b"ATOM  " + b" " * (8 << 20))  # inflates to 8 MB, past --max-size 2M
    cases = [
        ({"structure": ("junk.pdb", os.urandom(4000))}, 400),
        ({"structure": ("empty.pdb", b"")}, 400),
        ({"structure": ("blank.pdb", b"\n\n   \n")}, 400),
        ({"structure": ("bomb.pdb.gz", bomb)}, 413),
        ({"structure": ("huge.pdb", pdb * 40)}, 413),  # 3 MB
        ({"structure": ("cut.pdb.gz", gzip.compress(pdb)[:3000])}, 400),
        ({"structure": ("notgzip.pdb.gz", b"\x1f\x8b" + os.urandom(500))}, 400),
        ({"structure": ("water.pdb", b"HETATM    1  O   HOH A   1       1.000   2.000   3.000  1.00  0.00           O\n")}, 400),
        ({"structure": ("1hrc.pdb", pdb), "chain": "Q"}, 400),
        ({"structure": ("1hrc.pdb", pdb), "chain": "x" * 40}, 400),
        ({"structure": ("1hrc.pdb", pdb), "level": "galaxy"}, 400),
        ({"structure": ("1hrc.pdb", pdb), "top": "-3"}, 400),
        ({"structure": ("1hrc.pdb", pdb), "top": "1e9"}, 400),
        ({"structure": ("1hrc.pdb", pdb), "database": "../../etc/passwd"}, 400),
        ({"structure": ("../../../../tmp/evil.pdb", os.urandom(100))}, 400),
        ({"chain": "A"}, 400),
        ({"structure": ("a.cif", b"data_x\nloop_\n_atom_site.id\n1\n")}, 400),
    ]
    kept = server.uploads_left()  # the queries of earlier searches, kept for their hit pages
    for fields, status in cases:
        code, reply, _ = server.post("/api/search", fields)
        assert code == status, (fields.keys(), code, reply)
        assert isinstance(reply.get("error"), str) and reply["error"] and "\n" not in reply["error"], reply
        assert "/tmp" not in reply["error"] and "dovel-serve" not in reply["error"], reply  # no server path
    # Not a form, a form that is not multipart, and a body that claims more than the limit.
    assert server.post("/api/search", None, body=pdb, content_type="chemical/x-pdb")[0] == 400
    assert server.post("/api/search", None, body=b"structure=x", content_type="application/x-www-form-urlencoded")[0] == 400
    assert server.post("/api/search", None, body=b"--x\r\n", content_type="multipart/form-data; boundary=x")[0] == 400
    assert server.uploads_left() == kept
    assert server.get("/api/health")[0] == 200


def test_the_hit_names_stay_text(server):
    """A file name that is markup comes back as data, and the downloads name files of our making."""
    name = '<img src=x onerror=alert(1)>.pdb'
    status, job, _ = server.post("/api/jobs", {"structure": (name, open(QUERY, "rb").read()), "top": "3"})
    assert status == 202
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        _, body, _ = server.get(f"/api/jobs/{job['id']}")
        state = json.loads(body)
        if state["state"] in ("done", "failed"):
            break
        time.sleep(0.2)
    assert state["state"] == "done" and state["result"]["query"]["source"] == name
    status, tsv, headers = server.get(f"/jobs/{job['id']}/hits.tsv")
    assert status == 200 and tsv.decode().startswith("rank\tid\t")
    assert headers["Content-Disposition"].startswith('attachment; filename="') and "<" not in headers["Content-Disposition"]
    status, page, headers = server.get("/")
    assert status == 200 and "default-src 'none'" in headers["Content-Security-Policy"]
    assert server.get("/api/jobs/nope")[0] == 404


def test_queue_bounds_load_and_stop_leaves_nothing(database, tmp_path):
    """50 searches at once: each gets its hits or 503 with Retry-After; the server stays up with
    bounded memory; SIGTERM then ends it and its workers, and its folder is gone."""
    server = Server(database, tmp_path, "--workers", "2", "--queue", "4")
    try:
        raw = open(QUERY, "rb").read()

        def one(k):
            return server.post("/api/search", {"structure": (f"q{k}.pdb", raw), "top": "5"}, timeout=240)

        start = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            answers = list(pool.map(one, range(50)))
        assert time.monotonic() - start < 240
        codes = [a[0] for a in answers]
        assert set(codes) <= {200, 503} and codes.count(200) >= 5, codes
        for code, reply, headers in answers:
            if code == 503:
                assert headers.get("Retry-After") and "busy" in reply["error"]
            else:
                assert reply["hits"][0]["id"] == "1hrc_A"
        with open(f"/proc/{server.proc.pid}/status") as fh:
            rss_kb = next(int(line.split()[1]) for line in fh if line.startswith("VmRSS:"))
        assert rss_kb < 1_500_000
        assert server.get("/api/health")[0] == 200
        folders = [f for f in os.listdir(tmp_path) if f.startswith("dovel-serve-")]
        assert len(folders) == 1
    finally:
        server.stop()
    assert server.proc.returncode is not None
    assert not [f for f in os.listdir(tmp_path) if f.startswith("dovel-serve-")]
    leftover = subprocess.run(["pgrep", "-s", str(server.proc.pid)], capture_output=True, text=True).stdout.split()
    assert leftover == []


def test_only_loopback_is_quiet():
    from dovelkit.cli.serve import is_loopback

    assert all(is_loopback(h) for h in ("127.0.0.1", "localhost", "::1", "127.8.9.10"))
    assert not any(is_loopback(h) for h in ("0.0.0.0", "::", "192.168.1.4", "example.org"))


def test_command_mistakes_are_one_line(database, tmp_path):
    """A file that is not a database, and a port already taken: one line, status 1, no server."""
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        for args, words in (([str(database), "--port", str(port)], "Address already in use"),
                            ([QUERY], "not a structure database"),
                            ([str(tmp_path / "none.parquet")], "no such database file")):
            r = subprocess.run([sys.executable, "-m", "dovelkit", "serve", *args], env=_env(tmp_path),
                               capture_output=True, text=True, timeout=120)
            assert r.returncode == 1 and words in r.stderr and len(r.stderr.strip().splitlines()) == 1, r.stderr
