#include "tarnwick/compression/decompressing_reader.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::compression {

using base::ByteBuffer;
using base::cat;
using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;

namespace {

[[gnu::cold]] std::string frame_cap_text(uint32_t compressed_size) {
  return cat("compressed_size ", compressed_size, " exceeds ", kMaxFrameSize, " byte frame cap");
}

[[gnu::cold]] Error invalid_data(std::string text) {
  return Error::io(IoError::custom(IoKind::InvalidData, std::move(text)));
}

// Verifies and decodes `frame`. A stored payload is returned in place; LZ4 output goes to `out`.
Result<std::span<const uint8_t>> decode_into(std::span<const uint8_t> frame, ByteBuffer& out) {
  TW_ASSIGN_OR_RETURN(FrameHeader h, detail::verify_frame(frame));
  std::span<const uint8_t> payload =
      frame.subspan(kFramePrefixSize, h.compressed_size - kHeaderSize);
  if (h.method == kMethodNone) return payload;
  out.resize(h.uncompressed_size);
  TW_TRY(detail::lz4_decode(payload, out.data(), h.uncompressed_size));
  return out.span();
}

}  // namespace

DecompressError DecompressError::io(const Error& inner) {
  return {Kind::Io,
          inner.kind() == base::ErrorKind::Io ? inner.io_error().to_string() : inner.to_string()};
}

std::string DecompressError::to_string() const {
  return cat(kind_ == Kind::Io ? "compressed response I/O: " : "compressed response: ", text_);
}

Error DecompressError::to_error() const {
  return invalid_data(to_string());
}

Status DecompressingReader::start() {
  frame_.resize(kFramePrefixSize);
  uint8_t* f = frame_.data();
  if (Status s = inner_.read_exact(f, kChecksumSize + 1); !s.ok()) {
    return DecompressError::io(s.error()).to_error();
  }
  auto pass_through = [&](size_t probed) {
    passthrough_ = true;
    set_window(frame_.data(), probed);
    return Status{};
  };
  if (!is_known_method(f[kChecksumSize])) return pass_through(kChecksumSize + 1);
  if (Status s = inner_.read_exact(f + kChecksumSize + 1, kHeaderSize - 1); !s.ok()) {
    return DecompressError::io(s.error()).to_error();
  }
  const FrameHeader h = parse_frame_header(f + kChecksumSize);
  if (h.compressed_size < kHeaderSize) return pass_through(kFramePrefixSize);
  if (h.compressed_size > kMaxFrameSize) {
    return DecompressError::message(frame_cap_text(h.compressed_size)).to_error();
  }
  frame_.resize(kChecksumSize + h.compressed_size);
  if (Status s =
          inner_.read_exact(frame_.data() + kFramePrefixSize, h.compressed_size - kHeaderSize);
      !s.ok()) {
    return DecompressError::io(s.error()).to_error();
  }
  size_t direct = 0;
  if (auto err = take_frame(nullptr, 0, &direct)) return err->to_error();
  return {};
}

std::optional<DecompressError> DecompressingReader::count_decoded(size_t n) {
  uint64_t sum;
  if (__builtin_add_overflow(decoded_total_, static_cast<uint64_t>(n), &sum)) [[unlikely]] {
    return DecompressError::limit("decompressed block cumulative byte length overflow");
  }
  if (sum > kMaxDecodedPerReader) [[unlikely]] {
    return DecompressError::limit(cat("decompressed block cumulative byte length ", sum,
                                      " exceeds limit ", kMaxDecodedPerReader));
  }
  decoded_total_ = sum;
  return std::nullopt;
}

