// Construction of the module's view objects from native values, shared by the class files.
#pragma once

#include <Python.h>

#include <cstdint>
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

// A new _Column with the owned values of column `index` of `block`; raises on failure.
PyRef make_column(const ModuleState& state, const protocol::Block& block, size_t index);
// A new _RowIterator over already converted columns (one list per column, `rows` items each).
PyRef make_row_iterator(const ModuleState& state, PyRef names, PyRef columns, uint64_t rows);

// The unsigned index of __getitem__ / column_by_index: TypeError naming `index` for a non-integer,
// OverflowError for a negative one. False with the error set.
bool index_argument(PyObject* obj, uint64_t& out);

}  // namespace tarnwick::binding
