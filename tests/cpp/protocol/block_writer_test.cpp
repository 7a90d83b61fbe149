#include "tarnwick/protocol/block_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::Wire;
using ByteVec = std::vector<uint8_t>;

ByteVec vec(const base::ByteBuffer& b) {
  return ByteVec(b.data(), b.data() + b.size());
}

TEST(BlockWriterTest, LayoutAndExactCapacity) {
  Block empty;
  base::ByteBuffer out;
  write_block(out, empty);
  EXPECT_EQ(vec(out), ByteVec({1, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}));
  EXPECT_EQ(block_capacity(empty), 10u);

  Block b;
  b.rows = 300;
  b.columns.push_back({std::string(128, 'n'), "UInt8", {}, {}});  // two-byte name prefix, no data
  b.columns.push_back({"s", "String", base::Bytes::copy_of(std::string_view("\x01x", 2)), {}});
  // Servers before revision 54454 take no custom-serialization flag.
  for (uint64_t revision : {54483, 54454, 54453, 54412}) {
    const BlockLayout layout = BlockLayout::for_revision(revision);
    const bool flag = revision >= 54454;
    base::ByteBuffer appended;
    appended.append(std::string_view("prefix"));
    write_block(appended, b, layout);
    Wire expect;
    expect.raw("prefix").block_head(2, 300).column(std::string(128, 'n'), "UInt8", flag);
    expect.column("s", "String", flag).bytes({1, 'x'});
    EXPECT_EQ(vec(appended), expect.get()) << revision;
    EXPECT_EQ(block_capacity(b, layout), appended.size() - 6) << revision;
  }
}

TEST(BlockWriterTest, DataPacketFramesTheBlockInPiecesOfAtMostOneMiB) {
  constexpr size_t kMiB = 1 << 20;
  Block small;
  small.rows = 3;
  small.columns.push_back({"n", "UInt16", base::Bytes::copy_of(Wire().fill(6, 0xAB).get()), {}});
  // Bodies that straddle frame boundaries: one frame ends inside the first body, the next spans
  // the rest of it, the second header and the start of the second body.
  Block large;
  large.rows = 100000;
  ByteVec first(700 * 1024), second(1700 * 1024);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 131 >> 3);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(i * 7 ^ i >> 9);
  large.columns.push_back({"a", "Other", base::Bytes::copy_of(first), {}});
  large.columns.push_back({"b", "Other", base::Bytes::copy_of(second), {}});

  // The large block also goes out in the layout without custom-serialization bytes.
  const BlockLayout current, flagless{false};
  for (auto [b, layout] : {std::pair{&small, &current}, {&large, &current}, {&large, &flagless}}) {
    base::ByteBuffer plain;
    write_block(plain, *b, *layout);
    const size_t frames = (plain.size() + kMiB - 1) / kMiB;
    for (uint8_t method : {compression::kMethodNone, compression::kMethodLz4}) {
      base::ByteBuffer out;
      ASSERT_TRUE(write_data_packet_compressed(out, "t\xc3\xa9", *b, method, *layout).ok());
      ByteVec head = Wire().bytes({0x02}).str("t\xc3\xa9");
      ASSERT_GT(out.size(), head.size());
      EXPECT_EQ(ByteVec(out.data(), out.data() + head.size()), head);
      auto rest = std::span<const uint8_t>(out.data() + head.size(), out.size() - head.size());
      ByteVec decoded;
      size_t seen = 0;
      while (!rest.empty()) {
        EXPECT_EQ(rest[16], method);
        auto payload = compression::decode_frame_bytes(rest);
        ASSERT_TRUE(payload.ok()) << payload.error().to_string();
        EXPECT_EQ(payload->size(), ++seen < frames ? kMiB : plain.size() - (frames - 1) * kMiB);
        decoded.insert(decoded.end(), payload->data(), payload->data() + payload->size());
        rest = rest.subspan(16 + compression::parse_frame_header(rest.data() + 16).compressed_size);
      }
      EXPECT_EQ(seen, frames);
      EXPECT_EQ(decoded, vec(plain));
    }
  }

  base::ByteBuffer out;
  auto refused = write_data_packet_compressed(out, "t", small, compression::kMethodZstd);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().to_string(),
            "compression error: ZSTD compression requested but 'zstd' feature not enabled");
  EXPECT_EQ(vec(out), Wire().bytes({0x02}).str("t").get());  // the packet head stays
}

// What a block held expanded becomes for sending (the encoded bytes themselves are checked against
// the server's layout by the Python insert round trip).
TEST(BlockWriterTest, WireFormOfExpandedLowCardinality) {
  const auto bytes = [](std::string_view s) { return base::Bytes::copy_of(s); };
  const std::string e = "protocol error: cannot send column ";
  struct Case {
    ColumnInfo column;
    uint64_t rows;
    std::string result;  // the size of the body sent, or the error
  } cases[] = {
      {{"s", "LowCardinality(String)", bytes("\x01x"), {}}, 1, "36"},            // keys "" and "x"
      {{"s", "LowCardinality(String)", bytes(std::string(32, 1)), {}}, 0, "0"},  // no rows, no body
      {{"a", "Array(LowCardinality(String))", bytes(std::string(9, 0)), {}},
       1,
       e + "'a' of type Array(LowCardinality(String)): a LowCardinality nested in another type is "
           "held expanded and is not encoded for sending"},
      {{"d", "LowCardinality(Decimal(9, 2))", bytes("\0\0\0\0"), {}},
       1,
       e + "'d' of type LowCardinality(Decimal(9, 2)): LowCardinality(Decimal(9, 2)) encoding is "
           "not supported"},
  };
  for (const Case& c : cases) {
    Block b;
    b.rows = c.rows;
    b.columns = {{"n", "UInt8", bytes("\x07"), {}}, c.column};
    auto sent = wire_form(b);
    std::string got = sent.ok() ? "" : sent.error().to_string();
    if (sent.ok() && sent->has_value()) {
      got = std::to_string((*sent)->columns[1].data.size());
      EXPECT_EQ((*sent)->columns[0].data.data(), b.columns[0].data.data());  // shared
      EXPECT_FALSE(wire_form(**sent)->has_value()) << "encoded twice";
    }
    EXPECT_EQ(got, c.result) << c.column.type_name;
  }
}

}  // namespace
}  // namespace tarnwick::protocol
