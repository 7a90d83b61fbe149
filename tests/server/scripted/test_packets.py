import json
import os
import unittest
import uuid

from chserver import packets as sp
from chserver.block import Column, make_block, read_block
from chserver.frames import decode_frame
from chserver.types import decode_column, encode_column
from chserver.wire import BytesSource, Reader

H = bytes.fromhex


class DataPacketTest(unittest.TestCase):
    def test_uint8_block_bytes(self):
        pkt = sp.data(make_block(("x", "UInt8", [1, 2])))
        self.assertEqual(pkt, H("01 00 0100 02ffffffff 00 01 02 0178 055549 6e7438 00 0102"
                                .replace(" ", "")))

    def test_column_bodies(self):
        cases = [
            ("String", [b"ab", b""], H("02616200")),
            ("Nullable(UInt16)", [None, 5], H("0100 0000 0500")),
            ("Array(UInt8)", [[1, 2], [], [3]],
             H("0200000000000000 0200000000000000 0300000000000000 010203".replace(" ", ""))),
            ("Map(String, UInt8)", [{"k": 7}], H("0100000000000000 016b 07".replace(" ", ""))),
            ("Tuple(UInt8, String)", [(1, "a"), (2, "b")], H("0102 0161 0162".replace(" ", ""))),
            ("FixedString(3)", [b"ab"], H("616200")),
            ("Int32", [-2], H("feffffff")),
            ("Float64", [1.5], H("000000000000f83f")),
            ("Date", [1], H("0100")),
            ("DateTime", [0x01020304], H("04030201")),
            ("UUID", [uuid.UUID("61f0c404-5cb3-11e7-907b-a6006ad3dba0")],
             H("e711b35c04c4f061a0dbd36a00a67b90")),
            # The real server's layout: the default key first; for Nullable key 0 is NULL.
            ("LowCardinality(String)", ["a", "b", "a"],
             H("0100000000000000 0006000000000000 0300000000000000 00 0161 0162 "
               "0300000000000000 010201".replace(" ", ""))),
            ("LowCardinality(Nullable(String))", ["a", None, "bb", "a"],
             H("0100000000000000 0006000000000000 0400000000000000 00 00 0161 026262 "
               "0400000000000000 02000302".replace(" ", ""))),
        ]
        for type_name, values, body in cases:
            with self.subTest(type_name):
                block = make_block(("c", type_name, values))
                encoded = block.encode()
                self.assertTrue(encoded.endswith(body), encoded.hex())
                parsed = read_block(Reader(BytesSource(encoded)))
                self.assertEqual(parsed.columns[0].raw, body)

    def test_low_cardinality_captures_decode_and_encode_back(self):
        # The real server's bodies: top level, Nullable, nested in Array and Tuple.
        vectors = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vectors")
        with open(os.path.join(vectors, "native_columns.json")) as f:
            entries = [e for e in json.load(f) if e["file"].startswith("native_low_cardinality")]
        for entry in entries:
            with open(os.path.join(vectors, entry["file"]), "rb") as f:
                data = f.read()
            rows, bodies = entry["blocks"][0]["rows"], entry["blocks"][0]["column_bodies"]
            for (_, type_name), (start, end) in zip(entry["columns"], bodies):
                values = decode_column(type_name, rows, Reader(BytesSource(data[start:end])))
                self.assertEqual(encode_column(type_name, values), data[start:end], type_name)
        self.assertEqual(len(entries), 4)

    def test_raw_body_and_flag_gating(self):
        block = make_block(Column("x", "UInt8", raw=b"\x09"), rows=1)
        self.assertEqual(block.encode(54483)[-2:], b"\x00\x09")
        self.assertEqual(block.encode(54453)[-2:], b"8\x09")  # no flag byte below 54454

    def test_client_insert_block_parses(self):
        body = H("0174 0100 02ffffffff 00 01 02 0178 055549 6e7438 00 0102".replace(" ", ""))
        r = Reader(BytesSource(body))
        self.assertEqual(r.text(), "t")
        block = read_block(r)
        self.assertEqual((block.columns[0].name, block.columns[0].values), ("x", [1, 2]))

    def test_compressed_data_packet(self):
        pkt = sp.data(make_block(("x", "UInt64", [5] * 100)), method=0x82)
        self.assertEqual(pkt[:2], b"\x01\x00")
        payload = decode_frame(pkt[2:])
        self.assertEqual(payload, make_block(("x", "UInt64", [5] * 100)).encode())
        self.assertEqual(pkt[2 + 16], 0x82)


