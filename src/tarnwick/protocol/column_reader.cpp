#include "tarnwick/protocol/column_reader.h"

#include <algorithm>
#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

namespace {

// ---- failure texts (built only when something fails) --------------------------------------------

[[gnu::cold]] Error budget_exhausted(std::string_view label) {
  return Error::protocol(cat(label, " cumulative byte length exceeds limit ", kColumnByteLimit));
}

[[gnu::cold]] Error read_too_long(uint64_t n) {
  return Error::protocol(cat("column byte length ", n, " exceeds limit ", kColumnByteLimit));
}

[[gnu::cold]] Error length_overflow(std::string_view label) {
  return Error::protocol(cat(label, " byte length overflow"));
}

[[gnu::cold]] Error length_over_limit(std::string_view label, uint64_t len) {
  return Error::protocol(cat(label, " byte length ", len, " exceeds limit ", kColumnByteLimit));
}

[[gnu::cold]] Error unsupported_kind(const ColumnType& type) {
  return Error::protocol(cat("streaming read unsupported for column type ", type.debug_string()));
}

// Decodes the length prefix of one string value at `p`, entirely inside [p, end). Returns the
// prefix size, or 0 when the prefix is not complete there or is not a plain, short form (the slow
// path then reads it byte by byte and reports whatever is wrong with it).
inline unsigned peek_length(const uint8_t* p, const uint8_t* end, uint64_t& len) {
  size_t avail = static_cast<size_t>(end - p);
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

// `rows` length-prefixed strings, kept exactly as on the wire. Whole runs of rows that lie in the
// source's buffered window (and within the budget) are checked in place and appended with one
// copy; a row that crosses the window's end, or that is wrong, goes through the byte-wise path,
// which produces the exact failure.
Status read_string_rows(ByteSource& source, uint64_t rows, std::string_view label, ByteBuffer& out,
                        uint64_t& budget) {
  uint64_t row = 0;
  while (row < rows) {
    auto window = source.buffered();
    const uint8_t* start = window.data();
    const uint8_t* limit = start + static_cast<size_t>(std::min<uint64_t>(budget, window.size()));
    const uint8_t* p = start;
    while (row < rows) {
      uint64_t len;
      unsigned prefix = peek_length(p, limit, len);
      if (prefix == 0 || len > kStringValueLimit) break;
      if (static_cast<uint64_t>(limit - p - prefix) < len) break;
      p += prefix + len;
      ++row;
    }
    if (size_t n = static_cast<size_t>(p - start); n != 0) {
      if (!out.try_reserve_more(n)) [[unlikely]]
        return Error::out_of_memory(n);
      out.append(start, n);
      source.consume(n);
      budget -= n;
    }
    if (row == rows) break;
    TW_ASSIGN_OR_RETURN(uint64_t len, read_varint_into(source, out, budget));
    if (len > kStringValueLimit) return string_over_limit(label, len);
    TW_TRY(read_exact_into(source, out, len, budget));
    ++row;
  }
  return {};
}

// Point (level 0), Ring (1), Polygon (2) and MultiPolygon (3): each level above Point is an array
// of the level below.
Status read_geo(ByteSource& source, unsigned level, uint64_t rows, ByteBuffer& out,
                uint64_t& budget) {
  if (rows == 0) return {};
  if (level == 0) {
    TW_TRY(read_fixed_into(source, rows, 8, kFixedLabel, out, budget));  // x values
    return read_fixed_into(source, rows, 8, kFixedLabel, out, budget);   // y values
  }
  TW_ASSIGN_OR_RETURN(uint64_t elements,
                      read_offsets_into(source, out, rows, "array offset", budget));
  return read_geo(source, level - 1, elements, out, budget);
}

Status read_body(ByteSource& source, const ColumnType& type, uint64_t rows, ByteBuffer& out,
                 uint64_t& budget, uint32_t depth, const BlockLayout& layout) {
  // Zero rows have no bytes, except in the older layout the body of a LowCardinality nested in
  // the column.
  if (rows == 0 && !(layout.empty_low_cardinality_body && has_low_cardinality(type))) return {};
  // A parsed type is never deeper than the grammar allows; a tree built by hand may be.
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();

  if (const unsigned width = plain_width(type.kind); width > 1) {
    return read_fixed_into(source, rows, width, kFixedLabel, out, budget);
  }
  switch (type.kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Bool:
    case TypeKind::Enum8:
    case TypeKind::Nothing:  // one placeholder byte per row on the wire
      return read_exact_into(source, out, rows, budget);

    case TypeKind::Decimal: {
      TW_ASSIGN_OR_RETURN(uint64_t width, checked_decimal_width(type.precision));
      return read_fixed_into(source, rows, width, kFixedLabel, out, budget);
    }

    case TypeKind::FixedString:
      return read_fixed_into(source, rows, type.length, "FixedString column", out, budget);

    case TypeKind::String:
      return read_string_rows(source, rows, "string value length", out, budget);

    case TypeKind::Nullable:
      TW_TRY(read_exact_into(source, out, rows, budget));  // null map, kept as read
      return read_body(source, type.inner(), rows, out, budget, depth + 1, layout);

    case TypeKind::Array: {
      TW_ASSIGN_OR_RETURN(uint64_t elements,
                          read_offsets_into(source, out, rows, "array offset", budget));
      return read_body(source, type.inner(), elements, out, budget, depth + 1, layout);
    }

    case TypeKind::Map: {
      TW_ASSIGN_OR_RETURN(uint64_t entries,
                          read_offsets_into(source, out, rows, "map offset", budget));
      TW_TRY(read_body(source, type.key(), entries, out, budget, depth + 1, layout));
      return read_body(source, type.value(), entries, out, budget, depth + 1, layout);
    }

    case TypeKind::Tuple:
      for (const ColumnType& member : type.nested) {
        TW_TRY(read_body(source, member, rows, out, budget, depth + 1, layout));
      }
      return {};

    case TypeKind::LowCardinality:
      return read_low_cardinality_into(source, type.inner(), rows, out, budget);

    case TypeKind::JSON: {
      // The serialization version is read and dropped: neither kept nor charged.
      uint64_t version;
      TW_TRY(source.read_exact(&version, sizeof version));
      if (version != 1 && version != 4) return bad_json_version(version);
      return read_string_rows(source, rows, "JSON string length", out, budget);
    }

    case TypeKind::Variant:
      return read_variant_into(source, type, rows, out, budget);

    case TypeKind::Dynamic:
      return read_dynamic_into(source, rows, out, budget);

    case TypeKind::Point:
      return read_geo(source, 0, rows, out, budget);
    case TypeKind::Ring:
      return read_geo(source, 1, rows, out, budget);
    case TypeKind::Polygon:
      return read_geo(source, 2, rows, out, budget);
    case TypeKind::MultiPolygon:
      return read_geo(source, 3, rows, out, budget);

    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
    case TypeKind::Other:
      return unsupported_kind(type);

    default:  // the wider plain kinds, read above
      break;
  }
  return unsupported_kind(type);
}

}  // namespace

Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, uint64_t& budget, const BlockLayout& layout) {
  if (rows == 0) return {};
  TW_TRY(read_low_cardinality_prefixes(source, type));
  return read_body(source, type, rows, out, budget, 0, layout);
}

