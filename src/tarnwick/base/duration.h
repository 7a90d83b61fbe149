// A span of time as whole seconds and nanoseconds. Seconds may use all 64 bits (a caller can ask
// for a time-out of 2^64 - 1 seconds), so every conversion saturates instead of overflowing.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarnwick::base {

struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // below 1e9

  static constexpr Duration from_secs(uint64_t s) { return {s, 0}; }
  static constexpr Duration from_millis(uint64_t ms) {
    return {ms / 1000, static_cast<uint32_t>(ms % 1000 * 1000000)};
  }
  constexpr bool is_zero() const { return secs == 0 && nanos == 0; }

  // As a steady-clock duration, clamped to what the clock can represent.
  std::chrono::nanoseconds to_chrono() const {
    constexpr uint64_t kMaxSecs = static_cast<uint64_t>(INT64_MAX / 1000000000) - 1;
    if (secs > kMaxSecs) return std::chrono::nanoseconds(INT64_MAX);
    return std::chrono::nanoseconds(static_cast<int64_t>(secs) * 1000000000 + nanos);
  }

  friend constexpr bool operator==(Duration, Duration) = default;
  friend constexpr auto operator<=>(Duration a, Duration b) {
    return a.secs != b.secs ? a.secs <=> b.secs : a.nanos <=> b.nanos;
  }
};

// now + d on the steady clock, saturating at the clock's far future.
inline std::chrono::steady_clock::time_point deadline_after(Duration d) {
  auto now = std::chrono::steady_clock::now();
  auto span = d.to_chrono();
  auto room = std::chrono::steady_clock::time_point::max() - now;
  return span >= room ? std::chrono::steady_clock::time_point::max() : now + span;
}

}  // namespace tarnwick::base
