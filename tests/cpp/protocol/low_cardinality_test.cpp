// LowCardinality bodies: the in-memory form against the stream reader, the refusals that only the
// expanding forms make, and the limits of the expansion. Layout, header failures and the
// keep/discard agreement run from the shared fixtures (column_reader_test, block_discarder_test).
#include "tarnwick/protocol/low_cardinality.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::lc_head;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

struct Expanded {
  std::string error;
  ByteVec kept;
};

// Expands `body` as the stream reader does (one byte per refill) and from memory; both must agree,
// the in-memory form reporting the end of its buffer as a protocol error.
Expanded expand_both(const std::string& type_text, uint64_t rows, const ByteVec& body) {
  const ColumnType type = *parse_type(type_text);
  testing::OneByteSource src(body);
  ByteBuffer out;
  uint64_t budget = kColumnByteLimit;
  Status st = read_column_data_into(src, type, rows, out, budget);
  Expanded e{st.ok() ? "ok" : st.error().to_string(), ByteVec(out.data(), out.data() + out.size())};

  const ByteVec buf = Wire().raw("xy").raw(body).get();
  uint64_t pos = 2;
  auto mem = read_low_cardinality_from_buffer(buf, pos, type.inner(), rows);
  const std::string io = "I/O error: failed to fill whole buffer";
  EXPECT_EQ(mem.ok() ? "ok" : mem.error().to_string(),
            e.error == io ? "protocol error: unexpected end of buffer parsing bytes" : e.error)
      << type_text;
  EXPECT_EQ(pos, mem.ok() ? buf.size() : 2u) << type_text;
  if (mem.ok()) {
    EXPECT_EQ(ByteVec(mem->data(), mem->data() + mem->size()), e.kept) << type_text;
  }
  return e;
}

TEST(LowCardinalityTest, InMemoryFormAgreesWithTheStreamReader) {
  for (const auto& c : testing::body_cases()) {
    if (!c.type.starts_with("LowCardinality(")) continue;
    EXPECT_EQ(expand_both(c.type, 2, c.wire).kept, c.kept) << c.type;
    for (size_t len = 0; len < c.wire.size(); ++len) {  // every strict prefix fails cleanly
      ByteVec prefix(c.wire.begin(), c.wire.begin() + static_cast<ptrdiff_t>(len));
      EXPECT_EQ(expand_both(c.type, 2, prefix).error, "I/O error: failed to fill whole buffer")
          << c.type << " prefix " << len;
    }
    uint64_t pos = 0;  // zero rows: nothing read
    auto none = read_low_cardinality_from_buffer(c.wire, pos, parse_type(c.type)->inner(), 0);
    EXPECT_TRUE(none.ok() && none->empty() && pos == 0) << c.type;
  }
  for (const auto& c : testing::failure_cases()) {
    if (c.type.starts_with("LowCardinality(")) expand_both(c.type, c.rows, c.wire);
  }
}

