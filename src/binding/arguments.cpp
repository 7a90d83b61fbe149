#include "binding/arguments.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/values.h"
#include "tarnwick/base/format.h"

namespace tarnwick::binding::arguments {

using base::cat;

namespace {

// The UTF-8 text of a str object (the Python error is set when it has none, e.g. surrogates).
bool utf8_text(PyObject* str, std::string& out) {
  Py_ssize_t n = 0;
  const char* p = py_utf8(str, &n);
  if (p == nullptr) return false;
  out.assign(p, static_cast<size_t>(n));
  return true;
}

// The text of str(obj); false with the Python error of str() set.
bool str_of(PyObject* obj, std::string& out) {
  PyRef s = py_str(obj);
  return s && utf8_text(s.get(), out);
}

// A snapshot of a dict's items, so that Python code run while converting them (str(), __float__)
// cannot change what is being walked.
PyRef dict_items(PyObject* dict) {
  return PyRef::steal(PyDict_Items(dict));
}

bool raise_type_error(std::string_view prefix, std::string detail) {
  raise(PyExc_TypeError, cat(prefix, detail));
  return false;
}

// "TypeError: ..." of the pending exception, as the prefix of a rewrapped TypeError.
bool rewrap_pending(std::string_view prefix) {
  return raise_type_error(prefix, take_py_error_text());
}

bool uuid_from_text(PyObject* item, sync::PartUuid& out) {
  std::string text;
  if (!str_of(item, text)) return false;
  std::string digits;
  digits.reserve(32);
  for (char c : text) {
    if (c != '-') digits.push_back(c);
  }
  bool ok = digits.size() == 32;
  for (size_t i = 0; ok && i < 16; ++i) {
    const int hi = values::hex_digit(digits[2 * i]);
    const int lo = values::hex_digit(digits[2 * i + 1]);
    ok = hi >= 0 && lo >= 0;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (!ok) raise(PyExc_ValueError, cat("invalid UUID '", text, "'"));
  return ok;
}

// Shortest round-trip decimal of a double in positional notation: 1.0 -> "1", 1e21 -> "1" and 21
// zeros, NaN -> "NaN", infinities -> "inf" / "-inf".
std::string double_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[400];  // the longest fixed form (the smallest subnormal) is about 330 characters
  const auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  return std::string(buf, result.ptr);
}

}  // namespace

std::string conversion_error_text(PyObject* obj, std::string_view target) {
  return cat("TypeError: '", type_name_of(obj), "' object cannot be converted to '", target, "'");
}

bool text_or_type_error(PyObject* obj, std::string_view prefix, std::string& out) {
  if (!PyUnicode_Check(obj)) return raise_type_error(prefix, conversion_error_text(obj, "str"));
  return utf8_text(obj, out) || rewrap_pending(prefix);
}

bool str_argument(PyObject* obj, std::string_view arg, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_arg_type_error(arg, obj, "str");
    return false;
  }
  return utf8_text(obj, out);
}

bool optional_str_argument(PyObject* obj, std::string_view arg, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!str_argument(obj, arg, text)) return false;
  out = std::move(text);
  return true;
}

bool bool_argument(PyObject* obj, std::string_view arg, bool& out) {
  if (!PyBool_Check(obj)) {
    raise_arg_type_error(arg, obj, "bool");
    return false;
  }
  out = obj == Py_True;
  return true;
}

bool optional_dict_argument(PyObject* obj, std::string_view arg) {
  if (obj == nullptr || obj == Py_None || PyDict_Check(obj)) return true;
  raise_arg_type_error(arg, obj, "dict");
  return false;
}

bool value_text(PyObject* value, std::string& out) {
  if (PyUnicode_Check(value)) return utf8_text(value, out);
  if (PyBool_Check(value)) {
    out = value == Py_True ? "1" : "0";
    return true;
  }
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    PyRef index = py_index(value);
    if (index) {
      int overflow = 0;
      const long long v = py_as_long_long(index.get(), &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        out = cat(static_cast<int64_t>(v));
        return true;
      }
      if (overflow > 0) {
        const unsigned long long u = py_as_unsigned_long_long(index.get());
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          out = cat(static_cast<uint64_t>(u));
          return true;
        }
      }
    }
    py_clear_error();
  }
  const double d = py_float(value);
  if (!(d == -1.0 && PyErr_Occurred())) {
    out = double_text(d);
    return true;
  }
  py_clear_error();
  return str_of(value, out);
}

bool float_argument(PyObject* obj, std::string_view arg, double& out) {
  out = py_float(obj);
  if (!(out == -1.0 && PyErr_Occurred())) return true;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    py_clear_error();
    raise_arg_type_error(arg, obj, "float");
  }
  return false;
}

