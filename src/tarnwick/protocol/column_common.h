// What the column body walkers share (the keeping reader, the discarder, the buffered skipper and
// the Variant and Dynamic readers): the failure texts they all give and the width rules, so that
// every walker refuses the same input with the same words.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/endian.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/result.h"

namespace tarnwick::protocol {

struct ColumnType;

// The label of the length checks of plain fixed-width bodies.
inline constexpr std::string_view kFixedLabel = "fixed-width column";

// "type nesting exceeds {kMaxTypeDepth} levels".
[[gnu::cold]] base::Error nesting_too_deep_error();
// "{label} {len} exceeds limit {kStringValueLimit}".
[[gnu::cold]] base::Error string_over_limit(std::string_view label, uint64_t len);
// The refusal of a materialized JSON body whose serialization version is not 1 or 4.
[[gnu::cold]] base::Error bad_json_version(uint64_t version);
// "unknown JSON serialization version {}".
[[gnu::cold]] base::Error unknown_json_version(uint64_t version);
// "streaming read unsupported for column type {}", the type in its debug form as an excerpt: the
// refusal of a type whose body no walker can step over.
[[gnu::cold]] base::Error streaming_read_unsupported(const ColumnType& type);

// A string value's bytes as text; "invalid UTF-8 string: ..." when they are not UTF-8.
base::Result<std::string> utf8_text(std::span<const uint8_t> bytes);

// The byte width of a Decimal of `precision` digits, refused outside 1..76.
base::Result<uint64_t> checked_decimal_width(uint32_t precision);

// Makes room for `n` more bytes in `out`, growing it by no more than `room` (what the bound it is
// filled against has left, n included) where that is more than n; out of memory, changing nothing,
// when that memory is not to be had.
inline base::Status reserve_more(base::ByteBuffer& out, size_t n, size_t room = SIZE_MAX) {
  if (!out.try_reserve_more(n, room)) [[unlikely]]
    return base::Error::out_of_memory(n);
  return {};
}

// a + b, saturating at UINT64_MAX.
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// An unsigned 64-bit little-endian word at `p`.
inline uint64_t load_u64(const uint8_t* p) {
  return base::load_le<uint64_t>(p);
}

// Decodes the length prefix of one string value at `p`, entirely inside [p, end). Returns the
// prefix size, or 0 when the prefix is not complete there or is not a plain, short form (the slow
// path then reads it byte by byte and reports whatever is wrong with it).
inline unsigned peek_length(const uint8_t* p, const uint8_t* end, uint64_t& len) {
  const size_t avail = static_cast<size_t>(end - p);
  if (avail == 0) return 0;
  if (p[0] < 0x80) {
    len = p[0];
    return 1;
  }
  uint64_t value = p[0] & 0x7F;
  for (unsigned i = 1; i < 4; ++i) {
    if (i >= avail) return 0;
    value |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
    if (p[i] < 0x80) {
      len = value;
      return i + 1;
    }
  }
  return 0;
}

}  // namespace tarnwick::protocol