// ---- appending primitives -----------------------------------------------------------------------

Status read_exact_into(ByteSource& source, ByteBuffer& out, uint64_t n, uint64_t& budget) {
  if (n == 0) return {};
  if (n > kColumnByteLimit) [[unlikely]]
    return read_too_long(n);
  if (budget < n) [[unlikely]]
    return budget_exhausted("column");
  if (!out.try_reserve_more(static_cast<size_t>(n))) [[unlikely]]
    return Error::out_of_memory(static_cast<size_t>(n));
  budget -= n;
  const size_t before = out.size();
  uint8_t* room = out.extend(static_cast<size_t>(n));
  Status read = source.read_exact(room, static_cast<size_t>(n));
  if (!read.ok()) [[unlikely]] {
    out.resize(before);
    return read;
  }
  return {};
}

Status read_fixed_into(ByteSource& source, uint64_t rows, uint64_t width, std::string_view label,
                       ByteBuffer& out, uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, width, label));
  return read_exact_into(source, out, n, budget);
}

Result<uint64_t> read_varint_into(ByteSource& source, ByteBuffer& out, uint64_t& budget) {
  auto next = [&]() -> Result<uint8_t> {
    TW_ASSIGN_OR_RETURN(uint8_t byte, source.read_u8());
    if (budget == 0) [[unlikely]]
      return budget_exhausted("column");
    --budget;
    out.push_back(byte);
    return byte;
  };
  return decode_varint(next, [] { return varint_overflow(); });
}

