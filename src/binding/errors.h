// Failures on their way to Python. A failure the binding words itself is a DeferredError: a
// builtin exception type and a text, made without the GIL and raised only when control is back in
// the interpreter. Library errors become DeferredErrors through to_py_err, the one mapping from
// base::Error kinds to Python exception types.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "binding/py_ref.h"
#include "tarnwick/base/error.h"

namespace tarnwick::binding {

struct DeferredError {
  PyObject* type;  // a builtin exception type; static, so it needs no reference or lock
  std::string message;

  // Sets the Python error (GIL held). The text becomes the exception's single argument; bytes that
  // are not UTF-8 come out as U+FFFD.
  void raise() const;
};

// The mapping of library errors to builtin exceptions and their "ClickHouse ..." texts.
DeferredError to_py_err(const base::Error& error);

// Raises the mapped exception of `error` and returns null, for `return raise(err);` in entry
// points.
std::nullptr_t raise(const base::Error& error);
std::nullptr_t raise(PyObject* type, std::string_view message);

// Takes the pending Python exception and renders it as "TypeName: message" (the type's qualified
// name and its str()). The exception is cleared. Only for failure paths.
std::string take_py_error_text();

// "argument '{arg}': '{type of obj}' object cannot be converted to '{target}'" as a TypeError.
std::nullptr_t raise_arg_type_error(std::string_view arg, PyObject* obj, std::string_view target);
// The type name of obj, for messages.
std::string type_name_of(PyObject* obj);

// Where a thread waits whose unwinding came as far as an entry point: a call into Python code was
// made outside into_python(), the binding's own fault, which this reports on stderr before it
// waits as wait_for_process_end() does.
[[noreturn]] void wait_at_entry_for_process_end() noexcept;

// Runs the body of an entry point: nothing unwinds into the interpreter. bad_alloc becomes
// MemoryError, any other C++ exception SystemError; the body's own result is returned otherwise.
// The interpreter's own unwinding, which ends a thread that asks for the GIL while it exits, stops
// inside the body, at the call into Python code where it began (into_python(), py_ref.h); should
// any come this far, the thread says so and waits here all the same until the process ends.
template <class F>
auto guarded(F&& body, decltype(body()) failed) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    wait_at_entry_for_process_end();  // never returns: leaving the handler would abort
  } catch (const std::bad_alloc&) {
    py_set_no_memory();
  } catch (const std::exception& e) {
    py_set_error_text(PyExc_SystemError, e.what());
  } catch (...) {
    py_set_error_text(PyExc_SystemError, "internal error in tarnwick._native");
  }
  return failed;
}

}  // namespace tarnwick::binding
