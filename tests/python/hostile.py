"""What the hostile-server tests share: a measure of peak memory growth and scripted servers that
answer each query with given steps."""

import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import unittest

from wire import TESTS_DIR, hooks, string, varint

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import Block, Column  # noqa: E402
from chserver.frames import encode_frame  # noqa: E402

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


def serve(steps, hello=None, timeout=30, conn_timeout=10):
    """A server that answers each query with the next of `steps` (after `hello`); `timeout` is its
    global deadline, `conn_timeout` how long one receive or send of its connection may take (see
    ScriptedServer)."""
    def scenario(conn):
        conn.hello(**(hello or {}))
        try:
            for step in steps:
                step(conn)
            conn.wait_closed(10)
        except (OSError, ConnectionError):
            pass  # the client gave up on the response, as it should

    return ScriptedServer(scenario, timeout=timeout, conn_timeout=conn_timeout)


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


def _low_cardinality_packet(width, rows=65536, lz4=False):
    """The Data packet of low_cardinality_response (in an LZ4 frame with `lz4`)."""
    indexes = b"".join((i % 300).to_bytes(width, "little") for i in range(rows))
    body = lc_string_body([f"k{i:06}" for i in range(300)], indexes, width)
    return sp.data(Block([Column("c", "LowCardinality(String)", raw=body)], rows=rows),
                   method=0x82 if lz4 else None)


def side_block_after_data_response(packet, kept=511, side=None, lz4=False):
    """`kept` LowCardinality(String) blocks with 8-byte indexes (at 511 the data and what it holds
    beside are both a block short of their limits), then a wide `packet` ("TOTALS", "EXTREMES",
    "LOG" or "PROFILE_EVENTS": 256,000,000 decoded bytes, near the 256 MiB such a block may hold),
    then two more Data blocks, the first of which crosses. The client's Cancel comes once all are
    sent. `side` names another shape of the wide block (a function of _SIDE_BLOCKS); with `lz4`
    every block goes in LZ4 frames."""
    def step(conn):
        conn.expect_query()
        data = _low_cardinality_packet(8, lz4=lz4)
        for _ in range(kept):
            conn.sock.sendall(data)
        if side is None:
            _send_wide_block(conn.sock, getattr(sp, packet), bytes(64_000_000))
        else:
            conn.sock.sendall(varint(getattr(sp, packet)) + string(""))
            for part in _SIDE_BLOCKS[side](lz4):
                conn.sock.sendall(part)
        conn.sock.sendall(data + data + sp.end_of_stream())
        conn.expect_cancel()

    return step


# Frames made once and kept in the build tree, beside the test-only extension's directory.
FRAME_CACHE = os.path.join(os.path.dirname(os.path.dirname(hooks.__file__)), "test-frames")


def _cached_frame(payload):
    """encode_frame(payload) with literals only, kept in a file named by the payload's digest: a
    frame near the 64 MiB cap takes the pure-Python checksum several seconds."""
    path = os.path.join(FRAME_CACHE, hashlib.sha256(payload).hexdigest()[:32])
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        pass
    frame = encode_frame(payload, lz4_matches=False)
    os.makedirs(FRAME_CACHE, exist_ok=True)
    with tempfile.NamedTemporaryFile(dir=FRAME_CACHE, delete=False) as f:
        f.write(frame)
    os.replace(f.name, path)
    return frame


def _column(type_name, body):
    return string("s") + string(type_name) + b"\x00" + body


def _four_strings(lz4, head=b"\x00\x04\x04"):
    """The parts of a block of four String columns named "s" of four values each, the first 16
    bytes shorter than the rest (so that doubling from it falls short of the whole). Plain: values
    of 16,774,996 bytes, 268.4 MB decoded. In LZ4: values of 16,674,996 bytes, 266.8 MB, in frames
    of literals only, the header, first record and value alone, then three alike near the 64 MiB
    cap (three values, a record, a value), then the last three values; each checksummed once."""
    size = 16_674_996 if lz4 else 16_774_996
    value = varint(size) + bytes(size)
    first = _column("String", varint(size - 16) + bytes(size - 16))
    if not lz4:
        return [head, first + value * 3] + [_column("String", value * 4)] * 3
    middle = _cached_frame(value * 3 + _column("String", value))
    return [_cached_frame(head + first)] + [middle] * 3 + [_cached_frame(value * 3)]


def _uint8_columns(lz4):
    """The parts of a block of 33 UInt8 columns named "s" of 8,134,000 rows, 268,422,000 bytes
    decoded; in LZ4, the header alone, then frames of literals only of 8 columns (65 MB) each."""
    head = b"\x00" + varint(33) + varint(8_134_000)
    column = _column("UInt8", bytes(8_134_000))
    if not lz4:
        return [head] + [column] * 33
    return ([encode_frame(head)] + [_cached_frame(column * 8)] * 4 + [_cached_frame(column)])


_SIDE_BLOCKS = {"four_strings": _four_strings, "uint8_columns": _uint8_columns}


def strings_stream_response(blocks):
    """`blocks` Data blocks of _four_strings, in LZ4 frames when the query asks for compression."""
    def step(conn):
        conn.expect_query()
        packet = varint(sp.DATA) + string("") + b"".join(_four_strings(conn.compression))
        for _ in range(blocks):
            conn.sock.sendall(packet)
        conn.sock.sendall(sp.end_of_stream())

    return step


