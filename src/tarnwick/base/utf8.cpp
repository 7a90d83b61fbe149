#include "tarnwick/base/utf8.h"

#include <cstring>

#include "tarnwick/base/format.h"

namespace tarnwick::base {

namespace {

// Length of the well-formed prefix of the sequence starting at `p` (of `avail` bytes), and whether
// it is a complete code point. A result of {0, false} means the lead byte itself is invalid.
struct SequenceCheck {
  size_t valid;    // bytes that belong to a possibly-valid sequence
  bool complete;   // the sequence is a whole, valid code point
  bool truncated;  // input ended while the sequence was still possibly valid
};

SequenceCheck check_sequence(const uint8_t* p, size_t avail) {
  uint8_t lead = p[0];
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) return {1, true, false};
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {0, false, false};
  }
  size_t i = 1;
  for (; i < need; ++i) {
    if (i >= avail) return {i, false, true};
    uint8_t b = p[i];
    bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return {i, false, false};
  }
  return {need, true, false};
}

bool all_ascii8(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080ULL) == 0;
}

// The index of the first byte from `i` on that does not start a whole, valid code point (n when
// the rest is valid); `bad` then describes the sequence found there.
size_t first_invalid(const uint8_t* bytes, size_t n, size_t i, SequenceCheck& bad) {
  while (i < n) {
    if (n - i >= 8 && all_ascii8(bytes + i)) {
      i += 8;
      continue;
    }
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    bad = check_sequence(bytes + i, n - i);
    if (!bad.complete) return i;
    i += bad.valid;
  }
  return n;
}

// The bytes an invalid sequence spans: its well-formed prefix, at least the lead byte.
size_t invalid_len(const SequenceCheck& bad) {
  return bad.valid == 0 ? 1 : bad.valid;
}

}  // namespace

std::string Utf8Error::to_string() const {
  if (error_len)
    return cat("invalid utf-8 sequence of ", *error_len, " bytes from index ", valid_up_to);
  return cat("incomplete utf-8 byte sequence from index ", valid_up_to);
}

std::optional<Utf8Error> validate_utf8(const uint8_t* bytes, size_t n) {
  SequenceCheck bad{};
  const size_t i = first_invalid(bytes, n, 0, bad);
  if (i == n) return std::nullopt;
  Utf8Error err;
  err.valid_up_to = i;
  if (!bad.truncated) err.error_len = static_cast<uint8_t>(invalid_len(bad));
  return err;
}

void append_utf8_lossy(std::string& out, const uint8_t* bytes, size_t n) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  out.reserve(out.size() + n);
  size_t run = 0;  // start of the pending run of valid bytes
  for (;;) {
    SequenceCheck bad{};
    const size_t i = first_invalid(bytes, n, run, bad);
    out.append(reinterpret_cast<const char*>(bytes + run), i - run);
    if (i == n) return;
    out.append(kReplacement, 3);
    run = i + invalid_len(bad);
  }
}

}  // namespace tarnwick::base
