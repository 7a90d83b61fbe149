// Where a thread that the exiting interpreter has ended waits: at the call into Python code where
// its unwinding began (into_python() in py_ref.h), or, should a call have been made outside one,
// at the entry point of its call (guarded() in errors.h).
#include <unistd.h>

#include "binding/errors.h"

namespace tarnwick::binding {

// The interpreter has let the GIL go by then: the thread waits holding nothing of the
// interpreter's, and its stack, the binding's frames included, stays as it was.
void wait_for_process_end() noexcept {
  for (;;) ::pause();
}

// Reported with write(), which takes no lock and allocates nothing: the thread holds no GIL here,
// and the interpreter may be going away.
void wait_at_entry_for_process_end() noexcept {
  static constexpr char kText[] =
      "tarnwick._native: internal error: a thread that the exiting interpreter ended unwound to "
      "the entry point of its call\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  wait_for_process_end();
}

}  // namespace tarnwick::binding
