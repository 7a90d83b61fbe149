#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/<target>/seed-* from the server captures in tests/vectors
and a few inputs made by hand. Re-running it rewrites the same files; inputs kept from findings
(named after what they found) are left alone.

Input layouts (see fuzz/fuzz_support.h): most targets take a selector byte first, whose low six
bits are the chunk size of the source (0: whole) and whose two high bits are the target's flags.
"""
import json
import pathlib
import re
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
VECTORS = ROOT / "tests" / "vectors"
CORPUS = ROOT / "fuzz" / "corpus"

sys.path.insert(0, str(ROOT / "tests" / "server" / "scripted"))
from chserver.types import encode_column  # noqa: E402
from chserver.wire import read_string, read_varint, string, varint  # noqa: E402

BLOCK_INFO = bytes([0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00])


def write(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / f"seed-{name}").write_bytes(data)


def native_blocks():
    """The HTTP Native captures as native-protocol block bodies: block info, counts, then per
    column name, type, the flag byte 0 and the body."""
    for entry in json.loads((VECTORS / "native_columns.json").read_text()):
        raw = (VECTORS / entry["file"]).read_bytes()
        for i, blk in enumerate(entry["blocks"]):
            pos = blk["offset"]
            ncols, pos = read_varint(raw, pos)
            nrows, pos = read_varint(raw, pos)
            out = bytearray(BLOCK_INFO + varint(ncols) + varint(nrows))
            for c in range(ncols):
                name, pos = read_string(raw, pos)
                typ, pos = read_string(raw, pos)
                start, end = blk["column_bodies"][c]
                out += string(name) + string(typ) + b"\x00" + raw[start:end]
                pos = end
            yield f"{entry['file'][:-4]}-{i}", bytes(out), [c[1] for c in entry["columns"]]
    # The zero-row header block of a TCP reply: 8 bytes of block info, counts, names and types.
    raw = (VECTORS / "native_zero_rows_tcp.bin").read_bytes()
    pos = 8
    ncols, pos = read_varint(raw, pos)
    nrows, pos = read_varint(raw, pos)
    out = bytearray(raw[:pos])
    for _ in range(ncols):
        name, pos = read_string(raw, pos)
        typ, pos = read_string(raw, pos)
        out += string(name) + string(typ) + b"\x00"
    yield "zero_rows_tcp", bytes(out), []


def reply_frames():
    """The compressed frames of each Data packet of the small tcp_*.bin replies."""
    packets = {}
    current = None
    for line in (VECTORS / "tcp_layout.txt").read_text().splitlines():
        m = re.match(r"(tcp_\w+\.bin):", line)
        if m:
            current = m.group(1)
            continue
        m = re.match(r"\s+@(\d+)\.\.(\d+) Data", line)
        if m:
            packets.setdefault(current, []).append([])
            continue
        m = re.match(r"\s+frame \d+ @(\d+) length (\d+)", line)
        if m and current:
            packets[current][-1].append((int(m.group(1)), int(m.group(2))))
    for file, blocks in packets.items():
        if "large" in file:
            continue
        raw = (VECTORS / file).read_bytes()
        for i, frames in enumerate(blocks):
            first, last = frames[0][0], frames[-1][0] + frames[-1][1]
            yield f"{file[:-4]}-{i}", raw[first:last]


def frame(method, payload, uncompressed=None):
    """A frame with a zero checksum: the target's flag 0x40 fixes it."""
    size = len(payload) if uncompressed is None else uncompressed
    return bytes(16) + bytes([method]) + struct.pack("<II", 9 + len(payload), size) + payload