def warm_response(refused):
    """A Data block of two String columns in the frames of _four_strings, near the 64 MiB cap: the
    frame buffer goes back to the client's pool once the block is read (or refused: the client's
    Cancel comes then)."""
    def step(conn):
        conn.expect_query()
        parts = _four_strings(True, head=b"\x00\x02\x04")
        conn.sock.sendall(varint(sp.DATA) + string("") + b"".join(parts[:2] + parts[-1:]))
        conn.sock.sendall(sp.end_of_stream())
        if refused:
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


# What both child scripts read their memory figures with: a field of /proc/self/status, in KiB.
_KIB = textwrap.dedent("""
    def kib(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
""")

# Runs one query in a fresh process and prints how far its peak resident set grew.
PEAK_CHILD = _KIB + textwrap.dedent("""
    import sys
    from tarnwick._native import _Client

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


def _apart(steps, body, timeout, serve_args=""):
    """Runs `body` (Python text, indented into a with-block where `srv` serves `steps`, calls of
    this module's step functions as text; `serve_args` more arguments of serve, as text) in a
    process of its own: sending that much from this one leaves its allocator holding memory in ways
    that the tests measuring it later would see. Returns what it printed."""
    script = ("import sys, subprocess\n"
              "import hostile as h\n"
              f"with h.serve([{', '.join('h.' + step for step in steps)}], hello=h.PLAIN"
              f"{serve_args}) as srv:\n"
              + body)
    out = subprocess.run([sys.executable, "-c", script], cwd=os.path.dirname(__file__),
                         capture_output=True, text=True, timeout=timeout)
    if out.returncode != 0:
        raise AssertionError(out.stdout[-1000:] + out.stderr[-2000:])
    return out.stdout


def peak_apart(steps, then=None):
    """peak_child at the default limit against a server that runs `steps`, in a process of its own
    (see _apart)."""
    stdout = _apart(steps, f"    stdout, growth = h.peak_child(srv, limit=None, then={then!r})\n"
                           "print(stdout, 'growth', growth)\n", timeout=300)
    return stdout, int(stdout.split("growth")[-1])


# The counting allocator (tests/binding/alloc_peak.c), built beside the test-only extension.
ALLOC_PEAK = os.path.join(os.path.dirname(hooks.__file__), "libtarnwick_alloc_peak.so")

# Runs one query in a fresh process under the counting allocator (after a first one that warms
# the connection's buffer pool, when asked; streamed to a slow consumer, when asked) and prints
# how far its peak resident set and the peak of what it asked of the allocator grew while it ran,
# from where they stood before both.
ASKED_CHILD = _KIB + textwrap.dedent("""
    import ctypes, sys, time
    from tarnwick._native import _Client

    counts = ctypes.CDLL(sys.argv[5])
    counts.tarnwick_alloc_peak.restype = ctypes.c_size_t
    counts.tarnwick_alloc_reset_peak.restype = ctypes.c_size_t

    c = _Client(sys.argv[1], compression=sys.argv[2] or None, max_response_size=int(sys.argv[3]))
    # Counted from before the first query, so that what the pool keeps from it counts as well.
    start = kib("VmRSS")
    asked = counts.tarnwick_alloc_reset_peak()
    if sys.argv[4] == "warm":
        try:
            c.query("SELECT w")
        except ValueError:
            pass  # refused for its size, its buffers went back to the pool all the same
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    counts.tarnwick_alloc_reset_peak()
    if sys.argv[4] == "stream":  # a slow consumer: the reader thread reads ahead meanwhile
        for block in c.query_stream("SELECT d"):
            time.sleep(1.0)
            print("streamed", len(block))
            del block
    else:
        try:
            c.query("SELECT d")
            print("accepted")
        except ValueError as e:
            print("refused", str(e)[:200])
    print("resident", (kib("VmHWM") - start) * 1024)
    print("asked", counts.tarnwick_alloc_peak() - asked)
    print("next", c.query_tuples("SELECT x"))
""")


def asked_apart(steps, compression, limit, warm, mode=None):
    """ASKED_CHILD against a server, in a process of its own, that runs `steps` (calls of this
    module's step functions, as text; with `warm` warm_response first, then those, then
    answer_two); `mode` "stream" streams the answer. Returns the child's output, and how far its
    peak resident set and the peak of what it asked of the allocator grew. Sending and reading
    hundreds of MiB is slow on a loaded machine (one short of memory above all), so the server's
    time-outs bound a hang only: 540 s for the whole exchange (below the child's 600 s) and 120 s
    for one receive or send."""
    steps = ([f"warm_response({limit < 140_000_000})"] if warm else []) + steps + ["answer_two"]
    stdout = _apart(steps,
                    "    out = subprocess.run([sys.executable, '-c', h.ASKED_CHILD,\n"
                    f"        f'127.0.0.1:{{srv.port}}', {compression!r}, '{limit}',\n"
                    f"        {mode or ('warm' if warm else 'cold')!r}, h.ALLOC_PEAK],\n"
                    "        env=dict(h.os.environ, LD_PRELOAD=h.ALLOC_PEAK),\n"
                    "        capture_output=True, text=True, timeout=600)\n"
                    "print(out.stdout, out.stderr[-2000:])\n", timeout=900,
                    serve_args=", timeout=540, conn_timeout=120")
    if "asked" not in stdout:
        raise AssertionError(stdout[-3000:])
    figures = dict(line.split()[:2] for line in stdout.splitlines()
                   if line.startswith(("resident", "asked")))
    return stdout, int(figures["resident"]), int(figures["asked"])
