#include "tarnwick/sync/wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace tarnwick::sync {

using base::Error;
using base::IoError;
using base::IoKind;
using base::Status;

namespace {

struct ThreadHook {
  InterruptHook hook = nullptr;
  void* context = nullptr;
  WaitClock::time_point last_check{};
};

thread_local ThreadHook t_hook;

bool call_hook() {
  t_hook.last_check = WaitClock::now();
  return t_hook.hook(t_hook.context);
}

timespec to_timespec(WaitClock::duration d) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

ScopedInterruptHook::ScopedInterruptHook(InterruptHook hook, void* context)
    : previous_hook_(t_hook.hook),
      previous_context_(t_hook.context),
      previous_check_(t_hook.last_check) {
  t_hook = ThreadHook{hook, context, WaitClock::now()};
}

ScopedInterruptHook::~ScopedInterruptHook() {
  t_hook = ThreadHook{previous_hook_, previous_context_, previous_check_};
}

Status check_interrupt() {
  if (t_hook.hook == nullptr) return {};
  if (WaitClock::now() - t_hook.last_check < kInterruptCheckInterval) return {};
  if (call_hook()) return interrupted_error();
  return {};
}

bool interrupt_requested() {
  return t_hook.hook != nullptr && call_hook();
}

Error interrupted_error() {
  return Error::io(IoError::custom(
      IoKind::Other, "interrupted: the call was stopped while waiting on the network"));
}

WaitDeadline WaitDeadline::after(base::Duration limit, std::string expired) {
  return WaitDeadline{base::deadline_after(limit), std::move(expired)};
}

bool WaitDeadline::passed() const {
  return at != WaitClock::time_point::max() && WaitClock::now() > at;
}

Error WaitDeadline::error() const {
  return Error::io(IoError::custom(IoKind::TimedOut, expired));
}

Status wait_ready(int fd, short events, const std::optional<WaitDeadline>& deadline) {
  const bool bounded = deadline && deadline->at != WaitClock::time_point::max();
  for (;;) {
    // The slice: what is left of the deadline, cut to the hook's interval when there is a hook.
    std::optional<WaitClock::duration> slice;
    if (bounded) {
      const auto left = deadline->at - WaitClock::now();
      if (left <= WaitClock::duration::zero()) return deadline->error();
      slice = left;
    }
    if (t_hook.hook != nullptr) {
      const WaitClock::duration interval = kInterruptCheckInterval;
      slice = slice ? std::min(*slice, interval) : interval;
    }
    pollfd pfd{fd, events, 0};
    timespec ts{};
    if (slice) ts = to_timespec(*slice);
    const int rc = ::ppoll(&pfd, 1, slice ? &ts : nullptr, nullptr);
    if (rc > 0) return {};
    if (rc < 0 && errno != EINTR) return Error::io(IoError::from_errno(errno));
    // A slice ran out or a signal came: the hook runs, then the wait goes on with the time left.
    if (t_hook.hook != nullptr && call_hook()) return interrupted_error();
  }
}

}  // namespace tarnwick::sync
