import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from chserver import ScriptedServer
from chserver.block import make_block, read_block
from chserver.frames import decode_frame
from chserver.wire import BytesSource, Reader

from minclient import (EMPTY_BLOCK, MiniClient, chunk, client_hello, data_packet, lz4_frame,
                       query_packet, string, varint)

HERE = pathlib.Path(__file__).parent


def addendum(n, send="chunked", recv="chunked"):
    out = string("")
    if n >= 54470:
        out += string(send) + string(recv)
    if n >= 54471:
        out += varint(7)
    return out


class HandshakeTest(unittest.TestCase):
    def test_full_query_at_54483_chunked_and_compressed(self):
        def scenario(conn):
            hello = conn.hello(revision=54483, password="pw")
            self.assertEqual((hello.user, hello.database, hello.revision),
                             ("default", "default", 54483))
            q = conn.expect_query("SELECT 1")
            self.assertEqual((q.compression, q.stage, q.settings), (1, 2, [("max_threads", 0, "2")]))
            self.assertEqual(q.client_info["initial_query_id"], "tw-qi-1")
            self.assertEqual((q.data.columns, q.data.row_count()), ([], 0))
            conn.send_data([("x", "UInt64", [1, 2, 3])])
            conn.send_progress(rows=3)
            conn.send_eos()

        with ScriptedServer(scenario) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483, password="pw"))
            self.assertEqual(c.raw(1), b"\x00")
            info = c.server_hello(54483)
            self.assertEqual((info["revision"], info["send_mode"], info["recv_mode"]),
                             (54483, b"chunked_optional", b"chunked_optional"))
            c.send(addendum(54483))
            c.recv_chunked = True
            qp = query_packet(54483, "SELECT 1", compression=True)
            c.send(chunk(qp))
            self.assertEqual(c.varint(), 1)
            self.assertEqual(c.string(), b"")
            block = read_block(Reader(BytesSource(c.frame_payload())))
            self.assertEqual(block.columns[0].values, [1, 2, 3])
            self.assertEqual(c.varint(), 3)
            self.assertEqual([c.varint() for _ in range(7)], [3, 0, 0, 0, 0, 0, 0])
            self.assertEqual(c.varint(), 5)
            c.close()
            self.assertTrue(srv.wait(10))
        rec = srv.record(0)
        self.assertEqual(rec.status, "ok")
        self.assertEqual([p.kind for p in rec.packets], ["Hello", "Addendum", "Query", "Data"])
        self.assertEqual(bytes(rec.raw_in), bytes(c.sent))
        # plain view: no chunk framing, the empty block's frame replaced by its payload
        plain = client_hello(54483, password="pw") + addendum(54483) + qp[:-len(lz4_frame(EMPTY_BLOCK))] + EMPTY_BLOCK
        self.assertEqual(bytes(rec.plain_in), plain)
        self.assertEqual(rec.packets[2].raw, qp[:-2 - len(lz4_frame(EMPTY_BLOCK))])

    def test_revisions_and_modes(self):
        # (server revision, server modes, negotiated n, addendum, client chunked both ways)
        cases = [
            (54412, "chunked", 54412, b"", False),
            (54460, "chunked_optional", 54460, addendum(54460), False),
            (54470, "chunked_optional", 54470, addendum(54470, "notchunked", "notchunked"), False),
            (54483, "chunked", 54483, addendum(54483), True),
            (54490, "notchunked", 54483, addendum(54483, "notchunked", "notchunked"), False),
        ]
        for revision, mode, n, add, chunked in cases:
            with self.subTest(revision=revision):
                def scenario(conn):
                    conn.hello(revision=revision, send_chunked=mode, recv_chunked=mode)
                    self.assertEqual((conn.revision, conn.send_chunked, conn.recv_chunked),
                                     (n, chunked, chunked))
                    conn.expect_ping()
                    conn.send_pong()

                with ScriptedServer(scenario) as srv:
                    c = MiniClient(srv.port)
                    c.send(client_hello(54483))
                    self.assertEqual(c.raw(1), b"\x00")
                    self.assertEqual(c.server_hello(n)["revision"], revision)
                    c.send(add)
                    c.send(chunk(b"\x04") if chunked else b"\x04")
                    self.assertEqual(c.raw(9) if chunked else c.raw(1),
                                     chunk(b"\x04") if chunked else b"\x04")
                    c.close()
                    self.assertTrue(srv.wait(10))

    def test_client_breaking_a_required_mode_is_reported(self):
        with ScriptedServer(lambda conn: conn.hello(send_chunked="chunked")) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483))
            c.raw(1)
            c.server_hello(54483)
            c.send(addendum(54483, "chunked", "notchunked"))
            self.assertTrue(srv.wait(10))
            c.close()
            self.assertIn("server requires chunked", srv.record(0).status)
            srv.records.clear()

    def test_wrong_password_gets_exception(self):
        with ScriptedServer(lambda conn: conn.hello(password="secret")) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483, password="nope"))
            self.assertEqual(c.raw(1), b"\x02")
            self.assertEqual(c.raw(4), (516).to_bytes(4, "little"))
            self.assertTrue(srv.wait(10))
            c.close()
        self.assertEqual(srv.record(0).status, "auth rejected")

    def test_hello_exception(self):
        with ScriptedServer(lambda conn: conn.hello_exception(192, message="Unknown user")) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483))
            self.assertEqual(c.raw(1), b"\x02")
            self.assertEqual(c.raw(4), (192).to_bytes(4, "little"))
            self.assertEqual(c.string(), b"DB::Exception")
            self.assertEqual(c.string(), b"Unknown user")
            c.close()

    def test_ssh_challenge(self):
        def scenario(conn):
            conn.hello(ssh=True, ssh_challenge=b"XY", ssh_signature="sig")

        with ScriptedServer(scenario) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483, database="db", user="u", ssh=True) + b"\x0b")
            self.assertEqual(c.raw(4), b"\x12\x02XY")
            c.send(b"\x0c" + string("sig"))
            self.assertEqual(c.raw(1), b"\x00")
            c.server_hello(54483)
            c.send(addendum(54483))
            self.assertTrue(srv.wait(10))
            c.close()
        self.assertEqual(srv.record(0).packets[0].user, "u")
        self.assertEqual(srv.record(0).status, "ok")


