"""dicts_to_block: the bytes each column type receives, every refusal, and round trips through
the read side for every type the writer supports."""

import datetime
import ipaddress
import struct
import unittest

import tarnwick._native as native
from wire import CLIENT_REVISION, hooks, string, varint


def body(type_name, *vals):
    block = native.dicts_to_block([{"c": v} for v in vals], [("c", type_name)])
    return hooks.column_body(block, 0)


def lc_head(keys):
    return struct.pack("<QQQ", 1, 0x600, keys)


def lc_idx(*indexes):
    return struct.pack("<Q", len(indexes)) + bytes(indexes)


def refusal(rows, columns):
    with unittest.TestCase().assertRaises(ValueError) as ctx:
        native.dicts_to_block(rows, columns)
    return str(ctx.exception)


class WriterLayoutTest(unittest.TestCase):
    def test_bytes_per_type(self):
        # Beside what test_insert_roundtrip sends for every type: limits, spellings and defaults.
        cases = [
            ("Int8", [-128, True], b"\x80\x01"),
            ("DateTime64(6, 'UTC')", [2], b"\x02" + b"\x00" * 7),
            # Dictionary-encoded as the server sends it: version 1, flags 0x600 (UInt8 indexes),
            # keys (the default first; for Nullable key 0 is NULL), index count, indexes.
            ("LowCardinality(String)", ["ab", "", "ab"], lc_head(2) + b"\x00\x02ab" + lc_idx(1, 0, 1)),
            ("UInt128", [2**128 - 1], b"\xff" * 16),
            ("Int256", [-(2**255)], (-(2**255)).to_bytes(32, "little", signed=True)),
            ("Decimal64(4)", [10**17], struct.pack("<q", 10**17)),
            ("Decimal256(10)", [7], (7).to_bytes(32, "little")),
            # Each 8-byte half little-endian (matches native_uuid.bin), from any hex spelling.
            ("UUID", ["61F0C4045CB311E7907BA6006AD3DBA0"],
             bytes.fromhex("e711b35c04c4f061a0dbd36a00a67b90")),
            ("FixedString(2)", ["\u00e9"], b"\xc3\xa9"),
            ("LowCardinality(Nullable(String))", [None, "", "x"],
             lc_head(3) + b"\x00\x00\x01x" + lc_idx(0, 1, 2)),
            ("LowCardinality(Nullable(UInt16))", [7, None, 0, 7],
             lc_head(3) + b"\x00\x00\x00\x00\x07\x00" + lc_idx(2, 0, 1, 2)),
            ("JSON", [{"a": 1}], string("{'a': 1}")),
            ("JSON", [None], string("None")),
            (" String", [3], string("3")),
            # Enum members as the server prints them, any spacing, names holding the list's
            # punctuation and escapes; None in a Nullable.
            ("Enum8('a, b' = 1, 'it\\'s (x)' = 2, 'q\\\\z\\n' = -3, 'x = 5' = 6)", [1, 2, -3, 6],
             b"\x01\x02\xfd\x06"),
            ("Enum16('x'=-1000,'y'=1000)", [-1000, 1000], struct.pack("<hh", -1000, 1000)),
            ("Enum8( 'a''b' = -128 , 'c' =127 )", [-128, 127], b"\x80\x7f"),
            ("Nullable(Enum8('a' = 1))", [None, 1], b"\x01\x00\x00\x01"),
            ("LowCardinality(Nullable(Enum8('a' = 7)))", [7, None], lc_head(3) + b"\x00\x00\x07" + lc_idx(2, 0)),
        ]
        for type_name, vals, want in cases:
            with self.subTest(type_name):
                self.assertEqual(body(type_name, *vals), want)

    def test_block_shape(self):
        block = native.dicts_to_block([], [("a", "Int32")])
        self.assertEqual((len(block), block.column_count()), (0, 0))
        block = native.dicts_to_block([{"a": 1}], [])
        self.assertEqual((len(block), block.column_count()), (1, 0))
        block = native.dicts_to_block([{"a": 1, "x": object()}, {"a": 2}], [("a", "Int32")])
        self.assertEqual(hooks.column_body(block, 0), b"\x01\x00\x00\x00\x02\x00\x00\x00")
        self.assertEqual(block.column_info(), {"a": "Int32"})
        block = native.dicts_to_block(rows=[{"a": 1}], columns=[("a", "UInt8", "ignored")])
        self.assertEqual(block.to_dicts(), [{"a": 1}])


