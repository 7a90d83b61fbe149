// Handshake against a real server (Debian's clickhouse-server 18.16, protocol revision 54412),
// started by tests/server/clickhouse/real_server.sh. Skipped unless TARNWICK_CH_TCP names it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/handshake.h"
#include "tarnwick/sync/query_packet.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {
namespace {

// A blocking loopback socket as byte source and sink, with 10 s time-outs both ways.
class SocketPeer final : public base::ByteSource, public base::ByteSink {
 public:
  explicit SocketPeer(int fd) : fd_(fd) {}
  ~SocketPeer() override { ::close(fd_); }

  base::Status write_all(std::span<const uint8_t> bytes) override {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return base::Error::io(base::IoError::from_errno(errno));
      bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return {};
  }

 protected:
  base::Result<size_t> refill() override {
    for (;;) {
      ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return base::Error::io(base::IoError::from_errno(errno));
      pos_ = buf_;
      end_ = buf_ + n;
      return static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  uint8_t buf_[4096];
};

int connect_to(const std::string& addr) {
  auto colon = addr.rfind(':');
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(std::stoi(addr.substr(colon + 1))));
  if (inet_pton(AF_INET, addr.substr(0, colon).c_str(), &sa.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(RealServerHandshakeTest, OldServerAcceptsTheHello) {
  const char* addr = std::getenv("TARNWICK_CH_TCP");
  if (addr == nullptr) GTEST_SKIP() << "TARNWICK_CH_TCP not set";
  int fd = connect_to(addr);
  ASSERT_GE(fd, 0) << addr;
  SocketPeer peer(fd);
  auto info = perform_handshake(peer, peer, ClientConfig());
  ASSERT_TRUE(info.ok()) << info.error().to_string();
  EXPECT_EQ(info->revision, 54412u);
  EXPECT_EQ(info->negotiated_revision, 54412u);
  EXPECT_FALSE(info->send_chunked);
  EXPECT_FALSE(info->recv_chunked);
  EXPECT_TRUE(info->timezone.has_value());
  EXPECT_TRUE(info->display_name.has_value());

  // The connection is usable: a Ping (client type 4) is answered with a Pong.
  const uint8_t ping = 4;
  ASSERT_TRUE(peer.write_all({&ping, 1}).ok());
  auto type = protocol::read_varint(peer);
  ASSERT_TRUE(type.ok()) << type.error().to_string();
  EXPECT_EQ(*type, static_cast<uint64_t>(ServerPacket::Pong));
}

TEST(RealServerHandshakeTest, WrongPasswordIsAnAuthenticationError) {
  const char* addr = std::getenv("TARNWICK_CH_TCP");
  if (addr == nullptr) GTEST_SKIP() << "TARNWICK_CH_TCP not set";
  int fd = connect_to(addr);
  ASSERT_GE(fd, 0) << addr;
  SocketPeer peer(fd);
  ClientConfig config;
  config.user = "tarnwick";
  config.password = "wrong";
  auto info = perform_handshake(peer, peer, config);
  ASSERT_FALSE(info.ok());
  EXPECT_EQ(info.error().kind(), base::ErrorKind::Auth) << info.error().to_string();
  EXPECT_NE(info.error().message().find("(code "), std::string::npos);

  int fd2 = connect_to(addr);
  ASSERT_GE(fd2, 0);
  SocketPeer peer2(fd2);
  config.password = "s3cret";
  auto ok = perform_handshake(peer2, peer2, config);
  EXPECT_TRUE(ok.ok()) << ok.error().to_string();
}

// The server reads the query id and the ClientInfo of revision 54412 and then stops at the first
// setting: below revision 54429 it expects settings in its older binary form and does not know the
// setting the client always adds. The refusal comes back as an ordinary Exception packet.
TEST(RealServerHandshakeTest, OldServerReadsTheQueryPacketUpToTheSettings) {
  const char* addr = std::getenv("TARNWICK_CH_TCP");
  if (addr == nullptr) GTEST_SKIP() << "TARNWICK_CH_TCP not set";
  int fd = connect_to(addr);
  ASSERT_GE(fd, 0) << addr;
  SocketPeer peer(fd);
  ClientConfig config;
  auto info = perform_handshake(peer, peer, config);
  ASSERT_TRUE(info.ok()) << info.error().to_string();
  auto tmpl = build_query_packet_template(config, info->negotiated_revision);
  ASSERT_TRUE(tmpl.ok());
  base::ByteBuffer packet;
  write_query_packet(packet, *tmpl, "SELECT 1");
  ASSERT_TRUE(peer.write_all(packet.span()).ok());
  auto type = protocol::read_varint(peer);
  ASSERT_TRUE(type.ok()) << type.error().to_string();
  base::BufferSink answers;
  auto kind = read_server_packet_body(peer, *type, {info->negotiated_revision, &answers, false});
  ASSERT_FALSE(kind.ok());
  EXPECT_EQ(kind.error().kind(), base::ErrorKind::Server);
  EXPECT_EQ(kind.error().server_code(), 115);  // UNKNOWN_SETTING
  EXPECT_NE(kind.error().message().find("output_format_native_write_json_as_string"),
            std::string::npos);
}

}  // namespace
}  // namespace tarnwick::sync
