// Connection set-up against a real server, when tests/server/clickhouse/real_server.sh started one
// and exported TARNWICK_CH_TCP / TARNWICK_CH_TLS / TARNWICK_CH_CA. Skipped when they are unset,
// unless TARNWICK_REQUIRE_REAL_SERVER=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tarnwick/sync/client.h"
#include "tarnwick/sync/tls.h"

namespace tarnwick::sync {
namespace {

bool server_required() {
  const char* v = std::getenv("TARNWICK_REQUIRE_REAL_SERVER");
  return v != nullptr && std::string(v) == "1";
}

// Fills host and port from "host:port" in `var`; false when the variable is unset.
bool endpoint(const char* var, ClientConfig& config) {
  const char* v = std::getenv(var);
  if (v == nullptr || *v == '\0') return false;
  std::string text(v);
  size_t colon = text.rfind(':');
  config.host = text.substr(0, colon);
  config.port = static_cast<uint16_t>(std::stoul(text.substr(colon + 1)));
  config.connect_timeout = base::Duration::from_secs(10);
  return true;
}

#define REQUIRE_ENDPOINT(var, config)                                \
  do {                                                               \
    if (!endpoint(var, config)) {                                    \
      if (server_required()) FAIL() << var << " is not set";         \
      GTEST_SKIP() << var << " is not set (no real server started)"; \
    }                                                                \
  } while (0)

TEST(RealServerConnect, PlainHandshake) {
  ClientConfig config;
  REQUIRE_ENDPOINT("TARNWICK_CH_TCP", config);
  auto r = SyncClient::connect_with_config(config);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const ServerInfo& info = r->server_info();
  EXPECT_FALSE(info.name.empty());
  EXPECT_GE(info.revision, 54000u);
  EXPECT_EQ(info.negotiated_revision, std::min<uint64_t>(info.revision, kMaxRevision));
}

TEST(RealServerConnect, WrongPasswordIsAnAuthenticationError) {
  ClientConfig config;
  REQUIRE_ENDPOINT("TARNWICK_CH_TCP", config);
  config.password = "not-the-password";
  auto r = SyncClient::connect_with_config(config);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), base::ErrorKind::Auth) << r.error().to_string();
}

TEST(RealServerConnect, TlsHandshake) {
  ClientConfig config;
  REQUIRE_ENDPOINT("TARNWICK_CH_TLS", config);
  const char* ca = std::getenv("TARNWICK_CH_CA");
  ASSERT_NE(ca, nullptr);
  auto tls = TlsConfig::build(std::string(ca), std::nullopt, std::nullopt);
  ASSERT_TRUE(tls.ok()) << tls.error().to_string();
  for (const char* domain : {"localhost", "127.0.0.1"}) {
    auto r = SyncClient::connect_with_config(ClientConfig(config).with_tls(*tls, domain));
    ASSERT_TRUE(r.ok()) << domain << ": " << r.error().to_string();
    EXPECT_TRUE(r->transport().is_tls());
    EXPECT_FALSE(r->server_info().name.empty());
  }
  // The system trust store does not know the test CA.
  auto system = TlsConfig::build(std::nullopt, std::nullopt, std::nullopt);
  ASSERT_TRUE(system.ok());
  auto refused =
      SyncClient::connect_with_config(ClientConfig(config).with_tls(*system, "localhost"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), base::ErrorKind::Io) << refused.error().to_string();
}

}  // namespace
}  // namespace tarnwick::sync
