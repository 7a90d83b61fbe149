// The column skipper: given a whole Native block body held in memory and a position at the start
// of one column body, finds where that body ends without keeping or converting anything, checking
// the structure as it goes. The buffered block parser copies the range it finds.
//
// Plain, wrapped and geometric kinds are walked by skip_column_data; Variant, Dynamic and JSON
// with paths carry state prefixes ahead of their bodies, which are read into a SkipState tree and
// then drive the walk of the body (skip_body_raw and its helpers).
//
// Every operation takes the whole buffer and a caller-owned position, advanced in place; those that
// recurse also take `depth`, the nesting levels above the call (0 from outside the skipper), and
// refuse to go deeper than kMaxTypeDepth, Dynamic members included. Every
// failure is a protocol error; the position is then left where the failing step stood. Nothing
// here has a byte budget: fixed-width bodies (rows * width), strings, offsets and counts are
// bounded by their own limits, everything else by the buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

using Buffer = std::span<const uint8_t>;

// The most JSON paths and Dynamic type names one prefix may list (LowCardinality keys:
// kMaxLowCardinalityKeys).
inline constexpr uint64_t kMaxStateCount = 65536;

struct DynamicSkipState;

// The state prefix of one column type, one node per type constructor.
struct SkipState {
  enum class Kind : uint8_t {
    Plain,  // no state of its own; also the stand-in wherever a state does not match its type
    Nullable,
    Array,
    Map,
    Tuple,
    LowCardinality,
    Variant,
    Dynamic,
    Json,
  };

  Kind kind = Kind::Plain;
  // Nullable, Array, LowCardinality: {inner}; Map: {key, value}; Tuple, Variant: one per member.
  std::vector<SkipState> children;
  // Dynamic: {its state}; Json: one per path, in the order the paths were sent.
  std::vector<DynamicSkipState> dynamic;
  uint64_t version = 0;  // Json: the serialization version of the prefix (0, 1, 3 or 4)

  // The shared node that stands for every child of a state that does not match its type.
  static const SkipState& plain();
};

// The state of one Dynamic column or one JSON path.
struct DynamicSkipState {
  std::vector<std::string> type_names;  // member type names exactly as received
  std::vector<SkipState> states;        // one per name
  uint64_t version = 0;                 // 0, 1, 2 or 3
};

// ---- plain kinds --------------------------------------------------------------------------------

// Advances past the body of `rows` rows of `type`. Zero rows read nothing, whatever the type; a
// LowCardinality of no rows nested in it has a body only where `layout` says so.
base::Status skip_column_data(Buffer buf, uint64_t& pos, const ColumnType& type, uint64_t rows,
                              uint32_t depth = 0, const BlockLayout& layout = {});

// Moves `pos` on by `n` bytes, all of which must lie in a buffer of `len` bytes.
base::Status advance_pos(uint64_t len, uint64_t& pos, uint64_t n);
// rows * width, refused on overflow or above kColumnByteLimit (label "column byte length").
base::Result<uint64_t> checked_len(uint64_t rows, uint64_t width);
// An unsigned 64-bit little-endian word; `label` names the field read.
base::Result<uint64_t> read_u64_le(Buffer buf, uint64_t& pos, std::string_view label);
// `rows` cumulative offsets (each checked as the keeping reader checks them); the last one.
base::Result<uint64_t> skip_offsets(Buffer buf, uint64_t& pos, uint64_t rows,
                                    std::string_view label);
// `count`, refused above kMaxStateCount.
base::Result<uint64_t> checked_count(uint64_t count, std::string_view label);
// `rows` length-prefixed strings; the bytes are not checked for UTF-8.
base::Status skip_string_rows(Buffer buf, uint64_t& pos, uint64_t rows, std::string_view label);
// The string form of a JSON body: the version word (1 or 4), then one string per row.
base::Status skip_materialized_json(Buffer buf, uint64_t& pos, uint64_t rows);
// Whether a JSON type occurs inside `type`; with below = false a bare JSON does not count.
bool nested_json_below(const ColumnType& type, bool below);

// A LowCardinality body of `rows` rows of `inner` that carries its key version in line (as a
// Variant or Dynamic member does), stepped over with the dictionary's state from the enclosing
// prefix. A column of plain kinds has every key version up front instead: skip_column_data reads
// them first.
base::Status skip_lc_column(Buffer buf, uint64_t& pos, const ColumnType& inner, uint64_t rows,
                            const SkipState& dictionary_state, uint32_t depth = 0);

// ---- kinds with state prefixes ------------------------------------------------------------------

// Reads the state prefix of a column of `type` (nothing for types without one).
base::Result<SkipState> skip_state_prefix(Buffer buf, uint64_t& pos, const ColumnType& type,
                                          uint32_t depth = 0);
// Reads a JSON prefix: a Json node with its path states and version.
base::Result<SkipState> skip_json_state(Buffer buf, uint64_t& pos, uint32_t depth = 0);
// Reads a Dynamic prefix.
base::Result<DynamicSkipState> skip_dynamic_state(Buffer buf, uint64_t& pos, uint32_t depth = 0);
// A counted list of UTF-8 type names.
base::Result<std::vector<std::string>> read_type_names(Buffer buf, uint64_t& pos);

// Steps over a body (rows >= 1) whose prefix has been read into `state`.
base::Status skip_body_raw(Buffer buf, uint64_t& pos, const ColumnType& type,
                           const SkipState& state, uint64_t rows, uint32_t depth = 0);
// A Variant body; `states` may be shorter than `types` (missing ones are plain).
base::Status skip_variant_body(Buffer buf, uint64_t& pos, const std::vector<ColumnType>& types,
                               const std::vector<SkipState>& states, uint64_t rows,
                               uint32_t depth = 0);
// A Dynamic body (rows >= 1).
base::Status skip_dynamic_body(Buffer buf, uint64_t& pos, const DynamicSkipState& state,
                               uint64_t rows, uint32_t depth = 0);
// The member bodies of a Dynamic body, `counts` rows each, in name order.
base::Status skip_counted_subcolumns(Buffer buf, uint64_t& pos, const DynamicSkipState& state,
                                     const std::vector<uint64_t>& counts, uint32_t depth = 0);

}  // namespace tarnwick::protocol
