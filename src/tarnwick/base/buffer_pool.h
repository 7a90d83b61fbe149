// BufferPool: a free list of block body allocations, so that the blocks of the next response
// reuse memory whose pages are already mapped instead of faulting in fresh ones. A ByteBuffer
// taken from a pool gives its allocation back when it is dropped, or, once frozen, when the last
// Bytes sharing it goes; the pool keeps what fits under its byte bound and frees the rest. Buffers
// and the Bytes made from them keep the pool alive, so they may outlive its owner, and may be let
// go on any thread.
//
// The owner marks each response it reads (begin_response, end_response), and the pool keeps no
// more than the latest response used: when a response ends, the allocations it did not take again
// are freed, and an allocation that comes back is kept only when the latest response took it. So
// one large response does not pin its memory on an idle connection once a smaller one followed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "tarnwick/base/bytes.h"

namespace tarnwick::base {

class BufferPool {
 public:
  // An owning handle; the pool goes when the handle and every buffer taken from it have gone.
  class Ref {
   public:
    Ref() = default;
    explicit Ref(size_t byte_limit) : pool_(new BufferPool(byte_limit)) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
      std::swap(pool_, other.pool_);
      return *this;
    }
    ~Ref() {
      if (pool_ != nullptr) pool_->release();
    }
    BufferPool* get() const { return pool_; }

   private:
    BufferPool* pool_ = nullptr;
  };

  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // An empty buffer that starts with the allocation given back last, if any.
  ByteBuffer take();
  // Bytes of the allocations held for reuse.
  size_t held_bytes() const;
  // A response starts: what is taken from here on is its own.
  void begin_response();
  // The response begun last has ended: the allocations held that it did not take are freed.
  void end_response();

 private:
  friend class ByteBuffer;
  friend class Bytes;

  explicit BufferPool(size_t byte_limit) : limit_(byte_limit) {}
  ~BufferPool();

  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release();
  // Keeps the allocation when the latest response took it and it fits under the bound, else
  // frees it; then drops the reference the buffer held.
  void give_back(uint8_t* data, size_t capacity, uint64_t response);

  struct Held {
    uint8_t* data;
    size_t capacity;
    uint64_t response;  // the response that took it last
  };

  mutable std::mutex mutex_;
  std::vector<Held> free_;
  size_t held_ = 0;
  uint64_t response_ = 0;  // responses begun so far
  const size_t limit_;
  std::atomic<size_t> refs_{1};
};

}  // namespace tarnwick::base
