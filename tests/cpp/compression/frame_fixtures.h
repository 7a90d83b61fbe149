// Frame building blocks for the compression tests: frames with arbitrary (also inconsistent)
// header fields and a correct checksum.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/compression/cityhash.h"

namespace tarnwick::testing {

using Blob = std::vector<uint8_t>;

inline Blob pattern(size_t n, uint32_t seed = 1) {
  Blob out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// Recomputes the checksum of a frame over its bytes from offset 16 to the end.
inline void reseal(Blob& frame) {
  compression::Hash128 h = compression::city_hash128(frame.data() + 16, frame.size() - 16);
  std::memcpy(frame.data(), &h.low, 8);
  std::memcpy(frame.data() + 8, &h.high, 8);
}

// A frame with the given header fields around `payload`, correctly checksummed.
inline Blob raw_frame(uint8_t method, uint32_t compressed_size, uint32_t uncompressed_size,
                      std::span<const uint8_t> payload) {
  Blob f(25);
  f[16] = method;
  std::memcpy(f.data() + 17, &compressed_size, 4);
  std::memcpy(f.data() + 21, &uncompressed_size, 4);
  f.insert(f.end(), payload.begin(), payload.end());
  reseal(f);
  return f;
}

inline void append(Blob& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace tarnwick::testing
