// The gate every thread of the binding passes to take the GIL back, closed by the interpreter's
// exit hook (see py_ref.h).
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "binding/entry.h"
#include "binding/py_ref.h"

namespace tarnwick::binding {

namespace {

struct ExitGate {
  std::mutex mutex;
  std::condition_variable settled;  // `taking` fell to 0
  size_t taking = 0;                // threads past the gate that have not got the GIL yet
  bool closed = false;              // the main interpreter's exit hooks are running
  std::thread::id exiting;          // the thread that runs them and ends the interpreter
};

ExitGate* the_gate = nullptr;
std::once_flag gate_made;

// Never destroyed: a thread may come back from the network while the process runs its static
// destructors. A child of fork() gets a gate of its own: the threads that were on their way to
// the GIL, or held the lock, are not in it.
ExitGate& gate() {
  std::call_once(gate_made, [] {
    the_gate = new ExitGate;
    pthread_atfork(nullptr, nullptr, [] { the_gate = new ExitGate; });
  });
  return *the_gate;
}

[[noreturn]] void wait_for_process_end() {
  for (;;) ::pause();
}

// Runs `take` (which takes the GIL) unless the gate is closed to this thread.
template <class Take>
auto through_gate(Take take) {
  ExitGate& g = gate();
  {
    std::unique_lock lock(g.mutex);
    if (g.closed && std::this_thread::get_id() != g.exiting) {
      lock.unlock();
      wait_for_process_end();
    }
    ++g.taking;
  }
  auto taken = take();
  std::lock_guard lock(g.mutex);
  if (--g.taking == 0) g.settled.notify_all();
  return taken;
}

// The exit hook. atexit runs it in the exiting thread before the interpreter marks itself as
// finalizing, which is what makes it end other threads that ask for the GIL. Closing the gate and
// letting the threads already past it get the GIL first (it is released meanwhile) leaves no
// thread of the binding between the gate and the GIL once that mark is set.
PyObject* close_gate(PyObject* /*self*/, PyObject* /*unused*/) {
  // Only the main interpreter's exit ends the process.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) Py_RETURN_NONE;
  ExitGate& g = gate();
  PyThreadState* state = PyEval_SaveThread();
  {
    std::unique_lock lock(g.mutex);
    g.closed = true;
    g.exiting = std::this_thread::get_id();
    g.settled.wait(lock, [&] { return g.taking == 0; });
  }
  PyEval_RestoreThread(state);
  Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_close_gil_gate", entry<close_gate>, METH_NOARGS, nullptr};

}  // namespace

void take_gil_back(PyThreadState* state) {
  through_gate([state] {
    PyEval_RestoreThread(state);
    return true;
  });
}

PyGILState_STATE ensure_gil() {
  return through_gate([] { return PyGILState_Ensure(); });
}

int watch_interpreter_exit(PyObject* /*module*/) {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef hook = PyRef::steal(PyCFunction_NewEx(&close_gate_def, nullptr, nullptr));
  if (!hook) return -1;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return done ? 0 : -1;
}

}  // namespace tarnwick::binding
