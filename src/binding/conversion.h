// Column bodies in the native layout to Python values, and back. The read side parses a column's
// type once and converts the whole column in one loop (column-major); rows are assembled from
// the converted columns afterwards.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "binding/module_state.h"
#include "binding/py_ref.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/low_cardinality.h"

namespace tarnwick::binding::conversion {

// New references to Python objects, released together (slots emptied by take() excepted).
class PyVec {
 public:
  PyVec() = default;
  PyVec(const PyVec&) = delete;
  PyVec& operator=(const PyVec&) = delete;
  PyVec(PyVec&& other) noexcept : items_(std::move(other.items_)) {}
  PyVec& operator=(PyVec&& other) noexcept {
    if (this != &other) {
      clear();
      items_ = std::move(other.items_);
    }
    return *this;
  }
  ~PyVec() { clear(); }

  void reserve(size_t n) { items_.reserve(n); }
  void push(PyObject* owned) { items_.push_back(owned); }
  size_t size() const { return items_.size(); }
  PyObject* operator[](size_t i) const { return items_[i]; }
  // Replaces item i, releasing the old one.
  void replace(size_t i, PyObject* owned) { py_release(std::exchange(items_[i], owned)); }
  // Hands item i's reference to the caller and leaves the slot empty.
  PyObject* take(size_t i) {
    PyObject* item = items_[i];
    items_[i] = nullptr;
    return item;
  }
  // A new list that takes over every reference; this vector is left empty. Null on failure.
  PyRef into_list();
  // Moves every reference into the empty slots of `list` from `at` on; this vector is left empty.
  void move_into(PyObject* list, Py_ssize_t at);
  void clear() {
    for (PyObject* item : items_) py_release(item);
    items_.clear();
  }

 private:
  std::vector<PyObject*> items_;
};

// Holds off the interpreter's automatic collections for its lifetime. Every list, tuple and dict a
// conversion makes counts towards the next collection, and PyErr_CheckSignals runs one that has
// fallen due: at each signal check it would trace everything made so far. Paused, the collector
// only counts, and the collection that falls due runs after the call, as it would were signals
// never checked. Python code run from inside (signal handlers, through resumed()) sees the
// collector as the caller left it, and whatever it or a thread that ran meanwhile set holds
// afterwards; a collector that was off stays off.
class CollectorPause {
 public:
  CollectorPause() : paused_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (paused_) PyGC_Enable();
  }

  // `f()`, run with the collector in the state the caller left it in.
  template <class F>
  auto resumed(F&& f) {
    if (paused_) PyGC_Enable();
    auto result = f();
    paused_ = PyGC_Disable() != 0;
    return result;
  }

 private:
  bool paused_;  // whether this pause turned the collector off
};

// The date objects that one conversion call has made, by day number: the rows of a day share one
// object (dates are immutable), across the call's columns and blocks. A direct-mapped table that
// grows with the rows it serves up to 65536 slots, where every Date has a slot of its own; days
// that meet in a slot (Date32) replace each other, so all distinct days cost what they cost
// without the table.
class DayObjects {
 public:
  DayObjects() = default;
  DayObjects(const DayObjects&) = delete;
  DayObjects& operator=(const DayObjects&) = delete;
  ~DayObjects();

  // Makes room for `rows` more days; before the first get().
  void reserve(uint64_t rows);
  // A new reference to the object of `day`: the one at hand, else make(day) (null when that fails,
  // the Python error set).
  template <class Make>
  PyObject* get(int32_t day, Make&& make) {
    Slot& slot = slots_[static_cast<uint32_t>(day) & mask_];
    if (slot.object != nullptr && slot.day == day) return Py_NewRef(slot.object);
    PyObject* made = make(day);
    if (made == nullptr) return nullptr;
    py_release(slot.object);
    slot = {day, Py_NewRef(made)};
    return made;
  }

 private:
  struct Slot {
    int32_t day = 0;
    PyObject* object = nullptr;
  };
  static constexpr uint64_t kMaxSlots = 65536;

  std::vector<Slot> slots_;
  uint32_t mask_ = 0;
  uint64_t rows_ = 0;  // the rows reserved for so far
};

// The objects made for a LowCardinality column's keys, by dictionary index, for the rows of one
// index to share (they hold the same value). `indexes` holds `rows` indexes of 1, 2, 4 or 8 bytes
// each; the table has a slot per index up to the largest. Not usable when the indexes do not fit
// the rows or the largest passes the row count.
class KeyObjects {
 public:
  KeyObjects(std::span<const uint8_t> indexes, uint64_t rows);

  bool usable() const { return width_ != 0; }
  // The slot of row `row`'s index: empty until its first row fills it.
  PyRef& slot(uint64_t row) { return made_[index(row)]; }

 private:
  uint64_t index(uint64_t row) const { return protocol::lc_index(indexes_, row, width_); }

