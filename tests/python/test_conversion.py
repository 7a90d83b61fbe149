"""Column bodies to Python values: every kind at its boundaries, composite kinds, the objects rows
share, and bodies that are malformed or hostile (each must fail with a protocol error, never crash
or over-allocate)."""

import datetime
import re
import struct
import unittest

from test_client import answer, serving
from wire import column, offsets, string, values, varint

PROTOCOL = "ClickHouse protocol error: "


EPOCH = datetime.date(1970, 1, 1)
ts = datetime.datetime.fromtimestamp


def le(fmt, *vs):
    return struct.pack("<" + fmt, *vs)


class ScalarKindsTest(unittest.TestCase):
    def test_every_kind_at_its_limits(self):
        cases = [
            ("UInt8", le("BB", 0, 255), [0, 255]),
            ("UInt16", le("HH", 0, 65535), [0, 65535]),
            ("UInt32", le("II", 0, 2**32 - 1), [0, 2**32 - 1]),
            ("UInt64", le("QQ", 0, 2**64 - 1), [0, 2**64 - 1]),
            ("Int8", le("bb", -128, 127), [-128, 127]),
            ("Int16", le("hh", -(2**15), 2**15 - 1), [-(2**15), 2**15 - 1]),
            ("Int32", le("ii", -(2**31), 2**31 - 1), [-(2**31), 2**31 - 1]),
            ("Int64", le("qq", -(2**63), 2**63 - 1), [-(2**63), 2**63 - 1]),
            ("Enum8('a' = -128, 'b' = 127)", le("bb", -128, 127), [-128, 127]),
            ("Enum16('a' = -1000)", le("hh", -1000, 1000), [-1000, 1000]),
            ("Float32", le("ff", 1.5, -0.0), [1.5, -0.0]),
            ("Float64", le("dd", 1e308, float("-inf")), [1e308, float("-inf")]),
            ("Bool", bytes([0, 1, 2]), [False, True, True]),
            ("Time", le("ii", -1, 86399), [-1, 86399]),
            ("Time64(3)", le("qq", -1, 5), [-1, 5]),
            ("Decimal(9, 2)", le("ii", 12345, -1), [12345, -1]),
            ("Decimal(18, 4)", le("qq", 2**62, -5), [2**62, -5]),
            ("Int128", b"\xff" * 16 + b"\x00" * 15 + b"\x80", ["-1", str(-(2**127))]),
            ("UInt128", b"\xff" * 16, [str(2**128 - 1)]),
            ("UInt256", b"\x01" + b"\x00" * 31 + (2**255 + 12345).to_bytes(32, "little"),
             ["0x" + "0" * 63 + "1", hex(2**255 + 12345)]),
            ("Int256", b"\xff" * 32, ["0x" + "f" * 64]),
            ("Decimal(38, 2)", (-5).to_bytes(16, "little", signed=True), ["-5"]),
            ("Decimal(76, 2)", (-7).to_bytes(32, "little", signed=True), [hex(2**256 - 7)]),
            ("Decimal(0, 0)", b"", [None, None]),
            ("UUID", bytes(range(16)), ["07060504-0302-0100-0f0e-0d0c0b0a0908"]),
            ("IPv4", bytes([4, 3, 2, 1]), ["1.2.3.4"]),
            ("IPv6", bytes(15) + b"\x01", ["0000:0000:0000:0000:0000:0000:0000:0001"]),
            ("String", string("") + string("é"), ["", "é"]),
            ("JSON", string('{"a":1}'), ['{"a":1}']),
            ("FixedString(4)", b"ab\x00\x00", ["ab\x00\x00"]),
            ("FixedString(1)", b"\xff", ["\ufffd"]),
            ("FixedString(0)", b"", ["", "", ""]),
            ("Date", le("HHHH", 0, 0, 65535, 0),
             [EPOCH, EPOCH, EPOCH + datetime.timedelta(days=65535), EPOCH]),
            ("Date32", le("iii", -719162, -719163, -719163), [datetime.date(1, 1, 1), -719163, -719163]),
            # Days that meet in one slot of the table of dates already made.
            ("Date32", le("iiii", 1, 65537, 1, 1 - 65536),
             [EPOCH + datetime.timedelta(days=d) for d in (1, 65537, 1, 1 - 65536)]),
            # Runs of equal values and a value that returns after another.
            ("DateTime", le("IIII", 5, 5, 2**32 - 1, 5), [ts(5), ts(5), ts(2**32 - 1), ts(5)]),
            ("DateTime64(3)", le("q", -1500), [ts(-1.5)]),
            ("DateTime64(12)", le("q", 10**9), [ts(1)]),
            ("DateTime64(6, 'UTC')", le("q", 1_000_001), [ts(1.000001)]),
            # Out of Python's range: whole seconds.
            ("DateTime64(0)", le("qqq", 2**62, 2**62, 7), [2**62, 2**62, ts(7)]),
            ("Nullable(String)", b"\x01\x00" + string("") + string("x"), [None, "x"]),
            ("Array(UInt8)", offsets(2, 2, 3) + bytes([1, 2, 3]), [[1, 2], [], [3]]),
            ("Map(String, UInt8)", offsets(2) + string("k") + string("k") + bytes([1, 2]),
             [{"k": 2}]),
            ("Tuple(UInt8, String)", bytes([1, 2]) + string("a") + string("b"),
             [(1, "a"), (2, "b")]),
            ("LowCardinality(Nullable(String))", b"\x01" + string(""), [None]),
            ("Array(Array(Nullable(UInt8)))",
             offsets(1, 2) + offsets(2, 2) + b"\x00\x01" + bytes([7, 0]), [[[7, None]], [[]]]),
        ]
        for type_name, body, want in cases:
            with self.subTest(type_name):
                got = values(len(want), type_name, body)
                self.assertEqual(repr(got), repr(want))

    def test_zero_rows_read_nothing(self):
        for type_name in ("UInt8", "String", "Array(String)", "Map(String, UInt8)",
                          "Nullable(Int32)", "Tuple(UInt8, String)", "Variant(UInt8)"):
            with self.subTest(type_name):
                self.assertEqual(values(0, type_name, b""), [])


