#include "tarnwick/compression/frame.h"

#include <lz4.h>

#include <cstring>
#include <limits>

#include "tarnwick/base/endian.h"
#include "tarnwick/base/format.h"
#include "tarnwick/compression/cityhash.h"

namespace tarnwick::compression {

using base::ByteBuffer;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

inline uint32_t load_u32(const uint8_t* p) {
  return base::load_le<uint32_t>(p);
}
inline uint64_t load_u64(const uint8_t* p) {
  return base::load_le<uint64_t>(p);
}

inline void store_u32(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, sizeof v);
}

inline void store_u64(uint8_t* p, uint64_t v) {
  std::memcpy(p, &v, sizeof v);
}

[[gnu::cold]] Error size_field_error(uint64_t payload_len, uint64_t encoded_len) {
  if (encoded_len + kHeaderSize > kU32Max) {
    return Error::compression(cat("compressed frame of ", encoded_len + kHeaderSize,
                                  " bytes exceeds the u32 wire size field"));
  }
  return Error::compression(
      cat("uncompressed payload of ", payload_len, " bytes exceeds the u32 wire size field"));
}

inline bool sizes_fit(uint64_t payload_len, uint64_t encoded_len) {
  return encoded_len <= kU32Max - kHeaderSize && payload_len <= kU32Max;
}

[[gnu::cold]] Error frame_cap_error(const char* field, uint32_t size) {
  return Error::compression(cat(field, " ", size, " exceeds ", kMaxFrameSize, " byte frame cap"));
}

[[gnu::cold]] Error length_mismatch(size_t actual, uint32_t declared) {
  return Error::compression(cat("decompressed length ", actual, " != uncompressed_size ", declared,
                                " declared in header"));
}

}  // namespace

FrameHeader parse_frame_header(const uint8_t* p) {
  return {p[0], load_u32(p + 1), load_u32(p + 5)};
}

namespace detail {

Status check_lz4_input_size(size_t len) {
  if (len > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) [[unlikely]] {
    return Error::compression(cat("LZ4 input of ", len, " bytes exceeds the codec limit of ",
                                  LZ4_MAX_INPUT_SIZE, " bytes"));
  }
  return {};
}

Result<FrameHeader> verify_frame(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFramePrefixSize) return Error::io(base::IoError::unexpected_eof());
  const uint8_t* frame = bytes.data();
  FrameHeader h = parse_frame_header(frame + kChecksumSize);
  if (!is_known_method(h.method)) [[unlikely]] {
    static constexpr char kHex[] = "0123456789abcdef";
    const char digits[] = {kHex[h.method >> 4], kHex[h.method & 0xF], '\0'};
    return Error::compression(cat("unknown compression method byte: 0x", digits));
  }
  if (h.compressed_size < kHeaderSize) [[unlikely]] {
    return Error::compression(
        cat("compressed_size ", h.compressed_size, " < header length ", kHeaderSize));
  }
  if (h.compressed_size > kMaxFrameSize) [[unlikely]] {
    return frame_cap_error("compressed_size", h.compressed_size);
  }
  if (h.uncompressed_size > kMaxFrameSize) [[unlikely]] {
    return frame_cap_error("uncompressed_size", h.uncompressed_size);
  }
  if (bytes.size() - kChecksumSize < h.compressed_size) [[unlikely]] {
    return Error::io(base::IoError::unexpected_eof());
  }
  Hash128 sum = city_hash128(frame + kChecksumSize, h.compressed_size);
  if (sum.low != load_u64(frame) || sum.high != load_u64(frame + 8)) [[unlikely]] {
    return Error::compression(
        "compression frame checksum mismatch (CityHash128) \u2014 corruption suspected");
  }
  if (h.method == kMethodZstd) [[unlikely]] {
    return Error::compression("ZSTD decompression requested but 'zstd' feature not enabled");
  }
  if (h.method == kMethodNone && h.compressed_size - kHeaderSize != h.uncompressed_size)
      [[unlikely]] {
    return length_mismatch(h.compressed_size - kHeaderSize, h.uncompressed_size);
  }
  return h;
}

