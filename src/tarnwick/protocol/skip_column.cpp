// The skipper's plain half: the dispatcher over column kinds, the measured steps it takes (byte
// runs, fixed-width bodies, offsets, strings, the string form of JSON) and the LowCardinality body.
#include "tarnwick/protocol/skip_column.h"

#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

constexpr std::string_view kLenLabel = "column byte length";

Status skip_fixed(Buffer buf, uint64_t& pos, uint64_t rows, uint64_t width) {
  TW_ASSIGN_OR_RETURN(uint64_t n, checked_len(rows, width));
  return advance_pos(buf.size(), pos, n);
}

// Point (level 0), Ring (1), Polygon (2) and MultiPolygon (3): each level above Point is an array
// of the level below.
Status skip_geo(Buffer buf, uint64_t& pos, unsigned level, uint64_t rows) {
  if (rows == 0) return {};
  if (level == 0) {
    TW_TRY(skip_fixed(buf, pos, rows, 8));  // x values
    return skip_fixed(buf, pos, rows, 8);   // y values
  }
  TW_ASSIGN_OR_RETURN(uint64_t elements, skip_offsets(buf, pos, rows, "array offset"));
  return skip_geo(buf, pos, level - 1, elements);
}

Status skip_key_version(Buffer buf, uint64_t& pos) {
  TW_ASSIGN_OR_RETURN(auto word, parse_bytes(buf, pos, 8));
  const uint64_t version = load_u64(word.data());
  if (version != 1) [[unlikely]] {
    return Error::protocol(cat("unsupported LowCardinality key serialization version ", version));
  }
  return {};
}

// The state prefix of a column of plain kinds: the key version of every LowCardinality in it,
// depth first, ahead of everything else of the body.
Status skip_key_versions(Buffer buf, uint64_t& pos, const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::LowCardinality:
      return skip_key_version(buf, pos);
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::Map:
    case TypeKind::Tuple:
      for (const ColumnType& member : type.nested) TW_TRY(skip_key_versions(buf, pos, member));
      return {};
    default:
      return {};
  }
}

// A LowCardinality body from its flags on. The dictionary holds values of
// lc_dictionary_type(inner): for Nullable(U), plain U values with key 0 standing for NULL.
Status skip_lc_body(Buffer buf, uint64_t& pos, const ColumnType& inner, uint64_t rows,
                    const SkipState& dictionary_state, uint32_t depth) {
  TW_ASSIGN_OR_RETURN(auto header, parse_bytes(buf, pos, 16));
  const uint64_t flags = load_u64(header.data());
  const uint64_t keys = load_u64(header.data() + 8);
  if (flags & 0x100) [[unlikely]]
    return Error::protocol("LowCardinality global dictionaries are not supported");
  if (!(flags & 0x200)) [[unlikely]]
    return Error::protocol("LowCardinality additional keys flag is missing");
  TW_TRY(limits::checked_count(keys, "LowCardinality key", kMaxLowCardinalityKeys));
  if (keys != 0) {
    const SkipState* state = &dictionary_state;  // a Nullable's own member's, for Nullable
    if (inner.kind == TypeKind::Nullable) {
      const bool has = state->kind == SkipState::Kind::Nullable && !state->children.empty();
      state = has ? &state->children[0] : &SkipState::plain();
    }
    TW_TRY(skip_body_raw(buf, pos, lc_dictionary_type(inner), *state, keys, depth));
  }
  TW_ASSIGN_OR_RETURN(auto count_bytes, parse_bytes(buf, pos, 8));
  const uint64_t index_count = load_u64(count_bytes.data());
  if (index_count != rows) [[unlikely]] {
    return Error::protocol(
        cat("LowCardinality index count ", index_count, " does not match row count ", rows));
  }
  return skip_fixed(buf, pos, rows, uint64_t{1} << (flags & 3));
}

}  // namespace

