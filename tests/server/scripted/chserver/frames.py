"""Compressed frames: 16 checksum bytes, a 9-byte header, and the payload."""

import struct

from . import lz4
from .cityhash import checksum_bytes

METHOD_NONE = 0x02
METHOD_LZ4 = 0x82
METHOD_ZSTD = 0x90
HEADER_LEN = 9
FRAME_CAP = 67108864


class FrameError(ValueError):
    pass


def encode_frame(payload, method=METHOD_LZ4, lz4_matches=True, checksum=None):
    """Frames `payload`. `checksum` may override the 16 checksum bytes (to inject corruption)."""
    payload = bytes(payload)
    if method == METHOD_LZ4:
        body = lz4.compress(payload, matches=lz4_matches)
    elif method == METHOD_NONE:
        body = payload
    else:
        raise FrameError(f"cannot encode method 0x{method:02x}")
    head = struct.pack("<BII", method, len(body) + HEADER_LEN, len(payload)) + body
    return (checksum if checksum is not None else checksum_bytes(head)) + head


def encode_frames(payload, method=METHOD_LZ4, split=None, lz4_matches=True):
    """Frames `payload` as one frame, or as several when `split` lists the payload segment sizes."""
    payload = bytes(payload)
    if not split:
        return encode_frame(payload, method, lz4_matches)
    out = bytearray()
    pos = 0
    for size in split:
        out += encode_frame(payload[pos : pos + size], method, lz4_matches)
        pos += size
    if pos < len(payload):
        out += encode_frame(payload[pos:], method, lz4_matches)
    return bytes(out)


def read_frame(read_exact):
    """Reads and decodes one frame through `read_exact(n)`; returns (payload, raw frame bytes)."""
    head = read_exact(25)
    method, csize, usize = struct.unpack_from("<BII", head, 16)
    if method not in (METHOD_NONE, METHOD_LZ4, METHOD_ZSTD):
        raise FrameError(f"unknown compression method byte: 0x{method:02x}")
    if csize < HEADER_LEN or csize > FRAME_CAP or usize > FRAME_CAP:
        raise FrameError(f"bad frame sizes: compressed {csize}, uncompressed {usize}")
    frame = head + read_exact(csize - HEADER_LEN)
    return decode_frame(frame), frame


def decode_frame(frame):
    frame = bytes(frame)
    if len(frame) < 25:
        raise FrameError("frame shorter than its header")
    method, csize, usize = struct.unpack_from("<BII", frame, 16)
    if len(frame) < 16 + csize:
        raise FrameError("truncated frame")
    if checksum_bytes(frame[16 : 16 + csize]) != frame[:16]:
        raise FrameError("compression frame checksum mismatch (CityHash128)")
    body = frame[25 : 16 + csize]
    if method == METHOD_NONE:
        out = body
    elif method == METHOD_LZ4:
        try:
            out = lz4.decompress(body, usize)
        except lz4.Lz4Error as e:
            raise FrameError(f"lz4 decode: {e}") from e
    else:
        raise FrameError(f"cannot decode method 0x{method:02x}")
    if len(out) != usize:
        raise FrameError(f"decompressed length {len(out)} != declared {usize}")
    return out
