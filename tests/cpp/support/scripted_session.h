// A client connected to the scripted server running the "script" scenario with given steps.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/scripted_server.h"
#include "tarnwick/sync/client.h"

namespace tarnwick::testing {

using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::pair<std::string, std::string>>;

// A scripted server running `steps` and a client connected to it.
struct ScriptedSession {
  ScriptedServer server;
  std::optional<sync::SyncClient> client;

  ScriptedSession(std::string steps, Args args = {},
                  std::function<void(sync::ClientConfig&)> tweak = {})
      : server({.scenario = "script", .args = with_steps(std::move(args), std::move(steps))}) {
    EXPECT_TRUE(server.ok()) << server.error();
    sync::ClientConfig config;
    config.host = "127.0.0.1";
    config.port = server.port();
    config.query_timeout = base::Duration::from_secs(5);
    if (tweak) tweak(config);
    auto c = sync::SyncClient::connect_with_config(std::move(config));
    EXPECT_TRUE(c.ok()) << c.error().to_string();
    if (c.ok()) client.emplace(std::move(c).value());
  }
  static Args with_steps(Args args, std::string steps) {
    args.emplace_back("steps", std::move(steps));
    return args;
  }
  sync::SyncClient& operator*() { return *client; }
  sync::SyncClient* operator->() { return &*client; }

  base::Result<std::vector<protocol::Block>> query(std::string_view text = "SELECT x") {
    return client->query_with_params_settings_and_ignored_part_uuids(text, {}, nullptr, {});
  }
  // Closes the client and returns what the server received (chunk framing kept), after checking
  // that the script ran to its end.
  Bytes finish(bool script_ok = true) {
    client.reset();
    int status = server.wait_exit(20000);
    if (script_ok) {
      EXPECT_EQ(status, 0) << server.wait_status(0, 100);
    }
    return server.record(0, "raw_in").value_or(Bytes{});
  }
};

// The client's connection failed midway: every later exchange is refused as broken.
inline void expect_broken(ScriptedSession& s) {
  auto next = s.query();
  ASSERT_FALSE(next.ok()) << "a broken connection returned rows";
  EXPECT_TRUE(next.error().is_io(base::IoKind::NotConnected)) << next.error().to_string();
  EXPECT_TRUE(s->broken());
  EXPECT_FALSE(s->ping().ok());
}

}  // namespace tarnwick::testing
