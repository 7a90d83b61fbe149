// The remaining connection methods of _Client: inserts (whole and streamed), ping, session
// settings, server information, table schemas and table status.
#include <optional>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/module_state.h"

namespace tarnwick::binding::client {

using base::Status;
using protocol::Block;

namespace {

const ModuleState& state_of_self(PyObject* self) {
  return *state_of_type(Py_TYPE(self));
}

PyObject* utf8(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Sets dict[key] to a new reference, which is released; false with the error set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// Parses positional-or-keyword str arguments, all required.
template <size_t N>
bool parse_texts(PyObject* args, PyObject* kwargs, const char* format,
                 const char* const (&names)[N], std::string (&out)[N - 1]) {
  PyObject* objs[N - 1] = {};
  bool parsed = false;
  if constexpr (N == 2) {
    parsed = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &objs[0]);
  } else {
    parsed = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &objs[0],
                                         &objs[1]);
  }
  if (!parsed) return false;
  for (size_t i = 0; i + 1 < N; ++i) {
    if (!arguments::str_argument(objs[i], names[i], out[i])) return false;
  }
  return true;
}

// A copy of a _Block's block: names copied, column bodies shared.
bool copy_block(const ModuleState& state, PyObject* obj, std::string_view arg, Block& out) {
  const Block* block = conversion::block_of(state, obj);
  if (block == nullptr) {
    PyErr_Clear();
    raise_arg_type_error(arg, obj, "_Block");
    return false;
  }
  out = *block;
  return true;
}

PyObject* client_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"query", "table_name", "blocks", nullptr};
  PyObject* query_obj = nullptr;
  PyObject* table_obj = nullptr;
  PyObject* blocks_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:insert", const_cast<char**>(kwlist),
                                   &query_obj, &table_obj, &blocks_obj)) {
    return nullptr;
  }
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

PyObject* client_begin_insert_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kwlist[] = {"query", nullptr};
  std::string query[1];
  if (!parse_texts(args, kwargs, "O:begin_insert_stream", kwlist, query)) return nullptr;
  if (!run_locked(self, [&](sync::SyncClient& c) { return c.begin_insert(query[0]); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* client_send_data(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"table_name", "block", nullptr};
  PyObject* table_obj = nullptr;
  PyObject* block_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:send_data", const_cast<char**>(kwlist),
                                   &table_obj, &block_obj)) {
    return nullptr;
  }
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

PyObject* client_end_insert_stream(PyObject* self, PyObject*) {
  if (!run_locked(self, [](sync::SyncClient& c) { return c.end_insert(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_ping(PyObject* self, PyObject*) {
  if (!run_locked(self, [](sync::SyncClient& c) { return c.ping(); })) return nullptr;
  Py_RETURN_TRUE;
}

// Runs `op` on the connection under the lock when the slot holds one; no discarded test.
template <class Op>
void with_connection_if_present(PyObject* self, Op&& op) {
  ClientCore& core = core_of(self);
  GilRelease nogil;
  std::lock_guard<std::mutex> lock(core.inner_mutex);
  if (core.inner) op(*core.inner);
}

PyObject* client_set_setting(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kwlist[] = {"name", "value", nullptr};
  std::string texts[2];
  if (!parse_texts(args, kwargs, "OO:set_setting", kwlist, texts)) return nullptr;
  with_connection_if_present(
      self, [&](sync::SyncClient& c) { c.set_setting(std::move(texts[0]), std::move(texts[1])); });
  Py_RETURN_NONE;
}

PyObject* client_clear_schema_cache(PyObject* self, PyObject*) {
  with_connection_if_present(self, [](sync::SyncClient& c) { c.clear_schema_cache(); });
  Py_RETURN_NONE;
}

PyObject* client_server_info(PyObject* self, PyObject*) {
  ClientCore& core = core_of(self);
  if (core.discarded.load(std::memory_order_acquire)) {
    return raise(PyExc_RuntimeError, kDiscardedText);
  }
  std::optional<sync::ServerInfo> info;
  with_connection_if_present(self, [&](sync::SyncClient& c) { info = c.server_info(); });
  if (!info) return raise(PyExc_RuntimeError, kDiscardedText);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "name", utf8(info->name)) ||
      !set_item(dict.get(), "version_major", PyLong_FromUnsignedLongLong(info->version_major)) ||
      !set_item(dict.get(), "version_minor", PyLong_FromUnsignedLongLong(info->version_minor)) ||
      !set_item(dict.get(), "revision", PyLong_FromUnsignedLongLong(info->revision)) ||
      (info->timezone && !set_item(dict.get(), "timezone", utf8(*info->timezone))) ||
      (info->display_name && !set_item(dict.get(), "display_name", utf8(*info->display_name)))) {
    return nullptr;
  }
  return dict.release();
}

// {"columns": [{"name": ..., "type": ...}, ...]}
PyObject* py_table_schema(const sync::TableSchema& schema) {
  PyRef columns = PyRef::steal(PyList_New(0));
  if (!columns) return nullptr;
  for (const sync::TableColumn& column : schema.columns) {
    PyRef entry = PyRef::steal(PyDict_New());
    if (!entry || !set_item(entry.get(), "name", utf8(column.name)) ||
        !set_item(entry.get(), "type", utf8(column.type_name)) ||
        PyList_Append(columns.get(), entry.get()) < 0) {
      return nullptr;
    }
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "columns", columns.get()) < 0) return nullptr;
  return result.release();
}

template <base::Result<sync::TableSchema> (sync::SyncClient::*Fetch)(std::string_view)>
PyObject* client_schema(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kwlist[] = {"table", nullptr};
  std::string table[1];
  if (!parse_texts(args, kwargs, format, kwlist, table)) return nullptr;
  sync::TableSchema schema;
  const bool ok = run_locked(self, [&](sync::SyncClient& c) -> Status {
    auto result = (c.*Fetch)(table[0]);
    if (!result) return std::move(result).error();
    schema = std::move(result).value();
    return {};
  });
  return ok ? py_table_schema(schema) : nullptr;
}

PyObject* client_schema_for_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return client_schema<&sync::SyncClient::schema_for_table>(self, args, kwargs,
                                                            "O:schema_for_table");
}

PyObject* client_refresh_schema_for_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return client_schema<&sync::SyncClient::refresh_schema_for_table>(self, args, kwargs,
                                                                    "O:refresh_schema_for_table");
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

PyObject* client_table_status(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kwlist[] = {"database", "table", nullptr};
  std::string names[2];
  if (!parse_texts(args, kwargs, "OO:table_status", kwlist, names)) return nullptr;
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

PyObject* client_tables_status(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"tables", nullptr};
  PyObject* tables_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:tables_status", const_cast<char**>(kwlist),
                                   &tables_obj)) {
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
    PyRef key = PyRef::steal(Py_BuildValue("(NN)", utf8(name.database), utf8(name.table)));
    PyRef value = PyRef::steal(py_table_status(status));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(+[](PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] { return Method(self, args, kwargs); });
      }));
}

