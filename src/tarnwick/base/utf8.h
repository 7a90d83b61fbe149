// UTF-8 checking and lenient decoding of wire text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::base {

// Where strict validation stopped. `error_len` is the length of the invalid sequence (1 to 3), or
// nothing when the input ends inside a sequence that could still have been valid.
struct Utf8Error {
  size_t valid_up_to = 0;
  std::optional<uint8_t> error_len;

  // "invalid utf-8 sequence of {} bytes from index {}" or
  // "incomplete utf-8 byte sequence from index {}".
  std::string to_string() const;
};

// Strict validation: nothing when `bytes` is well-formed UTF-8, else the first fault.
std::optional<Utf8Error> validate_utf8(const uint8_t* bytes, size_t n);
inline std::optional<Utf8Error> validate_utf8(std::string_view s) {
  return validate_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Appends `bytes` to `out` as text, replacing each maximal ill-formed subpart with U+FFFD.
void append_utf8_lossy(std::string& out, const uint8_t* bytes, size_t n);
inline std::string decode_utf8_lossy(const uint8_t* bytes, size_t n) {
  std::string out;
  append_utf8_lossy(out, bytes, n);
  return out;
}

}  // namespace tarnwick::base
