#include "tarnwick/sync/table_status.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "support/sources.h"
#include "support/vectors.h"

#if defined(__SANITIZE_ADDRESS__)
#define TW_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_ASAN 1
#endif
#endif

namespace tarnwick::sync {
namespace {

using Bytes = std::vector<uint8_t>;
using base::ByteSource;
using base::IoKind;

constexpr uint64_t kNewest = 54483;
constexpr uint64_t kBeforeReadonly = 54466;
// Bounds that let every answer below through.
constexpr TablesStatusBounds kOpen{kMaxTablesStatusEntries, SIZE_MAX};

// Parses `body` from a whole-buffer source and from a one-byte source; both must agree and, on
// success, consume every byte.
base::Result<TablesStatusMap> parse_both(const Bytes& body, uint64_t revision,
                                         const TablesStatusBounds& bounds = kOpen) {
  base::MemorySource whole(body);
  auto a = read_tables_status_response(whole, revision, bounds);
  testing::OneByteSource slow(body);
  auto b = read_tables_status_response(slow, revision, bounds);
  EXPECT_EQ(a.ok(), b.ok());
  if (a.ok() && b.ok()) {
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(whole.remaining(), 0u);
    EXPECT_EQ(slow.consumed(), body.size());
  } else if (!a.ok() && !b.ok()) {
    EXPECT_EQ(a.error().to_string(), b.error().to_string());
  }
  return a;
}

const QualifiedTableName kDbT("db", "t");

TEST(TableStatusTest, ResponseEntriesByRevision) {
  const struct {
    const char* what;
    uint64_t revision;
    Bytes body;  // after the packet type
    TablesStatusMap expected;
  } cases[] = {
      {"empty answer", kNewest, {0x00}, {}},
      {"replicated and read-only",
       kNewest,
       {0x01, 0x02, 'd', 'b', 0x01, 't', 0x01, 0x05, 0x01},
       {{kDbT, {5, true, true}}}},
      {"no read-only field below 54467",
       kBeforeReadonly,
       {0x01, 0x02, 'd', 'b', 0x01, 't', 0x01, 0x05},
       {{kDbT, {5, true, false}}}},
      {"read-only zero is false",
       54467,
       {0x01, 0x02, 'd', 'b', 0x01, 't', 0x01, 0x80, 0x01, 0x00},
       {{kDbT, {128, true, false}}}},
      {"any non-zero byte is replicated, any non-zero varint read-only",
       kNewest,
       {0x01, 0x02, 'd', 'b', 0x01, 't', 0x02, 0x00, 0x02},
       {{kDbT, {0, true, true}}}},
      {"not replicated carries nothing more",
       kNewest,
       {0x02, 0x02, 'd', 'b', 0x01, 't', 0x00, 0x00, 0x01, 'u', 0x01, 0x07, 0x00},
       {{kDbT, {0, false, false}}, {{"", "u"}, {7, true, false}}}},
      {"a repeated pair replaces the earlier one",
       kNewest,
       {0x02, 0x02, 'd', 'b', 0x01, 't', 0x01, 0x05, 0x01, 0x02, 'd', 'b', 0x01, 't', 0x00},
       {{kDbT, {0, false, false}}}},
  };
  for (const auto& c : cases) {
    auto got = parse_both(c.body, c.revision);
    ASSERT_TRUE(got.ok()) << c.what << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.expected) << c.what;
  }
}

TEST(TableStatusTest, RealServerAnswer) {
  // clickhouse-server 18.16 (revision 54412) leaves the missing table and database out.
  const Bytes reply = testing::vector_bytes("tables_status_reply.bin");
  ASSERT_GE(reply.size(), 1u);
  ASSERT_EQ(reply[0], protocol::code(protocol::ServerPacket::TablesStatusResponse));
  const Bytes body(reply.begin() + 1, reply.end());
  for (uint64_t revision : {uint64_t{54412}, uint64_t{54459}}) {
    auto got = parse_both(body, revision);
    ASSERT_TRUE(got.ok()) << got.error().to_string();
    EXPECT_EQ(*got,
              (TablesStatusMap{{{"default", "tw_status_merge"}, {}}, {{"system", "one"}, {}}}));
    EXPECT_EQ(find_table_status(*got, "system", "one"), TableStatus{});
    EXPECT_EQ(find_table_status(*got, "default", "tw_status_missing"), std::nullopt);
    EXPECT_EQ(find_table_status(*got, "one", "system"), std::nullopt);
  }
}

TEST(TableStatusTest, RevisionAndCountLimits) {
  for (uint64_t revision : {uint64_t{0}, uint64_t{54225}}) {
    const Bytes body = {0x00};
    base::MemorySource src(body);
    auto got = read_tables_status_response(src, revision, kOpen);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message(), "TablesStatus requires protocol revision >= 54226");
    EXPECT_EQ(src.remaining(), 1u);  // refused before reading
    EXPECT_FALSE(check_tables_status_revision(revision).ok());
  }
  EXPECT_TRUE(check_tables_status_revision(54226).ok());

