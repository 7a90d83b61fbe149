// State prefixes: the metadata that stands ahead of every body byte of a column (LowCardinality key
// versions, Variant mode words, Dynamic and JSON prefixes, in the order of the type tree), and
// that fixes how the body after it is laid out.
//
// The column walker (column_walker.h) reads the prefix of a column's whole type tree into a
// ColumnState tree that mirrors the column type one constructor at a time, then walks the body the
// tree describes. The tree keeps
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
  std::vector<ColumnType> types;    // the type names as parsed, in wire order
  std::vector<ColumnState> states;  // one per type, same order
  uint64_t version = 0;             // 0, 1, 2 or 3
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
  uint64_t version = 0;  // Json: the serialization version as read; Variant: the mode word

  // Child `i` when this node is of kind `expected` and has one, else the shared Plain state.
  const ColumnState& child_or_plain(Kind expected, size_t i) const;

  static const ColumnState& plain();
};

// The most JSON paths and Dynamic type names one prefix may announce.
inline constexpr uint64_t kMaxPrefixEntries = 65536;

// Whether a kept column of `type` starts with prefix bytes: whether a Variant or Dynamic stands in
// it outside LowCardinality dictionaries.
bool keeps_state_prefix(const ColumnType& type);

// The state prefix at the start of `bytes`, a kept column of `type` (of at least one row): its
// tree and its length.
struct KeptPrefix {
  ColumnState state;
  uint64_t length = 0;
};
base::Result<KeptPrefix> read_kept_prefix(std::span<const uint8_t> bytes, const ColumnType& type);

// The length of the kept body of `rows` rows of a Variant or Dynamic `type` at the start of
// `bytes`, laid out as `state` (from the column's prefix) says.
base::Result<uint64_t> kept_body_length(std::span<const uint8_t> bytes, const ColumnType& type,
                                        const ColumnState& state, uint64_t rows);

}  // namespace tarnwick::protocol
