#include "tarnwick/protocol/low_cardinality.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::lc_head;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

std::string error_of(const Status& st) {
  return st.ok() ? "ok" : st.error().to_string();
}

// Expands `body` with the stream reader and with the buffered parser (as the one column of a
// block); both must agree. Returns the error, or the expansion as text.
std::string expand_both(const std::string& type_text, uint64_t rows, const ByteVec& body) {
  const ColumnType type = *parse_type(type_text);
  testing::OneByteSource src(body);
  ByteBuffer out;
  uint64_t budget = kColumnByteLimit;
  std::string got = error_of(read_column_data_into(src, type, rows, out, budget));
  if (got == "ok") got.assign(reinterpret_cast<const char*>(out.data()), out.size());

  const ByteVec block = Wire().block_head(1, rows).column("c", type_text).raw(body).get();
  uint64_t pos = 0;
  auto parsed = parse_block_body(block, pos);
  const std::string mem_got =
      parsed.ok() ? std::string(parsed->columns.at(0).data.view()) : parsed.error().to_string();
  EXPECT_EQ(mem_got, got) << type_text;
  EXPECT_EQ(pos, parsed.ok() ? block.size() : 0u) << type_text;
  return got;
}

TEST(LowCardinalityTest, InMemoryFormAgreesWithTheStreamReader) {
  for (const auto& c : testing::body_cases()) {
    if (!c.type.starts_with("LowCardinality(")) continue;
    EXPECT_EQ(expand_both(c.type, 2, c.wire), std::string(c.kept.begin(), c.kept.end()));
    for (size_t len = 0; len < c.wire.size(); ++len) {  // every strict prefix fails cleanly
      EXPECT_EQ(expand_both(c.type, 2, ByteVec(c.wire.begin(), c.wire.begin() + len)),
                "I/O error: failed to fill whole buffer")
          << c.type << " prefix " << len;
    }
  }
  for (const auto& c : testing::failure_cases()) {
    if (!c.type.starts_with("LowCardinality(")) continue;
    EXPECT_EQ(expand_both(c.type, c.rows, c.wire), c.error);
  }
}

TEST(LowCardinalityTest, RefusalsAndIndexBounds) {
  const std::string e = "protocol error: ";
  const std::string oob = e + "LowCardinality dictionary index out of bounds";
  const struct {
    std::string type;
    uint64_t rows;
    ByteVec body;
    std::string result;  // the error or the expansion
  } cases[] = {
      {"LowCardinality(Nullable(String))", 1, lc_head(0x200, 2).str("").str("").u64(1).bytes({2}),
       oob},
      {"LowCardinality(Array(UInt8))", 1, lc_head(0x200, 1).u64(0).u64(1).bytes({0}),
       e + "LowCardinality(Array(UInt8)) materialization is not supported"},
      {"LowCardinality(Nullable(Decimal(9, 2)))", 1, lc_head(0x200, 1).fill(4, 0).u64(1).bytes({0}),
       e + "LowCardinality(Decimal(9, 2)) materialization is not supported"},
      {"LowCardinality(UInt32)", 1, lc_head(0x200, 2).fill(8, 1).u64(1).bytes({2}), oob},
      {"LowCardinality(String)", 1, lc_head(0x200, 1).str("a").u64(1).bytes({1}), oob},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 1}), oob},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 0}), ""},
      {"LowCardinality(JSON)", 2, lc_head(0x200, 1).u64(1).str("{}").u64(2).bytes({0, 0}),
       "\x02{}\x02{}"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand_both(c.type, c.rows, c.body), c.result) << c.type;
}

}  // namespace
}  // namespace tarnwick::protocol
