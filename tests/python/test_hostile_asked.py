"""The whole bound of a buffered call held in what the process asks of its allocator (the sum of
its live allocations, what an address-space limit or strict overcommit sees), not only in its
resident set: a buffer that grows by doubling must not reserve past the bound it is charged
against, and a kept one must not keep its slack."""

import os
import unittest

from hostile import ALLOC_PEAK, MIB, asked_apart

# What the README states beside the limit and the allowance: a side block (256 MiB), an LZ4 frame
# and its decoded body (64 MiB each), a chunk (1 MiB), the socket's buffer (64 KiB), the pool's
# buffers (64 MiB), and 16 MiB for the small allocations beside them.
BESIDE = 466 * MIB


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
        # Blocks of 266.8 MB (four String columns) to a consumer that takes one a second: the
        # block it has, one queued, one being read, the packet's bytes, with LZ4 a frame and its
        # decoded body; the README's figure for LZ4 without chunked framing.
        for compression, ceiling in [("lz4", 1233 * MIB), ("", 1233 * MIB)]:
            with self.subTest(compression=compression or "none"):
                stdout, resident, asked = asked_apart(["strings_stream_response(4)"], compression,
                                                      MIB, warm=False, mode="stream")
                self.assertEqual(stdout.count("streamed 4"), 4)
                self.assertIn("next [(2,)]", stdout)
                self.assertLess(asked, ceiling, stdout[-300:])
                self.assertLess(resident, ceiling, stdout[-300:])


if __name__ == "__main__":
    unittest.main()