class RefusalTest(unittest.TestCase):
    def test_value_refusals(self):
        cases = [
            ("UInt8", 256, "ValueError: expected u8: OverflowError: out of range integral type conversion attempted"),
            ("Int8", 1.0, "ValueError: expected i8: TypeError: 'float' object cannot be interpreted as an integer"),
            ("Int16", 2**15, "ValueError: expected i16: OverflowError: out of range integral type conversion attempted"),
            ("UInt32", 2**32, "ValueError: expected u32: OverflowError: out of range integral type conversion attempted"),
            ("Int64", 2**63, "ValueError: expected i64: OverflowError: out of range integral type conversion attempted"),
            ("UInt64", -1, "ValueError: expected u64: OverflowError: can't convert negative int to unsigned"),
            ("Float32", "x", "ValueError: expected f32: TypeError: must be real number, not str"),
            ("Bool", 1, "ValueError: expected bool: TypeError: 'int' object cannot be converted to 'bool'"),
            ("String", b"x", "ValueError: expected string: TypeError: 'bytes' object cannot be converted to 'str'"),
            ("UUID", 5, "ValueError: expected string for UUID: TypeError: 'int' object cannot be converted to 'str'"),
            ("UUID", "00" * 15, "ValueError: invalid UUID: expected 16 bytes"),
            ("DateTime64(3)", 1.5, "ValueError: expected i64 for DateTime64: TypeError: 'float' object cannot be interpreted as an integer"),
            ("FixedString(2)", "abc", "ValueError: string of 3 bytes does not fit FixedString(2)"),
            ("Int128", 2**127, "ValueError: expected i128: OverflowError: int too big to convert"),
            ("UInt256", -1, "ValueError: expected u256: OverflowError: can't convert negative int to unsigned"),
            ("Decimal(9, 2)", 2**31, "ValueError: expected int for Decimal: OverflowError: out of range integral type conversion attempted"),
            ("IPv6", "1.2.3.4.5", "ValueError: invalid IPv6 address: '1.2.3.4.5'"),
            ("IPv6", "::1\x00junk", "ValueError: invalid IPv6 address: '::1\x00junk'"),
            ("Nullable(UInt8)", 300, "ValueError: expected u8: OverflowError: out of range integral type conversion attempted"),
            ("LowCardinality(Decimal(9, 2))", 1,
             "ValueError: cannot convert value: LowCardinality(Decimal(9, 2)) encoding is not supported"),
            # A code outside the members, plain or wrapped; a member's name is not its code.
            ("Enum8('a' = 1, 'b' = 2)", 5, "ValueError: code 5 for column 'c' is not a member of Enum8('a' = 1, 'b' = 2)"),
            ("Enum8('a' = 1, 'b' = 2)", 0, "ValueError: code 0 for column 'c' is not a member of Enum8('a' = 1, 'b' = 2)"),
            ("Enum16('x' = -1000, 'y' = 1000)", -1001, "ValueError: code -1001 for column 'c' is not a member of Enum16('x' = -1000, 'y' = 1000)"),
            ("Nullable(Enum8('a' = 1))", 2, "ValueError: code 2 for column 'c' is not a member of Enum8('a' = 1)"),
            ("LowCardinality(Enum8('a' = 1))", -1, "ValueError: code -1 for column 'c' is not a member of Enum8('a' = 1)"),
            ("LowCardinality(Nullable(Enum16('a' = 300)))", 44, "ValueError: code 44 for column 'c' is not a member of Enum16('a' = 300)"),
            ("Enum8('a, b' = 1, 'it\\'s (x)' = 2, 'x = 3' = 4)", 3,
             "ValueError: code 3 for column 'c' is not a member of Enum8('a, b' = 1, 'it\\'s (x)' = 2, 'x = 3' = 4)"),
            ("Enum8('a' = 1)", "a", "ValueError: expected i8: TypeError: 'str' object cannot be interpreted as an integer"),
            ("Enum8('a' = 1)", 128, "ValueError: expected i8: OverflowError: out of range integral type conversion attempted"),
        ]
        for type_name, value, message in cases:
            with self.subTest(type_name=type_name, value=value):
                self.assertEqual(refusal([{"c": value}], [("c", type_name)]), message)

    def test_unsupported_types_are_refused_not_written_as_text(self):
        # (type text, the reason given after it): an Enum member list it cannot read says why (no
        # codes, a code repeated or too wide, an unclosed name, no members, a name repeated once
        # its escapes are read as the server reads them (\N stands for nothing), a \x escape that
        # runs across the end of a name); wrapped, the whole type text is named.
        cases = [(name, "") for name in (
            "Array(UInt8)", "Map(String, UInt8)", "Tuple(UInt8)", "datetime", " Int32",
            "Nullable(Nullable(Int8))", "Decimal(0, 0)", "Variant(UInt8)", "FixedString(x)",
            "FixedString(16777216)", "Point", "Enum8('a' = 1) ")] + [
            ("Enum8('a', 'b')", "no '=' after 'a'"),
            ("Enum8('a' = 1, 'b' = 1)", "the code 1 is listed twice"),
            ("Enum8('a' = 128)", "the code of 'a' is out of range"),
            ("Enum16('a' = -32769)", "the code of 'a' is out of range"),
            ("Enum8('a) = 1)", "a name is not closed"),
            ("Enum8()", "expected a quoted name"),
            ("Enum8('a' = 1,)", "expected a quoted name"),
            ("Enum8('a' = 1, 'a' = 2)", "the name 'a' is listed twice"),
            ("Enum8('a\\Nb' = 1, 'ab' = 2)", "the name 'ab' is listed twice"),
            ("Enum8('\\x4' = 1)", "a \\x escape runs across the end of a name"),
            ("LowCardinality(Nullable(Enum8('a' = 1, 'a' = 2)))", "the name 'a' is listed twice"),
        ]
        for type_name, reason in cases:
            with self.subTest(type_name):
                self.assertEqual(
                    refusal([{"c": 1}], [("c", type_name)]),
                    f"ValueError: cannot convert value: unsupported column type '{type_name}'"
                    + (f": {reason}" if reason else ""))

    def test_row_and_definition_refusals(self):
        self.assertEqual(refusal([{"b": 1}], [("a", "Int32")]),
                         "ValueError: missing column 'a' in row")
        self.assertEqual(refusal([[1]], [("a", "Int32")]),
                         "TypeError: 'list' object cannot be converted to 'dict'")
        # Column-major: the first column's failures come before the second's.
        self.assertEqual(
            refusal([{"a": 1, "b": "x"}, {"a": 300}], [("a", "UInt8"), ("b", "String")]),
            "ValueError: expected u8: OverflowError: out of range integral type conversion attempted",
        )

        class Exploding:
            def __str__(self):
                raise RuntimeError("no text")

        self.assertEqual(refusal([{"j": Exploding()}], [("j", "JSON")]),
                         "ValueError: cannot convert value: RuntimeError: no text")
        for rows, columns, exc, text in [
            (({"a": 1},), [("a", "Int32")], TypeError,
             "argument 'rows': 'tuple' object cannot be converted to 'list'"),
            ([], {}, TypeError, "argument 'columns': 'dict' object"),
            ([], [["a", "Int32"]], TypeError, "'list' object cannot be converted to 'tuple'"),
            ([], [("a",)], IndexError, ""),
            ([], [("a", 5)], TypeError, "'int' object cannot be converted to 'str'"),
        ]:
            with self.subTest(columns=columns), self.assertRaises(exc) as ctx:
                native.dicts_to_block(rows, columns)
            self.assertIn(text, str(ctx.exception))


