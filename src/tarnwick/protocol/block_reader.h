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
// What a row costs at the least where its column carries no bytes for it: what the caller's
// rendering of a cell takes (a pointer to it). A block without columns counts as one such column.
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

// The bounds one block is read under. `data` counts its decoded size: the bytes of its column
// bodies, LowCardinality expansions included. `held` counts everything else the block makes the
// client keep: kBlockLeastCost, kColumnRecordCost per record, names and type texts, what a
// column's reading held beyond the bytes it appended (parsed state, elements that carry no bytes,
// the indexes a LowCardinality keeps beside its expansion)
// and, for a column whose body is empty while it has rows, kRowCellCost per row at the least (a
// block without columns counts as one such column), and kRowCellCost per row for each tuple member
// without bytes (byteless_members). `total` bounds the two together. One figure
// sets all three: the block is held to it whole.
struct BlockLimits {
  uint64_t data = kDefaultBlockByteLimit;
  uint64_t held = kDefaultBlockByteLimit;
  uint64_t total = kDefaultBlockByteLimit;

  constexpr BlockLimits() = default;
  constexpr BlockLimits(uint64_t whole)  // NOLINT(google-explicit-constructor)
      : data(whole), held(whole), total(whole) {}
  constexpr BlockLimits(uint64_t data, uint64_t held, uint64_t total)
      : data(data), held(held), total(total) {}
};

// What reading one block charged, as BlockLimits splits it.
struct BlockCharges {
  uint64_t data = 0;
  uint64_t held = 0;
};

// The bytes a block costs against one whole limit: kBlockLeastCost, then per column
// kColumnRecordCost, its name and type text, the larger of its bytes and kRowCellCost per row, and
// the LowCardinality indexes it keeps.
uint64_t block_cost(const Block& block);
// A block's decoded size: the bytes of its columns' bodies and materialized bodies.
uint64_t block_data_size(const Block& block);

// A block's limits as its records and columns draw on them. The least costs of the block and of its
// column records are charged when the counts are known; each name and type text as its length is
// read, before it is taken. Each column gets its own limit or what the block has left, whichever
// is less; what it appended is data, and what it took beyond that is held (the larger of that and
// its floor, kRowCellCost per row, when it appended nothing). A charge that crosses a limit fails
// with ResponseTooLarge whose count includes that charge: of the data (or the total) with the limit
// crossed, or, for the held bytes, Error::allowance_exceeded.
class BlockAllowance {
 public:
  // Fails when the least costs alone exceed the limits.
  static base::Result<BlockAllowance> start(uint64_t rows, uint64_t columns, BlockLimits limits);
  // Reads the next column record (as read_column_record), its name and type text charged, then
  // kRowCellCost per row for each tuple member without bytes in its type (byteless_members).
  base::Result<ColumnRecord> read_record(base::ByteSource& source, const BlockLayout& layout);
  // The budget of the next column.
  uint64_t column_budget() const;
  // Settles the column read with `given` = column_budget(), `budget` what it has left,
  // `appended` the bytes it kept as its body, `hold_refused` whether a refused charge was memory
  // held rather than bytes appended, and `read` its outcome: a charge the column could not pay
  // because the block's limits (not its own) were short becomes ResponseTooLarge; any other
  // failure passes unchanged.
  base::Status settle(uint64_t given, uint64_t budget, uint64_t appended, bool hold_refused,
                      base::Status read);
  const BlockCharges& charged() const { return charged_; }

 private:
  base::Status charge_held(uint64_t n);
  base::Status check() const;
  uint64_t either_room() const;  // what the data and held limits have left together

  BlockLimits limits_;
  uint64_t floor_ = 0;
  BlockCharges charged_;
};

// Decodes the block at the source. Everything the decoding takes (names and type texts, bodies,
// LowCardinality dictionaries and expansions, state prefixes) and the least costs are charged to
// `limits` before the memory is taken, as BlockAllowance splits them; a block that would cost more
// fails with ResponseTooLarge (the bytes it asked for against the limit crossed), the source left
// inside the block. With `charges` set it receives what the block was charged. With `pool` set the
// block buffer starts from an allocation of that pool and goes back to it when the block's columns
// are all dropped.
base::Result<Block> read_block_body(base::ByteSource& source, const BlockLayout& layout = {},
                                    BlockLimits limits = {}, base::BufferPool* pool = nullptr,
                                    BlockCharges* charges = nullptr);

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
