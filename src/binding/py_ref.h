// Owned references, the GIL guards and into_python(): the helpers that make reference counting,
// GIL handling and every way into Python code from inside a call visible in the binding's code.
//
// The one idiom: every C API call that may run Python code goes through into_python(), mostly by
// way of the helpers below, never bare. Python code runs where a value's __index__, __float__ or
// __str__ is taken, an iterator is advanced, a callable or method is called, a key is hashed or
// compared, and wherever a reference that may be the last one to a caller's object is let go (its
// __del__): PyRef, py_release() and py_clear() let go of references; a store into a list, tuple or
// dict lets go of what the slot held (and, when it fails, of what it was given); setting an error
// lets go of the pending one. It runs too where a str is decoded from C text or encoded to UTF-8
// strictly: a bad byte or a lone surrogate calls the "strict" error handler, which a program may
// replace with its own (codecs.register_error). Calls that can run none (making numbers, bytes and
// empty containers from C values, reading a built-in object's storage, checking types) stay bare;
// tests/python/binding_calls.py lists each of them with its reason (those whose arguments decide,
// a slot's function included, by the very calls the binding makes), and test_binding_calls.py
// fails on any other C API call made outside an into_python() and on any other function of that
// name.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "tarnwick/sync/wait.h"

namespace tarnwick::binding {

// The one way the binding runs Python code from inside a call. Once the interpreter is finalizing,
// it ends any other thread that asks for the GIL by unwinding its stack (pthread_exit): at the
// binding's own GIL waits, and inside any Python code the binding runs (a callback, a signal
// handler, a value's __str__, an object's __del__) whenever that code lets the GIL go and asks for
// it again. The unwinding would run the destructors
// of the binding's frames above (without the GIL, on objects of an interpreter that is going away)
// and abort at the first noexcept one. into_python(f) runs `f`, the bare C API call, where that
// unwinding stops: the thread waits, holding no lock of the interpreter's, until the process ends,
// and no frame of the binding unwinds. Nothing with a destructor may be made inside `f`. Threads
// run as usual until then (through the interpreter's atexit hooks too). The check in
// tests/python/binding_calls.py holds this definition to its text.
[[noreturn]] void wait_for_process_end() noexcept;

template <class F>
[[gnu::always_inline]] inline auto into_python(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (const abi::__forced_unwind&) {
    wait_for_process_end();  // never returns: leaving the handler would abort
  }
}

// Lets go of a reference (null is nothing): the object's __del__, and what it releases in turn,
// may run.
inline void py_release(PyObject* obj) noexcept {
  if (obj != nullptr) into_python([obj] { Py_DECREF(obj); });
}

// Empties a field that owns a reference, then lets the reference go (Py_CLEAR).
template <class T>
void py_clear(T*& field) noexcept {
  py_release(reinterpret_cast<PyObject*>(std::exchange(field, nullptr)));
}

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
    if (this != &other) py_release(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  ~PyRef() { py_release(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives the reference to the caller (for a C API call that steals, or a return value).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// The shapes of Python code a call runs. Each returns what its C API call does (a new reference,
// or null with the Python error set).

// index(v), the integer behind a value's __index__.
inline PyRef py_index(PyObject* v) noexcept {
  return PyRef::steal(into_python([v] { return PyNumber_Index(v); }));
}
// float(v) as a double (-1.0 with the error set on failure), through __float__ or __index__.
inline double py_float(PyObject* v) noexcept {
  return into_python([v] { return PyFloat_AsDouble(v); });
}
// str(v).
inline PyRef py_str(PyObject* v) noexcept {
  return PyRef::steal(into_python([v] { return PyObject_Str(v); }));
}
// The str of the UTF-8 text `text`, decoded strictly: null with the error set at a bad byte (unless
// the program's "strict" handler gives a replacement). Inlined, as it is made for every String
// value read.
[[gnu::always_inline]] inline PyRef py_text(std::string_view text) noexcept {
  return PyRef::steal(into_python([text] {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  }));
}
// A str's UTF-8 text and its size in bytes, kept by the str: null with the error set when it has
// none (a lone surrogate, unless the program's "strict" handler gives a replacement).
inline const char* py_utf8(PyObject* str, Py_ssize_t* size) noexcept {
  return into_python([=] { return PyUnicode_AsUTF8AndSize(str, size); });
}
// iter(v).
inline PyRef py_iter(PyObject* v) noexcept {
  return PyRef::steal(into_python([v] { return PyObject_GetIter(v); }));
}
// next(it): null at the end (no error set) or on failure (error set).
inline PyRef py_next(PyObject* it) noexcept {
  return PyRef::steal(into_python([it] { return PyIter_Next(it); }));
}
// callable(*args), in the vectorcall convention (`nargsf` may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET; `kwnames` names the trailing keyword arguments).
inline PyRef py_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames = nullptr) noexcept {
  return PyRef::steal(
      into_python([=] { return PyObject_Vectorcall(callable, args, nargsf, kwnames); }));
}
// args[0].name(*args[1:]), likewise.
inline PyRef py_call_method(PyObject* name, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames = nullptr) noexcept {
  return PyRef::steal(
      into_python([=] { return PyObject_VectorcallMethod(name, args, nargsf, kwnames); }));
}
// dict[key] as a new reference: null without an error when the key is missing, with one when
// hashing or comparing failed.
inline PyRef py_dict_get(PyObject* dict, PyObject* key) noexcept {
  return PyRef::borrow(into_python([=] { return PyDict_GetItemWithError(dict, key); }));
}
// Drops the pending exception, if any.
inline void py_clear_error() noexcept {
  into_python(PyErr_Clear);
}
// Makes `exc` (a reference it takes over) the pending exception, dropping any other.
inline void py_set_error(PyObject* exc) noexcept {
  into_python([exc] { PyErr_SetRaisedException(exc); });
}

// Stores; each takes over the reference to what it stores, as the C API calls do.
// dict[key] = value: 0, or -1 with the error set.
inline int py_dict_set(PyObject* dict, PyObject* key, PyObject* value) noexcept {
  return into_python([=] { return PyDict_SetItem(dict, key, value); });
}
inline int py_dict_set(PyObject* dict, const char* key, PyObject* value) noexcept {
  return into_python([=] { return PyDict_SetItemString(dict, key, value); });
}
// list[i] = item, tuple[i] = item: the reference to `item` is taken over.
inline void py_list_set(PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
  into_python([=] { PyList_SetItem(list, i, item); });
}
inline void py_tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* item) noexcept {
  into_python([=] { PyTuple_SetItem(tuple, i, item); });
}

// An int's value: the C API's result, with the error set on failure (a value that is not an int
// is taken through its __index__).
inline long long py_as_long_long(PyObject* v, int* overflow) noexcept {
  return into_python([=] { return PyLong_AsLongLongAndOverflow(v, overflow); });
}
inline unsigned long long py_as_unsigned_long_long(PyObject* v) noexcept {
  return into_python([=] { return PyLong_AsUnsignedLongLong(v); });
}

// Makes a new exception of `type` the pending one, dropping any other. The format takes C values
// only (%s, %d, ...). Each returns null, for `return py_set_error_text(...);`.
inline std::nullptr_t py_set_error_text(PyObject* type, const char* text) noexcept {
  into_python([=] { PyErr_SetString(type, text); });
  return nullptr;
}
template <class... A>
std::nullptr_t py_set_error_format(PyObject* type, const char* format, A... args) noexcept {
  into_python([=] { PyErr_Format(type, format, args...); });
  return nullptr;
}
inline std::nullptr_t py_set_no_memory() noexcept {
  into_python([] { PyErr_NoMemory(); });
  return nullptr;
}

inline void take_gil_back(PyThreadState* state) noexcept {
  into_python([state] { PyEval_RestoreThread(state); });
}

inline PyGILState_STATE ensure_gil() noexcept {
  return into_python(PyGILState_Ensure);
}

// Releases the GIL for its lifetime. Nothing inside the span may touch a Python object.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { take_gil_back(state_); }

 private:
  PyThreadState* state_;
};

// Holds the GIL for its lifetime on a thread that let it go inside a call (a callback of the
// library); Python code runs under it only through into_python().
class GilHold {
 public:
  GilHold() noexcept : state_(ensure_gil()) {}
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;
  // Letting go of a thread state that the hold made clears it, and what it held (the thread's
  // locals) goes too.
  ~GilHold() {
    into_python([state = state_] { PyGILState_Release(state); });
  }

