// Decodes one Native data block from a byte source into a Block: the block-info fields, the column
// and row counts, then per column its name, type name, custom-serialization flag and body. All
// bodies land in one buffer, which becomes the single shared allocation the columns slice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarnwick/base/buffer_pool.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

inline constexpr uint64_t kMaxBlockColumns = 65536;
inline constexpr uint64_t kMaxBlockRows = 10000000;

// The bytes one decoded block may take when its caller names no other limit.
inline constexpr uint64_t kDefaultBlockByteLimit = 268435456;
// What every row of every column costs at the least, whatever its column holds: what the caller's
// rendering of a cell takes (a pointer to it). A block without columns counts as one column.
inline constexpr uint64_t kRowCellCost = 8;
// What every block costs at the least, rows and columns aside: the Block and its slot in a
// growing list of blocks. A flood of empty blocks meets a byte limit through it.
inline constexpr uint64_t kBlockLeastCost = 128;
// What every column record costs beside its name and type text: its ColumnInfo and the record
// held while the block is read.
inline constexpr uint64_t kColumnRecordCost = 256;

// The record that stands ahead of each column body: name, type text and, when the layout has it,
// the custom-serialization flag, which must be 0 (a custom layout is refused by name), with the
// type parsed.
struct ColumnRecord {
  std::string name;
  std::string type_name;
  ColumnType type;
};
base::Result<ColumnRecord> read_column_record(base::ByteSource& source,
                                              const BlockLayout& layout = {});

// The bytes a block costs against a byte limit: kBlockLeastCost, then per column
// kColumnRecordCost, its name and type text, and the larger of its bytes and kRowCellCost per row.
uint64_t block_cost(const Block& block);

// A block's byte limit as its records and columns draw on it. The least cost of the block, of its
// column records and every column's floor (kRowCellCost per row) are charged when the counts are
// known; each name and type text is charged as its length is read, before it is taken; each column
// then gets its own limit or what the block has left, whichever is less, and pays the larger of
// what it took and its floor. A charge that crosses the limit fails with ResponseTooLarge whose
// count includes that charge (so it is above the limit).
class BlockAllowance {
 public:
  // Fails with ResponseTooLarge when the least costs alone exceed `limit`.
  static base::Result<BlockAllowance> start(uint64_t rows, uint64_t columns, uint64_t limit);
  // Reads the next column record (as read_column_record), its name and type text charged.
  base::Result<ColumnRecord> read_record(base::ByteSource& source, const BlockLayout& layout);
  // The budget of the next column.
  uint64_t column_budget() const;
  // Settles the column read with `given` = column_budget(), `budget` what it has left and `read`
  // its outcome: a charge the column could not pay because the block's allowance (not its own
  // limit) was short becomes ResponseTooLarge; any other failure passes unchanged.
  base::Status settle(uint64_t given, uint64_t budget, base::Status read);

 private:
  uint64_t limit_ = 0;
  uint64_t floor_ = 0;
  uint64_t left_ = 0;  // beyond the least costs and the floors of the columns not yet settled
};

// Decodes the block at the source. Everything the decoding takes (names and type texts, bodies,
// LowCardinality dictionaries and expansions, state prefixes) and the least costs are charged to
// `byte_limit` before the memory is taken, as block_cost counts them; a block that would cost more
// fails with ResponseTooLarge (the bytes it asked for in total, the limit), the source left inside
// the block. With `pool` set the block buffer starts from an allocation of that pool and goes back
// to it when the block's columns are all dropped.
base::Result<Block> read_block_body(base::ByteSource& source, const BlockLayout& layout = {},
                                    uint64_t byte_limit = kDefaultBlockByteLimit,
                                    base::BufferPool* pool = nullptr);

// Reads and drops the block-info field list (field 1: one byte, 2: four bytes, 3: a varint). Field
// number 0 ends it; so does any unknown number, after which the column count follows.
base::Status skip_block_info_from_reader(base::ByteSource& source);

// The start of a block body: the block info (dropped), then the column and row counts, each
// checked against its limit.
struct BlockCounts {
  uint64_t columns;
  uint64_t rows;
};
base::Result<BlockCounts> read_block_counts(base::ByteSource& source);

// `count` when it is at most `limit`, else the protocol error "{label} count {count} exceeds limit
// {limit}".
base::Result<uint64_t> checked_count(uint64_t count, std::string_view label, uint64_t limit);

// The parsed type of a column's type text; the common plain names skip the grammar. The parse
// holds at most kColumnByteLimit bytes: the type is held while its column is read. Failures read
// "bad type '{text}': {reason}".
base::Result<ColumnType> parse_column_type(std::string_view text);

}  // namespace tarnwick::protocol
