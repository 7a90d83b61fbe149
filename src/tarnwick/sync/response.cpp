#include "tarnwick/sync/response.h"

#include <algorithm>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {

using base::ByteSource;
using base::Error;
using base::IoKind;
using base::Result;
using base::Status;
using protocol::Block;

namespace {

[[gnu::cold]] Error deadline_exceeded(const char* text) {
  return Error::protocol(text);
}

[[gnu::cold]] Error unknown_insert_packet(uint64_t type) {
  return Error::protocol(base::cat("unknown packet type while starting insert: ", type));
}

// The packet type in front of the next packet. A socket time-out while waiting for it becomes
// "response read timed out"; every other failure (a would-block time-out included) passes.
Result<uint64_t> read_packet_type(ByteSource& in) {
  Result<uint64_t> type = protocol::read_varint(in);
  if (!type.ok() && type.error().is_io(IoKind::TimedOut)) {
    return Error::protocol("response read timed out");
  }
  return type;
}

// The next packet of a response loop under `deadline`: its type and the fields before any block.
Result<ServerPacket> read_next_packet(ConnectionReader& reader, const ServerPacketContext& packets,
                                      Clock::time_point deadline) {
  if (Clock::now() > deadline) return deadline_exceeded("response read deadline exceeded");
  TW_ASSIGN_OR_RETURN(const uint64_t type, read_packet_type(reader));
  return read_server_packet_body(reader, type, packets);
}

// Runs `body` over the packet body that follows: plainly, or through a decompressing layer when
// the connection compresses. Bytes that layer took from the connection without delivering them
// (it passes bodies that are not framed through, and probes ahead to tell) are given back, after
// a body read to its end: one that succeeded or was refused for its size.
template <class Body>
auto read_body(ConnectionReader& in, bool compressed, Body&& body, base::BufferPool* pool = nullptr)
    -> decltype(body(in)) {
  if (!compressed) return body(in);
  compression::DecompressingReader layer(in, pool);
  TW_TRY(layer.start());
  auto result = body(static_cast<ByteSource&>(layer));
  const bool whole = result.ok() || result.error().kind() == base::ErrorKind::ResponseTooLarge;
  if (whole && layer.passthrough()) in.unread(std::move(layer).into_pending());
  return result;
}

// The block reader for the layout of the negotiated revision, for blocks kept beside a response's
// data (Totals, Extremes, Log, ProfileEvents, an insert's table structure), each held whole to the
// default block limit, whatever the response's own. Refused part-way such a block leaves the
// connection inside its packet, so it is malformed input here, not a response that outgrew its
// limit.
auto keep_block(uint64_t revision) {
  return [layout = protocol::BlockLayout::for_revision(revision)](ByteSource& in) {
    Result<Block> block = protocol::read_block_body(in, layout, protocol::kDefaultBlockByteLimit);
    if (!block.ok() && block.error().kind() == base::ErrorKind::ResponseTooLarge) {
      return Result<Block>(Error::protocol(base::cat("block of at least ", block.error().decoded(),
                                                     " bytes exceeds the limit of ",
                                                     block.error().limit(), " bytes")));
    }
    return block;
  };
}
auto discard_block(uint64_t revision) {
  return [layout = protocol::BlockLayout::for_revision(revision)](ByteSource& in) {
    return protocol::discard_block_body(in, layout);
  };
}
Status read_columns(ByteSource& in) {
  return read_table_columns_body(in);
}

// The packets a response carries beside its data, each read with `block` and dropped: Totals,
// Extremes and ProfileEvents (compressed as data is), Log (never compressed) and TableColumns.
// Every other packet has been read whole (and answered) by read_server_packet_body.
template <class ReadBlock>
Status read_side_packet(ConnectionReader& reader, ServerPacket packet, bool compressed,
                        ReadBlock& block) {
  switch (packet) {
    case ServerPacket::Totals:
    case ServerPacket::Extremes:
    case ServerPacket::ProfileEvents:
      TW_TRY(read_body(reader, compressed, block));
      return {};
    case ServerPacket::Log:
      TW_TRY(block(reader));
      return {};
    case ServerPacket::TableColumns:
      return read_body(reader, compressed, read_columns);
    default:
      return {};
  }
}

ServerPacketContext packet_context(ConnectionReader& reader, uint64_t revision, bool send_chunked) {
  return ServerPacketContext{revision, &reader, send_chunked};
}

}  // namespace

uint64_t response_allowance(uint64_t max_response_size) {
  return std::max<uint64_t>(max_response_size, kMinResponseAllowance);
}

