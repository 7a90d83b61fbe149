#include "tarnwick/protocol/variant_dynamic.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/low_cardinality.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using Kind = RawColumnState::Kind;

namespace {

// Offsets are read and checked in runs of this many, so that a long run is not one huge read.
constexpr uint64_t kOffsetRun = 8192;

// `rows` cumulative offsets, checked in turn; returns the last. Nothing bounds the run but the
// column budget, which read_exact_into charges before each read.
Result<uint64_t> read_offsets(ByteSource& source, uint64_t rows, std::string_view label,
                              ByteBuffer& out, uint64_t& budget) {
  uint64_t previous = 0;
  for (uint64_t left = rows; left != 0;) {
    const uint64_t n = std::min(left, kOffsetRun);
    TW_TRY(read_exact_into(source, out, n * 8, budget));
    const uint8_t* p = out.data() + (out.size() - n * 8);
    for (uint64_t i = 0; i < n; ++i) {
      TW_ASSIGN_OR_RETURN(previous, checked_monotonic_offset(previous, load_u64(p + 8 * i), label));
    }
    left -= n;
  }
  return previous;
}

// The dictionary-encoded form, kept as it arrives: header words, dictionary, index count, indexes.
Status read_low_cardinality_raw(ByteSource& source, const ColumnType& inner,
                                const RawColumnState& state, uint64_t rows, ByteBuffer& out,
                                uint64_t& budget, uint32_t depth) {
  TW_TRY(read_exact_into(source, out, 24, budget));
  const uint8_t* header = out.data() + (out.size() - 24);
  const uint64_t version = load_u64(header);
  const uint64_t flags = load_u64(header + 8);
  const uint64_t keys = load_u64(header + 16);
  if (version != 1) {
    return Error::protocol(cat("unsupported LowCardinality key serialization version ", version));
  }
  TW_TRY(checked_count(keys, "LowCardinality key", kMaxLowCardinalityKeys));
  if (keys != 0) {
    // A Nullable dictionary holds plain values (key 0 stands for NULL): no null map, and the
    // state of the Nullable's own member.
    const RawColumnState* dictionary_state = &state.child_or_plain(Kind::LowCardinality, 0);
    if (inner.kind == TypeKind::Nullable) {
      dictionary_state = &dictionary_state->child_or_plain(Kind::Nullable, 0);
    }
    TW_TRY(read_column_body_raw_into(source, lc_dictionary_type(inner), *dictionary_state, keys,
                                     out, budget, depth + 1));
  }
  TW_ASSIGN_OR_RETURN(uint64_t index_count, read_u64_into(source, out, budget));
  if (index_count != rows) {
    return Error::protocol(
        cat("LowCardinality index count ", index_count, " does not match row count ", rows));
  }
  return read_fixed_into(source, rows, uint64_t{1} << (flags & 3), "LowCardinality index", out,
                         budget);
}

Status read_json_raw(ByteSource& source, const RawColumnState& state, uint64_t rows,
                     ByteBuffer& out, uint64_t& budget, uint32_t depth) {
  if (state.kind != Kind::Json) return Error::protocol("missing JSON state prefix");
  switch (state.version) {
    case 1:
    case 4:
      for (uint64_t row = 0; row < rows; ++row) {
        TW_ASSIGN_OR_RETURN(uint64_t len, read_varint_into(source, out, budget));
        if (len > kStringValueLimit) return string_over_limit("JSON string length", len);
        TW_TRY(read_exact_into(source, out, len, budget));
      }
      return {};
    case 0:
    case 3:
      for (const DynamicRawState& path : state.dynamic) {
        TW_TRY(read_dynamic_body_into(source, path, rows, out, budget, depth + 1));
      }
      if (state.version == 3) return {};
      return read_fixed_into(source, rows, 8, "JSON offsets", out, budget);
    default:
      return Error::protocol(cat("unknown JSON serialization version ", state.version));
  }
}

// Member bodies in member order: `counts[i]` rows of the type `type_of(i)` gives, with state i.
template <class TypeOf>
Status read_members(ByteSource& source, size_t members, TypeOf type_of,
                    std::span<const RawColumnState> states, std::span<const uint64_t> counts,
                    ByteBuffer& out, uint64_t& budget, uint32_t depth) {
  const size_t n = std::min(members, counts.size());
  for (size_t i = 0; i < n; ++i) {
    if (counts[i] == 0) continue;
    TW_ASSIGN_OR_RETURN(const ColumnType* type, type_of(i));
    const RawColumnState& state = i < states.size() ? states[i] : RawColumnState::plain();
    TW_TRY(read_column_body_raw_into(source, *type, state, counts[i], out, budget, depth));
  }
  return {};
}

// Reads `rows` discriminators of `width` bytes and counts the rows of each of `n` types. A value of
// n is a NULL row; above it is an error. Version 1 bodies (width 1, `deprecated`) mark NULL with
// 255.
Result<std::vector<uint64_t>> read_dynamic_discriminators(ByteSource& source, uint64_t n,
                                                          unsigned width, bool deprecated,
                                                          uint64_t rows, ByteBuffer& out,
                                                          uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t len, checked_column_len(rows, width, "Dynamic discriminators"));
  TW_TRY(read_exact_into(source, out, len, budget));
  const uint8_t* p = out.data() + (out.size() - len);
  std::vector<uint64_t> counts(static_cast<size_t>(n), 0);
  for (uint64_t row = 0; row < rows; ++row, p += width) {
    uint64_t d = 0;
    std::memcpy(&d, p, width);  // little-endian host
    if (d < n) {
      ++counts[static_cast<size_t>(d)];
    } else if (deprecated ? d != 255 : d != n) {
      return Error::protocol(cat(deprecated ? "deprecated " : "", "Dynamic discriminator ", d,
                                 " exceeds type count ", n));
    }
  }
  return counts;
}

}  // namespace

