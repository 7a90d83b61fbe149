"""_Block, _Column and _RowIterator, error mapping at the boundary, and reference counts that stay
put over repeated conversions."""

import datetime
import gc
import struct
import subprocess
import sys
import textwrap
import unittest

import tarnwick._native as native
from wire import CLIENT_REVISION, column, hooks, offsets, string, varint
from chserver.block import Block, Column  # noqa: E402
from chserver.types import encode_column  # noqa: E402


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def block_of(rows, *cols):
    return hooks.block_from_bodies(rows, list(cols))


class ErrorMappingTest(unittest.TestCase):
    def test_library_errors_become_builtin_exceptions(self):
        with self.assertRaises(ConnectionError) as ctx:
            hooks.decode_block(b"\x00\x01", CLIENT_REVISION)
        self.assertEqual(str(ctx.exception), "I/O error: failed to fill whole buffer")
        with self.assertRaises(ValueError) as ctx:
            hooks.decode_block(b"\x00\x01\x01" + string("a") + string("Array(") + b"\x00",
                                CLIENT_REVISION)
        self.assertTrue(str(ctx.exception).startswith("ClickHouse protocol error: "))


class BlockTest(unittest.TestCase):
    def setUp(self):
        self.block = block_of(
            2,
            ("id", "UInt64", struct.pack("<QQ", 7, 8)),
            ("s", "String", string("x") + string("y")),
            ("id", "Int8", b"\x01\x02"),
        )

    def test_shape_duplicate_names_and_tables(self):
        b = self.block
        self.assertEqual((b.row_count(), b.column_count(), len(b)), (2, 3, 2))
        self.assertEqual(b.column_names(), ["id", "s", "id"])
        self.assertEqual(b.column_types(), ["UInt64", "String", "Int8"])
        self.assertEqual(b.column_info(), {"id": "Int8", "s": "String"})
        self.assertEqual(repr(b), "<Block rows=2 cols=[id, s, id]>")
        self.assertEqual(b["id"].type_name, "UInt64")
        self.assertEqual(b.to_dicts(), [{"id": 1, "s": "x"}, {"id": 2, "s": "y"}])
        self.assertEqual(list(b.rows()), b.to_dicts())
        (table,) = b.to_columns()
        self.assertEqual(table["rows"], 2)
        self.assertEqual(table["columns"][1], {"name": "s", "type": "String", "data": ["x", "y"]})

    def test_lookup_failures(self):
        b = self.block
        with self.assertRaisesRegex(KeyError, "column 'nope' not found"):
            b["nope"]
        with self.assertRaisesRegex(TypeError, "argument 'name'"):
            b[0]
        with self.assertRaisesRegex(IndexError, r"^column index 3 out of range \(3 columns\)$"):
            b.column_by_index(3)
        with self.assertRaises(OverflowError):
            b.column_by_index(-1)
        with self.assertRaisesRegex(TypeError, "argument 'index'"):
            b.column_by_index("0")
        # The integer protocol: keywords and objects with __index__, as Python's own sequences.
        self.assertEqual(b.column_by_index(index=1).name, "s")
        self.assertEqual(b.column_by_index(Index(2)).type_name, "Int8")
        self.assertEqual(b["id"][Index(1)], 8)
        with self.assertRaisesRegex(TypeError, "invalid keyword argument"):
            b.column_by_index(position=0)

    def test_empty_block(self):
        b = block_of(0, ("a", "UInt8", b""), ("b", "String", b""))
        self.assertEqual(len(b), 0)
        self.assertEqual(b.to_dicts(), [])
        self.assertEqual(list(b.rows()), [])
        self.assertEqual(b.to_columns(), [{"rows": 0, "columns": [
            {"name": "a", "type": "UInt8", "data": []}, {"name": "b", "type": "String", "data": []}]}])
        self.assertEqual(list(block_of(3).rows()), [{}, {}, {}])
        self.assertEqual(block_of(3).to_dicts(), [])

    def test_blocks_to_dicts(self):
        self.assertEqual(native.blocks_to_dicts([]), [])
        self.assertEqual(native.blocks_to_dicts([block_of(2), self.block])[0], {"id": 1, "s": "x"})
        with self.assertRaisesRegex(TypeError, "'int' object cannot be converted to '_Block'"):
            native.blocks_to_dicts([self.block, 1])
        with self.assertRaisesRegex(TypeError, "argument 'blocks'"):
            native.blocks_to_dicts((self.block,))

    def test_row_iterator(self):
        it = self.block.rows()
        self.assertIs(iter(it), it)
        self.assertEqual(next(it), {"id": 1, "s": "x"})
        self.assertEqual(next(it), {"id": 2, "s": "y"})
        with self.assertRaises(StopIteration):
            next(it)
        del self.block
        gc.collect()


