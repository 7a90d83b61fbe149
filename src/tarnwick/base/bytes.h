// Byte storage. ByteBuffer is a growable vector that does not zero-fill when it grows; Bytes is an
// immutable, reference-counted view of a slice of one allocation. A decoded block keeps all its
// column bodies in one allocation and hands out slices of it; copying a Bytes adds a reference.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace tarnwick::base {

class Bytes;
class BufferPool;

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t capacity) { reserve(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> span() const { return {data_, size_}; }

  // Makes room for at least `capacity` bytes in total. Growth that the system cannot satisfy
  // throws std::bad_alloc, as the standard containers do; the decoders ask try_reserve first for
  // every size that comes from outside, so they see the failure as a value.
  void reserve(size_t capacity) {
    if (capacity > capacity_) grow_to(capacity);
  }
  // Makes room for `n` more bytes; false, changing nothing, when that memory is not to be had.
  // Growth is geometric, but reaches no further than `room` bytes past size() (n where room is
  // less): a buffer filled against a bound passes `room`, what the bound has left, so that it
  // never asks for more than the bound allows.
  [[nodiscard]] bool try_reserve_more(size_t n, size_t room = SIZE_MAX) noexcept;
  // Appends `n` bytes of unspecified content and returns where they start.
  uint8_t* extend(size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    uint8_t* at = data_ + size_;
    size_ += n;
    return at;
  }
  void append(const void* bytes, size_t n) {
    if (n != 0) std::memcpy(extend(n), bytes, n);
  }
  void append(std::span<const uint8_t> bytes) { append(bytes.data(), bytes.size()); }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(uint8_t byte) {
    if (size_ == capacity_) grow_for(1);
    data_[size_++] = byte;
  }
  // push_back, growing by no more than `room` bytes (see try_reserve_more).
  void push_back_within(uint8_t byte, size_t room) {
    if (size_ == capacity_) grow_within(room);
    data_[size_++] = byte;
  }
  // Shrinks or grows the size; grown bytes have unspecified content.
  void resize(size_t size) {
    if (size > capacity_) grow_to(size);
    size_ = size;
  }
  void clear() { size_ = 0; }
  // Overwrites the whole allocation with zeros in a way the compiler may not drop.
  void wipe();

  // Hands the bytes to a shared Bytes without copying; this buffer is left empty.
  Bytes freeze() &&;

  // Gives back the room beyond size(), so that a buffer kept holds what it is charged for and no
  // more (a block kept in a recycled or a doubled buffer does not hold its unused part).
  void trim_slack();

 private:
  friend class BufferPool;

  // Twice the capacity, or SIZE_MAX where that does not fit: the geometric growth step.
  size_t doubled_capacity() const;
  void grow_for(size_t extra);
  [[gnu::noinline]] void grow_within(size_t room);
  void grow_to(size_t capacity);
  // Frees the allocation, or gives it back to the pool it came from.
  void drop_allocation();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  BufferPool* pool_ = nullptr;  // holds a reference: the allocation goes back there
  uint64_t pool_response_ = 0;  // the pool's response that took it
};

class Bytes {
 public:
  Bytes() = default;
  static Bytes copy_of(const void* bytes, size_t n);
  static Bytes copy_of(std::span<const uint8_t> bytes) {
    return copy_of(bytes.data(), bytes.size());
  }
  static Bytes copy_of(std::string_view text) { return copy_of(text.data(), text.size()); }

  Bytes(const Bytes& other) noexcept
      : storage_(other.storage_), data_(other.data_), size_(other.size_) {
    retain();
  }
  Bytes(Bytes&& other) noexcept : storage_(other.storage_), data_(other.data_), size_(other.size_) {
    other.storage_ = nullptr;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  Bytes& operator=(const Bytes& other) noexcept {
    Bytes copy(other);
    swap(copy);
    return *this;
  }
  Bytes& operator=(Bytes&& other) noexcept {
    Bytes moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Bytes() { release(); }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> span() const { return {data_, size_}; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
  const uint8_t& operator[](size_t i) const { return data_[i]; }

  // A view of `n` bytes from `offset`, sharing this allocation. The range must lie inside.
  Bytes slice(size_t offset, size_t n) const;

  // How many Bytes share this allocation (0 for an empty Bytes without one).
  size_t use_count() const;

  void swap(Bytes& other) noexcept {
    std::swap(storage_, other.storage_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }

 private:
  friend class ByteBuffer;
  struct Storage {
    std::atomic<size_t> refs;
    uint8_t* data;
    size_t capacity;
    BufferPool* pool;        // the allocation goes back there when set
    uint64_t pool_response;  // the pool's response that took it
  };

  void retain() const {
    if (storage_) storage_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release();

  Storage* storage_ = nullptr;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Overwrites `n` bytes at `p` with zeros; the write survives optimisation.
void wipe_bytes(void* p, size_t n);

}  // namespace tarnwick::base
