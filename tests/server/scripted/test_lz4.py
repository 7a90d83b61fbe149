import random
import unittest

from chserver.lz4 import Lz4Error, compress, decompress


class Lz4Test(unittest.TestCase):
    def test_round_trip(self):
        rng = random.Random(7)
        inputs = [b"", b"a", b"abcd" * 3, b"x" * 100000, bytes(range(256)) * 300]
        inputs += [bytes(rng.choice(b"ab\x00") for _ in range(rng.randrange(2000)))
                   for _ in range(30)]
        inputs += [rng.randbytes(rng.randrange(3000)) for _ in range(10)]
        for data in inputs:
            for matches in (True, False):
                with self.subTest(size=len(data), matches=matches):
                    self.assertEqual(decompress(compress(data, matches), len(data)), data)

    def test_matcher_finds_repeats(self):
        self.assertLess(len(compress(b"y" * 4096)), 40)
        self.assertEqual(len(compress(b"y" * 100, matches=False)), 1 + 1 + 100)

    def test_hand_made_block_with_overlapping_match(self):
        # token 0x44: 4 literals "abcd", then a match of 4+4 bytes at offset 4 (copies its own
        # output); then the last sequence: 5 literals.
        block = bytes([0x44]) + b"abcd" + b"\x04\x00" + bytes([0x50]) + b"xyzwv"
        self.assertEqual(decompress(block, 17), b"abcdabcdabcdxyzwv")
        # offset 1 repeats one byte; extended lengths: 15 + 3 literals, match 4 + 15 + 1
        block = bytes([0xFF, 0x03]) + b"q" * 18 + b"\x01\x00" + bytes([0x01])
        block += bytes([0x10]) + b"!"
        self.assertEqual(decompress(block, 18 + 20 + 1), b"q" * 38 + b"!")

    def test_malformed_blocks_fail(self):
        cases = {
            "offset beyond output": bytes([0x14]) + b"a" + b"\x05\x00" + bytes([0x00]),
            "zero offset": bytes([0x14]) + b"a" + b"\x00\x00" + bytes([0x00]),
            "literals past end": bytes([0x50]) + b"abc",
            "truncated offset": bytes([0x10]) + b"a" + b"\x01",
            "empty": b"",
        }
        for name, block in cases.items():
            with self.subTest(name), self.assertRaises(Lz4Error):
                decompress(block, 100)
        with self.assertRaises(Lz4Error):  # output longer than declared
            decompress(bytes([0x50]) + b"abcde", 4)
        with self.assertRaises(Lz4Error):  # output shorter than declared
            decompress(bytes([0x50]) + b"abcde", 6)


if __name__ == "__main__":
    unittest.main()
