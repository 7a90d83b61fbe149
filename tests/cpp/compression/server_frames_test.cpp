// Frames made by a real server (captured from a ClickHouse 18.16 session): the checksums and the
// LZ4 data are the server's own, not ours.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/compression/decompressing_reader.h"

namespace tarnwick::compression {
namespace {

std::vector<uint8_t> load(const char* name) {
  std::ifstream in(std::string(TARNWICK_VECTORS_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ServerFramesTest, BlockSplitOverTwoFramesDecodes) {
  // Data packet at 53: type 1, empty table name, then a 150000-row UInt64 block in two frames
  // (1 MiB + 151450 bytes decoded).
  auto bytes = load("tcp_large_block.bin");
  ASSERT_EQ(bytes.size(), 600478u);
  ASSERT_EQ(bytes[53], 0x01);  // server Data
  ASSERT_EQ(bytes[54], 0x00);  // empty table name
  base::MemorySource source(std::span<const uint8_t>(bytes).subspan(55));
  DecompressingReader reader(source);
  ASSERT_TRUE(reader.start().ok());
  EXPECT_FALSE(reader.passthrough());
  std::vector<uint8_t> decoded(1048576 + 151450);
  ASSERT_TRUE(reader.read_exact(decoded.data(), decoded.size()).ok());
  EXPECT_EQ(reader.decoded_total(), decoded.size());
  EXPECT_EQ(source.remaining(), 600478u - 600418u);  // exactly the two frames were taken
  // The column body ends the block: the values 0..149999.
  const uint8_t* body = decoded.data() + decoded.size() - 150000 * 8;
  for (uint64_t i = 0; i < 150000; i += 7499) {
    uint64_t v;
    std::memcpy(&v, body + i * 8, 8);
    ASSERT_EQ(v, i);
  }
}

TEST(ServerFramesTest, FlippedChecksumBitIsRefused) {
  auto bytes = load("tcp_numbers.bin");
  bytes[55 + 3] ^= 0x10;  // inside the checksum of the 10-row block's frame
  base::MemorySource source(std::span<const uint8_t>(bytes).subspan(55));
  DecompressingReader reader(source);
  base::Status st = reader.start();
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_io(base::IoKind::InvalidData)) << st.error().to_string();
}

}  // namespace
}  // namespace tarnwick::compression
