// Dictionary encoding of a plain column body into the LowCardinality layout the server reads.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::ByteBuffer;
using base::cat;
using base::Error;
using base::Result;

namespace {

constexpr uint64_t kFlags = 0x600;  // additional keys, dictionary update: what the server sends

[[gnu::cold]] Error short_body(size_t size, uint64_t rows, const ColumnType& inner) {
  return Error::protocol(cat("LowCardinality plain body of ", size, " bytes does not hold ", rows,
                             " rows of ", base::excerpt(inner.to_string())));
}

// The value width of a fixed-width dictionary type, or nothing for String and every type the
// encoder does not write.
std::optional<size_t> value_width(const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::String:
    case TypeKind::Nothing:
    case TypeKind::Decimal:
    case TypeKind::Point:
      return std::nullopt;
    default:
      return type.fixed_width();
  }
}

// The bytes of each row's value in `values`: a whole String entry (length included), or `w` bytes.
// Nothing when `values` is not exactly `rows` such values.
std::optional<std::vector<std::string_view>> split_values(std::span<const uint8_t> values,
                                                          std::optional<size_t> w, uint64_t rows) {
  std::vector<std::string_view> out;
  const char* base = reinterpret_cast<const char*>(values.data());
  if (w) {
    uint64_t need;
    if (__builtin_mul_overflow(rows, *w, &need) || need != values.size()) return std::nullopt;
    out.reserve(static_cast<size_t>(rows));
    for (uint64_t row = 0; row < rows; ++row) out.emplace_back(base + row * *w, *w);
    return out;
  }
  out.reserve(static_cast<size_t>(std::min<uint64_t>(rows, values.size())));
  uint64_t pos = 0;
  for (uint64_t row = 0; row < rows; ++row) {
    const uint64_t start = pos;
    Result<uint64_t> len = parse_varint(values, pos);
    if (!len || *len > values.size() - pos) return std::nullopt;
    pos += *len;
    out.emplace_back(base + start, static_cast<size_t>(pos - start));
  }
  if (pos != values.size()) return std::nullopt;
  return out;
}

template <class Index>
void put_indexes(const std::vector<uint64_t>& indexes, ByteBuffer& out) {
  uint8_t* dst = out.extend(indexes.size() * sizeof(Index));
  for (uint64_t idx : indexes) {
    const Index v = static_cast<Index>(idx);
    std::memcpy(dst, &v, sizeof v);
    dst += sizeof v;
  }
}

}  // namespace

Result<ByteBuffer> encode_low_cardinality(const ColumnType& inner, std::span<const uint8_t> plain,
                                          uint64_t rows) {
  const bool nullable = inner.kind == TypeKind::Nullable;
  const ColumnType& value_type = lc_dictionary_type(inner);
  const std::optional<size_t> w = value_width(value_type);
  if (!w && value_type.kind != TypeKind::String) {
    return Error::protocol(cat("LowCardinality(", base::excerpt(value_type.to_string()),
                               ") encoding is not supported"));
  }
  if (nullable && plain.size() < rows) return short_body(plain.size(), rows, inner);
  const std::span<const uint8_t> nulls = plain.first(nullable ? static_cast<size_t>(rows) : 0);
  auto values = split_values(plain.subspan(nulls.size()), w, rows);
  if (!values) return short_body(plain.size(), rows, inner);

  // Key 0 is the default value, or for Nullable the stand-in for NULL with the default at key 1.
  static constexpr char kZeros[32] = {};
  std::vector<char> wide_zeros;
  std::string_view zero(kZeros, w ? *w : 1);  // an empty String is its length byte 0
  if (w && *w > sizeof kZeros) {
    wide_zeros.assign(*w, 0);
    zero = std::string_view(wide_zeros.data(), *w);
  }
  std::vector<std::string_view> keys(nullable ? 2 : 1, zero);
  std::unordered_map<std::string_view, uint64_t> key_of;
  key_of.emplace(zero, keys.size() - 1);
  std::vector<uint64_t> indexes(static_cast<size_t>(rows));
  for (uint64_t row = 0; row < rows; ++row) {
    if (nullable && nulls[row] != 0) {
      indexes[row] = 0;
      continue;
    }
    auto [it, added] = key_of.emplace((*values)[row], keys.size());
    if (added) keys.push_back(it->first);
    indexes[row] = it->second;
  }

  const uint64_t code = keys.size() <= 0x100         ? 0
                        : keys.size() <= 0x10000     ? 1
                        : keys.size() <= 0x100000000 ? 2
                                                     : 3;
  size_t dictionary_bytes = 0;
  for (std::string_view key : keys) dictionary_bytes += key.size();
  ByteBuffer out(32 + dictionary_bytes + (indexes.size() << code));
  const uint64_t head[3] = {1, kFlags | code, keys.size()};
  out.append(reinterpret_cast<const uint8_t*>(head), sizeof head);
  for (std::string_view key : keys) out.append(key);
  write_fixed<uint64_t>(out, rows);
  switch (code) {
    case 0:
      put_indexes<uint8_t>(indexes, out);
      break;
    case 1:
      put_indexes<uint16_t>(indexes, out);
      break;
    case 2:
      put_indexes<uint32_t>(indexes, out);
      break;
    default:
      put_indexes<uint64_t>(indexes, out);
  }
  return out;
}

}  // namespace tarnwick::protocol
