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

// Decodes the block at the source. With `pool` set the block buffer starts from an allocation of
// that pool and goes back to it when the block's columns are all dropped.
base::Result<Block> read_block_body(base::ByteSource& source, const BlockLayout& layout = {},
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

// `count` when it is at most `limit`, else the protocol error "{label} count {count} exceeds limit
// {limit}".
base::Result<uint64_t> checked_count(uint64_t count, std::string_view label, uint64_t limit);

// The parsed type of a column's type text; the common plain names skip the grammar. Failures read
// "bad type '{text}': {reason}".
base::Result<ColumnType> parse_column_type(std::string_view text);

}  // namespace tarnwick::protocol