class InsertAndFaultsTest(unittest.TestCase):
    def _connect(self, srv, compression=True):
        c = MiniClient(srv.port)
        c.send(client_hello(54483))
        c.raw(1)
        c.server_hello(54483)
        c.send(addendum(54483, "notchunked", "notchunked"))
        c.send(query_packet(54483, "INSERT INTO t VALUES", compression=compression))
        return c

    def test_compressed_insert_is_decoded(self):
        got = []

        def scenario(conn):
            conn.hello()
            conn.expect_query()
            conn.send_data([("x", "UInt64", []), ("s", "String", [])])
            got.extend(conn.receive_insert())
            conn.send_eos()

        with ScriptedServer(scenario) as srv:
            c = self._connect(srv)
            self.assertEqual(c.raw(2), b"\x01\x00")
            header = read_block(Reader(BytesSource(c.frame_payload())))
            self.assertEqual([(col.name, col.type) for col in header.columns],
                             [("x", "UInt64"), ("s", "String")])
            body = make_block(("x", "UInt64", [7] * 50), ("s", "String", ["ab"] * 50)).encode()
            c.send(data_packet(body, True, "t") + data_packet(EMPTY_BLOCK, True))
            self.assertEqual(c.raw(1), b"\x05")
            c.close()
            self.assertTrue(srv.wait(10))
        self.assertEqual(got[0].column("s").values, [b"ab"] * 50)
        self.assertEqual(srv.record(0).packets[4].table, "t")

    def test_faults(self):
        def scenario(conn):
            conn.hello()
            conn.expect_query()
            conn.send_data([("x", "UInt8", [1])], stall_after=3, stall_seconds=0.2)
            conn.half_close()
            conn.wait_closed()

        with ScriptedServer(scenario) as srv:
            c = self._connect(srv, compression=False)
            first = c.sock.recv(100)
            self.assertEqual(len(first), 3)  # the rest follows the stall
            expected = b"\x01\x00" + make_block(("x", "UInt8", [1])).encode()
            self.assertEqual(first + c.raw(len(expected) - 3), expected)
            self.assertEqual(c.sock.recv(10), b"")  # half-closed
            c.close()
            self.assertTrue(srv.wait(10))

        def abrupt(conn):
            conn.hello()
            conn.close(abrupt=True)

        with ScriptedServer(abrupt) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483))
            c.raw(1)
            c.server_hello(54483)
            c.send(addendum(54483))
            self.assertTrue(srv.wait(10))
            with self.assertRaises(ConnectionResetError):
                c.sock.recv(10)
            c.close()


class ServeCliTest(unittest.TestCase):
    def test_ping_scenario_with_records(self):
        with tempfile.TemporaryDirectory() as tmp:
            port_file = os.path.join(tmp, "port")
            rec_dir = os.path.join(tmp, "rec")
            proc = subprocess.Popen([sys.executable, str(HERE / "serve.py"), "--scenario", "ping",
                                     "--arg", "count=2", "--port-file", port_file, "--record-dir",
                                     rec_dir, "--once", "--timeout", "30"])
            try:
                for _ in range(200):
                    if os.path.exists(port_file):
                        break
                    time.sleep(0.05)
                port = int(pathlib.Path(port_file).read_text())
                c = MiniClient(port)
                c.send(client_hello(54483))
                c.raw(1)
                c.server_hello(54483)
                c.send(addendum(54483))
                for _ in range(2):
                    c.send(chunk(b"\x04"))
                    self.assertEqual(c.raw(9), chunk(b"\x04"))
                c.close()
                self.assertEqual(proc.wait(30), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            self.assertEqual(pathlib.Path(rec_dir, "conn-0.status").read_text().split("\n")[0], "ok")
            self.assertEqual(pathlib.Path(rec_dir, "conn-0.raw_in").read_bytes(), bytes(c.sent))
            self.assertIn('"Ping"', pathlib.Path(rec_dir, "conn-0.packets.json").read_text())


if __name__ == "__main__":
    unittest.main()
