"""Server captures (tests/vectors/native_*.bin) decoded by the library's block reader and
converted by the module, compared with the server's own text rendering of the same rows."""

import ast
import datetime
import json
import math
import os
import re
import struct
import unittest

import tarnwick._native as native
from wire import CAPTURE_REVISION, VECTORS_DIR, hooks, http_blocks


def load_entries():
    with open(os.path.join(VECTORS_DIR, "native_columns.json")) as f:
        return {e["file"]: e for e in json.load(f)}


def tsv_unescape(text):
    escapes = {"t": "\t", "n": "\n", "\\": "\\", "0": "\0", "'": "'", "r": "\r"}
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == "x":
                out.append(chr(int(text[i + 2 : i + 4], 16)))
                i += 4
                continue
            out.append(escapes[nxt])
            i += 2
            continue
        out.append(ch)
        i += 1
    return "".join(out)


def enum_codes(type_name):
    return {name: int(code) for name, code in re.findall(r"'([^']*)' = (-?\d+)", type_name)}


def expected(type_name, cell):
    """The module's value for one TSV cell of a column of `type_name`."""
    if type_name.startswith("LowCardinality("):
        return expected(type_name[15:-1], cell)
    if type_name.startswith("Nullable("):
        return None if cell == "\\N" else expected(type_name[9:-1], cell)
    if re.fullmatch(r"U?Int\d+", type_name):
        return int(cell)
    if type_name.startswith("Float"):
        return float(cell)
    if type_name == "String" or type_name.startswith("FixedString"):
        return tsv_unescape(cell)
    if type_name == "UUID":
        return cell
    if type_name.startswith("Enum"):
        return enum_codes(type_name)[cell]
    if type_name.startswith("Decimal"):
        precision, scale = map(int, re.findall(r"\d+", type_name))
        unscaled = int(cell.replace(".", ""))
        return unscaled if precision <= 18 else str(unscaled)
    if type_name.startswith(("Array", "Tuple")):
        return ast.literal_eval(cell.replace("NULL", "None"))
    raise AssertionError("no renderer for " + type_name)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b and type(a) is type(b)


class GoldenCaptureTest(unittest.TestCase):
    entries = load_entries()

    def decoded(self, name):
        entry = self.entries[name]
        return entry, [hooks.decode_block(tcp, CAPTURE_REVISION)
                       for _, tcp, _ in http_blocks(entry)]

    def check_against_tsv(self, name):
        entry, blocks = self.decoded(name)
        rows = native.blocks_to_dicts(blocks)
        self.assertEqual(len(rows), len(entry["rows_tsv"]))
        for row, cells in zip(rows, entry["rows_tsv"]):
            for (col, type_name), cell in zip(entry["columns"], cells):
                want = expected(type_name, cell)
                if type_name == "Float32" and not math.isnan(want):
                    want = struct.unpack("<f", struct.pack("<f", want))[0]
                self.assertTrue(same(want, row[col]), (name, col, cell, want, row[col]))
        return entry, blocks, rows

    def test_captures_match_the_servers_rendering(self):
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
                self.check_against_tsv(name)

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
