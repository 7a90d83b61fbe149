#include "tarnwick/sync/chunked.h"

#include <algorithm>
#include <array>
#include <vector>

#include "tarnwick/base/endian.h"
#include "tarnwick/base/format.h"

namespace tarnwick::sync {

using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;

namespace {

[[gnu::cold]] Error chunk_too_long(uint32_t length) {
  return Error::io(IoError::custom(
      IoKind::InvalidData,
      base::cat("chunked transport chunk length ", length, " exceeds maximum ", kMaxChunkLength)));
}

[[gnu::cold]] Error packet_too_large(uint64_t length) {
  return Error::protocol(base::cat("chunked packet too large: ", length, " bytes"));
}

// Reads from this size up go straight into the caller's destination, even when the chunk goes on.
constexpr size_t kDirectRead = 65536;

}  // namespace

Result<uint32_t> ChunkedReader::next_length() {
  for (;;) {
    uint8_t raw[4];
    TW_TRY(inner_.read_exact(raw, 4));
    const auto length = base::load_le<uint32_t>(raw);
    if (length == 0) continue;
    if (length > kMaxChunkLength) return chunk_too_long(length);
    return length;
  }
}

Result<size_t> ChunkedReader::refill() {
  if (unreceived_ == 0) {
    TW_ASSIGN_OR_RETURN(unreceived_, next_length());
  }
  const size_t length = std::min<size_t>(unreceived_, kChunkBufferLimit);
  chunk_.resize(length);
  pos_ = end_ = chunk_.data();
  TW_TRY(inner_.read_exact(chunk_.data(), length));
  unreceived_ -= static_cast<uint32_t>(length);
  end_ = chunk_.data() + length;
  return length;
}

Status ChunkedReader::read_direct(uint8_t* dst, size_t n) {
  while (n != 0) {
    if (unreceived_ == 0) {
      TW_ASSIGN_OR_RETURN(unreceived_, next_length());
    }
    if (n >= unreceived_ || n >= kDirectRead) {
      // The rest of the chunk, or a large part of it: receive it straight into the destination.
      const size_t length = std::min<size_t>(n, unreceived_);
      TW_TRY(inner_.read_exact(dst, length));
      unreceived_ -= static_cast<uint32_t>(length);
      dst += length;
      n -= length;
      continue;
    }
    // Less than what is buffered next: the rest stays in the window.
    TW_TRY(refill());
    take_buffered(dst, n);
    return {};
  }
  return {};
}

void ChunkedReader::take_unreceived(base::ByteBuffer& raw) {
  if (unreceived_ == 0) return;
  base::store_le(raw.extend(4), unreceived_);
  unreceived_ = 0;
}

Status check_packet_length(uint64_t length, bool chunked) {
  if (chunked && length > UINT32_MAX) return packet_too_large(length);
  return {};
}

namespace {

constexpr uint8_t kEndOfMessage[4] = {0, 0, 0, 0};

// The chunk length in front of a payload of `length` bytes.
Result<std::array<uint8_t, 4>> chunk_header(uint64_t length) {
  TW_TRY(check_packet_length(length, true));
  std::array<uint8_t, 4> header;
  base::store_le(header.data(), static_cast<uint32_t>(length));
  return header;
}

Status write_and_flush(base::ByteSink& sink, std::span<const std::span<const uint8_t>> slices) {
  TW_TRY(sink.write_all_vectored(slices));
  return sink.flush();
}

}  // namespace

Status write_native_packet(base::ByteSink& sink, std::span<const uint8_t> packet, bool chunked) {
  if (!chunked) {
    TW_TRY(sink.write_all(packet));
    return sink.flush();
  }
  TW_ASSIGN_OR_RETURN(const auto header, chunk_header(packet.size()));
  const std::span<const uint8_t> slices[3] = {header, packet, kEndOfMessage};
  return write_and_flush(sink, slices);
}

Status write_native_packet(base::ByteSink& sink, std::span<const std::span<const uint8_t>> slices,
                           bool chunked) {
  if (!chunked) return write_and_flush(sink, slices);
  uint64_t total = 0;
  for (auto s : slices) total += s.size();
  TW_ASSIGN_OR_RETURN(const auto header, chunk_header(total));
  std::vector<std::span<const uint8_t>> framed;
  framed.reserve(slices.size() + 2);
  framed.push_back(header);
  framed.insert(framed.end(), slices.begin(), slices.end());
  framed.push_back(kEndOfMessage);
  return write_and_flush(sink, framed);
}

}  // namespace tarnwick::sync
