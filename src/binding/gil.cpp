// Where a thread that the exiting interpreter has ended waits (see into_python() in py_ref.h).
#include <unistd.h>

#include "binding/py_ref.h"

namespace tarnwick::binding {

// The interpreter has let the GIL go by then: the thread waits holding nothing of the
// interpreter's, and its stack, the binding's frames included, stays as it was.
void wait_for_process_end() noexcept {
  for (;;) ::pause();
}

}  // namespace tarnwick::binding
