// Per-module state of tarnwick._native: the heap types of the module's classes and the standard
// library callables the conversions use, created once by the exec step. Code that runs for a
// method of one of the module's classes reaches the state through that class
// (state_of_self() in objects.h); module functions get the module object itself.
#pragma once

#include <Python.h>

namespace tarnwick::binding {

struct ModuleState {
  PyTypeObject* client_type = nullptr;
  PyTypeObject* block_type = nullptr;
  PyTypeObject* column_type = nullptr;
  PyTypeObject* row_iterator_type = nullptr;
  PyTypeObject* query_stream_type = nullptr;
  // datetime.date.fromordinal and datetime.datetime.fromtimestamp.
  PyObject* date_fromordinal = nullptr;
  PyObject* datetime_fromtimestamp = nullptr;
};

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of this module's heap types).
inline ModuleState* state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModule(type);  // borrowed
  return module == nullptr ? nullptr : state_of_module(module);
}

// One step of the exec function: creates a class from its spec with the module as its defining
// module, stores it in the state and adds it to the module under its name. Returns -1 with the
// Python error set on failure.
int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot);

// Registration of each class, in the files that define them.
namespace client {
int add_client_type(PyObject* module);
}
int add_block_type(PyObject* module);
int add_column_type(PyObject* module);
int add_row_iterator_type(PyObject* module);
int add_query_stream_type(PyObject* module);

// The module functions, in block.cpp and conversion_write.cpp.
namespace conversion {
PyObject* blocks_to_dicts(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* dicts_to_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
}  // namespace conversion

}  // namespace tarnwick::binding
