// Readers of the packets the server sends after the handshake. Each reads one packet body from a
// byte source, the packet type in front of it having been read already. Blocks are not decoded
// here: the block-carrying packets stop in front of their block, which the caller reads plainly or
// through a decompressing layer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/byte_sink.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/format.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/codes.h"

namespace tarnwick::sync {

using protocol::ServerPacket;

inline constexpr uint64_t kMaxExceptionLevels = 1000;
// What the texts kept from one packet may take together: an exception chain's rendered text, the
// names and rules of the server's Hello, the names of a table-status answer. A server's longest
// messages quote a query (256 KiB at the server's default max_query_size), well within it.
inline constexpr size_t kMaxPacketText = size_t{1} << 20;
// Ends a text cut to the bound.
using base::kTruncatedMarker;

// Texts read from one packet under one bound for all of them, counted as the memory they take.
// Each is read through a small buffer into storage of its own length; the text that reaches the
// bound is cut at a character boundary so that it fits with kTruncatedMarker, and a later one
// keeps only the marker, which takes no memory of its own. The bytes left out are read and
// dropped.
class KeptTexts {
 public:
  explicit KeptTexts(size_t bound = kMaxPacketText) : left_(bound) {}
  // A string that must be UTF-8, as read_string reads it, kept as far as the bound allows.
  base::Result<std::string> read(base::ByteSource& in);

 private:
  size_t left_;
};

// An exception chain read whole: the first level's code and name, and every level rendered as
// "{name} (code {code}): {message}", joined with " | nested: ". Of that text at most
// kMaxPacketText bytes are kept, cut at a character boundary and followed by
// kTruncatedMarker; the rest of the chain is read through a small buffer and dropped, and no
// stack trace is kept. More than kMaxExceptionLevels levels fail with "exception nesting too
// deep". `strict`: every string, the stack trace included, must be UTF-8 (the handshake's form);
// otherwise names and messages are decoded with replacement and the stack trace is not looked at.
struct ExceptionChain {
  int32_t code = 0;
  std::string name;
  std::string text;
  bool truncated = false;  // the text was cut and ends with kTruncatedMarker
};
base::Result<ExceptionChain> read_exception_chain_levels(base::ByteSource& in, bool strict);

// A server Exception packet as Error::Server with the chain's code, name and text. A failure
// while reading is returned instead.
base::Error read_exception_packet(base::ByteSource& in);

// A string decoded as UTF-8 with every invalid sequence replaced by U+FFFD.
base::Result<std::string> read_string_lossy(base::ByteSource& in);

// Progress: 3 varints, 2 more with the written counts, 1 more with the elapsed time, 1 more with
// the total bytes.
base::Status skip_progress_packet(base::ByteSource& in, uint64_t revision);
// The same, with the counts fixed for the common revisions 54459, 54464 and 54483.
base::Status skip_progress_packet_for_revision(base::ByteSource& in, uint64_t revision);

// ProfileInfo: varint, varint, varint, byte, varint, byte; then a byte and a varint from the
// revision with rows before aggregation.
base::Status skip_profile_info_packet(base::ByteSource& in, uint64_t revision);
base::Status skip_profile_info_packet_for_revision(base::ByteSource& in, uint64_t revision);

// PartUUIDs: a count, then that many 16-byte UUIDs, dropped.
base::Status skip_part_uuids_packet(base::ByteSource& in);

// TableColumns: two strings, dropped. With compression on, `in` is the decompressing layer.
base::Status read_table_columns_body(base::ByteSource& in);

// The ranges-in-data-parts description inside the parallel-replica packets, dropped.
base::Status skip_ranges_in_data_parts_description(base::ByteSource& in);

// The client's answer to a MergeTreeReadTaskRequest: the read is finished, no part ranges.
base::ByteBuffer build_finished_merge_tree_read_task_response(std::string_view request_tail);

// Types 13, 15 and 16 (parallel replicas): reads the packet and, for 13 and 16, sends the answer
// to `out` (one chunk and the end-of-message length when `send_chunked`) and flushes it. Returns
// false, reading nothing, for any other type.
base::Result<bool> handle_coordinator_packet(base::ByteSource& in, uint64_t type,
                                             base::ByteSink& out, bool send_chunked);

// The table name in front of the block of a Data, Totals, Extremes, Log or ProfileEvents packet.
base::Status skip_table_name(base::ByteSource& in);

// What a packet loop needs to read a response.
struct ServerPacketContext {
  uint64_t revision = 0;              // negotiated
  base::ByteSink* answers = nullptr;  // where answers to parallel-replica requests go
  bool send_chunked = false;
};

// Reads the body of a packet of type `type` as far as it goes without blocks:
// - Data, Totals, Extremes, Log, ProfileEvents: the table name; the block is left in `in`;
// - TableColumns: nothing; its body is left for read_table_columns_body;
// - Exception: the server's error is returned;
// - Progress, ProfileInfo, PartUUIDs, TimezoneUpdate and the parallel-replica packets: read whole
//   (and answered); Pong and EndOfStream have no body;
// - Hello, TablesStatusResponse and every type above 17: "unknown packet type: {}".
base::Result<ServerPacket> read_server_packet_body(base::ByteSource& in, uint64_t type,
                                                   const ServerPacketContext& context);

}  // namespace tarnwick::sync
