"""Column types: a small type-name parser, and column bodies from Python values and back.

Values by type (encoding accepts the left form; decoding returns it):
  integers, Bool -> int / bool;  Float32/64 -> float;  String, FixedString(N) -> bytes (str accepted)
  Nullable(T) -> None or a T value;  Array(T) -> list;  Tuple(...) -> tuple;  Map(K, V) -> dict
  (a list of pairs is accepted);  Date, Date32 -> datetime.date (int days accepted);
  DateTime -> int seconds (datetime accepted);  DateTime64(P) -> int ticks (datetime accepted);
  UUID -> uuid.UUID (str accepted);  IPv4/IPv6 -> ipaddress objects (str accepted);
  Enum8/16 -> int (a declared name accepted);  Decimal(P, S) -> decimal.Decimal (int = raw value);
  LowCardinality(T) for a fixed-width or String T, or Nullable of one -> as T.
"""

import datetime
import decimal
import ipaddress
import re
import struct
import uuid

from .wire import ProtocolViolation, Reader, varint

_INTS = {
    "UInt8": (1, False), "UInt16": (2, False), "UInt32": (4, False), "UInt64": (8, False),
    "UInt128": (16, False), "UInt256": (32, False), "Int8": (1, True), "Int16": (2, True),
    "Int32": (4, True), "Int64": (8, True), "Int128": (16, True), "Int256": (32, True),
}
_EPOCH = datetime.date(1970, 1, 1)
_EPOCH_DT = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


class Type:
    def __init__(self, name, args=()):
        self.name = name
        self.args = list(args)  # Types, ints, strings, or (field name, Type) for named tuples

    def __repr__(self):
        return f"Type({self.name!r}, {self.args!r})"


def parse_type(text):
    tokens = re.findall(r"'(?:[^'\\]|\\.)*'|-?\d+|[A-Za-z_][A-Za-z0-9_]*|[(),=]", text)
    pos = 0

    def parse():
        nonlocal pos
        tok = tokens[pos]
        pos += 1
        if tok.startswith("'"):
            return tok[1:-1]
        if re.fullmatch(r"-?\d+", tok):
            return int(tok)
        if pos < len(tokens) and re.fullmatch(r"[A-Za-z_]\w*", tokens[pos]):
            # a named tuple element: "name Type"
            return (tok, parse())
        args = []
        if pos < len(tokens) and tokens[pos] == "(":
            pos += 1
            while tokens[pos] != ")":
                arg = parse()
                if pos < len(tokens) and tokens[pos] == "=":  # Enum entry 'name' = value
                    pos += 1
                    arg = (arg, parse())
                args.append(arg)
                if tokens[pos] == ",":
                    pos += 1
            pos += 1
        return Type(tok, args)

    t = parse()
    if pos != len(tokens):
        raise ValueError(f"trailing text in type {text!r}")
    return t


def _members(t):
    return [a[1] if isinstance(a, tuple) else a for a in t.args]


def _decimal_width(p):
    for limit, width in ((9, 4), (18, 8), (38, 16), (76, 32)):
        if 1 <= p <= limit:
            return width
    raise ValueError(f"Decimal precision {p}")


def _enum_map(t):
    return {name: value for name, value in t.args}


def _default(t):
    n = t.name
    if n in ("String", "FixedString"):
        return b""
    if n in ("Float32", "Float64"):
        return 0.0
    if n == "Array":
        return []
    if n == "Map":
        return {}
    if n == "Tuple":
        return tuple(_default(m) for m in _members(t))
    if n == "Nullable":
        return None
    if n == "LowCardinality":
        return _default(t.args[0])
    if n == "UUID":
        return uuid.UUID(int=0)
    if n == "Enum8" or n == "Enum16":
        return t.args[0][1] if t.args else 0
    return 0