Status read_variant_body_into(ByteSource& source, std::span<const ColumnType> members,
                              std::span<const RawColumnState> states, uint64_t rows,
                              ByteBuffer& out, uint64_t& budget, uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  TW_ASSIGN_OR_RETURN(uint64_t mode, read_u64_into(source, out, budget));
  const uint64_t n = members.size();
  if (n == 0) return {};
  if (mode == 0) {
    TW_TRY(read_exact_into(source, out, rows, budget));
    const uint8_t* p = out.data() + (out.size() - rows);
    // A byte names one of the first 255 members; 255 itself marks NULL.
    std::vector<uint64_t> counts(static_cast<size_t>(std::min<uint64_t>(n, 255)), 0);
    for (uint64_t row = 0; row < rows; ++row) {
      if (p[row] < counts.size()) ++counts[p[row]];  // anything else (255: NULL) has no member
    }
    return read_members(
        source, members.size(), [&](size_t i) -> Result<const ColumnType*> { return &members[i]; },
        states, counts, out, budget, depth + 1);
  }
  if (mode == 1) {
    TW_ASSIGN_OR_RETURN(uint64_t d, read_u64_into(source, out, budget));
    TW_ASSIGN_OR_RETURN(uint64_t k, read_u64_into(source, out, budget));
    if (k > rows) {
      return Error::protocol(cat("Variant compact rows ", k, " exceeds row count ", rows));
    }
    if (d >= n || k == 0) return {};
    const RawColumnState& state = d < states.size() ? states[d] : RawColumnState::plain();
    return read_column_body_raw_into(source, members[d], state, k, out, budget, depth + 1);
  }
  return Error::protocol(cat("unknown Variant serialization mode ", mode));
}

Status read_dynamic_body_into(ByteSource& source, const DynamicRawState& state, uint64_t rows,
                              ByteBuffer& out, uint64_t& budget, uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  const uint64_t n = state.type_names.size();
  std::vector<uint64_t> counts;
  switch (state.version) {
    case 0:
      return {};
    case 1: {
      if (n == 0) return {};
      TW_ASSIGN_OR_RETURN(counts,
                          read_dynamic_discriminators(source, n, 1, true, rows, out, budget));
      break;
    }
    case 2:
    case 3: {
      if (n == 0) return {};
      const unsigned width = n < 256 ? 1 : n < 65536 ? 2 : n < (uint64_t{1} << 32) ? 4 : 8;
      TW_ASSIGN_OR_RETURN(counts,
                          read_dynamic_discriminators(source, n, width, false, rows, out, budget));
      break;
    }
    default:
      return Error::protocol(cat("unknown Dynamic serialization version ", state.version));
  }
  return read_dynamic_subcolumns_into(source, state.type_names, state.states, counts, out, budget,
                                      depth);
}

Status read_dynamic_subcolumns_into(ByteSource& source, std::span<const std::string> type_names,
                                    std::span<const RawColumnState> states,
                                    std::span<const uint64_t> counts, ByteBuffer& out,
                                    uint64_t& budget, uint32_t depth) {
  ColumnType parsed;
  auto type_of = [&](size_t i) -> Result<const ColumnType*> {
    Result<ColumnType> type = parse_type_rec(type_names[i], 0);
    if (!type.ok()) [[unlikely]] {
      return Error::protocol(
          cat("bad dynamic type '", type_names[i], "': ", type.error().message()));
    }
    parsed = std::move(type).value();
    return &parsed;
  };
  return read_members(source, type_names.size(), type_of, states, counts, out, budget, depth + 1);
}

