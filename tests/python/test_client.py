"""_Client against the scripted server: construction refusals, argument conversion, the query
shapes, discard and locking across threads, the SSH signer, metadata methods and insert bytes."""

import contextlib
import decimal
import gc
import os
import sys
import tempfile
import threading
import time
import unittest
import uuid

from wire import TESTS_DIR, hooks

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver.block import Block, Column  # noqa: E402

import tarnwick._native as native  # noqa: E402
from tarnwick._native import _Client, dicts_to_block  # noqa: E402

DISCARDED = "client was discarded: the connection is closed and cannot be reused"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
HEADER = [("x", "UInt64", []), ("s", "String", [])]
ROWS_A = [("x", "UInt64", [1, 2]), ("s", "String", [b"a", b"b"])]
ROWS_B = [("x", "UInt64", [3]), ("s", "String", [b"c"])]


def answer(*blocks):
    """A scenario step: reads one query and answers with `blocks` and EndOfStream."""

    def step(conn):
        conn.record.queries = getattr(conn.record, "queries", []) + [conn.expect_query()]
        for block in blocks:
            conn.send_data(block)
        conn.send_eos()

    return step


@contextlib.contextmanager
def serving(*steps, hello=None, **client_args):
    """A client connected to a scripted server that runs `steps` after the handshake."""

    def scenario(conn):
        conn.hello(**(hello or {}))
        for step in steps:
            step(conn)
        conn.wait_closed(10)

    with ScriptedServer(scenario, timeout=30) as srv:
        client = _Client(f"127.0.0.1:{srv.port}", **client_args)
        try:
            yield client, srv.record(0)
        finally:
            client.discard()
            srv.wait(10)


