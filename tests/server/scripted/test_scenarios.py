import unittest

from chserver import ScriptedServer
from chserver.block import make_block, read_block
from chserver.scenarios import REGISTRY, Args
from chserver.wire import BytesSource, Reader

from minclient import EMPTY_BLOCK, MiniClient, chunk, client_hello, data_packet, query_packet, string


def run(name, **args):
    a = Args({k: str(v) for k, v in args.items()})
    return ScriptedServer(lambda conn: REGISTRY[name](conn, a))


def connect(srv, revision=54483):
    c = MiniClient(srv.port)
    c.send(client_hello(revision))
    assert c.raw(1) == b"\x00"
    c.server_hello(revision)
    c.send(string("") + string("notchunked") * 2 + b"\x07")
    return c


class ScenarioTest(unittest.TestCase):
    def test_query_uint64_compressed_with_header(self):
        with run("query_uint64", values="5,6", header=1) as srv:
            c = connect(srv)
            c.send(query_packet(54483, "SELECT x", compression=True))
            blocks = []
            for _ in range(2):
                self.assertEqual(c.raw(2), b"\x01\x00")
                blocks.append(read_block(Reader(BytesSource(c.frame_payload()))))
            self.assertEqual([b.row_count() for b in blocks], [0, 2])
            self.assertEqual(blocks[1].column("x").values, [5, 6])
            self.assertEqual(c.raw(1), b"\x03")
            c.raw(7)
            self.assertEqual(c.raw(1), b"\x06")
            c.raw(8)
            self.assertEqual(c.raw(1), b"\x05")
            c.close()
            self.assertTrue(srv.wait(10))

    def test_query_exception_chain(self):
        with run("query_exception", code=60, message="x", nested="7:B:y") as srv:
            c = connect(srv)
            c.send(query_packet(54483, "SELECT 1"))
            self.assertEqual(c.raw(5), b"\x02\x3c\x00\x00\x00")
            self.assertEqual((c.string(), c.string(), c.string()), (b"DB::Exception", b"x", b""))
            self.assertEqual(c.raw(5), b"\x01\x07\x00\x00\x00")
            self.assertEqual((c.string(), c.string(), c.string(), c.raw(1)),
                             (b"B", b"y", b"", b"\x00"))
            c.close()
            self.assertTrue(srv.wait(10))

    def test_tables_status(self):
        with run("tables_status", delay=5, readonly=1) as srv:
            c = connect(srv)
            c.send(bytes.fromhex("05010264620174"))
            self.assertEqual(c.raw(10), bytes.fromhex("09010264620174010501"))
            c.close()
            self.assertTrue(srv.wait(10))

    def test_insert_plain(self):
        got = []
        with run("insert", columns="x:UInt8", compress="plain") as srv:
            c = connect(srv)
            c.send(query_packet(54483, "INSERT INTO t VALUES"))
            header = make_block(("x", "UInt8", [])).encode()
            self.assertEqual(c.raw(2 + len(header)), b"\x01\x00" + header)
            body = make_block(("x", "UInt8", [1, 2])).encode()
            c.send(data_packet(body, False, "t") + data_packet(EMPTY_BLOCK, False))
            self.assertEqual(c.raw(1), b"\x03")
            self.assertEqual(c.raw(7), bytes.fromhex("00000000020000"))
            self.assertEqual(c.raw(1), b"\x05")
            c.close()
            self.assertTrue(srv.wait(10))
        data = [p for p in srv.record(0).packets if p.kind == "Data"]
        self.assertEqual([d.block.row_count() for d in data], [0, 2, 0])
        self.assertEqual(data[1].block.column("x").values, [1, 2])

    def test_client_silence_times_out(self):
        srv = ScriptedServer(lambda conn: conn.hello(), conn_timeout=0.3)
        with srv:
            c = MiniClient(srv.port)
            self.assertTrue(srv.wait(10))
            c.close()
            self.assertIn("TimeoutError", srv.record(0).status)
            srv.records.clear()


if __name__ == "__main__":
    unittest.main()
