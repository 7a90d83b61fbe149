// _Block: one data block as the decoder or dicts_to_block made it. Shape questions read the block;
// values are converted on request, column by column.
#include <string>

#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/objects.h"
#include "tarnwick/base/format.h"

namespace tarnwick::binding {

using base::cat;
using conversion::SignalCheck;

namespace {

struct BlockObject {
  PyObject_HEAD protocol::Block block;
};

const protocol::Block& block_of_self(PyObject* self) {
  return reinterpret_cast<BlockObject*>(self)->block;
}

void block_dealloc(PyObject* self) {
  reinterpret_cast<BlockObject*>(self)->block.~Block();
  free_instance(self);
}

PyObject* block_row_count(PyObject* self) {
  return PyLong_FromUnsignedLongLong(block_of_self(self).rows);
}

PyObject* block_column_count(PyObject* self) {
  return PyLong_FromSize_t(block_of_self(self).columns.size());
}

template <std::string protocol::ColumnInfo::*Field>
PyObject* block_texts(PyObject* self) {
  const protocol::Block& b = block_of_self(self);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(b.columns.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < b.columns.size(); ++i) {
    PyObject* s = lossy_str(b.columns[i].*Field);
    if (s == nullptr) return nullptr;
    py_list_set(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* block_column_info(PyObject* self) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const protocol::ColumnInfo& c : block_of_self(self).columns) {
    PyRef name = PyRef::steal(lossy_str(c.name));
    PyRef type = PyRef::steal(lossy_str(c.type_name));
    if (!name || !type || py_dict_set(dict.get(), name.get(), type.get()) < 0) return nullptr;
  }
  return dict.release();
}

constexpr const char* kIndexParameter[] = {"index"};
constexpr Signature kColumnByIndex{"column_by_index", kIndexParameter, 1, 1};

PyObject* block_column_by_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* index = nullptr;
  uint64_t i = 0;
  if (!bind_arguments(kColumnByIndex, args, nargs, kwnames, &index) || !index_argument(index, i)) {
    return nullptr;
  }
  const protocol::Block& b = block_of_self(self);
  if (i >= b.columns.size()) {
    return raise(PyExc_IndexError,
                 cat("column index ", i, " out of range (", b.columns.size(), " columns)"));
  }
  return make_column(state_of_self(self), b, static_cast<size_t>(i)).release();
}

PyObject* block_subscript(PyObject* self, PyObject* key) {
  if (!PyUnicode_Check(key)) return raise_arg_type_error("name", key, "str");
  Py_ssize_t n = 0;
  const char* p = py_utf8(key, &n);
  if (p == nullptr) return nullptr;
  const std::string_view name(p, static_cast<size_t>(n));
  const protocol::Block& b = block_of_self(self);
  for (size_t i = 0; i < b.columns.size(); ++i) {
    if (b.columns[i].name == name) return make_column(state_of_self(self), b, i).release();
  }
  return raise(PyExc_KeyError, cat("column '", name, "' not found"));
}

PyObject* block_to_dicts(PyObject* self) {
  const protocol::Block* blocks[] = {&block_of_self(self)};
  return conversion::with_signal_check([&](SignalCheck& check) {
    return conversion::blocks_to_py_dicts(state_of_self(self), blocks, check).release();
  });
}

// The table of to_columns(): the row count and each column's name, type and values.
PyObject* columns_table(PyObject* self, SignalCheck& check) {
  const protocol::Block& b = block_of_self(self);
  const ModuleState& state = state_of_self(self);
  PyRef columns = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(b.columns.size())));
  if (!columns) return nullptr;
  for (size_t i = 0; i < b.columns.size(); ++i) {
    base::Result<PyRef> data =
        conversion::column_to_py_list_object_typed(state, b.columns[i], b.rows, check);
    if (!data) return raise(data.error());
    PyRef name = PyRef::steal(lossy_str(b.columns[i].name));
    PyRef type = PyRef::steal(lossy_str(b.columns[i].type_name));
    if (!name || !type) return nullptr;
    PyObject* entry =
        Py_BuildValue("{sOsOsO}", "name", name.get(), "type", type.get(), "data", data->get());
    if (entry == nullptr) return nullptr;
    py_list_set(columns.get(), static_cast<Py_ssize_t>(i), entry);
  }
  PyRef rows = PyRef::steal(PyLong_FromUnsignedLongLong(b.rows));
  if (!rows) return nullptr;
  // Built key by key so that "rows" comes first.
  PyRef table = PyRef::steal(PyDict_New());
  if (!table || py_dict_set(table.get(), "rows", rows.get()) < 0 ||
      py_dict_set(table.get(), "columns", columns.get()) < 0) {
    return nullptr;
  }
  return Py_BuildValue("[O]", table.get());
}

PyObject* block_to_columns(PyObject* self) {
  return conversion::with_signal_check(
      [&](SignalCheck& check) { return columns_table(self, check); });
}

