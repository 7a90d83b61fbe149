// The session and metadata methods of _Client: inserts (whole and streamed), ping, session
// settings, server information, table schemas and table status.
#include <optional>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/objects.h"

namespace tarnwick::binding::client {

using base::Status;
using protocol::Block;

namespace {

// Sets dict[key] to a new reference, which is released; false with the error set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && py_dict_set(dict, key, owned.get()) == 0;
}

// Binds required positional-or-keyword arguments, all of them str.
template <size_t N>
bool parse_texts(const char* function, const char* const (&names)[N], FastArgs args,
                 Py_ssize_t nargs, PyObject* kwnames, std::string (&out)[N]) {
  PyObject* objs[N] = {};
  if (!bind_arguments({function, names, N, N}, args, nargs, kwnames, objs)) return false;
  for (size_t i = 0; i < N; ++i) {
    if (!arguments::str_argument(objs[i], names[i], out[i])) return false;
  }
  return true;
}

// A copy of a _Block's block: names copied, column bodies shared.
bool copy_block(const ModuleState& state, PyObject* obj, std::string_view arg, Block& out) {
  const Block* block = conversion::block_of(state, obj);
  if (block == nullptr) {
    py_clear_error();
    raise_arg_type_error(arg, obj, "_Block");
    return false;
  }
  out = *block;
  return true;
}

// Runs `op` on the connection under the lock when the slot holds one; no discarded test.
template <class Op>
void with_connection_if_present(PyObject* self, Op&& op) {
  ClientCore& core = core_of(self);
  GilRelease nogil;
  std::lock_guard<std::timed_mutex> lock(core.inner_mutex);
  if (core.inner) op(*core.inner);
}

}  // namespace

