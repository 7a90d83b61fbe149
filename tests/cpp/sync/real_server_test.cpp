// The client against the real server (revision 54412, no chunked framing).
#include "support/real_server.h"

#include <gtest/gtest.h>

#include <string>

#include "tarnwick/sync/client.h"
#include "tarnwick/sync/tls.h"

namespace tarnwick::sync {
namespace {

ClientConfig config_for(const std::string& addr) {
  ClientConfig config;
  config.host = addr.substr(0, addr.rfind(':'));
  config.port = static_cast<uint16_t>(std::stoul(addr.substr(addr.rfind(':') + 1)));
  config.connect_timeout = base::Duration::from_secs(10);
  return config;
}

TEST(RealServer, HandshakePingAndTablesStatus) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
  auto client = SyncClient::connect_with_config(config_for(addr));
  ASSERT_TRUE(client.ok()) << client.error().to_string();
  const ServerInfo& info = client->server_info();
  EXPECT_EQ(info.name, "ClickHouse");
  EXPECT_EQ(info.revision, 54412u);
  EXPECT_EQ(info.negotiated_revision, 54412u);
  EXPECT_EQ(client->query_template().revision, 54412u);
  EXPECT_FALSE(info.send_chunked || info.recv_chunked);
  EXPECT_EQ(info.display_name, "tarnwick-test");
  ASSERT_TRUE(client->ping().ok());
  const QualifiedTableName names[] = {{"system", "one"}, {"system", "numbers"}};
  auto status = client->tables_status(names);
  ASSERT_TRUE(status.ok()) << status.error().to_string();
  ASSERT_EQ(status->size(), 2u);
  EXPECT_EQ(status->at(names[0]), TableStatus{});  // not replicated
  EXPECT_TRUE(client->ping().ok());
}

TEST(RealServer, PasswordsAreChecked) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
  ClientConfig config = config_for(addr);
  config.user = "tarnwick";
  config.password = "wrong";
  auto refused = SyncClient::connect_with_config(config);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), base::ErrorKind::Auth) << refused.error().to_string();
  EXPECT_NE(refused.error().message().find("(code "), std::string::npos);
  config.password = "s3cret";
  auto accepted = SyncClient::connect_with_config(config);
  EXPECT_TRUE(accepted.ok()) << accepted.error().to_string();
}

// Below revision 54429 the server expects settings in their older binary form and does not know
// the setting the client always adds: it answers the Query packet with an ordinary Exception.
TEST(RealServer, QueryReturnsTheServerError) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
  auto client = SyncClient::connect_with_config(config_for(addr));
  ASSERT_TRUE(client.ok()) << client.error().to_string();
  auto r = client->query_with_params_settings_and_ignored_part_uuids("SELECT 1", {}, nullptr, {});
  ASSERT_FALSE(r.ok());
  ASSERT_EQ(r.error().kind(), base::ErrorKind::Server) << r.error().to_string();
  EXPECT_EQ(r.error().server_code(), 115);  // UNKNOWN_SETTING
  EXPECT_EQ(r.error().server_name(), "DB::Exception");
  EXPECT_NE(r.error().message().find("output_format_native_write_json_as_string"),
            std::string::npos)
      << r.error().message();
  EXPECT_FALSE(client->broken());  // a clean end of the exchange on the client's side
}

TEST(RealServer, TlsHandshake) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TLS");
  const std::string ca = testing::env_or_empty("TARNWICK_CH_CA");
  ASSERT_FALSE(ca.empty());
  auto tls = TlsConfig::build(ca, std::nullopt, std::nullopt);
  ASSERT_TRUE(tls.ok()) << tls.error().to_string();
  for (const char* domain : {"localhost", "127.0.0.1"}) {
    auto r = SyncClient::connect_with_config(config_for(addr).with_tls(*tls, domain));
    ASSERT_TRUE(r.ok()) << domain << ": " << r.error().to_string();
    EXPECT_TRUE(r->transport().is_tls());
  }
  // The system trust store does not know the test CA.
  auto system = TlsConfig::build(std::nullopt, std::nullopt, std::nullopt);
  ASSERT_TRUE(system.ok());
  auto refused = SyncClient::connect_with_config(config_for(addr).with_tls(*system, "localhost"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), base::ErrorKind::Io) << refused.error().to_string();
}

}  // namespace
}  // namespace tarnwick::sync
