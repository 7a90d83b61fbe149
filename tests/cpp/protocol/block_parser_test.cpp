// The three block decoders against each other: on every real-server capture and every block of the
// readers' tests the buffered parser builds the same Block as the keeping reader, the discarding
// reader counts the same rows, and all end at the same byte or fail alike; every strict prefix of
// a block is incomplete.
#include "tarnwick/protocol/block_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/block_prefixes.h"
#include "support/golden_blocks.h"
#include "support/results.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::error_of;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

// Parses `wire` placed between unrelated bytes, from the position where it starts.
base::Result<Block> parse_within(const ByteVec& wire, uint64_t& end, const BlockLayout& layout) {
  ByteVec buf = {0xEE, 0xEE, 0xEE};
  buf.insert(buf.end(), wire.begin(), wire.end());
  buf.push_back(0xEE);
  uint64_t pos = 3;
  auto block = parse_block_body(buf, pos, layout);
  end = pos - 3;
  return block;
}

// Returns whether all three decoders accepted the block.
bool check_agreement(const ByteVec& wire, const std::string& what, const BlockLayout& layout = {}) {
  base::MemorySource keep_src(wire), discard_src(wire);
  auto kept = read_block_body(keep_src, layout);
  auto rows = discard_block_body(discard_src, layout);
  uint64_t end = 0;
  auto parsed = parse_within(wire, end, layout);
  EXPECT_EQ(parsed.ok(), kept.ok()) << what << ": " << error_of(parsed) << " / " << error_of(kept);
  // The discarder fails as the keeping reader does, the same bytes fed whole or one at a time.
  testing::OneByteSource slow(wire);
  EXPECT_EQ(error_of(discard_block_body(slow, layout)), error_of(rows)) << what;
  EXPECT_EQ(slow.consumed(), wire.size() - discard_src.remaining()) << what;
  const bool discards = rows.ok() || !rows.error().message().starts_with("discard unsupported");
  if (!kept.ok()) {
    if (discards) {
      EXPECT_EQ(error_of(rows), error_of(kept)) << what;
    }
    return false;
  }
  if (!parsed.ok()) return false;
  EXPECT_EQ(end, wire.size() - keep_src.remaining()) << what;
  if (discards) {
    EXPECT_EQ(error_of(rows), "ok") << what;
    EXPECT_EQ(discard_src.remaining(), keep_src.remaining()) << what;
    EXPECT_EQ(*rows, kept->rows) << what;
  }
  EXPECT_EQ(parsed->rows, kept->rows) << what;
  EXPECT_EQ(parsed->columns.size(), kept->columns.size()) << what;
  for (size_t c = 0; c < parsed->columns.size() && c < kept->columns.size(); ++c) {
    const ColumnInfo &p = parsed->columns[c], &k = kept->columns[c];
    EXPECT_EQ(p.name, k.name) << what;
    EXPECT_EQ(p.type_name, k.type_name) << what;
    EXPECT_EQ(p.data.view(), k.data.view()) << what << " column " << k.name;
  }
  testing::check_prefixes(wire, what, layout, discards);
  return true;
}

TEST(BlockParserTest, AgreesOnEveryGoldenCapture) {
  int agreed = 0;
  for (const auto& g : testing::golden_blocks())
    agreed += check_agreement(g.wire, g.what, testing::kGoldenLayout);
  EXPECT_EQ(agreed, 19 + 11);
}

TEST(BlockParserTest, AgreesOnEveryReaderTestBlock) {
  EXPECT_TRUE(check_agreement(testing::sample_block(), "sample block"));
  // State prefixes ahead of the bodies (which the discarding reader refuses); the member's key
  // version is part of the Dynamic prefix.
  const Wire prefix =
      Wire().u64(2).varint(2).str("String").str("Array(LowCardinality(UInt8))").u64(1);
  const Wire body = Wire().bytes({0, 1}).str("s").u64(1).u64(0x200).u64(1).bytes({3}).u64(1).bytes(
      {0});  // kept in its wire form
  Wire w;
  w.block_head(2, 2).column("v", "Variant(Dynamic, UInt8)").u64(0).raw(prefix).bytes({0, 0});
  w.raw(body).column("d", "Dynamic").raw(prefix).raw(body);
  EXPECT_TRUE(check_agreement(w, "Variant and Dynamic"));
  for (const auto& c : testing::header_cases()) check_agreement(c.wire, c.what);
  for (const auto& c : testing::body_cases()) {
    Wire w;
    w.block_head(2, 2).column("a", c.type).raw(c.wire).column("b", "UInt8").bytes({0x5A, 0x5A});
    EXPECT_TRUE(check_agreement(w, c.type));
  }
}

TEST(BlockParserTest, WhereTheParserDiffers) {
  const std::string e = "protocol error: ";
  struct Case {
    Wire wire;
    std::string error;
  } cases[] = {
      {Wire().bytes({1, 0, 2}), "I/O error: failed to fill whole buffer"},
      {Wire().block_head(1, 1).str("x").str("UInt8"), "I/O error: failed to fill whole buffer"},
      {Wire().block_head(1, 1).column("x", "Nope("),
       e + "bad type 'Nope(': malformed type name (unclosed paren): Nope("},
      {Wire().block_head(1, 1).column("x", "Array(JSON)").u64(1).u64(1).str("{}"),
       e + "nested JSON columns are not supported in buffered block reads (column type "
           "Array(JSON)); use uncompressed reads or query_raw"},
      {Wire().block_head(1, 0).column("x", "Array(JSON)"), "ok"},
      // A type whose layout is unknown is refused as the keeping reader refuses it, before any
      // of its bytes are read (here they would pass as a string).
      {Wire().block_head(1, 1).column("x", "Nested(a UInt8)").str("s"),
       e + "streaming read unsupported for column type Other(\"Nested(a UInt8)\")"},
  };
  for (const Case& c : cases) {
    const ByteVec& wire = c.wire;
    uint64_t pos = 0;
    auto block = parse_block_body(wire, pos);
    EXPECT_EQ(error_of(block), c.error);
    // A bad type that ends the received bytes is still bad, not cut short.
    EXPECT_EQ(!block.ok() && is_incomplete(block.error()), c.error.starts_with("I/O")) << c.error;
    if (block.ok()) {  // the one body is kept as received
      EXPECT_EQ(pos, wire.size());
      EXPECT_TRUE(std::string_view(reinterpret_cast<const char*>(wire.data()), wire.size())
                      .ends_with(block->columns.at(0).data.view()));
    }
  }
}

}  // namespace
}  // namespace tarnwick::protocol
