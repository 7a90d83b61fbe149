// Decodes one Native data block that lies in memory (a streaming query's receive buffer, which may
// still be receiving it) into a Block. Each column body's extent is found by the column walker with
// a sink that keeps nothing, then the body is copied out once, so every column owns a buffer of its
// own and nothing of the input is kept; a column holding LowCardinality is read by the keeping
// reader instead, which expands it to the plain layout of its dictionary type.
//
// A block cut short fails with its source's error (an in-memory source's: an Io error of kind
// UnexpectedEof, incomplete). Any other failure is a protocol error: the block is bad.
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
// success `pos` stands just past the block; on failure it is left where it was.
// Bodies and expansions are charged as read_block_body charges them, to `limits` and to each
// column's own limit; a body that needs more fails at once, even before it has fully arrived (a
// charge the block cannot pay is ResponseTooLarge, as there).
base::Result<Block> parse_block_body(std::span<const uint8_t> buf, uint64_t& pos,
                                     const BlockLayout& layout = {}, BlockLimits limits = {});

// The same over a source that keeps what it serves and may receive more as it goes: a block
// still arriving is waited for there, and each column is copied out of the source once.
base::Result<Block> parse_block_body(base::RetainingSource& source, const BlockLayout& layout,
                                     BlockLimits limits);

// Whether a failure means only that the bytes ran out before the block (or body) ended.
bool is_incomplete(const base::Error& error);

}  // namespace tarnwick::protocol