class ConstructionTest(unittest.TestCase):
    def test_refusals_come_before_connecting_with_their_types_and_texts(self):
        missing = "/nonexistent/tarnwick.pem"
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        bad_pem = os.path.join(tmp.name, "bad.pem")
        with open(bad_pem, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\n!!\n-----END CERTIFICATE-----\n")
        bundle = "/etc/ssl/certs/ca-certificates.crt"
        cases = [
            (dict(user=None), TypeError, "argument 'user'"),
            (dict(tls=1), TypeError, "argument 'tls'"),
            (dict(max_response_size=-1), OverflowError, ""),
            (dict(connect_timeout=-1.0, compression="bad"), ValueError, NEGATIVE),
            (dict(connect_timeout=-1e-300), ValueError, NEGATIVE),
            (dict(query_timeout=float("nan")), ValueError, TOO_BIG),
            (dict(connect_timeout=2.0**64), ValueError, TOO_BIG),
            (dict(compression="GZip"), ValueError,
             "unknown compression method: 'gzip'. Use 'lz4' or 'zstd'."),
            (dict(settings={"a": 1}), TypeError,
             "setting value: TypeError: 'int' object cannot be converted to 'str'"),
            (dict(settings={1: "a"}), TypeError, "setting key: TypeError: 'int' object"),
            (dict(settings={"\udc80": "a"}), TypeError, "setting key: UnicodeEncodeError: "),
            (dict(settings={"a": "\udc80"}), TypeError, "setting value: UnicodeEncodeError: "),
            # Each TLS file reaches the configuration (the C++ tests hold every TLS refusal).
            (dict(tls=True, tls_ca_file=bad_pem), ValueError, "invalid CA certificate: "),
            (dict(tls=True, tls_client_cert=missing, tls_client_key=bad_pem), OSError,
             f"cannot read cert file {missing}: "),
            (dict(tls=True, tls_client_cert=bundle, tls_client_key=missing), OSError,
             f"cannot read key file {missing}: "),
            (dict(tls=True, tls_client_cert=bundle), ValueError,
             "mTLS config error: tls_client_cert is given without tls_client_key"),
            (dict(tls=True, tls_ca_file=os.devnull), ValueError,
             "invalid CA certificate: no certificate in /dev/null"),
            # A NUL would cut the path short: the bundle would load and the handshake go on.
            (dict(tls=True, tls_ca_file=bundle + "\x00garbage"), ValueError,
             "tls_ca_file must not contain a NUL character"),
            (dict(tls=True, tls_client_cert=bundle + "\x00x", tls_client_key=missing), ValueError,
             "tls_client_cert must not contain a NUL character"),
            (dict(tls=True, tls_client_cert=bundle, tls_client_key=bundle + "\x00x"), ValueError,
             "tls_client_key must not contain a NUL character"),
            (dict(ssh_signer="key"), TypeError, "argument 'ssh_signer': 'str' object is not callable"),
            (dict(connect_timeout=0), ValueError, "ClickHouse configuration error: "),
            (dict(compression="ZSTD"), ValueError, "ClickHouse compression error: ZSTD "
             "compression requested but 'zstd' feature not enabled"),
            (dict(), ConnectionError, "I/O error: Connection refused (os error 111)"),
        ]
        for kwargs, exc, text in cases:
            with self.subTest(kwargs=kwargs), self.assertRaises(exc) as ctx:
                _Client("127.0.0.1:1", **kwargs)
            self.assertTrue(str(ctx.exception).startswith(text), str(ctx.exception))
            self.assertIs(type(ctx.exception).__module__, "builtins")
        with self.assertRaisesRegex(ValueError, "host must not contain a NUL character"):
            _Client("127.0.0.1\x00.evil:1")
        with self.assertRaisesRegex(TypeError, "takes at most 16 arguments"):
            _Client(*["127.0.0.1:1"] * 17)

    def test_address_splitting_and_time_out_rounding(self):
        for addr, want in [("h", ("h", 9000)), ("h:9001", ("h", 9001)), ("[::1]:5", ("::1", 5)),
                           ("[::1]", ("[::1]", 9000)), ("h:", ("h:", 9000)),
                           ("h:65536", ("h:65536", 9000)), ("::1", (":", 1)), ("h:+007", ("h", 7)),
                           ("h:-1", ("h:-1", 9000)), ("[[x]]:1", ("x", 1))]:
            self.assertEqual(hooks.split_address(addr), want, addr)
        for seconds, want in [(0.5, (0, 500000000)), (1e-9, (0, 1)), (0.1, (0, 100000000)),
                              (-0.0, (0, 0)), (2**63, (2**63, 0)), (4e-10, (0, 0)),
                              (2.0**64 - 2048, (2**64 - 2048, 0))]:
            self.assertEqual(hooks.duration_from_seconds(seconds), want, seconds)


class QueryTest(unittest.TestCase):
    def test_shapes_of_a_header_and_two_data_blocks(self):
        steps = [answer(HEADER, ROWS_A, ROWS_B) for _ in range(5)] + [answer(HEADER)]
        steps.append(answer(ROWS_A, [("x", "UInt64", [5])]))
        # One data block names the columns itself; blocks are taken in arrival order, so an
        # undecodable first block reports its own error before a later block's column count.
        steps.append(answer(HEADER, [("y", "UInt64", [1]), ("t", "String", [b"z"])]))
        steps.append(answer(HEADER, Block([Column("x", "UInt64", [1]),
                                           Column("s", "String", raw=b"\x01\xff")]),
                            [("x", "UInt64", [5])]))
        with serving(*steps) as (c, _):
            self.assertEqual(c.query("q"), [{"x": 1, "s": "a"}, {"x": 2, "s": "b"},
                                            {"x": 3, "s": "c"}])
            self.assertEqual(c.query_tuples("q"), [(1, "a"), (2, "b"), (3, "c")])
            self.assertEqual(c.query_columns("q"), {"x": [1, 2, 3], "s": ["a", "b", "c"]})
            self.assertEqual([len(b) for b in c.query_blocks("q")], [2, 1])
            self.assertIsNone(c.execute("q"))
            self.assertEqual(c.query_columns("q"), {"x": [], "s": []})
            with self.assertRaisesRegex(RuntimeError, "^inconsistent column count across blocks$"):
                c.query_columns("q")
            self.assertEqual(c.query_columns("q"), {"y": [1], "t": ["z"]})
            with self.assertRaisesRegex(ValueError, "^ClickHouse protocol error: invalid utf8"):
                c.query_columns("q")

    def test_rows_of_atoms_are_kept_off_the_garbage_collector(self):
        atoms = [("x", "UInt64", [1]), ("s", "Nullable(String)", [None]),
                 ("t", "LowCardinality(Nullable(DateTime))", [0])]
        nested = [("x", "UInt64", [1]), ("a", "Nullable(Array(UInt8))", [[2]])]
        with serving(answer(atoms), answer(atoms), answer(nested), answer(nested)) as (c, _):
            for rows, tracked in [(c.query_tuples("q"), False), (c.query("q"), False),
                                  (c.query_tuples("q"), True), (c.query("q"), True)]:
                self.assertEqual(gc.is_tracked(rows[0]), tracked, rows)

    def test_parameters_settings_and_part_uuids_on_the_wire(self):
        u = uuid.UUID("0123456789abcdef0123456789abcdef")
        params = {"n": None, "b": True, "big": 2**63, "f": 1.0, "l": [1, 2],
                  "d": decimal.Decimal("0.1"), "z": -0.0, "e": 1e21}
        with serving(answer(HEADER), answer(HEADER)) as (c, rec):
            c.set_setting("max_threads", "2")
            c.query("q", params, [u, u.bytes, "0123-4567" + u.hex[8:]],
                    settings={"a": 4, "b": None, "c": False})
            c.query("q", {}, settings={})
            q1, q2 = rec.queries
        sent = {name: value for name, _, value in q1.parameters}
        self.assertEqual(sent["n"], r"'\\N'")
        self.assertEqual([sent[k] for k in ["b", "big", "f", "l", "d", "z", "e"]],
                         ["'1'", f"'{2**63}'", "'1'", "'[1, 2]'", "'0.1'", "'-0'",
                          "'1" + "0" * 21 + "'"])
        self.assertEqual(q1.ignored_part_uuids, [u.bytes] * 3)
        settings = {name: value for name, _, value in q1.settings}
        self.assertEqual([settings[k] for k in "abc"], ["4", "None", "0"])
        self.assertEqual(settings["max_threads"], "2")
        self.assertEqual(q2.parameters, [])
        self.assertEqual(q2.ignored_part_uuids, [])

    def test_part_uuids_are_refused_at_revision_54412_with_nothing_sent(self):
        u = uuid.UUID(int=1)
        with serving(answer(HEADER), hello={"revision": 54412}) as (c, rec):
            for call in (c.query, c.query_tuples, c.query_columns, c.query_blocks, c.execute):
                with self.assertRaises(ValueError) as ctx:
                    call("q", None, [u])
                self.assertEqual(str(ctx.exception),
                                 "ClickHouse protocol error: ignored_part_uuids cannot be sent at "
                                 "protocol revision 54412: servers at revision 54412 and below do "
                                 "not read the IgnoredPartUUIDs packet")
            self.assertEqual(c.query("q", None, []), [])
            self.assertEqual(rec.queries[0].ignored_part_uuids, [])

    def test_argument_errors_come_before_the_discarded_refusal(self):
        with serving() as (c, _):
            block = dicts_to_block([{"x": 1}], [("x", "UInt8")])
            c.discard()
            c.discard()
            self.assertTrue(c.discarded)
            cases = [
                (lambda: c.query("q", {1: 2}), TypeError, "parameter name: TypeError: 'int'"),
                (lambda: c.query("q", None, 5), TypeError,
                 "ignored_part_uuids must be an iterable of UUID strings or 16-byte values: "
                 "TypeError: 'int' object is not iterable"),
                (lambda: c.query_tuples("q", None, [b"x" * 15]), ValueError,
                 "UUID bytes must be exactly 16 bytes, got 15"),
                (lambda: c.query_columns("q", None, ["0" * 31]), ValueError,
                 "invalid UUID '" + "0" * 31 + "'"),
                (lambda: c.query("q", [1]), TypeError, "argument 'params'"),
                (lambda: c.query("q", None, None, {}), TypeError,
                 "query() takes at most 3 positional arguments (4 given)"),
                (lambda: c.query(), TypeError, "query() missing required argument 'query' (pos 1)"),
                (lambda: c.execute("q", query="r"), TypeError,
                 "argument for execute() given by name ('query') and position (1)"),
                (lambda: c.query_tuples("q", sql="r"), TypeError,
                 "'sql' is an invalid keyword argument for query_tuples()"),
                (lambda: c.query_blocks("q", settings={1: 2}), TypeError, "setting key: "),
                # A str without UTF-8 text (a lone surrogate) is refused like any other key.
                (lambda: c.query("q", {"\udc80": 1}), TypeError,
                 "parameter name: UnicodeEncodeError: 'utf-8' codec can't encode"),
                (lambda: c.execute("q", settings={"\udc80": 1}), TypeError,
                 "setting key: UnicodeEncodeError: "),
                (lambda: c.tables_status([("d", "\udc80")]), TypeError,
                 "table entry must be a (database, table) pair: UnicodeEncodeError: "),
                (lambda: c.tables_status(5), TypeError,
                 "tables must be an iterable of (database, table) pairs: "
                 "TypeError: 'int' object is not iterable"),
                (lambda: c.tables_status([["a", "b"]]), TypeError,
                 "table entry must be a (database, table) pair: "),
                (lambda: c.insert("q", "t", (block,)), TypeError, "argument 'blocks'"),
                (lambda: c.send_data("t", 1), TypeError, "argument 'block'"),
                (lambda: c.set_setting("a", 1), TypeError, "argument 'value'"),
            ]
            calls = [lambda n=n: getattr(c, n)("q") for n in
                     ["query", "query_tuples", "query_columns", "query_blocks", "execute",
                      "begin_insert_stream", "schema_for_table", "refresh_schema_for_table"]]
            calls += [c.ping, c.server_info, c.end_insert_stream,
                      lambda: c.insert(query="q", table_name="t", blocks=[]),
                      lambda: c.send_data("t", block), lambda: c.table_status("d", "t"),
                      lambda: c.tables_status([])]
            cases += [(call, RuntimeError, DISCARDED) for call in calls]
            for call, exc, text in cases:
                with self.assertRaises(exc) as ctx:
                    call()
                self.assertTrue(str(ctx.exception).startswith(text), str(ctx.exception))
            self.assertIsNone(c.set_setting("a", "b"))
            self.assertIsNone(c.clear_schema_cache())
            self.assertEqual(repr(c), f"<_Client server={c.address()} user=default>")

    def test_reference_counts_stay_level_over_repeated_calls(self):
        value, settings = 10**12 + 7, {"max_threads": 3}
        with serving(*[answer(HEADER, ROWS_A)] * 30) as (c, _):
            counts = lambda: (sys.getrefcount(value), sys.getrefcount(settings), sys.getrefcount(c))
            c.query("q", {"v": value}, settings=settings)
            before = counts()
            for _ in range(29):
                c.query_tuples("q", {"v": value}, settings=settings)
            self.assertEqual(counts(), before)


class ThreadsTest(unittest.TestCase):
    def test_discard_from_another_thread_ends_a_blocked_query(self):
        def stall(conn):
            conn.expect_query()
            conn.wait_closed(20)

        with serving(stall, query_timeout=30) as (c, _):
            outcome = []
            t = threading.Thread(target=lambda: outcome.append(_raises(c.query, "SELECT slow")))
            t.start()
            time.sleep(0.3)
            c.discard()
            t.join(10)
            self.assertFalse(t.is_alive())
            self.assertIsInstance(outcome[0], ConnectionError)
            self.assertEqual(str(_raises(c.ping)), DISCARDED)

    def test_two_threads_on_one_client_take_turns(self):
        def slow(conn):
            conn.expect_query()
            conn.stall(0.3)
            conn.send_data(ROWS_A)
            conn.send_eos()

        with serving(slow, answer(HEADER, ROWS_B)) as (c, _):
            results = []
            threads = [threading.Thread(target=lambda: results.append(c.query_tuples("q")))
                       for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(10)
            self.assertEqual(sorted(results), [[(1, "a"), (2, "b")], [(3, "c")]])


def _raises(fn, *args):
    try:
        fn(*args)
    except Exception as e:  # the test inspects it
        return e
    return None


def _hello_until_closed(conn):
    with contextlib.suppress(EOFError):
        conn.hello(ssh=True)


class SshSignerTest(unittest.TestCase):
    def test_signature_from_python_and_refusals(self):
        seen = []

        def signer(message):
            seen.append(message)
            return "sig-ok"

        hello = dict(ssh=True, ssh_signature="sig-ok")
        with serving(hello=hello, user="u", database="db", password="pw", ssh_signer=signer) as (
                c, rec):
            self.assertEqual(c.server_info()["name"], "ClickHouse")
        self.assertEqual(seen, [b"54483dbu" + b"scripted-challenge"])
        self.assertEqual(rec.packets[0].password, "")
        self.assertEqual(sys.getrefcount(signer), 2)

        def refuse(message):
            raise PermissionError("no key")

        for bad, text in [(refuse, "PermissionError: no key"),
                          (lambda m: 5, "TypeError: 'int' object cannot be converted to 'str'")]:
            with ScriptedServer(_hello_until_closed, timeout=30) as srv:
                with self.assertRaises(ConnectionError) as ctx:
                    _Client(f"127.0.0.1:{srv.port}", ssh_signer=bad)
                srv.wait(10)
            self.assertEqual(str(ctx.exception), "ClickHouse authentication error: " + text)


class MetadataTest(unittest.TestCase):
    def test_ping_status_schema_and_server_info(self):
        describe = [("name", "String", [b"x", b"s"]), ("type", "String", [b"UInt8", b"String"]),
                    ("default_type", "String", [b"", b""])]

        def status(conn):
            tables = conn.expect_tables_status()
            conn.send_tables_status([(d, t, d == "rep", 7, True) for d, t in tables])

        steps = [lambda conn: (conn.expect_ping(), conn.send_pong()), status, status, status,
                 answer(describe), answer(describe)]
        with serving(*steps, hello=dict(timezone="Europe/Oslo")) as (c, rec):
            self.assertIs(c.ping(), True)
            self.assertEqual(c.table_status("rep", "t"),
                             {"is_replicated": True, "absolute_delay": 7, "is_readonly": True})
            self.assertEqual(c.tables_status({("a", "t"): 1, ("rep", "u"): 2}), {
                ("a", "t"): {"is_replicated": False, "absolute_delay": 0, "is_readonly": False},
                ("rep", "u"): {"is_replicated": True, "absolute_delay": 7, "is_readonly": True}})
            self.assertEqual(c.tables_status([]), {})
            schema = {"columns": [{"name": "x", "type": "UInt8"}, {"name": "s", "type": "String"}]}
            self.assertEqual(c.schema_for_table("t"), schema)
            self.assertEqual(c.schema_for_table("t"), schema)  # cached: no second DESCRIBE
            self.assertEqual(c.refresh_schema_for_table("t"), schema)
            c.clear_schema_cache()
            info = c.server_info()
            self.assertEqual(list(info), ["name", "version_major", "version_minor", "revision",
                                          "timezone", "display_name"])
            self.assertEqual(info["timezone"], "Europe/Oslo")
            self.assertEqual([q.text for q in rec.queries], ["DESCRIBE TABLE `t`"] * 2)


# The Data packet of an insert into "t" of x UInt8 [1, 2], s String ["a", "bc"] and
# n Nullable(Int32) [None, -1], after the packet type and table name: written by hand.
GOLDEN_BLOCK = bytes.fromhex(
    "010002ffffffff00" "0302"
    "0178055549" "6e7438" "00" "0102"
    "017306537472696e67" "00" "0161026263"
    "016e0f4e756c6c61626c6528496e74333229" "00" "0100" "00000000ffffffff")
ROWS = [{"x": 1, "s": "a", "n": None}, {"x": 2, "s": "bc", "n": -1}]
COLUMNS = [("x", "UInt8"), ("s", "String"), ("n", "Nullable(Int32)")]


def accept_insert(conn):
    conn.record.inserts = getattr(conn.record, "inserts", []) + [conn.expect_query()]
    conn.send_data([(name, type_, []) for name, type_ in COLUMNS])
    conn.receive_insert()
    conn.send_eos()


class InsertTest(unittest.TestCase):
    def test_insert_bytes_compressed_and_not_whole_and_streamed(self):
        for compression, streamed in [(None, False), ("LZ4", False), ("lz4", True)]:
            with serving(accept_insert, compression=compression) as (c, rec):
                block = dicts_to_block(ROWS, COLUMNS)
                if streamed:
                    c.begin_insert_stream("INSERT INTO t VALUES")
                    with self.assertRaisesRegex(ValueError, "an insert is in progress on this "
                                                "connection; finish it with end_insert_stream"):
                        c.query("q")
                    c.send_data("t", block)
                    c.end_insert_stream()
                else:
                    self.assertIsNone(c.insert("INSERT INTO t VALUES", "t", [block]))
            data = [p for p in rec.packets if p.kind == "Data" and p.block.columns]
            self.assertEqual(len(data), 1)
            self.assertEqual(data[0].raw, b"\x02\x01t" + GOLDEN_BLOCK)
            self.assertEqual(data[0].compressed, compression is not None)
            if compression is None:
                self.assertIn(b"\x02\x01t" + GOLDEN_BLOCK, rec.raw_in)


if __name__ == "__main__":
    unittest.main()
