"""One accepted connection, driven by a scenario: reads and checks what the client sends, sends
scripted server packets, injects faults, and records every byte."""

import socket
import struct
import time
from dataclasses import dataclass, field

from . import client_packets as cp
from . import packets as sp
from .block import Block, make_block, read_block
from .chunked import Dechunker, frame_message
from .frames import METHOD_LZ4, METHOD_NONE, read_frame
from .wire import ProtocolViolation, Reader

AUTH_FAILED = (516, "DB::Exception", "Authentication failed: password is incorrect, or there is "
               "no user with such name.")


class ClientClosed(EOFError):
    """The client closed (or reset) the connection while the scenario was reading."""


class AuthRejected(Exception):
    """The scenario refused the client's credentials; ends the scenario without an error."""


@dataclass
class ConnRecord:
    index: int
    raw_in: bytearray = field(default_factory=bytearray)  # exactly what the client sent
    plain_in: bytearray = field(default_factory=bytearray)  # chunking removed, frames decoded
    raw_out: bytearray = field(default_factory=bytearray)  # exactly what the server sent
    packets: list = field(default_factory=list)  # parsed client packets, in order
    status: str = "running"  # "ok", "auth rejected", or "error: ..."
    error: BaseException = None
    traceback: str = ""


def _mode_text(mode):
    if mode is True:
        return "chunked"
    if mode is False:
        return "notchunked"
    return mode


def _is_chunked(mode):
    return mode.startswith("chunked")


def _is_optional(mode):
    return mode.endswith("_optional")


class _RawSource:
    def __init__(self, conn):
        self.conn = conn

    def read_exact(self, n):
        return self.conn._recv_exact(n)


class _Logical:
    """The client's byte stream with chunk framing removed; records into plain_in unless muted."""

    def __init__(self, conn):
        self.conn = conn
        self.muted = False

    def read_exact(self, n):
        c = self.conn
        b = (c._dechunker or c._raw).read_exact(n)
        if not self.muted:
            c.record.plain_in += b
        return b


class _FrameSource:
    """Decoded payloads of consecutive compressed frames, loaded as the parser needs bytes."""

    def __init__(self, conn):
        self.conn = conn
        self.buf = b""
        self.pos = 0
        self.frames = 0

    def read_exact(self, n):
        while len(self.buf) - self.pos < n:
            logical = self.conn._logical
            logical.muted = True
            try:
                payload, _ = read_frame(logical.read_exact)
            finally:
                logical.muted = False
            self.conn.record.plain_in += payload
            self.buf = self.buf[self.pos:] + payload
            self.pos = 0
            self.frames += 1
        out = self.buf[self.pos : self.pos + n]
        self.pos += n
        return out


