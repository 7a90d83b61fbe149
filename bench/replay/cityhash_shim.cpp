// CityHash128 (1.0 series) as a C function, for the ctypes module that stands in for the peer
// client's CityHash package in bench/peer_bench.py (Debian does not ship that package).
#include <cstddef>
#include <cstdint>

#include "tarnwick/compression/cityhash.h"

extern "C" void tarnwick_city_hash128(const uint8_t* data, size_t len, uint64_t out[2]) {
  const auto h = tarnwick::compression::city_hash128(data, len);
  out[0] = h.low;
  out[1] = h.high;
}
