"""tarnwick against Debian's python3-clickhouse-driver (the peer) on identical server answers.

    python3.12 bench/peer_bench.py --build build-bench [--rows N] [--rss-rows N] [--repeat R]

The answers come from bench/replay (tarnwick_replay_server, built with -DTARNWICK_BUILD_BENCH=ON),
which prepares each data set once and replays it to every client, so the server is not what is
measured; at the default revision (54453, the one the peer announces) both clients get the same
bytes. Each client runs in processes of its own (tarnwick under this interpreter, the peer under
pyenv's Python 3.11 with Debian's package directory on its path, so that a ratio compares the
clients and not two builds of the interpreter), one process per case and compression, and reports
its best time of R
runs, its peak RSS and a digest of the values it decoded (for inserts: the server's digest of the
values it received); every ratio line says whether the two digests agree. scripts/peer_bench.sh
installs the peer and builds everything first."""

import argparse
import glob
import hashlib
import json
import os
import resource
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"


def peer_python():
    """pyenv's newest 3.11 (the version Debian's peer package is built for); TARNWICK_PEER_PYTHON
    names another."""
    if os.environ.get("TARNWICK_PEER_PYTHON"):
        return os.environ["TARNWICK_PEER_PYTHON"]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(os.path.join(root, "versions", "3.11.*", "bin", "python3.11")),
                   key=lambda p: [int(x) for x in p.split("/")[-3].split(".")])
    if not found:
        raise SystemExit(f"no Python 3.11 under {root}/versions; set TARNWICK_PEER_PYTHON")
    return found[-1]


MIXED = [("id", "UInt64"), ("s", "String"), ("x", "Float64"), ("t", "DateTime"),
         ("ns", "Nullable(String)")]
NAMES = [name for name, _ in MIXED]

# case: (data set, what is timed, target ratio against the peer)
CASES = {
    "u64_lists": ("u64", "one UInt64 column as a list", 0.6),
    "u64_tuples": ("u64", "one UInt64 column as row tuples", None),
    "mixed_tuples": ("mixed", "five mixed columns as row tuples", 0.8),
    "mixed_dicts": ("mixed", "five mixed columns as row dicts", 0.6),
    "stream_dicts": ("mixed", "streamed rows, each made a dict", 0.7),
    "insert": ("insert", "insert of row dicts (five mixed columns)", 0.35),
}
# One column each, as one list (query_columns) and as row tuples: Date of 40,000 days,
# LowCardinality(String) and LowCardinality(Nullable(String)) of 1,000 keys, and for comparison
# DateTime and String with every value distinct.
for _set, _what, _lists, _tuples in (("date", "Date, 40,000 days", 0.5, 0.5),
                                     ("lc", "LowCardinality(String), 1,000 keys", 0.6, 0.6),
                                     ("lcn", "LowCardinality(Nullable(String))", 0.6, 0.6),
                                     ("datetime", "DateTime, all distinct", None, None),
                                     ("string", "String, all distinct", None, None)):
    CASES[_set + "_lists"] = (_set, _what + " as a list", _lists)
    CASES[_set + "_tuples"] = (_set, _what + " as row tuples", _tuples)


def query(data_set, rows):
    return f"/*case:{data_set} rows:{rows}*/ SELECT * FROM replay /*end*/"


INSERT_QUERY = "/*case:insert*/ INSERT INTO replay VALUES /*end*/"
DIGEST_QUERY = "/*case:last_insert*/ SELECT digest FROM replay /*end*/"