 private:
  PyGILState_STATE state_;
};

// Releases the GIL around a call that may wait on the network while the interpreter's signal
// handlers keep running: in the main thread (the only one that runs them) the library calls back
// at least every 100 ms and at once after a signal, and the callback takes the GIL only for
// PyErr_CheckSignals. When a handler raises (KeyboardInterrupt), the waiting call ends with the
// library's interrupted error and the exception is set again once the GIL is back; interrupted()
// then tells the caller to return it in place of its own result or error.
class BlockingCall {
 public:
  BlockingCall() noexcept : state_(PyEval_SaveThread()) {
    if (::syscall(SYS_gettid) == ::getpid()) hook_.emplace(&BlockingCall::check, this);
  }
  BlockingCall(const BlockingCall&) = delete;
  BlockingCall& operator=(const BlockingCall&) = delete;
  ~BlockingCall() {
    hook_.reset();
    take_gil_back(state_);
    if (pending_ != nullptr) py_set_error(pending_);
  }

  bool interrupted() const { return pending_ != nullptr; }

 private:
  static bool check(void* self) noexcept {
    auto* call = static_cast<BlockingCall*>(self);
    if (call->pending_ != nullptr) return true;
    GilHold gil;
    if (into_python(PyErr_CheckSignals) != 0) call->pending_ = PyErr_GetRaisedException();
    return call->pending_ != nullptr;
  }

  PyThreadState* state_;
  PyObject* pending_ = nullptr;  // the handler's exception, owned until it is set again
  std::optional<sync::ScopedInterruptHook> hook_;
};

// Runs `f` (which must not touch a Python object) under a BlockingCall: its result, or nothing
// when a signal handler raised meanwhile, the handler's exception then being set.
template <class F>
auto run_blocking(F&& f) -> std::optional<decltype(f())> {
  std::optional<decltype(f())> result;
  bool interrupted = false;
  {
    BlockingCall call;
    result.emplace(f());
    interrupted = call.interrupted();
  }
  if (interrupted) result.reset();
  return result;
}

}  // namespace tarnwick::binding