Status read_column_body_raw_into(ByteSource& source, const ColumnType& type,
                                 const RawColumnState& state, uint64_t rows, ByteBuffer& out,
                                 uint64_t& budget, uint32_t depth) {
  if (rows == 0) return {};
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  const uint32_t next = depth + 1;
  switch (type.kind) {
    case TypeKind::Nothing:  // one placeholder byte per row, as in a top-level column
      return read_fixed_into(source, rows, 1, kFixedLabel, out, budget);
    case TypeKind::FixedString:
      return read_fixed_into(source, rows, type.length, "FixedString column", out, budget);
    case TypeKind::Decimal:
      if (!type.fixed_width()) return Error::protocol(cat("unknown type ", type.to_string()));
      return read_fixed_into(source, rows, *type.fixed_width(), kFixedLabel, out, budget);
    case TypeKind::String:
    case TypeKind::Other: {
      static const ColumnType kString = ColumnType::of(TypeKind::String);
      return read_column_data_into(source, kString, rows, out, budget);
    }
    case TypeKind::Nullable: {
      TW_TRY(read_exact_into(source, out, rows, budget));  // null map
      return read_column_body_raw_into(
          source, type.inner(), state.child_or_plain(Kind::Nullable, 0), rows, out, budget, next);
    }
    case TypeKind::Array: {
      TW_ASSIGN_OR_RETURN(uint64_t elements,
                          read_offsets(source, rows, "array offset", out, budget));
      return read_column_body_raw_into(source, type.inner(), state.child_or_plain(Kind::Array, 0),
                                       elements, out, budget, next);
    }
    case TypeKind::Map: {
      TW_ASSIGN_OR_RETURN(uint64_t entries, read_offsets(source, rows, "map offset", out, budget));
      TW_TRY(read_column_body_raw_into(source, type.key(), state.child_or_plain(Kind::Map, 0),
                                       entries, out, budget, next));
      return read_column_body_raw_into(source, type.value(), state.child_or_plain(Kind::Map, 1),
                                       entries, out, budget, next);
    }
    case TypeKind::Tuple: {
      for (size_t i = 0; i < type.nested.size(); ++i) {
        TW_TRY(read_column_body_raw_into(
            source, type.nested[i], state.child_or_plain(Kind::Tuple, i), rows, out, budget, next));
      }
      return {};
    }
    case TypeKind::LowCardinality:
      return read_low_cardinality_raw(source, type.inner(), state, rows, out, budget, depth);
    case TypeKind::JSON:
      return read_json_raw(source, state, rows, out, budget, depth);
    case TypeKind::Variant: {
      std::span<const RawColumnState> members;
      if (state.kind == Kind::Variant) members = state.children;
      return read_variant_body_into(source, type.nested, members, rows, out, budget, depth);
    }
    case TypeKind::Dynamic: {
      const DynamicRawState* dynamic = state.dynamic_state();
      if (dynamic == nullptr) return Error::protocol("missing Dynamic state prefix");
      return read_dynamic_body_into(source, *dynamic, rows, out, budget, depth);
    }
    case TypeKind::Point: {
      TW_TRY(read_fixed_into(source, rows, 8, kFixedLabel, out, budget));  // x values
      return read_fixed_into(source, rows, 8, kFixedLabel, out, budget);   // y values
    }
    case TypeKind::Ring:
    case TypeKind::Polygon:
    case TypeKind::MultiPolygon: {
      TW_ASSIGN_OR_RETURN(uint64_t elements,
                          read_offsets(source, rows, "array offset", out, budget));
      static const ColumnType kLevels[] = {ColumnType::of(TypeKind::Point),
                                           ColumnType::of(TypeKind::Ring),
                                           ColumnType::of(TypeKind::Polygon)};
      const size_t below = static_cast<size_t>(type.kind) - static_cast<size_t>(TypeKind::Ring);
      return read_column_body_raw_into(source, kLevels[below], RawColumnState::plain(), elements,
                                       out, budget, next);
    }
    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
      return Error::protocol(cat("raw capture does not support type ", type.to_string()));
    default:
      break;
  }
  // Every remaining kind has a fixed width per row.
  const std::optional<size_t> width = type.fixed_width();
  if (!width) return Error::protocol(cat("raw capture does not support type ", type.to_string()));
  return read_fixed_into(source, rows, *width, kFixedLabel, out, budget);
}

// ---- the top-level kinds handed on by the column reader -----------------------------------------

Status read_variant_into(ByteSource& source, const ColumnType& variant, uint64_t rows,
                         ByteBuffer& out, uint64_t& budget) {
  // Every member's prefix stands before anything else of the body, the mode word included.
  std::vector<RawColumnState> states;
  states.reserve(variant.nested.size());
  for (const ColumnType& member : variant.nested) {
    TW_ASSIGN_OR_RETURN(RawColumnState state,
                        read_column_state_prefix_into(source, member, out, budget, 1));
    states.push_back(std::move(state));
  }
  return read_variant_body_into(source, variant.nested, states, rows, out, budget);
}

Status read_dynamic_into(ByteSource& source, uint64_t rows, ByteBuffer& out, uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(RawColumnState state, read_dynamic_state_prefix_into(source, out, budget));
  return read_dynamic_body_into(source, *state.dynamic_state(), rows, out, budget);
}

}  // namespace tarnwick::protocol
