#include "tarnwick/base/buffer_pool.h"

#include <cstdlib>

namespace tarnwick::base {

BufferPool::~BufferPool() {
  for (auto& [data, capacity] : free_) std::free(data);
}

void BufferPool::release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

ByteBuffer BufferPool::take() {
  ByteBuffer out;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      auto [data, capacity] = free_.back();
      free_.pop_back();
      held_ -= capacity;
      out.data_ = data;
      out.capacity_ = capacity;
    }
  }
  retain();
  out.pool_ = this;
  return out;
}

size_t BufferPool::held_bytes() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void BufferPool::give_back(uint8_t* data, size_t capacity) {
  if (data != nullptr) {
    std::unique_lock lock(mutex_);
    if (capacity <= limit_ - held_ && held_ <= limit_) {
      free_.emplace_back(data, capacity);
      held_ += capacity;
    } else {
      lock.unlock();
      std::free(data);
    }
  }
  release();
}

}  // namespace tarnwick::base
