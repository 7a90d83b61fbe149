"""What the hostile-server tests share: a measure of peak memory growth and scripted servers that
answer each query with given steps."""

import os
import struct
import subprocess
import sys
import textwrap
import unittest

from wire import TESTS_DIR, string, varint

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import Block, Column  # noqa: E402

MIB = 1 << 20


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class PeakRss:
    """Growth of this process's peak resident set while the block runs, in bytes: the peak is
    reset first (clear_refs 5), so earlier tests do not count."""

    def __enter__(self):
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError as e:
            raise unittest.SkipTest(f"peak RSS cannot be reset here: {e}")
        self.start = _status_kib("VmRSS") * 1024
        return self

    def __exit__(self, *exc):
        self.growth = _status_kib("VmHWM") * 1024 - self.start
        return False


def serve(steps, hello=None):
    def scenario(conn):
        conn.hello(**(hello or {}))
        try:
            for step in steps:
                step(conn)
            conn.wait_closed(10)
        except (OSError, ConnectionError):
            pass  # the client gave up on the response, as it should

    return ScriptedServer(scenario, timeout=30)


PLAIN = {"send_chunked": False, "recv_chunked": False}



def send_all(*packets, repeat=1, eos=True):
    """A step that answers the query with `packets` (each sent as it is, not recorded) `repeat`
    times over."""
    def step(conn):
        conn.expect_query()
        for _ in range(repeat):
            for packet in packets:
                conn.sock.sendall(packet)
        if eos:
            conn.sock.sendall(sp.end_of_stream())

    return step


def _send_wide_block(sock, packet_type, zeros):
    """A packet of `packet_type` whose block has four UInt64 columns of 8,000,000 rows:
    256,000,000 decoded bytes, sent from one buffer of 64,000,000 zeros."""
    sock.sendall(varint(packet_type) + string("") + b"\x00" + varint(4) + varint(8_000_000))
    for name in "abcd":
        sock.sendall(string(name) + string("UInt64") + b"\x00")
        sock.sendall(zeros)


def two_wide_blocks_response(conn):
    """Two wide Data blocks of 256,000,000 decoded bytes each. The client's Cancel comes once both
    are sent."""
    conn.expect_query()
    zeros = bytes(64_000_000)
    for _ in range(2):
        _send_wide_block(conn.sock, sp.DATA, zeros)
    conn.sock.sendall(sp.end_of_stream())
    conn.expect_cancel()


def answer_two(conn):
    conn.expect_query()
    conn.send_data(Block([Column("x", "UInt8", raw=b"\x02")], rows=1))
    conn.send_eos()


def lc_string_body(keys, indexes, width=1):
    """A LowCardinality(String) body: key version, flags (indexes `width` bytes wide, additional
    keys), the dictionary of `keys`, then the row count and `indexes`, `width` bytes each."""
    return (struct.pack("<QQQ", 1, 0x200 | (width.bit_length() - 1), len(keys))
            + b"".join(map(string, keys)) + struct.pack("<Q", len(indexes) // width) + indexes)


def low_cardinality_response(width, blocks, rows=65536):
    """`blocks` blocks of `rows` rows of LowCardinality(String), each with a dictionary of its own
    of 300 keys of 7 bytes (8 bytes a row expanded) and indexes `width` bytes wide. The client's
    Cancel comes once all are sent."""
    return _then_cancel(send_all(_low_cardinality_packet(width, rows), repeat=blocks))


def _low_cardinality_packet(width, rows=65536):
    """The Data packet of low_cardinality_response."""
    indexes = b"".join((i % 300).to_bytes(width, "little") for i in range(rows))
    body = lc_string_body([f"k{i:06}" for i in range(300)], indexes, width)
    return sp.data(Block([Column("c", "LowCardinality(String)", raw=body)], rows=rows))


def side_block_after_data_response(packet, kept=511):
    """`kept` LowCardinality(String) blocks with 8-byte indexes (at 511 the data and what it holds
    beside are both a block short of their limits), then a wide `packet` ("TOTALS", "EXTREMES",
    "LOG" or "PROFILE_EVENTS": 256,000,000 decoded bytes, near the 256 MiB such a block may hold),
    then two more Data blocks, the first of which crosses. The client's Cancel comes once all are
    sent."""
    def step(conn):
        conn.expect_query()
        data = _low_cardinality_packet(8)
        for _ in range(kept):
            conn.sock.sendall(data)
        _send_wide_block(conn.sock, getattr(sp, packet), bytes(64_000_000))
        conn.sock.sendall(data + data + sp.end_of_stream())
        conn.expect_cancel()

    return step


def one_byte_blocks_response(blocks):
    """`blocks` blocks of one UInt8 column of one row; the client's Cancel comes once all are
    sent."""
    block = Block([Column("c", "UInt8", raw=b"\x01")], rows=1)
    return _then_cancel(send_all(sp.data(block), repeat=blocks))


def _then_cancel(step):
    def then_cancel(conn):
        step(conn)
        conn.expect_cancel()

    return then_cancel


def wide_tuple_types_response(conn):
    """A block of four columns and no rows whose types are 16 MiB Tuple(UInt8, ...) texts."""
    conn.expect_query()
    name = "Tuple(" + ", ".join(["UInt8"] * ((16777215 - 7) // 7)) + ")"
    conn.send_data(Block([Column("d", name, raw=b"")] * 4, rows=0))
    conn.send_eos()


# Runs one query in a fresh process and prints how far its peak resident set grew.
PEAK_CHILD = textwrap.dedent("""
    import sys
    from tarnwick._native import _Client

    def kib(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])

    limit = {"max_response_size": int(sys.argv[3])} if sys.argv[3] else {}
    c = _Client(sys.argv[1], compression=sys.argv[2] or None, **limit)
    start = kib("VmRSS")
    try:
        getattr(c, sys.argv[4])("SELECT d")
        print("accepted")
    except ValueError as e:
        text = str(e)  # may quote a whole type text: its ends suffice
        print("refused", text[:200], "...", text[-200:])
    growth = (kib("VmHWM") - start) * 1024
    if len(sys.argv) > 5:  # a query the same client runs next
        print("next", c.query_tuples(sys.argv[5]))
    print("growth", growth)
""")


def peak_child(srv, compression="", limit=1 << 30, method="query", then=None):
    """Runs PEAK_CHILD against `srv` (`limit` None: the default max_response_size), calling
    `method` (`then`, a query to run next); returns its output and how far its peak resident set
    grew."""
    out = subprocess.run(
        [sys.executable, "-c", PEAK_CHILD, f"127.0.0.1:{srv.port}", compression,
         "" if limit is None else str(limit), method] + ([then] if then else []),
        capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise AssertionError(out.stderr)
    return out.stdout, int(out.stdout.split("growth")[-1])


def peak_apart(steps, then=None):
    """peak_child at the default limit against a server that runs `steps` (calls of this module's
    step functions, as text) in a process of its own as well: sending that much from this one
    leaves its allocator holding memory in ways that the tests measuring it later would see."""
    script = ("import hostile as h\n"
              f"with h.serve([{', '.join('h.' + step for step in steps)}], hello=h.PLAIN) as srv:\n"
              f"    stdout, growth = h.peak_child(srv, limit=None, then={then!r})\n"
              "print(stdout, 'growth', growth)\n")
    out = subprocess.run([sys.executable, "-c", script], cwd=os.path.dirname(__file__),
                         capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise AssertionError(out.stderr[-2000:])
    return out.stdout, int(out.stdout.split("growth")[-1])