class CompositeKindsTest(unittest.TestCase):
    def test_kinds_without_values_keep_the_following_elements_in_place(self):
        point = le("dd", 1.0, 2.0)
        self.assertEqual(values(1, "Tuple(Point, UInt8)", point + b"\x09"), [(None, 9)])
        ring = offsets(2) + point * 2
        self.assertEqual(values(1, "Tuple(Ring, UInt8)", ring + b"\x09"), [(None, 9)])
        polygon = offsets(1) + ring
        self.assertEqual(values(1, "Tuple(Polygon, UInt8)", polygon + b"\x09"), [(None, 9)])
        self.assertEqual(values(1, "Tuple(MultiPolygon, UInt8)", offsets(1) + polygon + b"\x09"),
                         [(None, 9)])
        self.assertEqual(values(2, "Tuple(Nothing, UInt8)", b"00" + b"\x05\x06"),
                         [(None, 5), (None, 6)])
        # Last in the column, an unknown layout is harmless (after the column's prefix: the
        # Variant's mode word).
        self.assertEqual(values(1, "Tuple(UInt8, Variant(String))", le("Q", 0) + b"\x03"),
                         [(3, None)])
        # Variant and Dynamic bodies are stepped over: discriminators, member rows. Their prefixes
        # (mode word, Dynamic types) stand at the start of the column, before every body byte.
        variant = le("Q", 0) + b"\x00\xff" + string("s")
        self.assertEqual(values(2, "Tuple(Variant(String), UInt8)", variant + b"\x05\x06"),
                         [(None, 5), (None, 6)])
        dynamic = le("Q", 2) + varint(1) + string("UInt8")
        self.assertEqual(values(1, "Map(Dynamic, UInt8)",
                                dynamic + offsets(2) + b"\x00\x01" + b"\x07" + b"\x05\x06"),
                         [{None: 6}])
        # [42, 'x']: mode word, offsets, discriminators, the String member, the UInt64 member.
        self.assertEqual(values(1, "Tuple(Array(Variant(String, UInt64)), UInt8)",
                                le("Q", 0) + offsets(2) + b"\x01\x00" + string("x") + le("Q", 42)
                                + b"\x09"), [([None, None], 9)])
        # 'ab', 42: the LowCardinality member's key version follows the mode word.
        lc = le("QQ", 0x200, 1) + string("ab") + le("Q", 1) + b"\x00"
        self.assertEqual(values(2, "Tuple(Variant(LowCardinality(String), UInt64), UInt8)",
                                le("QQ", 0, 1) + b"\x00\x01" + lc + le("Q", 42) + b"\x05\x06"),
                         [(None, 5), (None, 6)])
        dynamic = le("Q", 2) + varint(1) + string("LowCardinality(String)") + le("Q", 1)
        self.assertEqual(values(1, "Tuple(UInt8, Dynamic, UInt8)",
                                dynamic + b"\x07" + b"\x00" + lc + b"\x08"), [(7, None, 8)])
        with self.assertRaises(ValueError) as ctx:
            values(1, "Tuple(Dynamic, UInt8)", le("Q", 9))
        self.assertIn("unknown Dynamic subcolumn serialization version 9", str(ctx.exception))
        with self.assertRaises(ValueError) as ctx:
            values(2, "Tuple(Variant(String), UInt8)", variant[:-1])
        self.assertIn("unexpected eof reading column", str(ctx.exception))
        for type_name in ("Tuple(Decimal(0, 0), UInt8)", "Tuple(Nested(a UInt8), UInt8)"):
            with self.subTest(type_name):
                with self.assertRaises(ValueError) as ctx:
                    values(1, type_name, offsets(1) + b"\x00" * 64)
                self.assertIn("cannot read past a column of type", str(ctx.exception))

    def test_unhashable_map_key_fails_the_column(self):
        body = offsets(1) + offsets(1) + b"\x01" + b"\x02"
        with self.assertRaises(ValueError) as ctx:
            values(1, "Map(Array(UInt8), UInt8)", body)
        self.assertEqual(str(ctx.exception), PROTOCOL + "TypeError: unhashable type: 'list'")