// An iterator over the rows, every column converted before the first row.
PyObject* row_iterator(PyObject* self, SignalCheck& check) {
  const protocol::Block& b = block_of_self(self);
  const ModuleState& state = state_of_self(self);
  const Py_ssize_t n = static_cast<Py_ssize_t>(b.columns.size());
  PyRef names = PyRef::steal(PyTuple_New(n));
  PyRef columns = PyRef::steal(PyTuple_New(n));
  if (!names || !columns) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const protocol::ColumnInfo& c = b.columns[static_cast<size_t>(i)];
    base::Result<PyRef> data = conversion::column_to_py_list_object_typed(state, c, b.rows, check);
    if (!data) return raise(data.error());
    PyObject* name = lossy_str(c.name);  // not interned: see blocks_to_py_dicts
    if (name == nullptr) return nullptr;
    py_tuple_set(names.get(), i, name);
    py_tuple_set(columns.get(), i, std::move(data).value().release());
  }
  return make_row_iterator(state, std::move(names), std::move(columns), b.rows).release();
}

PyObject* block_rows(PyObject* self) {
  return conversion::with_signal_check(
      [&](SignalCheck& check) { return row_iterator(self, check); });
}

Py_ssize_t block_len(PyObject* self) {
  const uint64_t rows = block_of_self(self).rows;
  if (rows > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    py_set_error_text(PyExc_OverflowError, "row count does not fit a Python length");
    return -1;
  }
  return static_cast<Py_ssize_t>(rows);
}

PyObject* block_repr(PyObject* self) {
  const protocol::Block& b = block_of_self(self);
  std::string names;
  for (size_t i = 0; i < b.columns.size(); ++i) {
    if (i != 0) names.append(", ");
    names.append(b.columns[i].name);
  }
  return lossy_str(cat("<Block rows=", b.rows, " cols=[", names, "]>"));
}

PyMethodDef block_methods[] = {
    method<block_row_count>("row_count", "row_count($self)\n--\n\n"),
    method<block_column_count>("column_count", "column_count($self)\n--\n\n"),
    method<block_texts<&protocol::ColumnInfo::name>>("column_names", "column_names($self)\n--\n\n"),
    method<block_texts<&protocol::ColumnInfo::type_name>>("column_types",
                                                          "column_types($self)\n--\n\n"),
    method<block_column_info>("column_info", "column_info($self)\n--\n\n"),
    method<block_column_by_index>("column_by_index", "column_by_index($self, index)\n--\n\n"),
    method<block_to_dicts>("to_dicts", "to_dicts($self)\n--\n\n"),
    method<block_to_columns>("to_columns", "to_columns($self)\n--\n\n"),
    method<block_rows>("rows", "rows($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<block_repr>)},
    {Py_tp_methods, block_methods},
    {Py_mp_length, reinterpret_cast<void*>(entry<block_len>)},
    {Py_sq_length, reinterpret_cast<void*>(entry<block_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(entry<block_subscript>)},
    {Py_tp_doc, const_cast<char*>("One data block: column names, types and Native-layout bodies.")},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "tarnwick._native._Block",
    sizeof(BlockObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    block_slots,
};

}  // namespace

int add_block_type(PyObject* module) {
  return add_type(module, &block_spec, &state_of_module(module)->block_type);
}

namespace conversion {

// blocks_to_dicts(blocks): the row dicts of every _Block in a list.
PyObject* blocks_to_dicts(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr const char* kNames[] = {"blocks"};
  PyObject* blocks_arg = nullptr;
  if (!bind_arguments({"blocks_to_dicts", kNames, 1, 1}, args, nargs, kwnames, &blocks_arg)) {
    return nullptr;
  }
  if (!PyList_Check(blocks_arg)) return raise_arg_type_error("blocks", blocks_arg, "list");
  const ModuleState& state = *state_of_module(module);
  // A snapshot of the list keeps every block alive while Python code may run.
  PyRef items = PyRef::steal(PyList_AsTuple(blocks_arg));
  if (!items) return nullptr;
  std::vector<const protocol::Block*> blocks;
  blocks.reserve(static_cast<size_t>(PyTuple_Size(items.get())));
  for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
    const protocol::Block* b = block_of(state, PyTuple_GetItem(items.get(), i));
    if (b == nullptr) return nullptr;
    blocks.push_back(b);
  }
  return with_signal_check(
      [&](SignalCheck& check) { return blocks_to_py_dicts(state, blocks, check).release(); });
}

const protocol::Block* block_of(const ModuleState& state, PyObject* obj) {
  if (!PyObject_TypeCheck(obj, state.block_type)) {
    py_set_error_format(PyExc_TypeError, "'%s' object cannot be converted to '_Block'",
                        type_name_of(obj).c_str());
    return nullptr;
  }
  return &reinterpret_cast<BlockObject*>(obj)->block;
}

PyRef make_block(const ModuleState& state, protocol::Block block) {
  PyObject* obj = alloc_instance(state.block_type);
  if (obj == nullptr) return {};
  new (&reinterpret_cast<BlockObject*>(obj)->block) protocol::Block(std::move(block));
  return PyRef::steal(obj);
}

}  // namespace conversion
}  // namespace tarnwick::binding
