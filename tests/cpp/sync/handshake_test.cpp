#include "tarnwick/sync/handshake.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/sources.h"
#include "support/wire_builder.h"

namespace tarnwick::sync {
namespace {

using testing::hex;
using testing::to_wire;
using testing::Wire;
using Bytes = std::vector<uint8_t>;

// A client Hello, byte by byte; `revision` is the low byte of the revision varint.
Wire client_hello(std::string_view database, std::string_view user, std::string_view password,
                  uint8_t revision = 0xD3) {
  return std::move(Wire()
                       .bytes({0x00})
                       .str("tarnwick-sync")
                       .bytes({0x1A, 0x04, revision, 0xA9, 0x03})
                       .str(database)
                       .str(user)
                       .str(password));
}

// The client Hello of a default configuration at revision 54483.
const Bytes kDefaultHello = client_hello("", "default", "");

struct ServerModes {
  std::string send;  // server to client
  std::string recv;  // client to server
};

// A server Hello announcing `announced` (default `revision`), with every field a peer of
// `revision` reads.
Bytes server_hello(uint64_t revision,
                   const ServerModes& modes = {"chunked_optional", "chunked_optional"},
                   uint64_t announced = 0) {
  Wire g;
  g.bytes({0x00}).str("ClickHouse").bytes({24, 8}).varint(announced ? announced : revision);
  if (revision >= 54471) g.bytes({0x03});
  g.str("UTC").str("srv").bytes({0x05});  // all three exist from 54401 on
  if (revision >= 54470) g.str(modes.send).str(modes.recv);
  if (revision >= 54461) g.bytes({0x01}).str("^.{8}$").str("eight characters");
  if (revision >= 54462) g.bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01});
  if (revision >= 54474) g.str("max_threads").bytes({0x01}).str("8").str("");
  if (revision >= 54477) g.bytes({0x09});
  if (revision >= 54479) g.bytes({0x0B});
  return g;
}

struct Exchange {
  base::Result<ServerInfo> info;
  Bytes sent;
  size_t unread;
};

Exchange run(const ClientConfig& config, const Bytes& server) {
  base::MemorySource in(server);
  base::BufferSink out;
  auto info = perform_handshake(in, out, config);
  return {std::move(info), to_wire(out.buffer), in.remaining()};
}

TEST(HandshakeTest, RevisionMatrix) {
  // Each gate (54458, 54461, 54462, 54470, 54471, 54474, 54477, 54479) at and just below.
  const uint64_t revisions[] = {54412, 54458, 54461, 54462, 54469, 54470,
                                54471, 54474, 54477, 54479, 54483};
  const struct {
    ServerModes server;
    bool send_chunked;
    bool recv_chunked;
  } modes[] = {
      {{"chunked_optional", "chunked_optional"}, true, true},
      {{"notchunked", "notchunked"}, false, false},
      {{"chunked", "notchunked"}, false, true},
      {{"notchunked_optional", "chunked"}, true, true},
  };
  ClientConfig config;
  for (uint64_t r : revisions) {
    for (const auto& m : modes) {
      SCOPED_TRACE(::testing::Message() << r << " " << m.server.send << "/" << m.server.recv);
      Exchange x = run(config, server_hello(r, m.server));
      ASSERT_TRUE(x.info.ok()) << x.info.error().to_string();
      const ServerInfo& info = *x.info;
      EXPECT_EQ(x.unread, 0u);
      EXPECT_EQ(info.negotiated_revision, r);
      EXPECT_EQ(info.display_name, "srv");
      EXPECT_EQ(info.version_patch, 5u);
      EXPECT_EQ(info.parallel_replicas_version, r >= 54471 ? 3u : 7u);
      EXPECT_EQ(info.password_complexity_rules.size(), r >= 54461 ? 1u : 0u);
      EXPECT_EQ(info.nonce,
                r >= 54462 ? std::optional<uint64_t>(0x0102030405060708) : std::nullopt);
      EXPECT_EQ(info.version_54477, r >= 54477 ? std::optional<uint64_t>(9) : std::nullopt);
      EXPECT_EQ(info.version_54479, r >= 54479 ? 11u : 6u);
      const bool negotiated = r >= 54470;
      EXPECT_EQ(info.send_chunked, negotiated && m.send_chunked);
      EXPECT_EQ(info.recv_chunked, negotiated && m.recv_chunked);

      Wire expected;
      expected.raw(kDefaultHello);
      if (r >= 54458) expected.str("");  // quota key
      if (r >= 54470) {
        expected.str(m.send_chunked ? "chunked" : "notchunked");
        expected.str(m.recv_chunked ? "chunked" : "notchunked");
      }
      if (r >= 54471) expected.bytes({0x07});
      EXPECT_EQ(hex(x.sent), hex(expected));
    }
  }
}

