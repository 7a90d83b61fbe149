"""Data blocks in the Native layout: block info, counts, then per column name, type, flag, body."""

from dataclasses import dataclass, field

from .types import decode_column, encode_column, parse_type
from .wire import ProtocolViolation, string, varint

DEFAULT_INFO = b"\x01\x00\x02\xff\xff\xff\xff\x00"
CUSTOM_SERIALIZATION_REVISION = 54454


@dataclass
class Column:
    name: str
    type: str
    values: list = None
    raw: bytes = None  # the body exactly as on the wire; when set it is sent instead of values
    flag: int = 0  # the custom-serialization flag byte

    def body(self):
        if self.raw is not None:
            return bytes(self.raw)
        return encode_column(self.type, self.values or [])


@dataclass
class Block:
    columns: list = field(default_factory=list)
    rows: int = None  # defaults to the first column's value count
    info: bytes = DEFAULT_INFO  # the block-info field list, terminator included
    # Whether each column carries the custom-serialization flag byte: "auto" follows the protocol
    # revision given to encode() (present from 54454 on), True/False force it.
    flag_byte: object = "auto"

    def row_count(self):
        if self.rows is not None:
            return self.rows
        for c in self.columns:
            if c.values is not None:
                return len(c.values)
        return 0

    def column(self, name):
        for c in self.columns:
            if c.name == name:
                return c
        raise KeyError(name)

    def encode(self, revision=None):
        with_flag = self.flag_byte
        if with_flag == "auto":
            with_flag = revision is None or revision >= CUSTOM_SERIALIZATION_REVISION
        out = bytearray(self.info)
        out += varint(len(self.columns)) + varint(self.row_count())
        for c in self.columns:
            out += string(c.name) + string(c.type)
            if with_flag:
                out.append(c.flag)
            out += c.body()
        return bytes(out)


def make_block(*columns, rows=None):
    """make_block(("x", "UInt64", [1, 2]), ("s", "String", [b"a", b"b"])) -> Block."""
    return Block([c if isinstance(c, Column) else Column(c[0], c[1], list(c[2])) for c in columns], rows)


EMPTY_BLOCK = b"\x01\x00\x02\xff\xff\xff\xff\x00\x00\x00"


class _Capture:
    """A read_exact source that keeps what passes through it."""

    def __init__(self, source):
        self.source = source
        self.taken = bytearray()

    def read_exact(self, n):
        b = self.source.read_exact(n)
        self.taken += b
        return b


def read_block(reader, flag_byte=True):
    """Parses one block through a wire Reader; every column keeps its values and raw body."""
    from .wire import Reader

    info = bytearray()
    while True:
        num = reader.varint()
        info += varint(num)
        if num == 0:
            break
        if num == 1:
            info += reader.read(1)
        elif num == 2:
            info += reader.read(4)
        elif num == 3:
            info += varint(reader.varint())
        else:
            raise ProtocolViolation(f"unknown block info field {num}")
    ncols = reader.varint()
    rows = reader.varint()
    if ncols > 65536 or rows > 10000000:
        raise ProtocolViolation(f"block of {ncols} columns and {rows} rows over the limits")
    block = Block([], rows, bytes(info), flag_byte)
    for _ in range(ncols):
        name = reader.text()
        type_name = reader.text()
        flag = reader.u8() if flag_byte else 0
        cap = _Capture(reader.source)
        values = decode_column(parse_type(type_name), rows, Reader(cap))
        block.columns.append(Column(name, type_name, values, bytes(cap.taken), flag))
    return block
