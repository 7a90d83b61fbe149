// _RowIterator: one dict per row, from columns that were all converted when it was made. It holds
// Python objects, so it takes part in cyclic garbage collection.
#include <vector>

#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/objects.h"

namespace tarnwick::binding {

namespace {

struct RowIteratorObject {
  PyObject_HEAD PyObject* names;  // tuple of str, column order
  PyObject* columns;              // tuple of lists, one per column, `rows` items each
  PyObject* row_template;         // dict of the names, each mapped to None; rows are copies
  uint64_t position;
  uint64_t rows;
};

RowIteratorObject* as_iter(PyObject* self) {
  return reinterpret_cast<RowIteratorObject*>(self);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iter(self)->names);
  Py_VISIT(as_iter(self)->columns);
  Py_VISIT(as_iter(self)->row_template);
  return 0;
}

int iter_clear(PyObject* self) {
  py_clear(as_iter(self)->names);
  py_clear(as_iter(self)->columns);
  py_clear(as_iter(self)->row_template);
  return 0;
}

void iter_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  iter_clear(self);
  free_instance(self);
}

PyObject* iter_self(PyObject* self) {
  return Py_NewRef(self);
}

PyObject* iter_next(PyObject* self) {
  RowIteratorObject* it = as_iter(self);
  if (it->names == nullptr || it->row_template == nullptr || it->position >= it->rows) {
    return nullptr;  // StopIteration
  }
  const Py_ssize_t row = static_cast<Py_ssize_t>(it->position);
  PyRef dict = PyRef::steal(PyDict_Copy(it->row_template));
  if (!dict) return nullptr;
  const Py_ssize_t n = PyTuple_Size(it->names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* value = PyList_GetItem(PyTuple_GetItem(it->columns, i), row);
    if (value == nullptr) return nullptr;
    if (py_dict_set(dict.get(), PyTuple_GetItem(it->names, i), value) < 0) return nullptr;
  }
  ++it->position;
  return dict.release();
}

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(entry<iter_self>)},
    {Py_tp_iternext, reinterpret_cast<void*>(entry<iter_next>)},
    {Py_tp_doc, const_cast<char*>("Iterator over the rows of a block, one dict per row.")},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "tarnwick._native._RowIterator",
    sizeof(RowIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    iter_slots,
};

}  // namespace

PyRef make_row_iterator(const ModuleState& state, PyRef names, PyRef columns, uint64_t rows) {
  const Py_ssize_t n = PyTuple_Size(names.get());
  if (n < 0) return {};
  std::vector<PyObject*> keys(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) keys[static_cast<size_t>(i)] = PyTuple_GetItem(names.get(), i);
  PyRef row_template = conversion::row_dict_template(keys.data(), keys.size());
  if (!row_template) return {};
  // tp_alloc already tracks the object; its zeroed fields are safe to traverse.
  PyObject* obj = alloc_instance(state.row_iterator_type);
  if (obj == nullptr) return {};
  RowIteratorObject* it = as_iter(obj);
  it->names = names.release();
  it->columns = columns.release();
  it->row_template = row_template.release();
  it->position = 0;
  it->rows = rows;
  return PyRef::steal(obj);
}

int add_row_iterator_type(PyObject* module) {
  return add_type(module, &iter_spec, &state_of_module(module)->row_iterator_type);
}

}  // namespace tarnwick::binding
