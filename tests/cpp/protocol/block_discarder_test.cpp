#include "tarnwick/protocol/block_discarder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/chain_source.h"
#include "support/golden_blocks.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {
namespace {

using base::ByteSource;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

template <class T>
std::string error_of(const base::Result<T>& r) {
  return r.ok() ? "ok" : r.error().to_string();
}

ColumnType parsed(std::string_view text) {
  auto t = parse_type(text);
  EXPECT_TRUE(t.ok()) << text;
  return t.ok() ? *t : ColumnType::of(TypeKind::UInt8);
}

// What the discarding reader answers where the keeping reader refuses a kind.
std::string as_discard_error(std::string keep_error) {
  const std::string from = "streaming read unsupported", to = "discard unsupported";
  if (auto at = keep_error.find(from); at != std::string::npos)
    keep_error.replace(at, from.size(), to);
  return keep_error;
}

struct Walk {
  std::string error;
  uint64_t rows = 0;
  size_t consumed = 0;
};

// Discards `wire` whole and one byte per refill; both must agree.
Walk discard_both(const ByteVec& wire, const std::string& what) {
  base::MemorySource whole(wire);
  auto a = discard_block_body(whole);
  testing::OneByteSource slow(wire);
  auto b = discard_block_body(slow);
  Walk w{error_of(a), a.ok() ? *a : 0, wire.size() - whole.remaining()};
  EXPECT_EQ(error_of(b), w.error) << what;
  EXPECT_EQ(slow.consumed(), w.consumed) << what;
  if (b.ok() && a.ok()) {
    EXPECT_EQ(*b, *a) << what;
  }
  return w;
}

// The discarder against the keeping reader on one block: the same bytes consumed, the same row
// count, the same failure (refused kinds named as the discarder names them). Every strict prefix
// of a block both accept fails with the source's end-of-input error.
void check_against_reader(const ByteVec& wire, const std::string& what) {
  base::MemorySource keep_src(wire);
  auto kept = read_block_body(keep_src);
  const size_t kept_consumed = wire.size() - keep_src.remaining();
  Walk w = discard_both(wire, what);
  EXPECT_EQ(w.error, kept.ok() ? "ok" : as_discard_error(kept.error().to_string())) << what;
  if (!kept.ok() || !w.error.starts_with("ok")) return;
  EXPECT_EQ(w.consumed, kept_consumed) << what;
  EXPECT_EQ(w.rows, kept->rows) << what;

  // Past 64 KiB: every prefix of the first 4 KiB one byte per refill; every one of the last
  // 4 KiB and every 65521st in between from memory.
  const size_t n = wire.size();
  const bool large = n > 65536;
  for (size_t len = 0; len < n; ++len) {
    if (large && len >= 4096 && len + 4096 < n && len % 65521 != 0) continue;
    std::span<const uint8_t> prefix = std::span<const uint8_t>(wire).first(len);
    testing::OneByteSource slow(prefix);
    base::MemorySource whole(prefix);
    auto r = discard_block_body(large && len >= 4096 ? static_cast<ByteSource&>(whole) : slow);
    ASSERT_FALSE(r.ok()) << what << " prefix " << len;
    ASSERT_TRUE(r.error().is_io(base::IoKind::UnexpectedEof))
        << what << " prefix " << len << ": " << r.error().to_string();
  }
}

TEST(BlockDiscarderTest, WalksEveryGoldenCaptureAsTheReaderDoes) {
  auto blocks = testing::golden_blocks();
  ASSERT_EQ(blocks.size(), 16u + 11);  // the manifest's blocks; 3 + 3 + 2 + 3 Data packets
  for (const auto& b : blocks) {
    check_against_reader(b.wire, b.what);
    base::MemorySource src(b.wire);
    auto rows = discard_block_body(src);
    if (b.what.starts_with("native_low_cardinality")) {
      EXPECT_EQ(error_of(rows),
                "protocol error: discard unsupported for column type LowCardinality(String)");
      continue;
    }
    EXPECT_EQ(error_of(rows), "ok") << b.what;
    if (rows.ok()) {
      EXPECT_EQ(*rows, b.rows) << b.what;
    }
  }
}

TEST(BlockDiscarderTest, WalksEveryReaderTestBlockAsTheReaderDoes) {
  check_against_reader(testing::sample_block().wire, "sample block");
  for (const auto& c : testing::header_cases()) check_against_reader(c.wire, c.what);
  // Each body in a block of its own, a second column behind it.
  for (const auto& c : testing::body_cases()) {
    Wire w;
    w.block_head(2, c.rows).column("a", c.type).raw(c.wire).column("b", "UInt8");
    w.fill(static_cast<size_t>(c.rows), 0x5A);
    check_against_reader(w, c.type);
    base::MemorySource src(w.get());
    EXPECT_EQ(error_of(discard_block_body(src)), "ok") << c.type;
  }
}

TEST(BlockDiscarderTest, ColumnBodiesEndWhereTheirLayoutEnds) {
  for (const auto& c : testing::body_cases()) {
    ByteVec wire = c.wire;
    wire.push_back(0xEE);  // must stay unread
    testing::OneByteSource src(wire);
    auto st = discard_column_data(src, parsed(c.type), c.rows);
    EXPECT_TRUE(st.ok()) << c.type << ": " << st.error().to_string();
    EXPECT_EQ(src.consumed(), c.wire.size()) << c.type;
  }
}

TEST(BlockDiscarderTest, RefusalsAndFailures) {
  const struct {
    std::string type;
    uint64_t rows;
    ByteVec wire;
    std::string error;
    uint64_t consumed;
  } cases[] = {
      // A Nothing column has one placeholder byte per row, as the keeping reader reads it.
      {"Nothing", 3, Wire().bytes({0, 0, 0}), "ok", 3},
      {"Nullable(Nothing)", 1, Wire().bytes({1, 0}), "ok", 2},
      {"Variant(UInt8, String)", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type Variant([UInt8, String])", 0},
      {"Dynamic", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type Dynamic", 0},
      {"LowCardinality(Nullable(String))", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type LowCardinality(Nullable(String))", 0},
      {"AggregateFunction(sum, UInt64)", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type AggregateFunction", 0},
      {"SimpleAggregateFunction(sum, UInt64)", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type SimpleAggregateFunction", 0},
      {"Nested(a UInt8)", 1, Wire().fill(8, 0),
       "protocol error: discard unsupported for column type Other(\"Nested(a UInt8)\")", 0},
      {"Array(Dynamic)", 1, Wire().u64(1).fill(8, 0),
       "protocol error: discard unsupported for column type Dynamic", 8},
      {"Decimal(77, 0)", 1, Wire().fill(32, 0), "protocol error: unsupported Decimal precision 77",
       0},
      {"JSON", 1, Wire().u64(2).str("{}"),
       "protocol error: materialized JSON reads require string serialization version 1 or 4, got "
       "2; enable output_format_native_write_json_as_string=1 or use query_raw",
       8},
      {"JSON", 1, Wire().u64(1).varint(16777216),
       "protocol error: JSON string length 16777216 exceeds limit 16777215", 12},
      {"String", 1, Wire().varint(16777216),
       "protocol error: string value length 16777216 exceeds limit 16777215", 4},
      {"String", 1, Wire().fill(9, 0xFF).bytes({0x02}), "protocol error: varint overflow", 10},
      {"Array(UInt32)", 2, Wire().u64(3).u64(2),
       "protocol error: array offset decreased from 3 to 2", 16},
      {"Map(UInt8, UInt8)", 1, Wire().u64(10000001),
       "protocol error: map offset total 10000001 exceeds limit 10000000", 8},
      {"Array(UInt64)", 1, Wire().u64(10000000),
       "protocol error: fixed-width column byte length 80000000 exceeds limit 67108864", 8},
      {"FixedString(9223372036854775808)",
       2,
       {},
       "protocol error: FixedString column byte length overflow",
       0},
      {"UInt32", 1, Wire().bytes({1, 2, 3}), "I/O error: failed to fill whole buffer", 3},
      {"String", 1, Wire().varint(5).raw("abc"), "I/O error: failed to fill whole buffer", 4},
  };
  for (const auto& c : cases) {
    testing::OneByteSource src(c.wire);
    Status st = discard_column_data(src, parsed(c.type), c.rows);
    EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), c.error) << c.type;
    EXPECT_EQ(src.consumed(), c.consumed) << c.type;
    // Zero rows are passed over without a byte read, whatever the kind.
    testing::OneByteSource none(c.wire);
    EXPECT_TRUE(discard_column_data(none, parsed(c.type), 0).ok()) << c.type;
    EXPECT_EQ(none.consumed(), 0u) << c.type;
  }
}

TEST(BlockDiscarderTest, BlockShapes) {
  // No columns: the row count, and nothing read past the counts.
  ByteVec rows_only = Wire().block_head(0, 5).bytes({0xEE});
  base::MemorySource a(rows_only);
  EXPECT_EQ(*discard_block_body(a), 5u);
  EXPECT_EQ(a.remaining(), 1u);

  // Zero rows: every column record is read, no body, refused kinds included.
  Wire zero;
  zero.block_head(3, 0).column("a", "Dynamic").column("b", "LowCardinality(String)");
  zero.column("c", "Nothing").bytes({0xEE});
  base::MemorySource b(zero.get());
  EXPECT_EQ(*discard_block_body(b), 0u);
  EXPECT_EQ(b.remaining(), 1u);

  // The flag byte is refused before the type text is parsed.
  ByteVec flagged = Wire().block_head(1, 1).str("x").str("Array(").bytes({1});
  base::MemorySource c(flagged);
  EXPECT_EQ(error_of(discard_block_body(c)),
            "protocol error: unsupported custom serialization for column 'x'");
}

TEST(BlockDiscarderTest, LimitsAtTheirBoundaries) {
  const struct {
    std::string type;
    uint64_t rows;
    ByteVec prefix;
    uint64_t zeros;
    std::string error;
  } cases[] = {
      {"UInt256", 2097152, {}, 67108864, "ok"},
      {"UInt256",
       2097153,
       {},
       67108896,
       "protocol error: fixed-width column byte length 67108896 exceeds limit 67108864"},
      // One-byte kinds have no byte-length check: nothing is appended.
      {"UInt8", 67108865, {}, 67108865, "ok"},
      {"Nullable(Nothing)", 40000000, {}, 80000000, "ok"},
      {"String", 1, Wire().varint(16777215), 16777215, "ok"},
      {"Array(UInt8)", 1, Wire().u64(10000000), 10000000, "ok"},
      // Offsets have no byte-length check either, only their values are bounded.
      {"Array(UInt8)", 9000000, {}, 72000000, "ok"},
  };
  for (const auto& c : cases) {
    testing::ZeroTailSource src(c.prefix, c.zeros);
    Status st = discard_column_data(src, parsed(c.type), c.rows);
    EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), c.error) << c.type << " " << c.rows;
    if (st.ok()) {
      EXPECT_EQ(src.buffered().size(), 0u) << c.type;
    }
  }
  // The whole row limit of a block, in one UInt8 column.
  testing::ZeroTailSource rows(Wire().block_head(1, 10000000).column("z", "UInt8"), 10000000);
  EXPECT_EQ(error_of(discard_block_body(rows)), "ok");
}

TEST(BlockDiscarderTest, PrimitivesAndHandBuiltDepth) {
  testing::ChainSource big;
  big.zeros(uint64_t{3} << 30);
  EXPECT_TRUE(discard_exact(big, uint64_t{3} << 30).ok());
  EXPECT_TRUE(discard_exact(big, 0).ok());
  EXPECT_EQ(discard_exact(big, 1).error().to_string(), "I/O error: failed to fill whole buffer");

  ByteVec three = Wire().u64(2).u64(2).u64(9);
  base::MemorySource offsets(three);
  EXPECT_EQ(*discard_offsets(offsets, 3, "array offset"), 9u);

  // A tree deeper than the grammar builds is refused, not recursed into.
  ColumnType t = ColumnType::of(TypeKind::UInt8);
  for (int i = 0; i < 300; ++i) t = ColumnType::nullable(std::move(t));
  ByteVec ones(400, 0);
  base::MemorySource src(ones);
  EXPECT_EQ(discard_column_data(src, t, 1).error().to_string(),
            "protocol error: type nesting exceeds 256 levels");
}

}  // namespace
}  // namespace tarnwick::protocol
