// The skipper's nested-state half: reads the state prefixes of Dynamic and JSON columns (and of
// every type holding one) into a SkipState tree, then walks the Variant, Dynamic and JSON bodies
// that depend on them. Member bodies of plain kinds go back to skip_column_data.
#include <cstring>
#include <utility>

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/skip_column.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

// The i-th child of `state` when it is a node of `kind` that has one; the plain node otherwise.
const SkipState& child(const SkipState& state, SkipState::Kind kind, size_t i) {
  if (state.kind == kind && i < state.children.size()) return state.children[i];
  return SkipState::plain();
}

Result<ColumnType> parse_member_type(const std::string& name) {
  auto parsed = parse_type_rec(name, 0);
  if (!parsed.ok()) [[unlikely]] {
    return Error::protocol(cat("bad dynamic type '", name, "': ", parsed.error().message()));
  }
  return parsed;
}

// A node of `kind` whose children are the prefixes of `types`, in order.
Result<SkipState> node_of(Buffer buf, uint64_t& pos, SkipState::Kind kind,
                          const std::vector<ColumnType>& types, uint32_t depth) {
  SkipState node;
  node.kind = kind;
  node.children.reserve(types.size());
  for (const ColumnType& t : types) {
    TW_ASSIGN_OR_RETURN(SkipState c, skip_state_prefix(buf, pos, t, depth + 1));
    node.children.push_back(std::move(c));
  }
  return node;
}

// Steps over `rows` discriminators of `width` bytes (1, 2 or 4) and counts the rows of each member.
Status count_discriminators(Buffer buf, uint64_t& pos, uint64_t rows, unsigned width,
                            uint64_t version, std::vector<uint64_t>& counts) {
  const uint64_t n = counts.size();
  uint64_t bytes = rows;  // the deprecated form has no byte-length limit
  if (version != 1) {
    TW_ASSIGN_OR_RETURN(bytes, checked_len(rows, width));
  }
  const uint64_t start = pos;
  TW_TRY(advance_pos(buf.size(), pos, bytes));
  const uint8_t* p = buf.data() + start;
  for (uint64_t i = 0; i < rows; ++i) {
    uint32_t d = 0;
    std::memcpy(&d, p + i * width, width);  // little-endian host
    if (d < n) {
      ++counts[d];
    } else if (version == 1 && d != 255) [[unlikely]] {
      return Error::protocol(
          cat("deprecated Dynamic discriminator ", d, " exceeds type count ", n));
    } else if (version != 1 && d > n) [[unlikely]] {
      return Error::protocol(cat("Dynamic discriminator ", d, " exceeds type count ", n));
    }
  }
  return {};
}

}  // namespace

const SkipState& SkipState::plain() {
  static const SkipState node;
  return node;
}

Result<SkipState> skip_state_prefix(Buffer buf, uint64_t& pos, const ColumnType& type,
                                    uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  using K = SkipState::Kind;
  switch (type.kind) {
    case TypeKind::Nullable:
      return node_of(buf, pos, K::Nullable, type.nested, depth);
    case TypeKind::Array:
      return node_of(buf, pos, K::Array, type.nested, depth);
    case TypeKind::Map:
      return node_of(buf, pos, K::Map, type.nested, depth);
    case TypeKind::Tuple:
      return node_of(buf, pos, K::Tuple, type.nested, depth);
    case TypeKind::LowCardinality:  // its version word is read with its body
      return node_of(buf, pos, K::LowCardinality, type.nested, depth);
    case TypeKind::Variant:  // its mode word is read with its body
      return node_of(buf, pos, K::Variant, type.nested, depth);
    case TypeKind::Dynamic: {
      SkipState node;
      node.kind = K::Dynamic;
      TW_ASSIGN_OR_RETURN(DynamicSkipState state, skip_dynamic_state(buf, pos, depth + 1));
      node.dynamic.push_back(std::move(state));
      return node;
    }
    case TypeKind::JSON:
      return skip_json_state(buf, pos, depth + 1);
    default:
      return SkipState();
  }
}

