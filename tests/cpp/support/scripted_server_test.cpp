// The scripted server as C++ tests use it: a ping exchange over a plain socket at revision 54412,
// with the server's bytes checked against the Hello layout and the record checked afterwards.
#include "support/scripted_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "tarnwick/sync/socket.h"

namespace tarnwick::testing {
namespace {

using Bytes = std::vector<uint8_t>;

void append_string(Bytes& out, const std::string& s) {
  out.push_back(static_cast<uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

// Sends `out`, then reads `n` bytes (fewer if the peer closes or 5 s pass).
Bytes exchange(const sync::Socket& sock, const Bytes& out, size_t n) {
  EXPECT_EQ(::send(sock.fd(), out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
  Bytes in(n);
  size_t got = 0;
  for (ssize_t r; got < n; got += static_cast<size_t>(r)) {
    r = ::recv(sock.fd(), in.data() + got, n - got, 0);
    if (r <= 0) break;
  }
  in.resize(got);
  return in;
}

TEST(ScriptedServerTest, PingAtOldRevisionIsRecorded) {
  ScriptedServer server({.scenario = "ping", .args = {{"revision", "54412"}, {"count", "2"}}});
  ASSERT_TRUE(server.ok()) << server.error();
  auto sock = sync::connect_with_timeout(sync::SocketAddr::v4_loopback(server.port()),
                                         base::Duration::from_secs(5));
  ASSERT_TRUE(sock.ok());
  ASSERT_TRUE(sock->set_read_timeout(base::Duration::from_secs(5)).ok());

  Bytes hello = {0x00};
  append_string(hello, "t");
  hello.insert(hello.end(), {26, 4, 0xD3, 0xA9, 0x03});  // version 26.4, revision 54483
  append_string(hello, "default");
  append_string(hello, "default");
  append_string(hello, "");

  // Server Hello at negotiated revision 54412: name, version, revision, time zone, display name,
  // patch; nothing later and no addendum.
  Bytes expected = {0x00};
  append_string(expected, "ClickHouse");
  expected.insert(expected.end(), {24, 8, 0x8C, 0xA9, 0x03});
  append_string(expected, "UTC");
  append_string(expected, "scripted");
  expected.push_back(1);
  EXPECT_EQ(exchange(*sock, hello, expected.size()), expected);

  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(exchange(*sock, {0x04}, 1), Bytes{0x04});
  }
  sock->close();

  EXPECT_EQ(server.wait_exit(20000), 0);
  EXPECT_EQ(server.wait_status(0, 1000), "ok");
  Bytes sent = hello;
  sent.insert(sent.end(), {0x04, 0x04});
  EXPECT_EQ(server.record(0, "raw_in"), sent);
  EXPECT_EQ(server.record(0, "plain_in"), sent);
}

TEST(ScriptedServerTest, UnknownScenarioFailsToStart) {
  ScriptedServer server({.scenario = "no_such_scenario", .start_timeout_ms = 10000});
  EXPECT_FALSE(server.ok());
}

}  // namespace
}  // namespace tarnwick::testing
