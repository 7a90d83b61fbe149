#include "tarnwick/protocol/block_discarder.h"

#include <cstring>
#include <string>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::ByteSource;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

[[gnu::cold]] Error unsupported_kind(const ColumnType& type) {
  return Error::protocol(cat("discard unsupported for column type ", type.debug_string()));
}

Status discard_fixed(ByteSource& source, uint64_t rows, uint64_t width, std::string_view label) {
  TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, width, label));
  return discard_exact(source, n);
}

Status discard_strings(ByteSource& source, uint64_t rows, std::string_view label) {
  for (uint64_t row = 0; row < rows; ++row) {
    TW_ASSIGN_OR_RETURN(uint64_t len, read_varint(source));
    if (len > kStringValueLimit) [[unlikely]]
      return string_over_limit(label, len);
    TW_TRY(discard_exact(source, len));
  }
  return {};
}

// Point (level 0), Ring (1), Polygon (2) and MultiPolygon (3).
Status discard_geo(ByteSource& source, unsigned level, uint64_t rows) {
  if (rows == 0) return {};
  if (level == 0) {
    TW_TRY(discard_fixed(source, rows, 8, kFixedLabel));  // x values
    return discard_fixed(source, rows, 8, kFixedLabel);   // y values
  }
  TW_ASSIGN_OR_RETURN(uint64_t elements, discard_offsets(source, rows, "array offset"));
  return discard_geo(source, level - 1, elements);
}

Status discard_body(ByteSource& source, const ColumnType& type, uint64_t rows, uint32_t depth,
                    const BlockLayout& layout) {
  // Zero rows have no bytes, except in the older layout the body of a LowCardinality nested in
  // the column.
  if (rows == 0 && !(layout.empty_low_cardinality_body && has_low_cardinality(type))) return {};
  // A parsed type is never deeper than the grammar allows; a tree built by hand may be.
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();

  if (const unsigned width = plain_width(type.kind); width > 1) {
    return discard_fixed(source, rows, width, kFixedLabel);
  }
  switch (type.kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Bool:
    case TypeKind::Enum8:
    case TypeKind::Nothing:  // one placeholder byte per row, as the keeping reader reads it
      return discard_exact(source, rows);

    case TypeKind::Decimal: {
      TW_ASSIGN_OR_RETURN(uint64_t width, checked_decimal_width(type.precision));
      return discard_fixed(source, rows, width, kFixedLabel);
    }

    case TypeKind::FixedString:
      return discard_fixed(source, rows, type.length, "FixedString column");

    case TypeKind::String:
      return discard_strings(source, rows, "string value length");

    case TypeKind::Nullable:
      TW_TRY(discard_exact(source, rows));  // null map
      return discard_body(source, type.inner(), rows, depth + 1, layout);

    case TypeKind::Array: {
      TW_ASSIGN_OR_RETURN(uint64_t elements, discard_offsets(source, rows, "array offset"));
      return discard_body(source, type.inner(), elements, depth + 1, layout);
    }

    case TypeKind::Map: {
      TW_ASSIGN_OR_RETURN(uint64_t entries, discard_offsets(source, rows, "map offset"));
      TW_TRY(discard_body(source, type.key(), entries, depth + 1, layout));
      return discard_body(source, type.value(), entries, depth + 1, layout);
    }

    case TypeKind::Tuple:
      for (const ColumnType& member : type.nested) {
        TW_TRY(discard_body(source, member, rows, depth + 1, layout));
      }
      return {};

    case TypeKind::LowCardinality:
      return discard_low_cardinality(source, type.inner(), rows);

    case TypeKind::JSON: {
      uint64_t version;
      TW_TRY(source.read_exact(&version, sizeof version));
      if (version != 1 && version != 4) return bad_json_version(version);
      return discard_strings(source, rows, "JSON string length");
    }

    case TypeKind::Point:
      return discard_geo(source, 0, rows);
    case TypeKind::Ring:
      return discard_geo(source, 1, rows);
    case TypeKind::Polygon:
      return discard_geo(source, 2, rows);
    case TypeKind::MultiPolygon:
      return discard_geo(source, 3, rows);

    case TypeKind::Variant:
    case TypeKind::Dynamic:
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

Result<uint64_t> discard_block_body(ByteSource& source, const BlockLayout& layout) {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  for (uint64_t i = 0; i < counts.columns; ++i) {
    TW_ASSIGN_OR_RETURN(const ColumnRecord record, read_column_record(source, layout));
    TW_TRY(discard_column_data(source, record.type, counts.rows, layout));
  }
  return counts.rows;
}

Status discard_column_data(ByteSource& source, const ColumnType& type, uint64_t rows,
                           const BlockLayout& layout) {
  if (rows == 0) return {};
  TW_TRY(read_low_cardinality_prefixes(source, type));
  return discard_body(source, type, rows, 0, layout);
}

Status discard_exact(ByteSource& source, uint64_t n) {
  // Skipping straight over the source's window: nothing is copied and nothing allocated. The
  // count is split so that it fits size_t on every platform.
  constexpr uint64_t kStep = uint64_t{1} << 30;
  while (n != 0) {
    const uint64_t step = n < kStep ? n : kStep;
    TW_TRY(source.skip(static_cast<size_t>(step)));
    n -= step;
  }
  return {};
}

Result<uint64_t> discard_offsets(ByteSource& source, uint64_t rows, std::string_view label) {
  uint64_t previous = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    uint64_t offset;
    TW_TRY(source.read_exact(&offset, sizeof offset));
    TW_ASSIGN_OR_RETURN(previous, checked_monotonic_offset(previous, offset, label));
  }
  return previous;
}

}  // namespace tarnwick::protocol
