#include "tarnwick/sync/stream.h"

#include <sys/ioctl.h>

#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/chunked.h"
#include "tarnwick/sync/client.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using base::ByteSource;
using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;
using protocol::Block;

namespace {

[[gnu::cold]] Error chunk_too_long(uint32_t length) {
  return Error::io(
      IoError::custom(IoKind::InvalidData,
                      base::cat("chunk length ", length, " exceeds maximum ", kMaxChunkLength)));
}

// An uncompressed block parsed from the bytes already received, from where `in` stands; `in`
// moves past it on success. A block that has not fully arrived fails as incomplete.
Result<Block> parse_block(base::MemorySource& in, const protocol::BlockLayout& layout,
                          uint64_t byte_limit) {
  uint64_t pos = 0;
  Result<Block> block = protocol::parse_block_body(in.buffered(), pos, layout, byte_limit);
  if (block.ok()) in.consume(static_cast<size_t>(pos));
  return block;
}

// A block over the stream's limit, in the stream's words (the buffered query's text would point
// to streaming as the remedy).
Error block_too_large(Error e) {
  if (e.kind() != base::ErrorKind::ResponseTooLarge) return e;
  return Error::protocol(base::cat("block of at least ", e.decoded(),
                                   " bytes exceeds the stream's block limit ", e.limit()));
}

// What a packet cut off by the end of the connection is called in the error that ends the stream.
const char* packet_name(uint64_t type) {
  struct Named {
    ServerPacket packet;
    const char* name;
  };
  static constexpr Named kNames[] = {
      {ServerPacket::Progress, "progress"},
      {ServerPacket::ProfileInfo, "profile info"},
      {ServerPacket::Log, "log"},
      {ServerPacket::TableColumns, "table columns"},
      {ServerPacket::PartUuids, "part UUIDs"},
      {ServerPacket::MergeTreeAllRangesAnnouncement, "ranges announcement"},
      {ServerPacket::MergeTreeReadTaskRequest, "read task request"},
      {ServerPacket::TimezoneUpdate, "timezone update"},
      {ServerPacket::Exception, "exception"},
  };
  for (const Named& named : kNames) {
    if (uint64_t(named.packet) == type) return named.name;
  }
  return "data";
}

}  // namespace

// A byte source over the stream's buffer that receives more bytes by itself when the buffer runs
// out, for the packet bodies read through a decompressing reader. The bytes it serves stay in the
// buffer behind position until the next compact; those it buffered but did not serve are given
// back when it goes.
class StreamBytes final : public ByteSource {
 public:
  explicit StreamBytes(QueryStream& stream) : stream_(stream) {}
  ~StreamBytes() override { stream_.position_ -= static_cast<size_t>(end_ - pos_); }

 protected:
  Result<size_t> refill() override {
    QueryStream& s = stream_;
    // Inside a packet more bytes are needed, so a zero-length chunk is stepped over here.
    while (s.position_ == s.buffer_.size()) {
      TW_TRY(s.check_pending_size());
      bool at_boundary = false;
      Result<QueryStream::Fill> got = s.receive(at_boundary);
      if (!got.ok()) {
        if (got.error().is_io(IoKind::WouldBlock)) return s.stalled();
        return std::move(got).error();
      }
      if (got->ended) return size_t{0};
    }
    pos_ = s.buffer_.data() + s.position_;
    end_ = s.buffer_.data() + s.buffer_.size();
    s.position_ = s.buffer_.size();
    return static_cast<size_t>(end_ - pos_);
  }

 private:
  QueryStream& stream_;
};

// What one packet gave.
struct QueryStream::Outcome {
  enum Kind : uint8_t { Handled, Data, End, Incomplete } kind = Handled;
  Block block;
  std::optional<Error> reason;  // Incomplete: the parse failure
  uint64_t type = 0;            // Incomplete: the packet's type
};

QueryStream::QueryStream(std::unique_ptr<Transport> transport, ByteBuffer payload, ByteBuffer raw,
                         StreamSettings settings, std::shared_ptr<StreamLink> link)
    : transport_(std::move(transport)),
      buffer_(std::move(payload)),
      settings_(settings),
      link_(std::move(link)) {
  // Unchunked bytes are payload as they are; framed ones are read again through the transport.
  if (!settings_.recv_chunked) {
    buffer_.append(raw.span());
  } else if (!raw.empty()) {
    transport_->preload(raw.span());
  }
}

QueryStream::~QueryStream() {
  if (link_) link_->abandon();  // a response not read to its end is left half-read
}

