"""Load CityHash128 (1.0.2 series) from the ClickHouse 18.16 server library.

Used only by the capture scripts; the committed golden files carry the values.
"""

import ctypes
import os
import sys

JEMALLOC = "/lib/x86_64-linux-gnu/libjemalloc.so.2"


def ensure_preload():
    """The library needs jemalloc's static TLS, which a late dlopen cannot get:
    re-run the current script once with jemalloc preloaded."""
    if not os.path.exists(JEMALLOC) or JEMALLOC in os.environ.get("LD_PRELOAD", ""):
        return
    env = dict(os.environ)
    env["LD_PRELOAD"] = (JEMALLOC + " " + env.get("LD_PRELOAD", "")).strip()
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

LIB = "/usr/lib/x86_64-linux-gnu/libclickhouse.so.18.16"
SYMBOL = "_ZN15CityHash_v1_0_211CityHash128EPKcm"


class _U128(ctypes.Structure):
    _fields_ = [("low", ctypes.c_uint64), ("high", ctypes.c_uint64)]


def load_cityhash128(path=LIB):
    lib = ctypes.CDLL(path, mode=ctypes.RTLD_LOCAL)
    fn = getattr(lib, SYMBOL)
    fn.restype = _U128
    fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t]

    def cityhash128(data):
        data = bytes(data)
        r = fn(data, len(data))
        return r.low, r.high
    return cityhash128
