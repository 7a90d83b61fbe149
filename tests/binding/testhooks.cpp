// _tarnwick_testhooks: a test-only extension, built with the tests and never installed. It makes
// tarnwick._native._Block objects from raw bytes, so that the Python tests can convert bodies
// captured from a real server, and hostile bodies, without a connection; and it reaches the
// client's address splitting and time-out conversion directly; and it starts query streams on a
// tarnwick._native._Client whose reader thread pauses at a chosen point, so that the tests can
// see what another thread finds there; and it has a static type whose name is not UTF-8 text
// (non_utf8_type.c). It links the binding's code and makes its blocks with the _Block type of the
// imported tarnwick._native; the streams it starts are of its own _QueryStream type, made from the
// same code.
#include <Python.h>

#include <chrono>
#include <optional>
#include <thread>

#include "binding/arguments.h"
#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/module_state.h"
#include "binding/objects.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"

extern "C" PyObject* tarnwick_testhooks_non_utf8_type(void);  // non_utf8_type.c

namespace tarnwick::binding::testhooks {

namespace {

// The hooks' state is the binding's, with the _Client and _Block types of tarnwick._native and a
// _QueryStream type of its own set.
const ModuleState& native_state(PyObject* module) {
  return *state_of_module(module);
}

// block_from_bodies(rows, [(name, type, body), ...]): a _Block whose columns hold the given
// bodies exactly as given, with nothing checked against the types.
PyObject* block_from_bodies(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr const char* kNames[] = {"rows", "columns"};
  PyObject* a[2] = {};
  if (!bind_arguments({"block_from_bodies", kNames, 2, 2}, args, nargs, kwnames, a)) {
    return nullptr;
  }
  uint64_t rows = 0;
  if (!arguments::u64_argument(a[0], "rows", rows)) return nullptr;
  if (!PyList_Check(a[1])) return raise_arg_type_error("columns", a[1], "list");
  if (rows > protocol::kMaxBlockRows) {
    return raise(PyExc_ValueError,
                 base::cat("block row count ", rows, " exceeds limit ", protocol::kMaxBlockRows));
  }
  protocol::Block block;
  block.rows = rows;
  for (Py_ssize_t i = 0; i < PyList_Size(a[1]); ++i) {
    const char* name = nullptr;
    const char* type = nullptr;
    Py_buffer body;
    if (!PyArg_ParseTuple(PyList_GetItem(a[1], i), "ssy*", &name, &type, &body)) return nullptr;
    base::Bytes bytes = base::Bytes::copy_of(body.buf, static_cast<size_t>(body.len));
    PyBuffer_Release(&body);
    block.columns.push_back(protocol::ColumnInfo{name, type, std::move(bytes), {}});
  }
  return conversion::make_block(native_state(module), std::move(block)).release();
}

// decode_block(data, revision): one block in the native TCP layout of that protocol revision
// (block info, counts, then per column name, type, serialization flag where the revision has it,
// and body) through the library's block decoder.
PyObject* decode_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr const char* kNames[] = {"data", "revision"};
  PyObject* a[2] = {};
  if (!bind_arguments({"decode_block", kNames, 2, 2}, args, nargs, kwnames, a)) return nullptr;
  unsigned long long revision = PyLong_AsUnsignedLongLong(a[1]);
  if (revision == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  Py_buffer data;
  if (PyObject_GetBuffer(a[0], &data, PyBUF_SIMPLE) < 0) return nullptr;
  base::MemorySource source(std::span<const uint8_t>(static_cast<const uint8_t*>(data.buf),
                                                     static_cast<size_t>(data.len)));
  base::Result<protocol::Block> block =
      protocol::read_block_body(source, protocol::BlockLayout::for_revision(revision));
  PyBuffer_Release(&data);
  if (!block) return raise(block.error());
  return conversion::make_block(native_state(module), std::move(block).value()).release();
}

// column_body(block, index): the body bytes of one column of a _Block, as they stand.
PyObject* column_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr const char* kNames[] = {"block", "index"};
  PyObject* a[2] = {};
  uint64_t index = 0;
  if (!bind_arguments({"column_body", kNames, 2, 2}, args, nargs, kwnames, a) ||
      !index_argument(a[1], index)) {
    return nullptr;
  }
  const protocol::Block* block = conversion::block_of(native_state(module), a[0]);
  if (block == nullptr) return nullptr;
  if (index >= block->columns.size()) return raise(PyExc_IndexError, "column index out of range");
  const base::Bytes& body = block->columns[static_cast<size_t>(index)].data;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data()),
                                   static_cast<Py_ssize_t>(body.size()));
}

