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


def _values(typ, text):
    if text == "":
        return []
    if typ.startswith("String") or typ.startswith("Nullable(String"):
        return [None if v == "null" else v for v in text.split(",")]
    return [None if v == "null" else int(v, 0) for v in text.split(",")]


def _step_block(f):
    """data fields: column, type, values (comma separated; "null" is NULL; empty: no rows)."""
    col, typ, vals = (f + ["x", "UInt64", ""][len(f):])[:3]
    return make_block(Column(col, typ, _values(typ, vals)))


def _raw_block(col, typ, rows, raw):
    from .block import Block
    return Block(columns=[Column(col, typ, raw=raw)], rows=rows)


def script(conn, a):
    """Runs `steps` (";"-separated, fields ":"-separated) after the handshake:
    q (expect a Query), data/totals/extremes/pevents:col:type:values,
    rawdata:col:type:rows:hex, emptydata (no columns), emptypevents (plain, no columns),
    describe:a=T1,b=T2, log, progress, pinfo, pong, eos, exc:code:name:message, tcols,
    uuids:n, tz:name, unknown:type[:hexbody], readtask, ranges, mtread, cancel (expect Cancel),
    ping (expect Ping, send Pong), status (expect TablesStatusRequest, answer every table as
    replicated with delay 5, readonly), insert (read Data blocks up to the empty one), block (read
    one client Data block), close[:reset] (close the connection and end the script; client bytes
    left unread, or `reset`, make the close a reset), stall:secs,
    slow:secs:n:<step> (the step's bytes stall after n bytes), trickle:secs:<step> (the step's
    bytes go out one at a time, `secs` apart).
    Blocks follow `compress`. Afterwards Pong to every Ping until the client closes."""
    _hello(conn, a)
    comp = _compress(a)
    opts = _send_opts(a)
    for step in [s for s in a.str("steps").split(";") if s]:
        f = step.split(":")
        verb, f = f[0], f[1:]
        send = dict(opts)
        if verb == "slow":
            send.update(stall_after=int(f[1]), stall_seconds=float(f[0]))
            verb, f = f[2], f[3:]
        conn.trickle = None
        if verb == "trickle":
            conn.trickle = float(f[0])
            verb, f = f[1], f[2:]
        if verb == "q":
            conn.expect_query()
        elif verb in ("data", "totals", "extremes", "pevents"):
            fn = {"data": conn.send_data, "totals": conn.send_totals,
                  "extremes": conn.send_extremes, "pevents": conn.send_profile_events}[verb]
            fn(_step_block(f), compress=comp, **send)
        elif verb == "emptydata":  # what older servers send first for INSERT ... SELECT
            conn.send_data(make_block(), compress=comp, **send)
        elif verb == "emptypevents":  # plain, shorter than a frame header
            conn.send_profile_events(make_block(), compress=False, **send)
        elif verb == "describe":  # describe:a=UInt8,b=String
            pairs = [c.split("=", 1) for c in f[0].split(",")]
            conn.send_data(make_block(Column("name", "String", [n for n, _ in pairs]),
                                      Column("type", "String", [t for _, t in pairs])),
                           compress=comp, **send)
        elif verb == "rawdata":
            conn.send_data(_raw_block(f[0], f[1], int(f[2]), bytes.fromhex(f[3])), compress=comp,
                           **send)
        elif verb == "log":
            conn.send_log(make_block(Column("text", "String", ["hello"])), **send)
        elif verb == "progress":
            conn.send_progress(rows=1, **send)
        elif verb == "pinfo":
            conn.send_profile_info(rows=1, blocks=1, send=send)
        elif verb == "pong":
            conn.send_pong(**send)
        elif verb == "eos":
            conn.send_eos(**send)
        elif verb == "exc":
            conn.send_exception(int(f[0]), f[1], f[2], **send)
        elif verb == "tcols":
            conn.send_table_columns("", "columns format version: 1", compress=comp, **send)
        elif verb == "uuids":
            conn.send_part_uuids([bytes([i]) * 16 for i in range(int(f[0]))], **send)
        elif verb == "tz":
            conn.send_timezone_update(f[0], **send)
        elif verb == "unknown":
            conn.send_unknown(int(f[0]), bytes.fromhex(f[1]) if len(f) > 1 else b"", **send)
        elif verb == "readtask":
            conn.send_read_task_request(**send)
            conn.expect_packet(cp.READ_TASK_RESPONSE)
        elif verb == "ranges":
            conn.send_all_ranges_announcement(send=send)
        elif verb == "mtread":
            conn.send_merge_tree_read_task_request(send=send)
            conn.expect_packet(cp.MERGE_TREE_READ_TASK_RESPONSE)
        elif verb == "cancel":
            conn.expect_cancel()
        elif verb == "ping":
            conn.expect_ping()
            conn.send_pong(**send)
        elif verb == "status":
            tables = conn.expect_tables_status()
            conn.send_tables_status([(d, t, True, 5, True) for d, t in tables], **send)
        elif verb == "insert":
            conn.receive_insert()
        elif verb == "block":
            conn.read_data_block()
        elif verb == "close":
            conn.close(abrupt=f == ["reset"])
            return
        elif verb == "stall":
            conn.stall(float(f[0]))
        else:
            raise ValueError(f"unknown step {step!r}")
    serve_until_close(conn)


REGISTRY = {
    "script": script,
    "handshake": handshake,
    "hello_exception": hello_exception,
    "query_uint64": query_uint64,
    "query_exception": query_exception,
    "ping": ping,
    "tables_status": tables_status,
    "insert": insert,
    "abrupt_close": abrupt_close,
}
