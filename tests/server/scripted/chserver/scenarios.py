"""Named scenarios for serve.py (C++ tests pick one with --scenario NAME --arg k=v ...).

Common arguments: revision (server revision, default 54483), send_mode / recv_mode (the server's
chunked modes, default chunked_optional), password and user (checked when given).
"""

from .block import Column, make_block
from .conn import ClientClosed
from . import client_packets as cp


class Args(dict):
    def str(self, key, default=""):
        return self.get(key, default)

    def int(self, key, default=0):
        return int(self[key], 0) if key in self else default

    def bool(self, key, default=False):
        return self[key].lower() in ("1", "true", "yes", "on") if key in self else default

    def ints(self, key, default=()):
        if key not in self:
            return list(default)
        return [int(v, 0) for v in self[key].split(",") if v]


def _hello(conn, a):
    return conn.hello(revision=a.int("revision", 54483),
                      send_chunked=a.str("send_mode", "chunked_optional"),
                      recv_chunked=a.str("recv_mode", "chunked_optional"),
                      password=a.get("password"), user=a.get("user"))


def _send_opts(a):
    opts = {}
    if "splits" in a:
        opts["splits"] = a.ints("splits")
    if "stray_zeros" in a:
        opts["stray_zeros"] = a.ints("stray_zeros")
    return opts


def _compress(a):
    return {"auto": None, "lz4": "lz4", "none": "none", "plain": False}[a.str("compress", "auto")]


def serve_until_close(conn):
    """Answers Ping with Pong until the client closes; any other packet is a violation."""
    try:
        while True:
            p = conn.read_client_packet()
            if p.type != cp.PING:
                raise AssertionError(f"unexpected {p.kind} after the scripted exchange")
            conn.send_pong()
    except ClientClosed:
        return


def handshake(conn, a):
    """Handshake, then Pong to every Ping until the client closes."""
    _hello(conn, a)
    serve_until_close(conn)


def hello_exception(conn, a):
    """Answers the client Hello with an Exception (code, name, message)."""
    conn.hello_exception(a.int("code", 516), a.str("name", "DB::Exception"),
                         a.str("message", "Authentication failed"))
    conn.wait_closed()


def query_uint64(conn, a):
    """Per query (`queries`, default 1): optional empty header block (header=1), a Data block of
    `values` in column `column` of type `type`, Progress and ProfileInfo (stats=1), EndOfStream."""
    _hello(conn, a)
    col, typ = a.str("column", "x"), a.str("type", "UInt64")
    opts = _send_opts(a)
    for _ in range(a.int("queries", 1)):
        conn.expect_query()
        if a.bool("header"):
            conn.send_data(make_block(Column(col, typ, [])), compress=_compress(a), **opts)
        conn.send_data(make_block((col, typ, a.ints("values", (1, 2, 3)))), compress=_compress(a),
                       **opts)
        if a.bool("stats", True):
            conn.send_progress(rows=len(a.ints("values", (1, 2, 3))), **opts)
            conn.send_profile_info(rows=len(a.ints("values", (1, 2, 3))), blocks=1)
        conn.send_eos(**opts)
    serve_until_close(conn)


def query_exception(conn, a):
    """After the query: an Exception (code, name, message; `nested` = "code:name:message" adds a
    second level), then waits for the client to close."""
    _hello(conn, a)
    conn.expect_query()
    chain = [(a.int("code", 60), a.str("name", "DB::Exception"), a.str("message", "Table missing"),
              a.str("stack", ""))]
    if "nested" in a:
        code, name, message = a["nested"].split(":", 2)
        chain.append((int(code), name, message, ""))
    conn.send_exception(chain=chain)
    serve_until_close(conn)


def ping(conn, a):
    """Handshake, then exactly `count` (default 1) Ping/Pong exchanges, then waits for close."""
    _hello(conn, a)
    for _ in range(a.int("count", 1)):
        conn.expect_ping()
        conn.send_pong(**_send_opts(a))
    serve_until_close(conn)


def tables_status(conn, a):
    """Answers a TablesStatusRequest listing every requested table with is_replicated
    (`replicated`, default 1), `delay` and `readonly`."""
    _hello(conn, a)
    tables = conn.expect_tables_status()
    rep = a.bool("replicated", True)
    conn.send_tables_status([(db, t, rep, a.int("delay", 0), a.bool("readonly"))
                             for db, t in tables], **_send_opts(a))
    serve_until_close(conn)


def insert(conn, a):
    """INSERT: sends the table-structure block for `columns` ("x:UInt64,s:String"), reads Data
    blocks until the empty one, then Progress and EndOfStream."""
    _hello(conn, a)
    conn.expect_query()
    cols = [c.split(":", 1) for c in a.str("columns", "x:UInt64").split(",")]
    conn.send_data(make_block(*[Column(n, t, []) for n, t in cols]), compress=_compress(a))
    blocks = conn.receive_insert()
    conn.send_progress(written_rows=sum(b.row_count() for b in blocks))
    conn.send_eos()
    serve_until_close(conn)


def abrupt_close(conn, a):
    """Handshake, reads the query, then resets the connection (after `stall` seconds)."""
    _hello(conn, a)
    conn.expect_query()
    conn.stall(float(a.get("stall", "0")))
    conn.close(abrupt=True)


REGISTRY = {
    "handshake": handshake,
    "hello_exception": hello_exception,
    "query_uint64": query_uint64,
    "query_exception": query_exception,
    "ping": ping,
    "tables_status": tables_status,
    "insert": insert,
    "abrupt_close": abrupt_close,
}
