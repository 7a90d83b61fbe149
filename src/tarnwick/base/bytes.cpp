#include "tarnwick/base/bytes.h"

#include <string.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "tarnwick/base/buffer_pool.h"

namespace tarnwick::base {

namespace {

[[noreturn]] void out_of_memory() {
  throw std::bad_alloc();
}

}  // namespace

void wipe_bytes(void* p, size_t n) {
  if (p != nullptr && n != 0) explicit_bzero(p, n);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      pool_(std::exchange(other.pool_, nullptr)),
      pool_response_(other.pool_response_) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    drop_allocation();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    pool_ = std::exchange(other.pool_, nullptr);
    pool_response_ = other.pool_response_;
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  drop_allocation();
}

void ByteBuffer::drop_allocation() {
  if (pool_ != nullptr) {
    std::exchange(pool_, nullptr)->give_back(data_, capacity_, pool_response_);
  } else {
    std::free(data_);
  }
}

void ByteBuffer::trim_slack() {
  if (size_ != 0 && capacity_ > size_) {
    if (void* trimmed = std::realloc(data_, size_)) {
      data_ = static_cast<uint8_t*>(trimmed);
      capacity_ = size_;
    }
  }
}

void ByteBuffer::wipe() {
  wipe_bytes(data_, capacity_);
}

size_t ByteBuffer::doubled_capacity() const {
  return capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
}

void ByteBuffer::grow_for(size_t extra) {
  if (extra > SIZE_MAX - size_) out_of_memory();
  size_t want = size_ + extra;
  const size_t doubled = doubled_capacity();
  grow_to(want > doubled ? want : (doubled < 64 ? 64 : doubled));
}

void ByteBuffer::grow_within(size_t room) {
  if (!try_reserve_more(1, room)) out_of_memory();
}

bool ByteBuffer::try_reserve_more(size_t n, size_t room) noexcept {
  if (capacity_ - size_ >= n) return true;
  if (n > SIZE_MAX - size_) return false;
  size_t want = size_ + n;
  // Geometric growth when that is possible, within the room; else what is needed.
  const size_t reach = room > SIZE_MAX - size_ ? SIZE_MAX : size_ + room;
  const size_t step = std::min(doubled_capacity(), reach);
  if (step > want) {
    if (void* grown = std::realloc(data_, step)) {
      data_ = static_cast<uint8_t*>(grown);
      capacity_ = step;
      return true;
    }
  }
  void* grown = std::realloc(data_, want);
  if (grown == nullptr) return false;
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = want;
  return true;
}

void ByteBuffer::grow_to(size_t capacity) {
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) out_of_memory();
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = capacity;
}

Bytes ByteBuffer::freeze() && {
  Bytes out;
  if (size_ == 0) {
    drop_allocation();
    data_ = nullptr;
    capacity_ = 0;
    return out;
  }
  auto* storage = static_cast<Bytes::Storage*>(std::malloc(sizeof(Bytes::Storage)));
  if (storage == nullptr) out_of_memory();
  new (&storage->refs) std::atomic<size_t>(1);
  storage->data = std::exchange(data_, nullptr);
  storage->capacity = capacity_;
  storage->pool = std::exchange(pool_, nullptr);
  storage->pool_response = pool_response_;
  out.storage_ = storage;
  out.data_ = storage->data;
  out.size_ = std::exchange(size_, 0);
  capacity_ = 0;
  return out;
}

Bytes Bytes::copy_of(const void* bytes, size_t n) {
  ByteBuffer buffer(n);
  buffer.append(bytes, n);
  return std::move(buffer).freeze();
}

Bytes Bytes::slice(size_t offset, size_t n) const {
  assert(offset <= size_ && n <= size_ - offset);
  Bytes out;
  if (n == 0) return out;
  out.storage_ = storage_;
  out.data_ = data_ + offset;
  out.size_ = n;
  retain();
  return out;
}

size_t Bytes::use_count() const {
  return storage_ ? storage_->refs.load(std::memory_order_relaxed) : 0;
}

void Bytes::release() {
  if (storage_ && storage_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (storage_->pool != nullptr) {
      storage_->pool->give_back(storage_->data, storage_->capacity, storage_->pool_response);
    } else {
      std::free(storage_->data);
    }
    std::free(storage_);
  }
  storage_ = nullptr;
}

}  // namespace tarnwick::base
