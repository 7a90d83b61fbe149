// What the class files share: allocation of instances of the module's heap types, the module
// state of a method's `self`, text for Python and the integer index argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/module_state.h"
#include "binding/py_ref.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::binding {

// A new instance of one of the module's heap types, with zeroed object memory; the C++ members
// are then constructed in place by the caller. Null with the Python error set on failure.
PyObject* alloc_instance(PyTypeObject* type);
// Frees an instance of a heap type the xxlimited way: tp_free, then the type's reference.
void free_instance(PyObject* self);

// The state of the module that defined the class of `self`.
inline const ModuleState& state_of_self(PyObject* self) {
  return *state_of_type(Py_TYPE(self));
}

// A new str of UTF-8 text; bytes that are not UTF-8 come out as U+FFFD. Null on failure.
PyObject* lossy_str(std::string_view text);

// A new _Column with the owned values of column `index` of `block`; raises on failure.
PyRef make_column(const ModuleState& state, const protocol::Block& block, size_t index);
// A new _RowIterator over already converted columns (one list per column, `rows` items each).
PyRef make_row_iterator(const ModuleState& state, PyRef names, PyRef columns, uint64_t rows);

// The unsigned index of __getitem__ / column_by_index: anything with __index__ is accepted;
// TypeError naming `index` for a non-integer, OverflowError for a negative one. False with the
// error set.
bool index_argument(PyObject* obj, uint64_t& out);

}  // namespace tarnwick::binding