// The answer of Debian's clickhouse-server 18.16 to kDefaultHello, captured on loopback.
TEST(HandshakeTest, CapturedOldServerHello) {
  const Bytes captured = {0x00, 0x0a, 0x43, 0x6c, 0x69, 0x63, 0x6b, 0x48, 0x6f, 0x75,
                          0x73, 0x65, 0x12, 0x10, 0x8c, 0xa9, 0x03, 0x07, 0x45, 0x74,
                          0x63, 0x2f, 0x55, 0x54, 0x43, 0x0d, 0x74, 0x61, 0x72, 0x6e,
                          0x77, 0x69, 0x63, 0x6b, 0x2d, 0x74, 0x65, 0x73, 0x74, 0x01};
  Exchange x = run(ClientConfig(), captured);
  ASSERT_TRUE(x.info.ok()) << x.info.error().to_string();
  EXPECT_EQ(x.unread, 0u);
  EXPECT_EQ(x.info->name, "ClickHouse");
  EXPECT_EQ(x.info->version_major, 18u);
  EXPECT_EQ(x.info->version_minor, 16u);
  EXPECT_EQ(x.info->version_patch, 1u);
  EXPECT_EQ(x.info->negotiated_revision, 54412u);
  EXPECT_EQ(x.info->timezone, "Etc/UTC");
  EXPECT_EQ(x.info->display_name, "tarnwick-test");
  EXPECT_EQ(x.sent, kDefaultHello);  // no addendum below 54458
}

TEST(HandshakeTest, ServerAboveConfiguredRevisionIsReadAtTheConfiguredOne) {
  ClientConfig config;
  config.revision = 54470;
  Exchange x = run(config, server_hello(54470, {"chunked_optional", "chunked_optional"}, 54483));
  ASSERT_TRUE(x.info.ok()) << x.info.error().to_string();
  EXPECT_EQ(x.unread, 0u);
  EXPECT_EQ(x.info->revision, 54483u);
  EXPECT_EQ(x.info->negotiated_revision, 54470u);
  Wire expected = client_hello("", "default", "", 0xC6);
  expected.str("").str("chunked").str("chunked");  // no replicas version below 54471
  EXPECT_EQ(hex(x.sent), hex(expected));
}

TEST(HandshakeTest, ChunkedModeChoice) {
  const struct {
    const char* server;
    const char* client;
    bool chunked;
    const char* error;
  } cases[] = {
      {"chunked_optional", "chunked_optional", true, nullptr},
      {"chunked_optional", "notchunked", false, nullptr},
      {"notchunked", "chunked_optional", false, nullptr},
      {"chunked", "chunked_optional", true, nullptr},
      {"", "notchunked", false, nullptr},
      {"notchunked", "chunked", false,
       "incompatible chunked protocol for send: client requests chunked, server requires "
       "notchunked"},
      {"bogus", "chunked", false,
       "incompatible chunked protocol for send: client requests chunked, server requires "
       "notchunked"},
  };
  for (const auto& c : cases) {
    auto r = choose_chunked_mode(c.server, c.client, "send");
    if (c.error) {
      ASSERT_FALSE(r.ok()) << c.server << " " << c.client;
      EXPECT_EQ(r.error().kind(), base::ErrorKind::Protocol);
      EXPECT_EQ(r.error().message(), c.error);
    } else {
      ASSERT_TRUE(r.ok()) << c.server << " " << c.client;
      EXPECT_EQ(*r, c.chunked) << c.server << " " << c.client;
    }
  }
}

