#include "tarnwick/sync/transport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "tarnwick/sync/chunked.h"
#include "tarnwick/sync/socket.h"

namespace tarnwick::sync {
namespace {

using base::Duration;
using Bytes = std::vector<uint8_t>;

TEST(DisplayDuration, CompactForms) {
  const std::pair<Duration, const char*> cases[] = {
      {Duration::from_secs(10), "10s"},
      {Duration{1, 500000000}, "1.5s"},
      {Duration{1, 1}, "1.000000001s"},
      {Duration::from_millis(500), "500ms"},
      {Duration{0, 1500000}, "1.5ms"},
      {Duration{0, 1200}, "1.2\xC2\xB5s"},
      {Duration{0, 7}, "7ns"},
      {Duration{}, "0ns"},
      {Duration{UINT64_MAX, 999999999}, "18446744073709551615.999999999s"},
  };
  for (auto& [d, text] : cases) EXPECT_EQ(display_duration(d), text);
}

TEST(SocketAddr, ParseAndDisplay) {
  const std::pair<const char*, const char*> ok[] = {
      {"127.0.0.1:9000", "127.0.0.1:9000"},
      {"[::1]:9440", "[::1]:9440"},
      {"[fe80::1%3]:1", "[fe80::1%3]:1"},
  };
  for (auto& [text, shown] : ok) {
    auto addr = SocketAddr::parse(text);
    ASSERT_TRUE(addr.has_value()) << text;
    EXPECT_EQ(addr->to_string(), shown);
  }
  for (const char* bad : {"localhost:9000", "::1:9000", "[::1]", "1.2.3.4:65536", "1.2.3.4:+1"}) {
    EXPECT_FALSE(SocketAddr::parse(bad).has_value()) << bad;
  }
}

TEST(ResolveSocketAddrs, LiteralsAndLookups) {
  auto literal = resolve_socket_addrs("[::1]:9000");
  ASSERT_TRUE(literal.ok());
  ASSERT_EQ(literal->size(), 1u);
  EXPECT_EQ((*literal)[0].to_string(), "[::1]:9000");

  // A bare IPv6 literal is split at its last colon and looked up.
  auto bare = resolve_socket_addrs("::1:9000");
  ASSERT_TRUE(bare.ok()) << bare.error().to_string();
  EXPECT_EQ((*bare)[0].to_string(), "[::1]:9000");

  auto local = resolve_socket_addrs("localhost:123");
  ASSERT_TRUE(local.ok()) << local.error().to_string();
  ASSERT_FALSE(local->empty());
  for (auto& a : *local) EXPECT_EQ(a.port(), 123);

  auto bad_port = resolve_socket_addrs("localhost:99999");
  ASSERT_FALSE(bad_port.ok());
  EXPECT_EQ(bad_port.error().kind(), base::ErrorKind::Io);
  auto no_host = resolve_socket_addrs("no-such-host.invalid:9000");
  ASSERT_FALSE(no_host.ok());
  EXPECT_EQ(no_host.error().kind(), base::ErrorKind::Io);
}

timeval read_timeout(const Socket& s, int option = SO_RCVTIMEO) {
  timeval tv{};
  socklen_t len = sizeof tv;
  getsockopt(s.fd(), SOL_SOCKET, option, &tv, &len);
  return tv;
}

TEST(Socket, TimeoutsSaturateAndNeverBecomeUnlimited) {
  auto [a, b] = testing::tcp_pair();
  auto zero = a.set_read_timeout(Duration{});
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().to_string(), "I/O error: cannot set a 0 duration timeout");

  // 1 ns must still be a (tiny) limit, not "no limit".
  ASSERT_TRUE(a.set_read_timeout(Duration{0, 1}).ok());
  timeval tiny = read_timeout(a);
  EXPECT_TRUE(tiny.tv_sec != 0 || tiny.tv_usec != 0);

  // The largest duration is accepted and stays a limit.
  ASSERT_TRUE(a.set_write_timeout(Duration{UINT64_MAX, 999999999}).ok());
  timeval huge = read_timeout(a, SO_SNDTIMEO);
  EXPECT_GT(huge.tv_sec, 0);

  ASSERT_TRUE(a.set_write_timeout(std::nullopt).ok());
  timeval none = read_timeout(a, SO_SNDTIMEO);
  EXPECT_EQ(none.tv_sec, 0);
  EXPECT_EQ(none.tv_usec, 0);
}

TEST(Transport, ShutdownFromAnotherThreadEndsABlockedRead) {
  auto [a, b] = testing::tcp_pair();
  ASSERT_TRUE(a.set_read_timeout(Duration::from_secs(20)).ok());
  auto t = Transport::new_plain(std::move(a));
  auto handle = t->duplicate_socket();
  ASSERT_TRUE(handle.ok());
  std::thread cutter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handle->shutdown_both();
  });
  uint8_t byte;
  auto st = t->read_exact(&byte, 1);
  cutter.join();
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_io(base::IoKind::UnexpectedEof)) << st.error().to_string();
  // Writes after the shutdown fail with an error, not a signal.
  uint8_t data[1] = {1};
  EXPECT_FALSE(t->write_all(data).ok());
}

// A deadline holds for reads and writes however often signals interrupt the waits, and a thread's
// interrupt hook is asked while a call waits without a deadline and stops it.
TEST(Transport, DeadlinesOutlastSignalsAndTheInterruptHookStopsWaits) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};  // no SA_RESTART: every signal interrupts the wait
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGALRM, &quiet, &old), 0);
  itimerval every{{0, 50000}, {0, 50000}};
  setitimer(ITIMER_REAL, &every, nullptr);

  auto [a, b] = testing::tcp_pair();
  auto t = Transport::new_plain(std::move(a));
  std::vector<uint8_t> big(64 << 20);
  uint8_t byte;
  for (bool reading : {true, false}) {
    SCOPED_TRACE(reading);
    t->set_deadline(WaitDeadline::after(Duration::from_millis(400), "too slow"));
    const auto began = std::chrono::steady_clock::now();
    base::Status st = reading ? t->read_exact(&byte, 1) : t->write_all(big);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_io(base::IoKind::TimedOut)) << st.error().to_string();
    EXPECT_EQ(st.error().to_string(), "I/O error: too slow");
    EXPECT_GE(took, std::chrono::milliseconds(350));
    EXPECT_LT(took, std::chrono::seconds(3));
  }
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  t->set_deadline(std::nullopt);
  int calls = 0;
  ScopedInterruptHook hook([](void* n) { return ++*static_cast<int*>(n) >= 3; }, &calls);
  const auto began = std::chrono::steady_clock::now();
  base::Status st = t->read_exact(&byte, 1);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), interrupted_error().to_string());
  EXPECT_EQ(calls, 3);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tarnwick::sync