PyObject* client_insert(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"query", "table_name", "blocks"};
  PyObject* a[3] = {};
  if (!bind_arguments({"insert", kNames, 3, 3}, args, nargs, kwnames, a)) return nullptr;
  auto [query_obj, table_obj, blocks_obj] = a;
  std::string query;
  std::string table;
  if (!arguments::str_argument(query_obj, "query", query) ||
      !arguments::str_argument(table_obj, "table_name", table)) {
    return nullptr;
  }
  if (!PyList_Check(blocks_obj)) return raise_arg_type_error("blocks", blocks_obj, "list");
  const ModuleState& state = state_of_self(self);
  std::vector<Block> blocks(static_cast<size_t>(PyList_Size(blocks_obj)));
  for (size_t i = 0; i < blocks.size(); ++i) {
    PyObject* item = PyList_GetItem(blocks_obj, static_cast<Py_ssize_t>(i));
    if (!copy_block(state, item, "blocks", blocks[i])) return nullptr;
  }
  const bool ok =
      run_locked(self, [&](sync::SyncClient& c) { return c.insert(query, table, blocks); });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_begin_insert_stream(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr const char* kNames[] = {"query"};
  std::string query[1];
  if (!parse_texts("begin_insert_stream", kNames, args, nargs, kwnames, query)) return nullptr;
  if (!run_locked(self, [&](sync::SyncClient& c) { return c.begin_insert(query[0]); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* client_send_data(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"table_name", "block"};
  PyObject* a[2] = {};
  if (!bind_arguments({"send_data", kNames, 2, 2}, args, nargs, kwnames, a)) return nullptr;
  auto [table_obj, block_obj] = a;
  std::string table;
  Block block;
  if (!arguments::str_argument(table_obj, "table_name", table) ||
      !copy_block(state_of_self(self), block_obj, "block", block)) {
    return nullptr;
  }
  if (!run_locked(self, [&](sync::SyncClient& c) { return c.send_data(table, block); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* client_end_insert_stream(PyObject* self) {
  if (!run_locked(self, [](sync::SyncClient& c) { return c.end_insert(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_ping(PyObject* self) {
  if (!run_locked(self, [](sync::SyncClient& c) { return c.ping(); })) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* client_set_setting(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"name", "value"};
  std::string texts[2];
  if (!parse_texts("set_setting", kNames, args, nargs, kwnames, texts)) return nullptr;
  with_connection_if_present(
      self, [&](sync::SyncClient& c) { c.set_setting(std::move(texts[0]), std::move(texts[1])); });
  Py_RETURN_NONE;
}

PyObject* client_clear_schema_cache(PyObject* self) {
  with_connection_if_present(self, [](sync::SyncClient& c) { c.clear_schema_cache(); });
  Py_RETURN_NONE;
}

PyObject* client_server_info(PyObject* self) {
  ClientCore& core = core_of(self);
  if (core.discarded.load(std::memory_order_acquire)) {
    return raise(PyExc_RuntimeError, kDiscardedText);
  }
  std::optional<sync::ServerInfo> info;
  with_connection_if_present(self, [&](sync::SyncClient& c) { info = c.server_info(); });
  if (!info) return raise(PyExc_RuntimeError, kDiscardedText);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "name", lossy_str(info->name)) ||
      !set_item(dict.get(), "version_major", PyLong_FromUnsignedLongLong(info->version_major)) ||
      !set_item(dict.get(), "version_minor", PyLong_FromUnsignedLongLong(info->version_minor)) ||
      !set_item(dict.get(), "revision", PyLong_FromUnsignedLongLong(info->revision)) ||
      (info->timezone && !set_item(dict.get(), "timezone", lossy_str(*info->timezone))) ||
      (info->display_name &&
       !set_item(dict.get(), "display_name", lossy_str(*info->display_name)))) {
    return nullptr;
  }
  return dict.release();
}

namespace {

// {"columns": [{"name": ..., "type": ...}, ...]}
PyObject* py_table_schema(const sync::TableSchema& schema) {
  PyRef columns = PyRef::steal(PyList_New(0));
  if (!columns) return nullptr;
  for (const sync::TableColumn& column : schema.columns) {
    PyRef entry = PyRef::steal(PyDict_New());
    if (!entry || !set_item(entry.get(), "name", lossy_str(column.name)) ||
        !set_item(entry.get(), "type", lossy_str(column.type_name)) ||
        PyList_Append(columns.get(), entry.get()) < 0) {
      return nullptr;
    }
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || py_dict_set(result.get(), "columns", columns.get()) < 0) return nullptr;
  return result.release();
}

template <base::Result<sync::TableSchema> (sync::SyncClient::*Fetch)(std::string_view)>
PyObject* client_schema(const char* function, PyObject* self, FastArgs args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr const char* kNames[] = {"table"};
  std::string table[1];
  if (!parse_texts(function, kNames, args, nargs, kwnames, table)) return nullptr;
  sync::TableSchema schema;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = (c.*Fetch)(table[0]);
    if (!result) return std::move(result).error();
    schema = std::move(result).value();
    return {};
  });
  return ok ? py_table_schema(schema) : nullptr;
}

PyObject* py_table_status(const sync::TableStatus& status) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "is_replicated", PyBool_FromLong(status.is_replicated)) ||
      !set_item(dict.get(), "absolute_delay", PyLong_FromUnsignedLongLong(status.absolute_delay)) ||
      !set_item(dict.get(), "is_readonly", PyBool_FromLong(status.is_readonly))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* client_schema_for_table(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return client_schema<&sync::SyncClient::schema_for_table>("schema_for_table", self, args, nargs,
                                                            kwnames);
}

PyObject* client_refresh_schema_for_table(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return client_schema<&sync::SyncClient::refresh_schema_for_table>("refresh_schema_for_table",
                                                                    self, args, nargs, kwnames);
}

PyObject* client_table_status(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"database", "table"};
  std::string names[2];
  if (!parse_texts("table_status", kNames, args, nargs, kwnames, names)) return nullptr;
  std::optional<sync::TableStatus> status;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = c.table_status(names[0], names[1]);
    if (!result) return std::move(result).error();
    status = *result;
    return {};
  });
  if (!ok) return nullptr;
  if (!status) Py_RETURN_NONE;
  return py_table_status(*status);
}

PyObject* client_tables_status(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"tables"};
  PyObject* tables_obj = nullptr;
  if (!bind_arguments({"tables_status", kNames, 1, 1}, args, nargs, kwnames, &tables_obj)) {
    return nullptr;
  }
  std::vector<sync::QualifiedTableName> tables;
  if (!arguments::py_tables_to_qualified_names(tables_obj, tables)) return nullptr;
  sync::TablesStatusMap answer;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = c.tables_status(tables);
    if (!result) return std::move(result).error();
    answer = std::move(result).value();
    return {};
  });
  if (!ok) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, status] : answer) {
    PyRef key =
        PyRef::steal(Py_BuildValue("(NN)", lossy_str(name.database), lossy_str(name.table)));
    PyRef value = PyRef::steal(py_table_status(status));
    if (!key || !value || py_dict_set(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace tarnwick::binding::client
