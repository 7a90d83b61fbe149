// The reads that column conversions make over a body held in memory: a bounds-checked cursor, its
// lengths and string values, and the failures they name.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "binding/conversion.h"
#include "binding/errors.h"
#include "tarnwick/base/format.h"
#include "tarnwick/base/result.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::binding::conversion {

struct Cursor {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos = 0;
  uint64_t remaining() const { return size - pos; }
};

[[gnu::cold]] inline base::Error eof_error() {
  return base::Error::protocol("unexpected eof reading column");
}

[[gnu::cold]] inline base::Error py_protocol_err() {
  return base::Error::protocol(take_py_error_text());
}

inline base::Result<const uint8_t*> parse_exact(Cursor& c, uint64_t n) {
  uint64_t end = 0;
  if (__builtin_add_overflow(c.pos, n, &end)) {
    return base::Error::protocol("buffer position overflow");
  }
  if (end > c.size) return eof_error();
  const uint8_t* p = c.data + c.pos;
  c.pos = end;
  return p;
}

inline base::Result<uint64_t> checked_len(uint64_t rows, uint64_t width) {
  uint64_t n = 0;
  if (__builtin_mul_overflow(rows, width, &n)) {
    return base::Error::protocol("column length overflow");
  }
  return n;
}

inline base::Result<uint64_t> read_length(Cursor& c) {
  auto next = [&]() -> base::Result<uint8_t> {
    if (c.pos >= c.size) return base::Error::protocol("unexpected eof reading varint");
    return c.data[c.pos++];
  };
  return protocol::decode_varint(next, [] { return base::Error::protocol("varint too long"); });
}

template <class T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// The str of the UTF-8 text [p, p + n), decoded strictly (py_text). It and next_str are inlined
// into the loops over values, as the handler of into_python() would otherwise count against them
// with the inliner.
[[gnu::always_inline]] inline base::Result<PyObject*> str_of(const uint8_t* p, uint64_t n) {
  PyObject* s = py_text({reinterpret_cast<const char*>(p), n}).release();
  if (s != nullptr) return s;
  std::optional<base::Utf8Error> bad = base::validate_utf8(p, n);
  if (!bad) return py_protocol_err();
  py_clear_error();
  return base::Error::protocol(base::cat("invalid utf8 string: ", bad->to_string()));
}

// The str of the next string value at the cursor.
[[gnu::always_inline]] inline base::Result<PyObject*> next_str(Cursor& c) {
  TW_ASSIGN_OR_RETURN(uint64_t n, read_length(c));
  TW_ASSIGN_OR_RETURN(const uint8_t* p, parse_exact(c, n));
  return str_of(p, n);
}

// The values of a top-level LowCardinality(String) or LowCardinality(Nullable(String)) column of
// `rows` rows, whose expanded body is at the cursor and whose rows' dictionary indexes are
// `indexes` (rows * 1, 2, 4 or 8 bytes): the rows of one index share one object. False, with
// nothing read, for any other column or indexes KeyObjects cannot use: the column converts value
// by value instead.
base::Result<bool> decode_shared_keys(Cursor& c, const protocol::ColumnType& type,
                                      std::span<const uint8_t> indexes, uint64_t rows, PyVec& out,
                                      SignalCheck& check);

}  // namespace tarnwick::binding::conversion
