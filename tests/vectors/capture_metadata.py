#!/usr/bin/env python3
"""Capture the metadata exchanges against a live server.

    tests/server/clickhouse/real_server.sh start /tmp/chwork
    python3 tests/vectors/capture_metadata.py /tmp/chwork/env
    tests/server/clickhouse/real_server.sh stop /tmp/chwork

Writes, each with a .hex beside it:
  tables_status_reply.bin    the server's answer, from its packet type on;
  describe_table.bin         DESCRIBE TABLE of a table whose name needs
                             quoting, run with the quoted path written out
                             below, as HTTP FORMAT Native (column count, row
                             count, then name, type and body per column).
Also checks that Ping is answered by Pong. Standard library only; loopback
only.
"""

import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import raw_native as rn  # noqa: E402
from capture import http_query, read_env, save  # noqa: E402

C_PING, C_TABLES_STATUS = 4, 5

# (database, table): two tables that exist, one missing table, one missing database.
TABLES = [
    ("default", "tw_status_merge"),
    ("default", "tw_status_missing"),
    ("system", "one"),
    ("tw_no_such_db", "t"),
]


# The table name as a caller would write it, and the path it must quote to.
DESCRIBE_INPUT = "default.`tw.desc``ribe`"
DESCRIBE_PATH = "`default`.`tw.desc``ribe`"
DESCRIBE_COLUMNS = ("id UInt64, `a.b` Nullable(String), `na\u00efve` Array(LowCardinality(String)), "
                    "ts DateTime('UTC'), d Decimal(18, 4) DEFAULT 1")


def capture_describe(http):
    http_query(http, "DROP TABLE IF EXISTS %s" % DESCRIBE_PATH)
    http_query(http, "CREATE TABLE %s (%s) ENGINE = Memory" % (DESCRIBE_PATH, DESCRIBE_COLUMNS))
    data = http_query(http, "DESCRIBE TABLE %s FORMAT Native" % DESCRIBE_PATH)
    c = rn.Cursor(data)
    ncols, nrows = c.varint(), c.varint()
    marks = [(0, "Native block: %d columns, %d rows" % (ncols, nrows))]
    for _ in range(ncols):
        start = c.pos
        name = c.string().decode()
        typ = c.string().decode()
        body = c.pos
        rn.skip_column(c, typ, nrows)
        marks.append((start, "column %s %s" % (name, typ)))
        marks.append((body, "body of %s" % name))
    if c.pos != len(data):
        raise SystemExit("DESCRIBE answer has trailing bytes")
    save("describe_table", data, marks)


def parse_reply(buf):
    """TablesStatusResponse at revision 54412 (no is_readonly); EOFError when short."""
    c = rn.Cursor(buf)
    ptype = c.varint()
    if ptype != rn.S_TABLES_STATUS:
        raise ValueError("expected TablesStatusResponse, got %d" % ptype)
    entries = []
    for _ in range(c.varint()):
        db = c.string().decode()
        table = c.string().decode()
        replicated = c.u8()
        delay = c.varint() if replicated else 0
        entries.append((db, table, replicated, delay))
    return entries, c.pos


def main(argv):
    env = read_env(argv[1])
    http_query(env["TARNWICK_CH_HTTP"], "DROP TABLE IF EXISTS default.tw_status_merge")
    http_query(env["TARNWICK_CH_HTTP"],
               "CREATE TABLE default.tw_status_merge (x UInt8) ENGINE = MergeTree ORDER BY x")
    host, port = env["TARNWICK_CH_TCP"].rsplit(":", 1)
    deadline = time.monotonic() + 30
    with socket.create_connection((host, int(port)), timeout=30) as sock:
        sock.sendall(rn.client_hello("default", ""))
        buf = bytearray()
        rn.recv_until(sock, buf, lambda b: _done(lambda: rn.parse_server_hello(b)), deadline)
        hello = rn.parse_server_hello(buf)
        if hello["type"] != rn.S_HELLO or len(buf) != hello["end"]:
            raise SystemExit("unexpected handshake reply: %r" % hello)

        request = rn.varint(C_TABLES_STATUS) + rn.varint(len(TABLES))
        for db, table in TABLES:
            request += rn.string(db) + rn.string(table)
        sock.sendall(request)
        reply = bytearray()
        rn.recv_until(sock, reply, lambda b: _done(lambda: parse_reply(b)), deadline)
        entries, end = parse_reply(reply)
        if end != len(reply):
            raise SystemExit("trailing bytes after the answer")

        sock.sendall(rn.varint(C_PING))
        pong = bytearray()
        rn.recv_until(sock, pong, lambda b: len(b) >= 1, deadline)
        if bytes(pong) != b"\x04":
            raise SystemExit("unexpected Pong: %r" % bytes(pong))

    capture_describe(env["TARNWICK_CH_HTTP"])
    save("tables_status_reply", bytes(reply), _marks_reply(bytes(reply)))
    print("server revision %d; answer: %r" % (hello["revision"], entries))


def _done(fn):
    try:
        fn()
        return True
    except EOFError:
        return False


def _marks_reply(reply):
    c = rn.Cursor(reply)
    c.varint()
    count = c.varint()
    marks = [(0, "TablesStatusResponse: type 9, count %d" % count)]
    for _ in range(count):
        start = c.pos
        db = c.string().decode()
        table = c.string().decode()
        replicated = c.u8()
        if replicated:
            c.varint()
        marks.append((start, "entry %s.%s is_replicated=%d" % (db, table, replicated)))
    return marks


if __name__ == "__main__":
    main(sys.argv)
