// Texts of the values that Python gets as str: wide integers, UUIDs and IP addresses, each made
// from the column's stored little-endian bytes; and the hex digits such texts are read back from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::binding::values {

// The value of one hexadecimal digit (either case), or -1.
constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Each writer fills `out` and returns the number of characters written (no terminator).
inline constexpr size_t kTextCapacity = 80;

// 16 stored bytes as an unsigned / two's-complement signed decimal number.
size_t uint128_text(const uint8_t* p, char* out);
size_t int128_text(const uint8_t* p, char* out);
// 32 stored bytes as "0x" and 64 lowercase hex digits, most significant first.
size_t hex256_text(const uint8_t* p, char* out);
// 16 stored bytes, each 8-byte half little-endian, as the 8-4-4-4-12 lowercase UUID text.
size_t uuid_text(const uint8_t* p, char* out);
// A 32-bit little-endian value as dotted decimal, most significant byte first.
size_t ipv4_text(const uint8_t* p, char* out);
// 16 bytes in network order as eight ':'-joined groups of four lowercase hex digits.
size_t ipv6_text(const uint8_t* p, char* out);

}  // namespace tarnwick::binding::values
