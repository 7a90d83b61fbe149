// The discarding reader's refusals, failures and limits against the keeping reader's.
#include "tarnwick/protocol/block_discarder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/results.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::error_of;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

// What the discarding reader answers where the keeping reader refuses a kind.
std::string as_discard_error(std::string keep_error) {
  const std::string from = "streaming read unsupported", to = "discard unsupported";
  if (auto at = keep_error.find(from); at != std::string::npos)
    keep_error.replace(at, from.size(), to);
  return keep_error;
}

TEST(BlockDiscarderTest, RefusalsAndFailures) {
  for (const auto& c : testing::failure_cases()) {
    auto type = parse_type(c.type);
    ASSERT_TRUE(type.ok()) << c.type;
    testing::OneByteSource src(c.wire);
    EXPECT_EQ(error_of(discard_column_data(src, *type, c.rows)), as_discard_error(c.error))
        << c.type;
    EXPECT_EQ(src.consumed(), c.consumed) << c.type;
    testing::OneByteSource none(c.wire);
    EXPECT_TRUE(discard_column_data(none, *type, 0).ok()) << c.type;
    EXPECT_EQ(none.consumed(), 0u) << c.type;
  }
}

TEST(BlockDiscarderTest, LimitsAtTheirBoundaries) {
  for (const auto& c : testing::limit_cases()) {
    testing::ZeroTailSource src(c.prefix, c.zeros);
    const std::string got = error_of(discard_column_data(src, *parse_type(c.type), c.rows));
    EXPECT_EQ(got, c.discard_error) << c.type << " " << c.rows;
    if (got == "ok") {
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
