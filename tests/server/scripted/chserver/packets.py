"""Server packets (server to client), as unframed bytes; fields gated by the negotiated revision.

Every function returns the packet bytes starting with its packet-type varint. Block-carrying
packets take a Block or raw block bytes, and a compression method (None: plain, 0x02 or 0x82: one
compressed frame, or several when `frame_split` lists payload segment sizes).
"""

from .block import Block
from .frames import encode_frames
from .wire import i32, string, u8, u64, varint

HELLO, DATA, EXCEPTION, PROGRESS, PONG, END_OF_STREAM, PROFILE_INFO = 0, 1, 2, 3, 4, 5, 6
TOTALS, EXTREMES, TABLES_STATUS_RESPONSE, LOG, TABLE_COLUMNS, PART_UUIDS = 7, 8, 9, 10, 11, 12
READ_TASK_REQUEST, PROFILE_EVENTS, MERGE_TREE_ALL_RANGES_ANNOUNCEMENT = 13, 14, 15
MERGE_TREE_READ_TASK_REQUEST, TIMEZONE_UPDATE, SSH_CHALLENGE = 16, 17, 18


def hello(revision, name="ClickHouse", version=(24, 8), patch=1, server_revision=None,
          timezone="UTC", display_name="scripted", parallel_replicas_version=7,
          send_mode="chunked_optional", recv_mode="chunked_optional", password_rules=(),
          nonce=0x0123456789ABCDEF, settings=(), version_54477=0, version_54479=6):
    """Server Hello. `revision` gates the fields (the negotiated one); `server_revision` is the
    revision written in the packet (defaults to `revision`)."""
    n = revision
    out = bytearray(varint(HELLO))
    out += string(name) + varint(version[0]) + varint(version[1])
    out += varint(server_revision if server_revision is not None else revision)
    if n >= 54471:
        out += varint(parallel_replicas_version)
    if n >= 54058:
        out += string(timezone)
    if n >= 54372:
        out += string(display_name)
    if n >= 54401:
        out += varint(patch)
    if n >= 54470:
        out += string(send_mode) + string(recv_mode)
    if n >= 54461:
        out += varint(len(password_rules))
        for pattern, message in password_rules:
            out += string(pattern) + string(message)
    if n >= 54462:
        out += u64(nonce)
    if n >= 54474:
        for sname, flags, value in settings:
            out += string(sname) + varint(flags) + string(value)
        out += string("")
    if n >= 54477:
        out += varint(version_54477)
    if n >= 54479:
        out += varint(version_54479)
    return bytes(out)


def ssh_challenge(challenge):
    return varint(SSH_CHALLENGE) + string(challenge)


def exception_body(chain):
    """`chain`: list of (code, name, message[, stack]) from the outermost level inwards."""
    out = bytearray()
    for i, level in enumerate(chain):
        code, name, message = level[:3]
        stack = level[3] if len(level) > 3 else ""
        out += i32(code) + string(name) + string(message) + string(stack)
        out += u8(1 if i + 1 < len(chain) else 0)
    return bytes(out)


def exception(chain):
    return varint(EXCEPTION) + exception_body(chain)


def block_bytes(block, revision=None):
    return block.encode(revision) if isinstance(block, Block) else bytes(block)


def _block_packet(ptype, block, table, method, revision, frame_split=None, lz4_matches=True):
    body = block_bytes(block, revision)
    if method is not None:
        body = encode_frames(body, method, frame_split, lz4_matches)
    return varint(ptype) + string(table) + body


def data(block, table="", method=None, revision=None, **kw):
    return _block_packet(DATA, block, table, method, revision, **kw)


def totals(block, table="", method=None, revision=None, **kw):
    return _block_packet(TOTALS, block, table, method, revision, **kw)


def extremes(block, table="", method=None, revision=None, **kw):
    return _block_packet(EXTREMES, block, table, method, revision, **kw)


