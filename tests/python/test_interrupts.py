"""Deadlines and signals against a scripted server that stalls: query_timeout bounds a whole
exchange however the server cuts it up, signals neither restart nor stretch it, and a signal handler
that raises ends a blocking call at once, leaving the connection broken rather than half-read; one
that raises while a large answer is turned into Python values ends that conversion at once, leaving
the connection usable. Every test runs in the main thread, where Python runs its signal handlers."""

import array
import contextlib
import gc
import itertools
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from test_client import HEADER, ROWS_A, ScriptedServer, serving
from wire import hooks
from chserver import Block, ClientClosed, Column
from chserver import client_packets as cp
from chserver import packets as sp
from tarnwick._native import _Client, blocks_to_dicts, dicts_to_block

BROKEN = "connection is broken by an earlier failed exchange"
TIMED_OUT = "timed out"


@contextlib.contextmanager
def sigalrm(handler, first, interval=0.0):
    """Runs `handler` on SIGALRM after `first` seconds (then every `interval` seconds)."""
    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, first, interval)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def raise_interrupt(signum, frame):
    raise KeyboardInterrupt


def timed(fn, *args):
    """(the exception fn raised, the seconds it took)."""
    began = time.monotonic()
    try:
        fn(*args)
    except BaseException as e:  # the test inspects it
        return e, time.monotonic() - began
    return None, time.monotonic() - began


def stalls(conn):
    """A scenario step: reads one query and sends nothing until the client closes."""
    conn.expect_query()
    conn.wait_closed(20)


def trickles(conn):
    """A scenario step: answers one query a byte every half second."""
    conn.expect_query()
    conn.trickle = 0.5
    with contextlib.suppress(OSError):
        conn.send_data(ROWS_A)
        conn.send_eos()


class StopsReading:
    """A scenario step: starts an insert of one String column, then reads nothing until
    release()."""

    def __init__(self):
        self.released = threading.Event()

    def __call__(self, conn):
        conn.expect_query()
        conn.send_data([("s", "String", [])])
        self.released.wait(20)

    def release(self):
        self.released.set()


def big_block():
    """48 MiB of String values: more than the socket buffers hold, so the write blocks. Tests build
    it before their clock or alarm starts."""
    return dicts_to_block([{"s": "x" * (1 << 20)}] * 48, [("s", "String")])


class DeadlineTest(unittest.TestCase):
    def test_query_timeout_bounds_trickles_stalled_inserts_and_signal_storms(self):
        stopped = StopsReading()
        self.addCleanup(stopped.release)
        blocks = [big_block()]  # built before the clock starts
        cases = [
            ("a byte every 0.5 s", trickles, 2.0, lambda c: c.query("q"), None, TIMED_OUT),
            # The block's bytes stop moving inside the write.
            ("an insert the server stops reading", stopped, 3.0,
             lambda c: c.insert("INSERT INTO t VALUES", "", blocks), None,
             "I/O error: timed out: the exchange took longer than query_timeout (3s)"),
            ("a stall under a signal every 0.2 s", stalls, 2.0, lambda c: c.query("q"),
             lambda: sigalrm(lambda *_: None, 0.2, 0.2), TIMED_OUT),
        ]
        for name, step, timeout, call, signals, text in cases:
            with self.subTest(name), serving(step, query_timeout=timeout) as (c, _):
                with signals() if signals else contextlib.nullcontext():
                    error, took = timed(call, c)
                if step is stopped:
                    stopped.release()
                self.assertIsInstance(error, (ConnectionError, ValueError), repr(error))
                self.assertIn(text, str(error))
                self.assertLess(took, timeout + 3)
                self.assertGreater(took, timeout - 0.5)
                self.assertIn(BROKEN, str(timed(c.ping)[0]))


# A getaddrinfo that sleeps 10 s (tests/binding/slow_resolver.c), built beside the test extension.
SLOW_RESOLVER = os.path.join(os.path.dirname(hooks.__file__), "libtarnwick_slow_resolver.so")
SLOW_LOOKUP = """
import signal, time
from tarnwick._native import _Client
signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
print("looking up", flush=True)
began = time.monotonic()
try:
    _Client("localhost:9", connect_timeout=30)
except BaseException as e:
    print(type(e).__name__, time.monotonic() - began)
"""