  // The largest count is taken; when the bytes do not back it, reading fails at the end of the
  // data, having allocated nothing for the count.
  testing::ZeroTailSource short_zeros({0xFF, 0xFF, 0xFF, 0x07}, 30);
  auto short_answer = read_tables_status_response(short_zeros, kNewest, kOpen);
  ASSERT_FALSE(short_answer.ok());
  EXPECT_TRUE(short_answer.error().is_io(IoKind::UnexpectedEof));
}

TEST(TableStatusTest, EveryTruncationFailsCleanly) {
  const Bytes golden = testing::vector_bytes("tables_status_reply.bin");
  const std::vector<std::pair<Bytes, uint64_t>> bodies = {
      {Bytes(golden.begin() + 1, golden.end()), 54459},
      {{0x02, 0x02, 'd', 'b', 0x01, 't', 0x01, 0x80, 0x01, 0x81, 0x01, 0x00, 0x01, 'u', 0x00},
       kNewest},
  };
  for (const auto& [body, revision] : bodies) {
    ASSERT_TRUE(parse_both(body, revision).ok());
    for (size_t n = 0; n < body.size(); ++n) {
      auto got = parse_both(Bytes(body.begin(), body.begin() + n), revision);
      ASSERT_FALSE(got.ok()) << "prefix " << n;
      EXPECT_TRUE(got.error().is_io(IoKind::UnexpectedEof))
          << "prefix " << n << ": " << got.error().to_string();
    }
  }
}

TEST(TableStatusTest, MalformedEntries) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0x80, 0x80, 0x80, 0x08}, "TablesStatus entry count 16777216 exceeds limit 16777215"},
      {{0x01, 0x01, 0xFF, 0x00, 0x00}, "invalid utf8: "},
      {{0x01, 0x80, 0x80, 0x80, 0x08},  // a 2^24-byte name
       "string length 16777216 exceeds clickhouse-cpp limit 16777215"},
      {{0x01, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
       "varint overflow"},
  };
  for (const auto& [body, message] : cases) {
    auto got = parse_both(body, kNewest);
    ASSERT_FALSE(got.ok()) << message;
    EXPECT_EQ(got.error().kind(), base::ErrorKind::Protocol);
    EXPECT_TRUE(got.error().message().starts_with(message)) << got.error().message();
  }
}

// The names kept from one answer share a bound of 1 MiB; past it a name keeps only the marker.
TEST(TableStatusTest, NamesShareTheTextBound) {
  const std::string marker = "... (truncated)";
  const std::string db((1 << 20) - 1, 'a');
  Bytes body = {0x02, 0xFF, 0xFF, 0x3F};  // two entries; a name of 2^20 - 1 bytes
  body.insert(body.end(), db.begin(), db.end());
  const Bytes rest = {0x01, 't', 0x00, 0x02, 'd', 'b', 0x01, 'u', 0x00};
  body.insert(body.end(), rest.begin(), rest.end());
  auto got = parse_both(body, kNewest);
  ASSERT_TRUE(got.ok()) << got.error().to_string();
  const TablesStatusMap expected = {{{db, "t"}, {}}, {{marker, marker}, {}}};
  EXPECT_TRUE(*got == expected);
}

