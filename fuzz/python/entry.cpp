// The libFuzzer entry point of a target written in Python against the extension module: the build
// compiles this file once per target, with TARNWICK_PY_TARGET naming the module in this folder
// whose run(data) takes one input. The interpreter is embedded; the module is the instrumented one
// of the same build. An exception that escapes run() is a finding, as a crash is.
#include <Python.h>

#include <cstdio>
#include <cstdlib>

namespace {

PyObject* run_function = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Py_InitializeEx(0);
  PyObject* path = PySys_GetObject("path");  // borrowed
  const char* const dirs[] = {TARNWICK_PY_PACKAGE_DIR, TARNWICK_PY_TARGET_DIR};
  for (const char* dir : dirs) {
    PyObject* text = PyUnicode_FromString(dir);
    if (path == nullptr || text == nullptr || PyList_Insert(path, 0, text) != 0) {
      fail("cannot extend sys.path");
    }
    Py_DECREF(text);
  }
  PyObject* target = PyImport_ImportModule(TARNWICK_PY_TARGET);
  if (target == nullptr) fail("cannot import the target module");
  run_function = PyObject_GetAttrString(target, "run");
  Py_DECREF(target);
  if (run_function == nullptr) fail("the target module has no run()");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PyObject* input =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (input == nullptr) fail("cannot make the input");
  PyObject* result = PyObject_CallOneArg(run_function, input);
  Py_DECREF(input);
  if (result == nullptr) fail("run() raised");
  Py_DECREF(result);
  return 0;
}
