#!/usr/bin/env python3
"""Regenerate the golden captures in this directory from a live server.

    tests/server/clickhouse/real_server.sh start /tmp/chwork
    python3 tests/vectors/capture.py /tmp/chwork/env
    tests/server/clickhouse/real_server.sh stop /tmp/chwork

Standard library only.  Talks to 127.0.0.1 only (addresses come from the env
file written by real_server.sh).  See README.md for what each file holds.
"""

import json
import os
import struct
import sys
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cityhash_lib import ensure_preload, load_cityhash128  # noqa: E402
import raw_native as rn  # noqa: E402

HEX_FULL_LIMIT = 64 * 1024  # larger files get an abbreviated .hex


# ---------------------------------------------------------------- helpers

def read_env(path):
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                k, v = line.split("=", 1)
                env[k] = v
    return env


def http_query(http_addr, query, params=None, timeout=30):
    qs = "?" + urllib.parse.urlencode(params) if params else ""
    req = urllib.request.Request("http://%s/%s" % (http_addr, qs), data=query.encode("utf-8"), method="POST")
    with urllib.request.urlopen(req, timeout=timeout) as resp:
        return resp.read()


def hex_lines(data, base=0, start=0, end=None):
    end = len(data) if end is None else end
    out = []
    for off in range(start - start % 16, end, 16):
        row = data[off:min(off + 16, end)]
        lo = max(start - off, 0)
        cells = []
        for i in range(16):
            if i < lo or i >= len(row):
                cells.append("  ")
            else:
                cells.append("%02x" % row[i])
        groups = " ".join("".join(cells[i:i + 2]) for i in range(0, 16, 2))
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in row)
        out.append("%08x: %s  %s" % (base + off, groups, (" " * lo) + text[lo:]))
    return out


def write_hex(path, data, marks=None):
    """Write an xxd-style dump.  marks: sorted list of (offset, label) that are
    printed as comment lines ('# ...') before the row holding that offset.
    Files over HEX_FULL_LIMIT show only 64 bytes after each mark and the last
    32 bytes before the next one."""
    marks = sorted(marks or [])
    lines = ["# %d bytes; '#' lines are annotations, not data" % len(data)]
    bounds = [m[0] for m in marks] + [len(data)]
    if not marks or marks[0][0] != 0:
        marks = [(0, "start")] + marks
        bounds = [0] + bounds
    for i, (off, label) in enumerate(marks):
        nxt = bounds[i + 1] if i + 1 < len(bounds) else len(data)
        nxt = max(nxt, off)
        lines.append("# @%d: %s" % (off, label))
        if len(data) <= HEX_FULL_LIMIT or nxt - off <= 96:
            lines += hex_lines(data, 0, off, nxt)
        else:
            lines += hex_lines(data, 0, off, off + 64)
            lines.append("# ... %d bytes elided ..." % (nxt - off - 96))
            lines += hex_lines(data, 0, nxt - 32, nxt)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def save(name, data, marks=None):
    with open(os.path.join(HERE, name + ".bin"), "wb") as f:
        f.write(data)
    write_hex(os.path.join(HERE, name + ".hex"), data, marks)


