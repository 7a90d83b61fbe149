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
#include "tarnwick/protocol/column_reader.h"
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
// the indexes a LowCardinality keeps beside its expansion), for a column whose body is empty while
// it has rows kRowCellCost per row at the least (a block without columns counts as one such
// column), and kRowCellCost per row for each tuple member without bytes (byteless_members).
// `total` bounds the two together. One figure sets all three: the block is held to it whole.
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
// is less; what it kept is data, and what it took beyond that is held (the larger of that and
// its floor, kRowCellCost per row, when it kept nothing). A charge that crosses a limit is refused
// with ResponseTooLarge whose count includes that charge, naming the first limit it crossed: the
// total, the data, or the held bytes (Error::allowance_exceeded). A block read on past its refusal
// (Refused::StepOver) is refused once read, with its whole decoded size (the held bytes as they
// stood at the crossing).
class BlockAllowance {
 public:
  // Fails when the least costs alone exceed the limits (unless the block is read on).
  static base::Result<BlockAllowance> start(uint64_t rows, uint64_t columns, BlockLimits limits,
                                            Refused on_refusal = Refused::Fail);
  // Reads the next column record (as read_column_record), its name and type text charged, then
  // kRowCellCost per row for each tuple member without bytes in its type (byteless_members).
  base::Result<ColumnRecord> read_record(base::ByteSource& source, const BlockLayout& layout);
  // Reads the next column's body with `read(ColumnBudget&)`, which reads it under that budget and
  // reports there what it kept and the refusal it met, then settles the column: the refusal is the
  // block's; any other failure passes.
  template <class Read>
  base::Status read_column(Read&& read) {
    ColumnBudget column = next_column();
    base::Status status = read(column);
    return settle(column, std::move(status));
  }
  // Whether the block was refused and is being read to its end.
  bool refused() const { return crossed_ != Limit::None; }
  // Once the block was read to its end: its refusal, if any, with the figures of the whole block.
  base::Status outcome() const;
  const BlockCharges& charged() const { return charged_; }

 private:
  enum class Limit : uint8_t { None, Total, Data, Held };

  ColumnBudget next_column() const;
  base::Status settle(const ColumnBudget& column, base::Status read);
  base::Status charge_held(uint64_t n);
  // The first limit that `figures` cross, in the order total, data, held.
  Limit first_crossed(const BlockCharges& figures) const;
  base::Error refusal(Limit limit, const BlockCharges& figures) const;
  // Refuses the block at `figures`, or notes the refusal where the block is read on.
  base::Status refuse(const BlockCharges& figures);
  // The charges with a column as it stood at its refusal, the refused charge included.
  BlockCharges at_refusal(const ColumnBudget& column) const;

  BlockLimits limits_;
  Refused on_refusal_ = Refused::Fail;
  uint64_t row_floor_ = 0;  // kRowCellCost per row
  BlockCharges charged_;
  Limit crossed_ = Limit::None;
  BlockCharges at_crossing_;
};

// Decodes the block at the source. Everything the decoding takes (names and type texts, bodies,
// LowCardinality dictionaries and expansions, state prefixes) and the least costs are charged to
// `limits` before the memory is taken, as BlockAllowance splits them; a block that would cost more
// fails with ResponseTooLarge (the bytes it asked for against the limit crossed), the source left
// inside the block, or with Refused::StepOver after it (the block's whole decoded size), having
// kept nothing from the crossing on. With `charges` set it receives what the block was charged.
// With `pool` set the block buffer starts from an allocation of that pool and goes back to it when
// the block's columns are all dropped.
base::Result<Block> read_block_body(base::ByteSource& source, const BlockLayout& layout = {},
                                    BlockLimits limits = {}, base::BufferPool* pool = nullptr,
                                    BlockCharges* charges = nullptr,
                                    Refused on_refusal = Refused::Fail);

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