# The child of FORK_IN_LOOKUP prints its outcome; so does the parent, unless told to exit at the
# fork.
FORK_IN_LOOKUP = """
import os, signal, sys, time
from tarnwick._native import _Client
parent_exits = sys.argv[1] == "True"
forked = []
def fork(*_):
    forked.append(os.fork())
    if forked[0] != 0 and parent_exits:
        os._exit(0)
signal.signal(signal.SIGALRM, fork)
signal.setitimer(signal.ITIMER_REAL, 0.3)
began = time.monotonic()
try:
    _Client("localhost:9", connect_timeout=30)
    outcome = "connected"
except Exception as e:
    outcome = f"{type(e).__name__}: {e}"
role = "child" if forked == [0] else "parent"
print(role, time.monotonic() - began, outcome, flush=True)
if role == "child":
    os._exit(0)
os.waitpid(forked[0], 0)
"""


class InterruptTest(unittest.TestCase):
    def test_a_raising_signal_handler_ends_each_blocking_call_at_once(self):
        stopped = StopsReading()
        self.addCleanup(stopped.release)
        # Built before the alarm is armed: an alarm that lands before insert() has sent anything
        # leaves nothing to break.
        blocks = [big_block()]
        cases = [
            ("query", stalls, lambda c: c.query("q")),
            ("execute", stalls, lambda c: c.execute("q")),
            ("insert", stopped, lambda c: c.insert("INSERT INTO t VALUES", "", blocks)),
            ("ping", lambda conn: conn.wait_closed(20), lambda c: c.ping()),
            ("stream", stalls, lambda c: next(c.query_stream("q"))),
        ]
        for name, step, call in cases:
            with self.subTest(name), serving(step, query_timeout=30) as (c, _):
                with sigalrm(raise_interrupt, 0.3):
                    error, took = timed(call, c)
                if step is stopped:
                    stopped.release()
                self.assertIsInstance(error, KeyboardInterrupt)
                self.assertLess(took, 2.0)
                # The interrupted exchange is never read as the answer to the next call.
                self.assertIn(BROKEN, str(timed(c.ping)[0]))

    def test_a_handler_may_discard_the_interrupted_client_but_not_call_it(self):
        seen = []

        def handler(signum, frame):
            seen.append(timed(c.ping)[0])
            c.discard()  # allowed: it never waits for the lock
            raise KeyboardInterrupt

        with serving(stalls, query_timeout=30) as (c, _):
            with sigalrm(handler, 0.3):
                error, took = timed(c.query, "q")
        self.assertIsInstance(error, KeyboardInterrupt)
        self.assertLess(took, 2.0)
        self.assertIsInstance(seen[0], RuntimeError)
        self.assertIn("cannot be used from inside that handler", str(seen[0]))

    def test_waiting_for_another_threads_call_is_interrupted(self):
        with serving(stalls, query_timeout=30) as (c, _):
            other = threading.Thread(target=timed, args=(c.query, "slow"))
            other.start()
            time.sleep(0.2)  # the other thread's call holds the client
            with sigalrm(raise_interrupt, 0.3):
                error, took = timed(c.ping)
            c.discard()
            other.join(10)
        self.assertIsInstance(error, KeyboardInterrupt)
        self.assertLess(took, 2.0)

    def test_connect_is_interrupted_while_the_server_does_not_answer(self):
        def silent(conn):
            conn.read_client_hello()
            conn.wait_closed(20)

        with ScriptedServer(silent, timeout=30) as srv:
            with sigalrm(raise_interrupt, 0.3):
                error, took = timed(lambda: _Client(f"127.0.0.1:{srv.port}", connect_timeout=30))
        self.assertIsInstance(error, KeyboardInterrupt)
        self.assertLess(took, 2.0)

    @unittest.skipUnless(os.path.exists(SLOW_RESOLVER), "the slow resolver shim is not built")
    def test_connect_is_interrupted_while_the_name_is_looked_up(self):
        # A child interpreter whose lookups take 10 s gets Ctrl-C 0.5 s into the constructor.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), LD_PRELOAD=SLOW_RESOLVER)
        with subprocess.Popen([sys.executable, "-c", SLOW_LOOKUP], env=env, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as child:
            self.addCleanup(child.kill)
            self.assertEqual(child.stdout.readline(), "looking up\n")
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            output = child.communicate(timeout=30)[0]
        name, _, took = output.partition(" ")
        self.assertEqual(name, "KeyboardInterrupt", output)
        self.assertLess(float(took), 1.5)  # the signal came at 0.5 s

    @unittest.skipUnless(os.path.exists(SLOW_RESOLVER), "the slow resolver shim is not built")
    def test_a_fork_while_the_name_is_looked_up_ends_the_childs_wait(self):
        # A signal handler forks 0.3 s into a 3 s lookup. The child has no lookup thread: its
        # constructor fails at once, whether the parent waits on or exits right after the fork.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), LD_PRELOAD=SLOW_RESOLVER,
                   TARNWICK_SLOW_RESOLVER_SECONDS="3")
        for parent_exits in (False, True):
            with self.subTest(parent_exits=parent_exits), subprocess.Popen(
                    [sys.executable, "-W", "ignore::DeprecationWarning", "-c", FORK_IN_LOOKUP,
                     str(parent_exits)], env=env,
                    text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as child:
                self.addCleanup(child.kill)
                lines = sorted(child.communicate(timeout=30)[0].splitlines())
                self.assertEqual(len(lines), 1 if parent_exits else 2, lines)
                role, took, error = lines[0].split(" ", 2)
                self.assertEqual(role, "child")
                self.assertLess(float(took), 1.5)
                self.assertEqual(error, "ConnectionError: I/O error: the process forked while "
                                 "this call waited for the host name lookup, which stays with "
                                 "the parent process")
                if not parent_exits:
                    role, took, error = lines[1].split(" ", 2)
                    self.assertEqual(role, "parent")
                    self.assertGreater(float(took), 2.5)
                    self.assertNotIn("forked", error)


class Stop(Exception):
    """What the conversion tests' signal handlers raise."""


# DateTime values are cheap on the wire (4 bytes) and dear to convert (a datetime each), so the
# conversion dwarfs the transfer. No two neighbouring values are equal, so none is shared.
CONVERT_ROWS = 3_000_000
# Rows per block of the split answer: fewer than the values between two checks, so a count that
# started afresh with each block would never come to one.
SPLIT_ROWS = 60_000
# Rows of one-element Array(UInt8) values, one list each: enough to pass several checks, and for
# the collector to trace every list made so far at each of them if it ran there.
LIST_ROWS = 300_000


def answers(revision):
    """The server's answers by query text, as unframed packet bytes."""
    body = array.array("I", range(CONVERT_ROWS)).tobytes()

    def blocks(rows_per_block):
        out = bytearray()
        for start in range(0, CONVERT_ROWS, rows_per_block):
            end = min(CONVERT_ROWS, start + rows_per_block)
            block = Block([Column("t", "DateTime", raw=body[4 * start:4 * end])], end - start)
            out += sp.data(block, "", None, revision)
        return bytes(out + sp.end_of_stream())

    small = Block([Column("n", "UInt8", [7])])
    lists = array.array("Q", range(1, LIST_ROWS + 1)).tobytes() + bytes(range(256)) * (
        LIST_ROWS // 256) + bytes(LIST_ROWS % 256)
    return {"split": blocks(SPLIT_ROWS), "whole": blocks(CONVERT_ROWS),
            "small": sp.data(small, "", None, revision) + sp.end_of_stream(),
            "lists": sp.data(Block([Column("a", "Array(UInt8)", raw=lists)], LIST_ROWS), "", None,
                             revision) + sp.end_of_stream()}


def answers_queries_and_pings(conn):
    """The whole scenario: answers every query from answers() and every ping, until the client
    closes."""
    conn.hello(send_chunked="notchunked", recv_chunked="notchunked")
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 22)
    replies = answers(conn.revision)
    while True:
        try:
            packet = conn.read_client_packet()
        except ClientClosed:
            return
        if packet.type == cp.PING:
            conn.sock.sendall(sp.pong())
        else:
            conn.read_data_block()
            conn.sock.sendall(replies[packet.text])


class ConversionInterruptTest(unittest.TestCase):
    def test_a_raising_handler_ends_each_conversion_at_once_and_the_client_stays_usable(self):
        with ScriptedServer(answers_queries_and_pings, timeout=60, conn_timeout=60) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", query_timeout=60)
            try:
                self.check_conversions(c)
            finally:
                c.discard()

    def check_conversions(self, c):
        # The cheapest shape, uninterrupted: every other shape converts each value at least as
        # dearly. Timed on its second run: the server builds its answers during the first.
        c.query_columns("split")
        began = time.monotonic()
        self.assertEqual(len(c.query_columns("split")["t"]), CONVERT_ROWS)
        full = time.monotonic() - began

        raised = []  # the handlers raise once; the timer may fire again before it is stopped

        def after_the_exchange(signum, frame):
            # The client refuses a call from a handler while its exchange holds it: the answer is
            # still being read, and a raise now would break the connection, not the conversion.
            try:
                c.ping()
            except RuntimeError:
                return
            at_once(signum, frame)

        def at_once(signum, frame):
            if not raised:
                raised.append(gc.isenabled())  # the handler sees the collector as it was left
                raise Stop("handler")

        stream = c.query_stream("whole")
        (whole,) = list(stream)
        column = whole["t"]
        split = list(c.query_stream("split"))
        cases = [
            ("query", after_the_exchange, lambda: c.query("split")),
            ("query_tuples", after_the_exchange, lambda: c.query_tuples("split")),
            ("query_columns", after_the_exchange, lambda: c.query_columns("split")),
            ("blocks_to_dicts", at_once, lambda: blocks_to_dicts(split)),
            ("to_dicts", at_once, whole.to_dicts),
            ("to_columns", at_once, whole.to_columns),
            ("rows", at_once, whole.rows),
            ("to_list", at_once, column.to_list),
        ]
        for name, handler, call in cases:
            with self.subTest(name):
                raised.clear()
                gc.collect()
                allocated = sys.getallocatedblocks()
                with sigalrm(handler, 0.05, 0.02):
                    error, took = timed(call)
                self.assertIsInstance(error, Stop, repr(error))
                self.assertEqual(raised, [True])
                self.assertTrue(gc.isenabled())
                self.assertLess(took, full / 3, f"the whole conversion took {full:.2f}s")
                del error  # its traceback holds the frames of the call
                gc.collect()
                # Nothing made before the handler raised is kept.
                self.assertLess(sys.getallocatedblocks() - allocated, 20_000)
                self.assertEqual(c.query("small"), [{"n": 7}])

    def test_no_collection_runs_inside_a_conversion_and_the_collector_is_left_as_it_was(self):
        collections = []

        def count(phase, info):
            if phase == "start":
                collections.append(info["generation"])

        gc.callbacks.append(count)
        self.addCleanup(gc.callbacks.remove, count)
        with ScriptedServer(answers_queries_and_pings, timeout=60, conn_timeout=60) as srv:
            c = _Client(f"127.0.0.1:{srv.port}", query_timeout=60)
            self.addCleanup(c.discard)
            blocks = list(c.query_stream("lists"))
            calls = [("query", lambda: c.query("lists")),
                     ("query_tuples", lambda: c.query_tuples("lists")),
                     ("query_columns", lambda: c.query_columns("lists")),
                     ("blocks_to_dicts", lambda: blocks_to_dicts(blocks)),
                     ("to_dicts", blocks[0].to_dicts), ("to_columns", blocks[0].to_columns),
                     ("rows", blocks[0].rows), ("to_list", blocks[0]["a"].to_list)]
            for (name, call), enabled in itertools.product(calls, (True, False)):
                with self.subTest(name, enabled=enabled):
                    gc.collect()
                    collections.clear()
                    (gc.enable if enabled else gc.disable)()
                    try:
                        call()
                        # At most the one the interpreter runs once the call has returned.
                        self.assertLessEqual(len(collections), 1, collections)
                        self.assertEqual(gc.isenabled(), enabled)
                    finally:
                        gc.enable()


if __name__ == "__main__":
    unittest.main()
