#include "tarnwick/sync/chunked.h"

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
  TW_ASSIGN_OR_RETURN(uint32_t length, next_length());
  chunk_.resize(length);
  pos_ = end_ = chunk_.data();
  TW_TRY(inner_.read_exact(chunk_.data(), length));
  end_ = chunk_.data() + length;
  return size_t{length};
}

Status ChunkedReader::read_direct(uint8_t* dst, size_t n) {
  while (n != 0) {
    TW_ASSIGN_OR_RETURN(uint32_t length, next_length());
    if (length <= n) {
      // The whole chunk is wanted: receive it straight into the destination.
      TW_TRY(inner_.read_exact(dst, length));
      dst += length;
      n -= length;
      continue;
    }
    chunk_.resize(length);
    TW_TRY(inner_.read_exact(chunk_.data(), length));
    std::memcpy(dst, chunk_.data(), n);
    pos_ = chunk_.data() + n;
    end_ = chunk_.data() + length;
    return {};
  }
  return {};
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
