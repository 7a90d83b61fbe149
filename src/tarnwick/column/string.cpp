#include "tarnwick/column/string.h"

#include <algorithm>

#include "tarnwick/base/utf8.h"
#include "tarnwick/column/plain.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::column {

using base::Error;
using base::Result;

namespace {

// The prefixes of two bytes or more, decoded apart so that the one-byte case stays small.
[[gnu::noinline]] Result<uint64_t> decode_long_length_prefix(std::span<const uint8_t> bytes,
                                                             uint64_t pos, uint64_t& size) {
  uint64_t at = pos;
  auto next = [&]() -> Result<uint8_t> {
    if (at >= bytes.size()) [[unlikely]] {
      return Error::protocol("unexpected end of data in varint");
    }
    return bytes[at++];
  };
  TW_ASSIGN_OR_RETURN(uint64_t value,
                      protocol::decode_varint(next, [] { return protocol::varint_overflow(); }));
  size = at - pos;
  return value;
}

}  // namespace

namespace detail {

Result<uint64_t> decode_length_prefix(std::span<const uint8_t> bytes, uint64_t pos,
                                      uint64_t& size) {
  if (pos < bytes.size() && bytes[pos] < 0x80) [[likely]] {
    size = 1;
    return uint64_t{bytes[pos]};
  }
  return decode_long_length_prefix(bytes, pos, size);
}

}  // namespace detail

Result<StringColumnData> StringColumnData::read_column(protocol::ReadColumnContext& ctx) {
  StringColumnData out;
  const uint64_t rows = ctx.rows();
  if (rows == 0) return out;
  const auto rest = peek_rest(ctx);
  // Each row takes at least its one-byte prefix inside the body, so the loop ends (in success or
  // failure) within rest.size() rows and the reservation never exceeds that either.
  out.ranges.reserve(std::min<uint64_t>(rows, rest.size()));
  uint64_t consumed = 0;
  for (uint64_t row = 0; row < rows; ++row) {
    uint64_t prefix = 0;
    TW_ASSIGN_OR_RETURN(uint64_t length, detail::decode_length_prefix(rest, consumed, prefix));
    const uint64_t start = consumed + prefix;  // inside rest, so no overflow
    uint64_t end;
    if (__builtin_add_overflow(start, length, &end)) [[unlikely]] {
      return Error::protocol("StringColumnData: body range overflow");
    }
    out.ranges.push_back({start, end});
    consumed = end;
  }
  // The cursor moves only here, once the whole body is known to be present.
  TW_ASSIGN_OR_RETURN(out.body, ctx.read_exact(consumed));
  return out;
}

Result<std::span<const uint8_t>> StringColumnData::get_bytes(uint64_t index) const {
  if (index >= ranges.size()) [[unlikely]] {
    return Error::protocol("StringColumnData: index out of bounds");
  }
  const Range r = ranges[index];
  if (r.end < r.start || r.end > body.size()) [[unlikely]] {
    return Error::protocol("StringColumnData: invalid range");
  }
  return body.subspan(r.start, r.end - r.start);
}

Result<std::string> StringColumnData::get_string(uint64_t index) const {
  TW_ASSIGN_OR_RETURN(auto bytes, get_bytes(index));
  return base::decode_utf8_lossy(bytes.data(), bytes.size());
}

}  // namespace tarnwick::column
