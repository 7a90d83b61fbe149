"""Hostile and misbehaving servers: what a response may make the client hold (peak RSS), and the
streams over split chunk framing, cut-off packets and consumers that fall behind."""

import os
import struct
import subprocess
import sys
import textwrap
import time
import unittest

from wire import TESTS_DIR, string, varint

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import Block, Column  # noqa: E402
from chserver.chunked import frame_message  # noqa: E402

from tarnwick._native import _Client  # noqa: E402

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


def lc_string_body(key, rows):
    """A LowCardinality(String) body: key version, flags (1-byte indexes, additional keys), one
    dictionary entry, then `rows` indexes of 0."""
    return (struct.pack("<QQQ", 1, 0x200, 1) + string(key) + struct.pack("<Q", rows)
            + b"\x00" * rows)


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


def expanding_response(conn):
    """24 columns of one 8000-byte key and 8192 rows: a few KB of LZ4 that expand to 1.5 GB."""
    conn.expect_query()
    column = Column("c", "LowCardinality(String)", raw=lc_string_body(b"k" * 8000, 8192))
    conn.send_data(Block([column] * 24, rows=8192), compress="lz4")
    conn.send_eos()


class BufferedMemoryTest(unittest.TestCase):
    def test_low_cardinality_expansion_is_refused_before_it_is_taken(self):
        with serve([expanding_response]) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", compression="lz4", max_response_size=MIB)
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "response too large.*max_response_size "
                                                        "1048576"):
                    c.query("SELECT lc")
            self.assertLess(peak.growth, 48 * MIB)
            # The response was left inside a packet: the connection is closed, not reused.
            with self.assertRaisesRegex(ConnectionError, "broken"):
                c.ping()
            c.discard()

    def test_memory_that_cannot_be_had_is_a_memory_error(self):
        # The same expansion allowed by max_response_size, in a process whose address space
        # cannot hold it: the allocation fails as a value, never as an abort.
        child = textwrap.dedent("""
            import resource, sys
            from tarnwick._native import _Client
            c = _Client(sys.argv[1], compression="lz4", max_response_size=1 << 33)
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
            try:
                c.query("SELECT lc")
            except MemoryError as e:
                print("MemoryError", e)
        """)
        with serve([expanding_response]) as srv:
            out = subprocess.run([sys.executable, "-c", child, f"127.0.0.1:{srv.port}"],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("MemoryError ClickHouse out of memory", out.stdout)

    def test_rows_without_bytes_are_charged(self):
        # 26 bytes declaring 10,000,000 rows of a column that carries nothing per row.
        raw = (b"\x00" + varint(1) + varint(10_000_000) + string("t") + string("Tuple()")
               + b"\x00")

        def step(conn):
            conn.expect_query()
            conn.send_data(raw)
            conn.send_eos()

        with serve([step]) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=64 * MIB)
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "decoded 80000000 bytes"):
                    c.query("SELECT t")
            self.assertLess(peak.growth, 48 * MIB)
            c.discard()


