"""Client packets (client to server): parsed views of what the client sent."""

from dataclasses import dataclass, field

HELLO, QUERY, DATA, CANCEL, PING, TABLES_STATUS_REQUEST = 0, 1, 2, 3, 4, 5
IGNORED_PART_UUIDS, READ_TASK_RESPONSE, MERGE_TREE_READ_TASK_RESPONSE = 8, 9, 10
SSH_CHALLENGE_REQUEST, SSH_CHALLENGE_RESPONSE = 11, 12

NAMES = {
    HELLO: "Hello", QUERY: "Query", DATA: "Data", CANCEL: "Cancel", PING: "Ping",
    TABLES_STATUS_REQUEST: "TablesStatusRequest", IGNORED_PART_UUIDS: "IgnoredPartUUIDs",
    READ_TASK_RESPONSE: "ReadTaskResponse",
    MERGE_TREE_READ_TASK_RESPONSE: "MergeTreeReadTaskResponse",
    SSH_CHALLENGE_REQUEST: "SSHChallengeRequest", SSH_CHALLENGE_RESPONSE: "SSHChallengeResponse",
}
SSH_MARKER = b" SSH KEY AUTHENTICATION "


@dataclass
class Packet:
    """A parsed client packet. `raw` holds its bytes with chunk framing removed and compressed
    frames replaced by their decoded payloads; `fields` the parsed fields by name."""

    type: int
    kind: str
    fields: dict = field(default_factory=dict)
    raw: bytes = b""

    def __getattr__(self, name):
        try:
            return self.__dict__["fields"][name]
        except KeyError:
            raise AttributeError(name) from None


def read_hello_body(r):
    f = {}
    f["client_name"] = r.text()
    f["version_major"] = r.varint()
    f["version_minor"] = r.varint()
    f["revision"] = r.varint()
    f["database"] = r.text()
    user = r.bytes_()
    f["ssh"] = user.startswith(SSH_MARKER)
    f["user"] = (user[len(SSH_MARKER):] if f["ssh"] else user).decode("utf-8", "replace")
    f["password"] = r.text()
    return f


def read_addendum(r, n):
    """The Hello addendum (no packet type) at negotiated revision n; None below 54458."""
    if n < 54458:
        return None
    f = {"quota_key": r.text()}
    if n >= 54470:
        f["send_mode"] = r.text()
        f["recv_mode"] = r.text()
    if n >= 54471:
        f["parallel_replicas_version"] = r.varint()
    return f


def read_settings(r):
    out = []
    while True:
        name = r.text()
        if not name:
            return out
        out.append((name, r.varint(), r.text()))


def read_client_info(r, n):
    f = {"query_kind": r.u8()}
    if f["query_kind"] == 0:
        return f
    f["initial_user"] = r.text()
    f["initial_query_id"] = r.text()
    f["initial_address"] = r.text()
    if n >= 54449:
        f["initial_query_start_time"] = r.u64()
    f["interface"] = r.u8()
    f["os_user"] = r.text()
    f["client_hostname"] = r.text()
    f["client_name"] = r.text()
    f["version_major"] = r.varint()
    f["version_minor"] = r.varint()
    f["revision"] = r.varint()
    if n >= 54060:
        f["quota_key"] = r.text()
    if n >= 54448:
        f["distributed_depth"] = r.varint()
    if n >= 54401:
        f["version_patch"] = r.varint()
    if n >= 54442:
        f["trace_context"] = r.u8()
        if f["trace_context"]:
            f["trace_id"] = r.read(16)
            f["span_id"] = r.read(8)
            f["trace_state"] = r.text()
            f["trace_flags"] = r.u8()
    if n >= 54453:
        f["replica_fields"] = [r.varint(), r.varint(), r.varint()]
    if n >= 54475:
        f["fields_54475"] = [r.varint(), r.varint()]
    if n >= 54476:
        f["field_54476"] = r.u8()
    return f


def read_query_body(r, n):
    f = {"query_id": r.text()}
    f["client_info"] = read_client_info(r, n) if n >= 54032 else None
    f["settings"] = read_settings(r)
    if n >= 54472:
        f["external_roles"] = r.bytes_()
    if n >= 54441:
        f["interserver_secret"] = r.bytes_()
    f["stage"] = r.varint()
    f["compression"] = r.u8()
    f["text"] = r.text()
    f["parameters"] = read_settings(r) if n >= 54459 else []
    return f


def read_tables_status_request(r):
    return {"tables": [(r.text(), r.text()) for _ in range(r.varint())]}


def read_ignored_part_uuids(r):
    count = r.varint()
    if count > 1 << 20:
        raise ValueError(f"IgnoredPartUUIDs count {count} too large")
    return {"uuids": [r.read(16) for _ in range(count)]}


def read_merge_tree_read_task_response(r):
    f = {"version": r.u64(), "finished": r.u8(), "part_ranges": r.varint()}
    if f["part_ranges"]:
        raise ValueError("MergeTreeReadTaskResponse with part ranges is not understood")
    f["text"] = r.text()
    return f