def insert_rows(rows):
    """The rows both clients insert: the same values, made before the clock starts."""
    out = []
    for i in range(rows):
        r = (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        out.append({"id": r, "s": "s%d" % (r % 100000), "x": (r >> 11) / 9007199254740992.0,
                    "t": 1500000000 + r % 300000000, "ns": None if r % 5 == 0 else "n%d" % (r % 977)})
    return out


def result_bytes(result):
    """What a result of lists or tuples takes: its containers and every distinct object in them."""
    seen, total = set(), sys.getsizeof(result)
    for item in result:
        total += sys.getsizeof(item) if isinstance(item, (list, tuple)) else 0
        for x in item if isinstance(item, (list, tuple)) else (item,):
            if id(x) not in seen:
                seen.add(id(x))
                total += sys.getsizeof(x)
    return total


def digest(rows):
    """sha256 over the repr of the rows as tuples (columns as one list)."""
    h = hashlib.sha256()
    for start in range(0, len(rows), 65536):
        h.update(repr([tuple(r.values()) if isinstance(r, dict) else r
                       for r in rows[start:start + 65536]]).encode())
    return h.hexdigest()[:16]


# ---- the workers ----------------------------------------------------------------------------------

class Tarnwick:
    def __init__(self, port, lz4):
        from tarnwick._native import _Client, dicts_to_block
        self.client = _Client(f"127.0.0.1:{port}", compression="lz4" if lz4 else None)
        self.dicts_to_block = dicts_to_block

    def u64_lists(self, q):
        return next(iter(self.client.query_columns(q).values()))

    def u64_tuples(self, q):
        return self.client.query_tuples(q)

    mixed_tuples = u64_tuples

    def mixed_dicts(self, q):
        return self.client.query(q)

    def stream_dicts(self, q, keep=False):
        kept = []
        for block in self.client.query_stream(q):
            for row in block.rows():
                if keep:
                    kept.append(row)
        return kept

    def insert(self, rows):
        self.client.insert(INSERT_QUERY, "", [self.dicts_to_block(rows, MIXED)])

    def scalar(self, q):
        return self.client.query_tuples(q)[0][0]


class Peer:
    def __init__(self, port, lz4):
        from clickhouse_driver import Client
        self.client = Client("127.0.0.1", port=port, compression="lz4" if lz4 else False)

    def u64_lists(self, q):
        return self.client.execute(q, columnar=True)[0]

    def u64_tuples(self, q):
        return self.client.execute(q)

    mixed_tuples = u64_tuples

    def mixed_dicts(self, q):
        return [dict(zip(NAMES, row)) for row in self.client.execute(q)]

    def stream_dicts(self, q, keep=False):
        kept = []
        for row in self.client.execute_iter(q):
            row = dict(zip(NAMES, row))
            if keep:
                kept.append(row)
        return kept

    def insert(self, rows):
        self.client.execute(INSERT_QUERY, rows)

    def scalar(self, q):
        return self.client.execute(q)[0][0]


def worker(args):
    client = (Tarnwick if args.worker == "tarnwick" else Peer)(args.port, args.lz4)
    data_set = CASES[args.case][0]
    if args.case == "insert":
        rows = insert_rows(args.rows)
        run = lambda: client.insert(rows)  # noqa: E731
    else:
        q = query(data_set, args.rows)
        method = getattr(client, args.case, None) or getattr(
            client, "u64_lists" if args.case.endswith("_lists") else "u64_tuples")
        run = lambda: method(q)  # noqa: E731
    base_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    result = None
    for _ in range(args.repeat):
        result = None  # free the previous result outside the timed span
        t0 = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - t0)
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    size_kb = result_bytes(result) // 1024 if args.sizes else None
    if args.case == "insert":
        check = client.scalar(DIGEST_QUERY)
    elif args.case == "stream_dicts":
        result = None
        check = digest(client.stream_dicts(q, keep=True))
    elif args.case.endswith("_lists"):
        check = digest(list(result))
    else:
        check = digest(result)
    print(json.dumps({"time": min(times), "digest": check, "peak_kb": peak_kb, "size_kb": size_kb,
                      "base_kb": base_kb}))


# ---- the driver -----------------------------------------------------------------------------------

