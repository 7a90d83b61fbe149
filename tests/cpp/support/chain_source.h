// A test byte source made of segments: byte runs as given and runs of zeros produced lazily, so
// that large bodies with a few meaningful bytes in between need no large fixtures.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tarnwick/base/byte_source.h"

namespace tarnwick::testing {

class ChainSource final : public base::ByteSource {
 public:
  ChainSource& bytes(std::vector<uint8_t> b) {
    segments_.push_back({std::move(b), 0});
    return *this;
  }
  ChainSource& zeros(uint64_t n) {
    segments_.push_back({{}, n});
    return *this;
  }

 protected:
  base::Result<size_t> refill() override {
    while (next_ < segments_.size()) {
      Segment& s = segments_[next_];
      if (!s.bytes.empty()) {
        ++next_;
        pos_ = s.bytes.data();
        end_ = pos_ + s.bytes.size();
        return s.bytes.size();
      }
      if (s.zeros == 0) {
        ++next_;
        continue;
      }
      size_t n = static_cast<size_t>(std::min<uint64_t>(s.zeros, kChunk.size()));
      s.zeros -= n;
      pos_ = kChunk.data();
      end_ = pos_ + n;
      return n;
    }
    return size_t{0};
  }

 private:
  struct Segment {
    std::vector<uint8_t> bytes;
    uint64_t zeros;
  };
  inline static const std::vector<uint8_t> kChunk = std::vector<uint8_t>(1 << 16, 0);
  std::vector<Segment> segments_;
  size_t next_ = 0;
};

}  // namespace tarnwick::testing