def tsv_unescape(s):
    out, i = [], 0
    table = {"t": "\t", "n": "\n", "r": "\r", "b": "\b", "f": "\f", "0": "\0", "\\": "\\", "'": "'"}
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append(table.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


# ---------------------------------------------------------------- Native over HTTP

def pick(conv, values, alias):
    """Column expression choosing the row's value from a list of SQL texts."""
    arr = "[" + ", ".join("'%s'" % v for v in values) + "]"
    return "%s(arrayElement(%s, number + 1)) AS %s" % (conv, arr, alias)


def multi(exprs, alias):
    """Column expression choosing the row's value from SQL expressions."""
    parts = []
    for i, e in enumerate(exprs[:-1]):
        parts.append("number = %d, %s" % (i, e))
    return "multiIf(%s, %s) AS %s" % (", ".join(parts), exprs[-1], alias)


def from_numbers(cols, n):
    return "SELECT %s FROM system.numbers LIMIT %d" % (", ".join(cols), n)


NATIVE_CAPTURES = [
    ("native_uints", from_numbers([
        pick("toUInt8", ["0", "1", "127", "255"], "u8"),
        pick("toUInt16", ["0", "1", "32768", "65535"], "u16"),
        pick("toUInt32", ["0", "1", "2147483648", "4294967295"], "u32"),
        pick("toUInt64", ["0", "1", "9223372036854775808", "18446744073709551615"], "u64"),
    ], 4), ""),
    ("native_ints", from_numbers([
        pick("toInt8", ["-128", "-1", "0", "127"], "i8"),
        pick("toInt16", ["-32768", "-1", "0", "32767"], "i16"),
        pick("toInt32", ["-2147483648", "-1", "0", "2147483647"], "i32"),
        pick("toInt64", ["-9223372036854775808", "-1", "0", "9223372036854775807"], "i64"),
    ], 4), ""),
    ("native_floats", from_numbers([
        pick("toFloat32", ["0.1", "-0", "inf", "nan", "-inf", "1.5"], "f32"),
        pick("toFloat64", ["0.1", "-0", "inf", "nan", "-inf", "1e308"], "f64"),
    ], 6), "nan is the default quiet NaN the server produces; compare its class, not its bits"),
    ("native_strings", from_numbers([
        pick("toString", ["", "a", "h\u00e9llo", "\u65e5\u672c", "tab\\there"], "s"),
        pick("toFixedString", ["ab", "", "abcd", "\u00e9", "\\0x"], "fs").replace(
            "number + 1))", "number + 1), 4)"),
    ], 5), "fs is FixedString(4): shorter values are NUL-padded on the wire; TSV shows the NULs as \\0"),
    ("native_dates", from_numbers([
        "CAST(toUInt16(arrayElement([0, 1, 17897, 65535], number + 1)) AS Date) AS d",
        "CAST(toUInt32(arrayElement([0, 1, 1551675967, 4294967295], number + 1)) AS DateTime) AS dt",
    ], 4), "wire values: d = day numbers 0, 1, 17897, 65535; dt = seconds 0, 1, 1551675967, 4294967295. "
           "This server renders day 0 as 0000-00-00 and second 0 as 0000-00-00 00:00:00, and its date "
           "table ends in 2105, so day 65535 (2149-06-06) and second 4294967295 (2106-02-07 06:28:15 UTC) "
           "are rendered wrongly (as 1970-01-01 ...); trust the wire values for those rows"),
    ("native_decimals", from_numbers([
        "toDecimal32(arrayElement(['1.5', '-1.5', '0', '9999999.99'], number + 1), 2) AS d32",
        "toDecimal64(arrayElement(['1.5', '-1.5', '0', '-99999999999999.9999'], number + 1), 4) AS d64",
        "toDecimal128(arrayElement(['1.5', '-1.5', '0', '-12345678901234567890.123'], number + 1), 3) AS d128",
    ], 4), "bodies are the scaled integers (value * 10^scale), little-endian two's complement of 4, 8, 16 bytes"),
    ("native_uuid", from_numbers([
        pick("toUUID", ["61f0c404-5cb3-11e7-907b-a6006ad3dba0", "00000000-0000-0000-0000-000000000000",
                        "01234567-89ab-cdef-0123-456789abcdef"], "u"),
    ], 3), "each UUID is two little-endian u64 halves: the first 8 bytes of the text form, then the last 8"),
    ("native_enums", from_numbers([
        "CAST(arrayElement(['a', 'b', 'c', 'a'], number + 1) AS Enum8('a' = 1, 'b' = -2, 'c' = 127)) AS e8",
        "CAST(arrayElement(['x', 'y', 'z', 'y'], number + 1) AS Enum16('x' = 1000, 'y' = -1000, 'z' = 0)) AS e16",
    ], 4), ""),
    ("native_nullables", from_numbers([
        "if(number % 2 = 1, NULL, toUInt32(arrayElement([1, 0, 4294967295, 0], number + 1))) AS nu32",
        "if(number % 2 = 1, NULL, arrayElement(['', 'x', 'h\u00e9llo', 'x'], number + 1)) AS ns",
        "if(number = 0, NULL, toUInt8(number)) AS nu8",
    ], 4), "NULL rows still carry a value in the nested column (zero / empty string)"),
    ("native_arrays", from_numbers([
        multi(["[1, 2, 3]", "emptyArrayUInt8()", "[255]", "emptyArrayUInt8()"], "a8").replace(
            "[1, 2, 3]", "[toUInt8(1), 2, 3]").replace("[255]", "[toUInt8(255)]"),
        multi(["[['a', 'b'], emptyArrayString()]", "arrayResize([['']], 0)", "[['\u65e5\u672c']]",
               "[emptyArrayString(), ['', 'x']]"], "aas"),
        multi(["[toNullable(toUInt8(1)), NULL]", "arrayResize([toNullable(toUInt8(0))], 0)", "[NULL]",
               "[toNullable(toUInt8(7))]"], "an"),
    ], 4), "offsets are cumulative u64 per row; nested arrays carry one offsets column per level"),
    ("native_tuple", from_numbers([
        "tuple(toUInt8(arrayElement([1, 2, 255], number + 1)), arrayElement(['x', '', '\u65e5\u672c'], number + 1)) AS t",
    ], 3), "a tuple body is its element columns one after the other"),
    ("native_ip", from_numbers([
        pick("IPv4StringToNum", ["1.2.3.4", "0.0.0.0", "255.255.255.255"], "ip4"),
        pick("IPv6StringToNum", ["::1", "2001:db8::1", "::ffff:1.2.3.4"], "ip6"),
    ], 3), "this server has no IPv4/IPv6 types: addresses come as UInt32 and FixedString(16) (network order)"),
    ("native_low_cardinality", from_numbers([
        "toLowCardinality(arrayElement(['a', 'b', 'a', ''], number + 1)) AS lc",
    ], 4), "LowCardinality(String) with its key-version prefix (u64 1), index flags u64 and dictionary"),
    ("native_low_cardinality_nullable", from_numbers([
        "toLowCardinality(if(number = 1, NULL, toUInt8(arrayElement([7, 0, 9, 7], number + 1)))) AS ln8",
        "toLowCardinality(if(number = 1, NULL, arrayElement(['a', '', 'bb', 'a'], number + 1))) AS lns",
        "toLowCardinality(toUInt8(arrayElement([7, 0, 9, 7], number + 1))) AS l8",
    ], 4), "LowCardinality(Nullable(T)): the dictionary is plain T values (no null map), key 0 stands for "
           "NULL and holds T's default, as does key 1; LowCardinality(UInt8): key 0 is the default value"),
    ("native_low_cardinality_wide", from_numbers([
        "toLowCardinality(toString(number % 300)) AS lc",
    ], 600), "301 keys (the default '' first): UInt16 indexes, flags 0x601"),
    ("native_low_cardinality_nested", from_numbers([
        "CAST(multiIf(number = 0, ['a', 'b'], number = 1, emptyArrayString(), number = 2, ['b'], ['', 'a']) "
        "AS Array(LowCardinality(String))) AS al",
        "CAST(emptyArrayString() AS Array(LowCardinality(String))) AS ae",
        "CAST((toUInt8(number * 3), toString(number % 2)) AS Tuple(LowCardinality(UInt8), LowCardinality(String))) AS t",
    ], 4), "nested LowCardinality: the column starts with every key version (u64 1, depth first) before its "
           "offsets; each LowCardinality body then starts at its flags, and one of no rows (ae) still has "
           "flags, keys (the default) and an index count of 0"),
    ("native_multi_block", from_numbers([
        "number AS n", "toString(number) AS s",
    ], 5), "max_block_size=2: three blocks back to back, 2 + 2 + 1 rows, each with its own counts and headers"),
]

NATIVE_PARAMS = {"native_multi_block": {"max_block_size": "2"}}


def parse_native_blocks(data):
    """Parse HTTP Native output (no block info) into a list of blocks."""
    c = rn.Cursor(data)
    blocks = []
    while c.pos < len(data):
        start = c.pos
        ncols = c.varint()
        nrows = c.varint()
        cols = []
        for _ in range(ncols):
            name = c.string().decode()
            typ = c.string().decode()
            body = c.pos
            rn.skip_column(c, typ, nrows)
            cols.append({"name": name, "type": typ, "header_offset": start, "body_offset": body, "body_end": c.pos})
        blocks.append({"offset": start, "rows": nrows, "columns": cols, "end": c.pos})
    return blocks


def split_type(text):
    """("Tuple", ["UInt8", "String"]) for "Tuple(UInt8, String)"; (text, []) for a plain type."""
    if "(" not in text or text.startswith(("Enum", "Decimal", "FixedString", "DateTime")):
        return text, []
    head, args, depth, quoted, start = text[:text.index("(")], [], 0, False, text.index("(") + 1
    for i in range(start, len(text)):
        c = text[i]
        quoted = quoted != (c == "'")
        depth += 0 if quoted else (c == "(") - (c == ")")
        if not quoted and (depth == -1 or (depth == 0 and c == ",")):
            args.append(text[start:i].strip())
            start = i + 1
    return head, args


def lossy(hex_text):
    """Bytes as text, each invalid UTF-8 sequence replaced by U+FFFD, back in upper-case hex."""
    return bytes.fromhex(hex_text).decode("utf-8", "replace").encode().hex().upper()


def leaf_queries(expr, type_text):
    """(SQL expression, rendering) per leaf part of a column: array elements through arrayJoin,
    tuple elements one after the other, so each query yields one value per leaf."""
    head, args = split_type(type_text)
    if head in ("Nullable", "LowCardinality"):
        return leaf_queries(expr, args[0])
    if head == "Array":
        return leaf_queries("arrayJoin(%s)" % expr, args[0])
    if head == "Tuple":
        return [q for i, a in enumerate(args) for q in leaf_queries("tupleElement(%s, %d)" % (expr, i + 1), a)]
    for prefix, sql, render in [("Enum", "toInt64(%s)", str), ("Date", "toUInt32(%s)", str),
                                ("Float", "toFloat64(%s)", lambda v: "%.17g" % float(v) if v != "nan" else v),
                                ("Decimal", "toString(%s)", lambda v: str(int(v.replace(".", "")))),
                                ("UUID", "hex(toString(%s))", str), ("String", "hex(%s)", lossy),
                                ("FixedString", "hex(%s)", lossy), ("", "%s", str)]:
        if head.startswith(prefix):
            return [(sql % expr, render)]


def normalised_values(http_addr, query, columns):
    """Each column's leaf values as the server computes them (integers, enum values, day and
    second numbers and scaled decimals in decimal; floats as %.17g of the double; texts (invalid
    UTF-8 replaced) and UUIDs as upper-case hex; NULL as NULL), for an exact compare with a
    decoder's."""
    out = []
    for name, type_text in columns:
        values = []
        for sql, render in leaf_queries("`%s`" % name, type_text):
            tsv = http_query(http_addr, "SELECT %s FROM (%s) FORMAT TSV" % (sql, query)).decode()
            values += ["NULL" if v == "\\N" else render(v) for v in tsv.split("\n")[:-1]]
        out.append(values)
    return out


def capture_native(http_addr):
    manifest = []
    for name, query, note in NATIVE_CAPTURES:
        params = NATIVE_PARAMS.get(name)
        native = http_query(http_addr, query + " FORMAT Native", params)
        tsv = http_query(http_addr, query + " FORMAT TSVWithNamesAndTypes", params).decode("utf-8", "backslashreplace")
        lines = tsv.split("\n")
        assert lines[-1] == "", "TSV must end with a newline"
        lines = lines[:-1]
        names = [tsv_unescape(x) for x in lines[0].split("\t")]
        types = [tsv_unescape(x) for x in lines[1].split("\t")]
        rows = [ln.split("\t") for ln in lines[2:]]
        blocks = parse_native_blocks(native)
        marks = []
        for bi, b in enumerate(blocks):
            marks.append((b["offset"], "block %d: column count, row count (%d)" % (bi, b["rows"])))
            for col in b["columns"]:
                marks.append((col["body_offset"], "block %d column %s %s body" % (bi, col["name"], col["type"])))
        save(name, native, marks)
        manifest.append({
            "file": name + ".bin",
            "query": query,
            "settings": params or {},
            "columns": [[n, t] for n, t in zip(names, types)],
            "blocks": [{"offset": b["offset"], "rows": b["rows"],
                        "column_bodies": [[c["body_offset"], c["body_end"]] for c in b["columns"]]}
                       for b in blocks],
            "rows_tsv": rows,
            "values": normalised_values(http_addr, query, list(zip(names, types))),
            "note": note,
        })
        print("native %-26s %6d bytes, %d rows, %d block(s)" % (name, len(native), len(rows), len(blocks)))
    write_manifest(os.path.join(HERE, "native_columns.json"), manifest)


def write_manifest(path, manifest):
    """JSON with one capture per object and one row per line, for easy review."""
    def dumps(v):
        return json.dumps(v, ensure_ascii=False)
    out = ["["]
    for i, m in enumerate(manifest):
        out.append(" {")
        keys = list(m.keys())
        for j, k in enumerate(keys):
            end = "," if j + 1 < len(keys) else ""
            v = m[k]
            if isinstance(v, list) and v and isinstance(v[0], (list, dict)):
                out.append("  %s: [" % dumps(k))
                out += ["   %s%s" % (dumps(x), "," if n + 1 < len(v) else "") for n, x in enumerate(v)]
                out.append("  ]%s" % end)
            else:
                out.append("  %s: %s%s" % (dumps(k), dumps(v), end))
        out.append(" }%s" % ("," if i + 1 < len(manifest) else ""))
    out.append("]")
    text = "\n".join(out) + "\n"
    assert json.loads(text) == manifest
    with open(path, "w") as f:
        f.write(text)


# ---------------------------------------------------------------- native TCP

TCP_CAPTURES = [
    ("tcp_numbers", "SELECT number FROM system.numbers LIMIT 10", [], "ten UInt64 rows"),
    ("tcp_strings", "SELECT toString(number * 7) AS s, arrayElement(['', 'h\u00e9llo', '\u65e5\u672c'], number % 3 + 1) AS u "
                    "FROM system.numbers LIMIT 6", [], "String columns"),
    ("tcp_zero_rows", "SELECT toUInt32(1) AS a, 'x' AS s, [toUInt8(1)] AS arr, toNullable(toInt8(1)) AS n "
                      "FROM system.one WHERE 0", [], "only the header block: columns with names and types, 0 rows"),
    ("tcp_large_block", "SELECT number FROM system.numbers LIMIT 150000", [("max_block_size", 150000)],
     "one 1.2 MB block split over two LZ4 frames (the server cuts frames at 1 MiB of uncompressed bytes)"),
]


def frame_marks(pk):
    marks = []
    for i, fr in enumerate(pk.get("frames", [])):
        marks.append((fr["offset"], "frame %d: checksum low/high, method 0x%02x, compressed_size %d, "
                      "uncompressed_size %d" % (i, fr["method"], fr["compressed_size"], fr["uncompressed_size"])))
    return marks


def packet_marks(packets):
    marks = []
    for pk in packets:
        label = "packet %s (type %d)" % (pk["name"], pk["type"])
        if "block" in pk:
            label += ", table name %r, block of %d rows" % (pk["table"], pk["block"]["rows"])
        marks.append((pk["offset"], label))
        marks += frame_marks(pk)
    return marks


def capture_tcp(tcp_addr, h):
    frames_out = []
    layout = []
    first = True
    for name, query, settings, note in TCP_CAPTURES:
        r = rn.run_session(tcp_addr, query, settings=settings, compression=rn.METHOD_LZ4, cityhash128=h,
                           query_id="tarnwick-capture-1")
        if first:
            save("tcp_client_hello", r["hello_sent"], [(0, "client Hello, revision %d" % rn.REVISION)])
            save("tcp_server_hello", r["hello_raw"], [(0, "server Hello")])
            first = False
        qs = r["query_sent"]
        # where the client's own empty Data packet starts: it is the last 2 + 16 + 9 + 11 bytes
        data_at = len(qs) - (2 + 25 + len(rn.lz4_literals_only(rn.EMPTY_BLOCK)))
        save(name + ".query", qs, [(0, "client Query packet"), (data_at, "client empty Data packet"),
                                   (data_at + 2, "frame: LZ4 literal-only block of the 10 empty-block bytes")])
        raw = r["reply_raw"]
        save(name, raw, packet_marks(r["packets"]))
        layout.append("%s.bin: reply to %r%s -- %s" % (
            name, query, " with settings %r" % (settings,) if settings else "", note))
        for pk in r["packets"]:
            line = "  @%d..%d %s" % (pk["offset"], pk["end"], pk["name"])
            if "block" in pk:
                b = pk["block"]
                line += " table=%r rows=%d columns=%s" % (pk["table"], b["rows"],
                                                         [(n, t) for n, t, _, _ in b["columns"]])
            for key in ("progress", "profile"):
                if key in pk:
                    line += " %s=%r" % (key, pk[key])
            layout.append(line)
            for i, fr in enumerate(pk.get("frames", [])):
                lo, hi = h(fr["hashed"])
                assert (lo, hi) == (fr["checksum_low"], fr["checksum_high"]), "checksum mismatch in " + name
                layout.append("    frame %d @%d length %d method 0x%02x compressed_size %d uncompressed_size %d "
                              "checksum %016x %016x" % (i, fr["offset"], fr["length"], fr["method"],
                                                        fr["compressed_size"], fr["uncompressed_size"], lo, hi))
                frames_out.append((name + ".bin", fr["offset"], len(fr["hashed"]), lo, hi))
        # the client's own frame, as the server accepted it
        fr = rn.parse_frame(qs, data_at + 2)
        lo, hi = h(fr["hashed"])
        frames_out.append((name + ".query.bin", fr["offset"], len(fr["hashed"]), lo, hi))
        if name == "tcp_zero_rows":
            dec = r["packets"][0]["decoded_block"]
            save("native_zero_rows_tcp", dec, [(0, "block info fields 1 and 2, end marker"),
                                               (8, "column count, row count 0, then name/type per column")])
        if name == "tcp_large_block":
            pk = [p for p in r["packets"] if p.get("block", {}).get("rows")][0]
            assert len(pk["frames"]) >= 2, "large block was not split"
        print("tcp %-20s %8d bytes, %d packets" % (name, len(raw), len(r["packets"])))

    # authentication failure: the server's Exception answer to Hello
    r = rn.run_session(tcp_addr, "SELECT 1", user="tarnwick", password="wrong", cityhash128=h)
    save("tcp_auth_failure", r["hello_raw"], [(0, "Exception packet: i32 code, name, message, stack trace, nested flag")])
    layout.append("tcp_auth_failure.bin: server answer to Hello with user tarnwick, password 'wrong': %r"
                  % (r["hello"]["exception"],))
    with open(os.path.join(HERE, "tcp_layout.txt"), "w") as f:
        f.write("# Packet and frame offsets of the tcp_*.bin captures (offsets from the start of each file)\n")
        f.write("\n".join(layout) + "\n")
    return frames_out


# ---------------------------------------------------------------- CityHash128

def pattern(n):
    return bytes((i * 7 + 3) & 0xFF for i in range(n))


def capture_cityhash(h, frames):
    lines = [
        "# CityHash128 (1.0.2 series) as computed by the server's own library.",
        "# Section 'pattern': input of LENGTH bytes, byte i = (i * 7 + 3) & 0xFF.",
        "# Section 'text': the ASCII text in the second column (no terminator).",
        "# Section 'frame': the bytes hashed = FILE[OFFSET + 16 : OFFSET + 16 + LENGTH], i.e. the",
        "#   method byte, both sizes and the payload of a compressed frame; LOW/HIGH must equal the",
        "#   two little-endian u64 stored at FILE[OFFSET : OFFSET + 16].",
        "# Columns: kind, length or text or file, [offset], low (hex), high (hex).",
    ]
    for n in list(range(0, 301)) + [1024, 4096, 1024 * 1024 + 13]:
        lo, hi = h(pattern(n))
        lines.append("pattern %d %016x %016x" % (n, lo, hi))
    for t in ["abc", "hello,world", "0123456789abcdef", "The_quick_brown_fox_jumps_over_the_lazy_dog"]:
        lo, hi = h(t.encode())
        lines.append("text %s %016x %016x" % (t, lo, hi))
    for fname, off, ln, lo, hi in frames:
        lines.append("frame %s %d %d %016x %016x" % (fname, off, ln, lo, hi))
    with open(os.path.join(HERE, "cityhash128.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("cityhash128.txt: %d lines" % len(lines))


def main(argv):
    if len(argv) != 1:
        sys.exit("usage: capture.py <workdir>/env")
    env = read_env(argv[0])
    h = load_cityhash128()
    capture_native(env["TARNWICK_CH_HTTP"])
    frames = capture_tcp(env["TARNWICK_CH_TCP"], h)
    capture_cityhash(h, frames)


if __name__ == "__main__":
    ensure_preload()
    main(sys.argv[1:])
