"""The whole bound of a buffered call or a stream held in what the process asks of its allocator
(the sum of its live allocations, what an address-space limit or strict overcommit sees), not only
in its resident set: a buffer that grows by doubling must not reserve past the bound it is charged
against, and a kept one must not keep its slack. A stream also makes each column once, however its
packets arrive."""

import os
import re
import unittest

from hostile import (ALLOC_PEAK, CHUNKED, MIB, PLAIN, asked_apart, asked_child, asked_figures,
                     reader_observable)

# What the README states beside the limit and the allowance: a side block (256 MiB), an LZ4 frame
# and its decoded body (64 MiB each), a chunk (1 MiB), the socket's buffer (64 KiB), the pool's
# buffers (64 MiB), and 16 MiB for the small allocations beside them.
BESIDE = 466 * MIB
# The most bytes of one packet a stream holds: a block's 256 MiB and a column's 64 MiB of slack;
# its buffer may pass it by one receive of 64 KiB (or one chunk).
PACKET_CAP = 335544320
RECEIVE = 64 << 10
# The allocations of 1 MiB or more that a stream's packet buffer makes, growing by doubling from
# below 1 MiB to hold a packet of at most that cap: 1, 2, 4, ... 256 MiB and the cap.
BUFFER_STEPS = 10
REAL_SERVER = os.environ.get("TARNWICK_CH_TCP")
REAL_SERVER_REQUIRED = os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1"


