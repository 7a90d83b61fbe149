import pathlib
import unittest

from chserver.cityhash import city_hash128, checksum_bytes
from chserver.frames import FrameError, decode_frame, encode_frame

GOLDEN = pathlib.Path(__file__).parents[2] / "vectors" / "cityhash128.txt"


def golden_cases():
    """(input, low, high) of the server library's own values: the pattern lengths up to 4096 and
    the texts (the 1 MiB pattern and the frames are left to the C++ suite)."""
    for line in GOLDEN.read_text().splitlines():
        kind, *fields = line.split()
        if kind == "pattern" and int(fields[0]) <= 4096:
            data = bytes((i * 7 + 3) & 0xFF for i in range(int(fields[0])))
        elif kind == "text":
            data = fields[0].encode()
        else:
            continue
        yield data, int(fields[1], 16), int(fields[2], 16)


class CityHashTest(unittest.TestCase):
    def test_matches_server_library_values(self):
        # Every path: below 8, 8 to 15, 16 to 127 (seeded core on 0..111 bytes) and 128 or more.
        cases = list(golden_cases())
        self.assertEqual(len(cases), 301 + 2 + 4)
        for data, low, high in cases:
            with self.subTest(length=len(data)):
                self.assertEqual(city_hash128(data), (low, high))

    def test_checksums_of_captured_frames(self):
        # The server stores the low half first: each small captured frame's checksum, rebuilt.
        checked = 0
        for line in GOLDEN.read_text().splitlines():
            kind, *fields = line.split()
            if kind != "frame" or int(fields[2]) > 4096:
                continue
            offset, length = int(fields[1]), int(fields[2])
            wire = (GOLDEN.parent / fields[0]).read_bytes()
            body = wire[offset + 16 : offset + 16 + length]
            self.assertEqual(checksum_bytes(body), wire[offset : offset + 16], line)
            checked += 1
        self.assertEqual(checked, 14)


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