class Conn:
    """Scenario-facing connection. Attributes after hello(): `revision` (negotiated),
    `client_hello`, `addendum`, `send_chunked` (server packets framed), `recv_chunked`."""

    def __init__(self, sock, record, timeout=10.0, deadline=None):
        self.sock = sock
        self.sock.settimeout(timeout)
        self.timeout = timeout
        self.deadline = deadline if deadline is not None else time.monotonic() + 300
        self.record = record
        self.revision = 54483
        self.client_hello = None
        self.addendum = None
        self.send_chunked = False
        self.recv_chunked = False
        self.compression = False  # the last Query's compression flag
        self.method = METHOD_LZ4  # frame method for compressed server blocks
        self.chunk_splits = None  # default chunk sizes for framed sends
        self.stray_zeros = ()  # default stray zero lengths for framed sends
        self.trickle = None  # seconds between single bytes: sends go out one byte at a time
        self.client_block_flag = True  # client blocks carry the custom-serialization flag
        self._raw = _RawSource(self)
        self._logical = _Logical(self)
        self._dechunker = None
        self._reader = Reader(self._logical)
        self.closed = False

    # ---- raw socket ----------------------------------------------------------------------
    def _recv_exact(self, n):
        out = bytearray()
        while len(out) < n:
            remaining = self.deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("the server's global time-out passed")
            self.sock.settimeout(min(self.timeout, remaining))
            try:
                b = self.sock.recv(min(n - len(out), 65536))
            except ConnectionResetError as e:
                raise ClientClosed("connection reset by the client") from e
            except socket.timeout as e:
                raise TimeoutError(f"client sent nothing for {self.timeout}s "
                                   f"(waiting for {n - len(out)} more bytes)") from e
            if not b:
                raise ClientClosed(f"client closed the connection ({n - len(out)} bytes short)")
            self.record.raw_in += b
            out += b
        return bytes(out)

    def _sendall(self, data, stall_after=None, stall_seconds=0.0):
        data = bytes(data)
        if self.trickle is not None:
            for i in range(len(data)):
                if i:
                    self.stall(self.trickle)
                self.sock.sendall(data[i : i + 1])
                self.record.raw_out += data[i : i + 1]
            return
        if stall_after is not None and 0 <= stall_after < len(data):
            self._sendall(data[:stall_after])
            self.stall(stall_seconds)
            data = data[stall_after:]
        self.sock.sendall(data)
        self.record.raw_out += data

    # ---- sending ----------------------------------------------------------------------------
    def send_packet(self, packet, splits=None, stray_zeros=None, stall_after=None,
                    stall_seconds=0.0):
        """Sends one server packet, chunk-framed when the send direction is chunked. `splits` and
        `stray_zeros` shape the chunks (see chunked.frame_message); `stall_after` pauses for
        `stall_seconds` after that many wire bytes."""
        return self.send_message([packet], splits, stray_zeros, stall_after, stall_seconds)

    def send_message(self, packets, splits=None, stray_zeros=None, stall_after=None,
                     stall_seconds=0.0):
        """Sends several packets as one chunked message (or back to back when not chunked)."""
        payload = b"".join(bytes(p) for p in packets)
        if self.send_chunked:
            wire = frame_message(payload, splits if splits is not None else self.chunk_splits,
                                 stray_zeros if stray_zeros is not None else self.stray_zeros)
        else:
            wire = payload
        self._sendall(wire, stall_after, stall_seconds)
        return wire

    def send_raw(self, data, stall_after=None, stall_seconds=0.0):
        """Sends bytes exactly as given: no chunk framing."""
        self._sendall(data, stall_after, stall_seconds)

    def _method(self, compress):
        if compress is None:
            return self.method if self.compression else None
        if compress is False:
            return None
        if compress is True:
            return self.method
        return {"lz4": METHOD_LZ4, "none": METHOD_NONE}.get(compress, compress)

    def _as_block(self, block):
        if isinstance(block, (Block, bytes, bytearray)):
            return block
        return make_block(*block)

    def send_data(self, block, compress=None, table="", packet_type=sp.DATA, frame_split=None,
                  lz4_matches=True, **send):
        """Data packet. `block`: a Block, raw block bytes, or (name, type, values) tuples.
        compress: None follows the client's Query flag, False plain, True/"lz4" LZ4 frame,
        "none" method-0x02 frame, or a method byte."""
        fn = {sp.DATA: sp.data, sp.TOTALS: sp.totals, sp.EXTREMES: sp.extremes,
              sp.PROFILE_EVENTS: sp.profile_events}[packet_type]
        pkt = fn(self._as_block(block), table, self._method(compress), self.revision,
                 frame_split=frame_split, lz4_matches=lz4_matches)
        return self.send_packet(pkt, **send)

    def send_totals(self, block, **kw):
        return self.send_data(block, packet_type=sp.TOTALS, **kw)

    def send_extremes(self, block, **kw):
        return self.send_data(block, packet_type=sp.EXTREMES, **kw)

    def send_profile_events(self, block, **kw):
        return self.send_data(block, packet_type=sp.PROFILE_EVENTS, **kw)

    def send_log(self, block, table="", **send):
        return self.send_packet(sp.log(self._as_block(block), table, self.revision), **send)

    def send_exception(self, code=60, name="DB::Exception", message="scripted failure", stack="",
                       chain=None, **send):
        """Exception packet; `chain` (list of (code, name, message[, stack])) overrides the single
        level given by the other arguments."""
        return self.send_packet(sp.exception(chain or [(code, name, message, stack)]), **send)

    def send_progress(self, rows=0, bytes_=0, total_rows=0, total_bytes=0, written_rows=0,
                      written_bytes=0, elapsed_ns=0, **send):
        return self.send_packet(sp.progress(self.revision, rows, bytes_, total_rows, total_bytes,
                                            written_rows, written_bytes, elapsed_ns), **send)

    def send_profile_info(self, send=None, **fields):
        return self.send_packet(sp.profile_info(self.revision, **fields), **(send or {}))

    def send_pong(self, **send):
        return self.send_packet(sp.pong(), **send)

    def send_eos(self, **send):
        return self.send_packet(sp.end_of_stream(), **send)

    def send_tables_status(self, entries, **send):
        return self.send_packet(sp.tables_status_response(self.revision, entries), **send)

    def send_table_columns(self, table, description, compress=None, **send):
        return self.send_packet(sp.table_columns(table, description, self._method(compress)),
                                **send)

    def send_part_uuids(self, uuids, **send):
        return self.send_packet(sp.part_uuids(uuids), **send)

    def send_read_task_request(self, **send):
        return self.send_packet(sp.read_task_request(), **send)

    def send_all_ranges_announcement(self, send=None, **fields):
        return self.send_packet(sp.merge_tree_all_ranges_announcement(**fields), **(send or {}))

    def send_merge_tree_read_task_request(self, text="", send=None, **fields):
        return self.send_packet(sp.merge_tree_read_task_request(text, **fields), **(send or {}))

    def send_timezone_update(self, tz, **send):
        return self.send_packet(sp.timezone_update(tz), **send)

    def send_unknown(self, packet_type, body=b"", **send):
        return self.send_packet(sp.unknown(packet_type, body), **send)

    # ---- faults -----------------------------------------------------------------------------
    def stall(self, seconds):
        """Sleeps, never past the server's global deadline."""
        time.sleep(max(0.0, min(seconds, self.deadline - time.monotonic())))

    def half_close(self):
        """Shuts down the sending direction (the client reads end of stream)."""
        self.sock.shutdown(socket.SHUT_WR)

    def close(self, abrupt=False):
        """Closes the connection; abrupt=True resets it (RST, via SO_LINGER 0)."""
        if self.closed:
            return
        self.closed = True
        if abrupt:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def drain_pending(self):
        """Records bytes the client already sent that the scenario left unread (no waiting)."""
        if self.closed:
            return
        self.sock.setblocking(False)
        try:
            while True:
                b = self.sock.recv(65536)
                if not b:
                    return
                self.record.raw_in += b
        except OSError:
            return
        finally:
            self.sock.settimeout(self.timeout)

    def wait_closed(self, timeout=None):
        """Reads (and records) until the client closes; True on end of stream, False on timeout."""
        end = time.monotonic() + (self.timeout if timeout is None else timeout)
        while time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                b = self.sock.recv(65536)
            except socket.timeout:
                break
            except ConnectionResetError:
                return True
            finally:
                self.sock.settimeout(self.timeout)
            if not b:
                return True
            self.record.raw_in += b
        return False

    # ---- handshake --------------------------------------------------------------------------
    def read_client_hello(self):
        start = len(self.record.plain_in)
        ptype = self._reader.varint()
        if ptype != cp.HELLO:
            raise ProtocolViolation(f"expected client Hello (0), got packet type {ptype}")
        f = cp.read_hello_body(self._reader)
        self.client_hello = self._note(cp.Packet(ptype, "Hello", f), start)
        return self.client_hello

    def hello(self, revision=54483, send_chunked="chunked_optional",
              recv_chunked="chunked_optional", password=None, user=None, ssh=False,
              ssh_challenge=b"scripted-challenge", ssh_signature=None, strict_modes=True,
              **hello_fields):
        """Runs the server side of the handshake and returns the client Hello packet.

        revision: the server's revision (54412..54483); the negotiated one is the smaller of it and
        the client's. send_chunked/recv_chunked: the server's modes (bool or mode text).
        password/user: when given, the client's must match, else an Exception (code 516) is sent
        and AuthRejected ends the scenario. ssh: expect SSH-key authentication; the signature must
        equal `ssh_signature` (text) or satisfy it (callable(message, signature) -> bool).
        Further keyword arguments go to packets.hello (name, version, timezone, settings, ...)."""
        if self.client_hello is None:
            self.read_client_hello()
        ch = self.client_hello
        n = min(revision, ch.revision)
        if ssh:
            if not ch.ssh:
                raise ProtocolViolation("client did not ask for SSH-key authentication")
            self.expect_packet(cp.SSH_CHALLENGE_REQUEST)
            self.send_raw(sp.ssh_challenge(ssh_challenge))
            resp = self.expect_packet(cp.SSH_CHALLENGE_RESPONSE)
            message = (str(ch.revision) + ch.database + ch.user).encode() + bytes(ssh_challenge)
            ok = (ssh_signature(message, resp.signature) if callable(ssh_signature)
                  else ssh_signature is None or resp.signature == ssh_signature)
            if not ok:
                self._reject()
        elif ch.ssh:
            raise ProtocolViolation("client asked for SSH-key authentication")
        if (password is not None and ch.password != password) or (
                user is not None and ch.user != user):
            self._reject()
        send_mode, recv_mode = _mode_text(send_chunked), _mode_text(recv_chunked)
        self.send_raw(sp.hello(n, server_revision=revision, send_mode=send_mode,
                               recv_mode=recv_mode, **hello_fields))
        self.revision = n
        start = len(self.record.plain_in)
        add = cp.read_addendum(self._reader, n)
        if add is not None:
            self.addendum = self._note(cp.Packet(-1, "Addendum", add), start)
        if n >= 54470:
            client_send, client_recv = add["send_mode"], add["recv_mode"]
            if strict_modes:
                for direction, server_mode, client in (("send", recv_mode, client_send),
                                                       ("recv", send_mode, client_recv)):
                    if client not in ("chunked", "notchunked"):
                        raise ProtocolViolation(f"addendum {direction} mode {client!r}")
                    if not _is_optional(server_mode) and _is_chunked(server_mode) != (
                            client == "chunked"):
                        raise ProtocolViolation(
                            f"client chose {client} for {direction}, server requires {server_mode}")
            self.recv_chunked = client_send == "chunked"
            self.send_chunked = client_recv == "chunked"
            if self.recv_chunked:
                self._dechunker = Dechunker(self._raw.read_exact)
        return ch

    def _reject(self):
        self.send_raw(sp.exception([AUTH_FAILED]))
        raise AuthRejected("credentials refused")

    def hello_exception(self, code=516, name="DB::Exception", message=AUTH_FAILED[2], chain=None):
        """Reads the client Hello and answers it with an Exception instead of a Hello."""
        if self.client_hello is None:
            self.read_client_hello()
        self.send_raw(sp.exception(chain or [(code, name, message, "")]))
        return self.client_hello

    # ---- client packets ---------------------------------------------------------------------
    def _note(self, packet, start):
        packet.raw = bytes(self.record.plain_in[start:])
        self.record.packets.append(packet)
        return packet

    def read_client_packet(self):
        """Reads and parses the next client packet (recorded in record.packets)."""
        start = len(self.record.plain_in)
        r = self._reader
        ptype = r.varint()
        kind = cp.NAMES.get(ptype)
        f = {}
        if ptype == cp.QUERY:
            f = cp.read_query_body(r, self.revision)
            self.compression = bool(f["compression"])
        elif ptype == cp.DATA:
            f["table"] = r.text()
            f["compressed"] = self.compression
            if self.compression:
                src = _FrameSource(self)
                f["block"] = read_block(Reader(src), self.client_block_flag)
                f["frames"] = src.frames
                if src.pos != len(src.buf):
                    raise ProtocolViolation("compressed frame holds bytes beyond its block")
            else:
                f["block"] = read_block(r, self.client_block_flag)
        elif ptype == cp.TABLES_STATUS_REQUEST:
            f = cp.read_tables_status_request(r)
        elif ptype == cp.IGNORED_PART_UUIDS:
            f = cp.read_ignored_part_uuids(r)
        elif ptype == cp.READ_TASK_RESPONSE:
            f = {"version": r.varint(), "text": r.text()}
        elif ptype == cp.MERGE_TREE_READ_TASK_RESPONSE:
            f = cp.read_merge_tree_read_task_response(r)
        elif ptype == cp.SSH_CHALLENGE_RESPONSE:
            f = {"signature": r.text()}
        elif ptype in (cp.CANCEL, cp.PING, cp.SSH_CHALLENGE_REQUEST):
            pass
        else:
            raise ProtocolViolation(f"unknown client packet type {ptype}")
        return self._note(cp.Packet(ptype, kind, f), start)

    def expect_packet(self, ptype):
        p = self.read_client_packet()
        if p.type != ptype:
            raise ProtocolViolation(f"expected client {cp.NAMES.get(ptype, ptype)}, got {p.kind}")
        return p

    def expect_query(self, text=None):
        """Reads a Query packet (after any IgnoredPartUUIDs) and the Data packet that follows it.
        Returns the Query packet; `.data` is that Data packet's block, `.ignored_part_uuids` the
        UUIDs sent before it (empty when none). With `text`, the query text must equal it."""
        uuids = []
        p = self.read_client_packet()
        if p.type == cp.IGNORED_PART_UUIDS:
            uuids = p.uuids
            p = self.read_client_packet()
        if p.type != cp.QUERY:
            raise ProtocolViolation(f"expected client Query, got {p.kind}")
        p.fields["ignored_part_uuids"] = uuids
        p.fields["data"] = self.read_data_block()
        if text is not None and p.text != text:
            raise ProtocolViolation(f"query text {p.text!r}, expected {text!r}")
        return p

    def read_data_block(self):
        """Reads a client Data packet (decompressing if the query asked for compression) and
        returns its Block."""
        return self.expect_packet(cp.DATA).block

    def receive_insert(self, limit=10000):
        """Reads Data blocks until the empty one; returns the non-empty blocks."""
        blocks = []
        for _ in range(limit):
            b = self.read_data_block()
            if not b.columns and b.row_count() == 0:
                return blocks
            blocks.append(b)
        raise ProtocolViolation("too many insert blocks")

    def expect_ping(self):
        return self.expect_packet(cp.PING)

    def expect_cancel(self):
        return self.expect_packet(cp.CANCEL)

    def expect_tables_status(self):
        return self.expect_packet(cp.TABLES_STATUS_REQUEST).tables
