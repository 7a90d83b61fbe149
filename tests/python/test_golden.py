"""Server captures (tests/vectors/native_*.bin) decoded by the library's block reader and
converted by the module, compared with the server's own values of the same rows (the manifest's
normalised "values")."""

import datetime
import json
import math
import os
import unittest

import tarnwick._native as native
from wire import CAPTURE_REVISION, VECTORS_DIR, hooks, http_blocks


def load_entries():
    with open(os.path.join(VECTORS_DIR, "native_columns.json")) as f:
        return {e["file"]: e for e in json.load(f)}


def leaves(values):
    """A column's values as the manifest lists them: array elements flattened in order, tuple
    elements one after the other."""
    if any(isinstance(v, list) for v in values):
        return leaves([x for v in values for x in v])
    if values and isinstance(values[0], tuple):
        return [x for i in range(len(values[0])) for x in leaves([v[i] for v in values])]
    return values


def rendered(value, type_name):
    """One leaf in the manifest's rendering (decimals above 18 digits come as text)."""
    if value is None:
        return "NULL"
    if isinstance(value, float):
        return "nan" if math.isnan(value) else "%.17g" % value
    if isinstance(value, str) and not type_name.startswith("Decimal"):
        return value.encode().hex().upper()
    return str(value)


class GoldenCaptureTest(unittest.TestCase):
    entries = load_entries()

    def decoded(self, name):
        entry = self.entries[name]
        return entry, [hooks.decode_block(tcp, CAPTURE_REVISION)
                       for _, tcp, _ in http_blocks(entry)]

    def check_against_values(self, name):
        entry, blocks = self.decoded(name)
        rows = native.blocks_to_dicts(blocks)
        for (col, type_name), want in zip(entry["columns"], entry["values"]):
            got = [rendered(v, type_name) for v in leaves([row[col] for row in rows])]
            self.assertEqual(len(got), len(want), (name, col))
            for g, w in zip(got, want):
                if w != "NULL":  # a NULL row's nested value is whatever the column stores
                    self.assertEqual(g, w, (name, col))

    def test_captures_match_the_servers_values(self):
        for name in (
            "native_uints.bin",
            "native_ints.bin",
            "native_floats.bin",
            "native_strings.bin",
            "native_decimals.bin",
            "native_uuid.bin",
            "native_enums.bin",
            "native_nullables.bin",
            "native_arrays.bin",
            "native_tuple.bin",
            "native_multi_block.bin",
            # String; Nullable(UInt8), Nullable(String) (key 0 is NULL) and UInt8; UInt16
            # indexes; nested in Array and Tuple (key versions first, a body even for no elements).
            "native_low_cardinality.bin",
            "native_low_cardinality_nullable.bin",
            "native_low_cardinality_wide.bin",
            "native_low_cardinality_nested.bin",
        ):
            with self.subTest(name):
                self.check_against_values(name)

    def test_every_output_path_agrees(self):
        for name in self.entries:
            if name == "native_zero_rows_tcp.bin":
                continue
            _, blocks = self.decoded(name)
            for block in blocks:
                dicts = block.to_dicts()
                table = block.to_columns()[0]
                by_rows = list(block.rows())
                self.assertEqual(repr(dicts), repr(by_rows), name)
                for i, col in enumerate(table["columns"]):
                    self.assertEqual(repr(col["data"]), repr([r[col["name"]] for r in dicts]), name)
                    self.assertEqual(len(block.column_by_index(i)), block.row_count())

    def test_dates_and_datetimes_use_the_wire_values(self):
        _, (block,) = self.decoded("native_dates.bin")
        days = [datetime.date(1970, 1, 1) + datetime.timedelta(days=d) for d in (0, 1, 17897, 65535)]
        self.assertEqual(block["d"].to_list(), days)
        self.assertEqual([r["d"] for r in block.to_dicts()], days)
        stamps = [datetime.datetime.fromtimestamp(s) for s in (0, 1, 1551675967, 4294967295)]
        self.assertEqual([r["dt"] for r in block.to_dicts()], stamps)
        self.assertEqual(block["dt"].to_list(), stamps)
        self.assertEqual(block["d"][3], 65535)

    def test_ip_bodies_read_as_address_types(self):
        entry = self.entries["native_ip.bin"]
        ((rows, _, bodies),) = http_blocks(entry)
        block = hooks.block_from_bodies(
            rows, [("ip4", "IPv4", bodies[0][2]), ("ip6", "IPv6", bodies[1][2])]
        )
        got = block.to_dicts()
        self.assertEqual([r["ip4"] for r in got], ["1.2.3.4", "0.0.0.0", "255.255.255.255"])
        self.assertEqual(
            [r["ip6"] for r in got],
            [
                "0000:0000:0000:0000:0000:0000:0000:0001",
                "2001:0db8:0000:0000:0000:0000:0000:0001",
                "0000:0000:0000:0000:0000:ffff:0102:0304",
            ],
        )
        self.assertEqual(block["ip6"].to_list(), ["::1", "2001:db8::1", "::ffff:1.2.3.4"])

    def test_zero_row_block(self):
        with open(os.path.join(VECTORS_DIR, "native_zero_rows_tcp.bin"), "rb") as f:
            data = f.read()
        block = hooks.decode_block(data, CAPTURE_REVISION)
        self.assertEqual(len(block), 0)
        self.assertEqual(block.column_types(), ["UInt32", "String", "Array(UInt8)", "Nullable(Int8)"])
        self.assertEqual(block.to_dicts(), [])
        self.assertEqual(list(block.rows()), [])
        for col in block.to_columns()[0]["columns"]:
            self.assertEqual(col["data"], [])


if __name__ == "__main__":
    unittest.main()
