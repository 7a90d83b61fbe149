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
#include <optional>
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

// What a charge pays for: bytes kept as the body, memory held with it, or memory taken while it is
// read and given back (a LowCardinality's dictionary and indexes).
enum class Charge : uint8_t { Kept, Held, Passing };

// What a reading does at a charge its block refuses: fails there, or notes it and steps over the
// rest of the column within its own bound, keeping nothing more, so the block can be read on.
enum class Refused : uint8_t { Fail, StepOver };

// What a block grants one column's reading.
struct ColumnGrant {
  uint64_t room = 0;  // what the reading may charge: bytes it keeps and memory it holds
  // What the block's data limit has left for the bytes kept, where a refused column is stepped
  // over (elsewhere the block settles its data once the column is read).
  uint64_t data_room = UINT64_MAX;
  // What the values without bytes that Array and Map elements make may take apart from `room`:
  // what the block's held bytes have left. None: they draw on `room`.
  std::optional<uint64_t> values_room;
};

// A charge that the block's limits refused, and how much of its room the reading had used then
// (nothing is kept from then on).
struct Refusal {
  Charge charge;
  uint64_t size;
  uint64_t used;
};

// A column's share of its block's limits as its reading draws on it: what the block granted, the
// room left, and what the reading reports.
struct ColumnBudget {
  ColumnGrant grant;
  uint64_t room = 0;
  uint64_t kept = 0;     // the bytes kept as the column's body
  uint64_t stepped = 0;  // what the column would have kept of what it stepped over
  uint64_t values = 0;   // charged apart from the room for values without bytes
  std::optional<Refusal> refusal;

  explicit ColumnBudget(const ColumnGrant& grant) : grant(grant), room(grant.room) {}
  static ColumnBudget of(uint64_t room) { return ColumnBudget(ColumnGrant{room, UINT64_MAX, {}}); }
  uint64_t used() const { return grant.room - room; }
  // Whether a charge past the room is the block's to refuse: it granted less than the column's
  // own bound.
  bool block_bounded() const { return grant.room < kColumnByteLimit; }
  // Charges `n` to the room. One past it that the block's limits refuse (where it granted less than
  // the column's own bound) is noted as the refusal; either way it fails.
  Status charge(uint64_t n, Charge what);
  // Charges `n` for values without bytes: apart from the room where the block grants them one,
  // past which the charge is noted as the block's refusal and fails.
  Status charge_values(uint64_t n);
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
                             ByteBuffer* lc_indexes = nullptr, Refused on_refusal = Refused::Fail);
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
// rows * width, refused on overflow or above kColumnByteLimit.
Result<uint64_t> checked_column_len(uint64_t rows, uint64_t width, std::string_view label);
// so_far + add, refused on overflow or above kColumnByteLimit.
Result<uint64_t> checked_column_bytes(uint64_t so_far, uint64_t add);
// `offset`, refused above kOffsetTotalLimit or below `previous`.
Result<uint64_t> checked_monotonic_offset(uint64_t previous, uint64_t offset,
                                          std::string_view label);

}  // namespace tarnwick::protocol
