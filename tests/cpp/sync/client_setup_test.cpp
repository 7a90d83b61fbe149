#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "tarnwick/sync/client.h"
#include "tarnwick/sync/tls.h"

namespace tarnwick::sync {
namespace {

using base::Duration;
using base::ErrorKind;
using testing::Listener;

// Serves one connection on `listener` with `fn` in a thread joined on destruction.
class Peer {
 public:
  Peer(const Listener& listener, std::function<void(Socket&)> fn)
      : thread_([&listener, fn = std::move(fn)] {
          Socket s = listener.accept();
          if (s.valid()) fn(s);
        }) {}
  ~Peer() { join(); }
  // Waits for the peer to finish, so what it recorded can be read.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// The peer of the stub handshake: reads "hi", answers "ok".
void answer_ok(Socket& s) {
  (void)s.set_read_timeout(Duration::from_secs(5));
  uint8_t hi[2];
  if (::recv(s.fd(), hi, 2, MSG_WAITALL) == 2) ::send(s.fd(), "ok", 2, MSG_NOSIGNAL);
  uint8_t rest;
  ::recv(s.fd(), &rest, 1, 0);  // until the client closes
}

base::Result<ServerInfo> stub_handshake(Transport& t, const ClientConfig&) {
  const uint8_t hi[2] = {'h', 'i'};
  TW_TRY(t.write_all(hi));
  uint8_t ok[2];
  TW_TRY(t.read_exact(ok, 2));
  ServerInfo info;
  info.name = "stub";
  info.negotiated_revision = 54483;
  return info;
}

ClientConfig config_for(uint16_t port, Duration connect_timeout = Duration::from_secs(5)) {
  ClientConfig c;
  c.host = "127.0.0.1";
  c.port = port;
  c.connect_timeout = connect_timeout;
  return c;
}

TEST(ConnectSetup, ConfigurationRefusedBeforeAnySocketIsOpened) {
  Listener listener;
  struct Case {
    uint64_t revision;
    Duration connect_timeout;
    ErrorKind kind;
    std::string text;
  };
  const Case cases[] = {
      {54458, Duration::from_secs(1), ErrorKind::Protocol,
       "protocol error: protocol revision 54458 is below the supported minimum 54459"},
      {54484, Duration::from_secs(1), ErrorKind::Protocol,
       "protocol error: protocol revision 54484 is not enabled; max supported is 54483"},
      {54483, Duration{}, ErrorKind::Config,
       "configuration error: connect_timeout must be greater than zero; Duration::ZERO would "
       "remove the connect deadline"},
  };
  for (const Case& c : cases) {
    ClientConfig config = config_for(listener.port(), c.connect_timeout);
    config.revision = c.revision;
    auto r = SyncClient::connect_with_config(config, stub_handshake);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().to_string(), c.text);
    EXPECT_FALSE(listener.has_pending()) << "a socket was opened for " << c.revision;
  }
  // The window's edges are accepted.
  for (uint64_t revision : {54459, 54483}) {
    Peer peer(listener, answer_ok);
    ClientConfig config = config_for(listener.port());
    config.revision = revision;
    auto r = SyncClient::connect_with_config(config, stub_handshake);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  }
}

TEST(ConnectSetup, RefusingAddressesAreSkippedAndTheLastErrorKept) {
  Listener listener;
  Peer peer(listener, answer_ok);
  const uint16_t refused = testing::refused_port();
  const SocketAddr addrs[] = {SocketAddr::v4_loopback(refused), listener.addr()};
  auto r = SyncClient::connect_to_addresses(addrs, config_for(listener.port()), stub_handshake);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->server_info().name, "stub");

  const SocketAddr none[] = {SocketAddr::v4_loopback(refused), SocketAddr::v4_loopback(refused)};
  auto all = SyncClient::connect_to_addresses(none, config_for(1), stub_handshake);
  ASSERT_FALSE(all.ok());
  ASSERT_TRUE(all.error().is_io(base::IoKind::Other)) << all.error().to_string();
  EXPECT_EQ(all.error().io_error().os_code, ECONNREFUSED);
}

TEST(ConnectSetup, SilentServerTimesOutAndTheNextAddressIsTried) {
  Listener silent;  // accepts in the kernel, never answers
  Listener working;
  Peer peer(working, answer_ok);
  ClientConfig config = config_for(silent.port(), Duration::from_millis(300));
  // Alone, the silent server fails the connect with the set-up time-out.
  auto lone = SyncClient::connect_with_config(config);
  ASSERT_FALSE(lone.ok());
  EXPECT_EQ(lone.error().kind(), ErrorKind::Timeout);
  EXPECT_EQ(lone.error().to_string(),
            "timeout: connection setup to 127.0.0.1:" + std::to_string(silent.port()) +
                " did not complete within 300ms");
  // Followed by a working address, the connect goes on to it.
  const SocketAddr addrs[] = {silent.addr(), working.addr()};
  auto r = SyncClient::connect_to_addresses(addrs, config, stub_handshake);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
}

TEST(ConnectSetup, WatchdogCutsASetupThatHasNoSocketTimeout) {
  Listener silent;
  auto blocking = [](Transport& t, const ClientConfig&) -> base::Result<ServerInfo> {
    // Without socket time-outs only the watchdog can end this read.
    TW_TRY(t.socket().set_read_timeout(std::nullopt));
    uint8_t b;
    TW_TRY(t.read_exact(&b, 1));
    return ServerInfo{};
  };
  auto r = SyncClient::connect_with_config(config_for(silent.port(), Duration::from_millis(200)),
                                           blocking);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Timeout) << r.error().to_string();
}