// Refusals: of the configuration before anything is written, of the server's Hello after the
// client's, with nothing more sent.
TEST(HandshakeTest, Refusals) {
  auto config = [](uint64_t revision, std::string send, std::string recv, bool signer) {
    ClientConfig c;
    c.revision = revision;
    c.proto_send_chunked = send;
    c.proto_recv_chunked = recv;
    if (signer) {
      c.ssh_signer = std::make_shared<SshSigner>(
          [](std::span<const uint8_t>) { return base::Result<std::string>("sig"); });
    }
    return c;
  };
  const ClientConfig defaults;
  const uint64_t newest = defaults.revision;
  const std::string optional = "chunked_optional";
  Wire many_rules;
  many_rules.bytes({0x00}).str("ClickHouse").bytes({24, 8, 0xD3, 0xA9, 0x03, 0x03}).str("UTC");
  many_rules.str("srv").bytes({0x05}).str(optional).str(optional).bytes({0x81, 0x80, 0x04});
  const struct {
    ClientConfig config;
    Bytes server;
    const char* error;
    Bytes sent;
  } cases[] = {
      {config(54458, optional, optional, false),
       server_hello(54483),
       "protocol revision 54458 is below the supported minimum 54459",
       {}},
      {config(54484, optional, optional, false),
       server_hello(54483),
       "protocol revision 54484 is not enabled; max supported is 54483",
       {}},
      {config(54465, optional, optional, true),
       server_hello(54483),
       "SSH-key authentication requires protocol revision >= 54466",
       {}},
      {config(newest, optional, "chunked", false), server_hello(54460),
       "server revision does not support chunked native protocol", kDefaultHello},
      {config(newest, "notchunked", optional, false), server_hello(54483, {optional, "chunked"}),
       "incompatible chunked protocol for send: client requests notchunked, server requires "
       "chunked",
       kDefaultHello},
      {defaults, many_rules, "password complexity rule count 65537 exceeds limit 65536",
       kDefaultHello},
      {defaults, Bytes{0x05}, "expected hello (0), got 5", kDefaultHello},
  };
  for (const auto& c : cases) {
    Exchange x = run(c.config, c.server);
    ASSERT_FALSE(x.info.ok()) << c.error;
    EXPECT_EQ(x.info.error().kind(), base::ErrorKind::Protocol) << c.error;
    EXPECT_EQ(x.info.error().message(), c.error);
    EXPECT_EQ(hex(x.sent), hex(c.sent)) << c.error;
  }
  // Below the addendum the modes are not consulted.
  EXPECT_TRUE(run(config(newest, optional, "chunked", false), server_hello(54412)).info.ok());
}

TEST(HandshakeTest, PasswordGoesInTheHello) {
  ClientConfig config;
  config.user = "alice";
  config.password = "s3cret";
  config.database = "db";
  base::ByteBuffer out;
  write_client_hello(out, config);
  EXPECT_EQ(hex(to_wire(out)), hex(client_hello("db", "alice", "s3cret")));
}

// One level of an Exception packet: code, name, message, stack trace, has-nested.
Wire& exception_level(Wire& g, uint8_t code, std::string_view name, std::string_view message,
                      bool nested) {
  return g.bytes({code, 0x00, 0x00, 0x00}).str(name).str(message).str("trace").bytes({nested});
}

