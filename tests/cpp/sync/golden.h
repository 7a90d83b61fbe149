// Hand-written wire bytes for the sync tests: raw bytes and short strings (a one-byte length, then
// the characters), concatenated. Nothing here uses the encoders under test.
#pragma once

#include <cassert>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/bytes.h"

namespace tarnwick::testing {

using Wire = std::vector<uint8_t>;

struct Golden {
  Wire bytes;

  Golden& raw(std::initializer_list<uint8_t> b) {
    bytes.insert(bytes.end(), b);
    return *this;
  }
  Golden& raw(const Wire& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Golden& chars(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  // A string shorter than 128 bytes: its length byte, then its bytes.
  Golden& str(std::string_view s) {
    assert(s.size() < 128);
    bytes.push_back(static_cast<uint8_t>(s.size()));
    return chars(s);
  }
  Golden& zeros(size_t n) {
    bytes.insert(bytes.end(), n, 0);
    return *this;
  }
  operator Wire() const { return bytes; }
};

inline Wire to_wire(const base::ByteBuffer& b) {
  return Wire(b.data(), b.data() + b.size());
}
inline Wire to_wire(std::span<const uint8_t> b) {
  return Wire(b.begin(), b.end());
}

}  // namespace tarnwick::testing

namespace tarnwick::testing {

// Lower-case hex with a space between bytes, so that failed comparisons are readable.
inline std::string hex(const Wire& w) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : w) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

}  // namespace tarnwick::testing