  std::span<const uint8_t> indexes_;
  unsigned width_ = 0;
  std::vector<PyRef> made_;
};

// Runs the interpreter's signal handlers during a conversion, which holds the GIL throughout and
// would otherwise keep a handler (Ctrl-C's KeyboardInterrupt) waiting until the last value of a
// large answer is made. The conversion loops count the values they make; every kInterval of them
// the handlers run. A handler that raises ends the conversion: the loops fail with an interrupted
// error, what they made is released on the way out, and finish() makes the handler's exception
// the call's own, in place of whatever the failure was turned into on its way up. The collector
// is paused for the check's lifetime (see CollectorPause) and runs as usual for the handlers. A
// check lives as long as its call, so what the call's conversions share (days()) lives in it too.
class SignalCheck {
 public:
  static constexpr uint64_t kInterval = 65536;

  SignalCheck() = default;
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;
  ~SignalCheck() { py_release(pending_); }

  // The date objects made so far in the call.
  DayObjects& days() { return days_; }

  // Counts `n` values made; the interrupted error once a handler has raised.
  base::Status tick(uint64_t n = 1) {
    if (n < left_) [[likely]] {
      left_ -= n;
      return {};
    }
    return run_handlers();
  }

  // Runs `step(i)` (a base::Status) for each i below `count` in order, each step counting as
  // `weight` values; the first failure ends the loop. The steps go in runs that end where the
  // handlers are due, so the count costs nothing per step.
  template <class Step>
  base::Status each(uint64_t count, Step&& step, uint64_t weight = 1) {
    for (uint64_t i = 0; i < count;) {
      const uint64_t run =
          std::min(count - i, std::max<uint64_t>(left_ / std::max<uint64_t>(weight, 1), 1));
      for (const uint64_t end = i + run; i < end; ++i) TW_TRY(step(i));
      TW_TRY(tick(run * weight));
    }
    return {};
  }

  // The call's result: `made` (a new reference, or null with the Python error set), unless a
  // handler raised, in which case `made` is released and the handler's exception is set instead.
  PyObject* finish(PyObject* made);

 private:
  base::Status run_handlers();

  uint64_t left_ = kInterval;    // values until the handlers are due
  PyObject* pending_ = nullptr;  // the exception a handler raised, owned until finish()
  CollectorPause collector_;
  DayObjects days_;
};

// Runs `convert(SignalCheck&)` (a new reference, or null with the Python error set) and returns
// its result through the check's finish().
template <class F>
PyObject* with_signal_check(F&& convert) {
  SignalCheck check;
  return check.finish(convert(check));
}

// The values of one column as exactly `rows` objects, in row order.
base::Result<PyVec> column_to_py_list_typed(const ModuleState& state,
                                            const protocol::ColumnInfo& column, uint64_t rows,
                                            SignalCheck& check);
// The same values as a new Python list, filled in place for the fixed-width kinds.
base::Result<PyRef> column_to_py_list_object_typed(const ModuleState& state,
                                                   const protocol::ColumnInfo& column,
                                                   uint64_t rows, SignalCheck& check);
// The same values stored into the empty slots [at, at + rows) of `list`, which must have them. On
// failure some of those slots may be filled and the rest left empty.
base::Status column_into_list(const ModuleState& state, const protocol::ColumnInfo& column,
                              uint64_t rows, PyObject* list, Py_ssize_t at, SignalCheck& check);

// datetime.date for a day number, or the int itself when Python refuses it. Null only when
// not even the int could be made (the Python error is then set).
PyObject* date_from_days(const ModuleState& state, int64_t days);
// A naive local datetime.datetime for `value` ticks of 10^-precision seconds (precision capped at
// 9), or the int of whole seconds when Python refuses it. Null as above.
PyObject* datetime_from_timestamp(const ModuleState& state, int64_t value, uint32_t precision);

// True when every value of the column is an object that holds no references the cyclic garbage
// collector must follow (ints, floats, strings, None, dates, ...): rows made only of such values
// can never be part of a cycle. False for Array, Map and Tuple values and for unparsable types.
bool column_values_are_atoms(const protocol::ColumnInfo& column);
// A dict of `keys` (str objects), each mapped to None: row dicts are copies of it with the values
// set, which skips growing a fresh dict key by key. Null with the Python error set on failure.
PyRef row_dict_template(PyObject* const* keys, size_t count);
// Row dicts of all blocks, block by block; blocks without columns or rows add nothing. Null with
// the Python error set on failure.
PyRef blocks_to_py_dicts(const ModuleState& state, std::span<const protocol::Block* const> blocks,
                         SignalCheck& check);

// The Block of a _Block object; nullptr (with a TypeError set) for anything else.
const protocol::Block* block_of(const ModuleState& state, PyObject* obj);
// A new _Block owning `block`.
PyRef make_block(const ModuleState& state, protocol::Block block);

}  // namespace tarnwick::binding::conversion
