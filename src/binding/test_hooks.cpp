// Test-only entry points: they build _Block objects from raw bytes so that the Python tests can
// convert bodies captured from a real server, and hostile bodies, without a connection. They are
// underscored, absent from the type stubs and not part of the module's interface.
#include "binding/arguments.h"
#include "binding/conversion.h"
#include "binding/errors.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::binding {

namespace {

// _block_from_bodies(rows, [(name, type, body), ...]): a _Block whose columns hold the given
// bodies exactly as given, with nothing checked against the types.
PyObject* block_from_bodies(PyObject* module, PyObject* args) {
  unsigned long long rows = 0;
  PyObject* columns = nullptr;
  if (!PyArg_ParseTuple(args, "KO!:_block_from_bodies", &rows, &PyList_Type, &columns)) {
    return nullptr;
  }
  if (rows > protocol::kMaxBlockRows) {
    return raise(PyExc_ValueError,
                 base::cat("block row count ", rows, " exceeds limit ", protocol::kMaxBlockRows));
  }
  protocol::Block block;
  block.rows = rows;
  for (Py_ssize_t i = 0; i < PyList_Size(columns); ++i) {
    const char* name = nullptr;
    const char* type = nullptr;
    Py_buffer body;
    if (!PyArg_ParseTuple(PyList_GetItem(columns, i), "ssy*", &name, &type, &body)) {
      return nullptr;
    }
    base::Bytes bytes = base::Bytes::copy_of(body.buf, static_cast<size_t>(body.len));
    PyBuffer_Release(&body);
    block.columns.push_back(protocol::ColumnInfo{name, type, std::move(bytes), {}});
  }
  return conversion::make_block(*state_of_module(module), std::move(block)).release();
}

// _decode_block(data, revision): one block in the native TCP layout of that protocol revision
// (block info, counts, then per column name, type, serialization flag where the revision has it,
// and body) through the library's block decoder.
PyObject* decode_block(PyObject* module, PyObject* args) {
  Py_buffer data;
  unsigned long long revision = 0;
  if (!PyArg_ParseTuple(args, "y*K:_decode_block", &data, &revision)) return nullptr;
  base::MemorySource source(std::span<const uint8_t>(static_cast<const uint8_t*>(data.buf),
                                                     static_cast<size_t>(data.len)));
  base::Result<protocol::Block> block =
      protocol::read_block_body(source, protocol::BlockLayout::for_revision(revision));
  PyBuffer_Release(&data);
  if (!block) return raise(block.error());
  return conversion::make_block(*state_of_module(module), std::move(block).value()).release();
}

// _column_body(block, index): the body bytes of one column of a _Block, as they stand.
PyObject* column_body(PyObject* module, PyObject* args) {
  PyObject* obj = nullptr;
  Py_ssize_t index = 0;
  if (!PyArg_ParseTuple(args, "On:_column_body", &obj, &index)) return nullptr;
  const protocol::Block* block = conversion::block_of(*state_of_module(module), obj);
  if (block == nullptr) return nullptr;
  if (index < 0 || static_cast<size_t>(index) >= block->columns.size()) {
    return raise(PyExc_IndexError, "column index out of range");
  }
  const base::Bytes& body = block->columns[static_cast<size_t>(index)].data;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data()),
                                   static_cast<Py_ssize_t>(body.size()));
}

// _split_address(addr): the (host, port) the client would connect to.
PyObject* split_address(PyObject*, PyObject* arg) {
  std::string addr;
  if (!arguments::str_argument(arg, "addr", addr)) return nullptr;
  std::string host;
  uint16_t port = 9000;
  arguments::split_address(addr, host, port);
  PyObject* text =
      PyUnicode_DecodeUTF8(host.data(), static_cast<Py_ssize_t>(host.size()), "replace");
  return text == nullptr ? nullptr : Py_BuildValue("(Ni)", text, int{port});
}

// _duration_from_seconds(x): the (seconds, nanoseconds) of a client time-out.
PyObject* duration_from_seconds(PyObject*, PyObject* arg) {
  double seconds = 0;
  base::Duration d;
  if (!arguments::float_argument(arg, "seconds", seconds) ||
      !arguments::seconds_to_duration(seconds, d)) {
    return nullptr;
  }
  return Py_BuildValue("(KI)", static_cast<unsigned long long>(d.secs), d.nanos);
}

PyObject* split_address_entry(PyObject* m, PyObject* a) {
  return guarded([&] { return split_address(m, a); });
}
PyObject* duration_from_seconds_entry(PyObject* m, PyObject* a) {
  return guarded([&] { return duration_from_seconds(m, a); });
}
PyObject* column_body_entry(PyObject* m, PyObject* a) {
  return guarded([&] { return column_body(m, a); });
}
PyObject* block_from_bodies_entry(PyObject* m, PyObject* a) {
  return guarded([&] { return block_from_bodies(m, a); });
}
PyObject* decode_block_entry(PyObject* m, PyObject* a) {
  return guarded([&] { return decode_block(m, a); });
}

}  // namespace

PyMethodDef test_hook_defs[] = {
    {"_block_from_bodies", block_from_bodies_entry, METH_VARARGS,
     "_block_from_bodies(rows, columns)\n--\n\nTest-only: a _Block from (name, type, body) "
     "triples."},
    {"_column_body", column_body_entry, METH_VARARGS,
     "_column_body(block, index)\n--\n\nTest-only: the body bytes of one column."},
    {"_decode_block", decode_block_entry, METH_VARARGS,
     "_decode_block(data, revision)\n--\n\nTest-only: one native block of that revision's layout "
     "decoded by the library's reader."},
    {"_split_address", split_address_entry, METH_O,
     "_split_address(addr)\n--\n\nTest-only: the (host, port) of a client address."},
    {"_duration_from_seconds", duration_from_seconds_entry, METH_O,
     "_duration_from_seconds(seconds)\n--\n\nTest-only: a time-out as (seconds, nanoseconds)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnwick::binding
