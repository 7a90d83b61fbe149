// Python row dicts to column bodies (dicts_to_block). The type text of each column is resolved
// once into a write plan; the rows are then walked once per column. Every plan writes exactly the
// layout the type declares; a type without a writer is refused rather than filled with text.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/values.h"
#include "binding/write_plan.h"
#include "tarnwick/base/format.h"
#include "tarnwick/column/type_text.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::binding::conversion {

using base::ByteBuffer;
using base::cat;

namespace {

[[gnu::cold]] bool refuse(std::string& err, const char* label) {
  err = cat(label, ": ", take_py_error_text());
  return false;
}

[[gnu::cold]] bool set_type_error(PyObject* v, const char* target) {
  py_set_error_format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                      type_name_of(v).c_str(), target);
  return false;
}

[[gnu::cold]] bool set_range_error() {
  py_set_error_text(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// The value as a signed 64-bit integer within [lo, hi], through the integer protocol.
bool as_int(PyObject* v, int64_t lo, int64_t hi, int64_t& out) {
  PyRef index;
  if (!PyLong_Check(v)) {
    index = py_index(v);
    if (!index) return false;
    v = index.get();
  }
  int overflow = 0;
  const long long x = py_as_long_long(v, &overflow);
  if (overflow != 0) return set_range_error();
  if (x == -1 && PyErr_Occurred()) return false;
  if (x < lo || x > hi) return set_range_error();
  out = x;
  return true;
}

bool as_u64(PyObject* v, uint64_t& out) {
  PyRef index = py_index(v);
  if (!index) return false;
  const unsigned long long x = py_as_unsigned_long_long(index.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = x;
  return true;
}

// A Python int as `width` little-endian two's-complement (or unsigned) bytes.
bool as_wide(PyObject* v, size_t width, bool is_signed, uint8_t* out) {
  PyRef index = py_index(v);
  if (!index) return false;
  int overflow = 0;
  const long long small = py_as_long_long(index.get(), &overflow);
  if (overflow == 0) {
    if (small == -1 && PyErr_Occurred()) return false;
    if (small < 0 && !is_signed) {
      py_set_error_text(PyExc_OverflowError, "can't convert negative int to unsigned");
      return false;
    }
    const int64_t x = small;
    std::memcpy(out, &x, 8);
    std::memset(out + 8, x < 0 ? 0xFF : 0, width - 8);
    return true;
  }
  PyRef length = PyRef::steal(PyLong_FromSize_t(width));
  PyRef order = py_text("little");
  PyRef method = py_text("to_bytes");
  PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", "signed"));
  if (!length || !order || !method || !kwnames) return false;
  PyObject* args[] = {index.get(), length.get(), order.get(), is_signed ? Py_True : Py_False};
  PyRef bytes =
      py_call_method(method.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) < 0) return false;
  if (static_cast<size_t>(n) != width) return set_range_error();
  std::memcpy(out, data, width);
  return true;
}

// The UTF-8 bytes of a str value. Inlined into the loops over values, as the handler of
// into_python() would otherwise count against it with the inliner.
[[gnu::always_inline]] inline bool as_utf8(PyObject* v, std::string_view& out) {
  if (!PyUnicode_Check(v)) return set_type_error(v, "str");
  Py_ssize_t n = 0;
  const char* p = py_utf8(v, &n);
  if (p == nullptr) return false;
  out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

bool write_uuid(std::string_view text, ByteBuffer& buf, std::string& err) {
  uint8_t bytes[16];
  size_t count = 0;
  std::string digits;
  digits.reserve(text.size());
  for (char c : text) {
    if (c != '-') digits.push_back(c);
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    const int hi = values::hex_digit(digits[i]);
    const int lo = values::hex_digit(digits[i + 1]);
    if (hi < 0 || lo < 0) continue;
    if (count == 16) {
      count = 17;
      break;
    }
    bytes[count++] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (count != 16) {
    err = "invalid UUID: expected 16 bytes";
    return false;
  }
  // The server keeps each 8-byte half little-endian: the text's byte order reversed per half.
  uint8_t* out = buf.extend(16);
  for (int i = 0; i < 8; ++i) {
    out[i] = bytes[7 - i];
    out[8 + i] = bytes[15 - i];
  }
  return true;
}

template <class T>
void put(ByteBuffer& buf, T value) {
  std::memcpy(buf.extend(sizeof(T)), &value, sizeof(T));
}

// The writers of one non-null value, by kind of column: each appends the value's bytes, or
// returns false with `err` set when the value is refused.

bool write_integer(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  struct Range {
    int64_t lo;
    int64_t hi;
  };
  int64_t i = 0;
  switch (plan.op) {
    case Op::U64: {
      uint64_t u = 0;
      if (!as_u64(v, u)) return refuse(err, plan.label);
      put(buf, u);
      return true;
    }
    case Op::I64:
    case Op::Dec64:
    case Op::DateTime64:
      if (!as_int(v, INT64_MIN, INT64_MAX, i)) return refuse(err, plan.label);
      put(buf, i);
      return true;
    default:
      break;
  }
  const bool is_signed =
      plan.op == Op::I8 || plan.op == Op::I16 || plan.op == Op::I32 || plan.op == Op::Dec32;
  const int bits = static_cast<int>(plan.width) * 8;  // 8, 16 or 32
  const Range range = is_signed ? Range{-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1}
                                : Range{0, (int64_t{1} << bits) - 1};
  if (!as_int(v, range.lo, range.hi, i)) return refuse(err, plan.label);
  if (!plan.codes.empty() && !std::binary_search(plan.codes.begin(), plan.codes.end(), i)) {
    err = cat("code ", i, " for column '", base::excerpt(plan.column), "' is not a member of ",
              base::excerpt(plan.type));
    return false;
  }
  // Little-endian: the low `width` bytes of the two's-complement value.
  const auto u = static_cast<uint64_t>(i);
  buf.append(reinterpret_cast<const uint8_t*>(&u), plan.width);
  return true;
}

bool write_wide(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  uint8_t bytes[32];
  const bool is_signed = plan.op != Op::U128 && plan.op != Op::U256;
  if (!as_wide(v, plan.width, is_signed, bytes)) return refuse(err, plan.label);
  buf.append(bytes, plan.width);
  return true;
}

bool write_float(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  const double d = py_float(v);
  if (d == -1.0 && PyErr_Occurred()) return refuse(err, plan.label);
  if (plan.op == Op::F32) {
    put(buf, static_cast<float>(d));
  } else {
    put(buf, d);
  }
  return true;
}

bool write_bool(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  if (!PyBool_Check(v)) {
    set_type_error(v, "bool");
    return refuse(err, plan.label);
  }
  buf.push_back(v == Py_True ? 1 : 0);
  return true;
}

// The kinds written from a str: String, FixedString(N), UUID and IPv6.
bool write_text(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  std::string_view s;
  if (!as_utf8(v, s)) return refuse(err, plan.label);
  switch (plan.op) {
    case Op::String:
      protocol::write_string(buf, s);
      return true;
    case Op::FixedString: {
      if (s.size() > plan.width) {
        err = cat("string of ", s.size(), " bytes does not fit FixedString(", plan.width, ")");
        return false;
      }
      if (plan.width == 0) return true;  // FixedString(0): nothing to write, no buffer to copy to
      uint8_t* out = buf.extend(plan.width);
      if (!s.empty()) std::memcpy(out, s.data(), s.size());
      std::memset(out + s.size(), 0, plan.width - s.size());
      return true;
    }
    case Op::Uuid:
      return write_uuid(s, buf, err);
    default: {  // Op::Ipv6
      std::string text(s);
      // The text is handed on as a C string: a NUL inside it would cut it short unseen.
      uint8_t address[16];
      if (text.find('\0') != std::string::npos || inet_pton(AF_INET6, text.c_str(), address) != 1) {
        err = cat("invalid IPv6 address: '", text, "'");
        return false;
      }
      buf.append(address, sizeof address);
      return true;
    }
  }
}

// Any value as its str() in the String layout.
bool write_str_of(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  PyRef str = py_str(v);
  if (!str) return refuse(err, plan.label);
  PyRef utf8 = PyRef::steal(
      into_python([&] { return PyUnicode_AsEncodedString(str.get(), "utf-8", "replace"); }));
  if (!utf8) return refuse(err, plan.label);
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &n) < 0) return refuse(err, plan.label);
  protocol::write_string(buf, std::string_view(data, static_cast<size_t>(n)));
  return true;
}

// Appends the bytes of one non-null value; false with `err` set when the value is refused.
bool write_py_value_to_wire(PyObject* v, const Plan& plan, ByteBuffer& buf, std::string& err) {
  switch (plan.op) {
    case Op::I8:
    case Op::U8:
    case Op::I16:
    case Op::U16:
    case Op::I32:
    case Op::U32:
    case Op::I64:
    case Op::U64:
    case Op::Dec32:
    case Op::Dec64:
    case Op::DateTime64:
      return write_integer(v, plan, buf, err);
    case Op::I128:
    case Op::U128:
    case Op::I256:
    case Op::U256:
    case Op::Dec128:
    case Op::Dec256:
      return write_wide(v, plan, buf, err);
    case Op::F32:
    case Op::F64:
      return write_float(v, plan, buf, err);
    case Op::Bool:
      return write_bool(v, plan, buf, err);
    case Op::String:
    case Op::FixedString:
    case Op::Uuid:
    case Op::Ipv6:
      return write_text(v, plan, buf, err);
    case Op::StrFallback:
      return write_str_of(v, plan, buf, err);
    case Op::Unsupported:
      break;
  }
  return false;
}

// The body a null row leaves in the value column: the value type's zero.
void write_zero(const Plan& plan, ByteBuffer& buf) {
  if (plan.op == Op::String || plan.op == Op::StrFallback) {
    buf.push_back(0);
  } else {
    std::memset(buf.extend(plan.width), 0, plan.width);
  }
}

struct ColumnDef {
  PyObject* name;  // borrowed from the definitions tuple
  std::string name_text;
  std::string type_text;
};

[[gnu::cold]] PyObject* fail_row(std::string text) {
  return raise(PyExc_ValueError, cat("ValueError: ", text));
}

// The refusal of a type without a writer, with the reason the Enum member reader gave, if any.
[[gnu::cold]] std::string unsupported(std::string_view type,
                                      const std::optional<base::Error>& why) {
  std::string text =
      cat("cannot convert value: unsupported column type '", base::excerpt(type), "'");
  if (why) text += cat(": ", column::enum_refusal_reason(*why));
  return text;
}

// Fills one column's body from every row; null with the ValueError set on failure.
bool write_column(const ColumnDef& def, PyObject* rows, Py_ssize_t nrows, ByteBuffer& out) {
  Plan plan = write_plan(def.type_text);
  plan.column = def.name_text;
  ByteBuffer nulls;
  if (plan.nullable) nulls.reserve(static_cast<size_t>(nrows));
  size_t expected = 0;
  if (!__builtin_mul_overflow(plan.width, static_cast<size_t>(nrows), &expected)) {
    out.reserve(std::min<size_t>(expected, size_t{64} << 20));
  }
  std::string err;
  for (Py_ssize_t r = 0; r < nrows; ++r) {
    PyObject* row = PyTuple_GetItem(rows, r);
    if (!PyDict_Check(row)) {
      raise(PyExc_ValueError,
            cat("TypeError: '", type_name_of(row), "' object cannot be converted to 'dict'"));
      return false;
    }
    // The value is held: conversions may run Python code that edits the row.
    PyRef value = py_dict_get(row, def.name);
    if (!value) {
      if (PyErr_Occurred()) {
        raise(PyExc_ValueError, take_py_error_text());
      } else {
        fail_row(cat("missing column '", base::excerpt(def.name_text), "' in row"));
      }
      return false;
    }
    if (plan.op == Op::Unsupported) {
      fail_row(unsupported(def.type_text, plan.refused));
      return false;
    }
    if (plan.nullable) {
      const bool is_null = value.get() == Py_None;
      nulls.push_back(is_null ? 1 : 0);
      if (is_null) {
        write_zero(plan, out);
        continue;
      }
    }
    if (!write_py_value_to_wire(value.get(), plan, out, err)) {
      fail_row(std::move(err));
      return false;
    }
  }
  if (plan.nullable) {
    ByteBuffer body(nulls.size() + out.size());
    body.append(nulls.span());
    body.append(out.span());
    out = std::move(body);
  }
  return true;
}

// Reads one (name, type) definition; the conversion's own exception on failure.
bool read_definition(PyObject* item, ColumnDef& def) {
  if (!PyTuple_Check(item)) {
    py_set_error_format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'",
                        type_name_of(item).c_str());
    return false;
  }
  if (PyTuple_Size(item) < 2) {
    py_set_error_text(PyExc_IndexError, "tuple index out of range");
    return false;
  }
  PyObject* fields[2] = {PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1)};
  std::string* texts[2] = {&def.name_text, &def.type_text};
  for (int i = 0; i < 2; ++i) {
    std::string_view s;
    if (!as_utf8(fields[i], s)) return false;
    texts[i]->assign(s);
  }
  def.name = fields[0];
  return true;
}