Result<QueryStream::Fill> QueryStream::receive(bool& at_boundary) {
  at_boundary = true;
  if (!settings_.recv_chunked) {
    const size_t before = buffer_.size();
    if (!buffer_.try_reserve_more(settings_.read_chunk, packet_room())) [[unlikely]]
      return Error::out_of_memory(settings_.read_chunk);
    uint8_t* dst = buffer_.extend(settings_.read_chunk);
    Result<size_t> got = transport_->read_some(dst, settings_.read_chunk);
    buffer_.resize(before + (got.ok() ? *got : 0));
    if (!got.ok()) return std::move(got).error();
    return Fill{*got, *got == 0};
  }
  // The length is kept byte by byte, so a time-out inside it loses nothing.
  while (length_have_ < 4) {
    TW_ASSIGN_OR_RETURN(length_bytes_[length_have_], transport_->read_u8());
    ++length_have_;
  }
  length_have_ = 0;
  uint32_t length = 0;
  std::memcpy(&length, length_bytes_, 4);  // little-endian hosts only, like the rest
  // A zero length ends a message: framing, not data. Nothing more is waited for here, since the
  // response may need nothing more.
  if (length == 0) return Fill{0, false, true};
  if (length > kMaxChunkLength) return chunk_too_long(length);
  at_boundary = false;
  const size_t before = buffer_.size();
  if (!buffer_.try_reserve_more(length, packet_room())) [[unlikely]]
    return Error::out_of_memory(length);
  Status st = transport_->read_exact(buffer_.extend(length), length);
  if (!st.ok()) {
    buffer_.resize(before);
    return std::move(st).error();
  }
  return Fill{length};
}

uint64_t QueryStream::pending_cap() const {
  // A block's wire form may exceed its cost by what is read but not kept (length prefixes, block
  // info, LowCardinality indexes); a column's worth of slack is left for it.
  return settings_.block_byte_limit + protocol::kColumnByteLimit;
}

size_t QueryStream::packet_room() const {
  // The buffer grows to no more than the cap on a pending packet; one receive may pass it.
  const uint64_t cap = pending_cap();
  return buffer_.size() < cap ? static_cast<size_t>(cap - buffer_.size()) : 0;
}

Status QueryStream::check_pending_size() const {
  const uint64_t cap = pending_cap();
  if (buffer_.size() > cap) [[unlikely]] {
    return Error::protocol(base::cat("packet of more than ", buffer_.size(),
                                     " bytes exceeds the stream's limit of ", cap, " bytes"));
  }
  return {};
}

void QueryStream::end_response(bool by_exception) {
  finished_ = true;
  // What was received past the terminal packet: the rest of the buffer (free of framing), then a
  // chunk length begun and whatever the transport holds (still framed).
  ByteBuffer payload;
  payload.append(std::span<const uint8_t>(buffer_.data() + position_, buffer_.size() - position_));
  buffer_.clear();
  position_ = 0;
  ByteBuffer raw;
  raw.append(length_bytes_, length_have_);
  length_have_ = 0;
  raw.append(transport_->buffered());
  transport_->consume(transport_->buffered().size());
  if (!settings_.recv_chunked) {  // raw bytes are payload as they are
    payload.append(raw.span());
    raw.clear();
  }
  link_->set_ended(std::move(payload), std::move(raw), by_exception);
}

Result<QueryStream::Fill> QueryStream::fill_buffer() {
  bool at_boundary = false;
  Result<Fill> got = receive(at_boundary);
  if (got.ok()) return got;
  Error e = std::move(got).error();
  if (e.is_io(IoKind::InvalidData)) return Error::protocol(e.io_error().message);
  if (e.is_io(IoKind::WouldBlock)) {
    // A read time-out: between packets the stream waits again, inside one it ends.
    if (at_boundary && position_ == buffer_.size()) return Fill{};
    return stalled();
  }
  if (!at_boundary) return e;
  if (e.is_io(IoKind::UnexpectedEof)) return Fill{0, true};
  if (e.is_io(IoKind::TimedOut)) {
    end_error_ = std::move(e);
    return Fill{0, true};
  }
  return e;
}

bool QueryStream::bytes_ready() const {
  if (!transport_->buffered().empty()) return true;
  int available = 0;
  return ::ioctl(transport_->socket().fd(), FIONREAD, &available) == 0 && available > 0;
}

void QueryStream::compact() {
  const size_t rest = buffer_.size() - position_;
  if (rest != 0 && position_ != 0) std::memmove(buffer_.data(), buffer_.data() + position_, rest);
  buffer_.resize(rest);
  position_ = 0;
}

