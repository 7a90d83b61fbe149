// Waiting on the network. Every read, write and connect of the library that has to wait does it
// here, in poll() slices: a deadline holds across any number of interrupted waits (each resumes
// with the time left), and the waiting thread wakes regularly for its embedding runtime, which
// may stop the wait (a Python signal handler that raised, for example).
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"

namespace tarnwick::sync {

using WaitClock = std::chrono::steady_clock;

// The longest a thread with an interrupt hook goes without calling it while it waits or moves
// bytes.
inline constexpr std::chrono::milliseconds kInterruptCheckInterval{100};

// A check that a thread installs while it blocks in the library. It is called at least every
// kInterruptCheckInterval while the thread waits, at once when a signal interrupts a wait, and
// between reads and writes that keep the thread busy for longer. Answering true ends the
// operation with interrupted_error(); once it answered true it must keep doing so, so that no
// retry (the next address of a connect, say) waits again.
using InterruptHook = bool (*)(void* context);

// Installs a hook for the calling thread for its lifetime; the previous one comes back after.
class ScopedInterruptHook {
 public:
  ScopedInterruptHook(InterruptHook hook, void* context);
  ~ScopedInterruptHook();
  ScopedInterruptHook(const ScopedInterruptHook&) = delete;
  ScopedInterruptHook& operator=(const ScopedInterruptHook&) = delete;

 private:
  InterruptHook previous_hook_;
  void* previous_context_;
  WaitClock::time_point previous_check_;
};

// Calls the thread's hook when kInterruptCheckInterval passed since it was last called: the
// interrupted error when it asks to stop. Free when no hook is installed.
base::Status check_interrupt();

// Calls the thread's hook now; false when none is installed.
bool interrupt_requested();

// An Io error of kind Other: "interrupted: the call was stopped while waiting on the network".
base::Error interrupted_error();

// When waiting must end: the instant, and the message of the Io error of kind TimedOut that a
// wait past it ends with.
struct WaitDeadline {
  WaitClock::time_point at;
  std::string expired;

  // `limit` from now (saturating at the clock's far future, which never passes).
  static WaitDeadline after(base::Duration limit, std::string expired);
  bool passed() const;
  base::Error error() const;
};

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT; an error or hang-up on the socket
// counts as ready, for the following call to report), the deadline passes, or the thread's hook
// asks to stop. With no deadline and no hook it waits without limit.
base::Status wait_ready(int fd, short events, const std::optional<WaitDeadline>& deadline);

}  // namespace tarnwick::sync
