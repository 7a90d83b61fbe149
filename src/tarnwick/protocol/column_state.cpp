#include "tarnwick/protocol/column_state.h"

#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_common.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using Kind = RawColumnState::Kind;

const RawColumnState& RawColumnState::plain() {
  static const RawColumnState kPlain;
  return kPlain;
}

const RawColumnState& RawColumnState::child_or_plain(Kind expected, size_t i) const {
  if (kind != expected || i >= children.size()) return plain();
  return children[i];
}

const DynamicRawState* RawColumnState::dynamic_state() const {
  if (kind != Kind::Dynamic || dynamic.empty()) return nullptr;
  return &dynamic.front();
}

bool has_state_prefix(const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::JSON:
    case TypeKind::Dynamic:
      return true;
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::Map:
    case TypeKind::Tuple:
    case TypeKind::LowCardinality:
    case TypeKind::Variant:
      for (const ColumnType& child : type.nested) {
        if (has_state_prefix(child)) return true;
      }
      return false;
    default:
      return false;
  }
}

namespace {

Result<DynamicRawState> read_dynamic_state(ByteSource& source, ByteBuffer& out, uint64_t& budget,
                                           uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  DynamicRawState state;
  TW_ASSIGN_OR_RETURN(state.version, read_u64_into(source, out, budget));
  switch (state.version) {
    case 0:
      return state;
    case 1: {
      TW_TRY(read_varint_into(source, out, budget));  // the type limit, not used
      TW_ASSIGN_OR_RETURN(state.type_names, read_dynamic_type_names_into(source, out, budget));
      TW_TRY(read_u64_into(source, out, budget));  // the variant version, not used
      break;
    }
    case 2:
    case 3: {
      TW_ASSIGN_OR_RETURN(state.type_names, read_dynamic_type_names_into(source, out, budget));
      break;
    }
    default:
      return Error::protocol(
          cat("unknown Dynamic subcolumn serialization version ", state.version));
  }
  // All names come first; then the prefix of each named type, in name order. The states are held
  // while the column is read, so they draw on its budget.
  TW_TRY(charge_budget(budget, state.type_names.size() * sizeof(RawColumnState), "column"));
  state.states.reserve(state.type_names.size());
  for (const std::string& name : state.type_names) {
    Result<ColumnType> type = parse_type_rec(name, 0);
    if (!type.ok()) [[unlikely]] {
      return Error::protocol(cat("bad dynamic type '", name, "': ", type.error().message()));
    }
    TW_ASSIGN_OR_RETURN(RawColumnState member,
                        read_column_state_prefix_into(source, *type, out, budget, depth + 1));
    state.states.push_back(std::move(member));
  }
  return state;
}

}  // namespace

Result<std::vector<std::string>> read_dynamic_type_names_into(ByteSource& source, ByteBuffer& out,
                                                              uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t count, read_varint_into(source, out, budget));
  TW_TRY(checked_count(count, "dynamic subcolumn types", kMaxPrefixEntries));
  // The list grows with the names actually read: room is never taken for a count alone. Each name
  // kept is charged to the column's budget beside its bytes.
  std::vector<std::string> names;
  for (uint64_t i = 0; i < count; ++i) {
    TW_TRY(charge_budget(budget, sizeof(std::string), "column"));
    TW_ASSIGN_OR_RETURN(std::string name,
                        read_string_into(source, out, "dynamic type length", budget));
    names.push_back(std::move(name));
  }
  return names;
}

Result<RawColumnState> read_dynamic_state_prefix_into(ByteSource& source, ByteBuffer& out,
                                                      uint64_t& budget, uint32_t depth) {
  RawColumnState node;
  node.kind = Kind::Dynamic;
  TW_ASSIGN_OR_RETURN(DynamicRawState state, read_dynamic_state(source, out, budget, depth));
  node.dynamic.push_back(std::move(state));
  return node;
}

Result<RawColumnState> read_json_state_prefix_into(ByteSource& source, ByteBuffer& out,
                                                   uint64_t& budget, uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  RawColumnState node;
  node.kind = Kind::Json;
  TW_ASSIGN_OR_RETURN(node.version, read_u64_into(source, out, budget));
  switch (node.version) {
    case 1:
    case 4:  // the string form: rows are texts, no paths
      return node;
    case 0: {
      TW_TRY(read_varint_into(source, out, budget));  // not used
      break;
    }
    case 3:
      break;
    default:
      return Error::protocol(cat("unknown JSON serialization version ", node.version));
  }
  TW_ASSIGN_OR_RETURN(uint64_t count, read_varint_into(source, out, budget));
  TW_TRY(checked_count(count, "JSON path", kMaxPrefixEntries));
  // All path names first (kept in the buffer only), then one Dynamic prefix per path.
  for (uint64_t i = 0; i < count; ++i) {
    TW_TRY(read_string_into(source, out, "JSON path length", budget));
  }
  // Every path has its name behind it by now; its state is charged before room is made for it.
  TW_TRY(charge_budget(budget, count * sizeof(DynamicRawState), "column"));
  node.dynamic.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    TW_ASSIGN_OR_RETURN(DynamicRawState path, read_dynamic_state(source, out, budget, depth + 1));
    node.dynamic.push_back(std::move(path));
  }
  return node;
}

Result<RawColumnState> read_column_state_prefix_into(ByteSource& source, const ColumnType& type,
                                                     ByteBuffer& out, uint64_t& budget,
                                                     uint32_t depth) {
  if (depth > kMaxTypeDepth) [[unlikely]]
    return nesting_too_deep_error();
  RawColumnState node;
  switch (type.kind) {
    case TypeKind::Nullable:
      node.kind = Kind::Nullable;
      break;
    case TypeKind::Array:
      node.kind = Kind::Array;
      break;
    case TypeKind::LowCardinality:
      node.kind = Kind::LowCardinality;
      break;
    case TypeKind::Map:
      node.kind = Kind::Map;
      break;
    case TypeKind::Tuple:
      node.kind = Kind::Tuple;
      break;
    case TypeKind::Variant:
      node.kind = Kind::Variant;
      break;
    case TypeKind::JSON:
      return read_json_state_prefix_into(source, out, budget, depth);
    case TypeKind::Dynamic:
      return read_dynamic_state_prefix_into(source, out, budget, depth);
    default:
      return node;  // Plain: no prefix
  }
  node.children.reserve(type.nested.size());
  for (const ColumnType& child : type.nested) {
    TW_ASSIGN_OR_RETURN(RawColumnState state,
                        read_column_state_prefix_into(source, child, out, budget, depth + 1));
    node.children.push_back(std::move(state));
  }
  return node;
}

Result<uint64_t> state_prefixes_length(std::span<const uint8_t> bytes,
                                       std::span<const ColumnType> types) {
  base::MemorySource source(bytes);
  ByteBuffer scratch;  // the readers append; only the consumed length matters here
  uint64_t budget = kColumnByteLimit;
  for (const ColumnType& type : types) {
    TW_TRY(read_column_state_prefix_into(source, type, scratch, budget, 1));
  }
  return static_cast<uint64_t>(bytes.size() - source.remaining());
}

}  // namespace tarnwick::protocol
