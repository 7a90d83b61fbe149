"""Helpers for the Python tests: native-layout bytes written independently of the module."""

import os
import sys

# The test-only extension built with the tests: it makes _Block objects from raw bytes.
import _tarnwick_testhooks as hooks

TESTS_DIR = os.environ.get(
    "TARNWICK_TESTS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
)
VECTORS_DIR = os.path.join(TESTS_DIR, "vectors")
# The protocol revision of the server that made the captures in VECTORS_DIR.
CAPTURE_REVISION = 54412
# The revision the client asks for by default: the layout of current servers.
CLIENT_REVISION = 54483

# The scripted server's wire primitives serve the tests too.
sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver.wire import read_string, read_varint, string, u64, varint  # noqa: E402,F401


def offsets(*ends):
    return b"".join(u64(e) for e in ends)


def column(rows, type_name, body, name="c"):
    """A one-column _Block holding `body` as it stands."""
    return hooks.block_from_bodies(rows, [(name, type_name, body)])


def values(rows, type_name, body):
    """The converted values of one column, through the list path and the row path."""
    block = column(rows, type_name, body)
    by_list = block.to_columns()[0]["columns"][0]["data"]
    by_rows = [row["c"] for row in block.to_dicts()]
    assert len(by_list) == rows, (type_name, by_list)
    assert repr(by_list) == repr(by_rows), (by_list, by_rows)
    return by_list


def http_blocks(entry):
    """The blocks of one HTTP Native capture, each re-laid in the TCP block layout of the
    capturing server's revision (CAPTURE_REVISION: block info end marker, counts, no
    serialization flag) for the library's decoder, plus the raw bodies of each block."""
    with open(os.path.join(VECTORS_DIR, entry["file"]), "rb") as f:
        data = f.read()
    out = []
    for block in entry["blocks"]:
        pos = block["offset"]
        ncols, pos = read_varint(data, pos)
        rows, pos = read_varint(data, pos)
        tcp = b"\x00" + varint(ncols) + varint(rows)
        bodies = []
        for start, end in block["column_bodies"]:
            name, pos = read_string(data, pos)
            type_name, pos = read_string(data, pos)
            name, type_name = name.decode(), type_name.decode()
            assert pos == start, (entry["file"], pos, start)
            body = data[start:end]
            pos = end
            tcp += string(name) + string(type_name) + body
            bodies.append((name, type_name, body))
        out.append((rows, tcp, bodies))
    return out
