// The reading end of a connection: one reader per connection, kept for the connection's whole
// life, so that bytes read ahead by one exchange are never lost to the next. It sits on top of the
// transport (whose read buffer it borrows without copying) and, when the server frames its
// messages in chunks, of a chunk reader that lives as long as it does. Layers made for a single
// packet body (the decompressing reader) hand back the bytes they read ahead with unread().
// Writes go straight to the transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tarnwick/base/byte_sink.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/sync/chunked.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {

class ConnectionReader final : public base::ByteSource, public TransportWriter {
 public:
  ConnectionReader(Transport& transport, bool recv_chunked);

  bool recv_chunked() const { return chunked_ != nullptr; }

  // Puts `bytes` back in front of everything not yet read.
  void unread(base::ByteBuffer bytes);

  // Hands over every byte received but not yet read, and forgets them: first those free of chunk
  // framing (`payload`), then the transport's raw bytes behind them (`raw`, still framed; empty
  // when the receive direction is not chunked, where raw bytes are payload already).
  struct Unread {
    base::ByteBuffer payload;
    base::ByteBuffer raw;
  };
  Unread take_unread();
  // The reverse of take_unread, once nothing is buffered: `payload` is read first, then `raw`
  // through the chunk framing.
  void give_back(base::ByteBuffer payload, base::ByteBuffer raw);

 protected:
  base::Result<size_t> refill() override;
  base::Status read_direct(uint8_t* dst, size_t n) override;

 private:
  base::ByteSource& inner() {
    return chunked_ ? static_cast<base::ByteSource&>(*chunked_) : transport_;
  }

  std::unique_ptr<ChunkedReader> chunked_;
  base::ByteBuffer pending_;  // bytes given back; the window points into it while they last
  bool reading_pending_ = false;
};

}  // namespace tarnwick::sync
