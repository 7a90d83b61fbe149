"""The listening server: accepts loopback connections and runs a scenario on each."""

import datetime
import decimal
import ipaddress
import json
import os
import socket
import threading
import time
import traceback
import uuid

from .block import Block
from .conn import AuthRejected, Conn, ConnRecord


def run_steps(steps):
    """A scenario from a list of steps: each a callable(conn), a method name, or a pair
    (method name, kwargs dict)."""

    def scenario(conn):
        for step in steps:
            if callable(step):
                step(conn)
            elif isinstance(step, str):
                getattr(conn, step)()
            else:
                name, kwargs = step
                getattr(conn, name)(**kwargs)

    return scenario


class ScriptedServer:
    """Runs `scenario(conn)` for each accepted connection on 127.0.0.1.

    connections: how many connections to accept (None: until stopped or timed out).
    timeout: global limit in seconds; afterwards nothing more is accepted and sockets time out.
    conn_timeout: socket time-out of each connection. record_dir: where to write the records.
    """

    def __init__(self, scenario, connections=1, timeout=60.0, conn_timeout=10.0, record_dir=None,
                 host="127.0.0.1", port=0):
        self.scenario = run_steps(scenario) if isinstance(scenario, (list, tuple)) else scenario
        self.max_connections = connections
        self.timeout = timeout
        self.conn_timeout = conn_timeout
        self.record_dir = record_dir
        self.records = []
        self._threads = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((host, port))
        self._listener.listen(16)
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self.deadline = None
        self._accept_thread = None

    def start(self):
        self.deadline = time.monotonic() + self.timeout
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()
        return self.port

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb):
        self.stop()
        if exc_type is None:
            self.check()

    def _accept_loop(self):
        count = 0
        try:
            while not self._stop.is_set() and time.monotonic() < self.deadline:
                if self.max_connections is not None and count >= self.max_connections:
                    break
                try:
                    sock, _ = self._listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    break
                record = ConnRecord(count)
                with self._lock:
                    self.records.append(record)
                t = threading.Thread(target=self._serve, args=(sock, record), daemon=True)
                with self._lock:
                    self._threads.append(t)
                t.start()
                count += 1
        finally:
            self._listener.close()

    def _serve(self, sock, record):
        conn = Conn(sock, record, self.conn_timeout, self.deadline)
        try:
            self.scenario(conn)
            record.status = "ok"
        except AuthRejected:
            record.status = "auth rejected"
        except BaseException as e:  # recorded for the test to see
            record.error = e
            record.traceback = traceback.format_exc()
            record.status = f"error: {type(e).__name__}: {e}"
        finally:
            conn.drain_pending()
            conn.close()
            if self.record_dir:
                write_record(self.record_dir, record)

    def wait(self, timeout=None):
        """Waits until the accept loop and every connection have ended; True when they have."""
        end = time.monotonic() + (self.timeout if timeout is None else timeout)
        if self._accept_thread:
            self._accept_thread.join(max(0.0, end - time.monotonic()))
            if self._accept_thread.is_alive():
                return False
        with self._lock:
            threads = list(self._threads)
        for t in threads:
            t.join(max(0.0, end - time.monotonic()))
            if t.is_alive():
                return False
        return True

    def stop(self, timeout=5.0):
        """Stops accepting and waits (bounded) for running connections."""
        self._stop.set()
        return self.wait(timeout)

    def errors(self):
        return [r for r in self.records if r.error is not None]

    def check(self):
        """Raises AssertionError with the first scenario failure, if any."""
        bad = self.errors()
        if bad:
            raise AssertionError(f"scenario failed on connection {bad[0].index}: "
                                 f"{bad[0].status}\n{bad[0].traceback}")

    def record(self, index=0):
        with self._lock:
            return self.records[index]


def to_json(value):
    """A JSON-friendly view of parsed packets, blocks and values (bytes become hex text)."""
    if isinstance(value, (bytes, bytearray)):
        return {"hex": bytes(value).hex()}
    if isinstance(value, Block):
        return {"info": value.info.hex(), "rows": value.row_count(),
                "columns": [{"name": c.name, "type": c.type, "flag": c.flag,
                             "values": to_json(c.values), "body": bytes(c.raw or b"").hex()}
                            for c in value.columns]}
    if isinstance(value, dict):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, (uuid.UUID, datetime.date, decimal.Decimal, ipaddress.IPv4Address,
                          ipaddress.IPv6Address)):
        return str(value)
    return value


def write_record(directory, record):
    """Writes conn-N.raw_in, .plain_in, .raw_out, .packets.json, then conn-N.status last."""
    os.makedirs(directory, exist_ok=True)
    base = os.path.join(directory, f"conn-{record.index}")
    for suffix, data in (("raw_in", record.raw_in), ("plain_in", record.plain_in),
                         ("raw_out", record.raw_out)):
        with open(f"{base}.{suffix}", "wb") as f:
            f.write(bytes(data))
    packets = [{"type": p.type, "kind": p.kind, "fields": to_json(p.fields), "raw": p.raw.hex()}
               for p in record.packets]
    with open(f"{base}.packets.json", "w") as f:
        json.dump(packets, f, indent=1)
    tmp = f"{base}.status.tmp"
    with open(tmp, "w") as f:
        f.write(record.status + "\n" + record.traceback)
    os.replace(tmp, f"{base}.status")
