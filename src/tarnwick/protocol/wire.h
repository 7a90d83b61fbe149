// The native protocol's smallest units: LEB128 varints, length-prefixed strings, raw byte runs and
// little-endian fixed-width values, as writers (appending to a ByteBuffer), readers (pulling from a
// ByteSource) and slice parsers (over bytes in memory with a caller-owned position).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"

namespace tarnwick::protocol {

using base::ByteBuffer;
using base::ByteSource;
using base::Result;
using base::Status;

// Strings on the wire are refused from 2^24 bytes on.
inline constexpr uint64_t kMaxStringLength = 16777215;

// "varint overflow".
[[gnu::cold]] base::Error varint_overflow();

// ---- writers ------------------------------------------------------------------------------------

void write_varint(ByteBuffer& out, uint64_t value);

// The number of bytes write_varint writes for `value`.
constexpr size_t varint_length(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

void write_string(ByteBuffer& out, std::string_view bytes);
inline void write_string(ByteBuffer& out, std::span<const uint8_t> bytes) {
  write_string(out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

template <class T>
requires std::is_trivially_copyable_v<T>
void write_fixed(ByteBuffer& out, T value) {
  std::memcpy(out.extend(sizeof(T)), &value, sizeof(T));  // little-endian host
}

// ---- readers ------------------------------------------------------------------------------------

// The one LEB128 decoder behind every varint reader. `next_byte()` yields the next byte as a
// Result<uint8_t> (its failure, such as running out of bytes, is returned as it is). A value ends
// at the first byte without the continuation bit, at the latest at the tenth byte, which may hold
// only the top bit: more fails with "varint overflow". A tenth byte that announces an eleventh
// returns `long_form()`, the readers' one difference: the error to report, after whatever the form
// needs to read first.
template <class NextByte, class LongForm>
[[gnu::always_inline]] inline Result<uint64_t> decode_varint(NextByte&& next_byte,
                                                             LongForm&& long_form) {
  uint64_t value = 0;
  for (unsigned i = 0; i < 9; ++i) {
    TW_ASSIGN_OR_RETURN(const uint8_t byte, next_byte());
    value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) return value;
  }
  TW_ASSIGN_OR_RETURN(const uint8_t last, next_byte());
  if ((last & 0x7F) > 1) return varint_overflow();
  if ((last & 0x80) != 0) return long_form();
  return value | (static_cast<uint64_t>(last) << 63);
}

Result<uint64_t> read_varint_slow(ByteSource& source);

// Reads one varint. The common case, a value whose bytes are all buffered, is decoded inline.
inline Result<uint64_t> read_varint(ByteSource& source) {
  auto window = source.buffered();
  if (!window.empty() && window[0] < 0x80) {
    source.consume(1);
    return uint64_t{window[0]};
  }
  return read_varint_slow(source);
}

Result<std::string> read_string(ByteSource& source);
// read_string in two steps, for callers that charge the length before the text is taken: the
// length (refused from 2^24 on), then the `len` bytes of text (checked to be UTF-8).
Result<uint64_t> read_string_length(ByteSource& source);
Result<std::string> read_string_text(ByteSource& source, uint64_t len);
Result<std::string> read_string_bytes(ByteSource& source);

template <class T>
requires std::is_trivially_copyable_v<T> Result<T> read_fixed(ByteSource& source) {
  T value;
  TW_TRY(source.read_exact(&value, sizeof(T)));
  return value;
}

inline Result<int32_t> read_i32(ByteSource& source) {
  return read_fixed<int32_t>(source);
}

// ---- slice parser -------------------------------------------------------------------------------

// The varint at `buf[pos]`; `pos` moves past it on success. A value cut off by the end of `buf`
// fails with "unexpected end of buffer parsing varint".
Result<uint64_t> parse_varint(std::span<const uint8_t> buf, uint64_t& pos);

}  // namespace tarnwick::protocol

namespace tarnwick::limits {

// Succeeds with `count` when it is at most `limit`; otherwise fails with the bare text
// "{label} count {count} exceeds limit {limit}", which callers wrap as a protocol error.
base::Result<uint64_t> checked_count(uint64_t count, std::string_view label, uint64_t limit);

}  // namespace tarnwick::limits
