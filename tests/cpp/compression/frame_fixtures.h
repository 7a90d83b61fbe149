// Frame building blocks for the compression tests: frames with arbitrary (also inconsistent)
// header fields and a correct checksum, and a source serving a list of byte runs in turn.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/compression/cityhash.h"

namespace tarnwick::testing {

using Blob = std::vector<uint8_t>;

inline Blob pattern(size_t n, uint32_t seed = 1) {
  Blob out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

inline Blob text_blob(const std::string& s) {
  return Blob(s.begin(), s.end());
}

// Recomputes the checksum of a frame over its bytes from offset 16 to the end.
inline void reseal(Blob& frame) {
  compression::Hash128 h = compression::city_hash128(frame.data() + 16, frame.size() - 16);
  std::memcpy(frame.data(), &h.low, 8);
  std::memcpy(frame.data() + 8, &h.high, 8);
}

// A frame with the given header fields around `payload`, correctly checksummed.
inline Blob raw_frame(uint8_t method, uint32_t compressed_size, uint32_t uncompressed_size,
                      std::span<const uint8_t> payload) {
  Blob f(25);
  f[16] = method;
  std::memcpy(f.data() + 17, &compressed_size, 4);
  std::memcpy(f.data() + 21, &uncompressed_size, 4);
  f.insert(f.end(), payload.begin(), payload.end());
  reseal(f);
  return f;
}

inline void append(Blob& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Serves each run as one window, `repeat` times over, without copying.
class RunsSource final : public base::ByteSource {
 public:
  struct Run {
    std::span<const uint8_t> bytes;
    uint64_t repeat = 1;
  };
  explicit RunsSource(std::vector<Run> runs) : runs_(std::move(runs)) {}

 protected:
  base::Result<size_t> refill() override {
    while (next_ < runs_.size()) {
      Run& run = runs_[next_];
      if (run.repeat == 0 || run.bytes.empty()) {
        ++next_;
        continue;
      }
      --run.repeat;
      pos_ = run.bytes.data();
      end_ = pos_ + run.bytes.size();
      return run.bytes.size();
    }
    return size_t{0};
  }

 private:
  std::vector<Run> runs_;
  size_t next_ = 0;
};

}  // namespace tarnwick::testing
