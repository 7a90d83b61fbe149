// The real server started by tests/server/clickhouse/real_server.sh (Debian's clickhouse-server
// 18.16), named by TARNWICK_CH_TCP / TARNWICK_CH_TLS / TARNWICK_CH_CA. Tests skip without it,
// unless TARNWICK_REQUIRE_REAL_SERVER=1.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tarnwick::testing {

inline std::string env_or_empty(const char* var) {
  const char* v = std::getenv(var);
  return v == nullptr ? std::string() : std::string(v);
}

}  // namespace tarnwick::testing

// Declares `std::string addr` from `var`, or skips (fails when a real server is required).
#define REAL_SERVER_OR_SKIP(addr, var)                                              \
  const std::string addr = ::tarnwick::testing::env_or_empty(var);                  \
  if (addr.empty()) {                                                               \
    if (::tarnwick::testing::env_or_empty("TARNWICK_REQUIRE_REAL_SERVER") == "1") { \
      GTEST_FAIL() << var << " is not set";                                         \
    }                                                                               \
    GTEST_SKIP() << var << " is not set (no real server started)";                  \
  }
