// The discarding reader at the limits of what it may walk.
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
