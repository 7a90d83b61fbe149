"""CityHash128(data) -> int (second half | first half << 64, the form the peer expects), computed by the C++ library named
by TARNWICK_CITYHASH_SHIM."""

import ctypes
import os

_lib = ctypes.CDLL(os.environ["TARNWICK_CITYHASH_SHIM"])
_lib.tarnwick_city_hash128.argtypes = (ctypes.c_char_p, ctypes.c_size_t,
                                       ctypes.POINTER(ctypes.c_uint64 * 2))
_lib.tarnwick_city_hash128.restype = None


def CityHash128(data):
    data = bytes(data)
    out = (ctypes.c_uint64 * 2)()
    _lib.tarnwick_city_hash128(data, len(data), ctypes.byref(out))
    return out[1] | (out[0] << 64)