def hand_blocks():
    """Blocks of kinds the captures do not hold: (name, [(column type, body)], rows)."""
    u64 = lambda *vs: b"".join(struct.pack("<Q", v) for v in vs)
    f64 = lambda *vs: b"".join(struct.pack("<d", v) for v in vs)
    yield "map", [("Map(String, UInt64)", u64(1, 3) + string("a") + string("b") + string("") +
                   u64(1, 2, 3))], 2
    yield "json", [("JSON", u64(1) + string('{"a":1}') + string("{}"))], 2
    yield "geo", [("Point", f64(1, 2) + f64(3, 4)),
                  ("Ring", u64(1, 3) + f64(0, 1, 2) + f64(0, 1, 2)),
                  ("Tuple(Nullable(Nothing), Array(Nullable(String)))",
                   bytes([1, 0]) + bytes(2) + u64(0, 2) + bytes([0, 1]) + string("x") + string(""))], 2
    # Key version, flags, key count; a Nullable dictionary is plain values with key 0 for NULL;
    # nested, the key version comes first and the body after the offsets starts at the flags.
    lc = lambda flags, keys: u64(1, flags, keys)
    yield "low_cardinality", [("LowCardinality(Nullable(UInt16))",
                               lc(0x201, 2) + struct.pack("<HH", 0, 7) +
                               u64(2) + struct.pack("<HH", 1, 0)),
                              ("Array(LowCardinality(String))",
                               u64(1) + u64(1, 3) + u64(0x600, 2) + string("") + string("ab") +
                               u64(3) + bytes([1, 0, 1]))], 2
    # State prefixes ahead of the bodies: a Dynamic member (String, Array(LowCardinality(UInt8)))
    # inside a Variant, the same Dynamic on its own, and a Dynamic with a JSON member of one path.
    # A Variant's prefix is its mode word, then its members' prefixes; the LowCardinality's key
    # version belongs to the Dynamic's prefix.
    dyn_prefix = (u64(2) + varint(2) + string("String") + string("Array(LowCardinality(UInt8))")
                  + u64(1))
    dyn_body = (bytes([0, 1]) + string("s") + u64(1) + u64(0x200, 1) + bytes([3]) + u64(1)
                + bytes(1))
    yield "variant_dynamic", [("Variant(Dynamic, UInt8)", u64(0) + dyn_prefix + bytes(2) + dyn_body),
                              ("Dynamic", dyn_prefix + dyn_body),
                              ("Dynamic",
                               u64(2) + varint(1) + string("JSON") + u64(3) + varint(1) +
                               string("a") + u64(2) + varint(1) + string("UInt8") +
                               bytes([0, 1]) + bytes([0, 7]))], 2
    yield "wide", [("Decimal(76, 3)", bytes(64)), ("FixedString(3)", b"abcdef"),
                   ("DateTime64(9, 'UTC')", u64(1, 2)), ("UInt256", bytes(64)),
                   ("Enum16('a' = 1)", bytes(4)), ("IPv6", bytes(32))], 2