// query_stream_pausing(client, query, seconds): client.query_stream(query) on a _Client of
// tarnwick._native, whose reader thread sleeps `seconds` right after it has published the
// stream's last message (its end or its error).
PyObject* query_stream_pausing(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr const char* kNames[] = {"client", "query", "seconds"};
  PyObject* a[3] = {};
  std::string query;
  double seconds = 0;
  if (!bind_arguments({"query_stream_pausing", kNames, 3, 3}, args, nargs, kwnames, a) ||
      !arguments::str_argument(a[1], "query", query) ||
      !arguments::float_argument(a[2], "seconds", seconds)) {
    return nullptr;
  }
  const ModuleState& state = native_state(module);
  if (!PyObject_TypeCheck(a[0], state.client_type)) {
    return raise_arg_type_error("client", a[0], "_Client");
  }
  std::optional<sync::QueryStream> stream;
  const bool ok = client::run_locked(a[0], [&](sync::SyncClient& c) -> base::Status {
    auto started = c.start_stream(query);
    if (!started) return std::move(started).error();
    stream.emplace(std::move(started).value());
    return {};
  });
  if (!ok) return nullptr;
  const auto pause = std::chrono::duration<double>(seconds);
  ReaderHooks hooks{[pause] { std::this_thread::sleep_for(pause); }};
  return start_query_stream(state, std::move(*stream), std::move(hooks));
}

// split_address(addr): the (host, port) the client would connect to.
PyObject* split_address(PyObject*, PyObject* arg) {
  std::string addr;
  if (!arguments::str_argument(arg, "addr", addr)) return nullptr;
  std::string host;
  uint16_t port = 9000;
  arguments::split_address(addr, host, port);
  PyObject* text = lossy_str(host);
  return text == nullptr ? nullptr : Py_BuildValue("(Ni)", text, int{port});
}

// duration_from_seconds(x): the (seconds, nanoseconds) of a client time-out.
PyObject* duration_from_seconds(PyObject*, PyObject* arg) {
  double seconds = 0;
  base::Duration d;
  if (!arguments::float_argument(arg, "seconds", seconds) ||
      !arguments::seconds_to_duration(seconds, d)) {
    return nullptr;
  }
  return Py_BuildValue("(KI)", static_cast<unsigned long long>(d.secs), d.nanos);
}

// non_utf8_type(): a static type, as a C extension may define one, whose name is not UTF-8 text.
PyObject* non_utf8_type(PyObject*) {
  return tarnwick_testhooks_non_utf8_type();
}

PyMethodDef hook_functions[] = {
    method<block_from_bodies>("block_from_bodies",
                              "block_from_bodies(rows, columns)\n--\n\n"
                              "A _Block from (name, type, body) triples."),
    method<column_body>("column_body",
                        "column_body(block, index)\n--\n\nThe body bytes of one column."),
    method<decode_block>(
        "decode_block",
        "decode_block(data, revision)\n--\n\nOne native block of that revision's layout decoded by "
        "the library."),
    method<split_address>("split_address",
                          "split_address(addr)\n--\n\nThe (host, port) of a client address."),
    method<duration_from_seconds>(
        "duration_from_seconds",
        "duration_from_seconds(seconds)\n--\n\nA time-out as (seconds, nanoseconds)."),
    method<query_stream_pausing>(
        "query_stream_pausing",
        "query_stream_pausing(client, query, seconds)\n--\n\nA query stream whose reader "
        "thread pauses after its last message."),
    method<non_utf8_type>("non_utf8_type",
                          "non_utf8_type()\n--\n\nA static type whose name is not UTF-8 text."),
    {nullptr, nullptr, 0, nullptr},
};

int exec_hooks(PyObject* module) {
  PyRef native = PyRef::steal(PyImport_ImportModule("tarnwick._native"));
  if (!native) return -1;
  ModuleState* state = state_of_module(module);
  PyObject* block_type = PyObject_GetAttrString(native.get(), "_Block");
  if (block_type == nullptr) return -1;
  state->block_type = reinterpret_cast<PyTypeObject*>(block_type);
  PyObject* client_type = PyObject_GetAttrString(native.get(), "_Client");
  if (client_type == nullptr) return -1;
  state->client_type = reinterpret_cast<PyTypeObject*>(client_type);
  return add_query_stream_type(module);
}

int traverse_hooks(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state != nullptr) {
    Py_VISIT(state->block_type);
    Py_VISIT(state->client_type);
    Py_VISIT(state->query_stream_type);
  }
  return 0;
}

int clear_hooks(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state != nullptr) {
    Py_CLEAR(state->block_type);
    Py_CLEAR(state->client_type);
    Py_CLEAR(state->query_stream_type);
  }
  return 0;
}

void free_hooks(void* module) {
  clear_hooks(static_cast<PyObject*>(module));
}

PyModuleDef_Slot hook_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<exec_hooks>)},
    {0, nullptr},
};

PyModuleDef hooks_def = {
    PyModuleDef_HEAD_INIT,
    "_tarnwick_testhooks",
    "Test-only entry points into the tarnwick._native binding.",
    sizeof(ModuleState),
    hook_functions,
    hook_slots,
    traverse_hooks,
    clear_hooks,
    free_hooks,
};

}  // namespace

}  // namespace tarnwick::binding::testhooks

PyMODINIT_FUNC PyInit__tarnwick_testhooks() {
  return PyModuleDef_Init(&tarnwick::binding::testhooks::hooks_def);
}
