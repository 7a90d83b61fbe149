import pathlib
import struct
import unittest

from chserver.cityhash import city_hash128, checksum_bytes
from chserver.frames import FrameError, decode_frame, encode_frame

GOLDEN = pathlib.Path(__file__).with_name("cityhash_golden.txt")


def golden_input(n):
    return bytes((i * 7 + 3) & 0xFF for i in range(n))


class CityHashTest(unittest.TestCase):
    def test_matches_server_library_values(self):
        # Values produced by the server's own CityHash_v1_0_2::CityHash128; they cover every
        # path: below 8, 8 to 15, 16 to 127 (seeded core on 0..111 bytes) and 128 or more.
        lines = GOLDEN.read_text().split("\n")
        cases = [line.split() for line in lines if line]
        self.assertEqual(len(cases), 302)
        for n, low, high in cases:
            with self.subTest(length=n):
                self.assertEqual(city_hash128(golden_input(int(n))), (int(low, 16), int(high, 16)))

    def test_checksum_byte_order_is_low_then_high(self):
        low, high = city_hash128(b"abc")
        self.assertEqual(checksum_bytes(b"abc"), struct.pack("<QQ", low, high))


class FrameTest(unittest.TestCase):
    def test_uncompressed_frame_layout(self):
        frame = encode_frame(b"abc", 0x02)
        self.assertEqual(frame[16:], bytes.fromhex("020c0000000300000061 6263".replace(" ", "")))
        self.assertEqual(frame[:16], checksum_bytes(frame[16:]))
        self.assertEqual(decode_frame(frame), b"abc")

    def test_empty_frame(self):
        frame = encode_frame(b"", 0x02)
        self.assertEqual(frame[16:], bytes.fromhex("020900000000000000"))
        self.assertEqual(decode_frame(frame), b"")

    def test_every_corrupted_byte_is_caught(self):
        frame = bytearray(encode_frame(b"hello hello hello hello", 0x82))
        self.assertEqual(decode_frame(frame), b"hello hello hello hello")
        for i in range(16, len(frame)):
            bad = bytearray(frame)
            bad[i] ^= 0x01
            with self.subTest(offset=i), self.assertRaises(FrameError):
                decode_frame(bad)


if __name__ == "__main__":
    unittest.main()