bool u64_argument(PyObject* obj, std::string_view arg, uint64_t& out) {
  PyRef index = py_index(obj);
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      py_clear_error();
      raise_arg_type_error(arg, obj, "int");
    }
    return false;
  }
  const unsigned long long v = py_as_unsigned_long_long(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool seconds_to_duration(double x, base::Duration& out) {
  if (x < 0) {
    raise(PyExc_ValueError, "cannot convert float seconds to Duration: value is negative");
    return false;
  }
  if (!(x < 18446744073709551616.0)) {  // 2^64, and NaN
    raise(PyExc_ValueError,
          "cannot convert float seconds to Duration: value is either too big or NaN");
    return false;
  }
  // x = m * 2^e exactly, with m an integer of at most 53 bits.
  int exp = 0;
  const double frac = std::frexp(x, &exp);
  const auto m = static_cast<uint64_t>(std::ldexp(frac, 53));
  const int e = exp - 53;
  if (e >= 0) {
    out = base::Duration{m << e, 0};
    return true;
  }
  // Nanoseconds = m * 1e9 / 2^-e, rounded to nearest with ties to even; m * 1e9 < 2^83.
  const unsigned __int128 num = static_cast<unsigned __int128>(m) * 1000000000u;
  const int k = -e;
  unsigned __int128 q = 0;
  if (k < 100) {
    q = num >> k;
    const unsigned __int128 rest = num - (q << k);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (k - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  }
  out = base::Duration{static_cast<uint64_t>(q / 1000000000u),
                       static_cast<uint32_t>(q % 1000000000u)};
  return true;
}

void split_address(std::string_view addr, std::string& host, uint16_t& port) {
  const size_t colon = addr.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view digits = addr.substr(colon + 1);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    uint32_t value = 0;
    bool ok = !digits.empty();
    for (char c : digits) {
      if (c < '0' || c > '9') {
        ok = false;
        break;
      }
      value = value * 10 + static_cast<uint32_t>(c - '0');
      if (value > 65535) {
        ok = false;
        break;
      }
    }
    if (ok) {
      std::string_view name = addr.substr(0, colon);
      while (!name.empty() && name.front() == '[') name.remove_prefix(1);
      while (!name.empty() && name.back() == ']') name.remove_suffix(1);
      host.assign(name);
      port = static_cast<uint16_t>(value);
      return;
    }
  }
  host.assign(addr);
}

bool py_params_to_query_parameters(PyObject* params, std::vector<sync::QueryParameter>& out) {
  out.clear();
  if (params == nullptr || params == Py_None) return true;
  PyRef items = dict_items(params);
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value)
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    sync::QueryParameter parameter;
    if (!text_or_type_error(key, "parameter name: ", parameter.name)) return false;
    if (value != Py_None) {
      std::string text;
      if (!value_text(value, text)) return false;
      parameter.value = std::move(text);
    }
    out.push_back(std::move(parameter));
  }
  return true;
}

bool py_settings_to_map(PyObject* settings, sync::SettingsMap& out) {
  out.clear();
  if (settings == nullptr || settings == Py_None) return true;
  PyRef items = dict_items(settings);
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    std::string name;
    std::string text;
    if (!text_or_type_error(key, "setting key: ", name) || !value_text(value, text)) return false;
    out.insert_or_assign(std::move(name), std::move(text));
  }
  return true;
}

bool py_ignored_part_uuids(PyObject* value, std::vector<sync::PartUuid>& out) {
  out.clear();
  if (value == nullptr || value == Py_None) return true;
  PyRef iter = py_iter(value);
  if (!iter) {
    return rewrap_pending(
        "ignored_part_uuids must be an iterable of UUID strings or 16-byte values: ");
  }
  while (PyRef item = py_next(iter.get())) {
    sync::PartUuid uuid{};
    if (PyBytes_Check(item.get())) {
      const Py_ssize_t n = PyBytes_Size(item.get());
      if (n != 16) {
        raise(PyExc_ValueError, cat("UUID bytes must be exactly 16 bytes, got ", n));
        return false;
      }
      std::memcpy(uuid.data(), PyBytes_AsString(item.get()), 16);
    } else if (!uuid_from_text(item.get(), uuid)) {
      return false;
    }
    out.push_back(uuid);
  }
  return !PyErr_Occurred();
}

bool py_tables_to_qualified_names(PyObject* tables, std::vector<sync::QualifiedTableName>& out) {
  out.clear();
  PyRef iter = py_iter(tables);
  if (!iter) return rewrap_pending("tables must be an iterable of (database, table) pairs: ");
  constexpr std::string_view kPair = "table entry must be a (database, table) pair: ";
  while (PyRef item = py_next(iter.get())) {
    PyObject* pair = item.get();
    if (!PyTuple_Check(pair)) return raise_type_error(kPair, conversion_error_text(pair, "tuple"));
    const Py_ssize_t n = PyTuple_Size(pair);
    if (n != 2) {
      return raise_type_error(
          kPair, cat("TypeError: expected tuple of length 2, but got tuple of length ", n));
    }
    sync::QualifiedTableName name;
    PyObject* members[2] = {PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)};
    std::string* texts[2] = {&name.database, &name.table};
    for (int i = 0; i < 2; ++i) {
      if (!text_or_type_error(members[i], kPair, *texts[i])) return false;
    }
    out.push_back(std::move(name));
  }
  return !PyErr_Occurred();
}

}  // namespace tarnwick::binding::arguments