@unittest.skipUnless(os.path.exists(ALLOC_PEAK), "the counting allocator is not built")
class AskedMemoryTest(unittest.TestCase):
    def test_a_refused_answer_asks_for_no_more_than_the_stated_bound(self):
        # Every term at once: LowCardinality(String) blocks with 8-byte indexes a block short of
        # the limit and the allowance, a Totals block near its 256 MiB whose buffer, grown by
        # doubling, would reach past it, then the crossing block. With LZ4 the Totals block comes
        # in frames near the 64 MiB cap, after an answer that left the pool a buffer as large.
        # (limit, kept blocks, Totals shape, compression, what the refusal says)
        held = "bytes held beside the decoded data"
        cases = [
            (256, 511, "four_strings", "", held),
            (256, 511, "four_strings", "lz4", held),
            (1, 2, "uint8_columns", "lz4", "decoded 1572864 bytes"),
            (64, 127, "four_strings", "lz4", held),
            (512, 1023, "four_strings", "lz4", held),
        ]
        for limit, kept, side, compression, refusal in cases:
            with self.subTest(limit=limit, side=side, compression=compression or "none"):
                step = (f'side_block_after_data_response("TOTALS", kept={kept}, side="{side}", '
                        f'lz4={bool(compression)})')
                stdout, resident, asked = asked_apart([step], compression, limit * MIB,
                                                      warm=bool(compression))
                self.assertIn(refusal, stdout)
                self.assertIn("next [(2,)]", stdout)
                bound = limit * MIB + max(limit, 16) * MIB + BESIDE
                self.assertLess(asked, bound, stdout[-300:])
                self.assertLess(resident, bound, stdout[-300:])

    def test_a_stream_asks_for_no_more_than_the_stated_bound(self):
        # Blocks of four String columns (266.8 MB in LZ4, 268.4 MB plain): the block the consumer
        # has, one queued, one being read (256 MiB each), the packet's bytes in a buffer that
        # never passes the cap and one receive (or chunk), with LZ4 a frame and its decoded body,
        # and 16 MiB of small allocations: the README's 1,233 MiB, 1,297 MiB with chunked framing.
        # A consumer that takes a block a second leaves the reader to its own pace. The held one
        # takes a block only once the reader thread waits on the full channel (or has ended), so
        # that all of those are full at once; the server pauses 20 ms before each packet's last
        # byte, where the reader waits for the rest with the next packet right behind it. Framed,
        # in chunks of 63 MiB, which do not divide the packet: a buffer that takes in whole
        # chunks while more are ready runs past the cap by several. The largest allocation, the
        # packet buffer, stays within the cap and one receive or chunk.
        paused = "strings_stream_response(8, pause=0.02, chunk=63 << 20)"
        # (compression, server's framing, server's step, blocks, consumer, bound, chunk)
        cases = [
            ("lz4", PLAIN, "strings_stream_response(4)", 4, "stream", 1233 * MIB, 0),
            ("", PLAIN, "strings_stream_response(4)", 4, "stream", 1233 * MIB, 0),
            ("", PLAIN, paused, 8, "held", 1233 * MIB, 0),
            ("", CHUNKED, paused, 8, "held", 1297 * MIB, 63 * MIB),
        ]
        for compression, hello, step, blocks, mode, ceiling, chunk in cases:
            with self.subTest(compression=compression or "none", framing=hello["send_chunked"],
                              consumer=mode):
                if mode == "held" and not reader_observable():
                    self.skipTest("a thread's system call cannot be read here")
                stdout, resident, asked = asked_apart([step], compression, MIB, warm=False,
                                                      mode=mode, hello=hello)
                figures = asked_figures(stdout)
                self.assertEqual(stdout.count("streamed 4"), blocks, stdout[-300:])
                self.assertIn("next [(2,)]", stdout)
                self.assertLess(asked, ceiling, figures)
                self.assertLess(resident, ceiling, figures)
                self.assertLessEqual(figures["largest"], PACKET_CAP + (chunk or RECEIVE), figures)

    def test_a_packet_past_the_cap_is_refused_with_the_buffer_at_the_cap(self):
        # One Data packet of 414.4 MB (seven LowCardinality(UInt8) columns of 7,400,000 rows,
        # 51.8 MB decoded) sent at once, with pauses of 20 ms 64 MiB, 16 MiB, 1 MiB and 1 byte
        # before its end, and in chunks of 1 MiB. It is refused once it passes the cap, holding
        # at most the cap and one receive or chunk, the columns decoded by then (no more than
        # all seven, a byte a row; the indexes are read where they lie in the packet buffer) and
        # 16 MiB of small allocations: 385.5 MiB, 386.5 MiB in chunks. Its largest allocation,
        # the packet buffer, stays within the first two.
        near_end = (64 * MIB, 16 * MIB, MIB, 1)
        for name, hello, pauses, receive in [("at once", PLAIN, (), RECEIVE),
                                             ("paused", PLAIN, near_end, RECEIVE),
                                             ("chunked", CHUNKED, (), MIB)]:
            with self.subTest(name):
                stdout, resident, asked = asked_apart([f"over_cap_response({pauses})"], "", MIB,
                                                      warm=False, mode="held", hello=hello,
                                                      then=False)
                figures = asked_figures(stdout)
                self.assertIn(f"exceeds the stream's limit of {PACKET_CAP} bytes", stdout,
                              figures)
                self.assertNotIn("streamed", stdout)
                bound = PACKET_CAP + receive + 7 * 7_400_000 + 16 * MIB
                self.assertLessEqual(asked, bound, figures)
                self.assertLessEqual(resident, bound, figures)
                self.assertLessEqual(figures["largest"], PACKET_CAP + receive, figures)

    def test_a_stream_copies_each_column_once(self):
        # Each column of a block is made once, whether its packet comes at once or in pieces, so
        # the allocations of 1 MiB or more are the columns and the packet buffer's growth. Two
        # blocks of four String columns (134.2 MB a packet), at once and in pieces of 256 KiB
        # 2 ms apart; and 16 million rows of the real server in blocks of 3.5 and 1 million rows
        # (each column 8 MB or more), iterated without making values.
        numbers = "SELECT toString(number), number FROM numbers(16000000)"
        half = "size=8_387_498"
        # (name, server's step or the real server's block size, columns)
        cases = [
            ("at once", f"strings_stream_response(2, {half})", 8),
            ("pieces", f"strings_stream_response(2, pause=0.002, piece=256 << 10, {half})", 8),
            ("real", 3_500_000, 10),
            ("real", 1_000_000, 32),
        ]
        for name, source, columns in cases:
            with self.subTest(name, columns=columns):
                if isinstance(source, str):
                    stdout = asked_apart([source], "", MIB, warm=False, mode="prompt")[0]
                    self.assertIn("next [(2,)]", stdout)
                elif REAL_SERVER:
                    stdout = asked_child(REAL_SERVER, "", MIB, "prompt", numbers, then="",
                                         before=[f"SET max_block_size = {source}"])
                    rows = re.findall(r"^streamed (\d+)$", stdout, re.M)
                    self.assertEqual(sum(map(int, rows)), 16_000_000, stdout[-1000:])
                else:
                    self.assertFalse(REAL_SERVER_REQUIRED, "the real server's address is unset")
                    self.skipTest("no real server started (TARNWICK_CH_TCP unset)")
                figures = asked_figures(stdout)
                self.assertEqual(figures["columns"], columns, figures)
                self.assertLessEqual(figures["large"], columns + BUFFER_STEPS, figures)


if __name__ == "__main__":
    unittest.main()
