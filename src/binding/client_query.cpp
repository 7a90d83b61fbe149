// The buffered query methods of _Client: one argument list, one run of the locked library call,
// and four shapes of the collected blocks (row dicts, row tuples, column lists, _Block objects).
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/module_state.h"
#include "tarnwick/base/format.h"

namespace tarnwick::binding::client {

using base::Status;
using conversion::PyVec;
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

// query, params=None, ignored_part_uuids=None, *, settings=None. Parameters, then part UUIDs,
// then settings are converted; the first failure is raised.
bool parse_query_arguments(const char* format, PyObject* args, PyObject* kwargs,
                           QueryArguments& out) {
  static const char* kwlist[] = {"query", "params", "ignored_part_uuids", "settings", nullptr};
  PyObject* query = nullptr;
  PyObject* params = nullptr;
  PyObject* uuids = nullptr;
  PyObject* settings = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &query,
                                   &params, &uuids, &settings)) {
    return false;
  }
  return arguments::str_argument(query, "query", out.query) &&
         arguments::optional_dict_argument(params, "params") &&
         arguments::optional_dict_argument(settings, "settings") &&
         arguments::py_params_to_query_parameters(params, out.params) &&
         arguments::py_ignored_part_uuids(uuids, out.ignored_part_uuids) &&
         arguments::py_settings_to_map(settings, out.settings);
}

// Runs the query under the client's lock; false with the Python error set.
bool run_query(PyObject* self, const QueryArguments& a, std::vector<Block>& blocks) {
  return run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = c.query_with_params_settings_and_ignored_part_uuids(
        a.query, a.params, a.overlay(), a.ignored_part_uuids);
    if (!result) return std::move(result).error();
    blocks = std::move(result).value();
    return {};
  });
}

const ModuleState& state_of_self(PyObject* self) {
  return *state_of_type(Py_TYPE(self));
}

// Re-raises the pending exception as RuntimeError "{type}: {str}".
std::nullptr_t reraise_as_runtime_error() {
  return raise(PyExc_RuntimeError, take_py_error_text());
}

PyObject* client_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  QueryArguments a;
  std::vector<Block> blocks;
  if (!parse_query_arguments("O|OO$O:query", args, kwargs, a) || !run_query(self, a, blocks)) {
    return nullptr;
  }
  std::vector<const Block*> views;
  views.reserve(blocks.size());
  for (const Block& b : blocks) views.push_back(&b);
  PyRef rows = conversion::blocks_to_py_dicts(state_of_self(self), views);
  if (!rows) return reraise_as_runtime_error();
  return rows.release();
}

PyObject* client_query_tuples(PyObject* self, PyObject* args, PyObject* kwargs) {
  QueryArguments a;
  std::vector<Block> blocks;
  if (!parse_query_arguments("O|OO$O:query_tuples", args, kwargs, a) ||
      !run_query(self, a, blocks)) {
    return nullptr;
  }
  const ModuleState& state = state_of_self(self);
  uint64_t total = 0;
  for (const Block& b : blocks) {
    if (!b.columns.empty()) total += b.rows;  // each at most 10,000,000 rows
  }
  if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(total)));
  if (!result) return nullptr;
  Py_ssize_t at = 0;
  for (const Block& b : blocks) {
    if (b.columns.empty() || b.rows == 0) continue;
    std::vector<PyVec> columns;
    columns.reserve(b.columns.size());
    bool atoms = true;
    for (const protocol::ColumnInfo& column : b.columns) {
      atoms = atoms && conversion::column_values_are_atoms(column);
      base::Result<PyVec> values = conversion::column_to_py_list_typed(state, column, b.rows);
      if (!values) {
        raise(values.error());
        return reraise_as_runtime_error();
      }
      columns.push_back(std::move(values).value());
    }
    const auto width = static_cast<Py_ssize_t>(columns.size());
    for (uint64_t r = 0; r < b.rows; ++r) {
      PyObject* row = PyTuple_New(width);
      if (row == nullptr) return nullptr;
      PyList_SetItem(result.get(), at++, row);
      for (Py_ssize_t i = 0; i < width; ++i) {
        PyTuple_SetItem(row, i, columns[static_cast<size_t>(i)].take(r));  // steals
      }
      // A tuple of atoms is immutable and can never join a cycle: keeping it off the collector's
      // list spares every later collection a walk over all the rows of the result.
      if (atoms) PyObject_GC_UnTrack(row);
    }
  }
  return result.release();
}

