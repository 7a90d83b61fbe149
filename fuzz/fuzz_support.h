// Shared by the fuzz targets: the entry points, a byte source that hands out the input in chunks of
// a size the input itself chooses, and the check that turns a broken invariant into a crash the
// fuzzer reports.
//
// Every target is a plain function so that the libFuzzer wrapper and the corpus test run the same
// code. Inputs whose first byte is a selector use its low six bits for the chunk size (0: the whole
// input at once, else that many bytes per refill); the two high bits are the target's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "tarnwick/base/byte_source.h"

namespace tarnwick::fuzz {

int fuzz_type_grammar(const uint8_t* data, size_t size);
int fuzz_block_body(const uint8_t* data, size_t size);
int fuzz_block_differential(const uint8_t* data, size_t size);
int fuzz_frames(const uint8_t* data, size_t size);
int fuzz_server_packets(const uint8_t* data, size_t size);
int fuzz_chunked(const uint8_t* data, size_t size);
int fuzz_stream_buffer(const uint8_t* data, size_t size);

// Aborts with the failed condition: libFuzzer and the corpus test both report it as a crash.
#define TW_FUZZ_CHECK(cond)                                                             \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// Serves the input `chunk` bytes per refill (all of it when chunk is 0), so that decoders take
// their slow paths at every possible boundary.
class ChunkSource final : public base::ByteSource {
 public:
  ChunkSource(std::span<const uint8_t> bytes, size_t chunk)
      : bytes_(bytes), chunk_(chunk == 0 ? bytes.size() : chunk) {}

  // Bytes handed to the reader so far.
  size_t consumed() const { return next_ - static_cast<size_t>(end_ - pos_); }

 protected:
  base::Result<size_t> refill() override {
    const size_t n = std::min(chunk_, bytes_.size() - next_);
    pos_ = bytes_.data() + next_;
    end_ = pos_ + n;
    next_ += n;
    return n;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t chunk_;
  size_t next_ = 0;
};

// An input split into its selector byte and the rest.
struct Selected {
  uint8_t flags;  // the selector's two high bits, as 0..3
  size_t chunk;   // for ChunkSource
  std::span<const uint8_t> rest;
};

inline bool select_input(const uint8_t* data, size_t size, Selected& out) {
  if (size == 0) return false;
  out.flags = static_cast<uint8_t>(data[0] >> 6);
  out.chunk = data[0] & 0x3f;
  out.rest = std::span<const uint8_t>(data + 1, size - 1);
  return true;
}

}  // namespace tarnwick::fuzz
