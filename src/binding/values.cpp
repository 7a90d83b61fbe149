#include "binding/values.h"

#include <cstring>

namespace tarnwick::binding::values {

namespace {

constexpr char kHex[] = "0123456789abcdef";

unsigned __int128 load_u128(const uint8_t* p) {
  uint64_t lo = 0;
  uint64_t hi = 0;
  std::memcpy(&lo, p, 8);
  std::memcpy(&hi, p + 8, 8);
  return (static_cast<unsigned __int128>(hi) << 64) | lo;
}

size_t decimal_digits(unsigned __int128 v, char* out) {
  char buf[40];
  size_t n = 0;
  do {
    buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  for (size_t i = 0; i < n; ++i) out[i] = buf[n - 1 - i];
  return n;
}

char* put_hex_byte(char* out, uint8_t b) {
  out[0] = kHex[b >> 4];
  out[1] = kHex[b & 0xF];
  return out + 2;
}

}  // namespace

size_t uint128_text(const uint8_t* p, char* out) {
  return decimal_digits(load_u128(p), out);
}

size_t int128_text(const uint8_t* p, char* out) {
  unsigned __int128 v = load_u128(p);
  if ((v >> 127) == 0) return decimal_digits(v, out);
  out[0] = '-';
  return 1 + decimal_digits(~v + 1, out + 1);  // the magnitude, also for the minimum value
}

size_t hex256_text(const uint8_t* p, char* out) {
  char* at = out;
  *at++ = '0';
  *at++ = 'x';
  for (int i = 31; i >= 0; --i) at = put_hex_byte(at, p[i]);
  return static_cast<size_t>(at - out);
}

size_t uuid_text(const uint8_t* p, char* out) {
  // The text's bytes in order: the first half reversed, then the second half reversed.
  uint8_t b[16];
  for (int i = 0; i < 8; ++i) {
    b[i] = p[7 - i];
    b[8 + i] = p[15 - i];
  }
  char* at = out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *at++ = '-';
    at = put_hex_byte(at, b[i]);
  }
  return static_cast<size_t>(at - out);
}

size_t ipv4_text(const uint8_t* p, char* out) {
  char* at = out;
  for (int i = 3; i >= 0; --i) {
    unsigned v = p[i];
    if (v >= 100) *at++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *at++ = static_cast<char>('0' + v / 10 % 10);
    *at++ = static_cast<char>('0' + v % 10);
    if (i != 0) *at++ = '.';
  }
  return static_cast<size_t>(at - out);
}

size_t ipv6_text(const uint8_t* p, char* out) {
  char* at = out;
  for (int i = 0; i < 16; i += 2) {
    if (i != 0) *at++ = ':';
    at = put_hex_byte(at, p[i]);
    at = put_hex_byte(at, p[i + 1]);
  }
  return static_cast<size_t>(at - out);
}

}  // namespace tarnwick::binding::values
