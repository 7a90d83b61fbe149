#!/usr/bin/env python3
"""Minimal native-protocol session (revision 54412) used to capture golden bytes.

Standard library only.  It speaks just enough of the protocol to send one
query with compression on and record the server's packets exactly as they
arrived (frame headers and checksums included).  It doubles as the parser that
check_vectors.py uses to re-read the captures, so it carries a small LZ4 block
decoder and a column skipper for the handful of types the captures use.

Usage as a script:
    raw_native.py HOST:PORT 'SELECT ...' [--user U] [--password P]
                  [--setting name=uint ...] [--dump]
"""

import os
import socket
import struct
import sys
import time

CLIENT_NAME = "tarnwick-capture"
VERSION_MAJOR = 1
VERSION_MINOR = 0
VERSION_PATCH = 0
REVISION = 54412

# Client packet types
C_HELLO, C_QUERY, C_DATA = 0, 1, 2
# Server packet types
S_HELLO, S_DATA, S_EXCEPTION, S_PROGRESS, S_PONG, S_EOS, S_PROFILE_INFO = 0, 1, 2, 3, 4, 5, 6
S_TOTALS, S_EXTREMES, S_TABLES_STATUS, S_LOG = 7, 8, 9, 10

PACKET_NAMES = {
    0: "Hello", 1: "Data", 2: "Exception", 3: "Progress", 4: "Pong",
    5: "EndOfStream", 6: "ProfileInfo", 7: "Totals", 8: "Extremes",
    9: "TablesStatusResponse", 10: "Log",
}

METHOD_NONE = 0x02
METHOD_LZ4 = 0x82


# ---------------------------------------------------------------- primitives

# Varints and strings are written by the scripted server's wire module.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server", "scripted"))
from chserver.wire import string, varint  # noqa: E402,F401


class Cursor:
    """Reads primitives from a byte buffer; raises EOFError when short."""

    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def take(self, n):
        if self.pos + n > len(self.data):
            raise EOFError("need %d bytes at %d, have %d" % (n, self.pos, len(self.data) - self.pos))
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return bytes(b)

    def varint(self):
        shift = 0
        value = 0
        for _ in range(10):
            b = self.take(1)[0]
            value |= (b & 0x7F) << shift
            if not b & 0x80:
                return value
            shift += 7
        raise ValueError("varint too long")

    def string(self):
        return self.take(self.varint())

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def i32(self):
        return struct.unpack("<i", self.take(4))[0]


# ---------------------------------------------------------------- LZ4 block

def lz4_literals_only(payload):
    """A valid LZ4 block holding the payload as one literal run (no matches)."""
    n = len(payload)
    out = bytearray()
    if n < 15:
        out.append(n << 4)
    else:
        out.append(0xF0)
        rest = n - 15
        while rest >= 255:
            out.append(255)
            rest -= 255
        out.append(rest)
    out += payload
    return bytes(out)


def lz4_decompress(src, out_size):
    out = bytearray()
    i = 0
    n = len(src)
    while i < n:
        token = src[i]
        i += 1
        lit = token >> 4
        if lit == 15:
            while True:
                b = src[i]
                i += 1
                lit += b
                if b != 255:
                    break
        out += src[i:i + lit]
        i += lit
        if i >= n:
            break
        offset = src[i] | (src[i + 1] << 8)
        i += 2
        if offset == 0 or offset > len(out):
            raise ValueError("lz4: bad match offset %d" % offset)
        mlen = token & 0x0F
        if mlen == 15:
            while True:
                b = src[i]
                i += 1
                mlen += b
                if b != 255:
                    break
        mlen += 4
        start = len(out) - offset
        if offset >= mlen:
            out += out[start:start + mlen]
        else:
            for k in range(mlen):
                out.append(out[start + k])
    if len(out) != out_size:
        raise ValueError("lz4: decoded %d bytes, header says %d" % (len(out), out_size))
    return bytes(out)


# ---------------------------------------------------------------- frames

def parse_frame(buf, pos):
    """Parse one compressed frame at buf[pos:]. Returns a dict."""
    if len(buf) - pos < 25:
        raise EOFError("short frame header")
    lo, hi = struct.unpack_from("<QQ", buf, pos)
    method = buf[pos + 16]
    csize, usize = struct.unpack_from("<II", buf, pos + 17)
    end = pos + 16 + csize
    if end > len(buf):
        raise EOFError("short frame body")
    payload = bytes(buf[pos + 25:end])
    if method == METHOD_LZ4:
        decoded = lz4_decompress(payload, usize)
    elif method == METHOD_NONE:
        decoded = payload
    else:
        raise ValueError("unknown method 0x%02x" % method)
    return {
        "offset": pos, "length": 16 + csize, "checksum_low": lo, "checksum_high": hi,
        "method": method, "compressed_size": csize, "uncompressed_size": usize,
        "hashed": bytes(buf[pos + 16:end]), "decoded": decoded,
    }


