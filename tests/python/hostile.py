"""What the hostile-server tests share: a measure of peak memory growth and scripted servers that
answer each query with given steps."""

import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

from wire import TESTS_DIR, hooks, string, varint

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import Block, Column  # noqa: E402
from chserver.chunked import CHUNK_CAP, frame_message  # noqa: E402
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
CHUNKED = {"send_chunked": "chunked", "recv_chunked": "chunked"}


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


def _four_strings(lz4, head=b"\x00\x04\x04", size=16_774_996):
    """The parts of a block of four String columns named "s" of four values each, the first 16
    bytes shorter than the rest (so that doubling from it falls short of the whole). Plain: values
    of `size` bytes, by default 16,774,996 (268.4 MB decoded, the packet just under 256 MiB). In
    LZ4: values of 16,674,996 bytes, 266.8 MB, in frames of literals only, the header, first
    record and value alone, then three alike near the 64 MiB cap (three values, a record, a
    value), then the last three values; each checksummed once."""
    size = 16_674_996 if lz4 else size
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


def _send_together(sock, parts):
    """Sends the byte strings `parts` as one, without joining them: in one system call while the
    socket takes them all."""
    parts = [memoryview(part).cast("B") for part in parts if len(part)]
    while parts:
        sent = sock.sendmsg(parts)
        while parts and sent >= len(parts[0]):
            sent -= len(parts.pop(0))
        if parts:
            parts[0] = parts[0][sent:]


