import socket
import struct
import unittest

from chserver import ScriptedServer
from chserver.chunked import Dechunker, dechunk, frame_message
from chserver.wire import BytesSource

from minclient import MiniClient, chunk, client_hello, string, varint


class FramingTest(unittest.TestCase):
    def test_layouts(self):
        self.assertEqual(frame_message(b"hello"), bytes.fromhex("05000000") + b"hello" + bytes(4))
        self.assertEqual(frame_message(b""), bytes(8))
        self.assertEqual(frame_message(b"hello", [2, 1], [0, 2]),
                         bytes(4) + b"\x02\x00\x00\x00he" + b"\x01\x00\x00\x00l" + bytes(4) +
                         b"\x02\x00\x00\x00lo" + bytes(4))

    def test_every_split_reads_back(self):
        payload = bytes(range(40))
        for first in range(0, 41):
            for second in (0, 1, 7):
                wire = frame_message(payload, [first, second], [0, 1, 3])
                with self.subTest(first=first, second=second):
                    self.assertEqual(dechunk(wire), payload)
                    d = Dechunker(BytesSource(wire).read_exact)
                    got = b"".join(d.read_exact(n) for n in (3, 0, 17, 20))
                    self.assertEqual(got, payload)


class ChunkedExchangeTest(unittest.TestCase):
    def test_server_packets_arrive_split_with_stray_zeros(self):
        def scenario(conn):
            conn.hello(revision=54483, send_chunked="chunked", recv_chunked="chunked")
            conn.expect_ping()
            conn.send_message([b"\x04", b"\x04"], splits=[1], stray_zeros=[0, 1, 2])
            conn.expect_ping()
            conn.send_pong(splits=[0, 1])

        with ScriptedServer(scenario) as srv:
            c = MiniClient(srv.port)
            c.send(client_hello(54483))
            self.assertEqual(c.raw(1), b"\x00")
            c.server_hello(54483)
            c.send(string("") + string("chunked") + string("chunked") + varint(7))
            c.send(b"\x01\x00\x00\x00\x04" + b"\x00\x00\x00\x00\x00\x00\x00\x00")  # stray zero
            one = b"\x01\x00\x00\x00\x04"
            self.assertEqual(c.raw(26), bytes(4) + one + bytes(4) + one + bytes(4) + bytes(4))
            c.send(chunk(b"\x04"))
            self.assertEqual(c.raw(9), one + bytes(4))  # the empty first segment is left out
            c.close()
            self.assertTrue(srv.wait(10))
        rec = srv.record(0)
        self.assertEqual([p.kind for p in rec.packets], ["Hello", "Addendum", "Ping", "Ping"])
        self.assertEqual(bytes(rec.raw_in), bytes(c.sent))
        self.assertEqual(bytes(rec.raw_out), bytes(c.received))


if __name__ == "__main__":
    unittest.main()
