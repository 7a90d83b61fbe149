// Owned references and the GIL-release guard: the two helpers that make reference counting and
// GIL handling visible in the binding's code.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick::binding {

// A strong reference to a Python object, released when this goes out of scope.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (the result of most C API calls); null stays null.
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives the reference to the caller (for a C API call that steals, or a return value).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Releases the GIL for its lifetime. Nothing inside the span may touch a Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace tarnwick::binding
