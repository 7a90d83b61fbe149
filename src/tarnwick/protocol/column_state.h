// State prefixes: the metadata that stands ahead of the rows of Variant members, Dynamic columns
// and the JSON and Dynamic types nested in them, and that fixes how the body after it is laid out.
//
// The readers append every prefix byte to the block buffer, in wire order and charged to the
// column budget, and return a tree that mirrors the column type one constructor at a time. The
// tree keeps only what the body readers need (Dynamic type names, version words, nested states);
// it lives while its column is read and is dropped after the body.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {

struct RawColumnState;

// The state of one Dynamic column.
struct DynamicRawState {
  std::vector<std::string> type_names;  // as read, in wire order
  std::vector<RawColumnState> states;   // one per type name, same order
  uint64_t version = 0;                 // 0, 1, 2 or 3
};

// One node per type constructor. Kinds without a prefix of their own are Plain.
struct RawColumnState {
  enum class Kind : uint8_t {
    Plain,
    Nullable,
    Array,
    Map,
    Tuple,
    LowCardinality,
    Variant,
    Dynamic,
    Json
  };

  Kind kind = Kind::Plain;
  // Nullable, Array, LowCardinality: {inner}; Map: {key, value}; Tuple, Variant: the members.
  std::vector<RawColumnState> children;
  // Dynamic: exactly one entry; Json: one per path, in path order.
  std::vector<DynamicRawState> dynamic;
  uint64_t version = 0;  // Json: the serialization version as read

  // Child `i` when this node is of kind `expected` and has one, else the shared Plain state.
  const RawColumnState& child_or_plain(Kind expected, size_t i) const;
  // The Dynamic state of a Dynamic node, else nullptr.
  const DynamicRawState* dynamic_state() const;

  static const RawColumnState& plain();
};

// Reads the state prefix of one column type (possibly nothing). `depth` counts the type levels
// walked above this one, across nested Dynamic and JSON prefixes; past kMaxTypeDepth the walk
// fails instead of recursing further.
Result<RawColumnState> read_column_state_prefix_into(ByteSource& source, const ColumnType& type,
                                                     ByteBuffer& out, uint64_t& budget,
                                                     uint32_t depth = 0);
// One Dynamic state prefix; the result is of kind Dynamic.
Result<RawColumnState> read_dynamic_state_prefix_into(ByteSource& source, ByteBuffer& out,
                                                      uint64_t& budget, uint32_t depth = 0);
// One JSON state prefix; the result is of kind Json.
Result<RawColumnState> read_json_state_prefix_into(ByteSource& source, ByteBuffer& out,
                                                   uint64_t& budget, uint32_t depth = 0);
// The type-name list of a Dynamic prefix: a counted list of strings.
Result<std::vector<std::string>> read_dynamic_type_names_into(ByteSource& source, ByteBuffer& out,
                                                              uint64_t& budget);

// The most JSON paths and Dynamic type names one prefix may announce.
inline constexpr uint64_t kMaxPrefixEntries = 65536;

// Whether `type` has a state prefix anywhere inside (a Dynamic or JSON node).
bool has_state_prefix(const ColumnType& type);

// The byte length of the state prefixes of `types`, one after another, at the start of `bytes`
// (a column body as the block reader keeps it): how far a Variant's mode word stands from the
// start of its column.
Result<uint64_t> state_prefixes_length(std::span<const uint8_t> bytes,
                                       std::span<const ColumnType> types);

}  // namespace tarnwick::protocol