class ColumnTest(unittest.TestCase):
    def test_forms(self):
        col = column(5, "UInt64", struct.pack("<5Q", 1, 2, 3, 4, 5), name="id")
        c = col["id"]
        self.assertEqual((c.name, c.type_name, len(c)), ("id", "UInt64", 5))
        self.assertEqual(repr(c), "<Column name=id type=UInt64 len=5>")
        self.assertEqual(c.to_list(), [1, 2, 3, 4, 5])
        self.assertEqual(c[4], 5)
        self.assertIsNone(c[5])
        with self.assertRaises(OverflowError):
            c[-1]
        with self.assertRaises(AttributeError):
            c.name = "x"

    def test_per_type_forms(self):
        epoch = datetime.date(1970, 1, 1)
        cases = [
            ("UInt128", b"\x01" * 32, 2, [None, None], None),
            ("Decimal(38, 2)", b"", 0, [], None),
            ("Nullable(Int32)", b"\x01" + struct.pack("<i", 9), 1, [9], 9),
            ("Array(UInt8)", offsets(3, 7, 10) + bytes(range(10)), 3, list(range(10)), 0),
            ("Array(Array(UInt8))", offsets(0, 0), 2, [], None),
            ("Date", b"\x00\x00", 1, [epoch], 0),
            ("DateTime64(3, 'UTC')", struct.pack("<q", 1500), 1,
             [datetime.datetime.fromtimestamp(1.5)], 1500),
            ("UUID", bytes(range(16)), 1, ["07060504-0302-0100-0f0e-0d0c0b0a0908"],
             "07060504-0302-0100-0f0e-0d0c0b0a0908"),
            ("Bool", b"\x02", 1, [True], True),
            # Time and Time64 are signed, as in rows, tuples and column lists.
            ("Time", struct.pack("<2i", -3600, 7), 2, [-3600, 7], -3600),
            ("Time64(3)", struct.pack("<q", -1500), 1, [-1500], -1500),
            ("Nullable(Time)", b"\x00" + struct.pack("<i", -1), 1, [-1], -1),
            ("Array(Time)", offsets(2) + struct.pack("<2i", -2147483648, 2147483647), 1,
             [-2147483648, 2147483647], -2147483648),
            ("Array(Nullable(Time64(6)))", offsets(1) + b"\x00" + struct.pack("<q", -5), 1,
             [-5], -5),
            ("Nothing", b"0", 1, [None], None),
        ]
        for type_name, body, rows, want, first in cases:
            with self.subTest(type_name):
                c = column(rows, type_name, body)["c"]
                self.assertEqual(len(c), rows)
                self.assertEqual(c.to_list(), want)
                self.assertEqual(c[0], first)
        # A LowCardinality keeps its dictionary only through the block decoder; the bodies are
        # the Int32 ones, which Time shares.
        keyed = [("LowCardinality(Time)", [-3600, -3600, 5], [-3600, -3600, 5]),
                 ("LowCardinality(Nullable(Time))", [None, -7, -7], [0, -7, -7]),
                 ("Array(LowCardinality(Time))", [[-1, -3600], [], [-1]], [-1, -3600, -1])]
        block = hooks.decode_block(Block([
            Column(t, t, raw=encode_column(t.replace("Time", "Int32"), v)) for t, v, _ in keyed
        ], rows=3).encode(CLIENT_REVISION), CLIENT_REVISION)
        for type_name, _, want in keyed:
            with self.subTest(type_name):
                self.assertEqual(block[type_name].to_list(), want)
                self.assertEqual(block[type_name][1], want[1])

    def test_unreadable_column(self):
        with self.assertRaisesRegex(ValueError, "^ClickHouse protocol error: "):
            column(2, "UInt32", b"\x00")["c"]


