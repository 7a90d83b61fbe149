"""_Client against the real ClickHouse server (18.16, protocol revision 54412) that the test run
starts (tests/server/clickhouse/real_server.sh; scripts/test.sh exports its addresses). Every value
read or inserted is compared with what the server itself renders for the same rows over its HTTP
interface (TSV), never with values this module produced."""

import ast
import ctypes
import datetime
import math
import os
import re
import struct
import time
import unittest
import urllib.parse
import urllib.request
import zoneinfo

from tarnwick._native import _Client, dicts_to_block

TCP = os.environ.get("TARNWICK_CH_TCP")
HTTP = os.environ.get("TARNWICK_CH_HTTP")
TLS = os.environ.get("TARNWICK_CH_TLS")
CA = os.environ.get("TARNWICK_CH_CA")
REQUIRED = os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1"

# Every type 18.16 produces, over rows with defaults, NULLs, empty arrays and text that TSV escapes.
TYPED = """
SELECT
    toUInt8(number * 97) AS u8, toUInt16(number * 40503) AS u16,
    toUInt32(number * 2654435761) AS u32, toUInt64(number) * 11400714819323198485 AS u64,
    toInt8(number * 97) AS i8, toInt16(-number * 40503) AS i16,
    toInt32(number * 2654435761) AS i32, -toInt64(number) * 3141592653589793 AS i64,
    toFloat32(number / 3) AS f32, [0.5, -0., inf, -inf, nan][number % 5 + 1] AS f64,
    ['', 'a\\tb', 'x\\ny\\\\z', 'h\u00e9llo \u65e5\u672c', 'q\\'q'][number % 5 + 1] AS s,
    toFixedString(substring('abcd', 1, number % 5), 4) AS fs,
    toDate(17897 + number * 100) AS d, toDate(17897 + number % 3 * 10000) AS dr,
    toDateTime(1551675967 + number * 86461) AS dt,
    toDateTime(1551675967 + number * 3601, 'Asia/Kolkata') AS dtz,
    toDecimal32(number * 1.25 - 3, 2) AS d32, toDecimal64(-number * 1000.0001, 4) AS d64,
    toDecimal128(number * 12345.678, 3) AS d128,
    toUUID(concat('0123456', toString(number % 10), '-89ab-cdef-0123-456789abcdef')) AS uuid,
    CAST(['a', 'b', 'c'][number % 3 + 1] AS Enum8('a' = -128, 'b' = 0, 'c' = 127)) AS e8,
    CAST(['x', 'y'][number % 2 + 1] AS Enum16('x' = -1000, 'y' = 1000)) AS e16,
    if(number % 3 = 0, NULL, toUInt32(number)) AS nu32,
    if(number % 4 = 1, NULL, toString(number)) AS ns,
    arrayMap(x -> toUInt8(x), range(number % 4)) AS au8,
    [arrayMap(x -> toString(x), range(number % 3)), ['z']] AS aas,
    [NULL, toUInt8(number % 7)] AS anu8,
    (toUInt8(number), toString(number * 2)) AS tup,
    toLowCardinality(['', 'red', 'green'][number % 3 + 1]) AS lc,
    toLowCardinality(if(number % 2 = 0, NULL, toString(number % 5))) AS lcn,
    arrayMap(x -> toLowCardinality(toString(x)), range(number % 3)) AS alc,
    (toLowCardinality(toUInt8(number % 2)), toLowCardinality('t')) AS tlc,
    NULL AS nothing, [] AS anothing
FROM system.numbers LIMIT 23
"""

# Columns the insert test leaves out: Nothing cannot be stored, and dicts_to_block writes no Array
# or Tuple bodies.
NOT_INSERTED = ("nothing", "anothing", "alc", "tlc", "au8", "aas", "anu8", "tup")


def tsv_unescape(text):
    escapes = {"t": "\t", "n": "\n", "\\": "\\", "0": "\0", "'": "'", "r": "\r"}
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] == "x":
                out.append(chr(int(text[i + 2 : i + 4], 16)))
                i += 4
                continue
            out.append(escapes[text[i + 1]])
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def http(query, **params):
    url = f"http://{HTTP}/?" + urllib.parse.urlencode(params)
    with urllib.request.urlopen(url, data=query.encode(), timeout=10) as reply:
        return reply.read().decode()


def tsv(query, **params):
    """The server's own TSV of `query`: column names, types and the rows' cells."""
    lines = http(query + " FORMAT TSVWithNamesAndTypes", **params).split("\n")[:-1]
    names, types = ([tsv_unescape(c) for c in line.split("\t")] for line in lines[:2])
    return names, types, [line.split("\t") for line in lines[2:]]