PyObject* utf8(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

bool set_column(PyObject* dict, const std::string& name, PyObject* list) {
  PyRef key = PyRef::steal(utf8(name));
  return key && PyDict_SetItem(dict, key.get(), list) == 0;
}

PyObject* client_query_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
  QueryArguments a;
  std::vector<Block> blocks;
  if (!parse_query_arguments("O|OO$O:query_columns", args, kwargs, a) ||
      !run_query(self, a, blocks)) {
    return nullptr;
  }
  const ModuleState& state = state_of_self(self);
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  const Block* reference = nullptr;
  std::vector<const Block*> with_rows;
  uint64_t total = 0;
  for (const Block& b : blocks) {
    if (b.columns.empty()) continue;
    if (reference == nullptr) reference = &b;
    if (b.rows != 0) {
      with_rows.push_back(&b);
      total += b.rows;
    }
  }
  if (reference == nullptr) return result.release();
  const size_t width = reference->columns.size();
  for (const Block* b : with_rows) {
    if (b->columns.size() != width) {
      return raise(PyExc_RuntimeError, "inconsistent column count across blocks");
    }
  }
  if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  // One list per column, sized once and filled block by block in place.
  for (size_t i = 0; i < width; ++i) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(total)));
    if (!list) return nullptr;
    Py_ssize_t at = 0;
    for (const Block* b : with_rows) {
      base::Status filled =
          conversion::column_into_list(state, b->columns[i], b->rows, list.get(), at);
      if (!filled.ok()) return raise(filled.error());
      at += static_cast<Py_ssize_t>(b->rows);
    }
    if (!set_column(result.get(), reference->columns[i].name, list.get())) return nullptr;
  }
  return result.release();
}

PyObject* client_query_blocks(PyObject* self, PyObject* args, PyObject* kwargs) {
  QueryArguments a;
  std::vector<Block> blocks;
  if (!parse_query_arguments("O|OO$O:query_blocks", args, kwargs, a) ||
      !run_query(self, a, blocks)) {
    return nullptr;
  }
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

PyObject* client_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
  QueryArguments a;
  if (!parse_query_arguments("O|OO$O:execute", args, kwargs, a)) return nullptr;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) {
    return c.execute_with_params_settings_and_ignored_part_uuids(a.query, a.params, a.overlay(),
                                                                 a.ignored_part_uuids);
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return Method(self, args, kwargs); });
}

#define TW_QUERY_DOC(sig, lines)                                                      \
  sig "\n--\n\n" lines                                                                \
      "\n\n`settings` is a per-query overlay on the connection's session settings:\n" \
      "it is merged into this query's packet only and never persists on the\n"        \
      "connection."
#define TW_QUERY_SIG(name) \
  name "($self, query, params=None, ignored_part_uuids=None, *, settings=None)"

}  // namespace

PyMethodDef query_methods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<client_query>)),
     METH_VARARGS | METH_KEYWORDS,
     TW_QUERY_DOC(TW_QUERY_SIG("query"),
                  "Execute a SELECT query. Returns list of row dicts.\n"
                  "GIL is released during network I/O, re-acquired for Python conversion.")},
    {"query_tuples",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<client_query_tuples>)),
     METH_VARARGS | METH_KEYWORDS,
     TW_QUERY_DOC(TW_QUERY_SIG("query_tuples"),
                  "Execute a SELECT query. Returns list of row tuples.\n"
                  "This avoids per-row dict allocation and is faster for large row sets.")},
    {"query_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<client_query_columns>)),
     METH_VARARGS | METH_KEYWORDS,
     TW_QUERY_DOC(TW_QUERY_SIG("query_columns"),
                  "Execute a SELECT query. Returns `{column_name: list[values]}`.\n"
                  "This is the fastest fully materialized Python representation.")},
    {"query_blocks",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<client_query_blocks>)),
     METH_VARARGS | METH_KEYWORDS,
     TW_QUERY_DOC(TW_QUERY_SIG("query_blocks"),
                  "Execute a SELECT query. Returns list of Block objects (column-oriented).\n"
                  "GIL is released during network I/O.")},
    {"execute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<client_execute>)),
     METH_VARARGS | METH_KEYWORDS,
     TW_QUERY_DOC(TW_QUERY_SIG("execute"),
                  "Execute a DDL/DML query (no result rows).\n"
                  "GIL is released during the blocking network call.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnwick::binding::client