Status lz4_decode(std::span<const uint8_t> block, uint8_t* dst, uint32_t uncompressed_size) {
  // Both sizes are at most 64 MiB here, so they fit the codec's int arguments.
  uint8_t dummy;
  int got =
      LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                          reinterpret_cast<char*>(dst != nullptr ? dst : &dummy),
                          static_cast<int>(block.size()), static_cast<int>(uncompressed_size));
  if (got < 0) [[unlikely]] {
    return Error::compression(
        cat("lz4 decode: malformed LZ4 block (decoding stopped at input byte ", -(got + 1), ")"));
  }
  if (static_cast<uint32_t>(got) != uncompressed_size) [[unlikely]] {
    return length_mismatch(static_cast<size_t>(got), uncompressed_size);
  }
  return {};
}

}  // namespace detail

Status encode_frame_into(ByteBuffer& out, std::span<const uint8_t> payload, uint8_t method) {
  const size_t start = out.size();
  const size_t len = payload.size();
  uint8_t* frame;
  size_t encoded_len;
  if (method == kMethodNone) {
    if (!sizes_fit(len, len)) [[unlikely]]
      return size_field_error(len, len);
    frame = out.extend(kFramePrefixSize + len);
    if (len != 0) std::memcpy(frame + kFramePrefixSize, payload.data(), len);
    encoded_len = len;
  } else if (method == kMethodLz4) {
    TW_TRY(detail::check_lz4_input_size(len));
    const int src_len = static_cast<int>(len);
    const int bound = LZ4_compressBound(src_len);
    frame = out.extend(kFramePrefixSize + static_cast<size_t>(bound));
    const int got =
        LZ4_compress_default(reinterpret_cast<const char*>(payload.data()),
                             reinterpret_cast<char*>(frame + kFramePrefixSize), src_len, bound);
    if (got <= 0) [[unlikely]] {
      // Cannot happen with a bound-sized output; kept so a codec surprise is an error, not a
      // frame with garbage in it.
      out.resize(start);
      return Error::compression(cat("lz4 encode: compression of ", len, " bytes failed"));
    }
    encoded_len = static_cast<size_t>(got);
    // LZ4 output stays below 2^31 bytes, so both size fields fit whenever the input fits.
    if (!sizes_fit(len, encoded_len)) [[unlikely]] {
      out.resize(start);
      return size_field_error(len, encoded_len);
    }
    out.resize(start + kFramePrefixSize + encoded_len);
  } else {
    return Error::compression("ZSTD compression requested but 'zstd' feature not enabled");
  }

  uint8_t* header = frame + kChecksumSize;
  header[0] = method;
  store_u32(header + 1, static_cast<uint32_t>(encoded_len + kHeaderSize));
  store_u32(header + 5, static_cast<uint32_t>(len));
  Hash128 sum = city_hash128(header, kHeaderSize + encoded_len);
  store_u64(frame, sum.low);
  store_u64(frame + 8, sum.high);
  return {};
}

Result<ByteBuffer> encode_frame(std::span<const uint8_t> payload, uint8_t method) {
  ByteBuffer out;
  TW_TRY(encode_frame_into(out, payload, method));
  return out;
}

Result<ByteBuffer> decode_frame_bytes(std::span<const uint8_t> bytes) {
  TW_ASSIGN_OR_RETURN(FrameHeader h, detail::verify_frame(bytes));
  std::span<const uint8_t> payload =
      bytes.subspan(kFramePrefixSize, h.compressed_size - kHeaderSize);
  ByteBuffer out;
  if (h.method == kMethodNone) {
    out.append(payload);
  } else {
    out.resize(h.uncompressed_size);
    TW_TRY(detail::lz4_decode(payload, out.data(), h.uncompressed_size));
  }
  return out;
}

}  // namespace tarnwick::compression
