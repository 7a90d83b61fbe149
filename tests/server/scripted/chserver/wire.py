"""Wire primitives of the native protocol: varints, strings, fixed-width integers."""

import struct


class ProtocolViolation(Exception):
    """The client sent something the scenario did not expect or cannot parse."""


def varint(n):
    if n < 0:
        raise ValueError("varint of a negative number")
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def string(s):
    if isinstance(s, str):
        s = s.encode()
    return varint(len(s)) + bytes(s)


def read_varint(data, pos):
    """The varint at data[pos]: (value, position after it)."""
    value = shift = 0
    while True:
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return value, pos


def read_string(data, pos):
    """The length-prefixed string at data[pos], as bytes: (bytes, position after it)."""
    n, pos = read_varint(data, pos)
    return bytes(data[pos : pos + n]), pos + n


def u8(v):
    return struct.pack("<B", v)


def i32(v):
    return struct.pack("<i", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


class Reader:
    """Typed reads over a source with a `read_exact(n) -> bytes` method."""

    MAX_STRING = 16777215

    def __init__(self, source):
        self.source = source

    def read(self, n):
        return self.source.read_exact(n)

    def u8(self):
        return self.read(1)[0]

    def u32(self):
        return struct.unpack("<I", self.read(4))[0]

    def i32(self):
        return struct.unpack("<i", self.read(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.read(8))[0]

    def varint(self):
        result = 0
        for shift in range(0, 70, 7):
            b = self.u8()
            result |= (b & 0x7F) << shift
            if not b & 0x80:
                return result
        raise ProtocolViolation("varint longer than 10 bytes")

    def bytes_(self):
        n = self.varint()
        if n > self.MAX_STRING:
            raise ProtocolViolation(f"string length {n} over the limit")
        return self.read(n)

    def text(self):
        return self.bytes_().decode("utf-8", "replace")


class BytesSource:
    """A `read_exact` source over an in-memory buffer."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def read_exact(self, n):
        if self.pos + n > len(self.data):
            raise EOFError(f"needed {n} bytes, {len(self.data) - self.pos} left")
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def remaining(self):
        return len(self.data) - self.pos