def _encode_scalar(t, v):
    n = t.name
    if n in _INTS:
        width, signed = _INTS[n]
        return int(v).to_bytes(width, "little", signed=signed)
    if n == "Bool":
        return b"\x01" if v else b"\x00"
    if n == "Float32":
        return struct.pack("<f", v)
    if n == "Float64":
        return struct.pack("<d", v)
    if n == "String":
        b = v.encode() if isinstance(v, str) else bytes(v)
        return varint(len(b)) + b
    if n == "FixedString":
        b = v.encode() if isinstance(v, str) else bytes(v)
        size = t.args[0]
        if len(b) > size:
            raise ValueError(f"value longer than FixedString({size})")
        return b + b"\x00" * (size - len(b))
    if n in ("Date", "Date32"):
        days = (v - _EPOCH).days if isinstance(v, datetime.date) else int(v)
        return days.to_bytes(2 if n == "Date" else 4, "little", signed=n == "Date32")
    if n == "DateTime":
        if isinstance(v, datetime.datetime):
            v = int(v.timestamp())
        return int(v).to_bytes(4, "little")
    if n == "DateTime64":
        if isinstance(v, datetime.datetime):
            delta = v - _EPOCH_DT if v.tzinfo else v - _EPOCH_DT.replace(tzinfo=None)
            v = (delta // datetime.timedelta(microseconds=1)) * 10 ** t.args[0] // 10**6
        return int(v).to_bytes(8, "little", signed=True)
    if n == "UUID":
        u = v if isinstance(v, uuid.UUID) else uuid.UUID(str(v))
        return u.bytes[7::-1] + u.bytes[:7:-1]
    if n == "IPv4":
        return int(ipaddress.IPv4Address(v)).to_bytes(4, "little")
    if n == "IPv6":
        return ipaddress.IPv6Address(v).packed
    if n in ("Enum8", "Enum16"):
        if isinstance(v, str):
            v = _enum_map(t)[v]
        return int(v).to_bytes(1 if n == "Enum8" else 2, "little", signed=True)
    if n == "Decimal":
        width = _decimal_width(t.args[0])
        if isinstance(v, decimal.Decimal):
            v = int(v.scaleb(t.args[1]).to_integral_value())
        return int(v).to_bytes(width, "little", signed=True)
    raise ValueError(f"no value encoder for type {n}")


def _lc_count(t):
    """The LowCardinality types in `t`: each puts its key version (u64 1) before the body."""
    if t.name == "LowCardinality":
        return 1
    if t.name in ("Nullable", "Array", "Map"):
        return sum(_lc_count(a) for a in t.args)
    if t.name == "Tuple":
        return sum(_lc_count(m) for m in _members(t))
    return 0


def encode_column(t, values):
    """Native body of `values` (a list) for type `t` (a Type or a type name)."""
    if isinstance(t, str):
        t = parse_type(t)
    values = list(values)
    if not values:
        return b""
    return struct.pack("<Q", 1) * _lc_count(t) + _encode(t, values)


def _encode(t, values):
    if not values and not _lc_count(t):  # a nested LowCardinality has a body even so
        return b""
    n = t.name
    if n == "Nullable":
        inner = t.args[0]
        nulls = bytes(1 if v is None else 0 for v in values)
        return nulls + _encode(inner, [_default(inner) if v is None else v for v in values])
    if n == "Array":
        offsets, flat, total = bytearray(), [], 0
        for v in values:
            total += len(v)
            offsets += struct.pack("<Q", total)
            flat.extend(v)
        return bytes(offsets) + _encode(t.args[0], flat)
    if n == "Map":
        offsets, keys, vals, total = bytearray(), [], [], 0
        for v in values:
            items = list(v.items()) if isinstance(v, dict) else list(v)
            total += len(items)
            offsets += struct.pack("<Q", total)
            keys.extend(k for k, _ in items)
            vals.extend(x for _, x in items)
        return bytes(offsets) + _encode(t.args[0], keys) + _encode(t.args[1], vals)
    if n == "Tuple":
        out = bytearray()
        for i, m in enumerate(_members(t)):
            out += _encode(m, [v[i] for v in values])
        return bytes(out)
    if n == "LowCardinality":
        return _encode_low_cardinality(t.args[0], values)
    return b"".join(_encode_scalar(t, v) for v in values)


def _encode_low_cardinality(inner, values):
    """As the server writes it: the dictionary holds plain values, the default first; for
    Nullable(T) key 0 stands for NULL and T's default is key 1."""
    nullable = inner.name == "Nullable"
    value_type = inner.args[0] if nullable else inner
    default = _encode_scalar(value_type, _default(value_type))
    keys = [default] * (2 if nullable else 1)
    index = {default: len(keys) - 1}
    idx = []
    for v in values:
        if nullable and v is None:
            idx.append(0)
            continue
        k = _encode_scalar(value_type, v)
        if k not in index:
            index[k] = len(keys)
            keys.append(k)
        idx.append(index[k])
    code = 0 if len(keys) <= 0x100 else 1 if len(keys) <= 0x10000 else 2
    width = 1 << code
    out = struct.pack("<QQ", code | 0x600, len(keys)) + b"".join(keys)
    out += struct.pack("<Q", len(values)) + b"".join(i.to_bytes(width, "little") for i in idx)
    return out


def _decode_scalar(t, r):
    n = t.name
    if n in _INTS:
        width, signed = _INTS[n]
        return int.from_bytes(r.read(width), "little", signed=signed)
    if n == "Bool":
        return r.u8() != 0
    if n == "Float32":
        return struct.unpack("<f", r.read(4))[0]
    if n == "Float64":
        return struct.unpack("<d", r.read(8))[0]
    if n == "String":
        return r.bytes_()
    if n == "FixedString":
        return r.read(t.args[0])
    if n == "Date":
        return _EPOCH + datetime.timedelta(days=int.from_bytes(r.read(2), "little"))
    if n == "Date32":
        return _EPOCH + datetime.timedelta(days=int.from_bytes(r.read(4), "little", signed=True))
    if n == "DateTime":
        return r.u32()
    if n == "DateTime64":
        return int.from_bytes(r.read(8), "little", signed=True)
    if n == "UUID":
        b = r.read(16)
        return uuid.UUID(bytes=b[7::-1] + b[:7:-1])
    if n == "IPv4":
        return ipaddress.IPv4Address(r.u32())
    if n == "IPv6":
        return ipaddress.IPv6Address(r.read(16))
    if n in ("Enum8", "Enum16"):
        return int.from_bytes(r.read(1 if n == "Enum8" else 2), "little", signed=True)
    if n == "Decimal":
        raw = int.from_bytes(r.read(_decimal_width(t.args[0])), "little", signed=True)
        return decimal.Decimal(raw).scaleb(-t.args[1])
    raise ProtocolViolation(f"no decoder for column type {n}")


def decode_column(t, rows, r):
    """Reads `rows` values of type `t` from Reader `r`; returns the list of values."""
    if isinstance(t, str):
        t = parse_type(t)
    if rows == 0:
        return []
    for _ in range(_lc_count(t)):
        if r.u64() != 1:
            raise ProtocolViolation("unsupported LowCardinality key version")
    return _decode(t, rows, r)


def _decode(t, rows, r):
    if rows == 0 and not _lc_count(t):
        return []
    n = t.name
    if n == "Nullable":
        nulls = r.read(rows)
        inner = _decode(t.args[0], rows, r)
        return [None if f else v for f, v in zip(nulls, inner)]
    if n in ("Array", "Map"):
        offsets = struct.unpack(f"<{rows}Q", r.read(8 * rows))
        total = offsets[-1] if rows else 0
        if n == "Array":
            flat = _decode(t.args[0], total, r)
        else:
            flat = list(zip(_decode(t.args[0], total, r), _decode(t.args[1], total, r)))
        out, prev = [], 0
        for off in offsets:
            if off < prev or off > total:
                raise ProtocolViolation("offsets decrease")
            part = flat[prev:off]
            out.append(part if n == "Array" else dict(part))
            prev = off
        return out
    if n == "Tuple":
        cols = [_decode(m, rows, r) for m in _members(t)]
        return [tuple(c[i] for c in cols) for i in range(rows)]
    if n == "LowCardinality":
        flags, nkeys = struct.unpack("<QQ", r.read(16))
        if not flags & 0x200:
            raise ProtocolViolation("unsupported LowCardinality header")
        inner = t.args[0]
        nullable = inner.name == "Nullable"  # plain values in the dictionary, key 0 is NULL
        keys = _decode(inner.args[0] if nullable else inner, nkeys, r)
        if r.u64() != rows:
            raise ProtocolViolation("LowCardinality index count differs from the row count")
        width = 1 << (flags & 3)
        out = []
        for _ in range(rows):
            i = int.from_bytes(r.read(width), "little")
            if i >= nkeys:
                raise ProtocolViolation("LowCardinality index out of range")
            out.append(None if nullable and i == 0 else keys[i])
        return out
    return [_decode_scalar(t, r) for _ in range(rows)]