Error QueryStream::connection_ended() {
  if (end_error_) return *end_error_;
  return Error::io(
      IoError::custom(IoKind::UnexpectedEof, "connection closed before the end of the response"));
}

Error QueryStream::stalled() const {
  return Error::io(
      IoError::custom(IoKind::TimedOut, exchange_timeout_text(settings_.query_timeout)));
}

Result<std::optional<Block>> QueryStream::read_next_block() {
  if (finished_) return std::optional<Block>{};
  Result<std::optional<Block>> next = next_block();
  if (!next.ok()) finished_ = true;  // nothing after a failure can be read reliably
  return next;
}

Result<std::optional<Block>> QueryStream::next_block() {
  for (;;) {
    if (position_ == buffer_.size()) {
      TW_ASSIGN_OR_RETURN(Fill fill, fill_buffer());
      if (fill.ended) return connection_ended();
      continue;  // nothing added (a read time-out) waits again
    }
    TW_ASSIGN_OR_RETURN(Outcome outcome, read_packet());
    switch (outcome.kind) {
      case Outcome::Data:
        return std::optional<Block>(std::move(outcome.block));
      case Outcome::End:
        return std::optional<Block>{};
      case Outcome::Handled:
        break;
      case Outcome::Incomplete: {
        // Parse the packet again once more bytes came. A large packet arriving in many receives
        // is parsed again only after the buffer doubled or the socket had nothing more at once.
        // A packet that is already more than a block may cost is not waited for.
        TW_TRY(check_pending_size());
        const size_t before = buffer_.size();
        TW_ASSIGN_OR_RETURN(Fill fill, fill_buffer());
        if (fill.framing) break;  // parse again: the packet may be whole
        if (fill.added == 0) return cut_off(std::move(outcome));
        while (buffer_.size() < 2 * before && bytes_ready()) {
          TW_ASSIGN_OR_RETURN(fill, fill_buffer());
          if (fill.added == 0 && !fill.framing) break;
        }
        break;
      }
    }
  }
}

Error QueryStream::cut_off(Outcome outcome) {
  Error e = std::move(*outcome.reason);
  // A packet that the end of its bytes cut off ends the stream as a fault of that packet.
  if (e.kind() == base::ErrorKind::Io) {
    return Error::protocol(
        base::cat("truncated ", packet_name(outcome.type), " packet in query stream"));
  }
  return block_too_large(std::move(e));
}

Result<QueryStream::Outcome> QueryStream::read_packet() {
  // A packet starts at position 0: the buffer is compacted after each one.
  base::MemorySource in(buffer_.span());
  Outcome out;
  bool taken = false;     // read through StreamBytes, which moved position itself
  bool terminal = false;  // EndOfStream: the response ends with this packet
  uint64_t type = 0;
  const protocol::BlockLayout layout = protocol::BlockLayout::for_revision(settings_.revision);
  Status st = [&]() -> Status {
    TW_ASSIGN_OR_RETURN(type, protocol::read_varint(in));
    switch (type) {
      case uint64_t(ServerPacket::Data):
      case uint64_t(ServerPacket::Totals):
      case uint64_t(ServerPacket::Extremes):
      case uint64_t(ServerPacket::ProfileEvents): {
        Result<Block> block = [&]() -> Result<Block> {
          if (!settings_.compression) {
            TW_TRY(skip_table_name(in));
            return parse_block(in, layout, settings_.block_byte_limit);
          }
          taken = true;
          position_ = buffer_.size() - in.remaining();
          return read_compressed_block(layout);  // receives what it lacks: no parsing again
        }();
        if (!block.ok()) return block_too_large(std::move(block).error());
        if (type == uint64_t(ServerPacket::Data)) {
          out.kind = Outcome::Data;
          out.block = std::move(block).value();
        }
        return {};
      }
      case uint64_t(ServerPacket::Log):  // never compressed
      {
        TW_TRY(skip_table_name(in));
        Result<Block> block = parse_block(in, layout, settings_.block_byte_limit);
        return block.ok() ? Status{} : Status(block_too_large(std::move(block).error()));
      }
      case uint64_t(ServerPacket::TableColumns):
        if (!settings_.compression) return read_table_columns_body(in);
        taken = true;
        position_ = buffer_.size() - in.remaining();
        return read_compressed_table_columns();
      case uint64_t(ServerPacket::Exception): {
        Error e = read_exception_packet(in);
        if (e.kind() == base::ErrorKind::Server) {
          position_ = buffer_.size() - in.remaining();
          end_response(true);
        } else if (protocol::is_incomplete(e)) {
          out.kind = Outcome::Incomplete;
          out.reason = Error::protocol("truncated exception packet in query stream");
          out.type = type;
          return {};
        }
        return e;
      }
      case uint64_t(ServerPacket::EndOfStream):
        terminal = true;
        out.kind = Outcome::End;
        return {};
      case uint64_t(ServerPacket::Progress):
      case uint64_t(ServerPacket::Pong):
      case uint64_t(ServerPacket::ProfileInfo):
      case uint64_t(ServerPacket::PartUuids):
      case uint64_t(ServerPacket::ReadTaskRequest):
      case uint64_t(ServerPacket::MergeTreeAllRangesAnnouncement):
      case uint64_t(ServerPacket::MergeTreeReadTaskRequest):
      case uint64_t(ServerPacket::TimezoneUpdate): {
        // Read whole from the buffer; a parallel-replica request is answered once it is whole.
        const ServerPacketContext context{settings_.revision, transport_.get(),
                                          settings_.send_chunked};
        Result<ServerPacket> packet = read_server_packet_body(in, type, context);
        return packet.ok() ? Status{} : Status(std::move(packet).error());
      }
      default:
        return Error::protocol(base::cat("unknown packet type in stream: ", type));
    }
  }();
  if (out.kind == Outcome::Incomplete) return out;
  if (!st.ok()) {
    // Only a parse that ran out of received bytes is tried again; anything else is bad data.
    if (taken || !protocol::is_incomplete(st.error())) return std::move(st).error();
    out.kind = Outcome::Incomplete;
    out.reason = std::move(st).error();
    out.type = type;
    return out;
  }
  if (!taken) position_ = buffer_.size() - in.remaining();
  if (terminal) {
    end_response();
    return out;
  }
  compact();
  return out;
}

