"""CityHash128 of the CityHash 1.0 series (1.0.2), the checksum of compressed frames.

Pure Python over 64-bit words; slow but exact. Release 1.1 changed the function and must not be
used here.
"""

import struct

_M = (1 << 64) - 1
K0 = 0xC3A5C85C97CB3127
K1 = 0xB492B66FBE98F273
K2 = 0x9AE16A3B2F90404F
K3 = 0xC949D7C7509E6557
_KMUL = 0x9DDFEA08EB382D69


def _fetch64(s, i):
    return struct.unpack_from("<Q", s, i)[0]


def _fetch32(s, i):
    return struct.unpack_from("<I", s, i)[0]


def _rotate(v, shift):
    if shift == 0:
        return v
    return ((v >> shift) | (v << (64 - shift))) & _M


def _shift_mix(v):
    return v ^ (v >> 47)


def _hash128_to_64(low, high):
    a = ((low ^ high) * _KMUL) & _M
    a ^= a >> 47
    b = ((high ^ a) * _KMUL) & _M
    b ^= b >> 47
    return (b * _KMUL) & _M


def _hash_len16(u, v):
    return _hash128_to_64(u, v)


def _hash_len0to16(s, off, n):
    if n > 8:
        a = _fetch64(s, off)
        b = _fetch64(s, off + n - 8)
        return _hash_len16(a, _rotate((b + n) & _M, n)) ^ b
    if n >= 4:
        a = _fetch32(s, off)
        return _hash_len16((n + (a << 3)) & _M, _fetch32(s, off + n - 4))
    if n > 0:
        a = s[off]
        b = s[off + (n >> 1)]
        c = s[off + n - 1]
        y = (a + (b << 8)) & 0xFFFFFFFF
        z = (n + (c << 2)) & 0xFFFFFFFF
        return (_shift_mix(((y * K2) ^ (z * K3)) & _M) * K2) & _M
    return K2


def _weak_hash32(s, off, a, b):
    w = _fetch64(s, off)
    x = _fetch64(s, off + 8)
    y = _fetch64(s, off + 16)
    z = _fetch64(s, off + 24)
    a = (a + w) & _M
    b = _rotate((b + a + z) & _M, 21)
    c = a
    a = (a + x + y) & _M
    b = (b + _rotate(a, 44)) & _M
    return (a + z) & _M, (b + c) & _M


def _city_murmur(s, off, n, seed_low, seed_high):
    a, b = seed_low, seed_high
    c = d = 0
    rest = n - 16
    if rest <= 0:
        a = (_shift_mix((a * K1) & _M) * K1) & _M
        c = (b * K1 + _hash_len0to16(s, off, n)) & _M
        d = _shift_mix((a + (_fetch64(s, off) if n >= 8 else c)) & _M)
    else:
        c = _hash_len16((_fetch64(s, off + n - 8) + K1) & _M, a)
        d = _hash_len16((b + n) & _M, (c + _fetch64(s, off + n - 16)) & _M)
        a = (a + d) & _M
        while True:
            a ^= (_shift_mix((_fetch64(s, off) * K1) & _M) * K1) & _M
            a = (a * K1) & _M
            b ^= a
            c ^= (_shift_mix((_fetch64(s, off + 8) * K1) & _M) * K1) & _M
            c = (c * K1) & _M
            d ^= c
            off += 16
            rest -= 16
            if rest <= 0:
                break
    a = _hash_len16(a, c)
    b = _hash_len16(d, b)
    return a ^ b, _hash_len16(b, a)


def city_hash128_with_seed(data, seed):
    """Seeded core over `data` with seed (low, high); returns (low, high)."""
    s = bytes(data)
    n = len(s)
    if n < 128:
        return _city_murmur(s, 0, n, seed[0], seed[1])
    off = 0
    x, y = seed
    z = (n * K1) & _M
    v0 = (_rotate(y ^ K1, 49) * K1 + _fetch64(s, 0)) & _M
    v1 = (_rotate(v0, 42) * K1 + _fetch64(s, 8)) & _M
    w0 = (_rotate((y + z) & _M, 35) * K1 + x) & _M
    w1 = (_rotate((x + _fetch64(s, 88)) & _M, 53) * K1) & _M
    while True:
        for _ in range(2):
            x = (_rotate((x + y + v0 + _fetch64(s, off + 16)) & _M, 37) * K1) & _M
            y = (_rotate((y + v1 + _fetch64(s, off + 48)) & _M, 42) * K1) & _M
            x ^= w1
            y ^= v0
            z = _rotate(z ^ w0, 33)
            v0, v1 = _weak_hash32(s, off, (v1 * K1) & _M, (x + w0) & _M)
            w0, w1 = _weak_hash32(s, off + 32, (z + w1) & _M, y)
            z, x = x, z
            off += 64
        n -= 128
        if n < 128:
            break
    y = (y + _rotate(w0, 37) * K0 + z) & _M
    x = (x + _rotate((v0 + z) & _M, 49) * K0) & _M
    tail_done = 0
    while tail_done < n:
        tail_done += 32
        y = (_rotate((y - x) & _M, 42) * K0 + v1) & _M
        w0 = (w0 + _fetch64(s, off + n - tail_done + 16)) & _M
        x = (_rotate(x, 49) * K0 + w0) & _M
        w0 = (w0 + v0) & _M
        v0, v1 = _weak_hash32(s, off + n - tail_done, v0, v1)
    x = _hash_len16(x, v0)
    y = _hash_len16(y, w0)
    return (
        (_hash_len16((x + v1) & _M, w1) + y) & _M,
        _hash_len16((x + w1) & _M, (y + v1) & _M),
    )


def city_hash128(data):
    """Unseeded CityHash128 (1.0 series) of `data`; returns (low, high) as two 64-bit ints."""
    s = bytes(data)
    n = len(s)
    if n >= 16:
        return city_hash128_with_seed(s[16:], (_fetch64(s, 0) ^ K3, _fetch64(s, 8)))
    if n >= 8:
        return city_hash128_with_seed(
            b"", (_fetch64(s, 0) ^ ((n * K0) & _M), _fetch64(s, n - 8) ^ K1)
        )
    return city_hash128_with_seed(s, (K0, K1))


def checksum_bytes(data):
    """The 16 checksum bytes of a compressed frame: low half, then high half, little-endian."""
    low, high = city_hash128(data)
    return struct.pack("<QQ", low, high)
