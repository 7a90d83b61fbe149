// State prefixes: the metadata that stands ahead of the rows of Variant members, Dynamic columns
// and the JSON and Dynamic types nested in them, and that fixes how the body after it is laid out.
//
// The column walker (column_walker.h) reads a prefix into a ColumnState tree that mirrors the
// column type one constructor at a time, then walks the body the tree describes. The tree keeps
// only what the body walk needs (Dynamic type names, version words, nested states); it lives while
// its column is walked.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

struct ColumnState;

// The state of one Dynamic column or one JSON path.
struct DynamicState {
  std::vector<std::string> type_names;  // as read, in wire order
  std::vector<ColumnState> states;      // one per type name, same order
  uint64_t version = 0;                 // 0, 1, 2 or 3
};

// One node per type constructor. Kinds without a prefix of their own are Plain.
struct ColumnState {
  enum class Kind : uint8_t {
    Plain,  // no state of its own; also the stand-in wherever a state does not match its type
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
  std::vector<ColumnState> children;
  // Dynamic: exactly one entry; Json: one per path, in path order.
  std::vector<DynamicState> dynamic;
  uint64_t version = 0;  // Json: the serialization version as read

  // Child `i` when this node is of kind `expected` and has one, else the shared Plain state.
  const ColumnState& child_or_plain(Kind expected, size_t i) const;

  static const ColumnState& plain();
};

// The most JSON paths and Dynamic type names one prefix may announce.
inline constexpr uint64_t kMaxPrefixEntries = 65536;

// Whether `type` has a state prefix anywhere inside (a Dynamic or JSON node).
bool has_state_prefix(const ColumnType& type);

// The byte length of the state prefixes of `types`, one after another, at the start of `bytes`
// (a column body as the block reader keeps it): how far a Variant's mode word stands from the
// start of its column.
base::Result<uint64_t> state_prefixes_length(std::span<const uint8_t> bytes,
                                             std::span<const ColumnType> types);

}  // namespace tarnwick::protocol
