// The real server as the oracle both ways: bodies from encode_low_cardinality are inserted and read
// back cast to plain types, and the server's own LowCardinality answer expands to the same plain
// bodies. Needs TARNWICK_CH_TCP; skipped without it unless TARNWICK_REQUIRE_REAL_SERVER=1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/raw_session.h"
#include "support/real_server.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/low_cardinality.h"

namespace tarnwick::testing {
namespace {

constexpr uint64_t kRows = 700;

TEST(RealServerLowCardinality, OurEncodingInsertsAndTheServersExpands) {
  REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
  // 300 distinct strings and the default: UInt16 indexes. NULL, '' and 0 all occur.
  Wire id, s, ns_nulls, ns, n8_nulls, n8;
  for (uint64_t i = 0; i < kRows; ++i) {
    id.u64(i);
    s.str(i % 10 == 0 ? "" : "s" + std::to_string(i % 300));
    ns_nulls.bytes({i % 7 == 0});
    ns.str(i % 7 == 0 || i % 5 == 0 ? "" : "n\xc3\xa9" + std::to_string(i % 3));
    n8_nulls.bytes({i % 4 == 0});
    n8.bytes({static_cast<uint8_t>(i % 4 == 0 ? 0 : i % 3)});
  }
  const struct {
    const char *name, *type, *plain;
    std::vector<uint8_t> body;
  } columns[] = {{"s", "LowCardinality(String)", "String", s},
                 {"ns", "LowCardinality(Nullable(String))", "Nullable(String)", ns_nulls.raw(ns)},
                 {"n8", "LowCardinality(Nullable(UInt8))", "Nullable(UInt8)", n8_nulls.raw(n8)}};
  const std::string table = "tarnwick_lc_" + std::to_string(::getpid());
  std::string create = "CREATE TABLE " + table + " (id UInt64", select = "SELECT ";
  RawBlock insert{kRows, {{"id", "UInt64", id}}};
  for (const auto& c : columns) {
    create += std::string(", ") + c.name + " " + c.type;
    auto encoded =
        protocol::encode_low_cardinality(protocol::parse_type(c.type)->inner(), c.body, kRows);
    ASSERT_TRUE(encoded.ok()) << encoded.error().to_string();
    insert.columns.push_back(
        {c.name, c.type, {encoded->data(), encoded->data() + encoded->size()}});
    select += std::string("CAST(") + c.name + " AS " + c.plain + "), ";
  }
  select += "s, ns, n8 FROM " + table + " ORDER BY id";  // cast by the server, then as stored

  RawSession session;
  ASSERT_TRUE(session.open(addr).ok());
  for (const std::string& statement :
       {std::string("SET allow_experimental_low_cardinality_type = 1"),
        "DROP TABLE IF EXISTS " + table, create + ") ENGINE = Memory"}) {
    ASSERT_TRUE(session.execute(statement).ok()) << statement;
  }
  ASSERT_TRUE(session.send_query("INSERT INTO " + table + " VALUES").ok());
  auto header = session.read_reply(/*stop_at_data=*/true);
  ASSERT_TRUE(header.ok() && !header->exception);
  base::ByteBuffer payload;
  write_raw_block(payload, insert);
  auto frame = compression::encode_frame(payload.span(), compression::kMethodLz4);
  ASSERT_TRUE(frame.ok() && session.send(raw_data_packet(frame->span()).span()).ok());
  ASSERT_TRUE(session.send_end_of_data().ok());
  uint64_t rows_read = 0;
  for (const std::string& query : {std::string(), select, "DROP TABLE " + table}) {
    if (!query.empty()) {
      ASSERT_TRUE(session.send_query(query).ok());
    }
    auto reply = session.read_reply();  // the insert's end, the rows, the drop
    ASSERT_TRUE(reply.ok() && !reply->exception) << (reply.ok() ? *reply->exception : query);
    for (const RawBlock& block : reply->blocks) {
      if (block.rows == 0) continue;
      rows_read += block.rows;
      ASSERT_EQ(block.columns.size(), 6u);
      for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(block.columns[i].body, columns[i % 3].body)
            << (i < 3 ? "server's" : "our") << " reading of " << columns[i % 3].type;
      }
    }
  }
  EXPECT_EQ(rows_read, kRows);
}

}  // namespace
}  // namespace tarnwick::testing
