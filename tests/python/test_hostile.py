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


PLAIN = {"send_chunked": False, "recv_chunked": False}


def named_block(columns, name_len, rows=0, type_name="UInt8"):
    """A Data packet of `columns` columns whose names are `name_len` bytes long."""
    body = b"\x01" * rows
    return sp.data(Block([Column("n" * name_len, type_name, raw=body)] * columns, rows=rows))


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


class BufferedMemoryTest(unittest.TestCase):
    def test_names_and_type_texts_are_charged_before_they_are_kept(self):
        # 64 MiB of names or type texts in one block of no rows, under a 1 MiB limit.
        long_type = "Tuple(" + "a" * (16 * MIB - 16) + " UInt8)"
        cases = [
            ("names", "query", named_block(4, 16 * MIB - 16)),
            ("names", "query_blocks", named_block(4, 16 * MIB - 16)),
            ("type texts", "query", sp.data(Block([Column("t", long_type, raw=b"")] * 4, rows=0))),
        ]
        for what, method, packet in cases:
            with self.subTest(what=what, method=method):
                with serve([send_all(packet)], hello=PLAIN) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
                    with PeakRss() as peak:
                        with self.assertRaisesRegex(ValueError, "max_response_size 1048576"):
                            getattr(c, method)("SELECT n")
                    self.assertLess(peak.growth, 16 * MIB)
                    c.discard()
            del packet

    def test_the_insert_structure_is_charged_to_the_response_limit(self):
        packet = named_block(4, 16 * MIB - 16)
        with serve([send_all(packet, eos=False)], hello=PLAIN) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "exceeds the limit of 1048576 bytes"):
                    c.begin_insert_stream("INSERT INTO t VALUES")
            self.assertLess(peak.growth, 16 * MIB)
            c.discard()

    def test_a_flood_of_empty_blocks_meets_the_limit(self):
        empty = sp.data(b"\x00" + varint(0) + varint(0))
        one_column = sp.data(Block([Column("c", "UInt8", raw=b"")], rows=0))
        for what, packet, count in [("no columns", empty, 2_000_000),
                                    ("one column", one_column, 500_000)]:
            with self.subTest(what=what):
                with serve([send_all(packet, repeat=count)], hello=PLAIN) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
                    began = time.monotonic()
                    with PeakRss() as peak:
                        with self.assertRaisesRegex(ValueError, "max_response_size 1048576"):
                            c.query("SELECT c")
                    self.assertLess(peak.growth, 16 * MIB)
                    self.assertLess(time.monotonic() - began, 10.0)
                    c.discard()

    def test_a_low_cardinality_holds_its_dictionary_and_indexes_under_one_budget(self):
        # An 8 MB dictionary and 64 MB of 8-byte indexes: each within the column's 64 MiB, not
        # both.
        rows, keys, width = 8_000_000, 8_000, 1000
        head = (b"\x00" + varint(1) + varint(rows) + string("c")
                + string(f"LowCardinality(FixedString({width}))") + b"\x00"
                + struct.pack("<QQQ", 1, 0x203, keys))
        zeros = bytes(MIB)

        def step(conn):
            conn.expect_query()
            conn.sock.sendall(varint(1) + string("") + head)
            conn.sock.sendall(bytes(keys * width))
            conn.sock.sendall(struct.pack("<Q", rows))
            for _ in range(rows * 8 // MIB + 1):
                conn.sock.sendall(zeros)

        with serve([step], hello=PLAIN) as srv:
            c = _Client(f"127.0.0.1:{srv.port}")
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError,
                                            "column cumulative byte length exceeds limit 67108864"):
                    c.query("SELECT c")
            self.assertLess(peak.growth, 40 * MIB)
            c.discard()

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
                # The block, one column record and the rows' floor.
                with self.assertRaisesRegex(ValueError, "decoded 80000384 bytes"):
                    c.query("SELECT t")
            self.assertLess(peak.growth, 48 * MIB)
            c.discard()


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
            with self.assertRaisesRegex(RuntimeError,
                                        "exceeds the stream's block limit 1048576") as caught:
                next(s)
            self.assertLess(time.monotonic() - began, 2.0)
            # The count includes the charge that crossed the limit.
            at_least = int(str(caught.exception).split("block of at least ")[1].split()[0])
            self.assertGreater(at_least, MIB)
            s.discard()
            c.discard()

    def test_names_count_toward_the_block_limit_and_the_read_ahead(self):
        # Blocks of one row carrying 12 MiB of names each: over a 1 MiB block limit; under the
        # default one they fill the channel's 16 MiB at once, with the consumer away.
        small = named_block(3, 4 * MIB, rows=1)
        with serve([send_all(small, repeat=8)], hello=PLAIN) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
            with PeakRss() as peak:
                s = c.query_stream("SELECT n")
                with self.assertRaisesRegex(RuntimeError,
                                            "exceeds the stream's block limit 1048576"):
                    next(s)
            self.assertLess(peak.growth, 16 * MIB)
            s.discard()
            c.discard()

        with serve([send_all(small, repeat=16)], hello=PLAIN) as srv:
            c = _Client(f"127.0.0.1:{srv.port}")
            with PeakRss() as peak:
                s = c.query_stream("SELECT n")
                time.sleep(1.0)
            self.assertLess(peak.growth, 64 * MIB)
            self.assertEqual(sum(len(b) for b in s), 16)
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
