// Taking the GIL back from a thread that the exiting interpreter no longer lets run (see py_ref.h).
#include <cxxabi.h>
#include <unistd.h>

#include "binding/py_ref.h"

namespace tarnwick::binding {

namespace {

// The interpreter ends such a thread with pthread_exit, whose unwinding would run the destructors
// of the frames above (touching objects of an interpreter that is going away) and abort at the
// first noexcept one. It has let the GIL go by then: the thread waits here, holding nothing of the
// interpreter's, until the process ends. Leaving the handler would abort too, so it is never left.
[[noreturn]] void wait_for_process_end() {
  for (;;) ::pause();
}

}  // namespace

void take_gil_back(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (const abi::__forced_unwind&) {
    wait_for_process_end();
  }
}

PyGILState_STATE ensure_gil() {
  try {
    return PyGILState_Ensure();
  } catch (const abi::__forced_unwind&) {
    wait_for_process_end();
  }
}

}  // namespace tarnwick::binding
