// Blocks the real server sent, through the keeping reader: every captured column body is kept
// byte for byte (the manifest's extents come from the capture, not from this code), and the values
// of the native-protocol replies are the ones the queries asked for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/golden_blocks.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/low_cardinality.h"

namespace tarnwick::protocol {
namespace {

using ByteVec = std::vector<uint8_t>;

TEST(BlockGoldenTest, CapturedBodiesAreKeptAsSent) {
  int decoded = 0;
  for (const auto& g : testing::golden_blocks()) {
    for (bool one_byte : {false, true}) {
      base::MemorySource whole(g.wire);
      testing::OneByteSource slow(g.wire);
      auto block = read_block_body(one_byte ? static_cast<base::ByteSource&>(slow) : whole,
                                   testing::kGoldenLayout);
      ASSERT_TRUE(block.ok()) << g.what << ": " << block.error().to_string();
      EXPECT_EQ(block->rows, g.rows) << g.what;
      for (size_t c = 0; c < g.bodies.size(); ++c) {
        const auto& data = block->columns.at(c).data;
        ByteVec expected = g.bodies[c];
        const ColumnType type = *parse_type(g.columns[c].second);
        if (type.kind != TypeKind::LowCardinality && has_low_cardinality(type)) {
          continue;  // nested and expanded: its values meet the server's text in GoldenColumns
        }
        if (type.kind == TypeKind::LowCardinality) {
          // Kept expanded; encoded again, the expansion gives back the server's very bytes.
          auto encoded = encode_low_cardinality(type.inner(), data.span(), g.rows);
          ASSERT_TRUE(encoded.ok()) << g.what << ": " << encoded.error().to_string();
          EXPECT_EQ(ByteVec(encoded->data(), encoded->data() + encoded->size()), expected)
              << g.what << " column " << c;
          if (type.inner().kind != TypeKind::String) continue;
          // LowCardinality(String): the plain String body of the rows the server rendered.
          testing::Wire plain;
          for (const auto& row : g.tsv) plain.str(row.at(c));
          expected = plain.get();
        }
        EXPECT_EQ(ByteVec(data.data(), data.data() + data.size()), expected)
            << g.what << " column " << c;
      }
      decoded += !one_byte;
    }
  }
  EXPECT_EQ(decoded, 19 + 11);
}

Block golden_block(const std::string& what) {
  for (const auto& g : testing::golden_blocks()) {
    if (g.what != what) continue;
    base::MemorySource src(g.wire);
    auto block = read_block_body(src, testing::kGoldenLayout);
    EXPECT_TRUE(block.ok()) << what;
    return block.ok() ? *block : Block();
  }
  ADD_FAILURE() << "no block " << what;
  return Block();
}

TEST(BlockGoldenTest, ServerRepliesThroughCompressedFrames) {
  // 150000 UInt64 values in one block that the server split over two LZ4 frames.
  Block large = golden_block("tcp_large_block.bin @53");
  ASSERT_EQ(large.rows, 150000u);
  ASSERT_EQ(large.columns.size(), 1u);
  EXPECT_EQ(large.columns[0].name, "number");
  ASSERT_EQ(large.columns[0].data.size(), 1200000u);
  for (uint64_t i = 0; i < large.rows; ++i) {
    uint64_t v;
    std::memcpy(&v, large.columns[0].data.data() + 8 * i, 8);
    ASSERT_EQ(v, i);
  }

  Block strings = golden_block("tcp_strings.bin @57");
  ASSERT_EQ(strings.rows, 6u);
  ASSERT_EQ(strings.columns.size(), 2u);
  testing::Wire s, u;
  const char* cycle[] = {"", "h\xc3\xa9llo", "\xe6\x97\xa5\xe6\x9c\xac"};
  for (uint64_t i = 0; i < strings.rows; ++i) {
    s.str(std::to_string(i * 7));
    u.str(cycle[i % 3]);
  }
  EXPECT_EQ(strings.columns[0].data.view(),
            std::string_view(reinterpret_cast<const char*>(s.get().data()), s.size()));
  EXPECT_EQ(strings.columns[1].data.view(),
            std::string_view(reinterpret_cast<const char*>(u.get().data()), u.size()));
}

}  // namespace
}  // namespace tarnwick::protocol
