#include "tarnwick/protocol/wire.h"

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

namespace {

[[gnu::cold]] Error string_too_long(uint64_t len) {
  return Error::protocol(
      cat("string length ", len, " exceeds clickhouse-cpp limit ", kMaxStringLength));
}

[[gnu::cold]] Error varint_cut_off() {
  return Error::protocol("unexpected end of buffer parsing varint");
}

}  // namespace

Result<uint64_t> read_string_length(ByteSource& source) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_varint(source));
  if (len >> 24 != 0) return string_too_long(len);
  return len;
}

void write_varint(ByteBuffer& out, uint64_t value) {
  uint8_t buf[10];
  size_t n = 0;
  while (value >= 0x80) {
    buf[n++] = static_cast<uint8_t>(value) | 0x80;
    value >>= 7;
  }
  buf[n++] = static_cast<uint8_t>(value);
  out.append(buf, n);
}

void write_string(ByteBuffer& out, std::string_view bytes) {
  write_varint(out, bytes.size());
  out.append(bytes);
}

Error varint_overflow() {
  return Error::protocol("varint overflow");
}

Result<uint64_t> read_varint_slow(ByteSource& source) {
  return decode_varint([&] { return source.read_u8(); }, [] { return varint_overflow(); });
}

Result<std::string> read_string(ByteSource& source) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_string_length(source));
  return read_string_text(source, len);
}

Result<std::string> read_string_text(ByteSource& source, uint64_t len) {
  std::string text(len, '\0');
  TW_TRY(source.read_exact(text.data(), len));
  if (auto bad = base::validate_utf8(text)) [[unlikely]] {
    return Error::protocol(cat("invalid utf8: ", bad->to_string()));
  }
  return text;
}

Result<std::string> read_string_bytes(ByteSource& source) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_string_length(source));
  std::string bytes(len, '\0');
  TW_TRY(source.read_exact(bytes.data(), len));
  return bytes;
}

Result<uint64_t> parse_varint(std::span<const uint8_t> buf, uint64_t& pos) {
  const uint64_t size = buf.size();
  if (pos < size && buf[pos] < 0x80) [[likely]] {
    return uint64_t{buf[pos++]};
  }
  auto next = [&]() -> Result<uint8_t> {
    if (pos >= size) return varint_cut_off();
    return buf[pos++];
  };
  // The encoding claims an eleventh byte: it can only overflow, but it has to be there.
  auto long_form = [&]() -> Error {
    if (pos >= size) return varint_cut_off();
    ++pos;
    return varint_overflow();
  };
  return decode_varint(next, long_form);
}

}  // namespace tarnwick::protocol

namespace tarnwick::limits {

base::Result<uint64_t> checked_count(uint64_t count, std::string_view label, uint64_t limit) {
  if (count <= limit) return count;
  return base::Error::protocol(base::cat(label, " count ", count, " exceeds limit ", limit));
}

}  // namespace tarnwick::limits
