// The scripted server as C++ tests use it: a ping exchange over a plain socket at revision 54412,
// with the server's bytes checked against the Hello layout and the record checked afterwards.
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tarnwick::testing {
namespace {

using Bytes = std::vector<uint8_t>;

void append_string(Bytes& out, const std::string& s) {
  out.push_back(static_cast<uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

class LoopbackSocket {
 public:
  explicit LoopbackSocket(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval tv{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~LoopbackSocket() { shut(); }
  void shut() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }
  bool send_all(const Bytes& b) {
    return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
  }
  Bytes recv_exact(size_t n) {
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }

 private:
  int fd_;
  bool connected_ = false;
};

TEST(ScriptedServerTest, PingAtOldRevisionIsRecorded) {
  ScriptedServer server({.scenario = "ping", .args = {{"revision", "54412"}, {"count", "2"}}});
  ASSERT_TRUE(server.ok()) << server.error();
  LoopbackSocket sock(server.port());
  ASSERT_TRUE(sock.connected());

  Bytes hello = {0x00};
  append_string(hello, "t");
  hello.insert(hello.end(), {26, 4, 0xD3, 0xA9, 0x03});  // version 26.4, revision 54483
  append_string(hello, "default");
  append_string(hello, "default");
  append_string(hello, "");
  ASSERT_TRUE(sock.send_all(hello));

  // Server Hello at negotiated revision 54412: name, version, revision, time zone, display name,
  // patch; nothing later and no addendum.
  Bytes expected = {0x00};
  append_string(expected, "ClickHouse");
  expected.insert(expected.end(), {24, 8, 0x8C, 0xA9, 0x03});
  append_string(expected, "UTC");
  append_string(expected, "scripted");
  expected.push_back(1);
  EXPECT_EQ(sock.recv_exact(expected.size()), expected);

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(sock.send_all({0x04}));
    EXPECT_EQ(sock.recv_exact(1), Bytes{0x04});
  }
  sock.shut();

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