std::optional<DecompressError> DecompressingReader::take_frame(uint8_t* dst, size_t room,
                                                               size_t* direct) {
  *direct = 0;
  const FrameHeader h = parse_frame_header(frame_.data() + kChecksumSize);
  if (dst != nullptr && h.method == kMethodLz4 && h.uncompressed_size <= room) {
    // The caller wants at least this frame's output: decode straight into its buffer.
    auto verified = detail::verify_frame(frame_.span());
    if (!verified.ok()) return DecompressError::message(verified.error().to_string());
    Status s =
        detail::lz4_decode(frame_.span().subspan(kFramePrefixSize, h.compressed_size - kHeaderSize),
                           dst, h.uncompressed_size);
    if (!s.ok()) return DecompressError::message(s.error().to_string());
    if (auto err = count_decoded(h.uncompressed_size)) return err;
    *direct = h.uncompressed_size;
    return std::nullopt;
  }
  auto decoded = decode_into(frame_.span(), decoded_);
  if (!decoded.ok()) return DecompressError::message(decoded.error().to_string());
  if (auto err = count_decoded(decoded->size())) return err;
  set_window(decoded->data(), decoded->size());
  return std::nullopt;
}

Result<bool> DecompressingReader::read_next_frame() {
  frame_.resize(kFramePrefixSize);
  Result<uint8_t> first = inner_.read_u8();
  // A signal between frames is not a failure; try again.
  while (!first.ok() && first.error().is_io(IoKind::Interrupted)) first = inner_.read_u8();
  if (!first.ok()) {
    if (first.error().is_io(IoKind::UnexpectedEof)) return false;  // the body ended here
    return std::move(first).error();
  }
  uint8_t* f = frame_.data();
  f[0] = *first;
  TW_TRY(inner_.read_exact(f + 1, kFramePrefixSize - 1));
  const FrameHeader h = parse_frame_header(f + kChecksumSize);
  if (h.compressed_size < kHeaderSize) [[unlikely]] {
    return invalid_data(
        cat("compressed_size ", h.compressed_size, " < header length ", kHeaderSize));
  }
  if (h.compressed_size > kMaxFrameSize) [[unlikely]] {
    return invalid_data(frame_cap_text(h.compressed_size));
  }
  frame_.resize(kChecksumSize + h.compressed_size);
  TW_TRY(inner_.read_exact(frame_.data() + kFramePrefixSize, h.compressed_size - kHeaderSize));
  return true;
}

Result<size_t> DecompressingReader::refill() {
  if (passthrough_) {
    // Hand on whatever the inner source has buffered, at least one byte.
    Result<uint8_t> first = inner_.read_u8();
    if (!first.ok()) {
      if (first.error().is_io(IoKind::UnexpectedEof)) return size_t{0};
      return std::move(first).error();
    }
    std::span<const uint8_t> more = inner_.buffered();
    decoded_.resize(1 + more.size());
    decoded_.data()[0] = *first;
    if (!more.empty()) std::memcpy(decoded_.data() + 1, more.data(), more.size());
    inner_.consume(more.size());
    set_window(decoded_.data(), decoded_.size());
    return decoded_.size();
  }
  // Frames that decode to nothing lead straight to the next one.
  while (true) {
    TW_ASSIGN_OR_RETURN(bool got, read_next_frame());
    if (!got) return size_t{0};
    size_t direct = 0;
    if (auto err = take_frame(nullptr, 0, &direct)) return err->to_error();
    if (pos_ != end_) return static_cast<size_t>(end_ - pos_);
  }
}

Status DecompressingReader::read_direct(uint8_t* dst, size_t n) {
  if (passthrough_) return inner_.read_exact(dst, n);
  while (n != 0) {
    if (pos_ == end_) {
      TW_ASSIGN_OR_RETURN(bool got, read_next_frame());
      if (!got) return Error::io(IoError::unexpected_eof());
      size_t direct = 0;
      if (auto err = take_frame(dst, n, &direct)) return err->to_error();
      dst += direct;
      n -= direct;
      continue;
    }
    const size_t take = take_buffered(dst, n);
    dst += take;
    n -= take;
  }
  return {};
}

ByteBuffer DecompressingReader::into_pending() && {
  ByteBuffer out;
  out.append(pos_, static_cast<size_t>(end_ - pos_));
  pos_ = end_ = nullptr;
  return out;
}

}  // namespace tarnwick::compression
