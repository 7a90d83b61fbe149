#include "tarnwick/sync/transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

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

}  // namespace
}  // namespace tarnwick::sync
