#include "binding/objects.h"

#include "binding/errors.h"

namespace tarnwick::binding {

PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  py_release(reinterpret_cast<PyObject*>(type));
}

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(type);  // the state keeps this reference
  return PyModule_AddType(module, *slot);
}

PyObject* lossy_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool index_argument(PyObject* obj, uint64_t& out) {
  PyRef index = py_index(obj);
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    py_clear_error();
    py_set_error_format(PyExc_TypeError,
                        "argument 'index': '%s' object cannot be interpreted as an integer",
                        type_name_of(obj).c_str());
    return false;
  }
  const unsigned long long v = py_as_unsigned_long_long(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace tarnwick::binding
