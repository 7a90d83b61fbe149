// Small text-building helpers: message texts are assembled only on failure paths, so these
// favour brevity over speed.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace tarnwick::base {

namespace detail {

inline void append_piece(std::string& out, std::string_view s) {
  out.append(s);
}
inline void append_piece(std::string& out, const char* s) {
  out.append(s);
}
inline void append_piece(std::string& out, const std::string& s) {
  out.append(s);
}
inline void append_piece(std::string& out, char c) {
  out.push_back(c);
}

template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void append_piece(std::string& out,
                                                                             T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

inline void append_piece(std::string& out, bool value) {
  out.append(value ? "true" : "false");
}

}  // namespace detail

// Concatenates texts, characters and integers into one string: cat("row ", 3, " of ", n).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (detail::append_piece(out, parts), ...);
  return out;
}

// What ends a text that was cut short.
inline constexpr std::string_view kTruncatedMarker = "... (truncated)";
// The most of a text that an error message quotes.
inline constexpr size_t kQuoteLimit = 4096;

// `text` as an error message may quote it: whole up to kQuoteLimit bytes, else its first
// kQuoteLimit bytes cut back to a character boundary, followed by kTruncatedMarker.
inline std::string excerpt(std::string_view text) {
  if (text.size() <= kQuoteLimit) return std::string(text);
  size_t end = kQuoteLimit;
  while (end != 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return cat(text.substr(0, end), kTruncatedMarker);
}

}  // namespace tarnwick::base
