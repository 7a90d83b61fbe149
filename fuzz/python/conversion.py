"""Fuzz target: the conversion of decoded columns to Python values.

Input: one byte whose low six bits are the row count (0-63) and whose top two pick the conversion
that goes first, a column type text, a NUL byte, then the column's body bytes. The body goes in
two ways: taken as it stands (nothing checks it against the type), and through the block decoder,
which checks it and keeps a LowCardinality column's dictionary indexes so that its rows share their
key's object. Each block is converted every way the module offers: row dicts, column lists, the
column object and the row iterator. Refusals are builtin exceptions; a SystemError (a C++ failure
that escaped) or a crash is a finding, and so is a decoded block whose values differ from those of
its decoded body converted value by value.

A few bytes of offsets make millions of empty Array elements, and each conversion of those takes a
tenth of a second or more: a block that converts to more than MANY_VALUES values is converted the
first way only, and left out of the comparisons.
"""

import datetime
import math
import reprlib
from itertools import compress
from operator import is_not

import _tarnwick_testhooks as hooks
import tarnwick._native as native

# What a refusal may be; anything else escaping (SystemError above all) is a finding.
REFUSALS = (ValueError, OverflowError, TypeError, IndexError, KeyError, MemoryError)
# The block decoder reports a body cut short as an I/O error.
DECODE_REFUSALS = REFUSALS + (ConnectionError,)
# The revision whose block layout the decoder reads: counts, then per column name, type, the
# serialization flag byte and the body.
REVISION = 54483
# Past this many values (items of lists, tuples and dicts at every depth) a block is converted
# once only.
MANY_VALUES = 1_000_000
# The conversions that give every value of the block; the input picks which of them goes first.
WHOLE_WAYS = 3


def _each_conversion(block, first=0):
    whole = [block.to_dicts, block.to_columns, lambda: list(block.rows())]
    yield whole.pop(first % WHOLE_WAYS)
    yield from whole
    # A nested column's object holds only its leaves or its row count.
    yield lambda: block.column_by_index(0).to_list()
    yield lambda: native.blocks_to_dicts([block, block])


def _more_than(bound, value):
    """Whether value holds more than bound items, counted at every depth; stops once past it."""
    count, stack = 0, [value]
    while stack:
        v = stack.pop()
        items = v.values() if type(v) is dict else v if type(v) in (list, tuple) else None
        if items is None:
            continue
        count += len(items)
        if count > bound:
            return True
        stack.extend(x for x in items if type(x) in (list, tuple, dict))
    return False


def _convert_every_way(block, first=0):
    """Converts the block every way, `first` of the whole ways first. Returns whether the block holds
    more than MANY_VALUES values, found from the first whole conversion that succeeds, which is then
    the only one made."""
    counted = False
    for i, convert in enumerate(_each_conversion(block, first)):
        try:
            values = convert()
        except REFUSALS:
            continue
        if i < WHOLE_WAYS and not counted:
            counted = True
            if _more_than(MANY_VALUES, values):
                return True
        del values
    return False


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


def _same(a, b):
    """Whether two converted values are the same at every depth: of one type, equal, a float's zero
    of one sign and a NaN against a NaN, a datetime of one fold."""
    if a is b:
        return True
    t = type(a)
    if t is not type(b):
        return False
    if t is list or t is tuple:
        if len(a) != len(b):
            return False
        # Pairs of one object (None, a shared key) are passed over without a call each.
        for x, y in compress(zip(a, b), map(is_not, a, b)):
            if not _same(x, y):
                return False
        return True
    if t is dict:
        return _same(list(a), list(b)) and _same(list(a.values()), list(b.values()))
    if t is float:
        if a != a:
            return b != b
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if t is datetime.datetime:
        return a == b and a.fold == b.fold and a.tzinfo == b.tzinfo
    return a == b


def _outcome(convert):
    """The values a conversion gives, or the name of its refusal."""
    try:
        return True, convert()
    except REFUSALS as e:
        return False, type(e).__name__


def run(data):
    if len(data) < 2:
        return
    rows, first = data[0] & 0x3F, data[0] >> 6
    type_text, sep, body = data[1:].partition(b"\0")
    if not sep:
        return
    name = type_text.decode("utf-8", "replace")
    try:
        plain = hooks.block_from_bodies(rows, [("c", name, bytes(body))])
    except REFUSALS:
        plain = None
    plain_many = plain is not None and _convert_every_way(plain, first)
    decoded = _decoded(rows, type_text, bytes(body))
    if decoded is None or _convert_every_way(decoded, first):
        return
    # The decoded body value by value, without the indexes: the same values, row for row.
    unkeyed = hooks.block_from_bodies(
        rows, [("c", decoded.column_types()[0], hooks.column_body(decoded, 0))])
    for convert in (lambda b: b.to_dicts(), lambda b: b.column_by_index(0).to_list()):
        got_ok, got = _outcome(lambda: convert(decoded))
        want_ok, want = _outcome(lambda: convert(unkeyed))
        if got_ok != want_ok or not (_same(got, want) if got_ok else got == want):
            raise AssertionError(
                f"{name}: keyed {reprlib.repr(got)} but value by value {reprlib.repr(want)}")
    if plain is not None and not plain_many:
        try:
            native.blocks_to_dicts([decoded, plain, decoded])
        except REFUSALS:
            pass
