// A query whose result is read one block at a time. SyncClient::start_stream sends the query and
// hands the reading of the response to a QueryStream, which reads the connection's socket through
// a duplicated handle of its own: it receives raw bytes into a buffer, removes the chunk framing
// there, and reads each packet once through a byte source over that buffer that receives more
// when the packet's bytes run out, so a packet costs the same however its bytes arrive. What that
// source served stays in the buffer until the packet is done, so that an uncompressed column is
// copied out of it once; compressed blocks are decoded through a decompressing reader over it.
//
// The stream and its client share a StreamLink. While the stream reads, the client refuses every
// exchange; once the stream has seen the response's terminal packet (EndOfStream or a server
// exception, which the client checks with a Ping before its next exchange) the connection is idle
// again. A stream that stops, or is dropped, before that point leaves the response half-read: the
// client then shuts the connection down and refuses further exchanges as on a broken connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/sync/socket.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {

// What a client knows of the stream that reads its connection. The stream's end and its
// abandonment (a discard from another thread, or the stream's failure) compete for one state:
// whichever leaves Reading first decides, and the other finds it decided.
class StreamLink {
 public:
  enum class State : uint8_t { Reading, Ended, Abandoned };

  State state() const { return state_.load(std::memory_order_acquire); }
  // The response reached its terminal packet; the connection is idle, unless the stream was
  // abandoned first. `payload` and `raw` are the bytes the stream received past the response's
  // end, free of chunk framing and still framed: they belong to the client's next exchange.
  // `by_exception`: the terminal packet was a server exception.
  void set_ended(base::ByteBuffer payload = {}, base::ByteBuffer raw = {},
                 bool by_exception = false) {
    if (state() != State::Reading) return;
    leftover_payload_ = std::move(payload);
    leftover_raw_ = std::move(raw);
    ended_by_exception_ = by_exception;
    State reading = State::Reading;
    state_.compare_exchange_strong(reading, State::Ended, std::memory_order_acq_rel);
  }
  // The bytes handed back by set_ended; only once state() is Ended.
  base::ByteBuffer take_leftover_payload() { return std::move(leftover_payload_); }
  base::ByteBuffer take_leftover_raw() { return std::move(leftover_raw_); }
  // Whether the response ended in a server exception; only once state() is Ended.
  bool ended_by_exception() const { return ended_by_exception_; }
  // The response is left half-read (the client then shuts the connection down), unless it has
  // ended. True when the stream is abandoned, by this call or an earlier one; false once the
  // response has ended, when the connection is the client's again and must be left alone.
  bool abandon() {
    State seen = State::Reading;
    return state_.compare_exchange_strong(seen, State::Abandoned, std::memory_order_acq_rel) ||
           seen == State::Abandoned;
  }

 private:
  std::atomic<State> state_{State::Reading};
  base::ByteBuffer leftover_payload_;  // written before Ended is published, read after
  base::ByteBuffer leftover_raw_;
  bool ended_by_exception_ = false;
};

// The connection's negotiated choices, as the stream needs them.
struct StreamSettings {
  size_t read_chunk = kDefaultReadBufferCapacity;  // bytes asked for by one unchunked receive
  uint64_t revision = 0;
  bool compression = false;
  bool recv_chunked = false;
  bool send_chunked = false;
  // What one block may cost, everything it holds together, as the block decoders charge it; a
  // packet's bytes are held to it and a column's worth more. A stream has no response-size
  // budget.
  uint64_t block_byte_limit = 268435456;
  // How long a packet begun may pause before the stream ends with a time-out.
  base::Duration query_timeout = base::Duration::from_secs(30);
};

class StreamBytes;

class QueryStream {
 public:
  // `received` holds the connection's bytes that were read but not consumed before the stream
  // started: free of chunk framing in `payload`, still framed in `raw` (empty unless the receive
  // direction is chunked).
  QueryStream(std::unique_ptr<Transport> transport, base::ByteBuffer payload, base::ByteBuffer raw,
              StreamSettings settings, std::shared_ptr<StreamLink> link);
  QueryStream(QueryStream&&) noexcept = default;
  QueryStream& operator=(QueryStream&&) = delete;
  ~QueryStream();

  // The next Data block of the response (blocks without rows included), or nothing at its end.
  // Once the response ended (EndOfStream, a server exception, the connection's end) every call
  // returns nothing. A connection that ends between packets is an error, never the end.
  base::Result<std::optional<protocol::Block>> read_next_block();

  // A further duplicate of the stream's socket, for shutting it down from another thread.
  base::Result<Socket> shutdown_handle() const { return transport_->duplicate_socket(); }
  bool finished() const { return finished_; }
  // The bytes moved inside the buffer so far: never more than were received.
  uint64_t bytes_moved() const { return bytes_moved_; }
  const std::shared_ptr<StreamLink>& link() const { return link_; }

 private:
  friend class StreamBytes;
  struct Outcome;
  struct Fill {
    size_t added = 0;
    bool ended = false;    // the connection ended (or a receive timed out) between packets
    bool framing = false;  // a zero-length chunk: framing only, and more may follow at once
  };

  // One receive appended to the buffer: up to read_chunk bytes, or one chunk, which may be a
  // zero-length one (framing: nothing added, not the end). Failures are the transport's,
  // unchanged; `at_boundary` tells whether one came while waiting for the next chunk length.
  base::Result<Fill> receive(bool& at_boundary);
  // Where a receive is made: between packets, inside one, or inside a compressed body, whose
  // reader words the failures of the layer below itself.
  enum class Place : uint8_t { Between, Packet, FramedBody };
  // One receive, its failures as the stream reports them there: the connection's end or a
  // time-out at a chunk boundary ends the bytes (Fill::ended), a read time-out waits again between
  // packets and is the exchange's time-out inside one, and a bad chunk length is a protocol error.
  base::Result<Fill> receive_at(Place place);
  // The response reached its terminal packet (a server exception when `by_exception`): the bytes
  // received past it go back to the client.
  void end_response(bool by_exception = false);
  // The most bytes a packet may take: past it the packet is refused, and the buffer grows to no
  // more than it and one receive.
  uint64_t packet_cap() const;
  size_t packet_room() const;
  base::Result<std::optional<protocol::Block>> next_block();
  // A receive between packets, into an emptied buffer.
  base::Result<Fill> fill_buffer();
  // Reads and handles the packet at position.
  base::Result<Outcome> read_packet();
  // The packet's body, after its type; a compressed body leaves in `pending` what its reader took
  // past it.
  base::Status read_packet_body(StreamBytes& in, uint64_t type, Outcome& out,
                                base::ByteBuffer& pending);
  // Puts bytes that a decompressing reader took but did not deliver back in front of position.
  void put_back(base::ByteBuffer pending);
  base::Error connection_ended();
  // A packet begun paused for query_timeout: the time-out a buffered exchange reports.
  base::Error stalled() const;

  std::unique_ptr<Transport> transport_;
  // Received bytes, chunk framing removed: those before position are read, and are dropped when
  // the buffer is next refilled.
  base::ByteBuffer buffer_;
  size_t position_ = 0;  // next unread byte in buffer_
  StreamSettings settings_;
  std::shared_ptr<StreamLink> link_;
  std::optional<base::Error> end_error_;  // a time-out that ended the wait between packets
  uint8_t length_bytes_[4] = {};          // a chunk length being received
  uint8_t length_have_ = 0;
  bool finished_ = false;
  uint64_t bytes_moved_ = 0;  // what moving a packet begun to the buffer's front has copied
};

}  // namespace tarnwick::sync
