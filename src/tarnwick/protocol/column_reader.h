// Reads the body of one column of a Native data block from a byte source and appends it, in its
// wire layout, to the block buffer: the one growable vector that holds every column of a block.
//
// Every append draws on a per-column byte budget (kColumnByteLimit at the start of a top-level
// column) and every length or count read from the wire is checked before anything is reserved
// for it. The body is walked by the one column walker (column_walker.h) with a keeping sink. Also
// here: the appending primitives (bytes, varints, strings, 64-bit words) and the pure length checks
// that the other readers share.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

using base::ByteBuffer;
using base::ByteSource;
using base::Result;
using base::Status;

// The most bytes one appending read may take, one fixed-width body or offset array may span, and
// one column may append in total.
inline constexpr uint64_t kColumnByteLimit = 67108864;
// The longest string value (2^24 - 1 bytes).
inline constexpr uint64_t kStringValueLimit = 16777215;
// The largest cumulative Array or Map offset: the most elements one such column may hold.
inline constexpr uint64_t kOffsetTotalLimit = 10000000;

// A column's share of its block's limits, as its reading draws on it. `room` is what the reading
// may still charge: bytes it keeps and memory it holds while it reads. The block sets the first
// five fields; the reading sets the rest.
struct ColumnBudget {
  uint64_t granted = 0;  // room at the start
  uint64_t room = 0;
  // How much further than `room` the column's own bound (kColumnByteLimit) reaches: a charge past
  // room but within it is refused by the block's limits, not by the column's.
  uint64_t bound_slack = 0;
  // A charge the block refuses does not end the read: it is noted, and the rest of the column is
  // stepped over, kept nowhere, under the column's own bound (which stays a failure).
  bool walk_refused = false;
  // Where refused columns are walked: what the block's data limit has left for the bytes kept.
  uint64_t data_room = UINT64_MAX;

  uint64_t kept = 0;      // the bytes kept as the column's body
  bool stepping = false;  // a refusal was noted: nothing was kept from then on
  uint64_t stepped = 0;   // what the column would have kept of what was stepped over
  // The refused charge (whether it was memory held rather than bytes kept, its size) and, when
  // it was walked past, the room and kept bytes it met.
  bool refused_hold = false;
  uint64_t refused_charge = 0;
  uint64_t room_at_refusal = 0;
  uint64_t kept_at_refusal = 0;

  static ColumnBudget of(uint64_t room) { return {room, room}; }
  uint64_t used() const { return granted - room; }
};

// Appends the column of `rows` rows of `type`. Zero rows read nothing, whatever the type. A
// LowCardinality in a column of plain kinds is expanded into the plain body of its dictionary type;
// the Variant and Dynamic parts of a column are kept as they came, the state prefix of the whole
// type tree at the start of the column, before every body byte. Inside a column with rows, a
// LowCardinality of no rows has a body only where `layout` says so. With `lc_indexes` set, the
// indexes of a top-level LowCardinality of strings (String or Nullable(String)) that is kept are
// copied there, charged as held.
Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, ColumnBudget& budget, const BlockLayout& layout = {},
                             ByteBuffer* lc_indexes = nullptr);
// The same under a bare byte budget.
Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, uint64_t& budget, const BlockLayout& layout = {});

// ---- appending primitives -----------------------------------------------------------------------

// Appends exactly `n` bytes read from the source; on a failed read the vector keeps its length.
Status read_exact_into(ByteSource& source, ByteBuffer& out, uint64_t n, uint64_t& budget);
// Reads one varint, appending its bytes as read (each charged to the budget).
Result<uint64_t> read_varint_into(ByteSource& source, ByteBuffer& out, uint64_t& budget);
// Reads one length-prefixed UTF-8 string, appending prefix and bytes; returns a copy of the text.
Result<std::string> read_string_into(ByteSource& source, ByteBuffer& out, std::string_view label,
                                     uint64_t& budget);
// Appends 8 bytes and returns them as an unsigned little-endian integer.
Result<uint64_t> read_u64_into(ByteSource& source, ByteBuffer& out, uint64_t& budget);
// ---- checks without a source --------------------------------------------------------------------

Status charge_budget(uint64_t& budget, uint64_t n, std::string_view label);
// Whether `error` is a charge that the column's budget could not pay (charge_budget and the
// appending primitives), as opposed to anything wrong with the bytes.
bool is_budget_exhausted(const base::Error& error);
// rows * width, refused on overflow or above kColumnByteLimit.
Result<uint64_t> checked_column_len(uint64_t rows, uint64_t width, std::string_view label);
// so_far + add, refused on overflow or above kColumnByteLimit.
Result<uint64_t> checked_column_bytes(uint64_t so_far, uint64_t add);
// `offset`, refused above kOffsetTotalLimit or below `previous`.
Result<uint64_t> checked_monotonic_offset(uint64_t previous, uint64_t offset,
                                          std::string_view label);

}  // namespace tarnwick::protocol
