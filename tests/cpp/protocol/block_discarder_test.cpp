// The discarding reader against the keeping reader: the same bytes consumed, the same row count and
// the same failure on every block and body the readers' tests use and every real-server capture.
#include "tarnwick/protocol/block_discarder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
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

// What the discarding reader answers where the keeping reader refuses a kind.
std::string as_discard_error(std::string keep_error) {
  const std::string from = "streaming read unsupported", to = "discard unsupported";
  if (auto at = keep_error.find(from); at != std::string::npos)
    keep_error.replace(at, from.size(), to);
  return keep_error;
}

// Every strict prefix of a block both readers accept fails with the source's end-of-input error:
// one byte per refill for the first 4 KiB, then (past 64 KiB) from memory for the last 4 KiB and
// every 65521st prefix in between.
void check_prefixes(const ByteVec& wire, const std::string& what, const BlockLayout& layout) {
  const size_t n = wire.size();
  const bool large = n > 65536;
  for (size_t len = 0; len < n; ++len) {
    if (large && len >= 4096 && len + 4096 < n && len % 65521 != 0) continue;
    std::span<const uint8_t> prefix = std::span(wire).first(len);
    testing::OneByteSource slow(prefix);
    base::MemorySource whole(prefix);
    auto r =
        discard_block_body(large && len >= 4096 ? static_cast<ByteSource&>(whole) : slow, layout);
    ASSERT_FALSE(r.ok()) << what << " prefix " << len;
    ASSERT_TRUE(r.error().is_io(base::IoKind::UnexpectedEof))
        << what << " prefix " << len << ": " << r.error().to_string();
  }
}

void check_against_reader(const ByteVec& wire, const std::string& what,
                          const BlockLayout& layout = {}) {
  base::MemorySource keep_src(wire);
  auto kept = read_block_body(keep_src, layout);
  base::MemorySource whole(wire);
  auto a = discard_block_body(whole, layout);
  testing::OneByteSource slow(wire);
  auto b = discard_block_body(slow, layout);
  EXPECT_EQ(error_of(a), kept.ok() ? "ok" : as_discard_error(kept.error().to_string())) << what;
  EXPECT_EQ(error_of(b), error_of(a)) << what;
  EXPECT_EQ(slow.consumed(), wire.size() - whole.remaining()) << what;
  if (!kept.ok() || !a.ok()) return;
  EXPECT_EQ(whole.remaining(), keep_src.remaining()) << what;
  EXPECT_EQ(*a, kept->rows) << what;
  EXPECT_EQ(*b, kept->rows) << what;
  check_prefixes(wire, what, layout);
}

TEST(BlockDiscarderTest, WalksEveryGoldenCaptureAsTheReaderDoes) {
  auto blocks = testing::golden_blocks();
  ASSERT_EQ(blocks.size(), 19u + 11);  // the manifest's blocks; 3 + 3 + 2 + 3 Data packets
  for (const auto& b : blocks) {
    check_against_reader(b.wire, b.what, testing::kGoldenLayout);
    base::MemorySource src(b.wire);
    EXPECT_EQ(error_of(discard_block_body(src, testing::kGoldenLayout)), "ok") << b.what;
  }
}

TEST(BlockDiscarderTest, WalksEveryReaderTestBlockAsTheReaderDoes) {
  check_against_reader(testing::sample_block(), "sample block");
  for (const auto& c : testing::header_cases()) check_against_reader(c.wire, c.what);
  for (const auto& c : testing::body_cases()) {
    Wire w;
    w.block_head(2, 2).column("a", c.type).raw(c.wire).column("b", "UInt8").bytes({0x5A, 0x5A});
    check_against_reader(w, c.type);
    base::MemorySource src(w.get());
    EXPECT_EQ(error_of(discard_block_body(src)), "ok") << c.type;
  }
}

TEST(BlockDiscarderTest, RefusalsAndFailures) {
  for (const auto& c : testing::failure_cases()) {
    auto type = parse_type(c.type);
    ASSERT_TRUE(type.ok()) << c.type;
    testing::OneByteSource src(c.wire);
    Status st = discard_column_data(src, *type, c.rows);
    EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), as_discard_error(c.error)) << c.type;
    EXPECT_EQ(src.consumed(), c.consumed) << c.type;
    testing::OneByteSource none(c.wire);
    EXPECT_TRUE(discard_column_data(none, *type, 0).ok()) << c.type;
    EXPECT_EQ(none.consumed(), 0u) << c.type;
  }
}

TEST(BlockDiscarderTest, LimitsAtTheirBoundaries) {
  for (const auto& c : testing::limit_cases()) {
    testing::ZeroTailSource src(c.prefix, c.zeros);
    Status st = discard_column_data(src, *parse_type(c.type), c.rows);
    EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), c.discard_error) << c.type << " " << c.rows;
    if (st.ok()) {
      EXPECT_FALSE(src.read_u8().ok()) << c.type << ": all taken";
    }
  }
  testing::ZeroTailSource rows(Wire().block_head(1, 10000000).column("z", "UInt8"), 10000000);
  EXPECT_EQ(error_of(discard_block_body(rows)), "ok");

  // Skips of more than size_t-sized steps, without a copy.
  testing::ChainSource big;
  big.zeros(uint64_t{3} << 30);
  EXPECT_TRUE(discard_exact(big, uint64_t{3} << 30).ok());
  EXPECT_EQ(discard_exact(big, 1).error().to_string(), "I/O error: failed to fill whole buffer");
}

}  // namespace
}  // namespace tarnwick::protocol