Status skip_column_data(Buffer buf, uint64_t& pos, const ColumnType& type, uint64_t rows,
                        uint32_t depth, const BlockLayout& layout) {
  // Zero rows have no bytes, except in the older layout the body of a LowCardinality nested in a
  // column with rows.
  if (rows == 0 &&
      (depth == 0 || !layout.empty_low_cardinality_body || !has_low_cardinality(type))) {
    return {};
  }
  // A parsed type is never deeper than the grammar allows; a tree built by hand may be.
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  if (depth == 0) TW_TRY(skip_key_versions(buf, pos, type));

  if (const unsigned width = plain_width(type.kind); width > 1)
    return skip_fixed(buf, pos, rows, width);
  switch (type.kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Bool:
    case TypeKind::Enum8:
    case TypeKind::Nothing:  // one placeholder byte per row
      return advance_pos(buf.size(), pos, rows);

    case TypeKind::Decimal: {
      TW_ASSIGN_OR_RETURN(uint64_t width, checked_decimal_width(type.precision));
      return skip_fixed(buf, pos, rows, width);
    }

    case TypeKind::FixedString:
      return skip_fixed(buf, pos, rows, type.length);

    case TypeKind::String:
    case TypeKind::Other:  // kept as rows of length-prefixed strings
      return skip_string_rows(buf, pos, rows, "string value length");

    case TypeKind::JSON:
      return skip_materialized_json(buf, pos, rows);

    case TypeKind::Nullable:
      TW_TRY(advance_pos(buf.size(), pos, rows));  // null map
      return skip_column_data(buf, pos, type.inner(), rows, depth + 1, layout);

    case TypeKind::Array: {
      TW_ASSIGN_OR_RETURN(uint64_t elements, skip_offsets(buf, pos, rows, "array offset"));
      return skip_column_data(buf, pos, type.inner(), elements, depth + 1, layout);
    }

    case TypeKind::Map: {
      TW_ASSIGN_OR_RETURN(uint64_t entries, skip_offsets(buf, pos, rows, "map offset"));
      TW_TRY(skip_column_data(buf, pos, type.key(), entries, depth + 1, layout));
      return skip_column_data(buf, pos, type.value(), entries, depth + 1, layout);
    }

    case TypeKind::Tuple:
      for (const ColumnType& member : type.nested) {
        TW_TRY(skip_column_data(buf, pos, member, rows, depth + 1, layout));
      }
      return {};

    case TypeKind::LowCardinality:
      return skip_lc_body(buf, pos, type.inner(), rows, SkipState::plain(), depth + 1);

    case TypeKind::Variant: {
      // Every member's prefix comes before the body, whose first field is the mode word.
      std::vector<SkipState> states;
      states.reserve(type.nested.size());
      for (const ColumnType& member : type.nested) {
        TW_ASSIGN_OR_RETURN(SkipState state, skip_state_prefix(buf, pos, member, depth + 1));
        states.push_back(std::move(state));
      }
      return skip_variant_body(buf, pos, type.nested, states, rows, depth + 1);
    }

    case TypeKind::Dynamic: {
      TW_ASSIGN_OR_RETURN(DynamicSkipState state, skip_dynamic_state(buf, pos, depth + 1));
      return skip_dynamic_body(buf, pos, state, rows, depth + 1);
    }

    case TypeKind::Point:
      return skip_geo(buf, pos, 0, rows);
    case TypeKind::Ring:
      return skip_geo(buf, pos, 1, rows);
    case TypeKind::Polygon:
      return skip_geo(buf, pos, 2, rows);
    case TypeKind::MultiPolygon:
      return skip_geo(buf, pos, 3, rows);

    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
    default:  // the wider plain kinds are stepped over above
      break;
  }
  return Error::protocol(
      cat(type.to_string(), " columns are not supported in buffered block reads"));
}

Status advance_pos(uint64_t len, uint64_t& pos, uint64_t n) {
  uint64_t end;
  if (__builtin_add_overflow(pos, n, &end)) [[unlikely]]
    return Error::protocol("buffer position overflow");
  if (end > len) [[unlikely]] {
    mark_ran_out(len, pos, end);
    return Error::protocol("unexpected end of buffer skipping column data");
  }
  pos = end;
  return {};
}

Result<uint64_t> checked_len(uint64_t rows, uint64_t width) {
  return checked_column_len(rows, width, kLenLabel);
}

Result<uint64_t> read_u64_le(Buffer buf, uint64_t& pos, std::string_view /*label*/) {
  TW_ASSIGN_OR_RETURN(auto bytes, parse_bytes(buf, pos, 8));
  return load_u64(bytes.data());
}

Result<uint64_t> skip_offsets(Buffer buf, uint64_t& pos, uint64_t rows, std::string_view label) {
  TW_ASSIGN_OR_RETURN(uint64_t n, checked_len(rows, 8));
  uint64_t end;
  if (__builtin_add_overflow(pos, n, &end)) [[unlikely]]
    return Error::protocol("buffer position overflow");
  if (end > buf.size()) [[unlikely]] {
    mark_ran_out(buf.size(), pos, end);
    return Error::protocol("unexpected end of buffer parsing array offsets");
  }
  const uint8_t* p = buf.data() + pos;
  uint64_t previous = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const uint64_t offset = load_u64(p + 8 * i);
    if (offset > kOffsetTotalLimit || offset < previous) [[unlikely]] {
      return checked_monotonic_offset(previous, offset, label).error();
    }
    previous = offset;
  }
  pos = end;
  return previous;
}

Result<uint64_t> checked_count(uint64_t count, std::string_view label) {
  return limits::checked_count(count, label, kMaxStateCount);
}

Status skip_string_rows(Buffer buf, uint64_t& pos, uint64_t rows, std::string_view label) {
  const uint64_t size = buf.size();
  for (uint64_t row = 0; row < rows; ++row) {
    uint64_t len;
    if (pos < size && buf[pos] < 0x80) {
      len = buf[pos++];
    } else {
      TW_ASSIGN_OR_RETURN(len, parse_varint(buf, pos));
      if (len > kStringValueLimit) [[unlikely]]
        return string_over_limit(label, len);
    }
    TW_TRY(advance_pos(size, pos, len));
  }
  return {};
}

Status skip_materialized_json(Buffer buf, uint64_t& pos, uint64_t rows) {
  TW_ASSIGN_OR_RETURN(uint64_t version, read_u64_le(buf, pos, "JSON version"));
  if (version != 1 && version != 4) [[unlikely]]
    return bad_json_version(version);
  return skip_string_rows(buf, pos, rows, "JSON string length");
}

bool nested_json_below(const ColumnType& type, bool below) {
  switch (type.kind) {
    case TypeKind::JSON:
      return below;
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::LowCardinality:
      return nested_json_below(type.inner(), true);
    case TypeKind::Map:
    case TypeKind::Tuple:
    case TypeKind::Variant:
      for (const ColumnType& member : type.nested) {
        if (nested_json_below(member, true)) return true;
      }
      return false;
    default:
      return false;
  }
}

Status skip_lc_column(Buffer buf, uint64_t& pos, const ColumnType& inner, uint64_t rows,
                      const SkipState& dictionary_state, uint32_t depth) {
  TW_TRY(skip_key_version(buf, pos));
  return skip_lc_body(buf, pos, inner, rows, dictionary_state, depth);
}

}  // namespace tarnwick::protocol