class RoundTripTest(unittest.TestCase):
    def round_trip(self, type_name, vals):
        block = native.dicts_to_block([{"c": v} for v in vals], [("c", type_name)])
        sent = hooks.column_body(block, 0)
        if type_name.startswith("LowCardinality("):  # dictionary-encoded: through the decoder
            tcp = b"\x00\x01" + varint(len(vals)) + string("c") + string(type_name) + b"\x00"
            again = hooks.decode_block(tcp + sent, CLIENT_REVISION)
        else:
            again = hooks.block_from_bodies(len(vals), [("c", type_name, sent)])
        rows = native.blocks_to_dicts([block])
        self.assertEqual(rows, again.to_dicts())
        return [r["c"] for r in rows]

    def test_every_written_type_reads_back(self):
        def dt(s):
            return datetime.datetime.fromtimestamp(s)

        epoch = datetime.date(1970, 1, 1)
        cases = [
            ("Int64", [-(2**63), 2**63 - 1], [-(2**63), 2**63 - 1]),
            ("Int128", [-(2**127), 2**127 - 1], [str(-(2**127)), str(2**127 - 1)]),
            ("UInt128", [2**128 - 1, 0], [str(2**128 - 1), "0"]),
            ("Int256", [-1, 2**255 - 1], ["0x" + "f" * 64, hex(2**255 - 1)]),
            ("UInt256", [2**256 - 1, 1], ["0x" + "f" * 64, "0x" + "0" * 63 + "1"]),
            ("Float64", [-0.0, 1e308], [-0.0, 1e308]),
            ("String", ["", "日本", "a\x00b"], ["", "日本", "a\x00b"]),
            ("FixedString(3)", ["ab", ""], ["ab\x00", "\x00\x00\x00"]),
            ("FixedString(0)", ["", ""], ["", ""]),
            ("Date", [0, 65535], [epoch, epoch + datetime.timedelta(days=65535)]),
            ("DateTime", [0, 2**32 - 1], [dt(0), dt(2**32 - 1)]),
            ("Decimal(18, 2)", [-(2**63)], [-(2**63)]),
            ("UUID", ["61f0c404-5cb3-11e7-907b-A6006AD3DBA0"], ["61f0c404-5cb3-11e7-907b-a6006ad3dba0"]),
            ("IPv4", [0, 0xFFFFFFFF], ["0.0.0.0", "255.255.255.255"]),
            ("LowCardinality(Nullable(UInt8))", [0, None, 7, 0], [0, None, 7, 0]),
            ("LowCardinality(UInt32)", list(range(300)), list(range(300))),  # UInt16 indexes
            # Strings read by dictionary index; one row of index 2 reads value by value.
            ("LowCardinality(String)", ["b", "", "b", "é"], ["b", "", "b", "é"]),
            ("LowCardinality(Nullable(String))", [None, "x", None, "x", ""],
             [None, "x", None, "x", ""]),
            ("LowCardinality(String)", [str(i % 300) for i in range(600)],
             [str(i % 300) for i in range(600)]),
            ("LowCardinality(Nullable(String))", ["x"], ["x"]),
            ("Nullable(Decimal(38, 0))", [None, 1], [None, "1"]),
            ("Nullable(Enum16('a, b' = -5, ')' = 300))", [None, -5, 300], [None, -5, 300]),
        ]
        for type_name, vals, want in cases:
            with self.subTest(type_name):
                self.assertEqual(repr(self.round_trip(type_name, vals)), repr(want))

    def test_ipv6_text_reads_back_as_the_same_address(self):
        for text in ("::", "::1", "2001:db8::8a2e:370:7334", "::ffff:1.2.3.4", "fe80::1"):
            (got,) = self.round_trip("IPv6", [text])
            self.assertEqual(ipaddress.ip_address(got), ipaddress.ip_address(text))


if __name__ == "__main__":
    unittest.main()
