// The byte-source interface every decoder reads through. A source exposes a window of buffered
// bytes [pos_, end_) that read_exact serves inline; only when the window runs short does it call
// the source's virtual refill. Sources: in-memory spans here, the transport, chunk, decompressing
// and stream readers of the connection layer.
//
// Contract of read_exact(dst, n): fills all n bytes or fails; n == 0 succeeds without reading; an
// interrupted read is retried by the source; a source that ends early fails with an Io error of
// kind UnexpectedEof and text "failed to fill whole buffer"; bytes taken before a failure stay
// consumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "tarnwick/base/result.h"

namespace tarnwick::base {

class RetainingSource;

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  Status read_exact(void* dst, size_t n) {
    if (static_cast<size_t>(end_ - pos_) >= n) [[likely]] {
      if (n != 0) std::memcpy(dst, pos_, n);
      pos_ += n;
      return {};
    }
    return read_exact_slow(static_cast<uint8_t*>(dst), n);
  }

  Result<uint8_t> read_u8() {
    if (pos_ != end_) [[likely]]
      return *pos_++;
    uint8_t byte;
    TW_TRY(read_exact_slow(&byte, 1));
    return byte;
  }

  // Reads n bytes and drops them.
  Status skip(size_t n);

  // The bytes already buffered: readable without touching the layer below.
  std::span<const uint8_t> buffered() const { return {pos_, static_cast<size_t>(end_ - pos_)}; }
  // Marks `n` buffered bytes as read; n must not exceed buffered().size().
  void consume(size_t n) { pos_ += n; }
  // This source as one that keeps what it serves, where it is one; else null.
  virtual RetainingSource* retaining() { return nullptr; }

  // The buffered bytes, refilled once first when there are none; empty when the source ended.
  // A layer above can borrow them (and consume them) without copying.
  Result<std::span<const uint8_t>> fill_buffered() {
    if (pos_ == end_) TW_TRY(refill());
    return buffered();
  }

 protected:
  // Makes more bytes available in [pos_, end_) once the window is empty. Returns how many are
  // now buffered; 0 means the source has ended.
  virtual Result<size_t> refill() = 0;
  // Fills dst with exactly n bytes once the window is empty. Sources that can read large runs
  // straight into the destination override it; the default goes through refill.
  virtual Status read_direct(uint8_t* dst, size_t n);

  // Copies up to n buffered bytes into dst and consumes them; returns how many.
  size_t take_buffered(uint8_t* dst, size_t n) {
    const size_t have = static_cast<size_t>(end_ - pos_);
    const size_t take = n < have ? n : have;
    if (take != 0) std::memcpy(dst, pos_, take);
    pos_ += take;
    return take;
  }

  const uint8_t* pos_ = nullptr;
  const uint8_t* end_ = nullptr;

 private:
  Status read_exact_slow(uint8_t* dst, size_t n);
};

// A source that keeps every byte it has served in one run for as long as it lives, so that a
// reader can take back a run it has read by its offsets instead of copying it as it goes. A run
// handed out stays valid until the source refills.
class RetainingSource : public ByteSource {
 public:
  // How many bytes have been read since the source began.
  virtual uint64_t offset() const = 0;
  // The bytes read between two offsets, `from` <= `to` <= offset().
  virtual std::span<const uint8_t> served(uint64_t from, uint64_t to) const = 0;
  // The next `n` bytes in one run, consumed. A source that ends first fails as read_exact does,
  // having consumed what it had.
  virtual Result<std::span<const uint8_t>> view(size_t n) = 0;

  RetainingSource* retaining() override { return this; }
};

// A source over bytes held in memory; it ends where they end.
class MemorySource final : public RetainingSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : begin_(bytes.data()) {
    pos_ = bytes.data();
    end_ = bytes.data() + bytes.size();
  }
  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

  uint64_t offset() const override { return static_cast<uint64_t>(pos_ - begin_); }
  std::span<const uint8_t> served(uint64_t from, uint64_t to) const override {
    return {begin_ + from, static_cast<size_t>(to - from)};
  }
  Result<std::span<const uint8_t>> view(size_t n) override;

 protected:
  Result<size_t> refill() override { return size_t{0}; }

 private:
  const uint8_t* begin_;
};

}  // namespace tarnwick::base
