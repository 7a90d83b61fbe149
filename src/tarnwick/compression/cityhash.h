// CityHash128 of the CityHash 1.0 series (1.0.x releases), the checksum of compressed frames.
// Release 1.1 changed the 128-bit hash and gives different values; peers check frames with the
// 1.0 variant, so this must stay bit-for-bit with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::compression {

// A 128-bit hash as the pair (low, high); frames store `low` first.
struct Hash128 {
  uint64_t low;
  uint64_t high;

  friend bool operator==(const Hash128&, const Hash128&) = default;
};

// The unseeded hash: derives its seed from the first bytes of the input.
Hash128 city_hash128(const uint8_t* data, size_t len);

// The seeded core of city_hash128.
Hash128 city_hash128_with_seed(const uint8_t* data, size_t len, Hash128 seed);

}  // namespace tarnwick::compression