def value(type_name, cell):
    """This module's Python value for one TSV cell of the server."""
    if type_name.startswith("Nullable(") and cell == "\\N":
        return None
    if type_name.startswith(("Nullable(", "LowCardinality(")):
        return value(type_name[type_name.index("(") + 1 : -1], cell)
    if type_name == "Nothing":
        return None
    if type_name == "Date":
        return datetime.date.fromisoformat(cell)
    if type_name.startswith("DateTime"):
        local = datetime.datetime.fromisoformat(cell)
        if "(" not in type_name:
            return local
        zone = zoneinfo.ZoneInfo(type_name.split("'")[1])
        utc = local.replace(tzinfo=zone).astimezone(datetime.timezone.utc)
        return utc.replace(tzinfo=None)
    if type_name == "Float32":
        return struct.unpack("<f", struct.pack("<f", float(cell)))[0]
    if type_name == "Array(Nothing)":
        return []
    if type_name.startswith("Decimal"):
        precision = int(type_name[8:].split(",")[0])
        unscaled = int(cell.replace(".", ""))
        return unscaled if precision <= 18 else str(unscaled)
    if re.fullmatch(r"U?Int\d+", type_name):
        return int(cell)
    if type_name == "Float64":
        return float(cell)
    if type_name == "String" or type_name.startswith("FixedString"):
        return tsv_unescape(cell)
    if type_name == "UUID":
        return cell
    if type_name.startswith("Enum"):
        codes = re.findall(r"'([^']*)' = (-?\d+)", type_name)
        return {name: int(code) for name, code in codes}[cell]
    if type_name.startswith(("Array", "Tuple")):
        return ast.literal_eval(cell.replace("NULL", "None"))
    raise AssertionError("no renderer for " + type_name)


def insertable(v, type_name=""):
    """A value read back as dicts_to_block takes it: dates as day numbers, times as seconds, wide
    decimals as integers."""
    if type_name.startswith("Decimal") and isinstance(v, str):
        return int(v)
    if isinstance(v, datetime.datetime):
        return int(v.replace(tzinfo=datetime.timezone.utc).timestamp())
    if isinstance(v, datetime.date):
        return (v - datetime.date(1970, 1, 1)).days
    if isinstance(v, (list, tuple)):
        return type(v)(insertable(x) for x in v)
    return v


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (
            a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)) and type(a) is type(b):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b and type(a) is type(b)


def peak_rss():
    """The process's peak resident set size, in bytes (VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise unittest.SkipTest("no VmHWM in /proc/self/status")


def peak_rss_reset():
    """Resets the peak resident set size to the current one and returns it."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError as e:
        raise unittest.SkipTest(f"the peak RSS cannot be reset: {e}")
    return peak_rss()