def profile_events(block, table="", method=None, revision=None, **kw):
    return _block_packet(PROFILE_EVENTS, block, table, method, revision, **kw)


def log(block, table="", revision=None):
    """Log blocks are never framed."""
    return _block_packet(LOG, block, table, None, revision)


def progress(revision, rows=0, bytes_=0, total_rows=0, total_bytes=0, written_rows=0,
             written_bytes=0, elapsed_ns=0):
    out = bytearray(varint(PROGRESS))
    out += varint(rows) + varint(bytes_) + varint(total_rows)
    if revision >= 54463:
        out += varint(total_bytes)
    if revision >= 54420:
        out += varint(written_rows) + varint(written_bytes)
    if revision >= 54460:
        out += varint(elapsed_ns)
    return bytes(out)


def pong():
    return varint(PONG)


def end_of_stream():
    return varint(END_OF_STREAM)


def profile_info(revision, rows=0, blocks=0, bytes_=0, applied_limit=False, rows_before_limit=0,
                 calculated_rows_before_limit=False, applied_aggregation=False,
                 rows_before_aggregation=0):
    out = bytearray(varint(PROFILE_INFO))
    out += varint(rows) + varint(blocks) + varint(bytes_) + u8(applied_limit)
    out += varint(rows_before_limit) + u8(calculated_rows_before_limit)
    if revision >= 54469:
        out += u8(applied_aggregation) + varint(rows_before_aggregation)
    return bytes(out)


def tables_status_response(revision, entries):
    """`entries`: list of (database, table, is_replicated, absolute_delay, is_readonly)."""
    out = bytearray(varint(TABLES_STATUS_RESPONSE) + varint(len(entries)))
    for database, table, replicated, delay, readonly in entries:
        out += string(database) + string(table) + u8(replicated)
        if replicated:
            out += varint(delay)
            if revision >= 54467:
                out += varint(readonly)
    return bytes(out)


def table_columns(table, description, method=None):
    body = string(table) + string(description)
    if method is not None:
        body = encode_frames(body, method)
    return varint(TABLE_COLUMNS) + body


def part_uuids(uuids):
    return varint(PART_UUIDS) + varint(len(uuids)) + b"".join(bytes(u) for u in uuids)


def read_task_request():
    return varint(READ_TASK_REQUEST)


def ranges_description(parts=()):
    """`parts`: list of dicts with optional keys info (u64), name, four (4 u64), flag, ranges
    (list of (begin, end)), v1, s2, v3."""
    out = bytearray(varint(len(parts)))
    for p in parts:
        out += u64(p.get("info", 0)) + string(p.get("name", "all_1_1_0"))
        for v in p.get("four", (0, 0, 0, 0)):
            out += u64(v)
        out += u8(p.get("flag", 0))
        ranges = p.get("ranges", ())
        out += u64(len(ranges))
        for begin, end in ranges:
            out += u64(begin) + u64(end)
        out += varint(p.get("v1", 0)) + string(p.get("s2", "")) + varint(p.get("v3", 0))
    return bytes(out)


def merge_tree_all_ranges_announcement(parts=(), mode=0, replica=0, v1=0, v2=0, v3=0, v4=0,
                                       text=""):
    out = varint(MERGE_TREE_ALL_RANGES_ANNOUNCEMENT) + u64(mode) + u8(replica)
    return out + ranges_description(parts) + u64(v1) + u64(v2) + varint(v3) + varint(v4) + string(text)


def merge_tree_read_task_request(text="", parts=(), mode=0, replica=0, v1=0, v2=0):
    out = varint(MERGE_TREE_READ_TASK_REQUEST) + u64(mode) + u8(replica) + u64(v1) + u64(v2)
    return out + ranges_description(parts) + string(text)


def timezone_update(tz):
    return varint(TIMEZONE_UPDATE) + string(tz)


def unknown(packet_type, body=b""):
    return varint(packet_type) + bytes(body)
