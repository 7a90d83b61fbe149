// The query methods of _Client: one argument list, one run of the locked library call, and four
// shapes of the collected blocks (row dicts, row tuples, column lists, _Block objects); and
// query_stream, which hands the started stream to a reader thread.
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/objects.h"

namespace tarnwick::binding::client {

using base::Status;
using conversion::PyVec;
using conversion::SignalCheck;
using protocol::Block;

namespace {

// The converted arguments of a query method; they stay native values for the released span.
struct QueryArguments {
  std::string query;
  std::vector<sync::QueryParameter> params;
  std::vector<sync::PartUuid> ignored_part_uuids;
  sync::SettingsMap settings;

  const sync::SettingsMap* overlay() const { return settings.empty() ? nullptr : &settings; }
};

constexpr const char* kQueryParameters[] = {"query", "params", "ignored_part_uuids", "settings"};

// query, params=None, ignored_part_uuids=None, *, settings=None. Parameters, then part UUIDs,
// then settings are converted; the first failure is raised.
bool parse_query_arguments(const char* function, FastArgs args, Py_ssize_t nargs, PyObject* kwnames,
                           QueryArguments& out) {
  PyObject* a[4] = {};
  if (!bind_arguments({function, kQueryParameters, 1, 3}, args, nargs, kwnames, a)) return false;
  auto [query, params, uuids, settings] = a;
  return arguments::str_argument(query, "query", out.query) &&
         arguments::optional_dict_argument(params, "params") &&
         arguments::optional_dict_argument(settings, "settings") &&
         arguments::py_params_to_query_parameters(params, out.params) &&
         arguments::py_ignored_part_uuids(uuids, out.ignored_part_uuids) &&
         arguments::py_settings_to_map(settings, out.settings);
}

// Parses the arguments and runs the query under the client's lock; false with the Python error
// set.
bool run_query(const char* function, PyObject* self, FastArgs args, Py_ssize_t nargs,
               PyObject* kwnames, std::vector<Block>& blocks) {
  QueryArguments a;
  if (!parse_query_arguments(function, args, nargs, kwnames, a)) return false;
  return run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = c.query_with_params_settings_and_ignored_part_uuids(
        a.query, a.params, a.overlay(), a.ignored_part_uuids);
    if (!result) return std::move(result).error();
    blocks = std::move(result).value();
    return {};
  });
}

// Re-raises the pending exception as RuntimeError "{type}: {str}".
std::nullptr_t reraise_as_runtime_error() {
  return raise(PyExc_RuntimeError, take_py_error_text());
}

// The sum of the row counts of `blocks`, refused when no Python list could hold it.
bool total_rows(const std::vector<const Block*>& blocks, Py_ssize_t& out) {
  uint64_t total = 0;
  for (const Block* b : blocks) {
    if (__builtin_add_overflow(total, b->rows, &total)) total = UINT64_MAX;
  }
  if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    py_set_no_memory();
    return false;
  }
  out = static_cast<Py_ssize_t>(total);
  return true;
}

bool set_column(PyObject* dict, const std::string& name, PyObject* list) {
  PyRef key = PyRef::steal(lossy_str(name));
  return key && py_dict_set(dict, key.get(), list) == 0;
}

// The column lists of several blocks (or none), named after the reference block's columns: each
// list is sized once and filled block by block, in arrival order, each block's columns matched by
// position.
PyObject* concatenated_columns(const ModuleState& state, const Block& reference,
                               const std::vector<const Block*>& with_rows, PyObject* result,
                               SignalCheck& check) {
  Py_ssize_t total = 0;
  if (!total_rows(with_rows, total)) return nullptr;
  const size_t width = reference.columns.size();
  std::vector<PyRef> lists(width);
  for (PyRef& list : lists) {
    list = PyRef::steal(PyList_New(total));
    if (!list) return nullptr;
  }
  Py_ssize_t at = 0;
  for (const Block* b : with_rows) {
    if (b->columns.size() != width) {
      return raise(PyExc_RuntimeError, "inconsistent column count across blocks");
    }
    for (size_t i = 0; i < width; ++i) {
      Status filled =
          conversion::column_into_list(state, b->columns[i], b->rows, lists[i].get(), at, check);
      if (!filled.ok()) return raise(filled.error());
    }
    at += static_cast<Py_ssize_t>(b->rows);
  }
  for (size_t i = 0; i < width; ++i) {
    if (!set_column(result, reference.columns[i].name, lists[i].get())) return nullptr;
  }
  return Py_NewRef(result);
}