Result<std::string> read_string_into(ByteSource& source, ByteBuffer& out, std::string_view label,
                                     uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_varint_into(source, out, budget));
  if (len > kStringValueLimit) return string_over_limit(label, len);
  TW_TRY(read_exact_into(source, out, len, budget));
  const auto* text = out.data() + (out.size() - len);
  if (auto bad = base::validate_utf8(text, len)) [[unlikely]] {
    return Error::protocol(cat("invalid UTF-8 string: ", bad->to_string()));
  }
  return std::string(reinterpret_cast<const char*>(text), len);
}

Result<uint64_t> read_u64_into(ByteSource& source, ByteBuffer& out, uint64_t& budget) {
  TW_TRY(read_exact_into(source, out, 8, budget));
  uint64_t value;
  std::memcpy(&value, out.data() + out.size() - 8, 8);
  return value;
}

Result<uint64_t> read_offsets_into(ByteSource& source, ByteBuffer& out, uint64_t rows,
                                   std::string_view label, uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, 8, label));
  TW_TRY(read_exact_into(source, out, n, budget));
  const uint8_t* p = out.data() + (out.size() - n);
  uint64_t previous = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    uint64_t offset;
    std::memcpy(&offset, p + 8 * i, 8);
    if (offset > kOffsetTotalLimit || offset < previous) [[unlikely]] {
      return checked_monotonic_offset(previous, offset, label).error();
    }
    previous = offset;
  }
  return previous;
}

// ---- checks without a source --------------------------------------------------------------------

bool is_budget_exhausted(const base::Error& error) {
  if (error.kind() != base::ErrorKind::Protocol) return false;
  const std::string_view text = error.message();
  const std::string tail = cat(" cumulative byte length exceeds limit ", kColumnByteLimit);
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

Status charge_budget(uint64_t& budget, uint64_t n, std::string_view label) {
  if (budget < n) return budget_exhausted(label);
  budget -= n;
  return {};
}

Result<uint64_t> checked_column_len(uint64_t rows, uint64_t width, std::string_view label) {
  uint64_t len;
  if (__builtin_mul_overflow(rows, width, &len)) [[unlikely]]
    return length_overflow(label);
  if (len > kColumnByteLimit) [[unlikely]]
    return length_over_limit(label, len);
  return len;
}

Result<uint64_t> checked_column_bytes(uint64_t so_far, uint64_t add) {
  constexpr std::string_view kLabel = "LowCardinality materialized column";
  uint64_t sum;
  if (__builtin_add_overflow(so_far, add, &sum)) [[unlikely]] {
    return Error::protocol(cat(kLabel, " cumulative byte length overflow"));
  }
  if (sum > kColumnByteLimit) [[unlikely]] {
    return Error::protocol(
        cat(kLabel, " cumulative byte length ", sum, " exceeds limit ", kColumnByteLimit));
  }
  return sum;
}

Result<uint64_t> checked_monotonic_offset(uint64_t previous, uint64_t offset,
                                          std::string_view label) {
  if (offset > kOffsetTotalLimit) [[unlikely]] {
    return Error::protocol(cat(label, " total ", offset, " exceeds limit ", kOffsetTotalLimit));
  }
  if (offset < previous) [[unlikely]] {
    return Error::protocol(cat(label, " decreased from ", previous, " to ", offset));
  }
  return offset;
}

}  // namespace tarnwick::protocol