Result<SkipState> skip_json_state(Buffer buf, uint64_t& pos, uint32_t depth) {
  SkipState node;
  node.kind = SkipState::Kind::Json;
  TW_ASSIGN_OR_RETURN(node.version, read_u64_le(buf, pos, "JSON serialization version"));
  if (node.version == 1 || node.version == 4) return node;
  if (node.version != 0 && node.version != 3) [[unlikely]] {
    return Error::protocol(cat("unknown JSON serialization version ", node.version));
  }
  if (node.version == 0) TW_TRY(parse_varint(buf, pos));  // not used
  TW_ASSIGN_OR_RETURN(uint64_t paths, parse_varint(buf, pos));
  TW_TRY(checked_count(paths, "JSON path"));
  for (uint64_t i = 0; i < paths; ++i) TW_TRY(parse_string_bytes(buf, pos));  // names: dropped
  // Each name took at least one byte, so the count is now bounded by the buffer too.
  node.dynamic.reserve(static_cast<size_t>(paths));
  for (uint64_t i = 0; i < paths; ++i) {
    TW_ASSIGN_OR_RETURN(DynamicSkipState state, skip_dynamic_state(buf, pos, depth + 1));
    node.dynamic.push_back(std::move(state));
  }
  return node;
}

Result<DynamicSkipState> skip_dynamic_state(Buffer buf, uint64_t& pos, uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  DynamicSkipState state;
  TW_ASSIGN_OR_RETURN(state.version, read_u64_le(buf, pos, "Dynamic serialization version"));
  if (state.version > 3) [[unlikely]] {
    return Error::protocol(cat("unknown Dynamic subcolumn serialization version ", state.version));
  }
  if (state.version == 1) TW_TRY(parse_varint(buf, pos));  // not used
  if (state.version != 0) {
    TW_ASSIGN_OR_RETURN(state.type_names, read_type_names(buf, pos));
  }
  if (state.version == 1) TW_TRY(read_u64_le(buf, pos, "Dynamic variant version"));  // not used
  state.states.reserve(state.type_names.size());
  for (const std::string& name : state.type_names) {
    TW_ASSIGN_OR_RETURN(ColumnType type, parse_member_type(name));
    TW_ASSIGN_OR_RETURN(SkipState member, skip_state_prefix(buf, pos, type, depth + 1));
    state.states.push_back(std::move(member));
  }
  return state;
}