class SharedObjectsTest(unittest.TestCase):
    def test_rows_share_their_key_and_day_objects_within_and_across_blocks(self):
        # Each block brings its own dictionary: index 1 is `a` in the first and `b` in the
        # second. The second block's rows grow the table of days made; day 1, made again in the
        # first block after day 65 took its slot, is kept over the growth.
        a, b, c = (f"key-{x}-" + "v" * 20 for x in "abc")
        first = [("k", "LowCardinality(String)", [a, b, a]),
                 ("n", "LowCardinality(Nullable(String))", [None, b, b]), ("d", "Date", [1, 65, 1])]
        second = [("k", "LowCardinality(String)", [b, c] * 50),
                  ("n", "LowCardinality(Nullable(String))", [c, None] * 50),
                  ("d", "Date", [1, 65] * 50)]
        day = [EPOCH + datetime.timedelta(days=d) for d in (1, 65)]
        want = {"k": [a, b, a] + [b, c] * 50, "n": [None, b, b] + [c, None] * 50,
                "d": [day[0], day[1], day[0]] + day * 50}
        with serving(answer(first, second), answer(first, second), answer(first, second)) as (
                cl, _):
            by_rows = cl.query("q")
            by_tuples = cl.query_tuples("q")
            by_columns = cl.query_columns("q")
        got = [{name: [row[name] for row in by_rows] for name in want},
               {name: [row[i] for row in by_tuples] for i, name in enumerate(want)}, by_columns]
        for shape, columns in zip(("rows", "tuples", "columns"), got):
            with self.subTest(shape):
                self.assertEqual(columns, want)
                k, n, d = columns["k"], columns["n"], columns["d"]
                self.assertIs(k[0], k[2])
                self.assertIs(n[1], n[2])
                self.assertIs(k[3], k[5])
                self.assertIs(n[3], n[5])
                self.assertIs(d[2], d[3])
                self.assertIs(d[4], d[6])


class MalformedBodyTest(unittest.TestCase):
    def assert_protocol_error(self, rows, type_name, body, message):
        block = column(rows, type_name, body)
        for convert in (block.to_dicts, block.to_columns, block.rows):
            with self.subTest(type_name=type_name, path=convert.__name__):
                with self.assertRaises(ValueError) as ctx:
                    convert()
                self.assertEqual(str(ctx.exception), PROTOCOL + message)

    def test_messages(self):
        cases = [
            (2, "UInt32", b"\x00" * 7, "unexpected eof reading column"),
            (1, "String", b"\x80", "unexpected eof reading varint"),
            (1, "String", b"\x05ab", "unexpected eof reading column"),
            (1, "String", b"\xff" * 9 + b"\x02", "varint overflow"),
            (1, "String", b"\xff" * 9 + b"\x81", "varint too long"),
            (1, "String", b"\x01\xff", "invalid utf8 string: invalid utf-8 sequence of 1 bytes from index 0"),
            (1, "JSON", b"\x01\xc3", "invalid utf8 string: incomplete utf-8 byte sequence from index 0"),
        ]
        for case in cases:
            self.assert_protocol_error(*case)
        with self.assertRaisesRegex(ValueError, "^" + re.escape(PROTOCOL + "bad type 'Array(UInt8': ")):
            column(1, "Array(UInt8", b"").to_dicts()

    def test_hostile_sizes_are_refused_before_any_allocation(self):
        cases = [
            (2, "Array(UInt8)", offsets(3, 1) + bytes(3), "array offsets decrease at row 1: 1 after 3"),
            (1, "Array(Nothing)", offsets(2**63),
             "array element count 9223372036854775808 exceeds limit 10000000"),
            (1, "Map(String, String)", offsets(10_000_001),
             "map element count 10000001 exceeds limit 10000000"),
            # Within the limit, but the bytes for that many elements are not there.
            (1, "Array(UInt64)", offsets(10_000_000) + bytes(8), "unexpected eof reading column"),
            (1, "Array(Array(UInt8))", offsets(9_000_000) + bytes(64), "unexpected eof reading column"),
            (1, "Map(String, Point)", offsets(5) + bytes(8), "unexpected eof reading column"),
            (1, "Tuple(Ring, UInt8)", offsets(2**40),
             "Ring element count 1099511627776 exceeds limit 10000000"),
            (10_000_000, "FixedString(18446744073709551615)", b"", "column length overflow"),
        ]
        for case in cases:
            self.assert_protocol_error(*case)

if __name__ == "__main__":
    unittest.main()
