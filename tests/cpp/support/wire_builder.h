// Builds wire bytes for decoder tests: varints, strings, little-endian words, runs of bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/bytes.h"

namespace tarnwick::testing {

class Wire {
 public:
  Wire& varint(uint64_t v) {
    while (v >= 0x80) {
      bytes_.push_back(static_cast<uint8_t>(v) | 0x80);
      v >>= 7;
    }
    bytes_.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Wire& str(std::string_view s) {
    varint(s.size());
    return raw(s);
  }
  Wire& raw(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Wire& raw(const std::vector<uint8_t>& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Wire& bytes(std::initializer_list<uint8_t> b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Wire& fill(size_t n, uint8_t value) {
    bytes_.insert(bytes_.end(), n, value);
    return *this;
  }
  template <class T>
  Wire& le(T v) {
    uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    bytes_.insert(bytes_.end(), b, b + sizeof(T));
    return *this;
  }
  Wire& u64(uint64_t v) { return le(v); }
  // The block-info list the writer emits, then the counts.
  Wire& block_head(uint64_t columns, uint64_t rows) {
    bytes({0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    return varint(columns).varint(rows);
  }
  // A column record up to its body: name, type name, flag 0 (servers before revision 54454 send
  // no flag).
  Wire& column(std::string_view name, std::string_view type, bool flag = true) {
    str(name).str(type);
    if (flag) bytes_.push_back(0);
    return *this;
  }

  const std::vector<uint8_t>& get() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  operator const std::vector<uint8_t>&() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> to_wire(std::span<const uint8_t> b) {
  return {b.begin(), b.end()};
}
inline std::vector<uint8_t> to_wire(const base::ByteBuffer& b) {
  return to_wire(b.span());
}

// Lower-case hex with a space between bytes, so that failed comparisons are readable.
inline std::string hex(const std::vector<uint8_t>& w) {
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
