"""Fuzz target: the conversion of decoded columns to Python values.

Input: one byte of row count (0-63), a column type text, a NUL byte, then the column's body bytes.
The body goes in two ways: taken as it stands (nothing checks it against the type), and through
the block decoder, which checks it and keeps a LowCardinality column's dictionary indexes so that
its rows share their key's object. Each block is converted every way the module offers: row
dicts, column lists, the column object and the row iterator. Refusals are builtin exceptions; a
SystemError (a C++ failure that escaped) or a crash is a finding, and so is a decoded block whose
values differ from those of its decoded body converted value by value.
"""

import _tarnwick_testhooks as hooks
import tarnwick._native as native

# What a refusal may be; anything else escaping (SystemError above all) is a finding.
REFUSALS = (ValueError, OverflowError, TypeError, IndexError, KeyError, MemoryError)
# The block decoder reports a body cut short as an I/O error.
DECODE_REFUSALS = REFUSALS + (ConnectionError,)
# The revision whose block layout the decoder reads: counts, then per column name, type, the
# serialization flag byte and the body.
REVISION = 54483


def _each_conversion(block):
    yield block.to_dicts
    yield block.to_columns
    yield lambda: list(block.rows())
    yield lambda: block.column_by_index(0).to_list()
    yield lambda: native.blocks_to_dicts([block, block])


def _convert_every_way(block):
    for convert in _each_conversion(block):
        try:
            convert()
        except REFUSALS:
            pass


def _text(data):
    n, out = len(data), bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out) + bytes([n]) + data


def _decoded(rows, type_text, body):
    """The column through the block decoder, or None when the decoder refuses it."""
    data = b"\0" + bytes([1, rows]) + _text(b"c") + _text(type_text) + b"\0" + body
    try:
        return hooks.decode_block(data, REVISION)
    except DECODE_REFUSALS:
        return None


def _rendered(convert):
    try:
        return repr(convert())
    except REFUSALS as e:
        return type(e).__name__


def run(data):
    if len(data) < 2:
        return
    rows = data[0] & 0x3F
    type_text, sep, body = data[1:].partition(b"\0")
    if not sep:
        return
    name = type_text.decode("utf-8", "replace")
    try:
        plain = hooks.block_from_bodies(rows, [("c", name, bytes(body))])
    except REFUSALS:
        plain = None
    if plain is not None:
        _convert_every_way(plain)
    decoded = _decoded(rows, type_text, bytes(body))
    if decoded is None:
        return
    _convert_every_way(decoded)
    # The decoded body value by value, without the indexes: the same values, row for row.
    unkeyed = hooks.block_from_bodies(
        rows, [("c", decoded.column_types()[0], hooks.column_body(decoded, 0))])
    for convert in (lambda b: b.to_dicts(), lambda b: b.column_by_index(0).to_list()):
        got, want = _rendered(lambda: convert(decoded)), _rendered(lambda: convert(unkeyed))
        if got != want:
            raise AssertionError(f"{name}: keyed {got[:200]} but value by value {want[:200]}")
    if plain is not None:
        try:
            native.blocks_to_dicts([decoded, plain, decoded])
        except REFUSALS:
            pass
