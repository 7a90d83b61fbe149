// A type of _tarnwick_testhooks as C extensions defined types before heap types: a static one,
// whose name is the C text of its tp_name, here not UTF-8. The interpreter decodes such a name,
// strictly, each time the type's name is asked for, so a program's own "strict" error handler runs
// there. The limited API has no static types: this file alone is built with the full one.
#undef Py_LIMITED_API
#include <Python.h>

// The head's macro ends in a comma of its own.
// clang-format off
static PyTypeObject non_utf8_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_tarnwick_testhooks.B\xff",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
};
// clang-format on

// The type, made ready on first use: a new reference, or null with the error set.
PyObject* tarnwick_testhooks_non_utf8_type(void) {
  if (PyType_Ready(&non_utf8_type) < 0) return NULL;
  return Py_NewRef((PyObject*)&non_utf8_type);
}