Result<std::vector<std::string>> read_type_names(Buffer buf, uint64_t& pos) {
  TW_ASSIGN_OR_RETURN(uint64_t count, parse_varint(buf, pos));
  TW_TRY(checked_count(count, "dynamic subcolumn types"));
  std::vector<std::string> names;
  for (uint64_t i = 0; i < count; ++i) {
    TW_ASSIGN_OR_RETURN(auto bytes, parse_string_bytes(buf, pos));
    if (auto bad = base::validate_utf8(bytes.data(), bytes.size())) [[unlikely]] {
      return Error::protocol(cat("dynamic type name utf8: ", bad->to_string()));
    }
    names.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  return names;
}

Status skip_body_raw(Buffer buf, uint64_t& pos, const ColumnType& type, const SkipState& state,
                     uint64_t rows, uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  using K = SkipState::Kind;
  switch (type.kind) {
    case TypeKind::Nullable:
      TW_TRY(advance_pos(buf.size(), pos, rows));  // null map
      return skip_body_raw(buf, pos, type.inner(), child(state, K::Nullable, 0), rows, depth + 1);

    case TypeKind::Array: {
      TW_ASSIGN_OR_RETURN(uint64_t elements, skip_offsets(buf, pos, rows, "array offset"));
      if (elements == 0) return {};
      return skip_body_raw(buf, pos, type.inner(), child(state, K::Array, 0), elements, depth + 1);
    }

    case TypeKind::Map: {
      TW_ASSIGN_OR_RETURN(uint64_t entries, skip_offsets(buf, pos, rows, "map offset"));
      if (entries == 0) return {};
      TW_TRY(skip_body_raw(buf, pos, type.key(), child(state, K::Map, 0), entries, depth + 1));
      return skip_body_raw(buf, pos, type.value(), child(state, K::Map, 1), entries, depth + 1);
    }

    case TypeKind::Tuple:
      for (size_t i = 0; i < type.nested.size(); ++i) {
        TW_TRY(skip_body_raw(buf, pos, type.nested[i], child(state, K::Tuple, i), rows, depth + 1));
      }
      return {};

    case TypeKind::LowCardinality:
      return skip_lc_column(buf, pos, type.inner(), rows, child(state, K::LowCardinality, 0),
                            depth + 1);

    case TypeKind::Variant: {
      static const std::vector<SkipState> kNone;
      return skip_variant_body(buf, pos, type.nested,
                               state.kind == K::Variant ? state.children : kNone, rows, depth + 1);
    }

    case TypeKind::Dynamic:
      if (state.kind != K::Dynamic || state.dynamic.empty()) [[unlikely]]
        return Error::protocol("missing Dynamic state prefix");
      return skip_dynamic_body(buf, pos, state.dynamic[0], rows, depth + 1);

    case TypeKind::JSON:
      if (state.kind != K::Json) [[unlikely]]
        return Error::protocol("missing JSON state prefix");
      if (state.version == 1 || state.version == 4) {
        return skip_string_rows(buf, pos, rows, "JSON string length");
      }
      for (const DynamicSkipState& path : state.dynamic) {
        TW_TRY(skip_dynamic_body(buf, pos, path, rows, depth + 1));
      }
      if (state.version == 0) {  // then one 8-byte offset per row
        TW_ASSIGN_OR_RETURN(uint64_t n, checked_len(rows, 8));
        return advance_pos(buf.size(), pos, n);
      }
      return {};

    default:  // kinds without state of their own, geometry included
      return skip_column_data(buf, pos, type, rows, depth + 1);
  }
}

Status skip_variant_body(Buffer buf, uint64_t& pos, const std::vector<ColumnType>& types,
                         const std::vector<SkipState>& states, uint64_t rows, uint32_t depth) {
  auto state_of = [&](size_t i) -> const SkipState& {
    return i < states.size() ? states[i] : SkipState::plain();
  };
  TW_ASSIGN_OR_RETURN(uint64_t mode, read_u64_le(buf, pos, "Variant serialization mode"));
  const size_t n = types.size();
  if (n == 0) return {};
  if (mode == 0) {
    // Basic: one discriminator byte per row. 255 (NULL) and unknown bytes count for nothing, so a
    // byte names one of the first 255 members.
    const uint64_t start = pos;
    TW_TRY(advance_pos(buf.size(), pos, rows));
    std::vector<uint64_t> counts(n, 0);
    for (uint64_t i = 0; i < rows; ++i) {
      const uint8_t d = buf[start + i];
      if (d < n && d != 255) ++counts[d];
    }
    for (size_t i = 0; i < n; ++i) {
      if (counts[i] != 0) TW_TRY(skip_body_raw(buf, pos, types[i], state_of(i), counts[i], depth));
    }
    return {};
  }
  if (mode == 1) {  // compact: one member for a run of rows
    TW_ASSIGN_OR_RETURN(uint64_t d, read_u64_le(buf, pos, "Variant compact discriminator"));
    TW_ASSIGN_OR_RETURN(uint64_t k, read_u64_le(buf, pos, "Variant compact rows"));
    if (k > rows) [[unlikely]] {
      return Error::protocol(cat("Variant compact rows ", k, " exceeds row count ", rows));
    }
    if (d >= n || k == 0) return {};
    return skip_body_raw(buf, pos, types[d], state_of(d), k, depth);
  }
  return Error::protocol(cat("unknown Variant serialization mode ", mode));
}

Status skip_dynamic_body(Buffer buf, uint64_t& pos, const DynamicSkipState& state, uint64_t rows,
                         uint32_t depth) {
  const uint64_t n = state.type_names.size();
  if (n == 0 || state.version == 0) return {};
  unsigned width = 1;
  if (state.version == 2 || state.version == 3) {
    width = n < 256 ? 1 : n < 65536 ? 2 : 4;  // the prefix lists at most 65536 names
  } else if (state.version != 1) [[unlikely]] {
    return Error::protocol(cat("unknown Dynamic subcolumn serialization version ", state.version));
  }
  std::vector<uint64_t> counts(n, 0);
  TW_TRY(count_discriminators(buf, pos, rows, width, state.version, counts));
  return skip_counted_subcolumns(buf, pos, state, counts, depth);
}

Status skip_counted_subcolumns(Buffer buf, uint64_t& pos, const DynamicSkipState& state,
                               const std::vector<uint64_t>& counts, uint32_t depth) {
  for (size_t i = 0; i < counts.size() && i < state.type_names.size(); ++i) {
    if (counts[i] == 0) continue;
    TW_ASSIGN_OR_RETURN(ColumnType type, parse_member_type(state.type_names[i]));
    const SkipState& member = i < state.states.size() ? state.states[i] : SkipState::plain();
    TW_TRY(skip_body_raw(buf, pos, type, member, counts[i], depth + 1));
  }
  return {};
}

}  // namespace tarnwick::protocol
