// Query ids: "tw-qi-" followed by the lowercase hexadecimal of (process id << 32) | the low 32 bits
// of a process-wide counter. Unique within a process until the counter's low half wraps.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace tarnwick::sync {

// The process-wide counter behind query ids; starts at 1 and is never reset.
std::atomic<uint64_t>& query_id_counter();

inline constexpr std::string_view kQueryIdPrefix = "tw-qi-";
inline constexpr size_t kMaxQueryIdLength = 22;

// A query id held inline, so that making one allocates nothing.
class QueryId {
 public:
  std::string_view view() const { return {text_, size_}; }

  // The id of process `pid` for counter value `counter` (only its low 32 bits count).
  static QueryId format(uint32_t pid, uint64_t counter);
  // Takes the next counter value (relaxed) and forms the id for this process.
  static QueryId next();

 private:
  char text_[kMaxQueryIdLength];
  uint8_t size_ = 0;
};

}  // namespace tarnwick::sync