def _send_paced(conn, packet, times=1, cuts=(), pause=0.0, chunk=CHUNK_CAP):
    """Sends `packet` `times` over, then EndOfStream, in chunks of `chunk` bytes when the
    connection's server packets are framed (each packet a message), pausing `pause` seconds
    before each of the packet's offsets `cuts` (ascending). What follows a pause goes out in one
    send with what comes after it up to the next pause: a reader that finds a packet whole after
    a pause finds the next one's bytes right behind it. Sent past the connection's record, which
    would keep every byte."""
    wire, end = packet, sp.end_of_stream()
    if conn.send_chunked:
        wire, end = frame_message(packet, [chunk] * (len(packet) // chunk)), frame_message(end)
    view = memoryview(wire)
    # A payload offset on the wire: past the lengths of the chunks up to the one that holds it.
    ats = [cut + 4 * (cut // chunk + 1) if conn.send_chunked else cut for cut in cuts]
    parts = []
    for _ in range(times):
        start = 0
        for at in ats:
            _send_together(conn.sock, parts + [view[start:at]])
            conn.stall(pause)
            parts, start = [], at
        parts.append(view[start:])
    _send_together(conn.sock, parts + [end])


def strings_stream_response(blocks, pause=0.0, piece=None, size=16_774_996, chunk=MIB):
    """`blocks` Data blocks of _four_strings (values of `size` bytes), in LZ4 frames when the
    query asks for compression, in chunks of `chunk` bytes (a server's 1 MiB write buffer by
    default) when the connection's packets are framed. The server pauses `pause` seconds before
    each packet's last byte, or, with `piece`, sends each packet in pieces of that many bytes,
    `pause` seconds apart."""
    def step(conn):
        conn.expect_query()
        packet = varint(sp.DATA) + string("") + b"".join(_four_strings(conn.compression,
                                                                        size=size))
        cuts = range(piece, len(packet), piece) if piece else [len(packet) - 1] if pause else []
        _send_paced(conn, packet, blocks, cuts, pause, chunk)

    return step


def over_cap_response(pauses=(), chunk=MIB):
    """One Data packet of seven LowCardinality(UInt8) columns of 7,400,000 rows with indexes 8
    bytes wide: 414.4 MB on the wire, past the 335,544,320 bytes a stream's packet may take, while
    its 51.8 MB decoded (66.6 MB a column while it is expanded, its indexes counted) are within
    the block's and the column's bounds. The server pauses 20 ms at each of `pauses`, offsets from
    the packet's end; framed, it sends chunks of `chunk` bytes (a server's 1 MiB write buffer by
    default). The client gives up on the packet, which ends the connection."""
    def step(conn):
        conn.expect_query()
        rows = 7_400_000
        body = (struct.pack("<QQQ", 1, 0x203, 256) + bytes(range(256)) + struct.pack("<Q", rows)
                + bytes(8 * rows))
        packet = (varint(sp.DATA) + string("") + b"\x00" + varint(7) + varint(rows)
                  + _column("LowCardinality(UInt8)", body) * 7)
        _send_paced(conn, packet, 1, [len(packet) - back for back in pauses], 0.02, chunk)

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


def _apart(steps, body, timeout, serve_args="", hello="h.PLAIN"):
    """Runs `body` (Python text, indented into a with-block where `srv` serves `steps`, calls of
    this module's step functions as text; `serve_args` more arguments of serve, `hello` the
    server's Hello, as text) in a process of its own: sending that much from this one leaves its
    allocator holding memory in ways that the tests measuring it later would see. Returns what it
    printed."""
    script = ("import sys, subprocess\n"
              "import hostile as h\n"
              f"with h.serve([{', '.join('h.' + step for step in steps)}], hello={hello}"
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

# The futex system call's number, by machine (None where it is not listed here).
FUTEX = {"x86_64": 202, "aarch64": 98, "riscv64": 98}.get(os.uname().machine)


def reader_observable():
    """Whether a thread sleeping in a futex wait shows here as the held consumer of ASKED_CHILD
    looks for its stream's reader thread (a thread of this process waiting for an event stands in
    for it)."""
    if FUTEX is None:
        return False
    event = threading.Event()
    thread = threading.Thread(target=event.wait)
    thread.start()
    try:
        for _ in range(1000):
            with open(f"/proc/self/task/{thread.native_id}/syscall") as f:
                call = f.read().split()
            if len(call) > 2:  # asleep ("running" is all a thread on a CPU shows)
                return call[0] == str(FUTEX) and (int(call[2], 16) & 0x7F) in (0, 9)
            time.sleep(0.01)
        return False
    except OSError:
        return False
    finally:
        event.set()
        thread.join()


# Runs one query in a fresh process under the counting allocator (after a first one that warms
# the connection's buffer pool, when asked; streamed, when asked: to a slow consumer, to one that
# takes each block once the reader thread waits on the full channel, or to one that takes them
# at once) and prints how far its peak resident set and the peak of what it asked of the
# allocator grew while it ran, from where they stood before both, how many allocations of 1 MiB
# or more it made meanwhile and the largest.
ASKED_CHILD = _KIB + textwrap.dedent("""
    import ctypes, os, sys, time
    from tarnwick._native import _Client

    counts = ctypes.CDLL(sys.argv[5])
    counts.tarnwick_alloc_peak.restype = ctypes.c_size_t
    counts.tarnwick_alloc_reset_peak.restype = ctypes.c_size_t
    counts.tarnwick_alloc_large.restype = ctypes.c_size_t
    counts.tarnwick_alloc_largest.restype = ctypes.c_size_t
    mode, query, then, futex = sys.argv[4], sys.argv[6], sys.argv[7], sys.argv[8]

    def reader_sleeping():
        # The time on a CPU so far (ns) of the stream's reader thread ("ch-query-stream") when
        # it sleeps in a futex wait, else None.
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/comm") as f:
                    if f.read().strip() != "ch-query-stream":
                        continue
                with open(f"/proc/self/task/{task}/syscall") as f:
                    call = f.read().split()
                with open(f"/proc/self/task/{task}/schedstat") as f:
                    ran = int(f.read().split()[0])
            except OSError:
                return None  # the thread has ended
            # FUTEX_WAIT or FUTEX_WAIT_BITSET, whatever the flags: a condition variable's wait.
            waiting = call[0] == futex and (int(call[2], 16) & 0x7F) in (0, 9)
            return ran if waiting else None
        return None

    def wait_until_full(stream):
        # Returns once the reader thread waits for room in the channel, or has ended (at the end
        # of the response or on an error). It waits on no other condition, and nothing gives it
        # room while this consumer takes no block: seen in a futex wait twice, 10 ms apart,
        # without having run between (its time on a CPU unchanged), it is parked there for good,
        # however slowly a busy machine brought it there. 300 s bound a hang only.
        seen, end = None, time.monotonic() + 300
        while not stream.finished and time.monotonic() < end:
            ran = reader_sleeping()
            if ran is not None and ran == seen:
                return
            seen = ran
            time.sleep(0.01)
        if not stream.finished:
            sys.exit("the reader thread was never seen waiting on the full channel")

    c = _Client(sys.argv[1], compression=sys.argv[2] or None, max_response_size=int(sys.argv[3]))
    for statement in sys.argv[9:]:
        c.execute(statement)
    # Counted from before the first query, so that what the pool keeps from it counts as well.
    start = kib("VmRSS")
    asked = counts.tarnwick_alloc_reset_peak()
    if mode == "warm":
        try:
            c.query("SELECT w")
        except ValueError:
            pass  # refused for its size, its buffers went back to the pool all the same
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    counts.tarnwick_alloc_reset_peak()
    counts.tarnwick_alloc_reset_large()
    if mode == "stream":  # a slow consumer: the reader thread reads ahead meanwhile
        for block in c.query_stream(query):
            time.sleep(1.0)
            print("streamed", len(block))
            del block
    elif mode in ("held", "prompt"):
        # Held: the consumer holds one block at a time, and takes the next only once the reader
        # thread holds one more (or has ended): the block it has, one queued, one read, and the
        # packet buffer at its largest, all at once. Prompt: each block is taken as it comes.
        stream, block, columns = c.query_stream(query), None, 0
        try:
            while True:
                if mode == "held":
                    wait_until_full(stream)
                block = None
                block = next(stream)
                columns += block.column_count()
                print("streamed", len(block))
        except StopIteration:
            pass
        except RuntimeError as e:
            print("refused", str(e)[:200])
        print("columns", columns)
        block = None
    else:
        try:
            c.query(query)
            print("accepted")
        except ValueError as e:
            print("refused", str(e)[:200])
    print("resident", (kib("VmHWM") - start) * 1024)
    print("asked", counts.tarnwick_alloc_peak() - asked)
    print("large", counts.tarnwick_alloc_large())
    print("largest", counts.tarnwick_alloc_largest())
    if then:
        print("next", c.query_tuples(then))
""")


def asked_child(addr, compression, limit, mode, query="SELECT d", then="SELECT x", before=()):
    """Runs ASKED_CHILD against `addr` under the counting allocator: the statements `before`,
    then `query` in `mode` ("warm", "cold", or a stream's consumer: "stream", "held", "prompt"),
    then `then` (nothing when empty). Returns what it printed, the end of its errors after it."""
    out = subprocess.run(
        [sys.executable, "-c", ASKED_CHILD, addr, compression, str(limit), mode, ALLOC_PEAK, query,
         then, str(FUTEX), *before],
        env=dict(os.environ, LD_PRELOAD=ALLOC_PEAK), capture_output=True, text=True, timeout=600)
    return out.stdout + "\n" + out.stderr[-2000:]


def asked_figures(stdout):
    """The figures ASKED_CHILD printed (resident, asked, large, largest, columns), by name."""
    if "asked" not in stdout:
        raise AssertionError(stdout[-3000:])
    return {line.split()[0]: int(line.split()[1]) for line in stdout.splitlines()
            if line.startswith(("resident ", "asked ", "large ", "largest ", "columns "))}


def asked_apart(steps, compression, limit, warm, mode=None, hello=PLAIN, then=True):
    """ASKED_CHILD against a server, in a process of its own, that runs `steps` (calls of this
    module's step functions, as text; with `warm` warm_response first, then those, then
    answer_two unless `then` is false) after `hello`; `mode` names a stream's consumer (see
    asked_child). Returns the child's output, and how far its peak resident set and the peak of
    what it asked of the allocator grew. Sending and reading hundreds of MiB is slow on a loaded
    machine (one short of memory above all), so the server's time-outs bound a hang only: 540 s
    for the whole exchange (below the child's 600 s) and 120 s for one receive or send."""
    steps = (([f"warm_response({limit < 140_000_000})"] if warm else []) + steps
             + (["answer_two"] if then else []))
    stdout = _apart(steps,
                    f"    print(h.asked_child(f'127.0.0.1:{{srv.port}}', {compression!r}, {limit},"
                    f" {mode or ('warm' if warm else 'cold')!r},"
                    f" then={'SELECT x' if then else ''!r}))\n", timeout=900,
                    serve_args=", timeout=540, conn_timeout=120", hello=repr(hello))
    figures = asked_figures(stdout)
    return stdout, figures["resident"], figures["asked"]