TEST(LowCardinalityTest, ExpansionRefusalsAndIndexBounds) {
  const std::string e = "protocol error: ";
  const std::string oob = e + "LowCardinality dictionary index out of bounds";
  const struct {
    std::string type;
    uint64_t rows;
    ByteVec body;
    std::string result;  // the error, or "ok" for the expansion below
    ByteVec kept = {};
  } cases[] = {
      {"LowCardinality(Nullable(String))", 1, lc_head(0x200, 1).bytes({1, 0}).u64(1).bytes({0}),
       e + "LowCardinality Nullable variable-width materialization is not supported"},
      {"LowCardinality(Array(UInt8))", 1, lc_head(0x200, 1).u64(0).u64(1).bytes({0}),
       e + "LowCardinality(Array(UInt8)) materialization is not supported"},
      {"LowCardinality(Nullable(Decimal(9, 2)))", 1, lc_head(0x200, 1).fill(5, 0).u64(1).bytes({0}),
       e + "LowCardinality(Decimal(9, 2)) materialization is not supported"},
      {"LowCardinality(Nothing)", 1, lc_head(0x200, 1).bytes({0}).u64(1).bytes({0}),
       e + "LowCardinality(Nothing) materialization is not supported"},
      {"LowCardinality(UInt32)", 1, lc_head(0x200, 2).fill(8, 1).u64(1).bytes({2}), oob},
      {"LowCardinality(String)", 1, lc_head(0x200, 1).str("a").u64(1).bytes({1}), oob},
      {"LowCardinality(Nullable(UInt8))", 1, lc_head(0x200, 2).fill(4, 0).u64(1).bytes({2}), oob},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 1}), oob},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 0}), "ok"},
      // The version word of a JSON dictionary is read and not kept: entries only.
      {"LowCardinality(JSON)", 2, lc_head(0x200, 1).u64(1).str("{}").u64(2).bytes({0, 0}), "ok",
       Wire().str("{}").str("{}")},
  };
  for (const auto& c : cases) {
    Expanded got = expand_both(c.type, c.rows, c.body);
    EXPECT_EQ(got.error, c.result) << c.type;
    if (c.result == "ok") {
      EXPECT_EQ(got.kept, c.kept) << c.type;
    }
  }

  // Faults the readers never hand over, straight to the expansion; `out` keeps its bytes.
  const ByteVec five = {1, 0, 0, 7, 9};  // Nullable(UInt8): two null flags, three values
  const struct {
    std::string type;
    ByteVec dict, indexes;
    unsigned width;
    std::string error;
  } direct[] = {
      {"Nullable(UInt8)", five, {2}, 1, "LowCardinality nullable index out of bounds"},
      {"UInt8", five, {0, 0, 0}, 3, "unsupported LowCardinality index width 3"},
      {"UInt8", five, {0, 0, 0}, 4, "LowCardinality index data is truncated"},
      {"String", {5, 'a'}, {0}, 1, "LowCardinality string dictionary is truncated"},
  };
  for (const auto& d : direct) {
    ByteBuffer out;
    out.push_back(0xEE);
    Status st = materialize_low_cardinality_inner(d.dict, 2, *parse_type(d.type), d.indexes,
                                                  d.width, 1, out);
    EXPECT_EQ(st.ok() ? "ok" : st.error().message(), d.error) << d.type;
    EXPECT_EQ(out.size(), 1u) << d.type;
  }
}

TEST(LowCardinalityTest, ExpansionLimitsAndColumnBudget) {
  // Key 0 is "", key 1 a string of 16777215 bytes (16777219 with its length): three rows of key 1
  // and the rest of key 0 add up to exactly 67108864 bytes; one row more is refused.
  for (uint64_t rows : {16777210u, 16777211u}) {
    testing::ChainSource src;
    src.bytes(lc_head(0x200, 2).bytes({0}).varint(16777215)).zeros(16777215);
    src.bytes(Wire().u64(rows).bytes({1, 1, 1})).zeros(rows - 3);
    ByteBuffer out;
    uint64_t budget = kColumnByteLimit;
    Status st =
        read_column_data_into(src, *parse_type("LowCardinality(String)"), rows, out, budget);
    EXPECT_EQ(st.ok() ? "ok" : st.error().message(),
              rows == 16777210 ? "ok"
                               : "LowCardinality materialized column cumulative byte length "
                                 "67108865 exceeds limit 67108864");
    EXPECT_EQ(out.size(), st.ok() ? kColumnByteLimit : 0u);
  }
  // The expansion is what a column appends, so its budget pays for it: nested dictionaries cannot
  // make a column outgrow its budget.
  for (uint64_t fixed : {67108863u, 67108864u}) {
    testing::ChainSource src;
    src.zeros(fixed).bytes(lc_head(0x200, 1).bytes({9}).u64(1).bytes({0}));
    const ColumnType type =
        *parse_type("Tuple(FixedString(" + std::to_string(fixed) + "), LowCardinality(UInt8))");
    ByteBuffer out;
    uint64_t budget = kColumnByteLimit;
    Status st = read_column_data_into(src, type, 1, out, budget);
    EXPECT_EQ(st.ok() ? "ok" : st.error().message(),
              fixed == 67108863 ? "ok" : "column cumulative byte length exceeds limit 67108864");
  }
}

}  // namespace
}  // namespace tarnwick::protocol
