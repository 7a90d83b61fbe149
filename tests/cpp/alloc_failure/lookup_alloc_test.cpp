// Allocation failures around the lookup thread. This binary replaces operator new so that a test
// can make a thread's allocations fail: a countdown, armed per thread, throws std::bad_alloc at
// the allocation that brings it to zero.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tarnwick/sync/lookup.h"

namespace {
thread_local int t_fail_in = 0;  // 0: never
}  // namespace

void* operator new(std::size_t n) {
  if (t_fail_in > 0 && --t_fail_in == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace tarnwick::sync {
namespace {

using Addrs = base::Result<std::vector<SocketAddr>>;

Addrs instant_look_up(const std::string&) {
  return std::vector<SocketAddr>{SocketAddr::v4_loopback(0)};
}

// The real lookup, whose first allocation (the address list) fails.
Addrs look_up_out_of_memory(const std::string& host) {
  t_fail_in = 1;
  return look_up_host(host);
}

std::vector<int> blocked_signals() {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  std::vector<int> blocked;
  for (int sig = 1; sig < SIGRTMAX; ++sig) {
    if (sigismember(&mask, sig) == 1) blocked.push_back(sig);
  }
  return blocked;
}

// Every allocation of a call that starts a lookup thread fails in turn: each failure is a
// bad_alloc of the call, and every one leaves the caller's signal mask as it was.
TEST(LookupAllocationFailure, StartingTheThreadRestoresTheSignalMaskOnEveryPath) {
  const std::vector<int> mask = blocked_signals();
  int failures = 0;
  for (int n = 1; n < 100; ++n) {
    t_fail_in = n;
    bool out_of_memory = false;
    try {
      Addrs got = look_up_in_thread("host-" + std::to_string(n), 9000, instant_look_up);
      EXPECT_TRUE(got.ok()) << n;
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
    t_fail_in = 0;
    EXPECT_EQ(blocked_signals(), mask) << "allocation " << n;
    if (!out_of_memory) break;
    ++failures;
  }
  EXPECT_GE(failures, 2);
  EXPECT_TRUE(look_up_in_thread("host", 9000, instant_look_up).ok());
}

// Inside the thread the same failure reaches the caller as bad_alloc (a MemoryError in Python),
// as it did when the lookup ran on the caller's thread.
TEST(LookupAllocationFailure, ALookupOutOfMemoryIsTheCallersBadAlloc) {
  EXPECT_THROW((void)look_up_in_thread("localhost", 9000, look_up_out_of_memory), std::bad_alloc);
  EXPECT_TRUE(look_up_in_thread("localhost", 9000, look_up_host).ok());
}

}  // namespace
}  // namespace tarnwick::sync
