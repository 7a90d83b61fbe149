// Owned column data: a column view turned into one of seven self-contained value forms (widened
// integers, floats, texts, booleans, a bare count, or nothing) that outlive the block and need no
// knowledge of ClickHouse types to use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tarnwick/column/plain.h"

namespace tarnwick::column {

// Texts stored back to back in one buffer, with one end offset per text.
class OwnedStrings {
 public:
  std::string bytes;
  std::vector<uint64_t> ends;

  size_t size() const { return ends.size(); }
  bool empty() const { return ends.empty(); }
  std::string_view operator[](size_t i) const {
    const uint64_t start = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(start, ends[i] - start);
  }
  // Ends the text being built: everything appended to `bytes` since the previous one.
  void finish_text() { ends.push_back(bytes.size()); }

  bool operator==(const OwnedStrings&) const = default;
};

// A number of values that have no representation.
struct LengthOnly {
  uint64_t count = 0;
  bool operator==(const LengthOnly&) const = default;
};

// No values and no count.
struct NoValues {
  bool operator==(const NoValues&) const = default;
};

class OwnedColumnData {
 public:
  enum class Kind : uint8_t { UInt64, Int64, Float64, Text, Bool, LengthOnly, Empty };
  using Storage = std::variant<std::vector<uint64_t>, std::vector<int64_t>, std::vector<double>,
                               OwnedStrings, std::vector<uint8_t>, LengthOnly, NoValues>;

  Storage data;

  Kind kind() const { return static_cast<Kind>(data.index()); }

  const std::vector<uint64_t>& uint64s() const { return std::get<0>(data); }
  const std::vector<int64_t>& int64s() const { return std::get<1>(data); }
  const std::vector<double>& float64s() const { return std::get<2>(data); }
  const OwnedStrings& texts() const { return std::get<3>(data); }
  const std::vector<uint8_t>& bools() const { return std::get<4>(data); }  // 0 or 1 each
  uint64_t length_only() const { return std::get<5>(data).count; }

  bool operator==(const OwnedColumnData&) const = default;
};

// The text forms of the address and identifier types, appended to `out`.
// UUID: each stored half printed as a 64-bit number, high half first, grouped 8-4-4-4-12.
void append_uuid_text(std::string& out, const Uuid& value);
// IPv4: the little-endian number's bytes, most significant first, as a dotted quad.
void append_ipv4_text(std::string& out, uint32_t value);
// IPv6: RFC 5952 text of the 16 bytes in network order; IPv4-mapped addresses as ::ffff:a.b.c.d.
void append_ipv6_text(std::string& out, const uint8_t bytes[16]);

}  // namespace tarnwick::column
