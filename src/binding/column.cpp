// _Column: an owned copy of one column's values in one of the seven simple forms of
// column::OwnedColumnData; it no longer refers to the block it came from.
#include <string>

#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/objects.h"
#include "tarnwick/base/format.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"

namespace tarnwick::binding {

using base::cat;
using column::OwnedColumnData;

namespace {

struct ColumnObject {
  PyObject_HEAD OwnedColumnData values;
  std::string name;
  std::string type_name;
  uint64_t rows;
  base::Bytes lc_indexes;  // the block column's, for a LowCardinality
};

ColumnObject* as_column(PyObject* self) {
  return reinterpret_cast<ColumnObject*>(self);
}

void column_dealloc(PyObject* self) {
  ColumnObject* c = as_column(self);
  c->values.~OwnedColumnData();
  c->name.~basic_string();
  c->type_name.~basic_string();
  c->lc_indexes.~Bytes();
  free_instance(self);
}

// The number of stored values of forms 0 to 4.
size_t stored_count(const OwnedColumnData& v) {
  switch (v.kind()) {
    case OwnedColumnData::Kind::UInt64:
      return v.uint64s().size();
    case OwnedColumnData::Kind::Int64:
      return v.int64s().size();
    case OwnedColumnData::Kind::Float64:
      return v.float64s().size();
    case OwnedColumnData::Kind::Text:
      return v.texts().size();
    case OwnedColumnData::Kind::Bool:
      return v.bools().size();
    default:
      return 0;
  }
}

// One stored value of forms 0 to 4 (i below stored_count), without date conversion.
PyObject* value_at(const OwnedColumnData& v, size_t i) {
  switch (v.kind()) {
    case OwnedColumnData::Kind::UInt64:
      return PyLong_FromUnsignedLongLong(v.uint64s()[i]);
    case OwnedColumnData::Kind::Int64:
      return PyLong_FromLongLong(v.int64s()[i]);
    case OwnedColumnData::Kind::Float64:
      return PyFloat_FromDouble(v.float64s()[i]);
    case OwnedColumnData::Kind::Text:
      return lossy_str(v.texts()[i]);
    case OwnedColumnData::Kind::Bool:
      return PyBool_FromLong(v.bools()[i]);
    default:
      return Py_NewRef(Py_None);
  }
}

// The precision of a "DateTime64(p...)" type text; 0 for other texts or an unreadable number.
uint32_t datetime_precision(std::string_view type) {
  constexpr std::string_view kHead = "DateTime64(";
  if (!type.starts_with(kHead)) return 0;
  std::string_view rest = type.substr(kHead.size());
  const size_t end = rest.find_first_of(",)");
  if (end == std::string_view::npos || end == 0) return 0;
  uint64_t p = 0;
  for (char ch : rest.substr(0, end)) {
    if (ch < '0' || ch > '9') return 0;
    p = p * 10 + static_cast<uint64_t>(ch - '0');
    if (p > UINT32_MAX) return 0;
  }
  return static_cast<uint32_t>(p);
}

PyObject* values_list(PyObject* self, conversion::SignalCheck& check) {
  const ColumnObject* c = as_column(self);
  const OwnedColumnData& v = c->values;
  const ModuleState& state = state_of_self(self);
  size_t n = stored_count(v);
  if (v.kind() == OwnedColumnData::Kind::LengthOnly) n = v.length_only();
  if (v.kind() == OwnedColumnData::Kind::Empty) n = c->rows;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  const bool is_date = v.kind() == OwnedColumnData::Kind::Int64 && c->type_name == "Date";
  const bool is_datetime =
      v.kind() == OwnedColumnData::Kind::Int64 && c->type_name.starts_with("DateTime");
  const uint32_t precision = is_datetime ? datetime_precision(c->type_name) : 0;
  conversion::DayObjects& days = check.days();
  if (is_date) days.reserve(n);
  auto make_date = [&](int32_t day) { return conversion::date_from_days(state, day); };
  // A LowCardinality's texts, one a row: the rows of one dictionary index share its object.
  const bool by_rows = v.kind() == OwnedColumnData::Kind::Text && n == c->rows;
  conversion::KeyObjects keys(c->lc_indexes.span(), by_rows ? n : 0);
  auto by_key = [&](uint64_t i) -> PyObject* {
    PyRef& slot = keys.slot(i);
    if (!slot) slot = PyRef::steal(value_at(v, i));
    return slot ? Py_NewRef(slot.get()) : nullptr;
  };
  base::Status filled = check.each(n, [&](uint64_t i) -> base::Status {
    // A Date's day number (0 to 65535) fits the table's.
    PyObject* item = is_date ? days.get(static_cast<int32_t>(v.int64s()[i]), make_date)
                     : is_datetime
                         ? conversion::datetime_from_timestamp(state, v.int64s()[i], precision)
                     : keys.usable() ? by_key(i)
                                     : value_at(v, i);
    // Ends the loop; the Python error stays set.
    if (item == nullptr) return base::Error::out_of_memory(0);
    py_list_set(list.get(), static_cast<Py_ssize_t>(i), item);
    return {};
  });
  return filled.ok() ? list.release() : nullptr;
}

PyObject* column_to_list(PyObject* self) {
  return conversion::with_signal_check(
      [&](conversion::SignalCheck& check) { return values_list(self, check); });
}

PyObject* column_subscript(PyObject* self, PyObject* index) {
  uint64_t i = 0;
  if (!index_argument(index, i)) return nullptr;
  const OwnedColumnData& v = as_column(self)->values;
  if (i >= stored_count(v)) return Py_NewRef(Py_None);
  return value_at(v, static_cast<size_t>(i));
}

Py_ssize_t column_len(PyObject* self) {
  const uint64_t rows = as_column(self)->rows;
  if (rows > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    py_set_error_text(PyExc_OverflowError, "row count does not fit a Python length");
    return -1;
  }
  return static_cast<Py_ssize_t>(rows);
}

PyObject* column_repr(PyObject* self) {
  const ColumnObject* c = as_column(self);
  return lossy_str(cat("<Column name=", c->name, " type=", c->type_name, " len=", c->rows, ">"));
}

PyObject* column_name(PyObject* self, void*) {
  return lossy_str(as_column(self)->name);
}
PyObject* column_type_name(PyObject* self, void*) {
  return lossy_str(as_column(self)->type_name);
}

PyMethodDef column_methods[] = {
    method<column_to_list>("to_list", "to_list($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"name", entry<column_name>, nullptr, "The column name.", nullptr},
    {"type_name", entry<column_type_name>, nullptr, "The column's type text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<column_repr>)},
    {Py_tp_methods, column_methods},
    {Py_tp_getset, column_getset},
    {Py_mp_length, reinterpret_cast<void*>(entry<column_len>)},
    {Py_sq_length, reinterpret_cast<void*>(entry<column_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(entry<column_subscript>)},
    {Py_tp_doc, const_cast<char*>("An owned copy of one column's values.")},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "tarnwick._native._Column",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    column_slots,
};

}  // namespace

PyRef make_column(const ModuleState& state, const protocol::Block& block, size_t index) {
  base::Result<column::AnyColumnData> view = block.read_column_by_index(index);
  if (!view) {
    raise(view.error());
    return {};
  }
  OwnedColumnData owned = view->into_owned();
  std::string name = block.columns[index].name;
  std::string type_name = block.columns[index].type_name;
  PyObject* obj = alloc_instance(state.column_type);
  if (obj == nullptr) return {};
  ColumnObject* c = as_column(obj);
  new (&c->values) OwnedColumnData(std::move(owned));
  new (&c->name) std::string(std::move(name));
  new (&c->type_name) std::string(std::move(type_name));
  new (&c->lc_indexes) base::Bytes(block.columns[index].lc_indexes);
  c->rows = block.rows;
  return PyRef::steal(obj);
}

int add_column_type(PyObject* module) {
  return add_type(module, &column_spec, &state_of_module(module)->column_type);
}

}  // namespace tarnwick::binding