// A LowCardinality column travels dictionary-encoded: `data` becomes that layout, which the block
// writer sends as it stands, and `materialized` keeps the plain body, which the readers of the
// block take instead (ColumnInfo::body). False with the ValueError set on failure.
bool encode_if_low_cardinality(protocol::ColumnInfo& column, uint64_t rows) {
  base::Result<protocol::ColumnType> type = protocol::parse_type(column.type_name);
  if (!type || type->kind != protocol::TypeKind::LowCardinality) return true;
  base::Result<ByteBuffer> wire =
      protocol::encode_low_cardinality(type->inner(), column.data.span(), rows);
  if (!wire) {
    fail_row(cat("cannot convert value: ", wire.error().message()));
    return false;
  }
  column.materialized = std::move(column.data);
  column.data = std::move(*wire).freeze();
  return true;
}

}  // namespace

PyObject* dicts_to_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr const char* kNames[] = {"rows", "columns"};
  PyObject* a[2] = {};
  if (!bind_arguments({"dicts_to_block", kNames, 2, 2}, args, nargs, kwnames, a)) return nullptr;
  auto [rows_arg, columns_arg] = a;
  if (!PyList_Check(rows_arg)) return raise_arg_type_error("rows", rows_arg, "list");
  if (!PyList_Check(columns_arg)) return raise_arg_type_error("columns", columns_arg, "list");
  const ModuleState& state = *state_of_module(module);

  PyRef defs_tuple = PyRef::steal(PyList_AsTuple(columns_arg));
  if (!defs_tuple) return nullptr;
  const Py_ssize_t ncols = PyTuple_Size(defs_tuple.get());
  std::vector<ColumnDef> defs(static_cast<size_t>(ncols));
  for (Py_ssize_t i = 0; i < ncols; ++i) {
    if (!read_definition(PyTuple_GetItem(defs_tuple.get(), i), defs[static_cast<size_t>(i)])) {
      return nullptr;
    }
  }
  PyRef rows = PyRef::steal(PyList_AsTuple(rows_arg));  // the rows as they are now
  if (!rows) return nullptr;
  const Py_ssize_t nrows = PyTuple_Size(rows.get());

  protocol::Block block;
  block.rows = static_cast<uint64_t>(nrows);
  if (nrows != 0) {
    block.columns.reserve(defs.size());
    for (const ColumnDef& def : defs) {
      ByteBuffer body;
      if (!write_column(def, rows.get(), nrows, body)) return nullptr;
      protocol::ColumnInfo column{def.name_text, def.type_text, std::move(body).freeze(), {}};
      if (!encode_if_low_cardinality(column, block.rows)) return nullptr;
      block.columns.push_back(std::move(column));
    }
  }
  return make_block(state, std::move(block)).release();
}

}  // namespace tarnwick::binding::conversion
