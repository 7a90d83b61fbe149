// The server-packet loops of the buffered exchanges: the query loop that keeps the Data blocks of
// a response (bounded by a decoded-size limit), the loop that only counts a response's rows (used
// to drain one), and the loop that waits for an insert's table-structure block. Every loop reads
// through the connection's reader; block bodies go through a decompressing layer when the
// connection compresses, and bytes that layer read ahead are handed back to the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tarnwick/base/buffer_pool.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/sync/connection_reader.h"

namespace tarnwick::sync {

using Clock = std::chrono::steady_clock;

// What every loop needs to read a response.
struct ResponseContext {
  uint64_t revision = 0;  // negotiated
  bool send_chunked = false;
  bool compressed = false;
  // Where the kept Data blocks take their body buffers from; none: fresh allocations.
  base::BufferPool* block_buffers = nullptr;
};

// The least allowance of a buffered response for what its Data blocks hold beside their decoded
// bytes.
inline constexpr uint64_t kMinResponseAllowance = 16 << 20;

// What the Data blocks of a buffered response may hold beside their decoded bytes (names and type
// texts, the least costs of blocks and column records, the floor of rows that carry no bytes, what
// a column's reading held): the larger of `max_response_size` and kMinResponseAllowance.
uint64_t response_allowance(uint64_t max_response_size);

// Reads a response to its EndOfStream and returns its Data blocks in arrival order (empty ones
// included). Fails with "response read deadline exceeded" when a packet would start after
// `deadline`, with "response read timed out" when waiting for a packet type times out, with the
// server's error on an Exception, and with ResponseTooLarge (decoded total including the crossing
// block, `max_response_size`) as soon as the decoded sizes of the Data blocks add up to more than
// the limit; what they hold beside is held to response_allowance (Error::allowance_exceeded).
// Totals, Extremes, Log and ProfileEvents blocks are each held whole to the default block limit
// and count toward neither. Each Data block is decoded under what the blocks before it left of
// both; one that crosses a limit keeps nothing from the crossing on and is read to its end (its
// decoded size counted whole), so a refused response is always left unread behind the crossing
// block. What the blocks before the crossing kept is up to the limit in decoded bytes and up to the
// allowance beside them (the limit plus the allowance in all: a LowCardinality of strings with
// 8-byte indexes, 8 bytes a row expanded, fills both at once; a kept column's LowCardinality
// dictionary and indexes are read within what the two have left). Beside that the call holds at
// any one time the larger of one side block being read (kDefaultBlockByteLimit, everything it
// holds counted) and the working state of a column of the crossing block (kColumnByteLimit); the
// decompressing reader's frame and its output (kMaxFrameSize each), a chunk (kChunkBufferLimit) and
// the socket's read buffer; and the allocations block_buffers keeps for reuse (its byte bound,
// kBlockBufferPoolBytes). Those terms are 449.06 MiB; with 16 MiB for the small allocations beside
// them, the limit plus the allowance plus 466 MiB, as the README states it. They hold for memory
// asked of the allocator: a block buffer grows within what its limits have left and is trimmed to
// its size when kept.
base::Result<std::vector<protocol::Block>> read_query_response(ConnectionReader& reader,
                                                               const ResponseContext& context,
                                                               Clock::time_point deadline,
                                                               size_t max_response_size);

// The same loop without keeping anything: returns the total row count of the Data packets
// ("row count overflow" past 2^64 - 1).
base::Result<uint64_t> read_response_row_count(ConnectionReader& reader, Clock::time_point deadline,
                                               uint64_t revision, bool send_chunked,
                                               bool compressed);

// Reads the answer to an INSERT statement up to its table-structure Data block and returns that
// block (held whole to the default block limit, as the blocks beside a response's data). Nothing
// when the response ended with EndOfStream before any such block (the statement needed no data; a
// Data block without columns before it is passed over); the connection is then idle. Fails with
// "insert table-structure deadline exceeded", the server's error, or "unknown packet type while
// starting insert: {}".
base::Result<std::optional<protocol::Block>> read_insert_table_structure(
    ConnectionReader& reader, const ResponseContext& context, Clock::time_point deadline);

}  // namespace tarnwick::sync
