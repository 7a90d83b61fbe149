#include "tarnwick/sync/query_id.h"

#include <unistd.h>

#include <cstring>

namespace tarnwick::sync {

std::atomic<uint64_t>& query_id_counter() {
  static std::atomic<uint64_t> counter{1};
  return counter;
}

QueryId QueryId::format(uint32_t pid, uint64_t counter) {
  const uint64_t number = (static_cast<uint64_t>(pid) << 32) | (counter & 0xFFFFFFFFu);
  QueryId id;
  std::memcpy(id.text_, kQueryIdPrefix.data(), kQueryIdPrefix.size());
  size_t digits = 1;
  while (digits < 16 && (number >> (4 * digits)) != 0) ++digits;
  static constexpr char kHex[] = "0123456789abcdef";
  char* out = id.text_ + kQueryIdPrefix.size();
  for (size_t i = 0; i < digits; ++i) out[i] = kHex[(number >> (4 * (digits - 1 - i))) & 0xF];
  id.size_ = static_cast<uint8_t>(kQueryIdPrefix.size() + digits);
  return id;
}

QueryId QueryId::next() {
  const uint64_t value = query_id_counter().fetch_add(1, std::memory_order_relaxed);
  return format(static_cast<uint32_t>(::getpid()), value);
}

}  // namespace tarnwick::sync
