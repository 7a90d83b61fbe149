// Decodes one Native data block that already lies whole in memory (a streaming query's receive
// buffer) into a Block. Each column body's extent is found with the column skipper and copied out
// once, so every column owns a buffer of its own and nothing of the input is kept; a top-level
// LowCardinality column is expanded to the plain layout of its dictionary type.
//
// Every failure is a protocol error, a block cut short included. A block cut short leaves the
// position past the end of the buffer (protocol::ran_out): the caller reads more and parses again
// from the block's start; any other failure means the block is bad.
#pragma once

#include <cstdint>
#include <span>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

// Parses the block body that starts at `pos` in `buf` (after the packet type and table name). On
// success `pos` stands just past the block; on failure past the end of `buf` when the block is cut
// short, else wherever the failing step stopped.
// Bodies and expansions are charged as read_block_body charges them, to `byte_limit` and to each
// column's own limit; a body that needs more fails at once, even before it has fully arrived (a
// charge the block cannot pay is ResponseTooLarge, as there).
base::Result<Block> parse_block_body(std::span<const uint8_t> buf, uint64_t& pos,
                                     const BlockLayout& layout = {},
                                     uint64_t byte_limit = kDefaultBlockByteLimit);

// Steps over the block-info field list (field 1: one byte, 2: four bytes, 3: a varint; 0 or any
// other number ends it).
base::Status skip_block_info(std::span<const uint8_t> buf, uint64_t& pos);

// Where the kept bytes of a column body that starts at `start` begin: past the version word of a
// JSON body, else at `start`. Refuses a JSON nested in another type when there are rows.
base::Result<uint64_t> materialized_column_data_start(uint64_t len, uint64_t start,
                                                      const ColumnType& type, uint64_t rows);

}  // namespace tarnwick::protocol
