// Byte sources for tests: one that hands out a single byte per refill (to exercise every slow path
// of a decoder), and one that produces zeros lazily after a prefix (to reach large limits without
// large fixtures).
#pragma once

#include <algorithm>
#include <cstdint>
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
    pos_ = bytes_.data() + next_;
    end_ = pos_ + 1;
    ++next_;
    return size_t{1};
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t next_ = 0;
};

// Yields `prefix`, then `zeros` zero bytes, then ends.
class ZeroTailSource final : public base::ByteSource {
 public:
  ZeroTailSource(std::vector<uint8_t> prefix, uint64_t zeros)
      : prefix_(std::move(prefix)), zeros_left_(zeros), chunk_(1 << 16, 0) {
    pos_ = prefix_.data();
    end_ = prefix_.data() + prefix_.size();
  }

 protected:
  base::Result<size_t> refill() override {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zeros_left_, chunk_.size()));
    zeros_left_ -= n;
    pos_ = chunk_.data();
    end_ = pos_ + n;
    return n;
  }

 private:
  std::vector<uint8_t> prefix_;
  uint64_t zeros_left_;
  std::vector<uint8_t> chunk_;
};

}  // namespace tarnwick::testing