def make_frame(payload, method, cityhash128):
    if method == METHOD_NONE:
        body = payload
    elif method == METHOD_LZ4:
        body = lz4_literals_only(payload)
    else:
        raise ValueError(method)
    hashed = bytes([method]) + struct.pack("<II", len(body) + 9, len(payload)) + body
    lo, hi = cityhash128(hashed)
    return struct.pack("<QQ", lo, hi) + hashed


# ---------------------------------------------------------------- block skipping

def _split_args(s):
    out, depth, cur = [], 0, ""
    for ch in s:
        if ch == "," and depth == 0:
            out.append(cur.strip())
            cur = ""
            continue
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        cur += ch
    if cur.strip():
        out.append(cur.strip())
    return out


FIXED = {
    "UInt8": 1, "Int8": 1, "UInt16": 2, "Int16": 2, "UInt32": 4, "Int32": 4,
    "UInt64": 8, "Int64": 8, "Float32": 4, "Float64": 8, "Date": 2, "DateTime": 4,
    "UUID": 16,
}


def skip_column(c, typ, rows):
    """Advance the cursor over one column body of `rows` rows of type `typ`: the key version of
    every LowCardinality in it first (its state prefix), then the data."""
    if rows:
        _skip_key_versions(c, typ.strip())
        _skip_body(c, typ, rows)


def _skip_key_versions(c, typ):
    if typ.startswith("LowCardinality("):
        version = struct.unpack("<Q", c.take(8))[0]
        if version != 1:
            raise ValueError("LowCardinality key version %d" % version)
    elif typ.startswith(("Nullable(", "Array(")):
        _skip_key_versions(c, typ[typ.index("(") + 1:-1])
    elif typ.startswith("Tuple("):
        for sub in _split_args(typ[6:-1]):
            _skip_key_versions(c, sub.strip())


def _skip_body(c, typ, rows):
    typ = typ.strip()
    if typ in FIXED:
        c.take(FIXED[typ] * rows)
    elif typ == "String":
        for _ in range(rows):
            c.string()
    elif typ.startswith("FixedString("):
        c.take(int(typ[12:-1]) * rows)
    elif typ.startswith("Nullable("):
        c.take(rows)
        _skip_body(c, typ[9:-1], rows)
    elif typ.startswith("Array("):
        last = 0
        for _ in range(rows):
            last = struct.unpack("<Q", c.take(8))[0]
        _skip_body(c, typ[6:-1], last)
    elif typ.startswith("Tuple("):
        for sub in _split_args(typ[6:-1]):
            _skip_body(c, sub, rows)
    elif typ.startswith("Decimal("):
        p = int(_split_args(typ[8:-1])[0])
        c.take((4 if p <= 9 else 8 if p <= 18 else 16) * rows)
    elif typ.startswith("Enum8("):
        c.take(rows)
    elif typ.startswith("Enum16("):
        c.take(2 * rows)
    elif typ.startswith("LowCardinality("):
        # flags (low 2 bits: index width code), key count, dictionary of the values without
        # Nullable (key 0 stands for NULL), index count, indexes; present even for no rows
        flags, keys = struct.unpack("<QQ", c.take(16))
        inner = typ[15:-1]
        _skip_body(c, inner[9:-1] if inner.startswith("Nullable(") else inner, keys)
        if struct.unpack("<Q", c.take(8))[0] != rows:
            raise ValueError("LowCardinality index count")
        c.take((1 << (flags & 3)) * rows)
    else:
        raise ValueError("cannot skip type %s" % typ)


def parse_block(c):
    """Parse a block (block info + columns) from cursor c. Returns a summary."""
    info = []
    while True:
        field = c.varint()
        if field == 0:
            break
        if field == 1:
            info.append(("is_overflows", c.u8()))
        elif field == 2:
            info.append(("bucket_num", c.i32()))
        else:
            raise ValueError("unknown block info field %d" % field)
    ncols = c.varint()
    nrows = c.varint()
    cols = []
    for _ in range(ncols):
        name = c.string().decode()
        typ = c.string().decode()
        start = c.pos
        skip_column(c, typ, nrows)
        cols.append((name, typ, start, c.pos))
    return {"info": info, "columns": cols, "rows": nrows}


