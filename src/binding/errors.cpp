#include "binding/errors.h"

#include "binding/objects.h"
#include "binding/py_ref.h"
#include "tarnwick/base/format.h"

namespace tarnwick::binding {

using base::cat;
using base::ErrorKind;

void DeferredError::raise() const {
  PyRef text = PyRef::steal(lossy_str(message));
  if (!text) return;  // the decoding failure (memory) is the pending error
  into_python([&] { PyErr_SetObject(type, text.get()); });  // drops a pending exception
}

DeferredError to_py_err(const base::Error& error) {
  switch (error.kind()) {
    case ErrorKind::Protocol:
      return {PyExc_ValueError, cat("ClickHouse protocol error: ", error.message())};
    case ErrorKind::Io:
      return {PyExc_ConnectionError, cat("I/O error: ", error.io_error().to_string())};
    case ErrorKind::Compression:
      return {PyExc_ValueError, cat("ClickHouse compression error: ", error.message())};
    case ErrorKind::Auth:
      return {PyExc_ConnectionError, cat("ClickHouse authentication error: ", error.message())};
    case ErrorKind::Server:
      return {PyExc_ValueError,
              cat("ClickHouse server error (code=", static_cast<int64_t>(error.server_code()),
                  ", name=", base::excerpt(error.server_name()), "): ", error.message())};
    case ErrorKind::Timeout:
      return {PyExc_TimeoutError, cat("ClickHouse timeout: ", error.message())};
    case ErrorKind::Config:
      return {PyExc_ValueError, cat("ClickHouse configuration error: ", error.message())};
    case ErrorKind::ResponseTooLarge:
      if (error.is_allowance_exceeded()) {
        return {PyExc_ValueError, cat("ClickHouse response too large: ",
                                      base::allowance_exceeded_text(error.decoded(), error.limit()),
                                      "; raise max_response_size or use a streaming API")};
      }
      return {PyExc_ValueError,
              cat("ClickHouse response too large: decoded ", static_cast<uint64_t>(error.decoded()),
                  " bytes exceeds max_response_size ", static_cast<uint64_t>(error.limit()),
                  "; raise max_response_size or use a streaming API")};
    case ErrorKind::OutOfMemory:
      return {PyExc_MemoryError, cat("ClickHouse ", error.to_string())};
  }
  return {PyExc_SystemError, cat("unknown library error: ", error.to_string())};
}

std::nullptr_t raise(const base::Error& error) {
  to_py_err(error).raise();
  return nullptr;
}

std::nullptr_t raise(PyObject* type, std::string_view message) {
  DeferredError{type, std::string(message)}.raise();
  return nullptr;
}

namespace {

// The UTF-8 text of a str object, or a fallback when it has none.
std::string utf8_of(PyObject* str, std::string_view fallback) {
  if (str == nullptr) return std::string(fallback);
  Py_ssize_t n = 0;
  const char* p = py_utf8(str, &n);
  if (p == nullptr) {
    py_clear_error();
    return std::string(fallback);
  }
  return std::string(p, static_cast<size_t>(n));
}

}  // namespace

std::string type_name_of(PyObject* obj) {
  // A static type's name is decoded from its C text, strictly: a name that is not UTF-8 calls the
  // "strict" handler.
  PyRef name = PyRef::steal(into_python([obj] { return PyType_GetQualName(Py_TYPE(obj)); }));
  if (!name) py_clear_error();
  return utf8_of(name.get(), "object");
}

std::string take_py_error_text() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "SystemError: error return without exception set";
  std::string text = type_name_of(exc.get());
  PyRef str = py_str(exc.get());  // the exception's own __str__ may be the caller's code
  if (!str) py_clear_error();
  text.append(": ");
  text.append(utf8_of(str.get(), "<exception str() failed>"));
  return text;
}

std::nullptr_t raise_arg_type_error(std::string_view arg, PyObject* obj, std::string_view target) {
  return raise(PyExc_TypeError, cat("argument '", arg, "': '", type_name_of(obj),
                                    "' object cannot be converted to '", target, "'"));
}

}  // namespace tarnwick::binding