Result<Block> QueryStream::read_compressed_block(const protocol::BlockLayout& layout) {
  ByteBuffer pending;
  Result<Block> block = [&]() -> Result<Block> {
    StreamBytes bytes(*this);
    TW_TRY(skip_table_name(bytes));
    compression::DecompressingReader layer(bytes);
    TW_TRY(layer.start());
    TW_ASSIGN_OR_RETURN(Block b,
                        protocol::read_block_body(layer, layout, settings_.block_byte_limit));
    pending = std::move(layer).into_pending();
    return b;
  }();
  if (!block.ok()) return block_too_large(std::move(block).error());
  // Bytes the decompressing reader took without delivering go back in front of the rest.
  compact();
  if (!pending.empty()) {
    pending.append(buffer_.span());
    buffer_ = std::move(pending);
  }
  return block;
}

Status QueryStream::read_compressed_table_columns() {
  ByteBuffer pending;
  Status st = [&]() -> Status {
    StreamBytes bytes(*this);
    compression::DecompressingReader layer(bytes);
    TW_TRY(layer.start());
    TW_TRY(read_table_columns_body(layer));
    pending = std::move(layer).into_pending();
    return {};
  }();
  if (!st.ok()) return st;
  compact();
  if (!pending.empty()) {
    pending.append(buffer_.span());
    buffer_ = std::move(pending);
  }
  return {};
}

// ---- SyncClient side ----

Result<QueryStream> SyncClient::start_stream(std::string_view query) {
  TW_TRY(check_idle());
  // Refused before anything is sent, so the connection stays idle and usable.
  if (transport_->is_tls()) {
    return Error::io(IoError::custom(IoKind::Unsupported,
                                     "streaming query clone is unsupported for TLS transports"));
  }
  TW_ASSIGN_OR_RETURN(Socket handle, transport_->duplicate_socket());
  {
    DeadlineScope deadline = exchange_deadline();  // the stream itself waits without limit
    TW_TRY(send_query(query, {}, nullptr, {}));
  }
  ConnectionReader::Unread unread = reader_->take_unread();
  stream_link_ = std::make_shared<StreamLink>();
  StreamSettings settings{config_.read_buffer_capacity,  revision(),
                          config_.compression_enabled(), server_info_.recv_chunked,
                          server_info_.send_chunked,     protocol::kDefaultBlockByteLimit,
                          config_.query_timeout};
  // Like the connection's socket, the stream pauses after query_timeout without bytes (and then
  // waits again between packets).
  std::unique_ptr<Transport> transport = Transport::new_plain(std::move(handle));
  transport->set_wait_limit(config_.query_timeout);
  return QueryStream(std::move(transport), std::move(unread.payload), std::move(unread.raw),
                     settings, stream_link_);
}

}  // namespace tarnwick::sync
