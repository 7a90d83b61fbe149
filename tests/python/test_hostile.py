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

from hostile import (MIB, PLAIN, PeakRss, lc_string_body, peak_apart, peak_child,  # noqa: E402
                     send_all, serve)


def expanding_response(conn):
    """24 columns of one 8000-byte key and 8192 rows: a few KB of LZ4 that expand to 1.5 GB."""
    conn.expect_query()
    column = Column("c", "LowCardinality(String)", raw=lc_string_body([b"k" * 8000], bytes(8192)))
    conn.send_data(Block([column] * 24, rows=8192), compress="lz4")
    conn.send_eos()


def cancelled_then_header(conn):
    """Takes the Cancel of the answer before, then answers with a header block of no rows."""
    conn.expect_cancel()
    conn.expect_query()
    conn.send_data(Block([Column("x", "UInt8", raw=b"")], rows=0), compress="lz4")
    conn.send_eos()


def named_block(columns, name_len, rows=0, type_name="UInt8"):
    """A Data packet of `columns` columns whose names are `name_len` bytes long."""
    body = b"\x01" * rows
    return sp.data(Block([Column("n" * name_len, type_name, raw=body)] * columns, rows=rows))


class BufferedMemoryTest(unittest.TestCase):
    def test_names_and_type_texts_are_charged_before_they_are_kept(self):
        # 64 MiB of names or type texts in one block of no rows, under a 1 MiB limit: they meet the
        # 16 MiB allowance beside the data, which bounds the growth.
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
                        with self.assertRaisesRegex(ValueError, "allowance of 16777216 bytes"):
                            getattr(c, method)("SELECT n")
                    self.assertLess(peak.growth, 16 * MIB)
                    c.discard()
            del packet

    def test_the_insert_structure_is_held_to_the_block_limit_not_the_response_limit(self):
        # 64 MiB of names: within the 256 MiB a block beside the data may hold, whatever
        # max_response_size says; the structure is dropped once read.
        packet = named_block(4, 16 * MIB - 16)
        with serve([send_all(packet, eos=False)], hello=PLAIN) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
            with PeakRss() as peak:
                c.begin_insert_stream("INSERT INTO t VALUES")
            self.assertLess(peak.growth, 96 * MIB)
            c.discard()

    def test_a_flood_of_empty_blocks_meets_the_limit(self):
        empty = sp.data(b"\x00" + varint(0) + varint(0))
        one_column = sp.data(Block([Column("c", "UInt8", raw=b"")], rows=0))
        for what, packet, count in [("no columns", empty, 2_000_000),
                                    ("one column", one_column, 500_000)]:
            with self.subTest(what=what):
                with serve([send_all(packet, repeat=count)], hello=PLAIN) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB)
                    # Under a 1 MiB limit the blocks' least costs meet the 16 MiB allowance.
                    with PeakRss() as peak:
                        began = time.monotonic()
                        with self.assertRaisesRegex(ValueError, "allowance of 16777216 bytes"):
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
        with serve([expanding_response, cancelled_then_header]) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", compression="lz4", max_response_size=MIB)
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "response too large.*max_response_size "
                                                        "1048576"):
                    c.query("SELECT lc")
            self.assertLess(peak.growth, 48 * MIB)
            # The refused block was read to its end and the response drained: the connection
            # answers the next query.
            self.assertEqual(c.query_tuples("SELECT x"), [])
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

    def test_a_large_response_once_leaves_no_memory_with_idle_clients(self):
        # Four clients each read three 8 MiB blocks and let them go, then run a small query: what
        # they keep afterwards is what the small one used. The clients run apart, so that the
        # server's side is not counted.
        rows = MIB
        big = Block([Column("x", "UInt64", raw=bytes(8 * rows))], rows=rows)

        def scenario(conn):
            conn.hello(send_chunked=False, recv_chunked=False)
            for blocks in ([big] * 3, [[("x", "UInt64", [1])]]):
                conn.expect_query()
                for block in blocks:
                    conn.send_data(block)
                    conn.record.raw_out = bytearray()  # the record would hold what was sent
                conn.send_eos()
            conn.wait_closed(10)

        child = textwrap.dedent(f"""
            import ctypes, gc, sys
            from tarnwick._native import _Client

            def resident():
                gc.collect()
                ctypes.CDLL(None).malloc_trim(0)
                with open("/proc/self/status") as f:
                    return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

            clients = [_Client(sys.argv[1]) for _ in range(4)]
            before = resident()
            for c in clients:
                assert sum(len(b) for b in c.query_blocks("SELECT x")) == {3 * rows}
            for c in clients:
                assert c.query_tuples("SELECT x") == [(1,)]
            print((resident() - before) * 1024)
        """)
        with ScriptedServer(scenario, connections=4, timeout=60) as srv:
            out = subprocess.run([sys.executable, "-c", child, f"127.0.0.1:{srv.port}"],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertLess(int(out.stdout), 16 * MIB)

    def test_a_refused_answer_holds_no_more_than_its_limit_and_allowance(self):
        # At the default limit, 256 MiB, and as much allowance beside the data; each refused
        # answer is drained and the same client answers the next query. (The answer, what its
        # refusal says, the ceiling of the growth.)
        cases = [
            # One kept block of 256,000,000 bytes, then a second one: it keeps what the limit has
            # left (12,435,456 bytes) and steps over the rest, counted whole (488 MiB read whole).
            ("two_wide_blocks_response", "decoded 512000000 bytes", 300 * MIB),
            # LowCardinality(String) blocks of 65,536 rows, 2-byte indexes: the limit in data and
            # 2 bytes a row beside it (64 MiB).
            ("low_cardinality_response(2, 513)", "decoded 268959744 bytes", 352 * MIB),
            # With 8-byte indexes what the blocks hold beside their data grows as fast as the data:
            # the limit plus the allowance.
            ("low_cardinality_response(8, 513)", "268646240 bytes held beside", 544 * MIB),
            # Those blocks a block short of both bounds, then a Totals block of 256,000,000 bytes
            # (held alone to 256 MiB beside the kept data), then the crossing one: the limit, the
            # allowance and one such block (uncompressed and unchunked, the read buffers are the
            # socket's 64 KiB).
            ('side_block_after_data_response("TOTALS")', "268646240 bytes held beside", 800 * MIB),
            # Blocks of one byte: under 1 MB of data, their least costs and texts meet the
            # allowance.
            ("one_byte_blocks_response(700_000)", "268435824 bytes held beside", 256 * MIB),
        ]
        for answer, refusal, ceiling in cases:
            with self.subTest(answer):
                stdout, growth = peak_apart([answer, "answer_two"], "SELECT x")
                self.assertIn(f"refused ClickHouse response too large: {refusal}", stdout)
                self.assertIn("next [(2,)]", stdout)
                self.assertLess(growth, ceiling, stdout[-300:])

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
                # The block, one column record, its texts and the rows' floor, against the
                # allowance beside the data (here max_response_size itself).
                with self.assertRaisesRegex(ValueError, "80000392 bytes held beside the decoded "
                                            "data .* allowance of 67108864 bytes"):
                    c.query("SELECT t")
            self.assertLess(peak.growth, 48 * MIB)
            c.discard()


    def test_a_table_status_answer_is_held_to_the_request_not_the_response_limit(self):
        # 340,000 distinct entries answering a request about one table: their names fit the
        # bound on kept texts, their entries cost some 40 MB.
        many = (b"\x09" + varint(340_000)
                + b"".join(b"\x00\x03" + bytes((1 + i % 127, 1 + i // 127 % 127, 1 + i // 16129))
                           + b"\x00" for i in range(340_000)))
        # Three entries for the three tables asked about, each costing more than 100 bytes.
        three = b"\x09\x03" + b"".join(string("d") + string(t) + b"\x00" for t in "abc")

        def step(conn):
            conn.expect_tables_status()
            conn.sock.sendall(many)

        def limited(conn):
            conn.expect_tables_status()
            conn.sock.sendall(three)

        with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}")
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "lists 340000 tables"):
                    c.table_status("d", "t")
            self.assertLess(peak.growth, 16 * MIB)
            c.discard()
        with serve([limited], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=300)
            self.assertEqual(len(c.tables_status([("d", "a"), ("d", "b"), ("d", "c")])), 3)
            c.discard()


def no_bytes_block(elements, members=0):
    """One row of an Array(Tuple()) that asks for `elements` values of Tuple(), 8 bytes on the
    wire; with `members`, a Tuple of that many such arrays."""
    array = "Array(Tuple())"
    type_name = "Tuple(" + ", ".join([array] * members) + ")" if members else array
    return Block([Column("a", type_name, raw=struct.pack("<Q", elements) * max(members, 1))],
                 rows=1)


class ValuesWithoutBytesTest(unittest.TestCase):
    """A value of a type that holds no bytes becomes an object once converted, whatever it cost on
    the wire: one offset asks for 10,000,000 of them (80 MB of list). Each is charged like a row of
    a column without bytes, so the block is refused before anything is converted."""

    def run_against(self, blocks, call, refused=None, match="", then=False, **options):
        """`call`(client) against a server that answers with `blocks`: its result, or with
        `refused` the exception it must raise (its text matching `match`); and how far the peak
        resident set grew. With `then`, the refused query is cancelled and the same client
        answers the next one."""
        def step(conn):
            conn.expect_query()
            for block in blocks:
                conn.send_data(block)
            conn.send_eos()
            if then:
                conn.expect_cancel()
                conn.expect_query()
                conn.send_data(Block([Column("x", "UInt8", raw=b"\x02")], rows=1))
                conn.send_eos()

        result = None
        with serve([step]) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", **options)
            with PeakRss() as peak:
                if refused is None:
                    result = call(c)
                else:
                    with self.assertRaisesRegex(refused, match):
                        call(c)
            if then:
                self.assertEqual(c.query_tuples("SELECT x"), [(2,)])
            c.discard()
        return result, peak.growth

    def test_buffered_answers_are_refused_and_small_ones_read(self):
        ten = [no_bytes_block(10_000_000)] * 10
        for method in ("query", "query_tuples", "query_columns"):
            with self.subTest(method=method):
                _, growth = self.run_against(ten, lambda c: getattr(c, method)("SELECT a"),
                                             ValueError, max_response_size=65536)
                self.assertLess(growth, 16 * MIB)  # 840 MB once converted
        with self.subTest(what="a tuple of 20 such arrays"):
            _, growth = self.run_against([no_bytes_block(10_000_000, members=20)],
                                         lambda c: c.query("SELECT a"), ValueError)
            self.assertLess(growth, 16 * MIB)  # 1.6 GB once converted
        rows, _ = self.run_against([no_bytes_block(3, members=2)] * 2,
                                   lambda c: c.query_tuples("SELECT a"), max_response_size=65536)
        self.assertEqual(rows, [(([(), (), ()], [(), (), ()]),)] * 2)

    def test_tuple_members_without_bytes_are_charged_per_row(self):
        # 50,000 rows of 1,000 members of Tuple(), no bytes on the wire: 400 MB charged against the
        # 256 MiB allowance or the stream's block limit, where converted they took 768 MB. As
        # many elements of one row, 8 bytes on the wire, are past what one column may take: they
        # are the allowance's to refuse all the same, and the connection stays ready.
        members = ", ".join(["Tuple()"] * 1000)
        rows = Block([Column("a", f"Tuple({members})", raw=b"")], rows=50_000)
        elements = Block([Column("a", f"Array(Tuple({members}))",
                                 raw=struct.pack("<Q", 50_000))], rows=1)

        def to_dicts(c):
            for b in c.query_stream("SELECT a"):
                b.to_dicts()

        for block in (rows, elements):
            for method, refused in [("query", ValueError), ("query_tuples", ValueError),
                                    ("query_columns", ValueError), ("stream", RuntimeError)]:
                with self.subTest(method=method, rows=block.rows):
                    call = to_dicts if method == "stream" else (
                        lambda c, m=method: getattr(c, m)("SELECT a"))
                    match = "stream.s block limit" if method == "stream" else "bytes held beside"
                    _, growth = self.run_against([block], call, refused, match,
                                                 then=method == "query")
                    self.assertLess(growth, 16 * MIB)

    def test_stream_blocks_are_refused_before_they_are_converted(self):
        def to_dicts(c):
            for block in c.query_stream("SELECT a"):
                block.to_dicts()

        # Four arrays of 10,000,000 such elements a row: 320 MB, past the stream's block limit
        # (one array, 80 MB, is within it, as 10,000,000 rows of them are).
        for compression in (None, "lz4"):  # parsed in memory; read from the frames
            with self.subTest(compression=compression):
                _, growth = self.run_against([no_bytes_block(10_000_000, members=4)] * 4, to_dicts,
                                             RuntimeError, "stream's block limit",
                                             compression=compression)
                self.assertLess(growth, 16 * MIB)


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


class PrefixMemoryTest(unittest.TestCase):
    def test_column_type_names_parse_within_what_a_column_may_hold(self):
        # Four columns of no rows whose 16 MiB types are a Tuple of 2.4M elements each: 64 MiB
        # sent, within the default response limit; each parse would build a tree of 45 times its
        # text.
        stdout, growth = peak_apart(["wide_tuple_types_response"])
        self.assertIn("refused", stdout)
        self.assertIn("type name needs", stdout)
        self.assertIn("more than the limit of 67108864", stdout)
        self.assertLess(growth, 64 * MIB, stdout[-300:])

    def test_dynamic_type_names_are_charged_at_what_they_hold(self):
        # In LZ4 frames and plain alike: the parsed member types and the state tree cost many
        # times the names' bytes, and are charged before they are kept, whether the column is kept
        # or stepped over by a statement.
        for compression, method in [("lz4", "query"), ("", "query"), ("lz4", "execute"),
                                    ("", "execute")]:
            with self.subTest(compression=compression or "none", method=method):
                with serve([_dynamic_type_names_response]) as srv:
                    stdout, growth = peak_child(srv, compression, method=method)
                self.assertIn("refused", stdout)
                self.assertIn("cumulative byte length exceeds limit", stdout)
                self.assertLess(growth, 160 * MIB, stdout)


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
            # The client makes sure the session is in step before its next query.
            conn.expect_ping()
            conn.send_pong()
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

    def test_a_stall_inside_a_packet_times_out_as_a_buffered_query_does(self):
        data = Block([Column("x", "UInt64", [1, 2, 3])])
        # As a buffered query reports it (through the decompressing layer with its prefix).
        timed_out = "timed out: the exchange took longer than query_timeout (1s)"
        # (connection modes, how the Data packet goes out); the stall comes after 9 wire bytes.
        cases = [
            ({"send_chunked": False}, {}),
            ({"send_chunked": "chunked"}, {}),  # inside a chunk
            ({"send_chunked": "chunked"}, {"splits": [5]}),  # between two chunks
            ({"send_chunked": False}, {"compress": "lz4"}),
        ]
        for hello, send in cases:
            with self.subTest(hello=hello, send=send):
                def step(conn, send=send):
                    conn.expect_query()
                    conn.send_data(data, stall_after=9, stall_seconds=2.0, **send)

                with serve([step], hello=hello) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}", query_timeout=1.0,
                                compression="lz4" if send.get("compress") else None)
                    s = c.query_stream("SELECT x")
                    began = time.monotonic()
                    with self.assertRaises(RuntimeError) as ctx:
                        next(s)
                    self.assertIn(timed_out, str(ctx.exception))
                    self.assertLess(time.monotonic() - began, 1.9)
                    c.discard()

    def test_a_packet_still_arriving_is_not_held_to_the_response_limit(self):
        # Four 400 kB strings under a 1 MiB limit, sent in two parts: a stream has no response
        # budget, so the block arrives whole.
        body = b"".join(varint(400_000) + b"s" * 400_000 for _ in range(4))
        packet = sp.data(Block([Column("s", "String", raw=body)], rows=4))

        def step(conn):
            conn.expect_query()
            conn.send_raw(packet[:1_200_000])
            time.sleep(0.3)
            conn.send_raw(packet[1_200_000:] + sp.end_of_stream())
            conn.wait_closed(10)

        with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", max_response_size=MIB, query_timeout=5.0)
            self.assertEqual(sum(len(b) for b in c.query_stream("SELECT s")), 4)
            c.discard()

    def test_names_count_toward_the_read_ahead(self):
        # Blocks of one row carrying 12 MiB of names each fill the channel's 16 MiB at once, with
        # the consumer away, whatever max_response_size says (a stream has no response budget).
        small = named_block(3, 4 * MIB, rows=1)
        for limit in ({"max_response_size": MIB}, {}):
            with self.subTest(**limit):
                with serve([send_all(small, repeat=16)], hello=PLAIN) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}", **limit)
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