class OtherPacketsTest(unittest.TestCase):
    def test_exception_chain(self):
        pkt = sp.exception([(60, "A", "x"), (7, "B", "y", "st")])
        self.assertEqual(pkt, H("02 3c000000 0141 0178 00 01 07000000 0142 0179 027374 00"
                                .replace(" ", "")))

    def test_progress_by_revision(self):
        for revision, count in ((54412, 3), (54459, 5), (54462, 6), (54463, 7), (54483, 7)):
            with self.subTest(revision=revision):
                self.assertEqual(len(sp.progress(revision, 1, 2, 3, 4, 5, 6, 7)), 1 + count)
        self.assertEqual(sp.progress(54483, 1, 2, 3, 4, 5, 6, 7), H("03 01020304050607"
                                                                     .replace(" ", "")))

    def test_profile_info_by_revision(self):
        self.assertEqual(sp.profile_info(54468, rows=1, blocks=2, bytes_=3, applied_limit=True,
                                         rows_before_limit=4), H("06 010203 01 04 00"
                                                                 .replace(" ", "")))
        self.assertEqual(len(sp.profile_info(54469)), 9)

    def test_tables_status_response(self):
        entries = [("db", "t", True, 5, True)]
        self.assertEqual(sp.tables_status_response(54483, entries), H("09010264620174010501"))
        self.assertEqual(sp.tables_status_response(54466, entries), H("090102646201740105"))
        self.assertEqual(sp.tables_status_response(54483, [("d", "t", False, 5, True)]),
                         H("0901016401740 0".replace(" ", "")))

    def test_small_packets(self):
        self.assertEqual(sp.pong() + sp.end_of_stream() + sp.read_task_request(), H("04050d"))
        self.assertEqual(sp.timezone_update("UTC"), H("1103555443"))
        self.assertEqual(sp.part_uuids([bytes(16)]), H("0c01") + bytes(16))
        self.assertEqual(sp.table_columns("t", "d"), H("0b01740164"))
        self.assertEqual(sp.unknown(0x99, b"\x01"), H("990101"))
        self.assertEqual(sp.log(make_block()), H("0a00") + H("0100 02ffffffff 00 00 00"
                                                             .replace(" ", "")))

    def test_parallel_replica_requests(self):
        rq = sp.merge_tree_read_task_request("abc", parts=[{"ranges": [(1, 2)]}])
        part = (bytes(8) + H("09") + b"all_1_1_0" + bytes(32) + b"\x00" + H("0100000000000000") +
                H("0100000000000000 0200000000000000".replace(" ", "")) + H("000000"))
        self.assertEqual(rq, H("10") + bytes(8) + b"\x00" + bytes(16) + b"\x01" + part + H("03") +
                         b"abc")
        ann = sp.merge_tree_all_ranges_announcement()
        self.assertEqual(ann, H("0f") + bytes(8) + b"\x00" + b"\x00" + bytes(16) + H("000000"))

    def test_hello_fields_by_revision(self):
        full = sp.hello(54483, name="N", version=(1, 2), patch=3, timezone="Z", display_name="D",
                        send_mode="chunked", recv_mode="notchunked", nonce=1,
                        settings=[("s", 0, "v")], version_54477=4)
        self.assertEqual(full, H("00 014e 01 02 d3a903 07 015a 0144 03".replace(" ", "")) +
                         b"\x07chunked\x0anotchunked" + H("00") + H("0100000000000000") +
                         H("0173 00 0176 00".replace(" ", "")) + H("04 06".replace(" ", "")))
        old = sp.hello(54412, name="N", version=(1, 2), patch=3, timezone="Z", display_name="D")
        self.assertEqual(old, H("00 014e 01 02 8ca903 015a 0144 03".replace(" ", "")))
        self.assertEqual(sp.hello(54460, server_revision=54483, name="N")[5:8], H("d3a903"))


if __name__ == "__main__":
    unittest.main()
