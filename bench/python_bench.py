"""Python-layer benchmark of tarnwick._native against the scripted server on loopback.

    PYTHONPATH=build/python python3.12 bench/python_bench.py [--rows N] [--repeat R]

The server's answers are encoded once before timing and replayed as raw bytes, and inserts are
drained with recv_into, so the Python server is not what is measured. Every ratio comes from one
run on one machine; the best of R runs is reported. A target set against the peer client's time
is printed beside its measurement and checked by scripts/peer_bench.sh. Standard library only."""

import argparse
import datetime
import gc
import os
import socket
import sys
import threading
import time
from array import array
from functools import partial

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "server", "scripted"))
from chserver import Block, ClientClosed, Column, ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import EMPTY_BLOCK  # noqa: E402
from chserver.wire import string, u64 as word  # noqa: E402

from tarnwick._native import _Client, dicts_to_block  # noqa: E402

REVISION = 54483
BLOCK_ROWS = 65536  # a server's usual block size
STALL_SECONDS = 1.0
INSERT_COLUMNS = [("id", "UInt64"), ("n", "Int32"), ("x", "Float64"), ("y", "Float64"),
                  ("s", "String")]


def best(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        result = None  # free the previous result outside the timed span
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def best_alternating(fns, repeat):
    """The best time of each of `fns`, run in turn, so that a change of load weighs on all alike."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for spent, fn in zip(times, fns):
            spent.append(best(fn, 1)[0])
    return [min(spent) for spent in times]


def data_packets(columns, rows):
    """Data packets of `columns` [(name, type, values)] split into blocks, plus EndOfStream; the
    values an array, or a function of a block's first and end row giving its body."""
    out = bytearray()
    for start in range(0, rows, BLOCK_ROWS):
        end = min(rows, start + BLOCK_ROWS)
        cols = [Column(name, type_, raw=values(start, end) if callable(values)
                       else values[start:end].tobytes())
                for name, type_, values in columns]
        out += sp.data(Block(cols, end - start), "", None, REVISION)
    return bytes(out + sp.end_of_stream())


def list_packets(rows, width):
    """Data packets of one Array(UInt8) column of `width` elements a row, plus EndOfStream."""
    def body(start, end):
        n = end - start
        offsets = array("Q", range(width, width * n + 1, width)).tobytes()
        return offsets + (bytes(range(256)) * (width * n // 256 + 1))[:width * n]

    return data_packets([("v", "Array(UInt8)", body)], rows)


def collector_paused(fn):
    """`fn` with automatic collection off while it runs: what a conversion that never checks
    signals costs, the collection that falls due running after it either way."""
    def run():
        gc.disable()
        try:
            return fn()
        finally:
            gc.enable()

    return run


def collections_in(fn):
    """The collections of each generation that start while `fn` runs, after a full one."""
    starts = [0, 0, 0]

    def count(phase, info):
        if phase == "start":
            starts[info["generation"]] += 1

    gc.collect()
    gc.callbacks.append(count)
    try:
        fn()
    finally:
        gc.callbacks.remove(count)
    return starts


def key_of(i, nullable):
    """Row i's text of 1,000 keys, as peer_bench's data sets have it (for Nullable, NULL at 0)."""
    return None if nullable and i % 1000 == 0 else str(i % 1000)


def low_cardinality_body(start, end, nullable):
    """Rows [start, end) of LowCardinality(String) (or of Nullable(String)) as the server lays
    them out: key version, flags (UInt16 indexes), the dictionary (the default first, NULL's
    stand-in before it), the index count and the indexes."""
    first = 2 if nullable else 1
    keys = [""] * first + [str(k) for k in range(1000)]
    indexes = array("H", (0 if key_of(i, nullable) is None else first + i % 1000
                          for i in range(start, end)))
    return (word(1) + word(0x601) + word(len(keys)) + b"".join(string(k) for k in keys)
            + word(end - start) + indexes.tobytes())


def drain_insert(conn):
    """Reads the client's insert blocks without parsing them, up to the closing empty block."""
    buf = bytearray(1 << 22)
    view = memoryview(buf)
    tail = b""
    while True:
        n = conn.sock.recv_into(view)
        if n == 0:
            raise ClientClosed("client closed during the insert")
        tail = (tail + bytes(view[max(0, n - 32):n]))[-32:]
        if tail.endswith(EMPTY_BLOCK):
            return


def make_scenario(answers):
    def scenario(conn):
        conn.hello(revision=REVISION, send_chunked="notchunked", recv_chunked="notchunked")
        conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 22)
        while True:
            try:
                q = conn.expect_query()
            except ClientClosed:
                return
            if q.text.startswith("INSERT"):
                conn.send_data([(name, type_, []) for name, type_ in INSERT_COLUMNS])
                drain_insert(conn)
                conn.send_eos()
            else:
                if q.text == "SELECT stall":
                    conn.stall(STALL_SECONDS)
                # Straight to the socket: the record would copy every answer under the GIL.
                conn.sock.sendall(answers[q.text])

    return scenario


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rows, repeat = args.rows, args.repeat

    u64 = array("Q", ((i * 0x9E3779B97F4A7C15) & (2**64 - 1) for i in range(rows)))
    f64 = array("d", (i * 0.37 + 0.1 for i in range(rows)))
    i32 = array("i", (i * 7 - rows for i in range(rows)))
    i64 = array("q", (i * 1_000_003 - 2**40 for i in range(rows)))
    f32 = array("f", (i * 0.5 for i in range(rows)))
    five = [("a", "UInt64", u64), ("b", "Int64", i64), ("c", "Int32", i32), ("d", "Float64", f64),
            ("e", "Float32", f32)]
    answers = {
        "SELECT u64": data_packets([("v", "UInt64", u64)], rows),
        "SELECT f64": data_packets([("v", "Float64", f64)], rows),
        "SELECT five": data_packets(five, rows),
        "SELECT stall": data_packets([("v", "UInt64", array("Q", [1]))], 1),
        "SELECT lists": list_packets(rows, 2),
    }
    # One column each, as in peer_bench.py, with the ratio to the peer's time that is wanted.
    epoch = datetime.date(1970, 1, 1)
    dates = [epoch + datetime.timedelta(days=i % 40000) for i in range(rows)]
    single = [
        ("Date", array("H", (i % 40000 for i in range(rows))), dates, "0.5x peer's"),
        ("LowCardinality(String)", lambda s, e: low_cardinality_body(s, e, False),
         [key_of(i, False) for i in range(rows)], "0.6x peer's"),
        ("LowCardinality(Nullable(String))", lambda s, e: low_cardinality_body(s, e, True),
         [key_of(i, True) for i in range(rows)], "0.6x peer's"),
        ("DateTime", array("I", range(1500000000, 1500000000 + rows)),
         [datetime.datetime.fromtimestamp(1500000000 + i) for i in range(rows)], "today's"),
        ("String", lambda s, e: b"".join(string("s%d" % i) for i in range(s, e)),
         ["s%d" % i for i in range(rows)], "today's"),
    ]
    for type_, values, _, _ in single:
        answers["SELECT " + type_] = data_packets([("v", type_, values)], rows)
    table = []

    def row(name, value, target, ok):
        """`ok` None: a target that only scripts/peer_bench.sh can check."""
        status = "peer_bench" if ok is None else "ok" if ok else "MISSED"
        table.append((name, value, target, status))

    with ScriptedServer(make_scenario(answers), timeout=600, conn_timeout=120) as srv:
        client = _Client(f"127.0.0.1:{srv.port}", query_timeout=120.0)
        try:
            # query_columns vs array.tolist of the same values
            for label, code, values, query in (("UInt64", "Q", u64, "SELECT u64"),
                                               ("Float64", "d", f64, "SELECT f64")):
                t_query, result = best(lambda: client.query_columns(query), repeat)
                assert result["v"] == values.tolist(), label
                data = values.tobytes()  # the column bytes the server sent
                t_base, _ = best(lambda: array(code, data).tolist(), repeat)
                ratio = t_query / t_base
                row(f"query_columns {label}: ns/value (array(data).tolist())",
                    f"{t_query / rows * 1e9:.1f} ({t_base / rows * 1e9:.1f}) = {ratio:.2f}x",
                    "<= 1.3x", ratio <= 1.3)

            # Date and LowCardinality: one object per day or key, shared by the rows.
            for type_, _, want, target in single:
                query = "SELECT " + type_
                t_columns, result = best(lambda: client.query_columns(query), repeat)
                assert result["v"] == want, type_
                objects = len(set(map(id, result["v"])))
                t_rows, result = best(lambda: client.query_tuples(query), repeat)
                assert [r[0] for r in result] == want, type_
                result = None
                for how, t in (("query_columns", t_columns), ("query_tuples", t_rows)):
                    row(f"{how} {type_}: ns/value", f"{t / rows * 1e9:.1f}",
                        f"<= {target}", None)
                if type_ == "Date" or type_.startswith("Low"):
                    distinct = len(set(want))
                    row(f"query_columns {type_}: objects (distinct values)",
                        f"{objects} ({distinct})", "<= blocks x distinct",
                        objects <= distinct * -(-rows // BLOCK_ROWS))

            t_tuples, result = best(lambda: client.query_tuples("SELECT five"), repeat)
            assert len(result) == rows and result[-1][0] == u64[-1]
            rate = rows / t_tuples
            row("query_tuples 5 numeric columns: rows/s", f"{rate / 1e6:.2f}M", ">= 3M",
                rate >= 3e6)

            t_dicts, result = best(lambda: client.query("SELECT five"), repeat)
            # The rows of one block share its key objects (not interned, so they go with it).
            first, last = list(result[0]), list(result[min(rows, BLOCK_ROWS) - 1])
            shared = all(a is b for a, b in zip(first, last))
            rate = rows / t_dicts
            row("query (dicts) 5 numeric columns: rows/s", f"{rate / 1e6:.2f}M", ">= 2M",
                rate >= 2e6)
            row("query (dicts): keys shared within a block", str(shared), "True", shared)
            result = None

            # Rows that hold lists, against the same calls with the collector paused
            for label, call in (("query_tuples", client.query_tuples), ("query", client.query),
                                ("query_columns", client.query_columns)):
                fn = partial(call, "SELECT lists")
                if label != "query_columns":
                    t_call, t_paused = best_alternating([fn, collector_paused(fn)], repeat)
                    ratio = t_call / t_paused
                    row(f"{label} Array(UInt8): s (collector paused)",
                        f"{t_call:.3f} ({t_paused:.3f}) = {ratio:.3f}x", "<= 1.03x",
                        ratio <= 1.03)
                n = collections_in(fn)
                row(f"{label} Array(UInt8): collections (young/mid/full)",
                    f"{sum(n)} ({'/'.join(map(str, n))})", "<= 1", sum(n) <= 1)

            # dicts_to_block and insert
            strings = [f"s{i % 5000}-{i}"[:12] for i in range(rows)]
            ids, ns, xs, ys = u64.tolist(), i32.tolist(), f64.tolist(), f32.tolist()
            dicts = [{"id": ids[i], "n": ns[i], "x": xs[i], "y": ys[i], "s": strings[i]}
                     for i in range(rows)]
            t_d2b, block = best(lambda: dicts_to_block(dicts, INSERT_COLUMNS), repeat)
            per_value = t_d2b / (rows * len(INSERT_COLUMNS)) * 1e9
            row("dicts_to_block 5 columns: ns/value", f"{per_value:.1f}", "<= 60",
                per_value <= 60)
            t_insert, _ = best(lambda: client.insert("INSERT INTO t VALUES", "t", [block]),
                               repeat)
            ratio = t_insert / t_d2b
            row("insert of that block: ms (x dicts_to_block)",
                f"{t_insert * 1e3:.1f} ({ratio:.2f}x)", "< 2x", ratio < 2)
            ratio = (t_insert + t_d2b) / t_d2b
            row("dicts_to_block + insert: x dicts_to_block", f"{ratio:.2f}x", "< 2x", ratio < 2)

            # GIL release while the server stalls
            counts = []
            for waiter in (lambda: time.sleep(STALL_SECONDS),
                           lambda: client.query_columns("SELECT stall")):
                stop = threading.Event()
                counter = [0]

                def count():
                    n = 0
                    while not stop.is_set():
                        n += 1
                    counter[0] = n

                thread = threading.Thread(target=count)
                thread.start()
                waiter()
                stop.set()
                thread.join()
                counts.append(counter[0])
            share = counts[1] / max(1, counts[0])
            row(f"GIL: counter during a {STALL_SECONDS:.0f}s stalled query (during sleep)",
                f"{counts[1]} ({counts[0]}) = {share:.2f}", ">= 0.5 of sleep", share >= 0.5)
        finally:
            client.discard()
        srv.wait(30)

    width = max(len(r[0]) for r in table)
    vwidth = max(len(r[1]) for r in table)
    print(f"{rows} rows, best of {repeat}, blocks of {BLOCK_ROWS} rows, Python "
          f"{sys.version.split()[0]}")
    for name, value, target, status in table:
        print(f"{name:<{width}}  {value:>{vwidth}}  {target:<16} {status}")
    return 0 if all(r[3] == "ok" for r in table) else 1


if __name__ == "__main__":
    sys.exit(main())
