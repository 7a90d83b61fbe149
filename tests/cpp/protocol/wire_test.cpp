#include "tarnwick/protocol/wire.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/sources.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes varint_bytes(uint64_t v) {
  ByteBuffer out;
  write_varint(out, v);
  return Bytes(out.data(), out.data() + out.size());
}

template <class Fn>
void both_sources(const Bytes& bytes, Fn&& check) {
  base::MemorySource whole(bytes);
  check(static_cast<ByteSource&>(whole));
  testing::OneByteSource slow(bytes);
  check(static_cast<ByteSource&>(slow));
}

TEST(WireTest, VarintEncodingsRoundTrip) {
  const struct {
    uint64_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {1ULL << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {~0ULL, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(varint_bytes(c.value), c.bytes) << c.value;
    both_sources(c.bytes, [&](ByteSource& src) { EXPECT_EQ(*read_varint(src), c.value); });
    uint64_t pos = 0;
    EXPECT_EQ(*parse_varint(c.bytes, pos), c.value);
    EXPECT_EQ(pos, c.bytes.size());
  }
  both_sources({0x80, 0x00}, [](ByteSource& src) { EXPECT_EQ(*read_varint(src), 0u); });
}

TEST(WireTest, VarintOverflowAndTruncation) {
  Bytes nine_continued(9, 0xFF);
  for (uint8_t tenth : {0x02, 0x81}) {
    Bytes b = nine_continued;
    b.push_back(tenth);
    b.push_back(0x00);
    both_sources(b, [](ByteSource& src) {
      auto r = read_varint(src);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), "protocol error: varint overflow");
    });
  }
  // Slice form: 0x02 fails at once; 0x80/0x81 need an 11th byte first.
  Bytes b = nine_continued;
  b.push_back(0x02);
  uint64_t pos = 0;
  EXPECT_EQ(parse_varint(b, pos).error().message(), "varint overflow");
  EXPECT_EQ(pos, 10u);
  b.back() = 0x81;
  pos = 0;
  EXPECT_EQ(parse_varint(b, pos).error().message(), "unexpected end of buffer parsing varint");
  b.push_back(0x00);
  pos = 0;
  EXPECT_EQ(parse_varint(b, pos).error().message(), "varint overflow");
  EXPECT_EQ(pos, 11u);
  pos = 12;
  EXPECT_EQ(parse_varint(b, pos).error().message(), "unexpected end of buffer parsing varint");

  both_sources({0x80, 0x80}, [](ByteSource& src) {
    auto r = read_varint(src);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_io(base::IoKind::UnexpectedEof));
  });
}

TEST(WireTest, StringLimitsAndUtf8) {
  // 16777215 bytes are read; 16777216 is refused before a body byte is taken.
  testing::ZeroTailSource max_len(varint_bytes(16777215), 16777215);
  auto ok = read_string_bytes(max_len);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->size(), 16777215u);
  testing::ZeroTailSource too_long(varint_bytes(16777216), 1);
  auto refused = read_string(too_long);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "string length 16777216 exceeds clickhouse-cpp limit 16777215");
  uint8_t next;
  EXPECT_TRUE(too_long.read_exact(&next, 1).ok());  // the body byte is still there

  Bytes bad = {0x03, 'a', 0xC3, 0x28};
  both_sources(bad, [](ByteSource& src) {
    EXPECT_EQ(read_string(src).error().message(),
              "invalid utf8: invalid utf-8 sequence of 1 bytes from index 1");
  });
  both_sources({0x02, 'a', 0xE6}, [](ByteSource& src) {
    EXPECT_EQ(read_string(src).error().message(),
              "invalid utf8: incomplete utf-8 byte sequence from index 1");
  });
  both_sources({0x05, 'a', 'b'}, [](ByteSource& src) {
    auto r = read_string(src);
    EXPECT_EQ(r.error().to_string(), "I/O error: failed to fill whole buffer");
  });
}

TEST(WireTest, CountLimits) {
  EXPECT_EQ(limits::checked_count(65536, "password complexity rule", 65536).value(), 65536u);
  EXPECT_EQ(limits::checked_count(65537, "block column", 65536).error().message(),
            "block column count 65537 exceeds limit 65536");
}

TEST(ReadColumnContextTest, BoundsAndOverflow) {
  const uint8_t bytes[16] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  ReadColumnContext ctx(bytes, 2);
  EXPECT_EQ(*ctx.read_offsets(), (std::vector<uint64_t>{1, 2}));
  EXPECT_TRUE(ctx.read_exact(0)->empty());
  EXPECT_EQ(ctx.read_exact(1).error().message(),
            "ReadColumnContext: requested 1 bytes at offset 16, buffer len 16");
  ReadColumnContext wide(bytes, 1ULL << 60);
  EXPECT_EQ(wide.read_offsets().error().message(),
            "ReadColumnContext: requested 9223372036854775808 bytes at offset 0, buffer len 16");
  EXPECT_EQ(wide.pos(), 0u);
  ReadColumnContext none(bytes, 0);
  EXPECT_TRUE(none.read_rows_bytes(1000)->empty());
  ASSERT_TRUE(none.read_exact(10).ok());
  EXPECT_EQ(
      none.read_exact(~0ULL).error().message(),
      "ReadColumnContext: requested 18446744073709551615 bytes at offset 10, length overflow");
}

}  // namespace
}  // namespace tarnwick::protocol
