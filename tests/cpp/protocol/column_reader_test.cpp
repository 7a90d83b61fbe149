#include "tarnwick/protocol/column_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/column_reading.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_discarder.h"

namespace tarnwick::protocol {
namespace {

using testing::Wire;
using ByteVec = std::vector<uint8_t>;

using Outcome = testing::ReadOutcome;
using testing::read_both;
using testing::read_column;

TEST(ColumnReaderTest, ColumnBudgetIsSharedByEveryPartOfAColumn) {
  const std::string over = "protocol error: column cumulative byte length exceeds limit 67108864";
  const std::pair<std::string, std::string> cases[] = {
      {"Tuple(FixedString(67108863), UInt8)", "ok"},  // exactly the budget
      {"Tuple(FixedString(67108864), UInt8)", over},
      {"Tuple(FixedString(67108864), String)", over},  // a varint byte counts too
      {"Tuple(FixedString(67108863), String)", "ok"},  // the empty string: one byte
      {"Tuple(FixedString(67108863), Nullable(UInt8))", over},
      // The element count fits its own limits but not what the budget has left.
      {"Tuple(FixedString(60000000), Array(UInt64))", over},
      // A dictionary of 10M bytes and 30M indexes are held while the 30M-byte expansion is made:
      // each fits the budget, all three at once do not.
      {"LowCardinality(UInt8)", over},
  };
  for (const auto& [type, error] : cases) {
    testing::ChainSource src;
    uint64_t rows = 1;
    if (type.ends_with("Array(UInt64))")) {
      src.zeros(60000000).bytes(Wire().u64(1000000)).zeros(1);
    } else if (type.starts_with("LowCardinality")) {
      rows = 30000000;
      src.bytes(Wire().u64(1).u64(0x200).u64(10000000)).zeros(10000000);
      src.bytes(Wire().u64(rows)).zeros(rows);
    } else {
      src.zeros(67108866);
    }
    Outcome o = read_column(src, *parse_type(type), rows);
    EXPECT_EQ(o.error, error) << type;
    EXPECT_LE(o.kept.size(), kColumnByteLimit) << type;
  }
}

TEST(ColumnReaderTest, StringRowsAcrossRefills) {
  Wire w;
  for (int i = 0; i < 5000; ++i) w.str(std::string(static_cast<size_t>(i % 300), 'a' + i % 26));
  Outcome o = read_both("String", 5000, w);
  EXPECT_EQ(o.error, "ok");
  EXPECT_EQ(o.kept, w.get());
  testing::ZeroTailSource src(w, 200000);
  Outcome tail = read_column(src, *parse_type("String"), 5000 + 200000);
  EXPECT_EQ(tail.error, "ok");
  EXPECT_EQ(tail.kept.size(), w.size() + 200000);
  // A refused length keeps the prefix read so far.
  testing::ZeroTailSource over_src(Wire().varint(16777216), 16777216);
  EXPECT_EQ(read_column(over_src, *parse_type("String"), 1).kept, Wire().varint(16777216).get());
}

TEST(ColumnReaderTest, AppendingPrimitives) {
  ByteBuffer out;
  uint64_t budget = kColumnByteLimit;
  base::MemorySource none(ByteVec{});
  EXPECT_EQ(read_exact_into(none, out, kColumnByteLimit + 1, budget).error().message(),
            "column byte length 67108865 exceeds limit 67108864");
  EXPECT_EQ(budget, kColumnByteLimit);  // nothing charged
  budget = 3;
  EXPECT_EQ(read_exact_into(none, out, 4, budget).error().message(),
            "column cumulative byte length exceeds limit 67108864");
  EXPECT_TRUE(read_exact_into(none, out, 3, budget).error().is_io(base::IoKind::UnexpectedEof));
  EXPECT_EQ(out.size(), 0u);  // a failed read leaves the length alone

  ByteVec text = Wire().str("h\xc3\xa9").str("\xff").u64(42);
  base::MemorySource src(text);
  budget = kColumnByteLimit;
  EXPECT_EQ(*read_string_into(src, out, "name", budget), "h\xc3\xa9");
  EXPECT_EQ(read_string_into(src, out, "name", budget).error().message(),
            "invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(*read_u64_into(src, out, budget), 42u);
  EXPECT_EQ(out.size(), text.size());
  EXPECT_EQ(budget, kColumnByteLimit - text.size());

  EXPECT_EQ(*checked_column_bytes(67108860, 4), 67108864u);
  EXPECT_EQ(
      checked_column_bytes(67108860, 5).error().message(),
      "LowCardinality materialized column cumulative byte length 67108865 exceeds limit 67108864");
  EXPECT_EQ(checked_column_bytes(~0ULL, 1).error().message(),
            "LowCardinality materialized column cumulative byte length overflow");
  budget = 2;
  EXPECT_EQ(charge_budget(budget, 3, "dictionary").error().message(),
            "dictionary cumulative byte length exceeds limit 67108864");
  EXPECT_TRUE(charge_budget(budget, 2, "dictionary").ok());
  EXPECT_EQ(budget, 0u);
}

}  // namespace
}  // namespace tarnwick::protocol