@unittest.skipUnless(TCP or REQUIRED, "no real server started (TARNWICK_CH_TCP unset)")
class RealServerTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(TCP and HTTP, "TARNWICK_REQUIRE_REAL_SERVER=1 but the server is unset")

    def client(self, addr=None, **kwargs):
        c = _Client(addr or TCP, connect_timeout=10, query_timeout=30, **kwargs)
        self.addCleanup(c.discard)
        return c

    def table(self, name, columns):
        """A fresh Memory table, dropped at the end of the test (created by `execute`)."""
        table = f"tarnwick_{name}_{os.getpid()}"
        c = self.client()
        c.execute("SET allow_experimental_low_cardinality_type = 1")
        c.execute(f"DROP TABLE IF EXISTS {table}")
        body = ", ".join(f"`{n}` {t}" for n, t in columns)
        self.assertIsNone(c.execute(f"CREATE TABLE {table} ({body}) ENGINE = Memory"))
        self.addCleanup(http, f"DROP TABLE IF EXISTS {table}")
        return table

    def assert_rows(self, types, rows, got, what):
        self.assertEqual(len(got), len(rows), what)
        for r, (cells, row) in enumerate(zip(rows, got)):
            for type_name, cell, v in zip(types, cells, row):
                want = value(type_name, cell)
                self.assertTrue(same(v, want), f"{what} row {r} {type_name}: {v!r} != {want!r}")

    def test_every_type_through_every_path(self):
        names, types, rows = tsv(TYPED)
        self.assertEqual(len(rows), 23)
        for compression in (None, "lz4"):
            c = self.client(compression=compression)
            what = f"compression={compression}"
            self.assert_rows(types, rows, [[d[n] for n in names] for d in c.query(TYPED)],
                             what + " query")
            self.assert_rows(types, rows, c.query_tuples(TYPED), what + " query_tuples")
            columns = c.query_columns(TYPED)
            self.assertEqual(list(columns), names)
            self.assert_rows(types, rows, list(zip(*columns.values())), what + " query_columns")
            # Equal days and equal dictionary keys come as one object, in a column view too.
            (block,) = [b for b in c.query_blocks(TYPED) if len(b)]
            for name, col in (("dr", columns["dr"]), ("lc", columns["lc"]),
                              ("lcn", columns["lcn"]), ("dr view", block["dr"].to_list()),
                              ("lc view", block["lc"].to_list())):
                self.assertTrue(all(v is col[col.index(v)] for v in col), name)
            blocks = c.query_blocks(TYPED)
            streamed = list(c.query_stream(TYPED))
            for path, got in (("query_blocks", blocks), ("query_stream", streamed)):
                self.assertEqual([b.column_types() for b in got], [types] * len(got))
                self.assert_rows(types, rows, [list(d.values()) for b in got for d in b.to_dicts()],
                                 f"{what} {path} to_dicts")
                self.assert_rows(types, rows, [list(d.values()) for b in got for d in b.rows()],
                                 f"{what} {path} rows")
                by_columns = [list(zip(*(col["data"] for col in t["columns"])))
                              for b in got for t in b.to_columns()]
                self.assert_rows(types, rows, [r for part in by_columns for r in part],
                                 f"{what} {path} to_columns")
            # A column view holds the values of its plain kinds as rows show them.
            for name, type_name in zip(names, types):
                if "Nullable" in type_name or type_name.startswith(("Array", "Tuple", "Decimal")):
                    continue  # kept flattened, counted or without the null map
                view = [v for b in blocks for v in b[name].to_list()]
                self.assert_rows([type_name], [[r[names.index(name)]] for r in rows],
                                 [[v] for v in view], f"{what} column {name}")

    def test_a_million_rows_buffered_and_streamed(self):
        query = "SELECT number, toString(number) AS s FROM system.numbers LIMIT 1000000"
        n = 1000000
        numbers, texts = list(range(n)), [str(i) for i in range(n)]
        self.assertEqual(http("SELECT sum(number), sum(length(toString(number))) FROM "
                              "(SELECT number FROM system.numbers LIMIT 1000000)"),
                         f"{sum(numbers)}\t{sum(map(len, texts))}\n")
        for compression in (None, "lz4"):
            c = self.client(compression=compression)
            columns = c.query_columns(query)
            self.assertEqual(columns["number"], numbers, compression)
            self.assertEqual(columns["s"], texts, compression)
            got_n, got_s = [], []
            for block in c.query_stream(query):
                (table,) = block.to_columns()
                got_n += table["columns"][0]["data"]
                got_s += table["columns"][1]["data"]
            self.assertEqual(got_n, numbers, compression)
            self.assertEqual(got_s, texts, compression)

    def test_inserts_of_every_stored_type_read_back_by_the_server(self):
        names, types, rows = tsv(TYPED)
        columns = [(n, t) for n, t in zip(names, types) if n not in NOT_INSERTED]
        source = self.client().query(TYPED)
        values = [{n: insertable(row[n], t) for n, t in columns} for row in source]
        for compression in (None, "lz4"):
            table = self.table("types", columns)
            c = self.client(compression=compression, validate_schema=True)
            schema = [(col["name"], col["type"]) for col in c.schema_for_table(table)["columns"]]
            self.assertEqual(schema, columns)
            blocks = [dicts_to_block(values[:5], schema), dicts_to_block([], schema),
                      dicts_to_block(values[5:], schema)]
            c.insert(f"INSERT INTO {table} VALUES", table, blocks)
            # A block without rows is not sent: it would end the insert on the wire.
            c.begin_insert_stream(f"INSERT INTO {table} VALUES")
            c.send_data(table, dicts_to_block([], schema))
            c.send_data(table, dicts_to_block(values[:1], schema))
            c.end_insert_stream()
            order = ", ".join(f"`{n}`" for n, _ in columns)
            _, got_types, got = tsv(f"SELECT {order} FROM {table}")
            self.assertEqual(got_types, [t for _, t in columns])
            want = [[cells[names.index(n)] for n, _ in columns] for cells in rows]
            # A Memory table may hand its blocks back in any order.
            self.assertEqual(sorted(got), sorted(want + want[:1]), compression)

    def test_refused_inserts_leave_the_connection_idle(self):
        table = self.table("checked", [("x", "UInt8"), ("s", "String")])
        c = self.client(validate_schema=True)
        good = dicts_to_block([{"x": 1, "s": "a"}], [("x", "UInt8"), ("s", "String")])
        bad = dicts_to_block([{"x": 2}], [("x", "UInt16")])
        with self.assertRaises(ValueError) as ctx:
            c.insert(f"INSERT INTO {table} VALUES", table, [good, bad])
        self.assertEqual(str(ctx.exception), f"ClickHouse protocol error: insert block for "
                         f"{table} column 'x' has type 'UInt16', expected 'UInt8'")
        self.assertEqual(http(f"SELECT count() FROM {table}"), "0\n")  # nothing was sent
        # A statement that takes no data ends cleanly: the connection stays usable.
        with self.assertRaises(ValueError) as ctx:
            c.insert(f"INSERT INTO {table} SELECT 7, 'q'", table, [])
        self.assertEqual(str(ctx.exception),
                         "ClickHouse protocol error: unexpected EndOfStream before insert data")
        self.assertFalse(c.discarded)
        self.assertEqual(c.query_tuples(f"SELECT x, s FROM {table}"), [(7, "q")])
        c.insert(f"INSERT INTO {table} VALUES", table, [good])
        self.assertEqual(http(f"SELECT x, s FROM {table} ORDER BY x"), "1\ta\n7\tq\n")
        self.assertEqual(c.table_status("default", table),
                         {"is_replicated": False, "absolute_delay": 0, "is_readonly": False})
        self.assertIsNone(c.table_status("default", table + "_missing"))

    def test_inserts_are_checked_against_the_table_structure_the_server_sends(self):
        # 18.16 reads each column it is sent by its name with the table's own type: a column of
        # another type corrupts the table, one the table lacks is lost. Either is refused with
        # nothing of its insert stored and the client usable; reordered columns and a subset go in.
        columns = [("id", "UInt32"), ("name", "String"), ("n", "UInt8")]
        table = self.table("structure", columns)
        query = f"INSERT INTO {table} VALUES"
        read_back = f"SELECT id, name, n FROM {table} ORDER BY id"
        good = dicts_to_block([{"id": 1, "name": "a", "n": 2}], columns)
        c = self.client()
        c.insert(query, table, [good])
        self.assertEqual(http(read_back), "1\ta\t2\n")
        refused = [
            ([("id", "UInt32"), ("extra", "String")], {"id": 3, "extra": "x"},
             "column 'extra' is not among the insert's columns"),
            ([("id", "UInt32"), ("name", "UInt8")], {"id": 2, "name": 7},
             "column 'name' has type 'UInt8', the table's is 'String'"),
        ]
        for compression in (None, "lz4"):
            c = self.client(compression=compression)
            for schema, row, reason in refused:
                what = f"{reason} compression={compression}"
                bad = dicts_to_block([row], schema)
                with self.assertRaises(ValueError, msg=what) as ctx:
                    c.insert(query, table, [good, bad])
                message = f"ClickHouse protocol error: insert block for {table} {reason}"
                self.assertEqual(str(ctx.exception), message)
                c.begin_insert_stream(query)
                with self.assertRaises(ValueError, msg=what) as ctx:
                    c.send_data(table, bad)
                self.assertEqual(str(ctx.exception), message)
                self.assertEqual(c.query_tuples(f"SELECT count() FROM {table}"), [(1,)], what)
                self.assertEqual(http(read_back), "1\ta\t2\n", what)
        reordered = dicts_to_block([{"id": 4, "name": "d", "n": 5}],
                                   [("n", "UInt8"), ("name", "String"), ("id", "UInt32")])
        subset = dicts_to_block([{"id": 6}], [("id", "UInt32")])
        c.insert(query, table, [reordered, subset])
        c.begin_insert_stream(query)
        c.send_data(table, subset)
        c.send_data(table, reordered)
        c.end_insert_stream()
        self.assertEqual(http(read_back), "1\ta\t2\n4\td\t5\n4\td\t5\n6\t\t0\n6\t\t0\n")

    def test_the_structure_check_compares_types_by_meaning(self):
        # The server prints its types one way; a block may spell the same type another. Spacing
        # outside quotes and the order of Enum members do not matter, anything else does.
        columns = [("d", "Decimal(9, 2)"), ("e", "Enum8('a, b' = 1, 'it\\'s (x)' = 2)"),
                   ("t", "DateTime('UTC')"), ("p", "UInt8"), ("m", "UInt8 MATERIALIZED p"),
                   ("n", "Enum8('nm' = 1)"), ("N", "Enum8('nNm' = 1)")]
        table = self.table("spelling", columns)
        query = f"INSERT INTO {table} VALUES"
        read_back = f"SELECT d, e, t, p FROM {table} ORDER BY p"
        c = self.client()
        spelled = [("d", "Decimal(9,2)"), ("e", "Enum8('it\\'s (x)'=2,'a, b'=1)"),
                   ("t", "DateTime( 'UTC' )"), ("p", "UInt8"), ("n", "Enum8('n\\Nm' = 1)")]
        spaced = [("p", "UInt8"), ("e", "Enum8( 'a, b' = 1 , 'it\\'s (x)' = 2 )")]
        c.insert(query, table, [dicts_to_block([{"d": 125, "e": 2, "t": 86400, "p": 1, "n": 1}], spelled),
                                dicts_to_block([{"p": 2, "e": 1}], spaced)])
        self.assertEqual(http(read_back), "1.25\tit\\'s (x)\t1970-01-02 00:00:00\t1\n"
                                          "0.00\ta, b\t0000-00-00 00:00:00\t2\n")
        refused = [
            ("t", "DateTime", 0), ("t", "DateTime('Europe/Moscow')", 0), ("d", "Decimal(9, 3)", 1),
            ("e", "Enum8('a, b' = 1)", 1), ("e", "Enum16('a, b' = 1, 'it\\'s (x)' = 2)", 1),
            ("e", "Enum8('a, b' = 1, 'it\\'s (x)' = 3)", 1), ("e", "Enum8('a,b' = 1, 'it\\'s (x)' = 2)", 1),
            ("N", "Enum8('n\\Nm' = 1)", 1),  # the server reads \N as nothing: 'nm'
        ]
        for name, type_name, v in refused:
            bad = dicts_to_block([{"p": 3, name: v}], [("p", "UInt8"), (name, type_name)])
            with self.assertRaises(ValueError, msg=type_name) as ctx:
                c.insert(query, table, [bad])
            table_type = dict(columns)[name]
            self.assertEqual(str(ctx.exception),
                             f"ClickHouse protocol error: insert block for {table} column '{name}' "
                             f"has type '{type_name}', the table's is '{table_type}'")
        # The server's structure holds the columns an insert writes: with a column list only the
        # listed ones, and never one the table computes itself.
        for statement, name, type_name in ((f"INSERT INTO {table} (p, d) VALUES", "e", columns[1][1]),
                                           (query, "m", "UInt8")):
            block = dicts_to_block([{"p": 4, name: 1}], [("p", "UInt8"), (name, type_name)])
            with self.assertRaises(ValueError, msg=statement) as ctx:
                c.insert(statement, table, [block])
            self.assertEqual(str(ctx.exception), f"ClickHouse protocol error: insert block for "
                             f"{table} column '{name}' is not among the insert's columns")
        self.assertEqual(c.query_tuples(f"SELECT count() FROM {table}"), [(2,)])

    def test_enum_codes_outside_the_members_are_refused_before_anything_is_built(self):
        columns = [("e", "Enum8('a, b' = 1, 'it\\'s (x)' = 2, 'q\\\\z\\n' = -3)"),
                   ("w", "Enum16('lo' = -1000, 'hi' = 1000)"), ("n", "Nullable(Enum8('x' = 5))")]
        table = self.table("enums", columns)
        c = self.client()
        # The server prints the members sorted by code; its own text reads as well as ours.
        schema = [(col["name"], col["type"]) for col in c.schema_for_table(table)["columns"]]
        self.assertEqual(schema[0], ("e", "Enum8('q\\\\z\\n' = -3, 'a, b' = 1, 'it\\'s (x)' = 2)"))
        rows = [{"e": 1, "w": -1000, "n": None}, {"e": 2, "w": 1000, "n": 5},
                {"e": -3, "w": -1000, "n": 5}]
        for types in (columns, schema):
            c.insert(f"INSERT INTO {table} VALUES", table, [dicts_to_block(rows, types)])
        names = {1: "a, b", 2: "it's (x)", -3: "q\\z\n", -1000: "lo", 1000: "hi", 5: "x"}
        want = [[names[r["e"]], names[r["w"]], names.get(r["n"], "NULL")] for r in rows] * 2
        _, _, got = tsv(f"SELECT e, w, n FROM {table}")
        got = [[tsv_unescape(cell) if cell != "\\N" else "NULL" for cell in r] for r in got]
        self.assertEqual(sorted(got), sorted(want))
        for name, bad, types, enum in (("e", 5, columns, columns[0][1]),
                                       ("e", 0, schema, schema[0][1]),
                                       ("w", 999, columns, columns[1][1]),
                                       ("n", 4, schema, "Enum8('x' = 5)")):
            row = dict(rows[0], **{name: bad})
            with self.assertRaises(ValueError, msg=name) as ctx:
                dicts_to_block([rows[0], row], types)
            self.assertEqual(str(ctx.exception),
                             f"ValueError: code {bad} for column '{name}' is not a member of {enum}")
        self.assertEqual(http(f"SELECT count() FROM {table} WHERE NOT ignore(toString(e))"), "6\n")

    def test_an_insert_the_server_refuses_says_why(self):
        # 18.16 answers a block it cannot take with its exception and closes the connection
        # with the later blocks unread: the write that meets the reset must not hide the reason.
        table = self.table("refused", [("s", "String"), ("n", "UInt8 DEFAULT toUInt8(s)")])
        schema = [("s", "String")]
        bad = dicts_to_block([{"s": "bad7"}], schema)
        good = dicts_to_block([{"s": str(i % 200)} for i in range(1000)], schema)
        broken = "connection is broken by an earlier failed exchange; reconnect"
        ways = [("plain", None, {}), ("lz4", None, {"compression": "lz4"})]
        if TLS and CA:
            ways.append(("tls", TLS, {"tls": True, "tls_ca_file": CA}))
        for way, addr, kwargs in ways:
            for run in range(20):
                what = f"{way} run {run}"
                c = self.client(addr, **kwargs)
                with self.assertRaises(ValueError, msg=what) as ctx:
                    c.insert(f"INSERT INTO {table} (s) VALUES", table, [bad] + [good] * 49)
                self.assertRegex(str(ctx.exception), r"^ClickHouse server error \(code=6, "
                                 r"name=DB::Exception\): .*Cannot parse string 'bad7' as UInt8",
                                 what)
                with self.assertRaisesRegex(ConnectionError, broken, msg=what):
                    c.ping()
                c.discard()
        self.assertEqual(http(f"SELECT count() FROM {table}"), "0\n")

    def test_max_response_size_counts_the_decoded_data_blocks_only(self):
        # A body of one byte fits under 1; a header-only answer under 0.
        self.assertEqual(self.client(max_response_size=1).query_tuples("SELECT toUInt8(1)"), [(1,)])
        c = self.client(max_response_size=0)
        self.assertEqual(c.query_tuples("SELECT 1 WHERE 0"), [])
        # The Totals block counts toward nothing: the two rows (UInt8 and UInt64) are 18 bytes.
        grouped = ("SELECT toUInt8(number % 2) AS k, count() AS n FROM numbers(10) "
                   "GROUP BY k WITH TOTALS ORDER BY k")
        self.assertIn('"totals"', http(grouped + " FORMAT JSON"))
        self.assertEqual(self.client(max_response_size=18).query_tuples(grouped),
                         [(0, 5), (1, 5)])
        # Nor does the Extremes block; neither is returned, by a stream either.
        self.assertIn('"extremes"', http(grouped + " FORMAT JSON", extremes=1))
        e = self.client(max_response_size=18)
        e.execute("SET extremes = 1")
        self.assertEqual(e.query_tuples(grouped), [(0, 5), (1, 5)])
        self.assertEqual([b.to_dicts() for b in e.query_stream(grouped)],
                         [[{"k": 0, "n": 5}, {"k": 1, "n": 5}]])
        self.assertEqual(c.query_tuples(grouped.replace("numbers(10)", "numbers(10) WHERE 0")), [])
        # Neither is the insert's table structure, nor a table-status answer.
        table = self.table("limits", [("x", "UInt8")])
        c.insert(f"INSERT INTO {table} VALUES", table, [dicts_to_block([{"x": 3}], [("x", "UInt8")])])
        self.assertEqual(http(f"SELECT x FROM {table}"), "3\n")
        self.assertEqual(c.table_status("default", table),
                         {"is_replicated": False, "absolute_delay": 0, "is_readonly": False})
        self.assertEqual(c.query_tuples("SELECT 1 WHERE 0"), [])
        # Two blocks of 100 UInt64 rows add up to exactly 1600; the crossing block counts whole.
        query = "SELECT number FROM system.numbers LIMIT 200"
        for limit in (1600, 1599):
            c = self.client(max_response_size=limit)
            c.execute("SET max_block_size = 100")
            if limit == 1600:
                self.assertEqual([len(b) for b in c.query_blocks(query) if len(b)], [100, 100])
            else:
                with self.assertRaisesRegex(ValueError, "decoded 1600 bytes exceeds "
                                            "max_response_size 1599; raise max_response_size "
                                            "or use a streaming API"):
                    c.query_tuples(query)
                self.assertEqual(c.query_tuples("SELECT toUInt8(2)"), [(2,)])
        # A stream is not held to it, though each of its blocks (65536 rows of 24 bytes) is over it.
        query = "SELECT number AS a, number * 2 AS b, number * 3 AS c FROM system.numbers LIMIT 300000"
        with self.assertRaisesRegex(ValueError, "use a streaming API"):
            self.client(max_response_size=1 << 20).query_tuples(query)
        c = self.client(max_response_size=1 << 20)
        self.assertEqual(sum(len(b) for b in c.query_stream(query)), 300000)
        # One block that alone crosses the limit is read to its end without being kept, counted
        # whole, and the answer drained: the same client answers the next query and stream. The
        # GROUP BY answer is one block of 200000 rows of k UInt32 and n UInt64; the FixedString one
        # is 100 MB, the Array(UInt8) ones 24 MB (and 16 MB) of offsets and 3 MB (2 MB less one) of elements,
        # the LowCardinality(String) one 160000 rows of ten 100-byte keys, and reading them past the
        # limit holds next to nothing.
        grouped = ("SELECT number % 200000 AS k, count() AS n FROM "
                   "(SELECT number FROM system.numbers LIMIT 400000) GROUP BY k")
        arrays = "SELECT range(number % 3) AS a FROM numbers(3000000)"
        self.assertEqual(tsv(grouped + " LIMIT 1")[1], ["UInt32", "UInt64"])
        self.assertEqual(tsv(arrays + " LIMIT 1")[1], ["Array(UInt8)"])
        short_arrays = arrays.replace("3000000", "2000000")
        keys = ("SELECT toLowCardinality(concat(toString(number % 10), '" + "x" * 99 + "')) AS s "
                "FROM numbers(160000)")
        self.assertEqual(tsv(keys + " LIMIT 1")[1], ["LowCardinality(String)"])
        wide = ("SELECT toFixedString(toString(number), 100) AS a, "
                "toFixedString(toString(number), 100) AS b FROM numbers(500000)")
        # Large allocations are mapped and given back whole, so that the peak tells what one answer
        # took, whatever the ones before it left resident.
        ctypes.CDLL(None).mallopt(-3, 128 << 10)  # M_MMAP_THRESHOLD, fixed at its default
        for compression in (None, "lz4"):
            c = self.client(max_response_size=1 << 20, compression=compression)
            c.execute("SET max_block_size = 3000000")
            for query, rows, decoded in ((grouped, 200000, 200000 * 12),
                                         (wide, 500000, 100000000),
                                         (arrays, 3000000, 3000000 * 8 + 3000000),
                                         (short_arrays, 2000000, 2000000 * 8 + 1999999),
                                         (keys, 160000, 160000 * 101)):
                with self.subTest(compression=compression, decoded=decoded):
                    self.assertEqual([len(b) for b in c.query_stream(query)], [rows])
                    before = peak_rss_reset()
                    with self.assertRaisesRegex(ValueError, f"^ClickHouse response too large: "
                                                f"decoded {decoded} bytes exceeds "
                                                "max_response_size 1048576"):
                        c.query(query)
                    self.assertLess(peak_rss() - before, 8 << 20)
                    self.assertEqual(c.query_tuples("SELECT toUInt8(2)"), [(2,)])
            # The allowance crossed inside a block: blocks of one UInt64 row hold 396 bytes each
            # (128 per block, 256 per column, its name and type text), and the 42367th starts over
            # 16 MiB. The answer is drained as well.
            c.execute("SET max_block_size = 1")
            with self.assertRaisesRegex(ValueError, "response too large: 16777320 bytes held beside "
                                        "the decoded data .* allowance of 16777216 bytes"):
                c.query("SELECT number FROM numbers(50000)")
            self.assertEqual(c.query_tuples("SELECT toUInt8(2)"), [(2,)])

    def test_server_exception_mid_result_keeps_the_connection(self):
        query = ("SELECT number, throwIf(number = 200000) AS t FROM system.numbers "
                 "LIMIT 300000")
        for compression in (None, "lz4"):
            c = self.client(compression=compression)
            with self.assertRaises(ValueError) as ctx:
                c.query(query)
            self.assertRegex(str(ctx.exception), r"^ClickHouse server error \(code=395, "
                             r"name=DB::Exception\): .*Value passed to 'throwIf' function is "
                             "non zero")
            self.assertEqual(c.query_tuples("SELECT 1"), [(1,)])
            stream = c.query_stream(query)
            rows = 0
            with self.assertRaises(RuntimeError) as ctx:
                for block in stream:
                    rows += len(block)
            self.assertRegex(str(ctx.exception), r"^server error \(code=395")
            self.assertLess(rows, 200001)
            self.assertTrue(stream.eos)
            self.assertEqual(c.query_tuples("SELECT 2"), [(2,)])

    def test_a_stream_of_a_type_it_cannot_read_fails_at_once_and_the_client_stays_in_step(self):
        # An Interval column (8-byte values on the wire) is refused as soon as its block arrives,
        # as the buffered calls refuse it, never read as something else or waited on.
        query = "SELECT number, toIntervalSecond(number) FROM numbers(100000)"
        refused = 'streaming read unsupported for column type Other("IntervalSecond")'
        for compression in (None, "lz4"):
            c = _Client(TCP, connect_timeout=10, query_timeout=60, compression=compression)
            self.addCleanup(c.discard)
            with self.assertRaises(ValueError) as ctx:
                c.query(query)
            self.assertIn(refused, str(ctx.exception), compression)
            c = _Client(TCP, connect_timeout=10, query_timeout=60, compression=compression)
            self.addCleanup(c.discard)
            stream = c.query_stream(query)
            began = time.monotonic()
            with self.assertRaises(RuntimeError) as ctx:
                list(stream)
            self.assertLess(time.monotonic() - began, 10, compression)
            self.assertEqual(str(ctx.exception), "protocol error: " + refused, compression)
            self.assertFalse(stream.eos)
            for i in range(1, 4):  # broken, or its own answer: never the stream's rest
                try:
                    got = c.query(f"SELECT {i} AS c{i}")
                except ConnectionError as e:
                    self.assertIn("connection is broken by an earlier failed exchange", str(e))
                    continue
                self.assertEqual(got, [{f"c{i}": i}], compression)

    def test_a_call_after_an_early_server_error_never_gets_another_calls_answer(self):
        # 18.16 raises a syntax error before it reads the data that follows the query and then
        # answers those bytes as packets of their own: each later call answers its own query or
        # fails as broken, never with another call's answer.
        table = self.table("resync", [("x", "UInt8")])
        broken = "connection is broken by an earlier failed exchange; reconnect"
        fail = {
            "query": lambda c: c.query("SELEC 1"),
            "execute": lambda c: c.execute("SELEC 1"),
            "query_stream": lambda c: list(c.query_stream("SELEC 1")),
            "begin_insert_stream": lambda c: c.begin_insert_stream(f"INSER INTO {table} VALUES"),
        }
        for compression in (None, "lz4"):
            for how, call in fail.items():
                what = f"{how} compression={compression}"
                c = self.client(compression=compression)
                with self.assertRaisesRegex((ValueError, RuntimeError), r"code=62\b", msg=what):
                    call(c)
                was_broken = False
                for i in range(1, 8):
                    try:
                        got = c.query(f"SELECT {i} AS c{i}")
                    except ConnectionError as e:
                        self.assertIn(broken, str(e), what)
                        was_broken = True
                        continue
                    self.assertFalse(was_broken, what)
                    self.assertEqual(got, [{f"c{i}": i}], what)

    def test_errors_raised_after_the_query_data_keep_the_connection(self):
        table = self.table("kept", [("x", "UInt8")])
        missing = f"{table}_missing"
        for compression in (None, "lz4"):
            c = self.client(compression=compression)
            with self.assertRaisesRegex(ValueError, r"code=60\b"):
                c.query(f"SELECT * FROM {missing}")
            self.assertEqual(c.query("SELECT 1 AS a"), [{"a": 1}])
            with self.assertRaisesRegex(ValueError, r"code=60\b"):
                c.begin_insert_stream(f"INSERT INTO {missing} VALUES")
            self.assertEqual(c.query("SELECT 2 AS a"), [{"a": 2}])
            with self.assertRaisesRegex(ValueError, r"code=395\b"):
                c.execute("SELECT throwIf(1)")
            self.assertEqual(c.query("SELECT 3 AS a"), [{"a": 3}])

    def test_settings_and_part_uuids_are_refused_below_their_revision_with_nothing_sent(self):
        refused = ("ClickHouse protocol error: setting '{}' cannot be sent at protocol revision "
                   "54412: servers below revision 54429 read settings in a typed binary form; "
                   "settings need revision 54429 or later")
        c = self.client(settings={"max_threads": "2"})
        with self.assertRaises(ValueError) as ctx:
            c.query("SELECT 1")
        self.assertEqual(str(ctx.exception), refused.format("max_threads"))
        self.assertIs(c.ping(), True)  # the connection is where it was
        plain = self.client()
        with self.assertRaises(ValueError) as ctx:
            plain.query("SELECT 1", settings={"max_block_size": "10"})
        self.assertEqual(str(ctx.exception), refused.format("max_block_size"))
        self.assertEqual(plain.query("SELECT 3 AS x"), [{"x": 3}])
        plain.set_setting("max_block_size", "10")
        with self.assertRaises(ValueError):
            plain.execute("SELECT 1")
        self.assertIs(plain.ping(), True)
        fresh = self.client()
        with self.assertRaisesRegex(ValueError, "^ClickHouse protocol error: ignored_part_uuids "
                                    "cannot be sent at protocol revision 54412"):
            fresh.query("SELECT 1", None, ["01234567-89ab-cdef-0123-456789abcdef"])
        self.assertEqual(fresh.query_tuples("SELECT 4"), [(4,)])

    def test_session_methods(self):
        c = self.client(user="tarnwick", password="s3cret")
        info = c.server_info()
        self.assertEqual((info["name"], info["version_major"], info["revision"]),
                         ("ClickHouse", 18, 54412))
        self.assertIs(c.ping(), True)
        self.assertEqual(c.table_status("system", "one"),
                         {"is_replicated": False, "absolute_delay": 0, "is_readonly": False})
        with self.assertRaises(ConnectionError) as ctx:
            self.client(user="tarnwick", password="wrong")
        self.assertTrue(str(ctx.exception).startswith("ClickHouse authentication error: "))
        self.assertIn("Wrong password for user tarnwick", str(ctx.exception))

    def test_tls_connect_with_a_ca_file(self):
        if not (TLS and CA):
            self.skipTest("the real server has no working TLS port")
        c = self.client(TLS, tls=True, tls_ca_file=CA)
        self.assertEqual(c.query_tuples("SELECT 'tls'"), [("tls",)])


if __name__ == "__main__":
    unittest.main()
