"""dovel serve against the command: the same searches through POST /api/search and through
`dovel search --json`, on the same database, with the same hits.

Builds a database of the chains of ../shared/bench/chains (or --db), starts `dovel serve` on
127.0.0.1 with --workers N, and for each of --queries query files times (wall clock, as a user
sees it) the command from start to exit and the API request from sending to the last byte,
--repeats times each, alternating. Prints the medians, the difference per search, and checks that
the hits are equal field by field.

    PYTHONPATH=build/torva-py:. python3 benchmarks/bench_serve.py [--workers 2] [--queries 5] [--repeats 3]

(DOVEL_SHARED points at another shared/ folder.)
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARED = os.environ.get("DOVEL_SHARED") or os.path.join(os.path.dirname(ROOT), "shared")


def multipart(name: str, data: bytes, **fields: str) -> tuple[bytes, str]:
    b = uuid.uuid4().hex
    parts = [f'--{b}\r\nContent-Disposition: form-data; name="structure"; filename="{name}"\r\n\r\n'.encode()
             + data + b"\r\n"]
    parts += [f'--{b}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n'.encode() for k, v in fields.items()]
    return b"".join(parts) + f"--{b}--\r\n".encode(), f"multipart/form-data; boundary={b}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", default=None, help="an existing database (default: one made of the bench chains)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--queries", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--level", default="fold", choices=("fold", "family"))
    args = parser.parse_args()
    files = sorted(glob.glob(os.path.join(SHARED, "bench", "chains", "chains", "*.pdb")))
    if not files:
        raise SystemExit(f"no chains in {SHARED}/bench/chains/chains")
    env = dict(os.environ)
    with tempfile.TemporaryDirectory() as tmp:
        db = args.db or os.path.join(tmp, "chains.parquet")
        if args.db is None:
            subprocess.run([sys.executable, "-m", "dovelkit", "db", "create", db, *files, "-q"], check=True, env=env)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        server = subprocess.Popen([sys.executable, "-m", "dovelkit", "serve", db, "--port", str(port),
                                   "--workers", str(args.workers)], env=env, start_new_session=True)
        base = f"http://127.0.0.1:{port}"
        try:
            for _ in range(300):
                try:
                    urllib.request.urlopen(base + "/api/health", timeout=2)
                    break
                except OSError:
                    time.sleep(0.2)
            queries = files[:: max(1, len(files) // args.queries)][: args.queries]
            cmd_t: list[float] = []
            api_t: list[float] = []
            for q in queries:
                data = open(q, "rb").read()
                for _ in range(args.repeats):
                    t = time.perf_counter()
                    out = subprocess.run([sys.executable, "-m", "dovelkit", "search", "--json", f"--{args.level}",
                                          "--workers", str(args.workers), q, db],
                                         check=True, capture_output=True, env=env).stdout
                    cmd_t.append(time.perf_counter() - t)
                    body, ctype = multipart(os.path.basename(q), data, level=args.level)
                    t = time.perf_counter()
                    request = urllib.request.Request(base + "/api/search", data=body, headers={"Content-Type": ctype})
                    got = json.load(urllib.request.urlopen(request, timeout=600))
                    api_t.append(time.perf_counter() - t)
                    if got["hits"] != json.loads(out)["hits"]:
                        raise SystemExit(f"{q}: the API's hits differ from the command's")
            entries = json.load(urllib.request.urlopen(base + "/api/databases"))["databases"][0]["entries"]
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
    cm, am = statistics.median(cmd_t), statistics.median(api_t)
    print(f"database: {entries} entries; {len(queries)} queries x {args.repeats}; level {args.level}; "
          f"--workers {args.workers}; load average {os.getloadavg()[0]:.1f}")
    print(f"command (start to exit): median {cm:.3f} s  [{min(cmd_t):.3f} .. {max(cmd_t):.3f}]")
    print(f"API (request to answer): median {am:.3f} s  [{min(api_t):.3f} .. {max(api_t):.3f}]")
    print(f"API minus command: {am - cm:+.3f} s per search (goal: at most +0.2 s); hits equal field by field")


if __name__ == "__main__":
    main()
