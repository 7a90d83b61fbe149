// Entry points: the one way a function of the binding is handed to CPython. entry<F> is F run
// under guarded(), so no C++ exception unwinds into the interpreter; method<F>() makes the method
// table row of F, its calling convention read from F's signature:
//
//   PyObject* f(PyObject* self)                          METH_NOARGS
//   PyObject* f(PyObject* self, PyObject* arg)           METH_O
//   PyObject* f(PyObject* self, PyObject* const* args,   METH_FASTCALL | METH_KEYWORDS, the
//               Py_ssize_t nargs, PyObject* kwnames)     arguments bound with bind_arguments()
//
// Only deallocation and the garbage collector's hooks, which cannot fail, go to CPython as they
// are.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <type_traits>

#include "binding/errors.h"

namespace tarnwick::binding {

template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
  static R call(A... a) noexcept {
    if constexpr (std::is_pointer_v<R>) {
      return guarded([&] { return F(a...); }, R{nullptr});
    } else {
      return guarded([&] { return F(a...); }, R{-1});
    }
  }
};

// F with the same signature, guarded; for type slots and method tables alike.
template <auto F>
inline constexpr auto entry = &Entry<F>::call;

using NoArguments = PyObject* (*)(PyObject*);
using OneArgument = PyObject* (*)(PyObject*, PyObject*);
using FastKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <auto F>
PyObject* no_arguments(PyObject* self, PyObject*) {
  return F(self);
}

// The method table row's function and flags of F. The function pointer is a constant the compiler
// places in the table itself, so every method table is complete before the module is loaded.
template <auto F>
struct MethodOf;

template <NoArguments F>
struct MethodOf<F> {
  static constexpr int flags = METH_NOARGS;
  static inline const PyCFunction function = &Entry<no_arguments<F>>::call;
};

template <OneArgument F>
struct MethodOf<F> {
  static constexpr int flags = METH_O;
  static inline const PyCFunction function = &Entry<F>::call;
};

template <FastKeywords F>
struct MethodOf<F> {
  static constexpr int flags = METH_FASTCALL | METH_KEYWORDS;
  static inline const PyCFunction function =
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry<F>::call));
};

template <auto F>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return {name, MethodOf<F>::function, MethodOf<F>::flags, doc};
}

// The parameters of a function that takes keywords: all of them may be given by keyword, the
// first `positional` also by position, and the first `required` must be given.
struct Signature {
  const char* function;
  std::span<const char* const> names;
  size_t required;
  size_t positional;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call: out[i] is the (borrowed) value of
// parameter i, or null when it was not given. TypeError with the interpreter's usual texts for too
// many positional arguments, an unknown or repeated keyword and a missing required argument.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for an argument tuple and keyword dict (tp_new).
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace tarnwick::binding
