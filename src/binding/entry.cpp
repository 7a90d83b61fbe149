#include "binding/entry.h"

#include <string_view>
#include <vector>

#include "binding/py_ref.h"
#include "tarnwick/base/format.h"

namespace tarnwick::binding {

using base::cat;

namespace {

bool refuse(std::string text) {
  raise(PyExc_TypeError, text);
  return false;
}

// Binds `nargs` positional values and the keywords (names[i], values[i]).
bool bind(const Signature& sig, PyObject* const* args, size_t nargs, PyObject* const* kw_names,
          PyObject* const* kw_values, size_t nkw, PyObject** out) {
  const size_t total = sig.names.size();
  const std::string_view f = sig.function;
  if (nargs + nkw > total) {
    return refuse(cat(f, "() takes at most ", total, " argument", total == 1 ? "" : "s", " (",
                      nargs + nkw, " given)"));
  }
  if (nargs > sig.positional) {
    return refuse(cat(f, "() takes ", sig.positional == sig.required ? "exactly" : "at most", " ",
                      sig.positional, " positional argument", sig.positional == 1 ? "" : "s", " (",
                      nargs, " given)"));
  }
  for (size_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (size_t k = 0; k < nkw; ++k) {
    Py_ssize_t n = 0;
    const char* p = py_utf8(kw_names[k], &n);
    if (p == nullptr) return false;
    const std::string_view key(p, static_cast<size_t>(n));
    size_t i = 0;
    while (i < total && key != sig.names[i]) ++i;
    if (i == total) return refuse(cat("'", key, "' is an invalid keyword argument for ", f, "()"));
    if (out[i] != nullptr) {
      return refuse(
          cat("argument for ", f, "() given by name ('", key, "') and position (", i + 1, ")"));
    }
    out[i] = kw_values[k];
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      return refuse(cat(f, "() missing required argument '", sig.names[i], "' (pos ", i + 1, ")"));
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  std::vector<PyObject*> names(static_cast<size_t>(nkw));
  for (Py_ssize_t k = 0; k < nkw; ++k) names[static_cast<size_t>(k)] = PyTuple_GetItem(kwnames, k);
  return bind(sig, args, static_cast<size_t>(positional), names.data(), args + positional,
              names.size(), out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  std::vector<PyObject*> positional(static_cast<size_t>(PyTuple_Size(args)));
  for (size_t i = 0; i < positional.size(); ++i) {
    positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      names.push_back(key);
      values.push_back(value);
    }
  }
  return bind(sig, positional.data(), positional.size(), names.data(), values.data(), names.size(),
              out);
}

}  // namespace tarnwick::binding
