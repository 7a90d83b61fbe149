// LowCardinality columns against the real server, which is the oracle both ways: bodies made by
// encode_low_cardinality are inserted and read back cast to plain types (the server's own decoding
// of our layout), and the server's LowCardinality answer for the same rows expands to the plain
// bodies we started from. Needs TARNWICK_CH_TCP; skipped without it unless
// TARNWICK_REQUIRE_REAL_SERVER=1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/raw_session.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::testing {
namespace {

using ByteVec = std::vector<uint8_t>;

constexpr uint64_t kRows = 700;

// Per column: its type, the plain type it is read back as, and its plain body over kRows rows.
// 300 distinct strings plus the default give UInt16 indexes; NULL, '' and 0 all appear.
struct Case {
  const char* name;
  const char* type;
  const char* plain;
  ByteVec body;
};

std::vector<Case> cases() {
  Wire s, ns_nulls, ns_values, n8_nulls, n8_values;
  for (uint64_t i = 0; i < kRows; ++i) {
    s.str(i % 10 == 0 ? "" : "s" + std::to_string(i % 300));
    const bool null = i % 7 == 0;
    ns_nulls.bytes({null});
    ns_values.str(null || i % 5 == 0 ? "" : "n\xc3\xa9" + std::to_string(i % 3));
    n8_nulls.bytes({i % 4 == 0});
    n8_values.bytes({static_cast<uint8_t>(i % 4 == 0 ? 0 : i % 3)});
  }
  return {{"s", "LowCardinality(String)", "String", s.get()},
          {"ns", "LowCardinality(Nullable(String))", "Nullable(String)",
           Wire(ns_nulls).raw(ns_values).get()},
          {"n8", "LowCardinality(Nullable(UInt8))", "Nullable(UInt8)",
           Wire(n8_nulls).raw(n8_values).get()}};
}

::testing::AssertionResult ok(const base::Status& st) {
  if (st.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << st.error().to_string();
}

// The one block of rows a SELECT answers with.
RawBlock select_block(const std::string& address, const std::string& query) {
  RawSession session;
  EXPECT_TRUE(ok(session.open(address)));
  EXPECT_TRUE(ok(session.send_query(query)));
  auto reply = session.read_reply();
  EXPECT_TRUE(reply.ok()) << reply.error().to_string();
  if (!reply.ok()) return {};
  EXPECT_FALSE(reply->exception) << *reply->exception;
  for (RawBlock& block : reply->blocks) {
    if (block.rows != 0) return std::move(block);
  }
  ADD_FAILURE() << "no rows for " << query;
  return {};
}

TEST(RealServerLowCardinality, OurEncodingInsertsAndTheServersExpands) {
  const char* addr = std::getenv("TARNWICK_CH_TCP");
  if (addr == nullptr || *addr == '\0') {
    const char* require = std::getenv("TARNWICK_REQUIRE_REAL_SERVER");
    if (require != nullptr && std::string(require) == "1") GTEST_FAIL() << "TARNWICK_CH_TCP unset";
    GTEST_SKIP() << "TARNWICK_CH_TCP not set";
  }
  const std::string table = "tarnwick_lc_" + std::to_string(::getpid());
  const std::vector<Case> columns = cases();
  std::string create = "CREATE TABLE " + table + " (id UInt64";
  RawBlock insert{kRows, {{"id", "UInt64", {}}}};
  std::string read_plain = "SELECT", read_lc = "SELECT";
  Wire ids;
  for (uint64_t i = 0; i < kRows; ++i) ids.u64(i);
  insert.columns[0].body = ids.get();
  for (const Case& c : columns) {
    create += std::string(", ") + c.name + " " + c.type;
    const protocol::ColumnType type = *protocol::parse_type(c.type);
    auto encoded = protocol::encode_low_cardinality(type.inner(), c.body, kRows);
    ASSERT_TRUE(encoded.ok()) << encoded.error().to_string();
    insert.columns.push_back(
        {c.name, c.type, ByteVec(encoded->data(), encoded->data() + encoded->size())});
    read_plain +=
        std::string(&c == &columns[0] ? " " : ", ") + "CAST(" + c.name + " AS " + c.plain + ")";
    read_lc += std::string(&c == &columns[0] ? " " : ", ") + c.name;
  }
  const std::string order = " FROM " + table + " ORDER BY id";

  RawSession session;
  ASSERT_TRUE(ok(session.open(addr)));
  ASSERT_TRUE(ok(session.execute("SET allow_experimental_low_cardinality_type = 1")));
  ASSERT_TRUE(ok(session.execute("DROP TABLE IF EXISTS " + table)));
  ASSERT_TRUE(ok(session.execute(create + ") ENGINE = Memory")));
  ASSERT_TRUE(ok(session.send_query("INSERT INTO " + table + " VALUES")));
  auto header = session.read_reply(/*stop_at_data=*/true);
  ASSERT_TRUE(header.ok() && !header->exception) << (header.ok() ? *header->exception : "");
  base::ByteBuffer payload;
  write_raw_block(payload, insert);
  auto frame = compression::encode_frame(payload.span(), compression::kMethodLz4);
  ASSERT_TRUE(frame.ok());
  ASSERT_TRUE(ok(session.send(raw_data_packet(frame->span()).span())));
  ASSERT_TRUE(ok(session.send_end_of_data()));
  auto done = session.read_reply();
  ASSERT_TRUE(done.ok() && !done->exception) << (done.ok() ? *done->exception : "");

  const RawBlock plain = select_block(addr, read_plain + order);
  const RawBlock expanded = select_block(addr, read_lc + order);
  EXPECT_TRUE(ok(session.execute("DROP TABLE " + table)));
  ASSERT_EQ(plain.columns.size(), columns.size());
  ASSERT_EQ(expanded.columns.size(), columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(plain.columns[i].body, columns[i].body) << "server's reading of " << columns[i].type;
    EXPECT_EQ(expanded.columns[i].type, columns[i].type);
    EXPECT_EQ(expanded.columns[i].body, columns[i].body) << "our reading of " << columns[i].type;
  }
}

}  // namespace
}  // namespace tarnwick::testing
