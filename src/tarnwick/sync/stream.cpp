#include "tarnwick/sync/stream.h"

#include <sys/ioctl.h>

#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"
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
// moves past it on success. A failure sets `cut_short` when the block has not fully arrived; any
// other failure means the block is bad.
Result<Block> parse_block(base::MemorySource& in, bool& cut_short,
                          const protocol::BlockLayout& layout) {
  const std::span<const uint8_t> rest = in.buffered();
  uint64_t pos = 0;
  Result<Block> block = protocol::parse_block_body(rest, pos, layout);
  if (block.ok()) {
    in.consume(static_cast<size_t>(pos));
  } else {
    cut_short = protocol::ran_out(rest, pos);
  }
  return block;
}

// Whether a read from the buffer's memory source failed only because the packet has not fully
// arrived.
bool incomplete(const Error& e) {
  return e.is_io(IoKind::UnexpectedEof);
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
    if (s.position_ == s.buffer_.size()) {
      bool at_boundary = false;
      TW_ASSIGN_OR_RETURN(size_t got, s.receive(at_boundary));
      if (got == 0) return size_t{0};
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
  if (link_ && link_->state() == StreamLink::State::Reading) link_->abandon();
}

Result<size_t> QueryStream::receive(bool& at_boundary) {
  at_boundary = true;
  if (!settings_.recv_chunked) {
    const size_t before = buffer_.size();
    uint8_t* dst = buffer_.extend(settings_.read_chunk);
    Result<size_t> got = transport_->read_some(dst, settings_.read_chunk);
    buffer_.resize(before + (got.ok() ? *got : 0));
    return got;
  }
  uint32_t length = 0;
  while (length == 0) {
    // The length is kept byte by byte, so a time-out inside it loses nothing.
    while (length_have_ < 4) {
      TW_ASSIGN_OR_RETURN(length_bytes_[length_have_], transport_->read_u8());
      ++length_have_;
    }
    length_have_ = 0;
    std::memcpy(&length, length_bytes_, 4);  // little-endian hosts only, like the rest
  }
  if (length > kMaxChunkLength) return chunk_too_long(length);
  at_boundary = false;
  const size_t before = buffer_.size();
  Status st = transport_->read_exact(buffer_.extend(length), length);
  if (!st.ok()) {
    buffer_.resize(before);
    return std::move(st).error();
  }
  return size_t{length};
}

Result<QueryStream::Fill> QueryStream::fill_buffer() {
  bool at_boundary = false;
  Result<size_t> got = receive(at_boundary);
  if (got.ok()) return Fill{*got, *got == 0};
  Error e = std::move(got).error();
  if (e.is_io(IoKind::InvalidData)) return Error::protocol(e.io_error().message);
  if (!at_boundary) return e;
  if (e.is_io(IoKind::WouldBlock)) return Fill{};  // a read time-out: wait again
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
        const size_t before = buffer_.size();
        TW_ASSIGN_OR_RETURN(Fill fill, fill_buffer());
        if (fill.added == 0) return std::move(*outcome.reason);
        while (buffer_.size() < 2 * before && bytes_ready()) {
          TW_ASSIGN_OR_RETURN(fill, fill_buffer());
          if (fill.added == 0) break;
        }
        break;
      }
    }
  }
}

Result<QueryStream::Outcome> QueryStream::read_packet() {
  // A packet starts at position 0: the buffer is compacted after each one.
  base::MemorySource in(buffer_.span());
  Outcome out;
  bool taken = false;      // read through StreamBytes, which moved position itself
  bool cut_short = false;  // a block parsed from the buffer has not fully arrived
  const protocol::BlockLayout layout = protocol::BlockLayout::for_revision(settings_.revision);
  Status st = [&]() -> Status {
    TW_ASSIGN_OR_RETURN(const uint64_t type, protocol::read_varint(in));
    switch (type) {
      case uint64_t(ServerPacket::Data):
      case uint64_t(ServerPacket::Totals):
      case uint64_t(ServerPacket::Extremes):
      case uint64_t(ServerPacket::ProfileEvents): {
        Result<Block> block = [&]() -> Result<Block> {
          if (!settings_.compression) {
            TW_TRY(skip_table_name(in));
            return parse_block(in, cut_short, layout);
          }
          taken = true;
          position_ = buffer_.size() - in.remaining();
          return read_compressed_block();  // receives what it lacks: no parsing again
        }();
        if (!block.ok()) return std::move(block).error();
        if (type == uint64_t(ServerPacket::Data)) {
          out.kind = Outcome::Data;
          out.block = std::move(block).value();
        }
        return {};
      }
      case uint64_t(ServerPacket::Log):  // never compressed
      {
        TW_TRY(skip_table_name(in));
        Result<Block> block = parse_block(in, cut_short, layout);
        return block.ok() ? Status{} : Status(std::move(block).error());
      }
      case uint64_t(ServerPacket::TableColumns):
        if (!settings_.compression) return read_table_columns_body(in);
        taken = true;
        position_ = buffer_.size() - in.remaining();
        return read_compressed_table_columns();
      case uint64_t(ServerPacket::Exception): {
        Error e = read_exception_packet(in);
        if (e.kind() == base::ErrorKind::Server) {
          finished_ = true;
          link_->set_ended();
        } else if (incomplete(e)) {
          out.kind = Outcome::Incomplete;
          out.reason = Error::protocol("truncated exception packet in query stream");
          return {};
        }
        return e;
      }
      case uint64_t(ServerPacket::EndOfStream):
        finished_ = true;
        link_->set_ended();
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
    if (taken || !(cut_short || incomplete(st.error()))) return std::move(st).error();
    out.kind = Outcome::Incomplete;
    out.reason = std::move(st).error();
    return out;
  }
  if (!taken) position_ = buffer_.size() - in.remaining();
  compact();
  return out;
}

Result<Block> QueryStream::read_compressed_block() {
  ByteBuffer pending;
  Result<Block> block = [&]() -> Result<Block> {
    StreamBytes bytes(*this);
    TW_TRY(skip_table_name(bytes));
    compression::DecompressingReader layer(bytes);
    TW_TRY(layer.start());
    TW_ASSIGN_OR_RETURN(
        Block b,
        protocol::read_block_body(layer, protocol::BlockLayout::for_revision(settings_.revision)));
    pending = std::move(layer).into_pending();
    return b;
  }();
  if (!block.ok()) return block;
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
  StreamSettings settings{config_.read_buffer_capacity, revision(), config_.compression_enabled(),
                          server_info_.recv_chunked, server_info_.send_chunked};
  // Like the connection's socket, the stream pauses after query_timeout without bytes (and then
  // waits again between packets).
  std::unique_ptr<Transport> transport = Transport::new_plain(std::move(handle));
  transport->set_wait_limit(config_.query_timeout);
  return QueryStream(std::move(transport), std::move(unread.payload), std::move(unread.raw),
                     settings, stream_link_);
}

}  // namespace tarnwick::sync
