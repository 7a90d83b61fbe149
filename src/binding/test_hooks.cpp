// Test-only entry points: they build _Block objects from raw bytes so that the Python tests can
// convert bodies captured from a real server, and hostile bodies, without a connection. They are
// underscored, absent from the type stubs and not part of the module's interface.
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

// _decode_block(data): one block in the native TCP layout (block info, counts, then per column
// name, type, serialization flag and body) through the library's block decoder.
PyObject* decode_block(PyObject* module, PyObject* arg) {
  Py_buffer data;
  if (PyObject_GetBuffer(arg, &data, PyBUF_SIMPLE) < 0) return nullptr;
  base::MemorySource source(std::span<const uint8_t>(static_cast<const uint8_t*>(data.buf),
                                                     static_cast<size_t>(data.len)));
  base::Result<protocol::Block> block = protocol::read_block_body(source);
  PyBuffer_Release(&data);
  if (!block) return raise(block.error());
  return conversion::make_block(*state_of_module(module), std::move(block).value()).release();
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
    {"_decode_block", decode_block_entry, METH_O,
     "_decode_block(data)\n--\n\nTest-only: one native block decoded by the library's reader."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnwick::binding
