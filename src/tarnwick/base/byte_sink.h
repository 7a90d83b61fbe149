// Where client packets go: the transport, or a test buffer. A packet is built whole in memory and
// handed over with one write_all (or one vectored write for inserts), then flushed.
#pragma once

#include <span>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"

namespace tarnwick::base {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes every byte or fails; interrupted writes are retried and partial writes resumed.
  virtual Status write_all(std::span<const uint8_t> bytes) = 0;
  // Writes the slices back to back, as one write where the sink can (sendmsg on a socket).
  virtual Status write_all_vectored(std::span<const std::span<const uint8_t>> slices) {
    for (auto s : slices) TW_TRY(write_all(s));
    return {};
  }
  virtual Status flush() { return {}; }
};

// Collects everything written; for tests and for building a packet in memory.
class BufferSink final : public ByteSink {
 public:
  Status write_all(std::span<const uint8_t> bytes) override {
    buffer.append(bytes);
    return {};
  }
  ByteBuffer buffer;
};

}  // namespace tarnwick::base
