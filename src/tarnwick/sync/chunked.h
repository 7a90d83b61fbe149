// The chunk reader over a byte source, and the writers of client packets.
//
// Chunked framing (both directions, negotiated per direction in the handshake): a message is a run
// of chunks, each a little-endian u32 payload length followed by that many bytes, ended by a chunk
// of length 0. The client sends every packet buffer as exactly one chunk and one zero length; the
// reader accepts any number of chunks and zero lengths anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnwick/base/byte_sink.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {

inline constexpr uint32_t kMaxChunkLength = 67108864;  // 64 MiB
// The most chunk bytes a reader holds at once; a longer chunk is received in pieces.
inline constexpr size_t kChunkBufferLimit = 1 << 20;

// Removes the chunk framing from an inner byte source: the payloads of all chunks read as one
// continuous stream; zero lengths are skipped; a chunk longer than 64 MiB fails with an Io error
// of kind InvalidData "chunked transport chunk length {} exceeds maximum {}"; end of stream inside
// a length or a chunk is an unexpected-end-of-file error. A chunk of up to kChunkBufferLimit
// bytes is received whole before its first byte is handed out; a longer one is received in
// pieces of that size, so the buffer, reused from chunk to chunk, never holds more. A read asking
// for the whole rest of a chunk, or for a large part of it, receives those bytes straight into
// its destination.
class ChunkedReader final : public base::ByteSource {
 public:
  explicit ChunkedReader(base::ByteSource& inner) : inner_(inner) {}

  // Bytes of the current chunk not yet read.
  size_t chunk_remaining() const { return static_cast<size_t>(end_ - pos_) + unreceived_; }
  // The room the reader holds for chunk bytes.
  size_t buffer_capacity() const { return chunk_.capacity(); }

  // Hands over the part of the current chunk still with the inner source: appends to `raw` the
  // chunk length that frames it, so that `raw` followed by the inner source's unread bytes is
  // framed from its start, and forgets it. The buffered bytes are the caller's to take first.
  void take_unreceived(base::ByteBuffer& raw);

 protected:
  base::Result<size_t> refill() override;
  base::Status read_direct(uint8_t* dst, size_t n) override;

 private:
  // The next non-zero chunk length.
  base::Result<uint32_t> next_length();

  base::ByteSource& inner_;
  base::ByteBuffer chunk_;
  uint32_t unreceived_ = 0;  // bytes of the current chunk not yet taken from the inner source
};

// Refuses, when chunked, a packet over 4294967295 bytes, which cannot travel as one chunk:
// Protocol "chunked packet too large: {} bytes".
base::Status check_packet_length(uint64_t length, bool chunked);

// Sends one packet built in memory and flushes. Chunked: the u32 length, the packet and the zero
// terminator go out in one vectored write; a packet too large for one chunk fails with the error
// of check_packet_length before anything is written.
base::Status write_native_packet(base::ByteSink& sink, std::span<const uint8_t> packet,
                                 bool chunked);

// The same for a packet given as slices, written back to back without copying them (sendmsg on a
// plain socket).
base::Status write_native_packet(base::ByteSink& sink,
                                 std::span<const std::span<const uint8_t>> slices, bool chunked);

}  // namespace tarnwick::sync