// An answer lists no more tables than were asked about, and each entry is charged before it is
// kept; the charge covers what the entries take from the allocator.
TEST(TableStatusTest, AnswerHeldToTheRequestAndTheCharge) {
  const Bytes three = {0x03, 0x00, 0x01, 'a', 0x00, 0x00, 0x01, 'b', 0x00, 0x00, 0x01, 'c', 0x00};
  auto over = parse_both(three, kNewest, {2, SIZE_MAX});
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(), "TablesStatus answer lists 3 tables, 2 were asked about");
  EXPECT_TRUE(parse_both({0x00}, kNewest, {0, SIZE_MAX}).ok());  // nothing asked, nothing listed
  EXPECT_EQ(parse_both(three, kNewest, {3, SIZE_MAX})->size(), 3u);

  const size_t cost = tables_status_entry_cost("", "a");
  EXPECT_GE(cost, sizeof(TablesStatusMap::value_type) + 2 * sizeof(void*));
  const std::string long_name(100, 'x');
  EXPECT_GE(tables_status_entry_cost(long_name, "a"), cost + long_name.size() + 1);
  EXPECT_EQ(parse_both(three, kNewest, {3, 3 * cost})->size(), 3u);
  auto refused = parse_both(three, kNewest, {3, 3 * cost - 1});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), base::ErrorKind::ResponseTooLarge);
  EXPECT_EQ(refused.error().decoded(), 3 * cost);  // the refused entry included
  EXPECT_EQ(refused.error().limit(), 3 * cost - 1);

#ifndef TW_ASAN  // its allocator is not the one measured
  // 50,000 distinct entries, names both short and past the inline capacity of a string.
  constexpr size_t kEntries = 50000;
  Bytes body = {0xD0, 0x86, 0x03};  // 50000
  size_t charged = 0;
  for (size_t i = 0; i < kEntries; ++i) {
    const std::string table = std::to_string(i) + (i % 2 ? std::string(20, 't') : "");
    body.push_back(0x00);
    body.push_back(static_cast<uint8_t>(table.size()));
    body.insert(body.end(), table.begin(), table.end());
    body.push_back(0x00);
    charged += tables_status_entry_cost("", table);
  }
  base::MemorySource src(body);
  const size_t before = mallinfo2().uordblks;
  auto answer = read_tables_status_response(src, kNewest, {kEntries, charged});
  const size_t after = mallinfo2().uordblks;
  ASSERT_TRUE(answer.ok()) << answer.error().to_string();
  EXPECT_EQ(answer->size(), kEntries);
  EXPECT_LE(after - before, charged);
#endif
}

TEST(TableStatusTest, AnswerPacketTypes) {
  int exception_reads = 0;
  auto read_exception = [&](ByteSource& source) {
    ++exception_reads;
    auto code = source.read_u8();
    return base::Error::server(code.ok() ? *code : -1, "UNKNOWN_TABLE", "no such table");
  };
  {
    const Bytes bytes = {0x09, 0x00};
    base::MemorySource src(bytes);
    auto got = read_tables_status_answer(src, kNewest, kOpen, read_exception);
    ASSERT_TRUE(got.ok());
    EXPECT_TRUE(got->empty());
  }
  {
    const Bytes bytes = {0x02, 60};
    base::MemorySource src(bytes);
    auto got = read_tables_status_answer(src, kNewest, kOpen, read_exception);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), base::ErrorKind::Server);
    EXPECT_EQ(got.error().server_code(), 60);
    EXPECT_EQ(src.remaining(), 0u);
  }
  for (const Bytes& head : {Bytes{0x03, 0x09}, Bytes{0x80, 0x01}}) {  // Progress first; type 128
    base::MemorySource src(head);
    auto got = read_tables_status_answer(src, kNewest, kOpen, read_exception);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message(), "expected TablesStatusResponse packet, got " +
                                         std::to_string(head[0] == 0x03 ? 3 : 128));
  }
  EXPECT_EQ(exception_reads, 1);
  base::MemorySource empty({});
  auto eof = read_tables_status_answer(empty, kNewest, kOpen, read_exception);
  ASSERT_FALSE(eof.ok());
  EXPECT_TRUE(eof.error().is_io(IoKind::UnexpectedEof));
}

TEST(TableStatusTest, PongIsOneByte) {
  const Bytes two_pongs = {0x04, 0x04};
  base::MemorySource pong(two_pongs);
  EXPECT_TRUE(read_pong(pong).ok());
  EXPECT_EQ(pong.remaining(), 1u);  // exactly one byte is read

  for (uint8_t other : {0x03, 0x84, 0x00}) {
    const Bytes bytes = {other, 0x00};
    base::MemorySource src(bytes);
    auto st = read_pong(src);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), base::ErrorKind::Protocol);
    EXPECT_EQ(st.error().message(), "expected Pong");
    EXPECT_EQ(src.remaining(), 1u);
  }

  base::MemorySource empty({});
  auto st = read_pong(empty);
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_io(IoKind::UnexpectedEof));
}

}  // namespace
}  // namespace tarnwick::sync