def main():
    for name, columns, rows in hand_blocks():
        block = BLOCK_INFO + varint(len(columns)) + varint(rows) + b"".join(
            string(f"c{i}") + string(t) + b"\x00" + body for i, (t, body) in enumerate(columns))
        for sel, how in ((0x00, "whole"), (0x01, "bytewise")):
            write("block_body", f"{name}-{how}", bytes([sel]) + block)
        write("block_differential", name, bytes([0x00]) + block)

    # Names and type texts long against the limit that the selector's flags set (64 bytes per
    # input byte times the flags); one name claims more than the input holds.
    long_name = string("n" * 3000) + string("UInt8") + b"\x00" + bytes(2)
    long_type = string("t") + string("Tuple(" + "a" * 3000 + " UInt8)") + b"\x00" + bytes(2)
    claimed = varint(1 << 20) + b"n" * 16
    for name, columns in (("long_name", long_name), ("long_type_text", long_type),
                          ("long_name_claimed", claimed), ("many_long_names", long_name * 40)):
        count = 40 if name.startswith("many") else 1
        block = BLOCK_INFO + varint(count) + varint(2) + columns
        for sel in (0x40, 0xC0):
            write("block_body", f"{name}-limit{sel >> 6}", bytes([sel]) + block)
        write("block_differential", name, bytes([0x00]) + block)

    # The selector's high flag bit: a Dynamic column nested 2 * (the next byte) levels deep, then
    # the tail: the innermost prefix (version 0) and one discriminator per level.
    for name, levels in (("dynamic_depth_ok", 128), ("dynamic_depth_over", 129)):
        write("block_differential", name,
              bytes([0x80, levels]) + struct.pack("<Q", 0) + bytes(2 * levels))

    for name, block, types in native_blocks():
        for sel, how in ((0x00, "whole"), (0x01, "bytewise"), (0x07, "by7")):
            write("block_body", f"{name}-{how}", bytes([sel]) + block)
        write("block_differential", name, bytes([0x00]) + block)
        for t in types:
            write("type_grammar", re.sub(r"[^A-Za-z0-9]+", "_", t).strip("_"), t.encode())

    for text in ["Map(String, Array(Nullable(Decimal(38, 3))))", "DateTime64(3, 'UTC')",
                 "Enum8('a' = 1, 'b' = -2)", "Tuple(a UInt8, b String)",
                 "LowCardinality(Nullable(String))", "FixedString(16)", "Nested(a UInt8)",
                 "AggregateFunction(sum, UInt64)", "Variant(String, UInt64)", " \u00a0String\u3000",
                 "Decimal32(2)", "Time64(6)", "Tuple(UInt8,)", "MultiPolygon", "Object('json')",
                 "Enum16('q\\\\z\\n' = -3, 'a, b' = 1, 'it\\'s (x)' = 2)",
                 "Enum8( 'a''b'=-128 ,'c'=127)",
                 "Enum8('n\\Nm' = 1, '\\xZZ' = 2, '\\x4\\x41' = 3, '\\e\\q' = 4)"]:
        write("type_grammar", re.sub(r"[^A-Za-z0-9]+", "_", text).strip("_") or "space",
              text.encode())

    # Long and deep names (each under 64 KiB): texts over 256 bytes find their commas through an
    # index of the whole text; the chains reach it at every depth up to the nesting limit.
    def nest(opening, levels, leaf, closing=")"):
        return opening * levels + leaf + closing * levels

    pad = " " * 200 + "\u00a0"
    for name, text in [
            ("long-tuple-chain-256", nest("Tuple(a, ", 256, "b")),
            ("long-tuple-chain-257", nest("Tuple(a, ", 257, "b")),
            ("long-map-keys-128", nest("Map(", 128, "x" * 4096, ", Nullable(UInt8))")),
            ("long-name-in-250-tuples", nest("Tuple(", 250, "x" * 60000)),
            ("long-wide-tuple", "Tuple(" + ", ".join(["UInt8", "a String", "Map(K, V)"] * 1500)
             + ")"),
            ("long-unbalanced", pad + "Tuple(a)((b), c, Map(d), (e, f)), Variant(g,))" + pad),
            ("long-mixed", pad + "Map(Tuple(a, Map(b, c)), Variant(Tuple(d,), Array(Map(e, f))))")]:
        write("type_grammar", name, text.encode())

    for name, frames in reply_frames():
        write("frames", f"{name}-whole", bytes([0x00]) + frames)
        write("frames", f"{name}-by3-large", bytes([0x83]) + frames)
    stored = frame(0x02, b"stored payload") + frame(0x02, b"") + frame(0x02, b"tail")
    write("frames", "stored-fixed", bytes([0x40]) + stored)
    lz4_literals = bytes([0x50]) + b"hello"  # one sequence: five literals, no match
    write("frames", "lz4-fixed", bytes([0x41]) + frame(0x82, lz4_literals, 5))
    write("frames", "passthrough", bytes([0x00]) + b"not a frame at all, read as is")

    hello = (VECTORS / "tcp_server_hello.bin").read_bytes()
    auth = (VECTORS / "tcp_auth_failure.bin").read_bytes()
    status = (VECTORS / "tables_status_reply.bin").read_bytes()
    numbers = (VECTORS / "tcp_numbers.bin").read_bytes()
    packets = {
        "hello-54412": (0x00, hello),
        "hello-exception": (0x00, auth),
        "exception": (0x02, auth[1:]),
        "exception-chain": (0x13, auth[1:]),
        "tables-status-body": (0x09, status[1:]),
        "tables-status-answer": (0x16 | 0xE0, status),
        "data-table-name": (0x01, numbers[54:150]),
        "profile-info": (0x06, numbers[151:157]),
        "progress": (0x03, numbers[158:161]),
        "progress-54483": (0x03 | 0xE0, bytes(7)),
        "part-uuids": (0x0C, varint(1) + bytes(16)),
        "timezone": (0x11, string("Etc/UTC")),
        "table-columns": (0x14, string("") + string("columns format version: 1\n")),
        "read-task-request": (0x0D, b""),
        "merge-tree-read-task": (0x10, bytes(25) + varint(0) + string("tail")),
        "all-ranges": (0x0F, bytes(9) + varint(0) + bytes(16) + varint(0) * 2 + string("")),
        "ranges": (0x15, varint(1) + bytes(8) + string("p") + bytes(33) + bytes(8) + varint(0) +
                   string("x") + varint(0)),
    }
    for name, (sel, body) in packets.items():
        write("server_packets", name, bytes([sel]) + body)

    def chunk(payload):
        return struct.pack("<I", len(payload)) + payload

    message = chunk(b"abc") + chunk(b"") + chunk(b"hello, chunks") + chunk(b"")
    for sel, how in ((0x00, "small"), (0x41, "steps-bytewise"), (0x80, "large"), (0xC5, "mixed")):
        write("chunked", how, bytes([sel]) + message)
    write("chunked", "oversized", bytes([0x00]) + struct.pack("<I", 67108865) + b"x")

    # Query stream responses: packets back to back, or chunk-framed with a packet split across
    # chunks and zero lengths between them; the selector's low bits are the small receive size.
    lc_block = next(b for name, b, _ in native_blocks() if "low_cardinality" in name)
    data = varint(1) + string("") + lc_block
    progress = varint(3) + bytes(7)
    response = progress + data + varint(6) + bytes(10) + data + varint(5)
    write("stream_buffer", "plain-by5", bytes([0x05]) + response)
    write("stream_buffer", "plain-bytewise", bytes([0x00]) + response)
    framed = (chunk(response[:4]) + chunk(b"") + chunk(response[4:40]) + chunk(b"") +
              chunk(response[40:]) + chunk(b"") + chunk(b""))
    write("stream_buffer", "chunked-split", bytes([0x43]) + framed)
    exception = varint(2) + auth[1:]
    write("stream_buffer", "exception-cut", bytes([0x02]) + progress + exception[:-3])

    # Python targets: one column's row count, type text, NUL and body, from the captures (the
    # first block of each with few rows); and for dicts_to_block a type text, NUL and a program.
    for entry in json.loads((VECTORS / "native_columns.json").read_text()):
        raw = (VECTORS / entry["file"]).read_bytes()
        blk = entry["blocks"][0]
        pos = blk["offset"]
        ncols, pos = read_varint(raw, pos)
        nrows, pos = read_varint(raw, pos)
        if nrows > 63:
            continue
        for c in range(ncols):
            name, pos = read_string(raw, pos)
            typ, pos = read_string(raw, pos)
            start, end = blk["column_bodies"][c]
            pos = end
            write("py_conversion", re.sub(r"[^A-Za-z0-9]+", "_", typ.decode()).strip("_")[:60],
                  bytes([nrows]) + typ + b"\0" + raw[start:end])
    # LowCardinality columns whose rows share dictionary keys, as the scripted server lays them
    # out (key version, then the body): through the block decoder they keep their indexes and
    # convert by key. The last has 16-bit indexes for a dictionary that would fit 8-bit ones.
    shared = [("LowCardinality(String)", ["b", "", "b", "é", "b", "", "é"] * 5),
              ("LowCardinality(Nullable(String))", [None, "x", "x", "", None, "x", "y"])]
    for typ, vals in shared:
        write("py_conversion", "shared_keys-" + re.sub(r"[^A-Za-z0-9]+", "_", typ).strip("_"),
              bytes([len(vals)]) + typ.encode() + b"\0" + encode_column(typ, vals))
    wide = (struct.pack("<QQQ", 1, 0x601, 3) + string("") + string("ab") + string("c") +
            struct.pack("<Q6H", 6, 1, 2, 1, 0, 2, 1))
    write("py_conversion", "shared_keys-wide_indexes", b"\x06LowCardinality(String)\0" + wide)
    programs = {
        "edges": b"\x01\x11\x05\x01\x11\x10\x01\x01\x13\x03\x01\x00",
        "texts": b"\x01\x34ab\x00c\x01\x25\xff\xfe\x01\x00",
        "nested": b"\x01\x37\x11\x02\x01\x04\x00\x01\x28\x14ab\x00",
        "objects": b"\x01\x0a\x00\x00\x01\x00\x00\x01\x0b\x01\x02\x03\x01\x3cxyz"
                   b"\x01\x0d" + bytes(range(16)) + b"\x01\x1e" + bytes(16),
    }
    for typ in ["UInt8", "Int256", "Float32", "String", "FixedString(0)", "FixedString(3)",
                "Nullable(Int64)", "Array(Nullable(String))", "Map(String, UInt64)",
                "Tuple(UInt8, String)", "LowCardinality(Nullable(String))", "Decimal(76, 10)",
                "DateTime64(9, 'UTC')", "Date32", "UUID", "IPv4", "IPv6", "Enum8('a' = 1)",
                "Bool", "JSON", "Variant(String, UInt64)"]:
        name = re.sub(r"[^A-Za-z0-9]+", "_", typ).strip("_")
        for pname, program in programs.items():
            write("py_dicts_to_block", f"{name}-{pname}", typ.encode() + b"\0" + program)


if __name__ == "__main__":
    main()
