#include "tarnwick/protocol/block_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_writer.h"

namespace tarnwick::protocol {
namespace {

using base::ByteSource;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

std::string error_of(const base::Result<Block>& r) {
  return r.ok() ? "ok" : r.error().to_string();
}

ByteVec bytes_of(const base::Bytes& b) {
  return ByteVec(b.data(), b.data() + b.size());
}

TEST(BlockReaderTest, DecodesColumnsIntoOneSharedBuffer) {
  const auto bodies = testing::body_cases();
  const ByteVec wire = testing::sample_block();
  for (bool one_byte : {false, true}) {
    base::MemorySource whole(wire);
    testing::OneByteSource slow(wire);
    ByteSource& src = one_byte ? static_cast<ByteSource&>(slow) : whole;
    auto block = read_block_body(src);
    ASSERT_EQ(error_of(block), "ok");
    EXPECT_EQ(one_byte ? wire.size() - slow.consumed() : whole.remaining(), 0u);
    EXPECT_EQ(block->rows, 2u);
    ASSERT_EQ(block->columns.size(), bodies.size());
    const uint8_t* next = block->columns[0].data.data();
    for (size_t i = 0; i < bodies.size(); ++i) {
      const ColumnInfo& c = block->columns[i];
      EXPECT_EQ(c.name, "c" + std::to_string(i));
      EXPECT_EQ(c.type_name, bodies[i].type);
      EXPECT_EQ(bytes_of(c.data), bodies[i].kept.empty() ? bodies[i].wire : bodies[i].kept)
          << c.type_name;
      if (c.data.size() == 0) continue;
      EXPECT_EQ(c.data.data(), next) << c.type_name;  // back to back in one allocation
      next = c.data.data() + c.data.size();
    }
  }
}

TEST(BlockReaderTest, EveryTruncationFailsWithTheSourceError) {
  const ByteVec full = testing::sample_block();
  for (size_t n = 0; n < full.size(); ++n) {
    std::span<const uint8_t> prefix = std::span(full).first(n);
    base::MemorySource whole(prefix);
    testing::OneByteSource slow(prefix);
    for (ByteSource* src : {static_cast<ByteSource*>(&whole), static_cast<ByteSource*>(&slow)}) {
      auto block = read_block_body(*src);
      ASSERT_FALSE(block.ok()) << n;
      EXPECT_TRUE(block.error().is_io(base::IoKind::UnexpectedEof))
          << n << ": " << block.error().to_string();
    }
  }
}

TEST(BlockReaderTest, HeaderShapesAndFailures) {
  for (const auto& c : testing::header_cases()) {
    base::MemorySource src(c.wire);
    auto block = read_block_body(src);
    EXPECT_EQ(error_of(block), c.error) << c.what;
    if (block.ok()) {
      EXPECT_EQ(block->rows, c.rows) << c.what;
      EXPECT_EQ(block->columns.size(), c.columns) << c.what;
      EXPECT_EQ(src.remaining(), 0u) << c.what;
    }
  }
}

TEST(BlockReaderTest, CountLimitsAtTheirBoundaries) {
  // 65536 columns and 10000000 rows are read (one more of each: header_cases).
  Wire many;
  many.block_head(65536, 0);
  for (int i = 0; i < 65536; ++i) many.column("", "UInt8");
  base::MemorySource src(many.get());
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  EXPECT_EQ(block->columns.size(), 65536u);

  testing::ZeroTailSource rows(Wire().block_head(1, 10000000).column("z", "UInt8"), 10000000);
  auto big = read_block_body(rows);
  ASSERT_EQ(error_of(big), "ok");
  EXPECT_EQ(big->columns[0].data.size(), 10000000u);

  // Every column has a budget of its own: two full 64 MiB columns in one block.
  testing::ChainSource two;
  two.bytes(Wire().block_head(2, 8388608).column("a", "UInt64")).zeros(67108864);
  two.bytes(Wire().column("b", "UInt64")).zeros(67108864);
  auto full = read_block_body(two);
  ASSERT_EQ(error_of(full), "ok");
  EXPECT_EQ(full->columns[1].data.size(), 67108864u);
}

// The block's byte limit, for the reader and the buffer parser alike: every column's floor of
// kRowCellCost per row is charged before any body, and what a column makes (a LowCardinality
// expansion above all) before the memory is taken.
TEST(BlockReaderTest, ByteLimitChargesRowsAndExpansionsFirst) {
  const ByteVec key(8000, 'k');
  Wire lc = Wire().block_head(2, 8192);
  for (const char* name : {"a", "b"}) {
    lc.column(name, "LowCardinality(String)").u64(1).u64(0x200).u64(1).varint(key.size());
    lc.raw(key).u64(8192).fill(8192, 0);
  }
  const uint64_t expanded = 8192 * 8002;  // per column
  struct Case {
    const char* what;
    ByteVec wire;
    uint64_t limit;
    std::string error;
  };
  const Case cases[] = {
      {"three UInt64 rows", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1), 24, "ok"},
      {"one byte short", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1), 23,
       "decoded 24 bytes"},
      {"UInt8 rows cost a pointer each", Wire().block_head(1, 3).column("x", "UInt8").fill(3, 1),
       23, "decoded 24 bytes"},
      {"rows of nothing", Wire().block_head(1, 10000000).column("t", "Tuple()"), 64 << 20,
       "decoded 80000000 bytes"},
      {"rows without columns", Wire().block_head(0, 5), 39, "decoded 40 bytes"},
      {"expansions within the limit", lc, 2 * expanded, "ok"},
      {"the second expansion over it", lc, 2 * expanded - 1, "exceeds max_response_size"},
      {"the first one over it", lc, 1 << 20, "exceeds max_response_size 1048576"},
      // Refused as soon as the length is read, though the bytes have not all arrived.
      {"a string longer than the limit, still arriving",
       Wire().block_head(1, 1).column("x", "String").varint(2000000).fill(10, 0), 1 << 20,
       "exceeds max_response_size 1048576"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    base::MemorySource src(c.wire);
    const std::string kept = error_of(read_block_body(src, {}, c.limit));
    uint64_t pos = 0;
    const std::string parsed = error_of(parse_block_body(c.wire, pos, {}, c.limit));
    for (const std::string& got : {kept, parsed}) {
      if (c.error == "ok") {
        EXPECT_EQ(got, "ok");
      } else {
        EXPECT_NE(got.find(c.error), std::string::npos) << got;
      }
    }
  }
}

TEST(BlockReaderTest, RoundTripsThroughTheWriter) {
  const ByteVec wire = testing::sample_block();
  base::MemorySource src(wire);
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  // Bodies kept in another form (JSON without its version word, LowCardinality expanded) are
  // written back as they came.
  Block b = *block;
  const auto bodies = testing::body_cases();
  for (size_t i = 0; i < bodies.size(); ++i) {
    if (!bodies[i].kept.empty()) b.columns[i].data = base::Bytes::copy_of(bodies[i].wire);
  }
  base::ByteBuffer out;
  write_block(out, b);
  EXPECT_EQ(out.size(), block_capacity(b));
  EXPECT_EQ(ByteVec(out.data(), out.data() + out.size()), wire);
}

}  // namespace
}  // namespace tarnwick::protocol
