// Exchanges against a real server, when tests/server/clickhouse/real_server.sh started one and
// exported TARNWICK_CH_TCP. Skipped when it is unset, unless TARNWICK_REQUIRE_REAL_SERVER=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "tarnwick/sync/client.h"

namespace tarnwick::sync {
namespace {

std::optional<SyncClient> connect_or_skip(bool& skipped) {
  const char* v = std::getenv("TARNWICK_CH_TCP");
  skipped = v == nullptr || *v == '\0';
  if (skipped) return std::nullopt;
  std::string text(v);
  ClientConfig config;
  config.host = text.substr(0, text.rfind(':'));
  config.port = static_cast<uint16_t>(std::stoul(text.substr(text.rfind(':') + 1)));
  config.query_timeout = base::Duration::from_secs(10);
  auto c = SyncClient::connect_with_config(std::move(config));
  EXPECT_TRUE(c.ok()) << c.error().to_string();
  if (!c.ok()) return std::nullopt;
  return std::move(c).value();
}

#define CONNECT_OR_SKIP(client)                                                \
  bool skipped_ = false;                                                       \
  std::optional<SyncClient> client = connect_or_skip(skipped_);                \
  if (skipped_) {                                                              \
    const char* req = std::getenv("TARNWICK_REQUIRE_REAL_SERVER");             \
    if (req != nullptr && std::string(req) == "1") FAIL() << "no real server"; \
    GTEST_SKIP() << "TARNWICK_CH_TCP is not set (no real server started)";     \
  }                                                                            \
  ASSERT_TRUE(client.has_value())

TEST(RealServerExchanges, PingAndTablesStatus) {
  CONNECT_OR_SKIP(client);
  ASSERT_TRUE(client->ping().ok());
  const QualifiedTableName names[] = {{"system", "one"}, {"system", "numbers"}};
  auto status = client->tables_status(names);
  ASSERT_TRUE(status.ok()) << status.error().to_string();
  ASSERT_EQ(status->size(), 2u);
  EXPECT_EQ(status->at(names[0]), TableStatus{});  // not replicated
  auto one = client->table_status("system", "one");
  ASSERT_TRUE(one.ok()) << one.error().to_string();
  EXPECT_TRUE(one->has_value());
  EXPECT_TRUE(client->ping().ok());
}

TEST(RealServerExchanges, QueryReturnsTheServerError) {
  CONNECT_OR_SKIP(client);
  auto r = client->query_with_params_settings_and_ignored_part_uuids("SELECT 1", {}, nullptr, {});
  if (r.ok()) GTEST_SKIP() << "this server accepts the client's settings";
  ASSERT_EQ(r.error().kind(), base::ErrorKind::Server) << r.error().to_string();
  // An old server refuses a setting the client always sends: UNKNOWN_SETTING.
  EXPECT_EQ(r.error().server_code(), 115);
  EXPECT_EQ(r.error().server_name(), "DB::Exception");
  EXPECT_NE(r.error().message().find("Unknown setting"), std::string::npos) << r.error().message();
  // A clean end of the exchange on the client's side. (This server stops reading the Query
  // packet at the refused setting and reads its rest as further packets, so it answers the next
  // exchange with more errors; that connection is not reusable.)
  EXPECT_FALSE(client->broken());
}

}  // namespace
}  // namespace tarnwick::sync
