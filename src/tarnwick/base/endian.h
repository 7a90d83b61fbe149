// Unaligned little-endian loads and stores. The wire is little-endian and so is every target this
// builds for, so these are plain copies the compiler turns into single moves.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarnwick::base {

static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

template <class T>
requires std::is_trivially_copyable_v<T>
inline T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
requires std::is_trivially_copyable_v<T>
inline void store_le(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace tarnwick::base
