// Serializes a Block into the Native data block layout for inserts, and wraps it into a client
// data packet whose block travels in compressed frames. Column bodies must already be in the
// native layout of their type (wire_form gives it); they are copied unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/block_layout.h"

namespace tarnwick::protocol {

// The block in the layout the server reads, or nothing when `block` already is in it; every body
// that needs no change is shared, not copied. A top-level LowCardinality column held expanded (its
// plain body in `data` and `materialized` empty, as in a decoded block) is dictionary-encoded,
// and with no rows has no body. A LowCardinality nested in another type held expanded is refused
// with a protocol error naming the column.
base::Result<std::optional<Block>> wire_form(const Block& block);

// Exactly the number of bytes write_block appends for `block`.
size_t block_capacity(const Block& block, const BlockLayout& layout = {});

// Appends the block: block info (01 00 02 FF FF FF FF 00), column and row counts, then per column
// its name, type name, a zero custom-serialization flag when the layout has one, and its body.
void write_block(base::ByteBuffer& out, const Block& block, const BlockLayout& layout = {});

// Payload bytes of one frame of a compressed data packet: the size the server frames its own
// blocks in.
inline constexpr size_t kMaxFramePayload = size_t{1} << 20;

// Bytes enough for write_data_packet_compressed of `block` whatever the data compresses to.
size_t data_packet_compressed_capacity(std::string_view table, const Block& block,
                                       const BlockLayout& layout = {});

// Appends a data packet (type 02, the table name) whose block follows as compressed frames made
// with `method`, each holding kMaxFramePayload bytes of it (the last one the rest). Only the frame
// encoder fails; `out` is then to be discarded.
base::Status write_data_packet_compressed(base::ByteBuffer& out, std::string_view table,
                                          const Block& block, uint8_t method,
                                          const BlockLayout& layout = {});

}  // namespace tarnwick::protocol
