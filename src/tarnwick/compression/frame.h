// Compressed frames: the unit in which compressed block bodies travel.
//
//   offset 0   u64  checksum low   } CityHash128 (1.0 series) of bytes 16..end
//   offset 8   u64  checksum high  }
//   offset 16  u8   method         0x02 stored, 0x82 one LZ4 block, 0x90 ZSTD (refused)
//   offset 17  u32  compressed_size    9 + payload length (method and both sizes included)
//   offset 21  u32  uncompressed_size  payload length once decoded
//   offset 25  payload
//
// All integers are little-endian. Encoding checks only the u32 fields; decoding caps both sizes
// at 64 MiB before anything is allocated from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"

namespace tarnwick::compression {

inline constexpr uint8_t kMethodNone = 0x02;
inline constexpr uint8_t kMethodLz4 = 0x82;
inline constexpr uint8_t kMethodZstd = 0x90;

inline constexpr size_t kChecksumSize = 16;
inline constexpr uint32_t kHeaderSize = 9;  // method byte and both sizes
inline constexpr size_t kFramePrefixSize = kChecksumSize + kHeaderSize;
// Largest compressed_size and uncompressed_size a decoder accepts (inclusive).
inline constexpr uint32_t kMaxFrameSize = 64u << 20;

inline bool is_known_method(uint8_t method) {
  return method == kMethodNone || method == kMethodLz4 || method == kMethodZstd;
}

struct FrameHeader {
  uint8_t method;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
};

// Reads the 9 header bytes at `p` (offset 16 of a frame).
FrameHeader parse_frame_header(const uint8_t* p);

// Appends one complete frame holding `payload` to `out`: method 0x02 stores it as is, 0x82
// compresses it as one LZ4 block. Building in place lets a packet writer frame a block straight
// into its packet buffer. On failure `out` keeps its previous contents.
base::Status encode_frame_into(base::ByteBuffer& out, std::span<const uint8_t> payload,
                               uint8_t method);

// The frame as a new buffer; see encode_frame_into.
base::Result<base::ByteBuffer> encode_frame(std::span<const uint8_t> payload, uint8_t method);

// Decodes the frame at the start of `bytes` (bytes after it are ignored) and returns its payload.
base::Result<base::ByteBuffer> decode_frame_bytes(std::span<const uint8_t> bytes);

namespace detail {

// Refuses LZ4 input above the codec's limit (LZ4_MAX_INPUT_SIZE); sizes above it would not fit
// the codec's int-sized arguments.
base::Status check_lz4_input_size(size_t len);

// Checks the frame at the start of `bytes` up to the point where only LZ4 decoding is left:
// length, method, size caps, checksum, the ZSTD refusal and, for method 0x02, that the payload
// length equals uncompressed_size. The payload follows the 25-byte prefix.
base::Result<FrameHeader> verify_frame(std::span<const uint8_t> bytes);

// Decodes an LZ4 block into `dst` (room for exactly `uncompressed_size` bytes) and checks the
// decoded length.
base::Status lz4_decode(std::span<const uint8_t> block, uint8_t* dst, uint32_t uncompressed_size);

}  // namespace detail

}  // namespace tarnwick::compression
