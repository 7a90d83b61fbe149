"""A minimal client for the tests, written byte by byte from the protocol's layouts (independent of
the server package except for the frame checksum and LZ4, which have their own tests)."""

import socket
import struct

from chserver.cityhash import checksum_bytes
from chserver import lz4


def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def string(s):
    s = s.encode() if isinstance(s, str) else s
    return varint(len(s)) + s


EMPTY_BLOCK = bytes.fromhex("0100 02ffffffff 00 00 00".replace(" ", ""))


def lz4_frame(payload):
    body = lz4.compress(payload)
    head = struct.pack("<BII", 0x82, len(body) + 9, len(payload)) + body
    return checksum_bytes(head) + head


def client_hello(revision=54483, database="default", user="default", password="", ssh=False):
    user_field = (b" SSH KEY AUTHENTICATION " + user.encode()) if ssh else user.encode()
    return (b"\x00" + string("tarnwick-test") + varint(26) + varint(4) + varint(revision) +
            string(database) + string(user_field) + string("" if ssh else password))


def client_info(r, query_id):
    out = b"\x01" + string("") + string(query_id) + string("0.0.0.0:0")
    if r >= 54449:
        out += struct.pack("<Q", 0)
    out += b"\x01" + string("") + string("localhost") + string("tarnwick-test")
    out += varint(26) + varint(4) + varint(r)
    if r >= 54060:
        out += string("")
    if r >= 54448:
        out += varint(0)
    if r >= 54401:
        out += varint(1)
    if r >= 54442:
        out += b"\x00"
    if r >= 54453:
        out += b"\x00\x00\x00"
    if r >= 54475:
        out += b"\x00\x00"
    if r >= 54476:
        out += b"\x00"
    return out


def query_packet(r, text, compression=False, query_id="tw-qi-1", settings=(("max_threads", "2"),),
                 params=()):
    out = b"\x01" + string(query_id)
    if r >= 54032:
        out += client_info(r, query_id)
    for name, value in settings:
        out += string(name) + varint(0) + string(value)
    out += b"\x00"
    if r >= 54472:
        out += b"\x00"
    if r >= 54441:
        out += b"\x00"
    out += varint(2) + (b"\x01" if compression else b"\x00") + string(text)
    if r >= 54459:
        for name, value in params:
            out += string(name) + varint(2) + string(value)
        out += b"\x00"
    return out + data_packet(EMPTY_BLOCK, compression)


def data_packet(block_bytes, compression, table=""):
    return b"\x02" + string(table) + (lz4_frame(block_bytes) if compression else block_bytes)


def chunk(payload):
    return struct.pack("<I", len(payload)) + payload + b"\x00\x00\x00\x00"


class MiniClient:
    def __init__(self, port, timeout=10.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sent = bytearray()
        self.received = bytearray()
        self.recv_chunked = False
        self._chunk_left = 0

    def send(self, data):
        self.sock.sendall(data)
        self.sent += data

    def raw(self, n):
        out = bytearray()
        while len(out) < n:
            b = self.sock.recv(n - len(out))
            if not b:
                raise EOFError("server closed")
            out += b
        self.received += out
        return bytes(out)

    def read(self, n):
        if not self.recv_chunked:
            return self.raw(n)
        out = bytearray()
        while len(out) < n:
            while self._chunk_left == 0:
                self._chunk_left = struct.unpack("<I", self.raw(4))[0]
            take = min(self._chunk_left, n - len(out))
            out += self.raw(take)
            self._chunk_left -= take
        return bytes(out)

    def varint(self):
        result = shift = 0
        while True:
            b = self.read(1)[0]
            result |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return result

    def string(self):
        return self.read(self.varint())

    def server_hello(self, n):
        """Reads the server Hello fields after its type byte, for negotiated revision n."""
        f = {"name": self.string(), "major": self.varint(), "minor": self.varint(),
             "revision": self.varint()}
        if n >= 54471:
            f["parallel_replicas_version"] = self.varint()
        if n >= 54058:
            f["timezone"] = self.string()
        if n >= 54372:
            f["display_name"] = self.string()
        if n >= 54401:
            f["patch"] = self.varint()
        if n >= 54470:
            f["send_mode"] = self.string()
            f["recv_mode"] = self.string()
        if n >= 54461:
            f["rules"] = [(self.string(), self.string()) for _ in range(self.varint())]
        if n >= 54462:
            f["nonce"] = struct.unpack("<Q", self.read(8))[0]
        if n >= 54474:
            settings = []
            while True:
                name = self.string()
                if not name:
                    break
                settings.append((name, self.varint(), self.string()))
            f["settings"] = settings
        if n >= 54477:
            f["v54477"] = self.varint()
        if n >= 54479:
            f["v54479"] = self.varint()
        return f

    def frame_payload(self):
        head = self.read(25)
        method, csize, usize = struct.unpack_from("<BII", head, 16)
        frame = head + self.read(csize - 9)
        assert checksum_bytes(frame[16:]) == frame[:16], "frame checksum"
        body = frame[25:]
        return body if method == 0x02 else lz4.decompress(body, usize)

    def close(self):
        self.sock.close()