template <PyObject* (*Method)(PyObject*, PyObject*)>
PyCFunction no_arguments() {
  return +[](PyObject* self, PyObject* unused) {
    return guarded([&] { return Method(self, unused); });
  };
}

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef session_methods[] = {
    {"insert", with_keywords<client_insert>(), kKw,
     "insert($self, query, table_name, blocks)\n--\n\n"
     "Insert blocks into a table using the native protocol."},
    {"begin_insert_stream", with_keywords<client_begin_insert_stream>(), kKw,
     "begin_insert_stream($self, query)\n--\n\nBegin an INSERT stream."},
    {"send_data", with_keywords<client_send_data>(), kKw,
     "send_data($self, table_name, block)\n--\n\nSend a data block in an active INSERT stream."},
    {"end_insert_stream", no_arguments<client_end_insert_stream>(), METH_NOARGS,
     "end_insert_stream($self)\n--\n\nEnd an INSERT stream."},
    {"ping", no_arguments<client_ping>(), METH_NOARGS,
     "ping($self)\n--\n\nPing the server. Returns True on success."},
    {"set_setting", with_keywords<client_set_setting>(), kKw,
     "set_setting($self, name, value)\n--\n\nSet a ClickHouse session setting at runtime."},
    {"server_info", no_arguments<client_server_info>(), METH_NOARGS,
     "server_info($self)\n--\n\nGet server info as a dict. No I/O \xe2\x80\x94 reads cached "
     "handshake data."},
    {"schema_for_table", with_keywords<client_schema_for_table>(), kKw,
     "schema_for_table($self, table)\n--\n\nReturn cached `DESCRIBE TABLE` metadata."},
    {"refresh_schema_for_table", with_keywords<client_refresh_schema_for_table>(), kKw,
     "refresh_schema_for_table($self, table)\n--\n\nRefresh cached `DESCRIBE TABLE` metadata."},
    {"clear_schema_cache", no_arguments<client_clear_schema_cache>(), METH_NOARGS,
     "clear_schema_cache($self)\n--\n\n"},
    {"table_status", with_keywords<client_table_status>(), kKw,
     "table_status($self, database, table)\n--\n\n"
     "Request status for one table. Returns None for missing tables."},
    {"tables_status", with_keywords<client_tables_status>(), kKw,
     "tables_status($self, tables)\n--\n\nRequest replication/read-only status for tables."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnwick::binding::client