class FrameStream:
    """Decodes successive frames of buf starting at pos, on demand."""

    def __init__(self, buf, pos):
        self.buf = buf
        self.pos = pos
        self.frames = []
        self.decoded = bytearray()

    def need(self, n):
        while len(self.decoded) < n:
            fr = parse_frame(self.buf, self.pos)
            self.frames.append(fr)
            self.decoded += fr["decoded"]
            self.pos += fr["length"]


class FramedCursor(Cursor):
    def __init__(self, stream):
        super().__init__(stream.decoded, 0)
        self.stream = stream

    def take(self, n):
        self.stream.need(self.pos + n)
        self.data = self.stream.decoded
        return super().take(n)


def parse_server_packet(buf, pos, compressed, revision):
    """Parse one server packet at buf[pos:]. Raises EOFError if incomplete.

    Returns a dict with type, name, offset, end and details."""
    c = Cursor(buf, pos)
    ptype = c.varint()
    pk = {"type": ptype, "name": PACKET_NAMES.get(ptype, "?%d" % ptype), "offset": pos}
    if ptype in (S_DATA, S_TOTALS, S_EXTREMES, S_LOG):
        pk["table"] = c.string().decode()
        pk["body_offset"] = c.pos
        if compressed and ptype != S_LOG:
            fs = FrameStream(buf, c.pos)
            fc = FramedCursor(fs)
            pk["block"] = parse_block(fc)
            if fc.pos != len(fs.decoded):
                raise ValueError("block ends inside a frame (%d of %d)" % (fc.pos, len(fs.decoded)))
            pk["frames"] = fs.frames
            pk["decoded_block"] = bytes(fs.decoded)
            c.pos = fs.pos
        else:
            start = c.pos
            pk["block"] = parse_block(c)
            pk["decoded_block"] = bytes(buf[start:c.pos])
    elif ptype == S_EXCEPTION:
        levels = []
        while True:
            code = c.i32()
            name = c.string().decode("utf-8", "replace")
            msg = c.string().decode("utf-8", "replace")
            c.string()
            nested = c.u8()
            levels.append((code, name, msg))
            if not nested:
                break
        pk["exception"] = levels
    elif ptype == S_PROGRESS:
        n = 3 + (2 if revision >= 54420 else 0)
        pk["progress"] = [c.varint() for _ in range(n)]
    elif ptype == S_PROFILE_INFO:
        pk["profile"] = [c.varint(), c.varint(), c.varint(), c.u8(), c.varint(), c.u8()]
    elif ptype in (S_PONG, S_EOS):
        pass
    else:
        raise ValueError("unexpected server packet type %d at %d" % (ptype, pos))
    pk["end"] = c.pos
    return pk


# ---------------------------------------------------------------- session

def client_hello(user, password, database=""):
    return (varint(C_HELLO) + string(CLIENT_NAME) + varint(VERSION_MAJOR) + varint(VERSION_MINOR)
            + varint(REVISION) + string(database) + string(user) + string(password))


def encode_settings(settings):
    """Settings as this revision sends them: name, then the value in its binary
    form (unsigned settings are varints); an empty name ends the list."""
    out = b""
    for name, value in settings:
        out += string(name) + varint(value)
    return out + string("")


def query_packet(query, query_id, user, settings, compression):
    info = (bytes([1]) + string(user) + string(query_id) + string("0.0.0.0:0")
            + bytes([1]) + string("") + string("localhost") + string(CLIENT_NAME)
            + varint(VERSION_MAJOR) + varint(VERSION_MINOR) + varint(REVISION)
            + string("") + varint(VERSION_PATCH))
    return (varint(C_QUERY) + string(query_id) + info + encode_settings(settings)
            + varint(2) + varint(1 if compression else 0) + string(query))


EMPTY_BLOCK = bytes([0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00])


def empty_data_packet(compression, cityhash128=None):
    body = EMPTY_BLOCK
    if compression:
        body = make_frame(EMPTY_BLOCK, compression, cityhash128)
    return varint(C_DATA) + string("") + body


def recv_until(sock, buf, have_enough, deadline):
    """Read from sock into buf until have_enough(buf) or the deadline passes."""
    for _ in range(1_000_000):
        if have_enough(buf):
            return
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("server did not answer in time")
        sock.settimeout(left)
        chunk = sock.recv(1 << 16)
        if not chunk:
            raise EOFError("server closed the connection")
        buf += chunk
    raise RuntimeError("too many reads")


