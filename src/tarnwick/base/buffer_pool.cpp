#include "tarnwick/base/buffer_pool.h"

#include <algorithm>
#include <cstdlib>

namespace tarnwick::base {

BufferPool::~BufferPool() {
  for (const Held& held : free_) std::free(held.data);
}

void BufferPool::release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

ByteBuffer BufferPool::take() {
  ByteBuffer out;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      const Held held = free_.back();
      free_.pop_back();
      held_ -= held.capacity;
      out.data_ = held.data;
      out.capacity_ = held.capacity;
    }
    out.pool_response_ = response_;
  }
  retain();
  out.pool_ = this;
  return out;
}

size_t BufferPool::held_bytes() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void BufferPool::begin_response() {
  std::lock_guard lock(mutex_);
  ++response_;
}

void BufferPool::end_response() {
  std::vector<Held> unused;
  {
    std::lock_guard lock(mutex_);
    const auto older = std::stable_partition(
        free_.begin(), free_.end(), [this](const Held& h) { return h.response == response_; });
    unused.assign(older, free_.end());
    free_.erase(older, free_.end());
    for (const Held& held : unused) held_ -= held.capacity;
  }
  for (const Held& held : unused) std::free(held.data);
}

void BufferPool::give_back(uint8_t* data, size_t capacity, uint64_t response) {
  if (data != nullptr) {
    std::unique_lock lock(mutex_);
    if (response == response_ && capacity <= limit_ - held_ && held_ <= limit_) {
      free_.push_back({data, capacity, response});
      held_ += capacity;
    } else {
      lock.unlock();
      std::free(data);
    }
  }
  release();
}

}  // namespace tarnwick::base
