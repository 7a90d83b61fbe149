// Our compressed frames against the real server: an insert whose blocks travel in frames we built,
// LZ4 and stored, is read back value for value. Needs TARNWICK_CH_TCP; skipped without it unless
// TARNWICK_REQUIRE_REAL_SERVER=1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/raw_session.h"
#include "support/real_server.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::testing {
namespace {

using ByteVec = std::vector<uint8_t>;

constexpr uint64_t kRows = 3000;

struct Row {
  uint64_t id;
  std::string s;
  std::optional<int32_t> n;
  ByteVec a;
  bool operator==(const Row&) const = default;
};

Row row(uint64_t i) {
  Row r{i, "", std::nullopt, {}};
  if (i % 10 != 0) r.s = "row-" + std::to_string(i);
  if (i % 3 == 0) r.s += " h\xc3\xa9llo \xe6\x97\xa5\xe6\x9c\xac";
  if (i % 500 == 1) r.s += std::string(300 + i % 7, 'x');
  if (i % 7 != 0) r.n = static_cast<int32_t>(i * 1000) * (i % 2 ? -1 : 1);
  for (uint64_t k = 0; k < i % 5; ++k) r.a.push_back(static_cast<uint8_t>((i + k * 37) % 256));
  return r;
}

// Rows [first, last) as a block in this revision's layout.
RawBlock rows_block(uint64_t first, uint64_t last) {
  Wire id, s, n, a;
  Wire nulls, values, offsets, elements;
  uint64_t total = 0;
  for (uint64_t i = first; i < last; ++i) {
    Row r = row(i);
    id.u64(r.id);
    s.str(r.s);
    nulls.bytes({static_cast<uint8_t>(r.n ? 0 : 1)});
    values.le<int32_t>(r.n.value_or(0));
    total += r.a.size();
    offsets.u64(total);
    elements.raw(r.a);
  }
  n.raw(nulls).raw(values);
  a.raw(offsets).raw(elements);
  return RawBlock{last - first,
                  {{"id", "UInt64", id.get()},
                   {"s", "String", s.get()},
                   {"n", "Nullable(Int32)", n.get()},
                   {"a", "Array(UInt8)", a.get()}}};
}

ByteVec framed_packet(const RawBlock& block, uint8_t method) {
  base::ByteBuffer payload;
  write_raw_block(payload, block);
  auto frame = compression::encode_frame(payload.span(), method);
  EXPECT_TRUE(frame.ok()) << frame.error().to_string();
  base::ByteBuffer packet = raw_data_packet(frame->span());
  return ByteVec(packet.data(), packet.data() + packet.size());
}

// The rows of the blocks of a SELECT id, s, n, a answer, decoded from their column bodies.
std::vector<Row> decode_rows(const std::vector<RawBlock>& blocks) {
  std::vector<Row> out;
  for (const RawBlock& b : blocks) {
    if (b.rows == 0) continue;
    EXPECT_EQ(b.columns.size(), 4u);
    if (b.columns.size() != 4) return out;
    const auto& id = b.columns[0].body;
    const auto& s = b.columns[1].body;
    const auto& n = b.columns[2].body;
    const auto& a = b.columns[3].body;
    EXPECT_EQ(id.size(), 8 * b.rows);
    EXPECT_EQ(n.size(), 5 * b.rows);
    uint64_t spos = 0, elem = 8 * b.rows, prev = 0;
    for (uint64_t i = 0; i < b.rows; ++i) {
      Row r{};
      std::memcpy(&r.id, id.data() + 8 * i, 8);
      base::MemorySource rest(std::span<const uint8_t>(s).subspan(spos));
      auto text = protocol::read_string_bytes(rest);
      EXPECT_TRUE(text.ok());
      if (text.ok()) r.s = *text;
      spos = s.size() - rest.remaining();
      int32_t v;
      std::memcpy(&v, n.data() + b.rows + 4 * i, 4);
      if (n[i] == 0) r.n = v;
      uint64_t end;
      std::memcpy(&end, a.data() + 8 * i, 8);
      r.a.assign(a.begin() + static_cast<ptrdiff_t>(elem + prev),
                 a.begin() + static_cast<ptrdiff_t>(elem + end));
      prev = end;
      out.push_back(std::move(r));
    }
    EXPECT_EQ(spos, s.size());
    EXPECT_EQ(a.size(), elem + prev);
  }
  return out;
}

class RealServerFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REAL_SERVER_OR_SKIP(addr, "TARNWICK_CH_TCP");
    address_ = addr;
    table_ = "tarnwick_frames_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RawSession session;
    ASSERT_TRUE(ok(session.open(address_)));
    ASSERT_TRUE(ok(session.execute("DROP TABLE IF EXISTS " + table_)));
    ASSERT_TRUE(ok(session.execute("CREATE TABLE " + table_ +
                                   " (id UInt64, s String, n Nullable(Int32), a Array(UInt8))"
                                   " ENGINE = Memory")));
  }

  void TearDown() override {
    if (table_.empty()) return;
    RawSession session;
    if (session.open(address_).ok()) {
      EXPECT_TRUE(ok(session.execute("DROP TABLE " + table_)));
    }
  }

  static ::testing::AssertionResult ok(const base::Status& st) {
    if (st.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << st.error().to_string();
  }

  // Opens an insert and checks the header block the server answers with.
  void begin_insert(RawSession& session) {
    ASSERT_TRUE(ok(session.open(address_)));
    ASSERT_TRUE(ok(session.send_query("INSERT INTO " + table_ + " VALUES")));
    auto header = session.read_reply(/*stop_at_data=*/true);
    ASSERT_TRUE(header.ok()) << header.error().to_string();
    ASSERT_FALSE(header->exception) << *header->exception;
    ASSERT_EQ(header->blocks.size(), 1u);
    const RawBlock& h = header->blocks[0];
    EXPECT_EQ(h.rows, 0u);
    ASSERT_EQ(h.columns.size(), 4u);
    const char* expected[][2] = {
        {"id", "UInt64"}, {"s", "String"}, {"n", "Nullable(Int32)"}, {"a", "Array(UInt8)"}};
    for (size_t c = 0; c < 4; ++c) {
      EXPECT_EQ(h.columns[c].name, expected[c][0]);
      EXPECT_EQ(h.columns[c].type, expected[c][1]);
    }
  }

  std::vector<Row> select_all() {
    RawSession session;
    EXPECT_TRUE(ok(session.open(address_)));
    EXPECT_TRUE(ok(session.send_query("SELECT id, s, n, a FROM " + table_ + " ORDER BY id")));
    auto reply = session.read_reply();
    EXPECT_TRUE(reply.ok()) << reply.error().to_string();
    if (!reply.ok()) return {};
    EXPECT_FALSE(reply->exception) << *reply->exception;
    EXPECT_TRUE(reply->end_of_stream);
    return decode_rows(reply->blocks);
  }

  std::string address_;
  std::string table_;
};

TEST_F(RealServerFramesTest, InsertInOurFramesReadsBackEveryValue) {
  RawSession session;
  begin_insert(session);
  if (HasFatalFailure()) return;
  // Two blocks: one LZ4 frame, one stored frame.
  ASSERT_TRUE(ok(session.send(framed_packet(rows_block(0, 2000), compression::kMethodLz4))));
  ASSERT_TRUE(ok(session.send(framed_packet(rows_block(2000, kRows), compression::kMethodNone))));
  ASSERT_TRUE(ok(session.send_end_of_data()));
  auto done = session.read_reply();
  ASSERT_TRUE(done.ok()) << done.error().to_string();
  ASSERT_FALSE(done->exception) << *done->exception;
  EXPECT_TRUE(done->end_of_stream);

  std::vector<Row> rows = select_all();
  ASSERT_EQ(rows.size(), kRows);
  for (uint64_t i = 0; i < kRows; ++i) ASSERT_EQ(rows[i], row(i)) << "row " << i;
}

}  // namespace
}  // namespace tarnwick::testing
