"""_Client.query_stream against the scripted server: blocks from the reader thread, the eos and
finished flags, cancel and discard, errors, and what a stream leaves of its client's connection."""

import os
import random
import socket
import threading
import time
import unittest

from test_client import DISCARDED, HEADER, ROWS_A, ROWS_B, _raises, answer, serving
from wire import hooks

from chserver import packets as sp  # noqa: E402  (on the path once wire is imported)
from tarnwick._native import _Client  # noqa: E402

ROWS_C = [("x", "UInt64", [4, 5]), ("s", "String", [b"d", b"e"])]
BROKEN = "connection is broken by an earlier failed exchange"


def wait_for(predicate, seconds=5.0, step=0.01):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(step)
    return predicate()


def sends(*blocks, stall=0.0, then=None):
    """A scenario step: reads one query, sends `blocks`, waits `stall` seconds, then runs `then`
    (the rest of the response) or waits for the client to close."""

    def step(conn):
        conn.expect_query()
        for block in blocks:
            conn.send_data(block)
        conn.stall(stall)
        if then is None:
            conn.wait_closed(20)
        else:
            then(conn)

    return step


class QueryStreamTest(unittest.TestCase):
    def test_blocks_then_the_end_leave_the_client_clean(self):
        with serving(answer(HEADER, ROWS_A, HEADER, ROWS_B), answer(HEADER, ROWS_C)) as (c, _):
            s = c.query_stream("SELECT x")
            self.assertIs(iter(s), s)
            self.assertEqual(repr(s), "<_QueryStream>")
            blocks = list(s)
            self.assertEqual([type(b).__name__ for b in blocks], ["_Block", "_Block"])
            self.assertEqual([b.to_dicts() for b in blocks],
                             [[{"x": 1, "s": "a"}, {"x": 2, "s": "b"}], [{"x": 3, "s": "c"}]])
            self.assertRaises(StopIteration, next, s)
            self.assertTrue(s.eos)
            self.assertTrue(wait_for(lambda: s.finished))
            s.discard()  # after eos the connection is left alone, discarded or dropped
            del s
            self.assertEqual(c.query_tuples("q"), [(4, "d"), (5, "e")])
            self.assertRaises(TypeError, c.query_stream, 1)
            c.discard()
            self.assertEqual(str(_raises(c.query_stream, "q")), DISCARDED)

    def test_cancel_delivers_what_was_read_and_dropping_breaks_the_client(self):
        def rest(conn):
            conn.send_data(ROWS_C)
            conn.send_eos()
            conn.wait_closed(20)

        with serving(sends(HEADER, ROWS_A, ROWS_B, stall=0.5, then=rest)) as (c, _):
            s = c.query_stream("SELECT x")
            self.assertEqual(next(s).row_count(), 2)
            time.sleep(0.2)  # the reader has queued ROWS_B and waits on the socket
            s.cancel()
            self.assertEqual([b.row_count() for b in s], [1, 2])  # the read in progress ends
            self.assertFalse(s.eos)
            self.assertTrue(wait_for(lambda: s.finished))
            del s  # before eos: the shared connection is shut down
            error = _raises(c.query, "q")
            self.assertIsInstance(error, ConnectionError)
            self.assertIn(BROKEN, str(error))

    def test_discard_from_another_thread_ends_a_blocked_next(self):
        # The reader thread waits in a read for more of the response, or in a write: the server
        # shrinks its receive buffer, sends parallel-replica task requests of 1 MiB, each
        # answered with as much, and reads none of the answers until the stream is discarded. The
        # reader's write of an answer then waits for good (it has no time-out), and the reader
        # stops reading, so the server's send stops too: only discard() ends the stream.
        flooded, discarded = threading.Event(), threading.Event()

        def floods(conn):
            conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            conn.expect_query()
            conn.send_data(HEADER)
            conn.send_data(ROWS_A)
            request = sp.merge_tree_read_task_request(text="x" * (1 << 20))
            conn.sock.settimeout(2.0)  # no progress for this long: the reader waits for good
            try:
                for _ in range(1000):
                    conn.send_packet(request)
            except TimeoutError:
                flooded.set()
            discarded.wait(30)
            conn.wait_closed(20)

        rows = [("in a read", sends(HEADER, ROWS_A), None,
                 "I/O error: connection closed before the end of the response"),
                ("in a write", floods, flooded, "I/O error: Broken pipe (os error 32)")]
        for name, step, blocked, text in rows:
            with self.subTest(name), serving(step, query_timeout=30) as (c, _):
                s = c.query_stream("SELECT x")
                self.assertEqual(next(s).row_count(), 2)
                outcome = []
                waiter = threading.Thread(target=lambda: outcome.append(_raises(next, s)))
                waiter.start()
                if blocked is not None:
                    self.assertTrue(blocked.wait(30))
                # The waiting __next__ has released the GIL: this thread keeps running.
                spins, end = 0, time.monotonic() + 0.3
                while time.monotonic() < end:
                    spins += 1
                self.assertTrue(waiter.is_alive())
                self.assertGreater(spins, 1000)
                self.assertFalse(s.finished)
                error = _raises(c.query, "q")  # the connection belongs to the stream
                self.assertIn("a query stream is still reading this connection", str(error))
                s.discard()
                s.discard()
                discarded.set()
                waiter.join(10)
                self.assertFalse(waiter.is_alive())
                self.assertIsInstance(outcome[0], RuntimeError)
                self.assertEqual(str(outcome[0]), text)
                self.assertFalse(s.eos)
                self.assertTrue(wait_for(lambda: s.finished))
                self.assertIn(BROKEN, str(_raises(c.ping)))

    def test_the_call_after_the_last_message_finds_the_stream_settled(self):
        # The reader thread pauses right after it has published its last message; the next call
        # on the client, made at once, finds the connection idle (after the end or a server
        # exception) or broken (after any other failure), never still being read.
        framings = {"plain": {"send_chunked": False, "recv_chunked": False},
                    "chunked": {"send_chunked": "chunked", "recv_chunked": "chunked"}}
        endings = {
            "end": (lambda conn: conn.send_eos(), StopIteration, "", 1),
            # The client checks the session with a Ping of its own before the next exchange.
            "exception": (lambda conn: conn.send_exception(60, "DB::Exception", "Boom"),
                          RuntimeError, "code=60, name=DB::Exception", 2),
            "failure": (lambda conn: conn.send_unknown(9), RuntimeError,
                        "protocol error: unknown packet type in stream: 9", 0),
        }
        for framing, hello in framings.items():
            for ending, (send_end, raised, text, pings) in endings.items():
                with self.subTest(framing=framing, ending=ending):
                    def step(conn, send_end=send_end, pings=pings):
                        conn.expect_query()
                        conn.send_data(HEADER)
                        conn.send_data(ROWS_A)
                        send_end(conn)
                        if pings == 0:
                            conn.wait_closed(20)
                            return
                        for _ in range(pings):
                            conn.expect_ping()
                            conn.send_pong()
                        answer(HEADER, ROWS_C)(conn)

                    with serving(step, hello=hello) as (c, _):
                        s = hooks.query_stream_pausing(c, "SELECT x", 2.0)
                        self.assertEqual(next(s).to_dicts(), [{"x": 1, "s": "a"},
                                                              {"x": 2, "s": "b"}])
                        with self.assertRaises(raised) as caught:
                            next(s)
                        self.assertIn(text, str(caught.exception))
                        if pings == 0:
                            error = _raises(c.ping)
                            self.assertIsInstance(error, ConnectionError)
                            self.assertIn(BROKEN, str(error))
                        else:
                            self.assertIs(c.ping(), True)
                            self.assertEqual(c.query_tuples("SELECT x"), [(4, "d"), (5, "e")])
                        self.assertFalse(s.finished)  # the reader is still pausing
                        self.assertEqual(s.eos, pings != 0)

    @unittest.skipUnless(os.environ.get("TARNWICK_CH_TCP")
                         or os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1",
                         "no real server started (TARNWICK_CH_TCP unset)")
    def test_a_discard_racing_the_end_of_the_response_agrees_with_eos(self):
        # Short streams of the real server, each discarded a random moment after it started,
        # near the reader's end of the response. Either the discard won (eos stays false and the
        # client is broken) or the response had ended (eos is true, the connection is left alone
        # and the next call answers): eos read right after discard() never changes later.
        addr = os.environ["TARNWICK_CH_TCP"]
        rng = random.Random(46)
        c = _Client(addr, connect_timeout=10, query_timeout=30)
        outcomes = {True: 0, False: 0}
        wrong = []
        deadline = time.monotonic() + 8
        while sum(outcomes.values()) < 4000 and time.monotonic() < deadline:
            s = c.query_stream(f"SELECT number FROM numbers({rng.randint(1, 100)})")
            time.sleep(rng.uniform(0, 0.0008))
            s.discard()
            eos = s.eos
            self.assertTrue(wait_for(lambda s=s: s.finished, 30, 0.0002))
            try:
                answered = c.query_tuples("SELECT 1") == [(1,)]
            except ConnectionError as e:
                self.assertIn(BROKEN, str(e))
                answered = False
            if (eos, s.eos) != (answered, answered):
                wrong.append((eos, s.eos, answered))
            outcomes[eos] += 1
            if not answered:
                c.discard()
                c = _Client(addr, connect_timeout=10, query_timeout=30)
        c.discard()
        self.assertEqual(wrong, [], outcomes)


if __name__ == "__main__":
    unittest.main()