class ReferenceCountTest(unittest.TestCase):
    def test_conversions_leak_nothing(self):
        key = "refcount_probe_value_" + "x" * 8
        rows = [{"a": i, "s": key, "n": None if i % 2 else i, "f": 1.5} for i in range(50)]
        defs = [("a", "Int64"), ("s", "String"), ("n", "Nullable(Int32)"), ("f", "Float64")]
        arr = column(2, "Array(Tuple(String, Nullable(UInt8)))",
                     offsets(1, 3) + string("k") * 3 + b"\x00\x01\x00" + b"\x05\x06\x07")
        mp = column(1, "Map(String, Array(UInt8))", offsets(2) + string("a") + string("b")
                    + offsets(1, 1) + b"\x09")
        bad = column(1, "Array(UInt8)", offsets(5) + b"\x01")

        def cycle():
            block = native.dicts_to_block(rows, defs)
            block.to_dicts()
            block.to_columns()
            list(block.rows())
            native.blocks_to_dicts([block, block])
            for name in ("a", "s", "n", "f"):
                block[name].to_list()
            for b in (arr, mp):
                b.to_dicts()
                b.to_columns()
                b["c"].to_list()
            try:
                bad.to_dicts()
            except ValueError:
                pass
            try:
                native.dicts_to_block(rows + [{"a": "bad"}], defs)
            except ValueError:
                pass

        tracked = [rows[0], rows, defs, arr, mp, bad, None, 1.5]
        cycle()
        gc.collect()
        before = [sys.getrefcount(o) for o in tracked]
        before_blocks = sys.getrefcount(native._Block)
        for _ in range(200):
            cycle()
        gc.collect()
        self.assertEqual([sys.getrefcount(o) for o in tracked], before)
        self.assertEqual(sys.getrefcount(native._Block), before_blocks)

        # Days and dictionary keys that rows share, from a block the reader decoded.
        shared_defs = [("k", "LowCardinality(String)"), ("kn", "LowCardinality(Nullable(String))"),
                       ("d", "Date")]
        sent = native.dicts_to_block(
            [{"k": f"key{i % 3}", "kn": None if i % 4 else "nn", "d": i % 5} for i in range(50)],
            shared_defs)
        keyed = hooks.decode_block(b"\x00\x03" + varint(50) + b"".join(
            string(n) + string(t) + b"\x00" + hooks.column_body(sent, i)
            for i, (n, t) in enumerate(shared_defs)), CLIENT_REVISION)

        def shared_cycle():
            keyed.to_dicts()
            keyed.to_columns()
            list(keyed.rows())
            native.blocks_to_dicts([keyed, keyed])
            keyed["k"].to_list()
            keyed["d"].to_list()

        shared_cycle()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(200):
            shared_cycle()
        gc.collect()
        self.assertLess(sys.getallocatedblocks() - before, 100)

    def test_column_names_go_with_their_rows(self):
        # Run apart, so that nothing this process made earlier is counted; 5,000 distinct names
        # of 200 characters, each through every path that makes row dicts.
        child = textwrap.dedent("""
            import gc, sys
            import tarnwick._native as native

            def rows_of(first):
                for i in range(first, first + 5000):
                    name = f"{i:08d}" + "n" * 192
                    block = native.dicts_to_block([{name: i}], [(name, "UInt32")])
                    block.to_dicts()
                    native.blocks_to_dicts([block])
                    list(block.rows())

            rows_of(0)
            gc.collect()
            before = sys.getallocatedblocks()
            rows_of(10000)
            gc.collect()
            print(sys.getallocatedblocks() - before)
        """)
        out = subprocess.run([sys.executable, "-c", child], check=True, capture_output=True,
                             text=True)
        self.assertLess(int(out.stdout), 500)


if __name__ == "__main__":
    unittest.main()
