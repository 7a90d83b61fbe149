// The client against the real server (revision 54412, no chunked framing).
#include "support/real_server.h"

#include <gtest/gtest.h>

#include <map>
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

// Below revision 54429 the server reads settings in a typed binary form: the client sends none,
// and refuses one it was given before anything of that exchange is written.
TEST(RealServer, SettingsAreRefusedBelowTheirRevision) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
  ClientConfig config = config_for(addr);
  config.settings["max_threads"] = "2";
  auto client = SyncClient::connect_with_config(config);
  ASSERT_TRUE(client.ok()) << client.error().to_string();
  const std::string refused =
      "protocol error: setting 'max_threads' cannot be sent at protocol revision 54412: servers "
      "below revision 54429 read settings in a typed binary form; settings need revision 54429 or "
      "later";
  auto r = client->query_with_params_settings_and_ignored_part_uuids("SELECT 1", {}, nullptr, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), refused);
  EXPECT_FALSE(client->broken());
  EXPECT_TRUE(client->ping().ok());  // nothing of the query was written

  auto plain = SyncClient::connect_with_config(config_for(addr));
  ASSERT_TRUE(plain.ok()) << plain.error().to_string();
  const std::map<std::string, std::string> overlay = {{"max_block_size", "10"}};
  auto o = plain->query_with_params_settings_and_ignored_part_uuids("SELECT 1", {}, &overlay, {});
  ASSERT_FALSE(o.ok());
  EXPECT_NE(o.error().to_string().find("setting 'max_block_size'"), std::string::npos);
  auto rows = plain->query_with_params_settings_and_ignored_part_uuids(
      "SELECT toUInt8(number) AS n FROM system.numbers LIMIT 3", {}, nullptr, {});
  ASSERT_TRUE(rows.ok()) << rows.error().to_string();
  std::string values;
  for (const auto& block : *rows) values += block.rows == 0 ? "" : block.columns[0].data.view();
  EXPECT_EQ(values, std::string("\x00\x01\x02", 3));
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
