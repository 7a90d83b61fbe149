#include "tarnwick/sync/stream.h"

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

[[gnu::cold]] Error truncated(uint64_t type) {
  return Error::protocol(base::cat("truncated ", packet_name(type), " packet in query stream"));
}

}  // namespace

// A byte source over the stream's buffer from a packet's start that receives more bytes when they
// run out, so that the packet is read once, however its bytes arrive. Every byte it serves stays
// in the buffer while it lives, and it serves no more than a packet may take: past that the
// packet is refused. Before its first receive it moves the packet's bytes to the buffer's front,
// once a packet, so that the buffer holds the packet and at most one receive past it. When it
// goes, the stream's position stands after what it served.
class StreamBytes final : public base::RetainingSource {
 public:
  explicit StreamBytes(QueryStream& stream) : stream_(stream), start_(stream.position_) {
    rebase(stream.position_);
  }
  ~StreamBytes() override { stream_.position_ = index(); }

  uint64_t offset() const override { return index() - start_; }
  std::span<const uint8_t> served(uint64_t from, uint64_t to) const override {
    return {stream_.buffer_.data() + start_ + from, static_cast<size_t>(to - from)};
  }
  Result<std::span<const uint8_t>> view(size_t n) override {
    while (buffered().size() < n) {
      TW_ASSIGN_OR_RETURN(const size_t got, receive_more());
      if (got == 0) {
        consume(buffered().size());
        return Error::io(IoError::unexpected_eof());
      }
    }
    const std::span<const uint8_t> run = buffered().first(n);
    consume(n);
    return run;
  }
  // From here on the bytes are a compressed body's, whose reader words the failures of receives
  // itself.
  void set_framed() { framed_ = true; }
  bool framed() const { return framed_; }
  // What ended the packet's bytes from below, as the stream reports it, if anything did: a decoder
  // above may have worded it as a fault of its own.
  const std::optional<Error>& failure() const { return failure_; }

 protected:
  Result<size_t> refill() override { return receive_more(); }

 private:
  size_t index() const { return static_cast<size_t>(pos_ - stream_.buffer_.data()); }
  // The window: from `at` to the end of what arrived, but no further than the packet may reach.
  void rebase(size_t at) {
    const ByteBuffer& buffer = stream_.buffer_;
    const uint64_t reach = start_ + stream_.packet_cap();
    pos_ = buffer.data() + at;
    end_ = buffer.data() + static_cast<size_t>(std::min<uint64_t>(buffer.size(), reach));
  }
  // Receives until the window holds more; how much it then holds, or 0 once the bytes ended.
  Result<size_t> receive_more() {
    QueryStream& s = stream_;
    if (static_cast<uint64_t>(end_ - s.buffer_.data()) - start_ >= s.packet_cap()) {
      return fail(Error::protocol(base::cat("packet of more than ", s.packet_cap(),
                                            " bytes exceeds the stream's limit of ", s.packet_cap(),
                                            " bytes")));
    }
    size_t at = index();
    if (start_ != 0) {
      const size_t begun = s.buffer_.size() - start_;
      if (begun != 0) std::memmove(s.buffer_.data(), s.buffer_.data() + start_, begun);
      s.buffer_.resize(begun);
      s.bytes_moved_ += begun;
      at -= start_;
      start_ = 0;
      rebase(at);
    }
    for (;;) {
      Result<QueryStream::Fill> got =
          s.receive_at(framed_ ? QueryStream::Place::FramedBody : QueryStream::Place::Packet);
      if (!got.ok()) return fail(std::move(got).error());
      if (got->ended) return size_t{0};
      if (got->added != 0) break;  // a zero-length chunk inside a packet is stepped over
    }
    rebase(at);
    return buffered().size();
  }
  Error fail(Error e) {
    failure_ = e;
    return e;
  }

  QueryStream& stream_;
  size_t start_;  // the packet's first byte in the buffer
  bool framed_ = false;
  std::optional<Error> failure_;
};

// What one packet gave.
struct QueryStream::Outcome {
  enum Kind : uint8_t { Handled, Data, End } kind = Handled;
  Block block;
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

Result<QueryStream::Fill> QueryStream::receive_at(Place place) {
  bool at_boundary = false;
  Result<Fill> got = receive(at_boundary);
  if (got.ok()) return got;
  Error e = std::move(got).error();
  if (e.is_io(IoKind::WouldBlock)) {
    // A read time-out: between packets the stream waits again, inside one it ends.
    if (place == Place::Between && at_boundary) return Fill{};
    return stalled();
  }
  if (place == Place::FramedBody) return e;
  if (e.is_io(IoKind::InvalidData)) return Error::protocol(e.io_error().message);
  if (!at_boundary) return e;
  if (e.is_io(IoKind::UnexpectedEof)) return Fill{0, true};
  if (e.is_io(IoKind::TimedOut)) {
    end_error_ = std::move(e);
    return Fill{0, true};
  }
  return e;
}

uint64_t QueryStream::packet_cap() const {
  // A block's wire form may exceed its cost by what is read but not kept (length prefixes, block
  // info, LowCardinality indexes); a column's worth of slack is left for it.
  return settings_.block_byte_limit + protocol::kColumnByteLimit;
}

size_t QueryStream::packet_room() const {
  // A packet's bytes lie at the buffer's front once it receives (see StreamBytes): the buffer
  // grows to no more than the cap, and one receive may pass it.
  const uint64_t cap = packet_cap();
  return buffer_.size() < cap ? static_cast<size_t>(cap - buffer_.size()) : 0;
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
  // Every packet before is done: the next one starts at the buffer's front.
  buffer_.clear();
  position_ = 0;
  return receive_at(Place::Between);
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
      continue;  // nothing added (a read time-out, framing) waits again
    }
    TW_ASSIGN_OR_RETURN(Outcome outcome, read_packet());
    switch (outcome.kind) {
      case Outcome::Data:
        return std::optional<Block>(std::move(outcome.block));
      case Outcome::End:
        return std::optional<Block>{};
      case Outcome::Handled:
        break;
    }
  }
}

