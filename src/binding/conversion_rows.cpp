// Whole-block conversions (row dicts), the value lists and signal checks of every conversion, and
// the datetime helpers the column conversions share.
#include <bit>

#include "binding/conversion.h"
#include "binding/errors.h"
#include "binding/objects.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::binding::conversion {

PyRef PyVec::into_list() {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items_.size())));
  if (list) move_into(list.get(), 0);
  return list;
}

void PyVec::move_into(PyObject* list, Py_ssize_t at) {
  for (size_t i = 0; i < items_.size(); ++i) {
    py_list_set(list, at + static_cast<Py_ssize_t>(i), items_[i]);  // steals
  }
  items_.clear();
}

base::Status SignalCheck::run_handlers() {
  left_ = kInterval;
  if (pending_ == nullptr &&
      collector_.resumed([] { return into_python(PyErr_CheckSignals); }) == 0) {
    return {};
  }
  if (pending_ == nullptr) pending_ = PyErr_GetRaisedException();
  return base::Error::io(base::IoError::custom(base::IoKind::Interrupted,
                                               "a signal handler raised during the conversion"));
}

PyObject* SignalCheck::finish(PyObject* made) {
  if (pending_ == nullptr) return made;
  py_release(made);
  py_set_error(std::exchange(pending_, nullptr));  // replaces any other error
  return nullptr;
}

DayObjects::~DayObjects() {
  for (Slot& slot : slots_) py_release(slot.object);
}

void DayObjects::reserve(uint64_t rows) {
  rows_ = std::min(kMaxSlots, rows_ + std::min(rows, kMaxSlots));
  const uint64_t want = std::bit_ceil(std::max<uint64_t>(rows_, 64));
  if (want <= slots_.size()) return;
  std::vector<Slot> grown(static_cast<size_t>(want));
  for (Slot& slot : slots_) {
    if (slot.object == nullptr) continue;
    Slot& to = grown[static_cast<uint32_t>(slot.day) & (want - 1)];
    py_release(to.object);  // met another day of the old table
    to = slot;
  }
  slots_ = std::move(grown);
  mask_ = static_cast<uint32_t>(want - 1);
}

PyObject* date_from_days(const ModuleState& st, int64_t days) {
  constexpr int64_t kEpochOrdinal = 719163;  // 1970-01-01
  constexpr int64_t kMaxOrdinal = 3652059;   // 9999-12-31
  if (days >= 1 - kEpochOrdinal && days <= kMaxOrdinal - kEpochOrdinal) {
    PyRef ordinal = PyRef::steal(PyLong_FromLongLong(days + kEpochOrdinal));
    if (!ordinal) return nullptr;
    PyObject* args[] = {ordinal.get()};
    if (PyRef date = py_call(st.date_fromordinal, args, 1)) return date.release();
    py_clear_error();
  }
  return PyLong_FromLongLong(days);
}

PyObject* datetime_from_timestamp(const ModuleState& st, int64_t value, uint32_t precision) {
  static constexpr int64_t kPowers[] = {1,      10,      100,      1000,      10000,
                                        100000, 1000000, 10000000, 100000000, 1000000000};
  const int64_t divisor = kPowers[precision > 9 ? 9 : precision];
  const int64_t seconds = value / divisor;
  const int64_t remainder = value % divisor;
  const double timestamp =
      static_cast<double>(remainder) / static_cast<double>(divisor) + static_cast<double>(seconds);
  PyRef ts = PyRef::steal(PyFloat_FromDouble(timestamp));
  if (!ts) return nullptr;
  PyObject* args[] = {ts.get()};
  if (PyRef dt = py_call(st.datetime_fromtimestamp, args, 1)) return dt.release();
  py_clear_error();
  return PyLong_FromLongLong(seconds);
}

namespace {

bool values_are_atoms(const protocol::ColumnType& type) {
  switch (type.kind) {
    case protocol::TypeKind::Nullable:
    case protocol::TypeKind::LowCardinality:
      return values_are_atoms(type.inner());
    case protocol::TypeKind::Array:
    case protocol::TypeKind::Map:
    case protocol::TypeKind::Tuple:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool column_values_are_atoms(const protocol::ColumnInfo& column) {
  base::Result<protocol::ColumnType> type = protocol::parse_type(column.type_name);
  return type.ok() && values_are_atoms(*type);
}

PyRef row_dict_template(PyObject* const* keys, size_t count) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  for (size_t i = 0; i < count; ++i) {
    if (py_dict_set(dict.get(), keys[i], Py_None) < 0) return {};
  }
  return dict;
}

PyRef blocks_to_py_dicts(const ModuleState& st, std::span<const protocol::Block* const> blocks,
                         SignalCheck& check) {
  uint64_t total = 0;
  for (const protocol::Block* b : blocks) {
    if (!b->columns.empty() && __builtin_add_overflow(total, b->rows, &total)) {
      py_set_no_memory();
      return {};
    }
  }
  if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    py_set_no_memory();
    return {};
  }
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(total)));
  if (!result) return {};
  Py_ssize_t at = 0;
  for (const protocol::Block* b : blocks) {
    if (b->columns.empty() || b->rows == 0) continue;
    const size_t ncols = b->columns.size();
    std::vector<PyVec> values(ncols);
    std::vector<PyRef> keys(ncols);
    std::vector<PyObject*> key_ptrs(ncols);
    for (size_t i = 0; i < ncols; ++i) {
      base::Result<PyVec> col = column_to_py_list_typed(st, b->columns[i], b->rows, check);
      if (!col) {
        raise(col.error());
        return {};
      }
      values[i] = std::move(col).value();
      // Not interned: interned strings live as long as the process on 3.12, and the rows share
      // these keys through the template anyway.
      keys[i] = PyRef::steal(lossy_str(b->columns[i].name));
      if (!keys[i]) return {};
      key_ptrs[i] = keys[i].get();
    }
    PyRef tmpl = row_dict_template(key_ptrs.data(), ncols);
    if (!tmpl) return {};
    for (uint64_t r = 0; r < b->rows; ++r) {
      // A copy of the template already holds every key at its final size; setting a value only
      // replaces None in place.
      PyObject* dict = PyDict_Copy(tmpl.get());
      if (dict == nullptr) return {};
      py_list_set(result.get(), at++, dict);
      for (size_t i = 0; i < ncols; ++i) {
        // The column's reference is dropped while the value is still in cache.
        PyRef value = PyRef::steal(values[i].take(r));
        if (py_dict_set(dict, keys[i].get(), value.get()) < 0) return {};
      }
      if (base::Status due = check.tick(ncols); !due.ok()) {
        raise(due.error());
        return {};
      }
    }
  }
  return result;
}

}  // namespace tarnwick::binding::conversion