def run_worker(who, case, rows, lz4, port, repeat, env, sizes=False):
    python = sys.executable
    if who == "peer":
        python = peer_python()
        env = dict(env, PYTHONPATH=os.pathsep.join([env["PYTHONPATH"], DEBIAN_PACKAGES]))
    cmd = [python, os.path.abspath(__file__), "--worker", who, "--case", case, "--rows", str(rows),
           "--port", str(port), "--repeat", str(repeat)] + (["--lz4"] if lz4 else []) + (
               ["--sizes"] if sizes else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=1800)
    if out.returncode != 0:
        raise SystemExit(f"{who} {case} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def tolist_floor(rows, repeat):
    """The interpreter's own floor for one UInt64 column: array('Q').tolist() of as many values."""
    from array import array
    values = array("Q", range(rows))
    best = min(time_once(values.tolist) for _ in range(repeat))
    return best


def time_once(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--rss-rows", type=int, default=5_000_000)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--revision", type=int, default=54453,
                   help="the replay server's revision; the negotiated one is the smaller of it "
                        "and each client's, so the default (the peer's own) gives both clients "
                        "the same bytes")
    p.add_argument("--cases", default=",".join(CASES))
    p.add_argument("--compression", default="none,lz4", help="none, lz4 or both (none,lz4)")
    p.add_argument("--worker", choices=("tarnwick", "peer"))
    p.add_argument("--case")
    p.add_argument("--port", type=int)
    p.add_argument("--lz4", action="store_true")
    p.add_argument("--sizes", action="store_true")
    args = p.parse_args()
    if args.worker:
        return worker(args)

    bench = os.path.join(os.path.abspath(args.build), "bench")
    env = dict(os.environ, TZ="UTC",
               TARNWICK_CITYHASH_SHIM=os.path.join(bench, "libtarnwick_cityhash_shim.so"),
               PYTHONPATH=os.pathsep.join([os.path.join(os.path.abspath(args.build), "python"),
                                           os.path.join(ROOT, "bench", "peer_shim")]))
    server = subprocess.Popen([os.path.join(bench, "tarnwick_replay_server"),
                               "--revision", str(args.revision)],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        peer_version = subprocess.run(
            [peer_python(), "-c", "import sys, clickhouse_driver as d; "
             "print(d.__version__, sys.version.split()[0])"],
            env=dict(env, PYTHONPATH=DEBIAN_PACKAGES), capture_output=True, text=True,
            check=True).stdout.split()
        print(f"tarnwick on Python {sys.version.split()[0]} ({sys.executable}); "
              f"peer clickhouse-driver {peer_version[0]} on Python {peer_version[1]} "
              f"({peer_python()}); {args.rows} rows, best of {args.repeat}; "
              f"replay server revision {args.revision}")
        results = {}
        for case in args.cases.split(","):
            for lz4 in [c == "lz4" for c in args.compression.split(",")]:
                t = run_worker("tarnwick", case, args.rows, lz4, port, args.repeat, env)
                o = run_worker("peer", case, args.rows, lz4, port, args.repeat, env)
                results[case, lz4] = t
                target = CASES[case][2]
                same = "same values" if t["digest"] == o["digest"] else (
                    f"VALUES DIFFER ({t['digest']} vs {o['digest']})")
                print(f"{case:15s} {'lz4 ' if lz4 else 'none'}  tarnwick {t['time']:7.3f} s  "
                      f"peer {o['time']:7.3f} s  ratio {t['time'] / o['time']:5.2f}x"
                      f"{f' (target <= {target})' if target else '':20s} {same}", flush=True)
        if ("u64_lists", False) in results:
            floor = tolist_floor(args.rows, args.repeat)
            print(f"u64_lists against array('Q').tolist() ({floor:.3f} s): "
                  f"{results['u64_lists', False]['time'] / floor:.2f}x (target <= 1.05)")
        for case, target in (("u64_lists", 1.25), ("mixed_tuples", 1.25), ("insert", 1.5)):
            if (case, False) in results and (case, True) in results:
                ratio = results[case, True]["time"] / results[case, False]["time"]
                print(f"{case}: tarnwick lz4 / none {ratio:.2f}x (target <= {target})")
        if args.rss_rows:
            for case in ("mixed_tuples", "stream_dicts", "lc_lists", "lc_tuples", "lcn_tuples"):
                if case not in args.cases.split(","):
                    continue
                sizes = case.startswith("lc")  # the objects of a result with few distinct values
                t = run_worker("tarnwick", case, args.rss_rows, False, port, 1, env, sizes)
                o = run_worker("peer", case, args.rss_rows, False, port, 1, env, sizes)
                grow = lambda r: (r["peak_kb"] - r["base_kb"]) / 1024  # noqa: E731
                size = (f"; the result itself: tarnwick {t['size_kb'] / 1024:.0f} MB, peer "
                        f"{o['size_kb'] / 1024:.0f} MB" if sizes else "")
                print(f"peak RSS growth, {case}, {args.rss_rows} rows: tarnwick "
                      f"{grow(t):.0f} MB, peer {grow(o):.0f} MB{size} "
                      f"({'same values' if t['digest'] == o['digest'] else 'VALUES DIFFER'})")
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