Result<QueryStream::Outcome> QueryStream::read_packet() {
  Outcome out;
  uint64_t type = 0;
  ByteBuffer pending;  // what a decompressing reader took past a compressed body
  Status st;
  {
    // The packet's bytes are served from position on; position follows once `in` is gone.
    StreamBytes in(*this);
    st = [&]() -> Status {
      TW_ASSIGN_OR_RETURN(type, protocol::read_varint(in));
      return read_packet_body(in, type, out, pending);
    }();
    // A compressed body's reader reports the failures below it in its own words, and a server
    // exception is the packet's content. Elsewhere a failure of the receives is reported as the
    // stream words it, not as the decoder that met it did, and a packet whose bytes ended is cut
    // off.
    if (!st.ok() && !in.framed() && st.error().kind() != base::ErrorKind::Server) {
      if (in.failure()) {
        st = *in.failure();
      } else if (protocol::is_incomplete(st.error())) {
        st = truncated(type);
      }
    }
  }
  if (!pending.empty()) put_back(std::move(pending));
  // EndOfStream or a server exception: the response ends with this packet.
  if (out.kind == Outcome::End || (!st.ok() && st.error().kind() == base::ErrorKind::Server)) {
    end_response(!st.ok());
  }
  if (!st.ok()) return std::move(st).error();
  return out;
}

Status QueryStream::read_packet_body(StreamBytes& in, uint64_t type, Outcome& out,
                                     ByteBuffer& pending) {
  const protocol::BlockLayout layout = protocol::BlockLayout::for_revision(settings_.revision);
  // A compressed body, read through a decompressing reader of its own; what that reader took
  // past the body goes back to the buffer.
  auto through_frames = [&](auto read) -> Status {
    in.set_framed();
    compression::DecompressingReader layer(in);
    TW_TRY(layer.start());
    TW_TRY(read(layer));
    pending = std::move(layer).into_pending();
    return {};
  };
  switch (type) {
    case uint64_t(ServerPacket::Data):
    case uint64_t(ServerPacket::Totals):
    case uint64_t(ServerPacket::Extremes):
    case uint64_t(ServerPacket::ProfileEvents):
    case uint64_t(ServerPacket::Log): {  // Log blocks are never compressed
      Result<Block> block = [&]() -> Result<Block> {
        TW_TRY(skip_table_name(in));
        if (!settings_.compression || type == uint64_t(ServerPacket::Log)) {
          return protocol::parse_block_body(in, layout, settings_.block_byte_limit);
        }
        Block b;
        TW_TRY(through_frames([&](ByteSource& layer) -> Status {
          TW_ASSIGN_OR_RETURN(b,
                              protocol::read_block_body(layer, layout, settings_.block_byte_limit));
          return {};
        }));
        return b;
      }();
      if (!block.ok()) return block_too_large(std::move(block).error());
      if (type == uint64_t(ServerPacket::Data)) {
        out.kind = Outcome::Data;
        out.block = std::move(block).value();
      }
      return {};
    }
    case uint64_t(ServerPacket::TableColumns):
      if (!settings_.compression) return read_table_columns_body(in);
      return through_frames([](ByteSource& layer) { return read_table_columns_body(layer); });
    case uint64_t(ServerPacket::Exception):
      return read_exception_packet(in);
    case uint64_t(ServerPacket::EndOfStream):
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
      // A parallel-replica request is answered once it has been read whole.
      const ServerPacketContext context{settings_.revision, transport_.get(),
                                        settings_.send_chunked};
      Result<ServerPacket> packet = read_server_packet_body(in, type, context);
      return packet.ok() ? Status{} : Status(std::move(packet).error());
    }
    default:
      return Error::protocol(base::cat("unknown packet type in stream: ", type));
  }
}

void QueryStream::put_back(ByteBuffer pending) {
  // In place of bytes already read, when they leave room; else in front of the rest, copied.
  if (pending.size() <= position_) {
    position_ -= pending.size();
    std::memcpy(buffer_.data() + position_, pending.data(), pending.size());
    return;
  }
  pending.append(std::span<const uint8_t>(buffer_.data() + position_, buffer_.size() - position_));
  buffer_ = std::move(pending);
  position_ = 0;
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
