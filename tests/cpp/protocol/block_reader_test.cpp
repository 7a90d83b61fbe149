#include "tarnwick/protocol/block_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/chain_source.h"
#include "support/sources.h"
#include "support/wire_builder.h"
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

using testing::sample_block;
using Sample = testing::SampleBlock;

TEST(BlockReaderTest, DecodesColumnsIntoOneSharedBuffer) {
  Sample s = sample_block();
  for (int pass = 0; pass < 2; ++pass) {
    base::MemorySource whole(s.wire.get());
    testing::OneByteSource slow(s.wire.get());
    ByteSource& src = pass == 0 ? static_cast<ByteSource&>(whole) : slow;
    auto block = read_block_body(src);
    ASSERT_EQ(error_of(block), "ok");
    EXPECT_EQ(pass == 0 ? whole.remaining() : s.wire.size() - slow.consumed(), 0u);
    EXPECT_EQ(block->rows, 2u);
    ASSERT_EQ(block->columns.size(), s.bodies.size());
    const uint8_t* next = block->columns[0].data.data();
    for (size_t i = 0; i < s.bodies.size(); ++i) {
      const ColumnInfo& c = block->columns[i];
      EXPECT_EQ(c.name, "c" + std::to_string(i));
      EXPECT_EQ(c.type_name, s.bodies[i].first);
      EXPECT_EQ(bytes_of(c.data), s.bodies[i].second) << c.type_name;
      EXPECT_TRUE(c.materialized.empty());
      EXPECT_EQ(c.data.data(), next) << c.type_name;  // back to back in one allocation
      next = c.data.data() + c.data.size();
      EXPECT_EQ(c.data.use_count(), s.bodies.size());
    }
  }
}

TEST(BlockReaderTest, EveryTruncationFailsWithTheSourceError) {
  Sample s = sample_block();
  const ByteVec& full = s.wire.get();
  for (size_t n = 0; n < full.size(); ++n) {
    ByteVec prefix(full.begin(), full.begin() + static_cast<ptrdiff_t>(n));
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
  // 65536 columns of 0 rows; one more is refused before any column is read.
  Wire many;
  many.block_head(65536, 0);
  for (int i = 0; i < 65536; ++i) many.column("", "UInt8");
  base::MemorySource src(many.get());
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  EXPECT_EQ(block->columns.size(), 65536u);

  // 10000000 rows of one UInt8 column (zeros made lazily); one row more is refused.
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

TEST(BlockReaderTest, ZeroRowBodiesOfEveryKindLeaveTheNextColumnIntact) {
  const char* kinds[] = {"UInt8",
                         "Nothing",
                         "String",
                         "Decimal(77, 0)",
                         "JSON",
                         "LowCardinality(String)",
                         "Variant(UInt8)",
                         "Dynamic",
                         "AggregateFunction(sum, UInt8)",
                         "Nested(a UInt8)",
                         "MultiPolygon",
                         "Map(String, Array(UInt8))",
                         "Tuple(String, Nullable(UInt8))",
                         "FixedString(3)",
                         "Int256"};
  for (const char* kind : kinds) {
    // An array column whose rows are all empty: the element column has 0 rows.
    std::string type = std::string("Array(") + kind + ")";
    Wire w;
    w.block_head(2, 2).column("a", type).u64(0).u64(0).column("b", "UInt16").bytes({1, 2, 3, 4});
    base::MemorySource src(w.get());
    auto block = read_block_body(src);
    ASSERT_EQ(error_of(block), "ok") << type;
    EXPECT_EQ(block->columns[0].data.size(), 16u) << type;
    EXPECT_EQ(bytes_of(block->columns[1].data), ByteVec({1, 2, 3, 4})) << type;
  }
  // A block of zero rows carries no bodies at all.
  Wire w;
  w.block_head(3, 0).column("a", "LowCardinality(String)").column("b", "JSON").column("c", "UInt8");
  base::MemorySource src(w.get());
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  EXPECT_EQ(block->columns.size(), 3u);
  EXPECT_EQ(src.remaining(), 0u);
}

TEST(BlockReaderTest, RoundTripsThroughTheWriter) {
  Sample s = sample_block();
  base::MemorySource src(s.wire.get());
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  // The JSON version word is not kept, so write that column's body back with it.
  Block b = *block;
  for (ColumnInfo& c : b.columns) {
    if (c.type_name == "JSON") {
      c.data = base::Bytes::copy_of(Wire().u64(1).raw(bytes_of(c.data)).get());
    }
  }
  base::ByteBuffer out;
  write_block(out, b);
  EXPECT_EQ(out.size(), block_capacity(b));
  EXPECT_EQ(ByteVec(out.data(), out.data() + out.size()), s.wire.get());

  base::MemorySource again(out.span());
  auto back = read_block_body(again);
  ASSERT_EQ(error_of(back), "ok");
  ASSERT_EQ(back->columns.size(), block->columns.size());
  for (size_t i = 0; i < back->columns.size(); ++i) {
    EXPECT_EQ(back->columns[i].name, block->columns[i].name);
    EXPECT_EQ(back->columns[i].type_name, block->columns[i].type_name);
    EXPECT_EQ(bytes_of(back->columns[i].data), bytes_of(block->columns[i].data));
  }
}

}  // namespace
}  // namespace tarnwick::protocol
