"""Chunked framing: u32 little-endian lengths, a zero length ending each message."""

import struct

CHUNK_CAP = 67108864


def frame_message(payload, splits=None, stray_zeros=()):
    """Chunk-frames one message.

    `splits` gives the payload sizes of the chunks in order (the rest, if any, goes into a last
    chunk); by default the whole payload is one chunk. `stray_zeros` lists chunk indexes before
    which an extra zero length is inserted (an index equal to the chunk count puts it after the last
    chunk, before the terminating zero).
    """
    payload = bytes(payload)
    segments = []
    pos = 0
    for size in splits or ():
        segments.append(payload[pos : pos + size])
        pos += size
    if pos < len(payload) or not segments:
        segments.append(payload[pos:])
    out = bytearray()
    zeros = list(stray_zeros)
    for idx, segment in enumerate(segments):
        out += b"\x00\x00\x00\x00" * zeros.count(idx)
        if segment or len(segments) == 1:
            out += struct.pack("<I", len(segment)) + segment
    out += b"\x00\x00\x00\x00" * zeros.count(len(segments))
    out += b"\x00\x00\x00\x00"
    return bytes(out)


class Dechunker:
    """Removes chunk framing from a raw `read_exact` source; also a `read_exact` source itself."""

    def __init__(self, read_exact, on_message_end=None):
        self._read = read_exact
        self._chunk = b""
        self._pos = 0
        self.messages = 0
        self._on_end = on_message_end

    def _load(self):
        while True:
            n = struct.unpack("<I", self._read(4))[0]
            if n == 0:
                self.messages += 1
                continue
            if n > CHUNK_CAP:
                raise ValueError(f"chunk length {n} exceeds {CHUNK_CAP}")
            self._chunk = self._read(n)
            self._pos = 0
            return

    def read_exact(self, n):
        out = bytearray()
        while len(out) < n:
            if self._pos >= len(self._chunk):
                self._load()
            take = min(n - len(out), len(self._chunk) - self._pos)
            out += self._chunk[self._pos : self._pos + take]
            self._pos += take
        return bytes(out)


def dechunk(data):
    """All payload bytes of a chunk-framed byte string (which must end on a chunk boundary)."""
    out = bytearray()
    pos = 0
    data = bytes(data)
    while pos < len(data):
        if pos + 4 > len(data):
            raise ValueError("truncated chunk length")
        n = struct.unpack_from("<I", data, pos)[0]
        pos += 4
        if pos + n > len(data):
            raise ValueError("truncated chunk")
        out += data[pos : pos + n]
        pos += n
    return bytes(out)
