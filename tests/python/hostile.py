"""What the hostile-server tests share: a measure of peak memory growth and scripted servers that
answer each query with given steps."""

import os
import sys
import unittest

from wire import TESTS_DIR

sys.path.insert(0, os.path.join(TESTS_DIR, "server", "scripted"))
from chserver import ScriptedServer  # noqa: E402
from chserver import packets as sp  # noqa: E402

MIB = 1 << 20


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class PeakRss:
    """Growth of this process's peak resident set while the block runs, in bytes: the peak is
    reset first (clear_refs 5), so earlier tests do not count."""

    def __enter__(self):
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError as e:
            raise unittest.SkipTest(f"peak RSS cannot be reset here: {e}")
        self.start = _status_kib("VmRSS") * 1024
        return self

    def __exit__(self, *exc):
        self.growth = _status_kib("VmHWM") * 1024 - self.start
        return False


def serve(steps, hello=None):
    def scenario(conn):
        conn.hello(**(hello or {}))
        try:
            for step in steps:
                step(conn)
            conn.wait_closed(10)
        except (OSError, ConnectionError):
            pass  # the client gave up on the response, as it should

    return ScriptedServer(scenario, timeout=30)


PLAIN = {"send_chunked": False, "recv_chunked": False}



def send_all(*packets, repeat=1, eos=True):
    """A step that answers the query with `packets` (each sent as it is, not recorded) `repeat`
    times over."""
    def step(conn):
        conn.expect_query()
        for _ in range(repeat):
            for packet in packets:
                conn.sock.sendall(packet)
        if eos:
            conn.sock.sendall(sp.end_of_stream())

    return step
