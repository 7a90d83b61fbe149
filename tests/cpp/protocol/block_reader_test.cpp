#include "tarnwick/protocol/block_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
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
