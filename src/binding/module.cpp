// The tarnwick._native module: multi-phase initialisation with per-module state holding the heap
// types of the classes and the cached standard-library callables, so the extension stays within
// the limited API and a second module object (another interpreter, a re-import) gets its own.
#include <Python.h>

#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/module_state.h"
#include "binding/py_ref.h"

namespace tarnwick::binding {

namespace {

int add_version(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION);
}

// obj.name; an attribute may be computed by Python code.
PyObject* attribute(PyObject* obj, const char* name) {
  return into_python([&] { return PyObject_GetAttrString(obj, name); });
}

int cache_datetime(PyObject* module) {
  ModuleState* state = state_of_module(module);
  PyRef datetime_module =
      PyRef::steal(into_python([] { return PyImport_ImportModule("datetime"); }));
  if (!datetime_module) return -1;
  PyRef date = PyRef::steal(attribute(datetime_module.get(), "date"));
  if (!date) return -1;
  PyRef datetime = PyRef::steal(attribute(datetime_module.get(), "datetime"));
  if (!datetime) return -1;
  state->date_fromordinal = attribute(date.get(), "fromordinal");
  if (state->date_fromordinal == nullptr) return -1;
  state->datetime_fromtimestamp = attribute(datetime.get(), "fromtimestamp");
  return state->datetime_fromtimestamp == nullptr ? -1 : 0;
}

// The steps of the exec function, in the order the module's attributes are added.
using ExecStep = int (*)(PyObject*);
constexpr ExecStep kExecSteps[] = {
    cache_datetime,        client::add_client_type, add_block_type, add_column_type,
    add_row_iterator_type, add_query_stream_type,   add_version,
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    py_set_error_text(PyExc_TypeError, "tarnwick._native exec step needs a module object");
    return -1;
  }
  for (ExecStep step : kExecSteps) {
    if (step(module) < 0) return -1;
  }
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->client_type);
  Py_VISIT(state->block_type);
  Py_VISIT(state->column_type);
  Py_VISIT(state->row_iterator_type);
  Py_VISIT(state->query_stream_type);
  Py_VISIT(state->date_fromordinal);
  Py_VISIT(state->datetime_fromtimestamp);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  py_clear(state->client_type);
  py_clear(state->block_type);
  py_clear(state->column_type);
  py_clear(state->row_iterator_type);
  py_clear(state->query_stream_type);
  py_clear(state->date_fromordinal);
  py_clear(state->datetime_fromtimestamp);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyMethodDef module_functions[] = {
    method<conversion::blocks_to_dicts>(
        "blocks_to_dicts",
        "blocks_to_dicts(blocks)\n--\n\nConvert a list of Block objects to a list of row dicts."),
    method<conversion::dicts_to_block>(
        "dicts_to_block",
        "dicts_to_block(rows, columns)\n--\n\n"
        "Convert a list of dicts to a Block for INSERT.\n"
        "\n"
        "Args:\n"
        "    rows: list[dict] \xe2\x80\x94 row dicts\n"
        "    columns: list[(name, type)] \xe2\x80\x94 column definitions\n"
        "\n"
        "Returns:\n"
        "    _Block \xe2\x80\x94 ready for insert_blocks()"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<exec_module>)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._native",
    "ClickHouse native protocol client \xe2\x80\x94 Python bindings.\n"
    "\n"
    "Low-level bindings to the native TCP protocol client. Applications use the Python\n"
    "wrappers ``tarnwick.Client`` and ``tarnwick.AsyncClient`` instead.",
    sizeof(ModuleState),
    module_functions,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace tarnwick::binding

// The module's only exported symbol.
PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&tarnwick::binding::module_def);
}