def _dynamic_type_names_response(conn):
    """One Dynamic column of one row whose prefix names three Tuple(UInt8, ...) types of 16 MiB
    each (48 MiB, within what one column may take); the row is NULL."""
    conn.expect_query()
    name = "Tuple(" + ", ".join(["UInt8"] * ((16777215 - 7) // 7)) + ")"
    prefix = struct.pack("<Q", 2) + varint(3) + string(name) * 3
    raw = (b"\x00" + varint(1) + varint(1) + string("d") + string("Dynamic") + b"\x00" + prefix
           + b"\x03")
    conn.send_data(raw)
    conn.send_eos()


# Runs one query in a fresh process and prints how far its peak resident set grew.
_PEAK_CHILD = textwrap.dedent("""
    import sys
    from tarnwick._native import _Client

    def kib(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])

    c = _Client(sys.argv[1], compression=sys.argv[2] or None, max_response_size=1 << 30)
    start = kib("VmRSS")
    try:
        c.query("SELECT d")
        print("accepted")
    except ValueError as e:
        print("refused", e)
    print("growth", (kib("VmHWM") - start) * 1024)
""")


class PrefixMemoryTest(unittest.TestCase):
    def test_dynamic_type_names_are_charged_at_what_they_hold(self):
        # Buffered (LZ4 frames) and streamed (plain) reads alike: the parsed member types and the
        # state tree cost many times the names' bytes, and are charged before they are kept.
        for compression in ("lz4", ""):
            with self.subTest(compression=compression or "none"):
                with serve([_dynamic_type_names_response]) as srv:
                    out = subprocess.run(
                        [sys.executable, "-c", _PEAK_CHILD, f"127.0.0.1:{srv.port}", compression],
                        capture_output=True, text=True, timeout=300)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn("refused", out.stdout)
                self.assertIn("cumulative byte length exceeds limit", out.stdout)
                growth = int(out.stdout.split("growth")[-1])
                self.assertLess(growth, 160 * MIB, out.stdout)


class StreamTest(unittest.TestCase):
    def test_split_chunks_with_zero_lengths_end_at_once_and_leave_the_client_clean(self):
        data = Block([Column("x", "UInt64", [1, 2, 3])])
        eos = frame_message(sp.end_of_stream())
        boom = sp.exception([(60, "Boom", "missing")])

        def step(conn):
            conn.expect_query()
            conn.send_data(data, splits=[3, 9, 1], stray_zeros=[1, 2, 3])
            # The end-of-message length arrives in two pieces, the second after a pause.
            conn.send_raw(eos, stall_after=len(eos) - 2, stall_seconds=0.3)
            conn.expect_query()
            # The last packet split over chunks with zero lengths between: nothing follows it.
            conn.send_packet(boom, splits=[4, 6], stray_zeros=[1, 2])
            conn.expect_query()
            conn.send_data(data)
            conn.send_eos()

        with serve([step], hello={"send_chunked": "chunked"}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", query_timeout=3.0)
            blocks = list(c.query_stream("SELECT x"))
            self.assertEqual([row["x"] for b in blocks for row in b.to_dicts()], [1, 2, 3])
            time.sleep(0.5)  # the rest of the end-of-message length is on the connection now
            s = c.query_stream("SELECT x")
            began = time.monotonic()
            with self.assertRaisesRegex(RuntimeError, "code=60, name=Boom"):
                next(s)
            self.assertLess(time.monotonic() - began, 1.5)
            self.assertEqual(c.query_tuples("SELECT x"), [(1,), (2,), (3,)])
            c.discard()

    def test_a_cut_off_packet_ends_the_stream_with_its_own_error(self):
        cases = [
            (sp.progress(54483, rows=1)[:3], "truncated progress packet in query stream"),
            (sp.exception([(60, "Boom", "missing")])[:5],
             "truncated exception packet in query stream"),
            (sp.timezone_update("Europe/Berlin")[:4],
             "truncated timezone update packet in query stream"),
        ]
        for cut, error in cases:
            with self.subTest(error=error):
                def step(conn, cut=cut):
                    conn.expect_query()
                    conn.send_raw(cut)
                    conn.close()

                with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}")
                    s = c.query_stream("SELECT x")
                    with self.assertRaisesRegex(RuntimeError, error):
                        next(s)
                    c.discard()

    def test_a_packet_still_arriving_is_held_to_the_block_limit(self):
        # Four 400 kB strings under a 1 MiB limit; the server sends 1.2 MB and then stalls.
        body = b"".join(varint(400_000) + b"s" * 400_000 for _ in range(4))
        packet = sp.data(Block([Column("s", "String", raw=body)], rows=4))

        def step(conn):
            conn.expect_query()
            conn.send_raw(packet[:1_200_000])
            conn.wait_closed(10)

        with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB, query_timeout=5.0)
            s = c.query_stream("SELECT s")
            began = time.monotonic()
            with self.assertRaisesRegex(RuntimeError, "exceeds the stream's block limit 1048576"):
                next(s)
            self.assertLess(time.monotonic() - began, 2.0)
            s.discard()
            c.discard()

    def test_read_ahead_is_bounded_by_bytes_while_the_consumer_waits(self):
        # 24 blocks of 8 MB each; the consumer takes none for a while.
        rows = 8
        value = b"v" * MIB
        packet = sp.data(Block([Column("s", "String", raw=(varint(MIB) + value) * rows)],
                               rows=rows))
        count = 24

        def step(conn):
            conn.expect_query()
            for _ in range(count):
                conn.sock.sendall(packet)  # not recorded: the server holds one copy only
            conn.sock.sendall(sp.end_of_stream())

        with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}")
            with PeakRss() as peak:
                s = c.query_stream("SELECT s")
                time.sleep(1.0)
            self.assertLess(peak.growth, 96 * MIB)
            self.assertEqual(sum(len(b) for b in s), rows * count)
            c.discard()


if __name__ == "__main__":
    unittest.main()