Result<std::vector<Block>> read_query_response(ConnectionReader& reader,
                                               const ResponseContext& context,
                                               Clock::time_point deadline,
                                               size_t max_response_size) {
  const uint64_t allowance = response_allowance(max_response_size);
  size_t decoded = 0;  // the decoded size of the blocks kept
  uint64_t held = 0;   // what else they hold, up to the allowance
  protocol::BlockCharges charges;
  // Each block is read under what is left of the data limit and of the allowance. One that crosses
  // either keeps nothing from the crossing on: it is read to its end and counted whole, so the
  // response can be drained behind it, and a refused call keeps no more than the blocks before it
  // kept, within the limit and the allowance (what else it holds: read_query_response).
  auto keep_within_limit =
      [&, layout = protocol::BlockLayout::for_revision(context.revision)](ByteSource& in) {
        return protocol::read_block_body(
            in, layout,
            protocol::BlockLimits{max_response_size - decoded, allowance - held, UINT64_MAX},
            context.block_buffers, &charges, protocol::Refused::StepOver);
      };
  std::vector<Block> blocks;
  blocks.reserve(8);
  const ServerPacketContext packets =
      packet_context(reader, context.revision, context.send_chunked);
  const bool compressed = context.compressed;
  auto keep = keep_block(context.revision);
  for (;;) {
    TW_ASSIGN_OR_RETURN(const ServerPacket packet, read_next_packet(reader, packets, deadline));
    switch (packet) {
      case ServerPacket::Data: {
        Result<Block> decoded_block =
            read_body(reader, compressed, keep_within_limit, context.block_buffers);
        if (!decoded_block.ok()) {
          const Error& e = decoded_block.error();
          if (e.kind() != base::ErrorKind::ResponseTooLarge)
            return std::move(decoded_block).error();
          if (e.is_allowance_exceeded())
            return Error::allowance_exceeded(held + e.decoded(), allowance);
          return Error::response_too_large(decoded + e.decoded(), max_response_size);
        }
        decoded += charges.data;  // both within what was left of their limits
        held += charges.held;
        blocks.push_back(std::move(decoded_block).value());
        break;
      }
      case ServerPacket::EndOfStream:
        return blocks;
      default:
        TW_TRY(read_side_packet(reader, packet, compressed, keep));
        break;
    }
  }
}

Result<uint64_t> read_response_row_count(ConnectionReader& reader, Clock::time_point deadline,
                                         uint64_t revision, bool send_chunked, bool compressed) {
  uint64_t rows = 0;
  const ServerPacketContext packets = packet_context(reader, revision, send_chunked);
  auto discard = discard_block(revision);
  for (;;) {
    TW_ASSIGN_OR_RETURN(const ServerPacket packet, read_next_packet(reader, packets, deadline));
    switch (packet) {
      case ServerPacket::Data: {
        TW_ASSIGN_OR_RETURN(const uint64_t n, read_body(reader, compressed, discard));
        if (__builtin_add_overflow(rows, n, &rows)) return Error::protocol("row count overflow");
        break;
      }
      case ServerPacket::EndOfStream:
        return rows;
      default:
        TW_TRY(read_side_packet(reader, packet, compressed, discard));
        break;
    }
  }
}

Result<std::optional<Block>> read_insert_table_structure(ConnectionReader& reader,
                                                         const ResponseContext& context,
                                                         Clock::time_point deadline) {
  const ServerPacketContext packets =
      packet_context(reader, context.revision, context.send_chunked);
  const bool compressed = context.compressed;
  auto keep = keep_block(context.revision);
  for (;;) {
    if (Clock::now() > deadline)
      return deadline_exceeded("insert table-structure deadline exceeded");
    TW_ASSIGN_OR_RETURN(const uint64_t type, protocol::read_varint(reader));
    if (type == static_cast<uint64_t>(ServerPacket::Hello) ||
        type == static_cast<uint64_t>(ServerPacket::TablesStatusResponse) ||
        type > static_cast<uint64_t>(ServerPacket::TimezoneUpdate)) {
      return unknown_insert_packet(type);
    }
    TW_ASSIGN_OR_RETURN(const ServerPacket packet, read_server_packet_body(reader, type, packets));
    switch (packet) {
      case ServerPacket::Data: {
        TW_ASSIGN_OR_RETURN(Block structure, read_body(reader, compressed, keep));
        // A table has columns. A block without any is the empty result header that older
        // servers send for a statement that takes no data; its EndOfStream follows.
        if (!structure.columns.empty()) return std::optional<Block>(std::move(structure));
        break;
      }
      case ServerPacket::EndOfStream:
        return std::optional<Block>();
      default:
        TW_TRY(read_side_packet(reader, packet, compressed, keep));
        break;
    }
  }
}

}  // namespace tarnwick::sync
