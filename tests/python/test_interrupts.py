"""Deadlines and signals against a scripted server that stalls: query_timeout bounds a whole
exchange however the server cuts it up, signals neither restart nor stretch it, and a signal handler
that raises ends a blocking call at once, leaving the connection broken rather than half-read; one
that raises while a large answer is turned into Python values ends that conversion at once, leaving
the connection usable. Every test runs in the main thread, where Python runs its signal handlers;
the exit tests run their cases in child interpreters."""

import array
import concurrent.futures
import contextlib
import gc
import itertools
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from test_client import HEADER, ROWS_A, ScriptedServer, serving
from wire import TESTS_DIR, hooks
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
    return dicts_to_block([{"s": "x" * (1 << 20)}] * 48, [("s", "String")])


class DeadlineTest(unittest.TestCase):
    def test_query_timeout_bounds_trickles_stalled_inserts_and_signal_storms(self):
        stopped = StopsReading()
        self.addCleanup(stopped.release)
        cases = [
            ("a byte every 0.5 s", trickles, 2.0, lambda c: c.query("q"), None, TIMED_OUT),
            # The block's bytes stop moving inside the write.
            ("an insert the server stops reading", stopped, 3.0,
             lambda c: c.insert("INSERT INTO t VALUES", "", [big_block()]), None,
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
import time
from tarnwick._native import _Client
print("looking up", flush=True)
began = time.monotonic()
try:
    _Client("localhost:9", connect_timeout=30)
except BaseException as e:
    print(type(e).__name__, time.monotonic() - began)
"""


class InterruptTest(unittest.TestCase):
    def test_a_raising_signal_handler_ends_each_blocking_call_at_once(self):
        stopped = StopsReading()
        self.addCleanup(stopped.release)
        cases = [
            ("query", stalls, lambda c: c.query("q")),
            ("execute", stalls, lambda c: c.execute("q")),
            ("insert", stopped,
             lambda c: c.insert("INSERT INTO t VALUES", "", [big_block()])),
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


# Four daemon threads, each with its own client, call it in a loop while the main thread returns.
# With the exit hooks cleared the interpreter ends the threads where they ask for the GIL, inside
# calls or between them; forked, a child without the threads exits, then the parent.
EXITING = """
import atexit, contextlib, os, sys, threading, time, warnings
addr, kind, hooks = sys.argv[1:]
guard = threading.Lock() if hooks == "locked" else contextlib.nullcontext()
if hooks == "locked":  # a hook that runs after the module's own, and waits for a call to end
    atexit.register(guard.acquire)
from tarnwick._native import _Client
query = "SELECT number, toString(number) AS s FROM system.numbers LIMIT 300000"
calls = {
    "query_stream": lambda c: [b for b in c.query_stream(query)],
    "query_tuples": lambda c: c.query_tuples(query),
    "ping": lambda c: c.ping(),
}
def loop(c):
    while True:
        with guard:
            calls[kind](c)
        if hooks == "locked":
            time.sleep(0.001)  # a lock is not fair: let the hook have it between calls
clients = [_Client(addr, connect_timeout=10, query_timeout=30) for _ in range(4)]
for c in clients:
    threading.Thread(target=loop, args=(c,), daemon=True).start()
time.sleep(0.5)
if hooks == "cleared":
    atexit._clear()
elif hooks == "forked":
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    pid = os.fork()
    if pid:
        sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


# One daemon thread is inside a call when the main thread returns: a query or a stream's next block
# that waits on a silent server, or Python code of the caller's that the call runs and that sleeps:
# an SSH signer, the iterator of tables_status() or ignored_part_uuids, a value's __index__,
# __float__ or __str__ in dicts_to_block (plain, Enum8 and JSON columns), a params or settings
# value's __str__, the __del__ of an exception the signer raised or of a str that a conversion
# drops. The watcher, which only the module table holds, goes while the interpreter finalizes: it
# lets the waiting call return, gives the thread time to be ended, then reports whether the thread
# is still there (an ended thread parks inside the call; one that the interpreter unwound is gone)
# and whether anything let go of the watched object, which the binding holds through a reference of
# its own (the signer's message, the iterator, the rows' dict, the params or settings value) that no
# destructor of a parked thread may release.
ENDED = """
import os, sys, threading, time
addr, kind = sys.argv[1:]
from tarnwick._native import _Client, dicts_to_block

class Watcher:
    def __del__(self, sleep=time.sleep, write=os.write, exists=os.path.exists,
                refcount=sys.getrefcount):
        if self.cut is not None:
            self.cut()
        sleep(0.3)  # with the GIL free, the thread comes back and is ended
        parked = exists(f"/proc/self/task/{self.thread}")
        kept = None if self.message is None else refcount(self.message) == self.refs
        write(1, f"parked={parked} kept={kept}\\n".encode())

watch = sys.modules["_exit_watch"] = Watcher()
watch.cut = watch.message = None
inside = threading.Event()

def hold(obj=None):  # its frame, which never ends, holds `obj` while it is counted
    if obj is not None:
        watch.message = obj
        watch.refs = sys.getrefcount(obj)
    inside.set()
    while True:
        time.sleep(0.01)

class Dropped(str):
    def __del__(self):
        hold()

class Value:
    def __index__(self):
        hold(row)
    def __float__(self):
        hold(row)
    def __str__(self):
        if kind == "dropped":
            watch.message = row
            watch.refs = sys.getrefcount(row)
            return Dropped("x")
        hold(self if kind in ("params", "settings") else row)

class Raised(Exception):
    def __del__(self):
        hold()

def signer(message):
    if kind == "raised":  # the traceback keeps this frame, and `message` with it
        watch.message = message
        watch.refs = sys.getrefcount(message)
        raise Raised("no key")
    hold(message)

def waits():
    hold(iterator)
    yield

iterator = waits()

row = {"x": Value()}
types = {"index": "UInt8", "enum": "Enum8('a' = 1)", "float": "Float64", "str": "JSON",
         "dropped": "JSON"}

def call():
    watch.thread = threading.get_native_id()
    if kind in ("signer", "raised"):
        return _Client(addr, ssh_signer=signer, connect_timeout=30)
    if kind in types:
        return dicts_to_block([row], [("x", types[kind])])
    c = _Client(addr, connect_timeout=30, query_timeout=30)
    if kind == "iterator":  # Python code that a call runs with the GIL held
        return c.tables_status(iterator)
    if kind == "uuids":
        return c.query("q", ignored_part_uuids=iterator)
    if kind == "params":
        return c.query("q", params={"x": Value()})
    if kind == "settings":
        return c.query("q", settings={"max_threads": Value()})
    if kind == "next":
        c = c.query_stream("q")
    watch.cut = c.discard
    inside.set()
    return next(c) if kind == "next" else c.query("q")

threading.Thread(target=call, daemon=True).start()
inside.wait(10)
time.sleep(0.1)  # well inside
del watch
"""


def silent_after_hello(ssh):
    """A scenario: the handshake (asking for an SSH signature), then one query read and nothing
    sent, until the client goes."""

    def scenario(conn):
        with contextlib.suppress(EOFError, OSError):
            conn.hello(ssh=ssh)
            conn.expect_query()
            conn.wait_closed(30)

    return scenario


def run_child(script, *args):
    """(args, exit status or "hung", output) of `script` run in a child interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-c", script, *args], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, start_new_session=True) as child:
        try:
            output = child.communicate(timeout=30)[0]
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)  # with a forked child of its own
            return args, "hung", child.communicate()[0]
    return args, child.returncode, output


class ExitTest(unittest.TestCase):
    def check_runs(self, runs, expected):
        failed = {c: [r[1:] for r in runs if r[0] == c and r[1:] != (0, e)]
                  for c, e in expected.items()}
        self.assertEqual({c: len(f) for c, f in failed.items()}, dict.fromkeys(expected, 0),
                         {c: sorted(set(f), key=str) for c, f in failed.items() if f})

    @unittest.skipUnless(os.environ.get("TARNWICK_CH_TCP")
                         or os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1",
                         "no real server started (TARNWICK_CH_TCP unset)")
    def test_the_interpreter_exits_cleanly_while_daemon_threads_are_inside_calls(self):
        addr = os.environ["TARNWICK_CH_TCP"]
        cases = [(addr, kind, hooks) for kind in ("query_stream", "query_tuples", "ping")
                 for hooks in ("kept", "cleared")] + [(addr, "ping", "forked"),
                                                      (addr, "query_tuples", "locked")]
        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            runs = list(pool.map(lambda case: run_child(EXITING, *case), cases * 20))
        self.check_runs(runs, dict.fromkeys(cases, b""))

    def test_a_thread_ended_inside_a_call_or_a_callback_parks_there(self):
        expected = {kind: b"parked=True kept=None\n"
                    for kind in ("query", "next")}
        expected.update({kind: b"parked=True kept=True\n"
                         for kind in ("iterator", "uuids", "signer", "raised", "index", "enum", "float", "str", "dropped",
                                      "params", "settings")})
        runs = []
        for kind in expected:
            with ScriptedServer(silent_after_hello(kind in ("signer", "raised")), connections=None,
                                timeout=60) as srv:
                addr = f"127.0.0.1:{srv.port}"
                with concurrent.futures.ThreadPoolExecutor(8) as pool:
                    runs += [(kind, *r[1:]) for r in
                             pool.map(lambda _: run_child(ENDED, addr, kind), range(8))]
        self.check_runs(runs, expected)

    def test_the_binding_runs_python_code_only_through_into_python(self):
        binding = os.path.join(TESTS_DIR, "..", "src", "binding")
        found = {}
        for name in sorted(os.listdir(binding)):
            if name != "py_ref.h":
                with open(os.path.join(binding, name), encoding="utf-8") as f:
                    found[name] = bare_calls_into_python(f.read())
        self.assertEqual({n: b for n, b in found.items() if b}, {})
        self.assertEqual(bare_calls_into_python(
            "into_python([] { PyErr_Clear(); }); PyErr_Clear();\n// Py_DECREF(o)\nPy_DECREF(o);"),
            [(1, "PyErr_Clear"), (3, "Py_DECREF")])


# C API calls that may run Python code (a dunder, a callable, a key's __eq__, a __del__): the
# binding makes them only as the one call inside an into_python(), mostly through the helpers of
# py_ref.h.
RUNS_PYTHON = re.compile(
    r"\b(PyNumber_\w+|PyFloat_AsDouble|PyObject_(Str|Repr|GetIter|Call\w*|Vectorcall\w*|GetAttr\w*|"
    r"SetAttr\w*|GetItem|SetItem|RichCompare\w*|Hash|IsTrue)|PyIter_Next|PyDict_GetItem\w*|"
    r"PyImport_\w+|PySequence_\w+|PyMapping_\w+|PyErr_(Clear|CheckSignals|SetRaisedException|"
    r"SetObject|Restore)|Py_X?DECREF|Py_CLEAR|Py_X?SETREF)\b")


def bare_calls_into_python(source):
    """(line, name) of each call in `source` that may run Python code, but for those that begin
    their statement's into_python()."""
    code = re.sub(r"//[^\n]*", "", source)
    bare = []
    for m in RUNS_PYTHON.finditer(code):
        statement = code[code.rfind(";", 0, m.start()) + 1:m.start()]
        if not re.search(r"into_python\((\[[^]]*\] \{ (return )?)?$", statement):
            bare.append((code.count("\n", 0, m.start()) + 1, m.group()))
    return bare


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
        # dearly.
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
