// The tarnwick._native module: multi-phase initialisation, so the module state lives with the
// module object and the extension stays within the limited API.
#include <Python.h>

namespace tarnwick::binding {
namespace {

int exec_module(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._native",
    "Client for the ClickHouse native TCP protocol.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnwick::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&tarnwick::binding::module_def);
}
