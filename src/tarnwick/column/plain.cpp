#include "tarnwick/column/plain.h"

#include <algorithm>

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/column/string.h"

namespace tarnwick::column {

using base::cat;
using base::Error;
using base::Result;

namespace detail {

Result<FixedBytes> read_fixed_width(ReadColumnContext& ctx, uint64_t width,
                                    const char* overflow_message) {
  uint64_t n;
  if (__builtin_mul_overflow(ctx.rows(), width, &n)) [[unlikely]] {
    return Error::protocol(overflow_message);
  }
  TW_ASSIGN_OR_RETURN(auto bytes, ctx.read_exact(n));
  return FixedBytes{bytes.data(), n};
}

Error plain_index_out_of_bounds(uint64_t index, uint64_t rows) {
  return Error::protocol(cat("PlainColumnData: index ", index, " out of bounds (len ", rows, ")"));
}

Error plain_error(const char* message) {
  return Error::protocol(message);
}

}  // namespace detail

std::span<const uint8_t> peek_rest(const ReadColumnContext& ctx) {
  ReadColumnContext probe = ctx;
  // Taking exactly what remains cannot fail.
  return *probe.read_exact(probe.remaining());
}

// ---- IPv6
// -----------------------------------------------------------------------------------------

Result<Ipv6ColumnData> Ipv6ColumnData::read_column(ReadColumnContext& ctx) {
  TW_ASSIGN_OR_RETURN(auto bytes, detail::read_fixed_width(ctx, 16, "IPv6 column size overflow"));
  return Ipv6ColumnData{bytes.data, bytes.byte_len, ctx.rows()};
}

Result<UInt128> Ipv6ColumnData::get(uint64_t index) const {
  if (index >= rows) [[unlikely]] {
    return Error::protocol(cat("Ipv6ColumnData: index ", index, " out of bounds (len ", rows, ")"));
  }
  uint64_t offset;
  if (__builtin_mul_overflow(index, uint64_t{16}, &offset)) [[unlikely]] {
    return Error::protocol("IPv6 column offset overflow");
  }
  if (byte_len < 16 || byte_len - 16 < offset) [[unlikely]] {
    // Only a view whose fields disagree gets here; read_column never builds one.
    return Error::protocol(cat("Ipv6ColumnData: index ", index, " out of bounds (len ", rows, ")"));
  }
  UInt128 value = 0;
  for (int i = 0; i < 16; ++i) value = (value << 8) | data[offset + i];
  return value;
}

// ---- FixedString and Bool
// -------------------------------------------------------------------------

Result<std::span<const uint8_t>> FixedStringColumnData::get(uint64_t index) const {
  // rows * width == byte_len holds for every view the reader builds, so the row lies inside.
  if (index >= rows) [[unlikely]] {
    return Error::protocol(
        cat("FixedStringColumnData: index ", index, " out of bounds (len ", rows, ")"));
  }
  return std::span<const uint8_t>(data + index * width, width);
}

Result<bool> BoolColumnData::get(uint64_t index) const {
  if (index >= rows) [[unlikely]]
    return Error::protocol("BoolColumnData: index out of bounds");
  return data[index] != 0;
}

// ---- JSON
// -------------------------------------------------------------------------------------------

Result<JsonColumnData> JsonColumnData::read_column(ReadColumnContext& ctx) {
  JsonColumnData out;
  const uint64_t rows = ctx.rows();
  if (rows == 0) return out;
  // Every row takes at least its prefix byte, so a count beyond the remaining bytes cannot
  // succeed; the reservation stays within what the body could hold.
  out.ends.reserve(std::min<uint64_t>(rows, ctx.remaining()));
  for (uint64_t row = 0; row < rows; ++row) {
    uint64_t prefix = 0;
    TW_ASSIGN_OR_RETURN(uint64_t length, detail::decode_length_prefix(peek_rest(ctx), 0, prefix));
    uint64_t start;
    if (__builtin_add_overflow(ctx.pos(), prefix, &start)) [[unlikely]] {
      return Error::protocol("JSON column position overflow");
    }
    TW_TRY(ctx.read_exact(prefix));
    TW_ASSIGN_OR_RETURN(auto bytes, ctx.read_exact(length));
    out.text.insert(out.text.end(), bytes.begin(), bytes.end());
    out.ends.push_back(out.text.size());
  }
  return out;
}

Result<std::span<const uint8_t>> JsonColumnData::get_bytes(uint64_t index) const {
  if (index >= ends.size()) [[unlikely]]
    return Error::protocol("JsonColumnData: index out of range");
  uint64_t start = index == 0 ? 0 : ends[index - 1];
  uint64_t end = ends[index];
  if (end < start || end > text.size()) [[unlikely]] {
    return Error::protocol("JsonColumnData: invalid byte range");
  }
  return std::span<const uint8_t>(text.data() + start, end - start);
}

Result<std::string> JsonColumnData::get_string(uint64_t index) const {
  TW_ASSIGN_OR_RETURN(auto bytes, get_bytes(index));
  return base::decode_utf8_lossy(bytes.data(), bytes.size());
}

// ---- Variant
// ----------------------------------------------------------------------------------------

Result<VariantColumnData> VariantColumnData::read_column(ReadColumnContext& ctx) {
  auto rest = peek_rest(ctx);
  if (rest.size() < 8) return VariantColumnData{{}, ctx.rows()};
  uint64_t mode;
  std::memcpy(&mode, rest.data(), 8);
  TW_TRY(ctx.read_exact(8));
  return read_body(ctx, mode);
}

Result<VariantColumnData> VariantColumnData::read_body(ReadColumnContext& ctx, uint64_t mode) {
  VariantColumnData out;
  out.rows = ctx.rows();
  auto rest = peek_rest(ctx);
  // Compact mode carries 16 further bytes before the data; every other mode one discriminator
  // byte per row. When those are not all there the data is left empty.
  const uint64_t skip = mode == 1 ? 16 : out.rows;
  if (rest.size() < skip) return out;
  auto data = rest.subspan(skip);
  out.data.assign(data.begin(), data.end());
  TW_TRY(ctx.read_exact(ctx.remaining()));
  return out;
}

}  // namespace tarnwick::column
