// DecompressingReader: a byte source that delivers the decoded bytes of the consecutive
// compressed frames of one packet body, read from another byte source.
//
// A reader is made per body and started with start(), which reads the first frame at once. If
// the body does not begin like a frame (its 17th byte is not a known method byte, or the
// compressed_size is below 9), the reader passes the body through: the bytes it probed come
// first, then everything straight from the inner source. After the first frame every frame must
// be well formed. At most 1 GiB is decoded per reader.
//
// Failures inside this layer surface as I/O errors of kind InvalidData: "compressed response: ..."
// for a frame that cannot be decoded or the size limit, "compressed response I/O: ..." for a
// failed inner read while starting; later frames' header and payload reads pass the inner error
// on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tarnwick/base/buffer_pool.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/result.h"

namespace tarnwick::compression {

// Decoded bytes one reader may produce over all its frames (inclusive).
inline constexpr uint64_t kMaxDecodedPerReader = uint64_t{1} << 30;

// The reader's own failure, before it becomes an I/O error.
class DecompressError {
 public:
  enum class Kind : uint8_t { Message, Limit, Io };

  static DecompressError message(std::string text) { return {Kind::Message, std::move(text)}; }
  static DecompressError limit(std::string text) { return {Kind::Limit, std::move(text)}; }
  // A failed read of the inner source.
  static DecompressError io(const base::Error& inner);

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  // "compressed response: {}" or "compressed response I/O: {}".
  std::string to_string() const;
  // The I/O error of kind InvalidData that carries to_string().
  base::Error to_error() const;

 private:
  DecompressError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
};

class DecompressingReader final : public base::ByteSource {
 public:
  // Borrows `inner` for the reader's whole life. The reader delivers nothing before start(). With
  // `pool` set its frame and output buffers are allocations of that pool, given back when it goes.
  explicit DecompressingReader(base::ByteSource& inner, base::BufferPool* pool = nullptr)
      : inner_(inner),
        frame_(pool != nullptr ? pool->take() : base::ByteBuffer()),
        decoded_(pool != nullptr ? pool->take() : base::ByteBuffer()) {}

  // Reads the first frame (or decides on pass-through). Failures are InvalidData I/O errors.
  base::Status start();

  // The bytes this reader holds but has not delivered, as a new buffer (possibly empty). Bytes
  // not yet taken from the inner source stay there.
  base::ByteBuffer into_pending() &&;

  bool passthrough() const { return passthrough_; }
  uint64_t decoded_total() const { return decoded_total_; }

 protected:
  base::Result<size_t> refill() override;
  base::Status read_direct(uint8_t* dst, size_t n) override;

 private:
  // Reads the next frame into frame_. False when the inner source ended before its first byte.
  base::Result<bool> read_next_frame();
  // Decodes the frame in frame_. With `dst` set (room for `room` bytes) an LZ4 frame whose
  // output fits is decoded there and its length returned; otherwise the output becomes the
  // window and 0 is returned.
  std::optional<DecompressError> take_frame(uint8_t* dst, size_t room, size_t* direct);
  std::optional<DecompressError> count_decoded(size_t n);
  void set_window(const uint8_t* p, size_t n) {
    pos_ = p;
    end_ = p + n;
  }

  base::ByteSource& inner_;
  base::ByteBuffer frame_;    // the whole frame being decoded; reused
  base::ByteBuffer decoded_;  // LZ4 output or pass-through bytes; reused
  uint64_t decoded_total_ = 0;
  bool passthrough_ = false;
};

}  // namespace tarnwick::compression
