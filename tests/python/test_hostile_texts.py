"""Hostile servers and the texts the client keeps or quotes: exception chains, password rules in the
Hello, and refused type names, each bounded however much the server sends."""

import os
import struct
import sys
import unittest

from hostile import MIB, PLAIN, PeakRss, serve
from wire import TESTS_DIR, string, varint

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402
from chserver.block import Block, Column  # noqa: E402

from tarnwick._native import _Client  # noqa: E402


def send_exception_chain(conn, levels, message):
    """An Exception of `levels` levels that each carry `message`, sent a piece at a time so that
    the server holds no copy of the whole."""
    conn.sock.sendall(varint(sp.EXCEPTION))
    for i in range(levels):
        conn.sock.sendall(struct.pack("<i", 60) + string("Boom") + varint(len(message)))
        conn.sock.sendall(message)
        conn.sock.sendall(string("") + bytes([1 if i + 1 < levels else 0]))


class ExceptionTextTest(unittest.TestCase):
    # 24 levels of 16 MiB messages, 400 MB on the wire: 1 MiB of it is kept.
    LEVELS = 24
    MESSAGE = b"x" * ((1 << 24) - 1)

    def assert_cut(self, text, peak):
        self.assertLess(peak.growth, 32 * MIB)
        self.assertTrue(text.endswith("xxx... (truncated)"), text[-40:])
        self.assertLess(len(text), 2 * MIB + 200)

    def test_a_long_chain_in_a_response_keeps_a_bounded_text(self):
        def step(conn):
            conn.expect_query()
            send_exception_chain(conn, self.LEVELS, self.MESSAGE)

        with serve([step], hello={"send_chunked": False, "recv_chunked": False}) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", query_timeout=60.0)
            with PeakRss() as peak:
                with self.assertRaisesRegex(ValueError, "code=60, name=Boom") as ctx:
                    c.query("SELECT boom")
            self.assert_cut(str(ctx.exception), peak)
            c.discard()

    def test_a_long_chain_in_place_of_the_hello_keeps_a_bounded_text(self):
        def scenario(conn):
            conn.read_client_hello()
            send_exception_chain(conn, self.LEVELS, self.MESSAGE)
            conn.wait_closed(10)

        with ScriptedServer(scenario, timeout=30) as srv:
            with PeakRss() as peak:
                with self.assertRaisesRegex(ConnectionError, "authentication error: Boom") as ctx:
                    _Client(f"127.0.0.1:{srv.port}", connect_timeout=60.0)
            self.assert_cut(str(ctx.exception), peak)


class QuotedTextTest(unittest.TestCase):
    def test_a_refused_type_name_is_quoted_as_an_excerpt(self):
        # A 15 MiB name of a type no reader can step over, in a one-row block, buffered and
        # streamed: a refusal quotes 4 KiB of it.
        name = "Interval" + "S" * (15 * MIB)

        def step(conn):
            conn.expect_query()
            conn.send_data(Block([Column("x", name, raw=b"\x00" * 8)], rows=1))
            conn.send_eos()

        for streamed in (False, True):
            with self.subTest(streamed=streamed):
                with serve([step], hello=PLAIN) as srv:
                    c = _Client(f"127.0.0.1:{srv.port}")
                    with self.assertRaises((ValueError, RuntimeError)) as ctx:
                        if streamed:
                            for _ in c.query_stream("SELECT x"):
                                pass
                        else:
                            c.query("SELECT x")
                    text = str(ctx.exception)
                    c.discard()
                self.assertLess(len(text), 4096 + 200)
                self.assertIn("streaming read unsupported for column type", text)
                self.assertIn("Interval" + "S" * 4000, text)
                self.assertIn("... (truncated)", text)


def _rules_hello(conn):
    """Answers the client Hello with a server Hello of 65,536 password rules, each a 4 KiB
    pattern and a 4 KiB message (512 MiB), sent a piece at a time so that the server holds no
    copy of the whole; then waits for the client to go."""
    conn.read_client_hello()
    # Without rules the Hello ends in a zero rule count, the nonce, the settings' empty name and
    # the two versions: the rules go in place of that zero.
    plain = sp.hello(54483, send_mode="notchunked", recv_mode="notchunked")
    head, count, tail = plain[:-12], plain[-12:-11], plain[-11:]
    assert count == varint(0) and tail == struct.pack("<Q", 0x0123456789ABCDEF) + b"\x00\x00\x06"
    rules = (string(b"p" * 4096) + string(b"m" * 4096)) * 64
    conn.sock.sendall(head + varint(65536))
    for _ in range(65536 // 64):
        conn.sock.sendall(rules)
    conn.sock.sendall(tail)
    conn.wait_closed(60)


class HelloTextTest(unittest.TestCase):
    def test_the_texts_a_hello_leaves_stay_within_their_bound(self):
        # Three clients kept alive, 1.5 GiB of password rules sent: each keeps 1 MiB of the texts
        # and one short record per rule.
        clients = []
        with ScriptedServer(_rules_hello, connections=3, timeout=120) as srv:
            try:
                with PeakRss() as peak:
                    for _ in range(3):
                        clients.append(_Client(f"127.0.0.1:{srv.port}", connect_timeout=60.0))
                self.assertEqual(clients[-1].server_info()["display_name"], "scripted")
                self.assertLess(peak.growth, 48 * MIB)
            finally:
                for c in clients:
                    c.discard()
