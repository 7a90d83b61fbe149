"""Exit while calls are under way: daemon threads inside calls, or inside Python code that a call
runs, when the interpreter finalizes. A thread the interpreter ends parks where it asked for the
GIL; nothing unwinds through the binding, and the process exits 0 with nothing printed. A thread
whose unwinding came as far as its call's entry point, past a call into Python code made outside
into_python(), says so there: the output tells where it parked. Each case runs in child
interpreters."""

import concurrent.futures
import contextlib
import os
import signal
import subprocess
import sys
import unittest

from test_client import ScriptedServer
from chserver import Block, Column


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
# an SSH signer, the iterator of tables_status() or ignored_part_uuids and the __iter__ of an
# iterable, a value's __index__, __float__ or __str__ in dicts_to_block (plain, Enum8 and JSON
# columns), a row key's __eq__, a params or settings value's __str__, the __del__ of an exception
# the signer raised, of one the binding clears, of a str that a conversion drops, of a value stored
# over under a name that two columns share (the caller's datetime module makes them), and the __eq__
# of a Map's keys. The watcher, which only the module table holds, goes while the interpreter
# finalizes: it lets the waiting call return, gives the thread time to be ended, then reports
# whether the thread is still there (an ended thread parks inside the call; one that the interpreter
# unwound is gone) and whether anything let go of the watched object, which the binding holds
# through a reference of its own (the signer's message, the iterator, the rows' dict, the params or
# settings value) that no destructor of a parked thread may release. The "strict_" kinds park in the
# program's own "strict" error handler, which the strict decoding of a String value that is not
# UTF-8 calls, the encoding of a str with a lone surrogate that the caller gave (an insert value,
# the query text, a keyword name, a block's column name, the signer's result, the str of the
# signer's exception), and the decoding of a static type's name that is not UTF-8 (a value's type,
# named in a type error).
ENDED = """
import codecs, os, sys, threading, time, types
addr, kind = sys.argv[1:]

class Held:  # a value whose going, or comparing, lets the GIL go
    def __del__(self):
        hold()
    def __hash__(self):
        return 0
    def __eq__(self, other):
        hold()

if kind in ("cleared", "twin_dicts", "twin_blocks", "twin_query", "twin_columns", "map_key",
            "now"):
    # The caller's own datetime module, installed before the import as test doubles are: its
    # datetimes let the GIL go when they go, or it fails to make one.
    class datetime:
        @staticmethod
        def fromtimestamp(seconds):
            if kind == "cleared":
                raise Raised("no datetime")
            return Held()
    class date:
        fromordinal = staticmethod(int)
    sys.modules["datetime"] = types.SimpleNamespace(datetime=datetime, date=date)

from tarnwick._native import _Client, blocks_to_dicts, dicts_to_block

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

class Text:  # only a str()
    def __str__(self):
        hold(self)

class Key(str):  # equal to its text, but compared by code of its own
    __hash__ = str.__hash__
    def __eq__(self, other):
        hold(row)

class Iterable:
    def __iter__(self):
        hold(self)

def signer(message):
    global held
    if kind in ("strict_signed", "strict_error"):
        held = message
        if kind == "strict_signed":
            return "a\\udc80"
        raise ValueError("a\\udc80")
    if kind == "raised":  # the traceback keeps this frame, and `message` with it
        watch.message = message
        watch.refs = sys.getrefcount(message)
        raise Raised("no key")
    hold(message)

def waits():
    hold(iterator)
    yield

iterator = waits()

if kind == "strict_type":
    from _tarnwick_testhooks import non_utf8_type

row = ({Key("x"): 1} if kind == "eq" else {"x": "a\\udc80"} if kind == "strict_insert" else
       {"x": non_utf8_type()()} if kind == "strict_type" else {"x": Value()})
types = {"index": "UInt8", "enum": "Enum8('a' = 1)", "float": "Float64", "str": "JSON",
         "dropped": "JSON", "eq": "UInt8", "strict_insert": "String", "strict_type": "String"}
held = row if kind in ("strict_insert", "strict_type") else None

def strict(exc):  # the program's own, in place of the built-in one
    hold(held)

if kind.startswith("strict_"):
    codecs.register_error("strict", strict)
# Two columns of one name: each row's second value is stored over its first.
twins = [("t", "DateTime"), ("t", "DateTime")]

def call():
    watch.thread = threading.get_native_id()
    if kind in ("signer", "raised", "strict_signed", "strict_error"):
        return _Client(addr, ssh_signer=signer, connect_timeout=30)
    if kind in types:
        return dicts_to_block([row], [("x", types[kind])])
    if kind == "cleared":
        return dicts_to_block([{"t": 1}], [("t", "DateTime")]).to_dicts()
    if kind == "strict_name":
        return dicts_to_block([{"x": 1}], [("x", "UInt8")])["a\\udc80"]
    if kind == "twin_dicts":
        return dicts_to_block([{"t": 1}], twins).to_dicts()
    if kind == "twin_blocks":
        return blocks_to_dicts([dicts_to_block([{"t": 1}], twins)])
    c = _Client(addr, connect_timeout=30, query_timeout=30)
    if kind == "iterator":  # Python code that a call runs with the GIL held
        return c.tables_status(iterator)
    if kind == "iter":
        return c.tables_status(Iterable())
    if kind == "uuids":
        return c.query("q", ignored_part_uuids=iterator)
    if kind == "params":
        return c.query("q", params={"x": Text()})
    if kind == "settings":
        return c.query("q", settings={"max_threads": Text()})
    if kind in ("twin_query", "now"):
        return c.query("SELECT now(), now()")
    if kind == "twin_columns":
        return c.query_columns("q")
    if kind == "map_key":
        return c.query("map")
    if kind == "strict_value":
        return c.query("bad")
    if kind == "strict_query":
        return c.query("q\\udc80")
    if kind == "strict_keyword":
        return c.query("q", **{"a\\udc80": 1})
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


# Two DateTime values under one name: two columns, or the keys of a Map's one row, which compare;
# or a String value that is not UTF-8.
TWINS = {"map": Block([Column("m", "Map(DateTime, UInt8)",
                              raw=(2).to_bytes(8, "little") + bytes([1, 0, 0, 0, 2, 0, 0, 0, 1, 2]))],
                      1),
         "bad": [("s", "String", [b"a\xff"])]}


def answers_twins(conn):
    """A scenario: answers one query with twin values, then waits until the client goes."""
    with contextlib.suppress(EOFError, OSError):
        conn.hello()
        query = conn.expect_query()
        conn.send_data(TWINS.get(query.text, [("t", "DateTime", [1]), ("t", "DateTime", [2])]))
        conn.send_eos()
        conn.wait_closed(30)


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

    @unittest.skipUnless(os.environ.get("TARNWICK_CH_TCP")
                         or os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1",
                         "no real server started (TARNWICK_CH_TCP unset)")
    def test_a_thread_ended_in_a_store_over_a_value_of_the_real_server_parks_there(self):
        # The server names both columns of SELECT now(), now() 'now()'.
        addr = os.environ["TARNWICK_CH_TCP"]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            runs = [("now", *r[1:]) for r in pool.map(lambda _: run_child(ENDED, addr, "now"),
                                                      range(8))]
        self.check_runs(runs, {"now": b"parked=True kept=None\n"})

    def test_a_thread_ended_inside_a_call_or_a_callback_parks_there(self):
        expected = {kind: b"parked=True kept=None\n"
                    for kind in ("query", "next", "cleared", "twin_dicts", "twin_blocks",
                                 "twin_query", "twin_columns", "map_key", "strict_value",
                                 "strict_query", "strict_keyword", "strict_name")}
        expected.update({kind: b"parked=True kept=True\n"
                         for kind in ("iterator", "iter", "uuids", "signer", "raised", "index",
                                      "enum", "float", "str", "dropped", "eq", "params",
                                      "settings", "strict_insert", "strict_type",
                                      "strict_signed", "strict_error")})
        runs = []
        for kind in expected:
            scenario = (answers_twins if kind in ("twin_query", "twin_columns", "map_key",
                                                  "strict_value") else
                        silent_after_hello(kind in ("signer", "raised", "strict_signed",
                                                    "strict_error")))
            with ScriptedServer(scenario, connections=None, timeout=60) as srv:
                addr = f"127.0.0.1:{srv.port}"
                with concurrent.futures.ThreadPoolExecutor(8) as pool:
                    runs += [(kind, *r[1:]) for r in
                             pool.map(lambda _: run_child(ENDED, addr, kind), range(8))]
        self.check_runs(runs, expected)


if __name__ == "__main__":
    unittest.main()
