#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/base/buffer_pool.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::base {
namespace {

TEST(ErrorTest, DisplayTexts) {
  EXPECT_EQ(Error::server(60, "UNKNOWN_TABLE", "no such table").to_string(),
            "server error (code=60, name=UNKNOWN_TABLE): no such table");
  EXPECT_EQ(Error::protocol("varint overflow").to_string(), "protocol error: varint overflow");
  EXPECT_EQ(Error::io(IoError::unexpected_eof()).to_string(),
            "I/O error: failed to fill whole buffer");
  EXPECT_EQ(Error::io(IoError::from_errno(ECONNREFUSED)).to_string(),
            "I/O error: Connection refused (os error 111)");
  EXPECT_EQ(Error::response_too_large(10, 5).to_string().substr(0, 75),
            "response too large: decoded 10 bytes of result blocks exceeds max_response_");
  EXPECT_EQ(Error::out_of_memory(4096).to_string(), "out of memory: could not allocate 4096 bytes");
  EXPECT_EQ(Error::out_of_memory(0).to_string(), "out of memory");
  Error copy = Error::auth("denied");
  Error moved = copy;
  EXPECT_EQ(moved.to_string(), "authentication error: denied");
  EXPECT_EQ(copy.kind(), ErrorKind::Auth);
}

Result<int> half(int v) {
  if (v % 2) return Error::protocol("odd");
  return v / 2;
}

Result<int> quarter(int v) {
  TW_ASSIGN_OR_RETURN(int h, half(v));
  TW_ASSIGN_OR_RETURN(h, half(h));
  return h;
}

TEST(ResultTest, PropagatesFirstError) {
  EXPECT_EQ(*quarter(8), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "odd");
  Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(sizeof(Status), sizeof(void*));
}

TEST(BytesTest, SlicesShareOneAllocationAcrossThreads) {
  ByteBuffer buf;
  for (int i = 0; i < 1000; ++i) buf.push_back(static_cast<uint8_t>(i));
  const uint8_t* storage = buf.data();
  Bytes whole = std::move(buf).freeze();
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(whole.data(), storage);  // freezing does not copy
  Bytes tail = whole.slice(990, 10);
  EXPECT_EQ(tail[0], static_cast<uint8_t>(990));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([tail] {
      for (int i = 0; i < 10000; ++i) {
        Bytes copy = tail;
        (void)copy;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(whole.use_count(), 2u);
  whole = Bytes();
  EXPECT_EQ(tail.use_count(), 1u);
  EXPECT_EQ(tail[9], static_cast<uint8_t>(999));
  EXPECT_TRUE(whole.slice(0, 0).empty());
}

TEST(BytesTest, GrowthStaysWithinTheRoomItIsGivenAndKeptBuffersHoldNoSlack) {
  // (bytes held, bytes asked for, room, capacity after): doubling where the room allows it, up to
  // the room where it does not, and never less than asked.
  struct Row {
    size_t held, more, room, capacity;
  };
  const Row rows[] = {
      {64, 1, SIZE_MAX, 128}, {64, 1, 10, 74},   {64, 100, 10, 164},
      {64, 100, 1000, 164},   {64, 30, 40, 104}, {0, 5, 3, 5},
  };
  for (const Row& row : rows) {
    ByteBuffer buf;
    buf.resize(row.held);
    ASSERT_TRUE(buf.try_reserve_more(row.more, row.room));
    EXPECT_EQ(buf.capacity(), row.capacity) << row.held << " " << row.more << " " << row.room;
  }
  ByteBuffer buf;
  buf.resize(64);
  buf.push_back_within(7, 3);
  EXPECT_EQ(buf.capacity(), 67u);
  EXPECT_EQ(buf.data()[64], 7);
  buf.resize(67);
  buf.push_back(8);  // unbounded: doubles
  EXPECT_EQ(buf.capacity(), 134u);
  buf.trim_slack();  // any slack goes, not only more than half
  EXPECT_EQ(buf.capacity(), 68u);
  EXPECT_EQ(buf.data()[67], 8);
}

TEST(BufferPoolTest, AllocationsComeBackWhenTheirLastUserGoesWithinTheBound) {
  std::optional<BufferPool::Ref> pool(std::in_place, 6000);
  ByteBuffer a = pool->get()->take();
  a.resize(4000);
  const uint8_t* first = a.data();
  Bytes whole = std::move(a).freeze();
  Bytes tail = whole.slice(3990, 10);
  whole = Bytes();
  EXPECT_EQ(pool->get()->held_bytes(), 0u);  // the slice still holds it
  tail = Bytes();
  EXPECT_EQ(pool->get()->held_bytes(), 4000u);

  ByteBuffer b = pool->get()->take();  // the same allocation, already mapped
  EXPECT_EQ(b.data(), first);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 4000u);
  ByteBuffer c = pool->get()->take();  // nothing left: a fresh one
  c.resize(3000);
  b = ByteBuffer();  // dropped unfrozen: back as well
  c = ByteBuffer();  // over the bound: freed
  EXPECT_EQ(pool->get()->held_bytes(), 4000u);

  // A block read from the pool takes the allocation given back, trimmed to what it needs, and
  // returns it when dropped; the pool's owner may go before the blocks it lent.
  testing::Wire wire;
  wire.block_head(1, 2).column("x", "UInt16").bytes({1, 0, 2, 0});
  for (int round = 0; round < 2; ++round) {
    MemorySource source(wire.get());
    Result<protocol::Block> block =
        protocol::read_block_body(source, {}, protocol::kDefaultBlockByteLimit, pool->get());
    ASSERT_TRUE(block.ok()) << block.error().to_string();
    EXPECT_EQ(pool->get()->held_bytes(), 0u);
    if (round == 1) {
      pool.reset();
      EXPECT_EQ(block->columns[0].data[2], 2);
      break;
    }
    block = Result<protocol::Block>(protocol::Block());
    EXPECT_EQ(pool->get()->held_bytes(), 4u);
  }
}

TEST(BufferPoolTest, KeepsWhatTheLatestResponseUsedAndNoMore) {
  constexpr size_t kMiB = size_t{1} << 20;
  BufferPool::Ref ref(64 * kMiB);
  BufferPool& pool = *ref.get();
  auto taken = [&pool](size_t size) {
    ByteBuffer buffer = pool.take();
    buffer.resize(size);
    return buffer;
  };
  // A large response: its three buffers come back after it ended and wait for the next one.
  pool.begin_response();
  std::vector<ByteBuffer> large;
  for (int i = 0; i < 3; ++i) large.push_back(taken(kMiB));
  pool.end_response();
  Bytes kept = std::move(large[2]).freeze();  // the caller holds on to one block
  large.clear();
  EXPECT_EQ(pool.held_bytes(), 2 * kMiB);

  // A small response reuses one; the one it did not need goes when it ends, and so does the
  // large response's block that comes back only now.
  pool.begin_response();
  ByteBuffer small = taken(10);
  EXPECT_EQ(small.capacity(), kMiB);
  pool.end_response();
  EXPECT_EQ(pool.held_bytes(), 0u);
  kept = Bytes();
  EXPECT_EQ(pool.held_bytes(), 0u);
  small = ByteBuffer();
  EXPECT_EQ(pool.held_bytes(), kMiB);

  // Fresh buffers of the response under way are kept as well.
  pool.begin_response();
  ByteBuffer again = taken(10);
  ByteBuffer fresh = taken(100);
  fresh = ByteBuffer();
  pool.end_response();
  EXPECT_EQ(pool.held_bytes(), 100u);
  again = ByteBuffer();
  EXPECT_EQ(pool.held_bytes(), kMiB + 100);
}

TEST(ByteSourceTest, ReadExactContract) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  for (int one_byte = 0; one_byte < 2; ++one_byte) {
    MemorySource mem(data);
    testing::OneByteSource slow(data);
    ByteSource& src = one_byte ? static_cast<ByteSource&>(slow) : mem;
    uint8_t out[8] = {};
    ASSERT_TRUE(src.read_exact(out, 0).ok());
    ASSERT_TRUE(src.read_exact(out, 3).ok());
    EXPECT_EQ(out[2], 3);
    Status st = src.read_exact(out, 3);  // only two bytes remain
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_io(IoKind::UnexpectedEof));
    EXPECT_EQ(st.error().io_error().to_string(), "failed to fill whole buffer");
    EXPECT_EQ(out[0], 4);  // bytes taken before the failure stay consumed
    EXPECT_FALSE(src.read_u8().ok());
  }
}

TEST(Utf8Test, StrictMessagesAndLossyReplacement) {
  struct Case {
    std::string bytes;
    const char* strict;  // nullptr: valid
    const char* lossy;
  };
  const Case cases[] = {
      {"", nullptr, ""},
      {"h\xC3\xA9llo \xE6\x97\xA5\xF0\x9F\x98\x80", nullptr,
       "h\xC3\xA9llo \xE6\x97\xA5\xF0\x9F\x98\x80"},
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2", "ab\xEF\xBF\xBD"},
      {"a\xE6\x97", "incomplete utf-8 byte sequence from index 1", "a\xEF\xBF\xBD"},
      {"\xE6\x97x", "invalid utf-8 sequence of 2 bytes from index 0", "\xEF\xBF\xBDx"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate: three maximal subparts
      {"\xF0\x9F\x98z\xC0\xAF", "invalid utf-8 sequence of 3 bytes from index 0",
       "\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"12345678\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 8",
       "12345678\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    auto err = validate_utf8(c.bytes);
    if (c.strict == nullptr) {
      EXPECT_FALSE(err.has_value()) << c.bytes;
    } else {
      ASSERT_TRUE(err.has_value()) << c.bytes;
      EXPECT_EQ(err->to_string(), c.strict);
    }
    EXPECT_EQ(decode_utf8_lossy(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
              c.lossy);
  }
}

}  // namespace
}  // namespace tarnwick::base