TEST(HandshakeTest, ExceptionInsteadOfHelloIsAnAuthenticationError) {
  Wire server;
  server.bytes({0x02});
  exception_level(server, 60, "A", "x", true);
  exception_level(server, 7, "B", "y", false);
  Exchange x = run(ClientConfig(), server);
  ASSERT_FALSE(x.info.ok());
  EXPECT_EQ(x.info.error().kind(), base::ErrorKind::Auth);
  EXPECT_EQ(x.info.error().message(), "A (code 60): x | nested: B (code 7): y");
  EXPECT_EQ(x.unread, 0u);
}

// The Hello's texts share the bound of the texts kept from one packet (1 MiB): the text that
// reaches it is cut to fit there with its marker, later ones keep only the marker, the rest is
// still read.
TEST(HandshakeTest, HelloTextsAreBounded) {
  const std::string marker = "... (truncated)";
  const std::string name(700 * 1024, 'n'), display(400 * 1024, 'd');
  Wire g;
  g.bytes({0x00}).str(name).bytes({24, 8}).varint(54483).bytes({0x03});
  g.str("UTC").str(display).bytes({0x05}).str("chunked").str("chunked");
  g.bytes({0x01}).str("^.{8}$").str("eight characters");
  g.fill(8, 0x01).str("").bytes({0x09, 0x0B});
  base::MemorySource in(g.get());
  auto info = read_server_hello(in, 54483);
  ASSERT_TRUE(info.ok()) << info.error().to_string();
  EXPECT_TRUE(info->name == name);
  EXPECT_EQ(info->timezone, "UTC");
  EXPECT_TRUE(*info->display_name ==
              display.substr(0, (1 << 20) - name.size() - 3 - marker.size()) + marker);
  EXPECT_EQ(info->server_chunked_send_mode, marker);
  ASSERT_EQ(info->password_complexity_rules.size(), 1u);
  EXPECT_EQ(info->password_complexity_rules[0].second, marker);
  EXPECT_EQ(info->version_54479, 11u);
  EXPECT_EQ(in.remaining(), 0u);
}

// The bound holds for the memory the texts take, not only their lengths: rules past it keep the
// marker alone, which takes no memory of its own. 600 rules of 5000 + 4096 bytes (5.5 MB) are
// sent; the patterns cross the size in which texts are read.
TEST(HandshakeTest, HelloTextsTakeNoMoreMemoryThanTheBound) {
  const std::string marker = "... (truncated)";
  const std::string pattern(5000, 'p'), message(4096, 'm');
  constexpr size_t kRules = 600;
  Wire g;
  g.bytes({0x00}).str("ClickHouse").bytes({24, 8}).varint(54483).bytes({0x03});
  g.str("UTC").str(std::string(3000, 'd')).bytes({0x05}).str("chunked").str("chunked");
  g.varint(kRules);
  for (size_t i = 0; i < kRules; ++i) g.str(pattern).str(message);
  g.fill(8, 0x01).str("").bytes({0x09, 0x0B});
  base::MemorySource in(g.get());
  auto info = read_server_hello(in, 54483);
  ASSERT_TRUE(info.ok()) << info.error().to_string();
  EXPECT_EQ(in.remaining(), 0u);

  const size_t inline_capacity = std::string().capacity();
  size_t held = 0;
  const auto take = [&](const std::string& text) {
    if (text.capacity() > inline_capacity) held += text.capacity();
  };
  for (const std::string* text :
       {&info->name, &*info->timezone, &*info->display_name, &info->server_chunked_send_mode,
        &info->server_chunked_recv_mode}) {
    take(*text);
  }
  size_t whole = 0, cut = 0, bare = 0;
  ASSERT_EQ(info->password_complexity_rules.size(), kRules);
  for (const auto& [p, m] : info->password_complexity_rules) {
    for (const auto* pair : {&p, &m}) {
      const std::string& text = *pair;
      const std::string& sent = pair == &p ? pattern : message;
      take(text);
      if (text == sent) {
        ++whole;
      } else if (text == marker) {
        ++bare;
      } else {
        ++cut;
        EXPECT_TRUE(text.ends_with(marker) &&
                    sent.starts_with(text.substr(0, text.size() - marker.size())));
      }
    }
  }
  EXPECT_LE(held, size_t{1} << 20);
  EXPECT_EQ(whole + cut + bare, 2 * kRules);
  EXPECT_GT(whole, 200u);  // about 1 MiB of them
  EXPECT_LE(cut, 1u);
  EXPECT_EQ(info->password_complexity_rules.back().second, marker);
}

