#include "tarnwick/protocol/column_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/chain_source.h"
#include "support/sources.h"
#include "support/wire_builder.h"

namespace tarnwick::protocol {
namespace {

using testing::Wire;
using ByteVec = std::vector<uint8_t>;

constexpr uint8_t kSentinel = 0xEE;  // follows every body; must stay unread

struct Outcome {
  Status status;
  ByteVec appended;
  uint64_t consumed = 0;
  uint64_t budget = 0;
  std::string error() const { return status.ok() ? "ok" : status.error().to_string(); }
};

ColumnType parsed(std::string_view text) {
  auto t = parse_type(text);
  EXPECT_TRUE(t.ok()) << text;
  return t.ok() ? *t : ColumnType::of(TypeKind::UInt8);
}

Outcome run(ByteSource& src, const ColumnType& type, uint64_t rows,
            uint64_t budget = kColumnByteLimit) {
  ByteBuffer out;
  Outcome o;
  o.budget = budget;
  o.status = read_column_data_into(src, type, rows, out, o.budget);
  o.appended.assign(out.data(), out.data() + out.size());
  return o;
}

// Reads through the whole-buffer fast path and again one byte per refill; both must agree.
Outcome read_both(const ColumnType& type, uint64_t rows, const ByteVec& wire) {
  base::MemorySource whole(wire);
  Outcome a = run(whole, type, rows);
  a.consumed = wire.size() - whole.remaining();
  testing::OneByteSource slow(wire);
  Outcome b = run(slow, type, rows);
  b.consumed = slow.consumed();
  EXPECT_EQ(a.error(), b.error()) << type.to_string();
  EXPECT_EQ(a.appended, b.appended) << type.to_string();
  EXPECT_EQ(a.consumed, b.consumed) << type.to_string();
  return a;
}

Outcome read_lazy(const ColumnType& type, uint64_t rows, ByteVec prefix, uint64_t zeros,
                  uint64_t budget = kColumnByteLimit) {
  testing::ZeroTailSource src(std::move(prefix), zeros);
  return run(src, type, rows, budget);
}

std::string nested(int levels, std::string_view open, std::string_view leaf) {
  std::string s;
  for (int i = 0; i < levels; ++i) s.append(open);
  s.append(leaf);
  s.append(static_cast<size_t>(levels), ')');
  return s;
}

TEST(ColumnReaderTest, BodiesOfEveryKindAreKeptAsOnTheWire) {
  for (const auto& c : testing::body_cases()) {
    ByteVec wire = c.wire;
    wire.push_back(kSentinel);
    Outcome o = read_both(parsed(c.type), c.rows, wire);
    EXPECT_EQ(o.error(), "ok") << c.type;
    EXPECT_EQ(o.consumed, c.wire.size()) << c.type;
    EXPECT_EQ(o.appended, c.appended.empty() ? c.wire : c.appended) << c.type;
    EXPECT_EQ(o.budget, kColumnByteLimit - o.appended.size()) << c.type;
  }
}

TEST(ColumnReaderTest, ZeroRowsReadNothingWhateverTheType) {
  const char* types[] = {"UInt8",
                         "Nothing",
                         "UInt64",
                         "String",
                         "FixedString(4)",
                         "Decimal(0, 0)",
                         "Decimal(77, 0)",
                         "Nullable(String)",
                         "Array(UInt8)",
                         "Map(String, UInt8)",
                         "Tuple(UInt8, String)",
                         "LowCardinality(String)",
                         "JSON",
                         "Variant(UInt8, String)",
                         "Dynamic",
                         "Point",
                         "MultiPolygon",
                         "AggregateFunction(sum, UInt64)",
                         "SimpleAggregateFunction(sum, UInt64)",
                         "Nested(a UInt8)"};
  for (const char* t : types) {
    Outcome o = read_both(parsed(t), 0, ByteVec{kSentinel});
    EXPECT_EQ(o.error(), "ok") << t;
    EXPECT_EQ(o.consumed, 0u) << t;
    EXPECT_TRUE(o.appended.empty()) << t;
  }
}

TEST(ColumnReaderTest, FailuresCarryTheirMessages) {
  const std::string too_long = "string value length 16777216 exceeds limit 16777215";
  const struct {
    std::string type;
    ByteVec wire;  // one row
    std::string error;
    uint64_t consumed;
  } cases[] = {
      {"Decimal(77, 0)", Wire().fill(32, 0), "protocol error: unsupported Decimal precision 77", 0},
      {"Decimal(0, 0)", Wire().fill(32, 0), "protocol error: unsupported Decimal precision 0", 0},
      {"AggregateFunction(sum, UInt64)", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type AggregateFunction", 0},
      {"SimpleAggregateFunction(sum, UInt64)", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type SimpleAggregateFunction", 0},
      {"Nested(a UInt8)", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type Other(\"Nested(a UInt8)\")", 0},
      {"LowCardinality(String)", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type LowCardinality(String)", 0},
      {"Variant(UInt8, String)", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type Variant([UInt8, String])", 0},
      {"Dynamic", Wire().fill(8, 0),
       "protocol error: streaming read unsupported for column type Dynamic", 0},
      {"JSON", Wire().u64(2).str("{}"),
       "protocol error: materialized JSON reads require string serialization version 1 or 4, got "
       "2; enable output_format_native_write_json_as_string=1 or use query_raw",
       8},
      {"JSON", Wire().u64(0).varint(0).varint(0),  // the object form with typed paths
       "protocol error: materialized JSON reads require string serialization version 1 or 4, got "
       "0; enable output_format_native_write_json_as_string=1 or use query_raw",
       8},
      {"JSON", Wire().u64(1).varint(16777216),
       "protocol error: JSON string length 16777216 exceeds limit 16777215", 12},
      {"String", Wire().varint(16777216), "protocol error: " + too_long, 4},
      {"String", Wire().fill(9, 0xFF).bytes({0x02}), "protocol error: varint overflow", 10},
      {"Array(UInt32)", Wire().u64(3).u64(2), "protocol error: array offset decreased from 3 to 2",
       16},
      {"Map(UInt8, UInt8)", Wire().u64(10000001),
       "protocol error: map offset total 10000001 exceeds limit 10000000", 8},
      {"Array(UInt64)", Wire().u64(10000000),  // 80 MB of elements: refused before any room
       "protocol error: fixed-width column byte length 80000000 exceeds limit 67108864", 8},
      {"FixedString(9223372036854775808)",
       {},
       "protocol error: FixedString column byte length overflow",
       0},
      {"UInt32", Wire().bytes({1, 2, 3}), "I/O error: failed to fill whole buffer", 3},
      {"String", Wire().varint(5).raw("abc"), "I/O error: failed to fill whole buffer", 4},
  };
  for (const auto& c : cases) {
    ColumnType type = parsed(c.type);
    uint64_t rows = c.type == "Array(UInt32)" || c.type.starts_with("FixedString") ? 2 : 1;
    Outcome o = read_both(type, rows, c.wire);
    EXPECT_EQ(o.error(), c.error) << c.type;
    EXPECT_EQ(o.consumed, c.consumed) << c.type;
  }
}

TEST(ColumnReaderTest, FixedWidthAndPerReadCapsAtTheirBoundaries) {
  const struct {
    std::string type;
    uint64_t rows;
    std::string error;
  } cases[] = {
      {"UInt64", 8388608, "ok"},
      {"UInt64", 8388609,
       "protocol error: fixed-width column byte length 67108872 exceeds limit 67108864"},
      {"Decimal(76, 2)", 2097153,
       "protocol error: fixed-width column byte length 67108896 exceeds limit 67108864"},
      {"FixedString(67108864)", 1, "ok"},
      {"FixedString(67108865)", 1,
       "protocol error: FixedString column byte length 67108865 exceeds limit 67108864"},
      // One-byte kinds meet the cap of the appending read itself.
      {"UInt8", 67108864, "ok"},
      {"Nothing", 67108865, "protocol error: column byte length 67108865 exceeds limit 67108864"},
      {"Nullable(UInt8)", 67108865,
       "protocol error: column byte length 67108865 exceeds limit 67108864"},
      {"Point", 4194304, "ok"},  // each half is a body of its own: 32 MiB + 32 MiB
      {"Point", 8388609,
       "protocol error: fixed-width column byte length 67108872 exceeds limit 67108864"},
  };
  for (const auto& c : cases) {
    Outcome o = read_lazy(parsed(c.type), c.rows, {}, 67108864);
    EXPECT_EQ(o.error(), c.error) << c.type << " " << c.rows;
    if (c.error == "ok") {
      EXPECT_EQ(o.budget, 0u) << c.type;
    } else {
      EXPECT_TRUE(o.appended.empty()) << c.type;  // refused before anything is read
    }
  }
}

TEST(ColumnReaderTest, ColumnBudgetIsSharedByEveryPartOfAColumn) {
  const std::string over = "protocol error: column cumulative byte length exceeds limit 67108864";
  const struct {
    std::string type;
    std::string error;
  } cases[] = {
      {"Tuple(FixedString(67108863), UInt8)", "ok"},  // exactly the budget
      {"Tuple(FixedString(67108864), UInt8)", over},
      {"Tuple(FixedString(67108864), String)", over},  // a varint byte counts too
      {"Tuple(FixedString(67108863), String)", "ok"},  // the empty string: one byte
      {"Tuple(FixedString(67108863), Nullable(UInt8))", over},
      // The element count fits its own limits but not what the budget has left.
      {"Tuple(FixedString(60000000), Array(UInt64))", over},
  };
  for (const auto& c : cases) {
    // The first tuple member is all zeros; for the array an offset of 1000000 follows it
    // (8 MB of elements where 7108856 bytes of budget are left).
    testing::ChainSource src;
    if (c.type.ends_with("Array(UInt64))")) {
      src.zeros(60000000).bytes(Wire().u64(1000000)).zeros(1);
    } else {
      src.zeros(67108866);
    }
    Outcome o = run(src, parsed(c.type), 1);
    EXPECT_EQ(o.error(), c.error) << c.type;
    EXPECT_LE(o.appended.size(), kColumnByteLimit) << c.type;  // nothing reserved past it
  }
}

TEST(ColumnReaderTest, OffsetLimitsAtTheirBoundaries) {
  const struct {
    std::string type;
    uint64_t rows;
    ByteVec prefix;
    std::string error;
  } cases[] = {
      {"Array(UInt8)", 1, Wire().u64(10000000), "ok"},
      {"Array(UInt8)", 1, Wire().u64(10000001),
       "protocol error: array offset total 10000001 exceeds limit 10000000"},
      {"Map(UInt8, Nothing)", 2, Wire().u64(7).u64(10000000), "ok"},
      {"Map(UInt8, Nothing)", 2, Wire().u64(7).u64(6),
       "protocol error: map offset decreased from 7 to 6"},
      {"Array(UInt8)", 8388608, {}, "ok"},  // all offsets 0: the offsets alone fill the budget
      {"Array(UInt8)",
       8388609,
       {},
       "protocol error: array offset byte length 67108872 exceeds limit 67108864"},
      {"Ring", 1, Wire().u64(10000001),
       "protocol error: array offset total 10000001 exceeds limit 10000000"},
  };
  for (const auto& c : cases) {
    Outcome o = read_lazy(parsed(c.type), c.rows, c.prefix, 67108864);
    EXPECT_EQ(o.error(), c.error) << c.type << " " << c.rows;
  }
}

TEST(ColumnReaderTest, StringLengthLimitAndRunsAcrossRefills) {
  Outcome at = read_lazy(parsed("String"), 1, Wire().varint(16777215), 16777215);
  EXPECT_EQ(at.error(), "ok");
  EXPECT_EQ(at.appended.size(), 16777219u);
  Outcome over = read_lazy(parsed("String"), 1, Wire().varint(16777216), 16777216);
  EXPECT_EQ(over.error(), "protocol error: string value length 16777216 exceeds limit 16777215");
  EXPECT_EQ(over.appended, Wire().varint(16777216).get());  // the prefix is kept

  // Many rows, read through the in-window path, the byte-wise path, and windows that end inside
  // a row (ZeroTailSource refills in 64 KiB steps of empty strings after the prefix).
  Wire w;
  for (int i = 0; i < 5000; ++i) w.str(std::string(static_cast<size_t>(i % 300), 'a' + i % 26));
  Outcome o = read_both(parsed("String"), 5000, w);
  EXPECT_EQ(o.error(), "ok");
  EXPECT_EQ(o.appended, w.get());
  Outcome tail = read_lazy(parsed("String"), 5000 + 200000, w, 200000);
  EXPECT_EQ(tail.error(), "ok");
  EXPECT_EQ(tail.appended.size(), w.size() + 200000);
}

TEST(ColumnReaderTest, PrimitivesAndPureChecks) {
  ByteBuffer out;
  uint64_t budget = kColumnByteLimit;
  base::MemorySource none(ByteVec{});
  EXPECT_EQ(read_exact_into(none, out, kColumnByteLimit + 1, budget).error().message(),
            "column byte length 67108865 exceeds limit 67108864");
  EXPECT_EQ(budget, kColumnByteLimit);  // nothing charged
  budget = 3;
  EXPECT_EQ(read_exact_into(none, out, 4, budget).error().message(),
            "column cumulative byte length exceeds limit 67108864");
  EXPECT_TRUE(read_exact_into(none, out, 0, budget).ok());
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

  EXPECT_EQ(checked_column_len(1ULL << 61, 8, "x").error().message(), "x byte length overflow");
  EXPECT_EQ(*checked_column_len(8388608, 8, "x"), 67108864u);
  EXPECT_EQ(*checked_column_bytes(67108860, 4), 67108864u);
  EXPECT_EQ(checked_column_bytes(67108860, 5).error().message(),
            "LowCardinality materialized column cumulative byte length 67108865 exceeds limit "
            "67108864");
  EXPECT_EQ(checked_column_bytes(~0ULL, 1).error().message(),
            "LowCardinality materialized column cumulative byte length overflow");
  EXPECT_EQ(*checked_monotonic_offset(5, 5, "o"), 5u);
  EXPECT_EQ(checked_monotonic_offset(9, 10000001, "o").error().message(),
            "o total 10000001 exceeds limit 10000000");  // the limit is tested first
  budget = 2;
  EXPECT_EQ(charge_budget(budget, 3, "dictionary").error().message(),
            "dictionary cumulative byte length exceeds limit 67108864");
  EXPECT_TRUE(charge_budget(budget, 2, "dictionary").ok());
  EXPECT_EQ(budget, 0u);
}

TEST(ColumnReaderTest, NestingDepthIsBounded) {
  // The deepest type the grammar accepts decodes; a deeper tree built by hand is refused.
  ColumnType deep = parsed(nested(256, "Array(", "UInt8"));
  Wire w;
  for (int i = 0; i < 256; ++i) w.u64(1);
  w.bytes({7});
  Outcome o = read_both(deep, 1, w);
  EXPECT_EQ(o.error(), "ok");
  EXPECT_EQ(o.consumed, w.size());

  ColumnType deeper = ColumnType::of(TypeKind::UInt8);
  for (int i = 0; i < 300; ++i) deeper = ColumnType::nullable(std::move(deeper));
  Outcome refused = read_lazy(deeper, 1, {}, 1000);
  EXPECT_EQ(refused.error(), "protocol error: type nesting exceeds 256 levels");
}

}  // namespace
}  // namespace tarnwick::protocol
