// Bodies of Variant and Dynamic columns, read after their state prefixes (column_state.h) and
// appended to the block buffer byte for byte as they arrive: discriminators (or a Variant's compact
// record), then the member bodies in member order, each holding only its own rows.
//
// Member bodies are read by raw capture: a body reader driven by the type and its state tree that
// keeps LowCardinality dictionary-encoded, reads JSON in every form a state exists for, and reads
// unrecognised kinds with the String layout. Every reader here takes at least one row.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tarnwick/protocol/column_state.h"

namespace tarnwick::protocol {

// The mode word, then the discriminators or the compact record, then the member bodies. `states`
// holds one state per member, or fewer (the rest are Plain).
Status read_variant_body_into(ByteSource& source, std::span<const ColumnType> members,
                              std::span<const RawColumnState> states, uint64_t rows,
                              ByteBuffer& out, uint64_t& budget, uint32_t depth = 0);

// The discriminators of a Dynamic column whose prefix gave `state`, then its subcolumn bodies.
Status read_dynamic_body_into(ByteSource& source, const DynamicRawState& state, uint64_t rows,
                              ByteBuffer& out, uint64_t& budget, uint32_t depth = 0);

// The subcolumn bodies of a Dynamic column in type-name order, `counts[i]` rows of type i; a type
// without rows has no body and its name is not parsed.
Status read_dynamic_subcolumns_into(ByteSource& source, std::span<const std::string> type_names,
                                    std::span<const RawColumnState> states,
                                    std::span<const uint64_t> counts, ByteBuffer& out,
                                    uint64_t& budget, uint32_t depth = 0);

// Raw capture of `rows` rows of `type`, laid out as `state` says.
Status read_column_body_raw_into(ByteSource& source, const ColumnType& type,
                                 const RawColumnState& state, uint64_t rows, ByteBuffer& out,
                                 uint64_t& budget, uint32_t depth = 0);

}  // namespace tarnwick::protocol