TEST(HandshakeTest, EveryTruncatedServerHelloFailsCleanly) {
  for (uint64_t r : {54412, 54460, 54470, 54483}) {
    Bytes full = server_hello(r);
    for (size_t n = 0; n < full.size(); ++n) {
      Bytes prefix(full.begin(), full.begin() + n);
      testing::OneByteSource in(prefix);
      base::BufferSink out;
      auto info = perform_handshake(in, out, ClientConfig());
      ASSERT_FALSE(info.ok()) << r << " " << n;
      EXPECT_TRUE(info.error().is_io(base::IoKind::UnexpectedEof)) << info.error().to_string();
    }
  }
}

std::shared_ptr<const SshSigner> recording_signer(std::string* seen,
                                                  base::Result<std::string> answer) {
  return std::make_shared<SshSigner>([seen, answer](std::span<const uint8_t> message) {
    seen->assign(message.begin(), message.end());
    return answer;
  });
}

TEST(HandshakeTest, SshKeyChallengeIsSigned) {
  std::string seen;
  ClientConfig config;
  config.ssh_signer = recording_signer(&seen, std::string("SIG"));
  Bytes server = Wire().bytes({0x12}).str("XY").raw(server_hello(54483));
  Exchange x = run(config, server);
  ASSERT_TRUE(x.info.ok()) << x.info.error().to_string();
  EXPECT_EQ(seen, "54483defaultXY");
  EXPECT_EQ(x.unread, 0u);
  Wire expected = client_hello("", " SSH KEY AUTHENTICATION default", "");
  expected.bytes({0x0B});
  expected.bytes({0x0C}).str("SIG");
  expected.str("").str("chunked").str("chunked").bytes({0x07});
  EXPECT_EQ(hex(x.sent), hex(expected));

  std::vector<uint8_t> challenge = {'X', 'Y'};
  EXPECT_EQ(ssh_signature_message(54483, "db", "u", challenge), "54483dbuXY");
}

TEST(HandshakeTest, SshRefusalAndServerErrors) {
  std::string seen;
  ClientConfig config;
  config.user = "";
  config.ssh_signer = recording_signer(&seen, base::Error::auth("no key for you"));
  Exchange refused = run(config, Wire().bytes({0x12}).str("XY").raw(server_hello(54483)));
  ASSERT_FALSE(refused.info.ok());
  EXPECT_EQ(refused.info.error().kind(), base::ErrorKind::Auth);
  EXPECT_EQ(refused.info.error().message(), "no key for you");
  // The empty user's marker is the 24 bytes alone; no challenge response follows the request.
  EXPECT_EQ(hex(refused.sent), hex(client_hello("", " SSH KEY AUTHENTICATION ", "").bytes({0x0B})));

  Wire exception;
  exception.bytes({0x02});
  exception_level(exception, 194, "AUTHENTICATION_FAILED", "bad key", false);
  Exchange denied = run(config, exception);
  ASSERT_FALSE(denied.info.ok());
  EXPECT_EQ(denied.info.error().kind(), base::ErrorKind::Auth);
  EXPECT_EQ(denied.info.error().message(), "AUTHENTICATION_FAILED (code 194): bad key");

  Exchange wrong = run(config, Bytes{0x00});
  ASSERT_FALSE(wrong.info.ok());
  EXPECT_EQ(wrong.info.error().message(), "expected SSHChallenge or Exception packet, got 0");
}

}  // namespace
}  // namespace tarnwick::sync