def parse_server_hello(buf):
    c = Cursor(buf)
    t = c.varint()
    if t == S_EXCEPTION:
        return {"type": t, "exception": parse_server_packet(buf, 0, False, REVISION)["exception"], "end": None}
    if t != S_HELLO:
        raise ValueError("expected Hello, got %d" % t)
    h = {"type": t}
    h["name"] = c.string().decode()
    h["major"] = c.varint()
    h["minor"] = c.varint()
    h["revision"] = c.varint()
    rev = min(h["revision"], REVISION)
    if rev >= 54058:
        h["timezone"] = c.string().decode()
    if rev >= 54372:
        h["display_name"] = c.string().decode()
    if rev >= 54401:
        h["patch"] = c.varint()
    h["end"] = c.pos
    return h


def _complete(fn):
    def check(buf):
        try:
            fn(buf)
            return True
        except EOFError:
            return False
    return check


def run_session(addr, query, user="default", password="", settings=(), compression=METHOD_LZ4,
                cityhash128=None, timeout=30.0, query_id="tarnwick-capture-1"):
    """Run one query; returns dict(hello_sent, hello_raw, hello, query_sent, reply_raw, packets)."""
    host, port = addr.rsplit(":", 1)
    deadline = time.monotonic() + timeout
    result = {}
    with socket.create_connection((host, int(port)), timeout=timeout) as sock:
        hello = client_hello(user, password)
        result["hello_sent"] = hello
        sock.sendall(hello)
        buf = bytearray()
        recv_until(sock, buf, _complete(lambda b: parse_server_hello(b)["end"] or parse_server_packet(b, 0, False, REVISION)), deadline)
        sh = parse_server_hello(buf)
        result["hello"] = sh
        if sh["type"] == S_EXCEPTION:
            result["hello_raw"] = bytes(buf)
            return result
        result["hello_raw"] = bytes(buf[:sh["end"]])
        rev = min(sh["revision"], REVISION)
        q = query_packet(query, query_id, user, list(settings), compression) + \
            empty_data_packet(compression, cityhash128)
        result["query_sent"] = q
        sock.sendall(q)
        reply = bytearray(buf[sh["end"]:])
        packets = []
        for _ in range(100000):
            pos = packets[-1]["end"] if packets else 0

            def have(b, pos=pos):
                try:
                    parse_server_packet(b, pos, bool(compression), rev)
                    return True
                except EOFError:
                    return False
            recv_until(sock, reply, have, deadline)
            pk = parse_server_packet(reply, pos, bool(compression), rev)
            packets.append(pk)
            if pk["type"] in (S_EOS, S_EXCEPTION):
                break
        result["reply_raw"] = bytes(reply[:packets[-1]["end"]])
        result["packets"] = packets
    return result


def describe(result):
    lines = []
    h = result["hello"]
    lines.append("server hello: %r" % {k: v for k, v in h.items() if k != "end"})
    for pk in result.get("packets", []):
        s = "@%d..%d %s" % (pk["offset"], pk["end"], pk["name"])
        if "block" in pk:
            b = pk["block"]
            s += " rows=%d cols=%s info=%s" % (b["rows"], [(n, t) for n, t, _, _ in b["columns"]], b["info"])
            for fr in pk.get("frames", []):
                s += "\n    frame @%d len=%d method=0x%02x csize=%d usize=%d" % (
                    fr["offset"], fr["length"], fr["method"], fr["compressed_size"], fr["uncompressed_size"])
        for key in ("exception", "progress", "profile"):
            if key in pk:
                s += " %s=%r" % (key, pk[key])
        lines.append(s)
    return "\n".join(lines)


def main(argv):
    import argparse
    ap = argparse.ArgumentParser()
    ap.add_argument("addr")
    ap.add_argument("query")
    ap.add_argument("--user", default="default")
    ap.add_argument("--password", default="")
    ap.add_argument("--setting", action="append", default=[])
    ap.add_argument("--no-compression", action="store_true")
    a = ap.parse_args(argv)
    from cityhash_lib import load_cityhash128
    settings = [(s.split("=", 1)[0], int(s.split("=", 1)[1])) for s in a.setting]
    r = run_session(a.addr, a.query, a.user, a.password, settings,
                    0 if a.no_compression else METHOD_LZ4, load_cityhash128())
    print(describe(r))


if __name__ == "__main__":
    from cityhash_lib import ensure_preload
    ensure_preload()
    main(sys.argv[1:])
