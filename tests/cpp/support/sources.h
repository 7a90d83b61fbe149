// Byte sources for tests: one that hands out a single byte per refill (to exercise every slow path
// of a decoder), and one made of segments (owned bytes, borrowed runs served repeatedly without a
// copy, zeros produced lazily) so that large bodies need no large fixtures.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "tarnwick/base/byte_source.h"

namespace tarnwick::testing {

class OneByteSource final : public base::ByteSource {
 public:
  explicit OneByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t consumed() const { return next_ - static_cast<size_t>(end_ - pos_); }

 protected:
  base::Result<size_t> refill() override {
    if (next_ == bytes_.size()) return size_t{0};
    pos_ = bytes_.data() + next_++;
    end_ = pos_ + 1;
    return size_t{1};
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t next_ = 0;
};

class ChainSource : public base::ByteSource {
 public:
  ChainSource& bytes(std::vector<uint8_t> b) { return run(owned_.emplace_back(std::move(b))); }
  // `b` (which must outlive the source) `repeat` times over, one window per pass.
  ChainSource& run(std::span<const uint8_t> b, uint64_t repeat = 1) {
    if (!b.empty()) segments_.push_back({b, b.size() * repeat});
    return *this;
  }
  ChainSource& zeros(uint64_t n) {
    segments_.push_back({kZeros, n});
    return *this;
  }

 protected:
  base::Result<size_t> refill() override {
    for (; next_ < segments_.size(); ++next_) {
      Segment& s = segments_[next_];
      if (s.left == 0) continue;
      size_t n = static_cast<size_t>(std::min<uint64_t>(s.left, s.bytes.size()));
      s.left -= n;
      pos_ = s.bytes.data();
      end_ = pos_ + n;
      return n;
    }
    return size_t{0};
  }

 private:
  struct Segment {
    std::span<const uint8_t> bytes;
    uint64_t left;
  };
  inline static const std::vector<uint8_t> kZeros = std::vector<uint8_t>(1 << 16, 0);
  std::deque<std::vector<uint8_t>> owned_;
  std::vector<Segment> segments_;
  size_t next_ = 0;
};

// `prefix`, then `zeros` zero bytes.
class ZeroTailSource final : public ChainSource {
 public:
  ZeroTailSource(std::vector<uint8_t> prefix, uint64_t zeros) {
    bytes(std::move(prefix)).zeros(zeros);
  }
};

}  // namespace tarnwick::testing
