"""Fuzz target: the conversion of decoded columns to Python values.

Input: one byte of row count (0-63), a column type text, a NUL byte, then the column's body bytes,
which are taken as they stand (nothing checks them against the type). The body is converted every
way the module offers: row dicts, column lists, the column object and the row iterator. Refusals
are builtin exceptions; a SystemError (a C++ failure that escaped) or a crash is a finding.
"""

import _tarnwick_testhooks as hooks
import tarnwick._native as native

# What a refusal may be; anything else escaping (SystemError above all) is a finding.
REFUSALS = (ValueError, OverflowError, TypeError, IndexError, KeyError, MemoryError)


def _each_conversion(block):
    yield block.to_dicts
    yield block.to_columns
    yield lambda: list(block.rows())
    yield lambda: block.column_by_index(0).to_list()
    yield lambda: native.blocks_to_dicts([block, block])


def run(data):
    if len(data) < 2:
        return
    rows = data[0] & 0x3F
    type_text, sep, body = data[1:].partition(b"\0")
    if not sep:
        return
    try:
        block = hooks.block_from_bodies(rows, [("c", type_text.decode("utf-8", "replace"),
                                                bytes(body))])
    except REFUSALS:
        return
    for convert in _each_conversion(block):
        try:
            convert()
        except REFUSALS:
            pass