TEST(ConnectSetup, HandshakeFinishingAfterTheBudgetStillTimesOut) {
  Listener listener;
  auto late = [](Transport&, const ClientConfig&) -> base::Result<ServerInfo> {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return ServerInfo{};
  };
  auto r = SyncClient::connect_with_config(config_for(listener.port(), Duration::from_millis(100)),
                                           late);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Timeout);
}

TEST(ConnectSetup, OtherErrorsEndTheConnectAtTheFirstAddress) {
  Listener first, second;
  auto refused = [](Transport&, const ClientConfig&) -> base::Result<ServerInfo> {
    return base::Error::auth("Authentication failed (code 516): bad password");
  };
  const SocketAddr addrs[] = {first.addr(), second.addr()};
  auto r = SyncClient::connect_to_addresses(addrs, config_for(first.port()), refused);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Auth);
  EXPECT_FALSE(second.has_pending());

  // An invalid TLS domain too.
  auto tls = TlsConfig::build(std::nullopt, std::nullopt, std::nullopt);
  ASSERT_TRUE(tls.ok()) << tls.error().to_string();
  ClientConfig config = config_for(first.port()).with_tls(*tls, "");
  auto t = SyncClient::connect_to_addresses(addrs, config, stub_handshake);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().to_string(), "protocol error: invalid TLS domain ''");
  EXPECT_FALSE(second.has_pending());
}

TEST(ConnectSetup, SocketTimeoutsAfterSetup) {
  Listener listener;
  {
    Peer peer(listener, answer_ok);
    // With a budget of centuries, a watchdog that slept out its budget would hang here.
    ClientConfig config = config_for(listener.port(), Duration{UINT64_MAX, 999999999});
    config.query_timeout = Duration::from_secs(42);
    auto r = SyncClient::connect_with_config(config, stub_handshake);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    timeval rcv{}, snd{};
    socklen_t len = sizeof rcv;
    getsockopt(r->transport().socket().fd(), SOL_SOCKET, SO_RCVTIMEO, &rcv, &len);
    getsockopt(r->transport().socket().fd(), SOL_SOCKET, SO_SNDTIMEO, &snd, &len);
    EXPECT_EQ(rcv.tv_sec, 42);
    EXPECT_EQ(snd.tv_sec, 0);
    EXPECT_EQ(snd.tv_usec, 0);
    // A duplicate handle shuts the connection down from outside.
    auto handle = r->socket_shutdown_handle();
    ASSERT_TRUE(handle.ok());
    handle->shutdown_both();
    uint8_t b;
    EXPECT_FALSE(r->transport().read_exact(&b, 1).ok());
  }
  // A zero query time-out fails every address after its handshake.
  Peer peer(listener, answer_ok);
  ClientConfig config = config_for(listener.port());
  config.query_timeout = Duration{};
  auto r = SyncClient::connect_with_config(config, stub_handshake);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "I/O error: cannot set a 0 duration timeout");
}

TEST(Credentials, WipedInPlaceToTheEndOfTheBuffer) {
  for (size_t length : {1, 40}) {  // the inline buffer and a heap one
    std::string secret(length, 'p');
    const char* data = secret.data();
    const size_t capacity = secret.capacity();
    wipe_string(secret);
    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(secret.data(), data);
    EXPECT_EQ(std::string(data, capacity + 1), std::string(capacity + 1, '\0'));
  }
}

TEST(Credentials, MovingAConfigLeavesNoCopyBehind) {
  // Short texts live in the string's inline buffer, which a move copies rather than steals.
  using Buffers = std::vector<std::string_view>;
  auto credentials = [](const ClientConfig& c) {
    Buffers out;
    for (const std::string* s : {&c.user, &c.password, &c.initial_user}) {
      out.emplace_back(s->data(), s->capacity() + 1);
    }
    return out;
  };
  auto expect_wiped_and_moved = [](const Buffers& old, const ClientConfig& now) {
    for (std::string_view bytes : old) EXPECT_EQ(bytes, std::string(bytes.size(), '\0'));
    EXPECT_EQ(now.user, "u");
    EXPECT_EQ(now.password, "pw");
    EXPECT_EQ(now.initial_user, "iu");
    EXPECT_EQ(now.port, 1234);
  };
  ClientConfig source;
  source.user = "u";
  source.password = "pw";
  source.initial_user = "iu";
  source.port = 1234;
  Buffers before = credentials(source);
  ClientConfig constructed(std::move(source));
  expect_wiped_and_moved(before, constructed);
  before = credentials(constructed);
  ClientConfig assigned;
  assigned = std::move(constructed);
  expect_wiped_and_moved(before, assigned);
}

}  // namespace
}  // namespace tarnwick::sync
