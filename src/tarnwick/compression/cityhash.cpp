#include "tarnwick/compression/cityhash.h"

#include <cstring>
#include <utility>

#include "tarnwick/base/endian.h"

namespace tarnwick::compression {
namespace {

constexpr uint64_t k0 = 0xc3a5c85c97cb3127ULL;
constexpr uint64_t k1 = 0xb492b66fbe98f273ULL;
constexpr uint64_t k2 = 0x9ae16a3b2f90404fULL;
constexpr uint64_t k3 = 0xc949d7c7509e6557ULL;

inline uint64_t fetch64(const uint8_t* p) {
  return base::load_le<uint64_t>(p);
}
inline uint32_t fetch32(const uint8_t* p) {
  return base::load_le<uint32_t>(p);
}

inline uint64_t rotate(uint64_t v, int shift) {
  return shift == 0 ? v : ((v >> shift) | (v << (64 - shift)));
}

// For shifts known to lie in 1..63.
inline uint64_t rotate_by_at_least_1(uint64_t v, int shift) {
  return (v >> shift) | (v << (64 - shift));
}

inline uint64_t shift_mix(uint64_t v) {
  return v ^ (v >> 47);
}

// Murmur-inspired mixing of 128 bits down to 64.
inline uint64_t hash_len16(uint64_t u, uint64_t v) {
  constexpr uint64_t kMul = 0x9ddfea08eb382d69ULL;
  uint64_t a = (u ^ v) * kMul;
  a ^= (a >> 47);
  uint64_t b = (v ^ a) * kMul;
  b ^= (b >> 47);
  b *= kMul;
  return b;
}

uint64_t hash_len0to16(const uint8_t* s, size_t len) {
  if (len > 8) {
    uint64_t a = fetch64(s);
    uint64_t b = fetch64(s + len - 8);
    return hash_len16(a, rotate_by_at_least_1(b + len, static_cast<int>(len))) ^ b;
  }
  if (len >= 4) {
    uint64_t a = fetch32(s);
    return hash_len16(len + (a << 3), fetch32(s + len - 4));
  }
  if (len > 0) {
    uint8_t a = s[0];
    uint8_t b = s[len >> 1];
    uint8_t c = s[len - 1];
    uint32_t y = static_cast<uint32_t>(a) + (static_cast<uint32_t>(b) << 8);
    uint32_t z = static_cast<uint32_t>(len) + (static_cast<uint32_t>(c) << 2);
    return shift_mix(y * k2 ^ z * k3) * k2;
  }
  return k2;
}

struct Pair {
  uint64_t first;
  uint64_t second;
};

// 32 bytes plus two seeds to 128 bits of weak hash, used by the bulk loop.
inline Pair weak_hash_len32_with_seeds(uint64_t w, uint64_t x, uint64_t y, uint64_t z, uint64_t a,
                                       uint64_t b) {
  a += w;
  b = rotate(b + a + z, 21);
  uint64_t c = a;
  a += x;
  a += y;
  b += rotate(a, 44);
  return {a + z, b + c};
}

inline Pair weak_hash_len32_with_seeds(const uint8_t* s, uint64_t a, uint64_t b) {
  return weak_hash_len32_with_seeds(fetch64(s), fetch64(s + 8), fetch64(s + 16), fetch64(s + 24), a,
                                    b);
}

// The routine for inputs shorter than 128 bytes.
Hash128 city_murmur(const uint8_t* s, size_t len, Hash128 seed) {
  uint64_t a = seed.low;
  uint64_t b = seed.high;
  uint64_t c = 0;
  uint64_t d = 0;
  if (len <= 16) {
    a = shift_mix(a * k1) * k1;
    c = b * k1 + hash_len0to16(s, len);
    d = shift_mix(a + (len >= 8 ? fetch64(s) : c));
  } else {
    c = hash_len16(fetch64(s + len - 8) + k1, a);
    d = hash_len16(b + len, c + fetch64(s + len - 16));
    a += d;
    // Whole 16-byte steps while more than 16 bytes remain ahead, then one final step that may
    // overlap the previous one's bytes.
    ptrdiff_t l = static_cast<ptrdiff_t>(len) - 16;
    do {
      a ^= shift_mix(fetch64(s) * k1) * k1;
      a *= k1;
      b ^= a;
      c ^= shift_mix(fetch64(s + 8) * k1) * k1;
      c *= k1;
      d ^= c;
      s += 16;
      l -= 16;
    } while (l > 0);
  }
  a = hash_len16(a, c);
  b = hash_len16(d, b);
  return {a ^ b, hash_len16(b, a)};
}

}  // namespace

Hash128 city_hash128_with_seed(const uint8_t* s, size_t len, Hash128 seed) {
  if (len < 128) return city_murmur(s, len, seed);

  // Bulk path: 56 bytes of state (v, w, x, y, z), 128 input bytes per round.
  Pair v, w;
  uint64_t x = seed.low;
  uint64_t y = seed.high;
  uint64_t z = len * k1;
  v.first = rotate(y ^ k1, 49) * k1 + fetch64(s);
  v.second = rotate(v.first, 42) * k1 + fetch64(s + 8);
  w.first = rotate(y + z, 35) * k1 + x;
  w.second = rotate(x + fetch64(s + 88), 53) * k1;

  do {
    for (int half = 0; half < 2; ++half) {
      x = rotate(x + y + v.first + fetch64(s + 16), 37) * k1;
      y = rotate(y + v.second + fetch64(s + 48), 42) * k1;
      x ^= w.second;
      y ^= v.first;
      z = rotate(z ^ w.first, 33);
      v = weak_hash_len32_with_seeds(s, v.second * k1, x + w.first);
      w = weak_hash_len32_with_seeds(s + 32, z + w.second, y);
      std::swap(z, x);
      s += 64;
    }
    len -= 128;
  } while (len >= 128);

  y += rotate(w.first, 37) * k0 + z;
  x += rotate(v.first + z, 49) * k0;
  // Up to four 32-byte chunks from the end of the input cover the remaining 0..127 bytes.
  for (size_t tail_done = 0; tail_done < len;) {
    tail_done += 32;
    y = rotate(y - x, 42) * k0 + v.second;
    w.first += fetch64(s + len - tail_done + 16);
    x = rotate(x, 49) * k0 + w.first;
    w.first += v.first;
    v = weak_hash_len32_with_seeds(s + len - tail_done, v.first, v.second);
  }
  x = hash_len16(x, v.first);
  y = hash_len16(y, w.first);
  return {hash_len16(x + v.second, w.second) + y, hash_len16(x + w.second, y + v.second)};
}

Hash128 city_hash128(const uint8_t* s, size_t len) {
  if (len >= 16) return city_hash128_with_seed(s + 16, len - 16, {fetch64(s) ^ k3, fetch64(s + 8)});
  if (len >= 8) {
    return city_hash128_with_seed(nullptr, 0, {fetch64(s) ^ (len * k0), fetch64(s + len - 8) ^ k1});
  }
  return city_hash128_with_seed(s, len, {k0, k1});
}

}  // namespace tarnwick::compression
