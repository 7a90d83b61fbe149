"""Fuzz target: dicts_to_block with hostile values.

Input: a column type text, a NUL byte, then a little program that builds the rows' values: each
op byte picks a kind of value and takes what it needs of the following bytes (integers at and
past every width's edges, floats such as NaN and infinities, texts with NUL bytes and lone
surrogates, bytes, None, bools, nested lists, tuples and dicts, and the date, time, decimal, UUID
and address objects the writer accepts). A block that is made is read back. Refusals are builtin
exceptions; a SystemError or a crash is a finding.
"""

import datetime
import decimal
import ipaddress
import math
import uuid

import tarnwick._native as native

# What a refusal may be; anything else escaping (SystemError above all) is a finding.
REFUSALS = (ValueError, OverflowError, TypeError, IndexError, KeyError, MemoryError)

_EDGES = [0, 1, -1, 127, 128, 255, 256, -129, 2**15, 2**16, 2**31, 2**32, -2**31 - 1, 2**63,
          2**64, -2**63 - 1, 2**127, 2**128, -2**127 - 1, 2**255, 2**256, -2**255 - 1, 10**76,
          -10**76]
_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 1.5]


class _Program:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def value(self, depth=0):
        op = self.byte()
        kind = op % 16
        arg = op >> 4
        if kind == 0:
            return None
        if kind == 1:
            return _EDGES[self.byte() % len(_EDGES)] + arg - 8
        if kind == 2:
            return int.from_bytes(self.take(arg + 1), "little", signed=bool(arg & 1))
        if kind == 3:
            return _FLOATS[self.byte() % len(_FLOATS)]
        if kind == 4:
            return self.take(arg).decode("utf-8", "surrogateescape")
        if kind == 5:
            return bytes(self.take(arg))
        if kind == 6:
            return bool(arg & 1)
        if kind in (7, 8, 9) and depth < 4:
            items = [self.value(depth + 1) for _ in range(arg % 5)]
            if kind == 7:
                return items
            if kind == 8:
                return tuple(items)
            return {str(i) if arg & 8 else i: v for i, v in enumerate(items)}
        if kind == 10:
            seconds = int.from_bytes(self.take(5), "little", signed=True)
            try:
                return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
            except (OverflowError, OSError, ValueError):
                return datetime.date(1 + arg * 600, 1, 1)
        if kind == 11:
            return datetime.date.fromordinal(1 + int.from_bytes(self.take(3), "little") % 3652058)
        if kind == 12:
            try:
                return decimal.Decimal(self.take(arg + 1).decode("ascii", "replace"))
            except decimal.InvalidOperation:
                return decimal.Decimal("NaN")
        if kind == 13:
            return uuid.UUID(bytes=bytes(self.take(16)).ljust(16, b"\0"))
        if kind == 14:
            raw = bytes(self.take(16)).ljust(16, b"\0")
            return ipaddress.IPv6Address(raw) if arg & 1 else ipaddress.IPv4Address(raw[:4])
        return "x" * (arg * 97)


def run(data):
    type_text, sep, program = bytes(data).partition(b"\0")
    if not sep:
        return
    columns = [("c", type_text.decode("utf-8", "replace"))]
    p = _Program(program)
    rows = []
    while p.pos < len(program) and len(rows) < 64:
        rows.append({"c": p.value()} if p.byte() % 8 else {})
    try:
        block = native.dicts_to_block(rows, columns)
    except REFUSALS:
        return
    try:
        block.to_dicts()
    except REFUSALS:
        pass