// The rows of `blocks` as tuples; each block is released once its rows are built.
PyObject* row_tuples(const ModuleState& state, std::vector<Block>& blocks, SignalCheck& check) {
  std::vector<const Block*> with_columns;
  for (const Block& b : blocks) {
    if (!b.columns.empty()) with_columns.push_back(&b);
  }
  Py_ssize_t total = 0;
  if (!total_rows(with_columns, total)) return nullptr;
  PyRef result = PyRef::steal(PyList_New(total));
  if (!result) return nullptr;
  Py_ssize_t at = 0;
  for (Block& held : blocks) {
    if (held.columns.empty() || held.rows == 0) continue;
    // The block's bytes go as soon as its rows are built, so the wire data and the Python rows
    // are not all held at once.
    const Block block = std::move(held);
    const Block* b = &block;
    std::vector<PyVec> columns;
    columns.reserve(b->columns.size());
    bool atoms = true;
    for (const protocol::ColumnInfo& column : b->columns) {
      atoms = atoms && conversion::column_values_are_atoms(column);
      base::Result<PyVec> values =
          conversion::column_to_py_list_typed(state, column, b->rows, check);
      if (!values) {
        raise(values.error());
        return reraise_as_runtime_error();
      }
      columns.push_back(std::move(values).value());
    }
    const auto width = static_cast<Py_ssize_t>(columns.size());
    for (uint64_t r = 0; r < b->rows; ++r) {
      PyObject* row = PyTuple_New(width);
      if (row == nullptr) return nullptr;
      py_list_set(result.get(), at++, row);
      for (Py_ssize_t i = 0; i < width; ++i) {
        py_tuple_set(row, i, columns[static_cast<size_t>(i)].take(r));  // steals
      }
      // A tuple of atoms is immutable and can never join a cycle: keeping it off the collector's
      // list spares every later collection a walk over all the rows of the result.
      if (atoms) PyObject_GC_UnTrack(row);
      if (Status due = check.tick(static_cast<uint64_t>(width)); !due.ok()) {
        return raise(due.error());
      }
    }
  }
  return result.release();
}

// The column lists of `blocks`, by column name.
PyObject* column_lists(const ModuleState& state, const std::vector<Block>& blocks,
                       SignalCheck& check) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  const Block* reference = nullptr;
  std::vector<const Block*> with_rows;
  size_t data_blocks = 0;  // blocks with columns and rows
  for (const Block& b : blocks) {
    if (reference == nullptr && !b.columns.empty()) reference = &b;
    if (b.rows != 0) with_rows.push_back(&b);
    if (b.rows != 0 && !b.columns.empty()) ++data_blocks;
  }
  if (reference == nullptr) return result.release();
  if (data_blocks != 1) {
    return concatenated_columns(state, *reference, with_rows, result.get(), check);
  }
  // A single data block: its own column names, each list made straight from its column.
  const Block* data = nullptr;
  for (const Block* b : with_rows) {
    if (!b->columns.empty()) data = b;
  }
  if (data->columns.size() != reference->columns.size()) {
    return raise(PyExc_RuntimeError, "inconsistent column count across blocks");
  }
  for (const protocol::ColumnInfo& column : data->columns) {
    base::Result<PyRef> list =
        conversion::column_to_py_list_object_typed(state, column, data->rows, check);
    if (!list) return raise(list.error());
    if (!set_column(result.get(), column.name, list->get())) return nullptr;
  }
  return result.release();
}

}  // namespace

PyObject* client_query(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<Block> blocks;
  if (!run_query("query", self, args, nargs, kwnames, blocks)) return nullptr;
  std::vector<const Block*> views;
  views.reserve(blocks.size());
  for (const Block& b : blocks) views.push_back(&b);
  return conversion::with_signal_check([&](SignalCheck& check) -> PyObject* {
    PyRef rows = conversion::blocks_to_py_dicts(state_of_self(self), views, check);
    if (!rows) return reraise_as_runtime_error();
    return rows.release();
  });
}

PyObject* client_query_tuples(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<Block> blocks;
  if (!run_query("query_tuples", self, args, nargs, kwnames, blocks)) return nullptr;
  return conversion::with_signal_check(
      [&](SignalCheck& check) { return row_tuples(state_of_self(self), blocks, check); });
}

PyObject* client_query_columns(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<Block> blocks;
  if (!run_query("query_columns", self, args, nargs, kwnames, blocks)) return nullptr;
  return conversion::with_signal_check(
      [&](SignalCheck& check) { return column_lists(state_of_self(self), blocks, check); });
}

PyObject* client_query_blocks(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<Block> blocks;
  if (!run_query("query_blocks", self, args, nargs, kwnames, blocks)) return nullptr;
  const ModuleState& state = state_of_self(self);
  PyVec wrapped;
  for (Block& b : blocks) {
    if (b.rows == 0) continue;
    PyRef block = conversion::make_block(state, std::move(b));
    if (!block) return nullptr;
    wrapped.push(block.release());
  }
  return wrapped.into_list().release();
}

PyObject* client_execute(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  QueryArguments a;
  if (!parse_query_arguments("execute", args, nargs, kwnames, a)) return nullptr;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) {
    return c.execute_with_params_settings_and_ignored_part_uuids(a.query, a.params, a.overlay(),
                                                                 a.ignored_part_uuids);
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_query_stream(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"query"};
  PyObject* query_obj = nullptr;
  std::string query;
  if (!bind_arguments({"query_stream", kNames, 1, 1}, args, nargs, kwnames, &query_obj) ||
      !arguments::str_argument(query_obj, "query", query)) {
    return nullptr;
  }
  std::optional<sync::QueryStream> stream;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto started = c.start_stream(query);
    if (!started) return std::move(started).error();
    stream.emplace(std::move(started).value());
    return {};
  });
  if (!ok) return nullptr;
  return start_query_stream(state_of_self(self), std::move(*stream));
}

}  // namespace tarnwick::binding::client
