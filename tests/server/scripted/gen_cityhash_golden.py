"""Writes cityhash_golden.txt from the CityHash128 (1.0.2) of the ClickHouse server library.

Run once by hand on a machine with clickhouse-server 18.16 installed; the output is committed and
test_cityhash.py compares the pure-Python hash against it. The library needs jemalloc loaded at
start-up (its static TLS block cannot be allocated by a late dlopen):

  LD_PRELOAD=/lib/x86_64-linux-gnu/libjemalloc.so.2 python3 gen_cityhash_golden.py
"""

import ctypes
import pathlib
import sys

LIBRARY = "/usr/lib/x86_64-linux-gnu/libclickhouse.so.18.16"
SYMBOL = "_ZN15CityHash_v1_0_211CityHash128EPKcm"
LENGTHS = list(range(0, 301)) + [4096]


class Pair(ctypes.Structure):
    _fields_ = [("low", ctypes.c_uint64), ("high", ctypes.c_uint64)]


def golden_input(n):
    return bytes((i * 7 + 3) & 0xFF for i in range(n))


def main():
    lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else LIBRARY)
    fn = getattr(lib, SYMBOL)
    fn.restype = Pair
    fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    out = pathlib.Path(__file__).with_name("cityhash_golden.txt")
    lines = []
    for n in LENGTHS:
        data = golden_input(n)
        r = fn(data, n)
        lines.append(f"{n} {r.low:016x} {r.high:016x}")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(lines)} values to {out}")


if __name__ == "__main__":
    main()
