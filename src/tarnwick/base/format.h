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

}  // namespace tarnwick::base
