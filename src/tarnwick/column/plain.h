// Typed, read-only views of fixed-width and self-describing column bodies. Each view type reads
// itself from a ReadColumnContext with a static read_column() and, except where noted, borrows
// the block's bytes: a view must not outlive the block it was read from.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::column {

using protocol::ReadColumnContext;

// A view type that can read itself from a column body.
template <class V>
concept ClickHouseColumn = requires(ReadColumnContext& ctx) {
  { V::read_column(ctx) } -> std::same_as<base::Result<V>>;
};

template <ClickHouseColumn V>
base::Result<V> read_column(ReadColumnContext& ctx) {
  return V::read_column(ctx);
}

// ---- value types: plain values of their row width, stored little-endian ------------------------

using UInt128 = unsigned __int128;
using Int128 = __int128;

struct Date {
  uint16_t days;
};
struct DateTime {
  uint32_t seconds;
};
struct DateTime64Value {
  int64_t ticks;
};
struct Ipv4 {
  uint32_t value;
};
struct Decimal32 {
  int32_t value;
};
struct Decimal64 {
  int64_t value;
};
struct Decimal128 {
  Int128 value;
};
// Two little-endian 64-bit halves, the high half stored first.
struct Uuid {
  uint64_t high;
  uint64_t low;
};
struct Int256 {
  uint64_t limbs[4];  // least significant first
};
struct UInt256 {
  uint64_t limbs[4];
};
struct Decimal256 {
  uint64_t limbs[4];
};

// ---- fixed-width views --------------------------------------------------------------------------

namespace detail {
struct FixedBytes {
  const uint8_t* data;
  uint64_t byte_len;
};
// The one body behind every fixed-width reader.
base::Result<FixedBytes> read_fixed_width(ReadColumnContext& ctx, uint64_t width,
                                          const char* overflow_message);
[[gnu::cold]] base::Error plain_index_out_of_bounds(uint64_t index, uint64_t rows);
[[gnu::cold]] base::Error plain_error(const char* message);
}  // namespace detail

template <class T>
struct PlainColumnData {
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr uint64_t kWidth = sizeof(T);

  const uint8_t* data = nullptr;
  uint64_t byte_len = 0;
  uint64_t rows = 0;

  static base::Result<PlainColumnData> read_column(ReadColumnContext& ctx) {
    TW_ASSIGN_OR_RETURN(auto bytes, detail::read_fixed_width(ctx, kWidth, "column size overflow"));
    return PlainColumnData{bytes.data, bytes.byte_len, ctx.rows()};
  }

  uint64_t len() const { return rows; }

  // How many leading rows get() can deliver: all of them in every view read_column builds.
  uint64_t readable_rows() const {
    uint64_t whole = byte_len / kWidth;
    return whole < rows ? whole : rows;
  }

  // The value of row `index`, without a bounds check; index < readable_rows().
  T at(uint64_t index) const {
    T value;
    std::memcpy(&value, data + index * kWidth, kWidth);
    return value;
  }

  base::Result<T> get(uint64_t index) const {
    if (index >= rows) [[unlikely]] {
      return detail::plain_index_out_of_bounds(index, rows);
    }
    uint64_t offset;
    if (__builtin_mul_overflow(index, kWidth, &offset)) [[unlikely]] {
      return detail::plain_error("PlainColumnData: index byte offset overflow");
    }
    if (byte_len < kWidth || byte_len - kWidth < offset) [[unlikely]] {
      return detail::plain_error("PlainColumnData: buffer shorter than logical length");
    }
    return at(index);
  }
};

// IPv6 addresses: 16 bytes per row in network order.
struct Ipv6ColumnData {
  const uint8_t* data = nullptr;
  uint64_t byte_len = 0;
  uint64_t rows = 0;

  static base::Result<Ipv6ColumnData> read_column(ReadColumnContext& ctx);
  uint64_t len() const { return rows; }
  // The address of row `index` as a number: the first stored byte is the most significant.
  base::Result<UInt128> get(uint64_t index) const;
};

// FixedString(N): N bytes per row.
struct FixedStringColumnData {
  const uint8_t* data = nullptr;
  uint64_t byte_len = 0;  // rows * width
  uint64_t width = 0;
  uint64_t rows = 0;

  uint64_t len() const { return rows; }
  base::Result<std::span<const uint8_t>> get(uint64_t index) const;
};

// Bool: one byte per row, non-zero meaning true.
struct BoolColumnData {
  const uint8_t* data = nullptr;
  uint64_t rows = 0;

  uint64_t len() const { return rows; }
  base::Result<bool> get(uint64_t index) const;
};

// ---- copying views ------------------------------------------------------------------------------

// JSON documents as text, one per row, copied out of the body.
struct JsonColumnData {
  std::vector<uint8_t> text;   // all rows back to back
  std::vector<uint64_t> ends;  // cumulative end offsets into `text`, one per row

  static base::Result<JsonColumnData> read_column(ReadColumnContext& ctx);
  uint64_t len() const { return ends.size(); }
  // The bytes of row `index`.
  base::Result<std::span<const uint8_t>> get_bytes(uint64_t index) const;
  // The text of row `index`, ill-formed UTF-8 replaced by U+FFFD.
  base::Result<std::string> get_string(uint64_t index) const;
};

// Variant(...): the bytes after the mode word and the discriminators, copied, undecoded.
struct VariantColumnData {
  std::vector<uint8_t> data;
  uint64_t rows = 0;

  // A column whose prefix is the mode word alone, mode word first. Reports no error: a body too
  // short for its mode word or discriminators gives empty data.
  static base::Result<VariantColumnData> read_column(ReadColumnContext& ctx);
  // A body after its prefix, laid out by the prefix's mode word `mode`; no error either.
  static base::Result<VariantColumnData> read_body(ReadColumnContext& ctx, uint64_t mode);
  uint64_t len() const { return rows; }
};

// Dynamic and aggregate-function columns: the rest of the body, copied, undecoded.
struct RawColumnData {
  std::vector<uint8_t> data;
  uint64_t rows = 0;

  uint64_t len() const { return rows; }
};

// Everything from the cursor to the end of the body, without moving the cursor.
std::span<const uint8_t> peek_rest(const ReadColumnContext& ctx);

}  // namespace tarnwick::column
