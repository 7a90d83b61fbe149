#include "tarnwick/sync/server_packets.h"

#include <gtest/gtest.h>

#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/sync/handshake.h"

namespace tarnwick::sync {
namespace {

using testing::hex;
using testing::to_wire;
using testing::Wire;
using Bytes = std::vector<uint8_t>;

const Bytes kBlock = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};

Wire& exception_level(Wire& g, uint8_t code, std::string_view name, std::string_view message,
                      bool nested) {
  return g.bytes({code, 0x00, 0x00, 0x00}).str(name).str(message).str("stack").bytes({nested});
}

// A ranges-in-data-parts description with one part of two mark ranges.
Bytes ranges_description() {
  Wire g;
  g.bytes({0x01});                // one part
  g.fill(8, 0).str("all_1_1_0");  // part info
  g.fill(4 * 8, 0).bytes({0x00});
  g.bytes({0x02, 0, 0, 0, 0, 0, 0, 0}).fill(2 * 16, 0);  // two mark ranges
  g.bytes({0x05}).str("uuid").bytes({0x06});
  return g;
}

struct PacketCase {
  uint64_t type;
  Bytes body;  // what the reader consumes
  Bytes rest;  // left in the source for the caller (a block, the TableColumns strings)
  Bytes answer;
};

std::vector<PacketCase> all_packets() {
  Wire exception;
  exception_level(exception, 60, "A", "x", false);
  Wire table_columns;
  table_columns.str("").str("columns format version: 1\n");
  return {
      {1, Wire().str(""), kBlock, {}},
      {3, {0x01, 0x80, 0x01, 0x03, 0x04, 0x05, 0xFF, 0x7F, 0x07}, {}, {}},
      {4, {}, {}, {}},
      {5, {}, {}, {}},
      {6, {0x01, 0x02, 0x03, 0x01, 0x90, 0x4E, 0x00, 0x01, 0x08}, {}, {}},
      {7, Wire().str("totals"), kBlock, {}},
      {8, Wire().str(""), kBlock, {}},
      {10, Wire().str(""), kBlock, {}},
      {11, {}, table_columns, {}},
      {12, Wire().bytes({0x02}).fill(32, 0), {}, {}},
      {13, {}, {}, {0x09, 0x01, 0x00}},
      {14, Wire().str(""), kBlock, {}},
      {15,
       Wire()
           .fill(8, 0)
           .bytes({0x01})
           .raw(ranges_description())
           .fill(16, 0)
           .bytes({0x01, 0x02})
           .str("r"),
       {},
       {}},
      {16,
       Wire().fill(8, 0).bytes({0x00}).fill(16, 0).raw(ranges_description()).str("abc"),
       {},
       {0x0A, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x00, 0x03, 0x61, 0x62, 0x63}},
      {17, Wire().str("Europe/Berlin"), {}, {}},
  };
}

template <class Fn>
void over_both_sources(const Bytes& bytes, Fn&& fn) {
  base::MemorySource whole(bytes);
  fn(static_cast<base::ByteSource&>(whole));
  testing::OneByteSource slow(bytes);
  fn(static_cast<base::ByteSource&>(slow));
}

TEST(ServerPacketsTest, EveryPacketTypeIsReadToItsEnd) {
  for (const auto& c : all_packets()) {
    Bytes bytes = c.body;
    bytes.insert(bytes.end(), c.rest.begin(), c.rest.end());
    over_both_sources(bytes, [&](base::ByteSource& in) {
      base::BufferSink answers;
      auto kind = read_server_packet_body(in, c.type, {54483, &answers, false});
      ASSERT_TRUE(kind.ok()) << c.type << ": " << kind.error().to_string();
      EXPECT_EQ(static_cast<uint64_t>(*kind), c.type);
      Bytes rest(c.rest.size());
      EXPECT_TRUE(in.read_exact(rest.data(), rest.size()).ok()) << c.type;
      EXPECT_EQ(rest, c.rest) << c.type;
      EXPECT_FALSE(in.read_u8().ok()) << c.type << ": read past the packet";
      EXPECT_EQ(hex(to_wire(answers.buffer)), hex(c.answer)) << c.type;
    });
  }
}

TEST(ServerPacketsTest, EveryTruncatedPacketFailsCleanly) {
  for (const auto& c : all_packets()) {
    for (size_t n = 0; n < c.body.size(); ++n) {
      Bytes prefix(c.body.begin(), c.body.begin() + n);
      over_both_sources(prefix, [&](base::ByteSource& in) {
        base::BufferSink answers;
        auto kind = read_server_packet_body(in, c.type, {54483, &answers, false});
        ASSERT_FALSE(kind.ok()) << c.type << " at " << n;
        EXPECT_TRUE(kind.error().is_io(base::IoKind::UnexpectedEof)) << kind.error().to_string();
        EXPECT_TRUE(answers.buffer.empty());
      });
    }
  }
}

// An exception chain as a response reads it (names and messages made valid UTF-8) and as the
// handshake reads it (every string must be UTF-8), with what each leaves unread.
std::string read_both(const Bytes& wire) {
  base::MemorySource lossy(wire), strict(wire);
  auto packet = read_server_packet_body(lossy, 2, {});
  const base::Error& e = packet.error();
  std::string out = e.kind() == base::ErrorKind::Server
                        ? base::cat(e.server_code(), " ", e.server_name(), ": ", e.message())
                        : "refused: " + e.message();
  auto text = read_exception_chain(strict);
  out += base::cat(" / left ", lossy.remaining(), " / ",
                   text.ok() ? *text : "refused: " + text.error().message(), " / left ",
                   strict.remaining());
  return out;
}

TEST(ServerPacketsTest, ExceptionChains) {
  Wire two, lossy, bad_trace, deep, too_deep;
  exception_level(two, 60, "A", "x", true);
  exception_level(exception_level(two, 7, "B", "y", false), 0, "", "", false);
  lossy.bytes({0xFF, 0xFF, 0xFF, 0xFF}).str("N\xC3").str("m\xFFz").str("\xFF\xFE").bytes({0x00});
  bad_trace.bytes({0x01, 0, 0, 0}).str("E").str("m").bytes({0x01, 0xFF}).bytes({0x00});
  for (int i = 1; i <= 1000; ++i) exception_level(deep, 2, "E", "m", i < 1000);
  for (int i = 1; i <= 1001; ++i) exception_level(too_deep, 2, "E", "m", i < 1001);
  const std::string nested_999 = [] {
    std::string s = "E (code 2): m";
    for (int i = 1; i < 1000; ++i) s += " | nested: E (code 2): m";
    return s;
  }();
  const std::pair<Bytes, std::string> cases[] = {
      {two.get(),
       "60 A: A (code 60): x | nested: B (code 7): y / left 13 / "
       "A (code 60): x | nested: B (code 7): y / left 13"},
      // Only a response's reader replaces invalid UTF-8; it never looks at the stack trace.
      {lossy.get(),
       "-1 N\xEF\xBF\xBD: N\xEF\xBF\xBD (code -1): m\xEF\xBF\xBDz / left 0 / "
       "refused: invalid utf8: "},
      {bad_trace.get(), "1 E: E (code 1): m / left 0 / refused: invalid utf8: "},
      {deep.get(), "2 E: " + nested_999 + " / left 0 / " + nested_999 + " / left 0"},
      // Nothing after the 1000th level's nested flag is read.
      {too_deep.get(),
       "refused: exception nesting too deep: more than 1000 levels / left 15 / "
       "refused: exception nesting too deep: more than 1000 levels / left 15"},
  };
  for (const auto& [wire, expected] : cases) {
    const std::string got = read_both(wire);
    EXPECT_EQ(got.substr(0, expected.size()), expected);
  }
}

// What an exception chain keeps is bounded: 1 MiB of text, cut at a character boundary, then the
// marker; the rest of the chain is still read to its end. The strict reader still checks the
// bytes it drops.
TEST(ServerPacketsTest, ExceptionTextIsBounded) {
  constexpr size_t kBound = 1 << 20;
  const std::string marker = "... (truncated)";
  const std::string big(600 * 1024, 'm');
  // "E (code 2): " is 12 bytes; a two-byte character straddles the bound after 12 + 1 bytes.
  const std::string wide = "x" + [] {
    std::string s;
    for (size_t i = 0; i < kBound; ++i) s += "\xC3\xA9";
    return s;
  }();
  std::string bad_tail(2 * kBound, 'a');
  bad_tail[3 * kBound / 2] = '\xFF';
  Wire three, straddle, trace, bad;
  for (int i = 1; i <= 3; ++i) exception_level(three, 2, "E", big, i < 3);
  three.bytes({0xEE});
  exception_level(straddle, 2, "E", wide, false);
  // A stack trace is never kept, whatever its length.
  trace.bytes({2, 0, 0, 0}).str("E").str("m").str(std::string(3 * kBound, 's')).bytes({0});
  exception_level(bad, 2, "E", bad_tail, false);

  const std::string level = "E (code 2): " + big;
  const std::string three_text = (level + " | nested: " + level).substr(0, kBound) + marker;
  const std::string straddle_text = "E (code 2): x" + wide.substr(1, kBound - 14) + marker;
  const struct {
    const Wire& wire;
    std::string text;
    size_t left;
  } cases[] = {
      {three, three_text, 1},
      {straddle, straddle_text, 0},
      {trace, "E (code 2): m", 0},
      {bad, "E (code 2): " + bad_tail.substr(0, kBound - 12) + marker, 0},
  };
  for (const auto& c : cases) {
    base::MemorySource lossy(c.wire.get()), strict(c.wire.get());
    auto packet = read_server_packet_body(lossy, 2, {});
    ASSERT_EQ(packet.error().kind(), base::ErrorKind::Server) << packet.error().to_string();
    EXPECT_EQ(packet.error().server_name(), "E");
    EXPECT_TRUE(packet.error().message() == c.text) << packet.error().message().size();
    EXPECT_EQ(lossy.remaining(), c.left);
    auto text = read_exception_chain(strict);
    if (&c.wire == &bad) {
      ASSERT_FALSE(text.ok());
      EXPECT_EQ(text.error().message(),
                "invalid utf8: invalid utf-8 sequence of 1 bytes from index 1572864");
      continue;
    }
    ASSERT_TRUE(text.ok()) << text.error().to_string();
    EXPECT_TRUE(*text == c.text) << text->size();
    EXPECT_EQ(strict.remaining(), c.left);
  }
}

// Names and messages are read in pieces: characters cut by a piece's end, and invalid bytes
// anywhere, decode as they do in one piece.
TEST(ServerPacketsTest, ExceptionTextAcrossPieces) {
  std::string message = "x";
  for (int i = 0; i < 9000; ++i) message += i % 1000 == 999 ? "\xE2\x82" : "\xE2\x82\xAC";
  message += "\xF0\x9F";
  Wire wire;
  exception_level(wire, 2, "E", message, false);
  const std::string want =
      "E (code 2): " +
      base::decode_utf8_lossy(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  over_both_sources(wire.get(), [&](base::ByteSource& in) {
    auto packet = read_server_packet_body(in, 2, {});
    EXPECT_TRUE(packet.error().message() == want);
  });
  base::MemorySource strict(wire.get());
  auto text = read_exception_chain(strict);
  ASSERT_FALSE(text.ok());
  EXPECT_EQ(text.error().message(),
            "invalid utf8: invalid utf-8 sequence of 2 bytes from index 2998");
}

// A lossy string never fails on its content, only on its length.
TEST(ServerPacketsTest, LossyStrings) {
  Wire wire;
  wire.str(
          "a\xFF"
          "b\xE2\x82")
      .varint(16777216);
  base::MemorySource in(wire.get());
  auto text = read_string_lossy(in);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  auto over = read_string_lossy(in);
  ASSERT_FALSE(over.ok());
  EXPECT_TRUE(over.error().message().starts_with("string length 16777216 exceeds"))
      << over.error().message();
}

TEST(ServerPacketsTest, ProgressAndProfileInfoByRevision) {
  const Bytes ones(16, 0x01);
  const struct {
    uint64_t revision;
    size_t progress;
    size_t profile_info;
  } cases[] = {
      {54419, 3, 6}, {54420, 5, 6}, {54459, 5, 6}, {54460, 6, 6}, {54462, 6, 6},
      {54463, 7, 6}, {54464, 7, 6}, {54468, 7, 6}, {54469, 7, 8}, {54483, 7, 8},
  };
  for (const auto& c : cases) {
    for (auto skip : {skip_progress_packet, skip_progress_packet_for_revision}) {
      base::MemorySource in(ones);
      ASSERT_TRUE(skip(in, c.revision).ok());
      EXPECT_EQ(ones.size() - in.remaining(), c.progress) << c.revision;
    }
    for (auto skip : {skip_profile_info_packet, skip_profile_info_packet_for_revision}) {
      base::MemorySource in(ones);
      ASSERT_TRUE(skip(in, c.revision).ok());
      EXPECT_EQ(ones.size() - in.remaining(), c.profile_info) << c.revision;
    }
  }
}

TEST(ServerPacketsTest, CountedSkipsCheckTheirCountsFirst) {
  // 2^60 as a varint.
  Wire huge;
  huge.bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x10}).fill(16, 0);
  base::MemorySource in(huge.get());
  auto s = skip_part_uuids_packet(in);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "PartUUIDs byte length overflow");
  EXPECT_EQ(in.remaining(), 16u);

  Bytes none = {0x00, 0xEE};
  base::MemorySource none_in(none);
  ASSERT_TRUE(skip_part_uuids_packet(none_in).ok());
  EXPECT_EQ(none_in.remaining(), 1u);

  testing::ZeroTailSource hundred({0x64}, 1600 + 1);
  ASSERT_TRUE(skip_part_uuids_packet(hundred).ok());
  EXPECT_TRUE(hundred.read_u8().ok());
  EXPECT_FALSE(hundred.read_u8().ok());

  Wire ranges;
  ranges.bytes({0x01})
      .fill(8, 0)
      .str("p")
      .fill(33, 0)
      .bytes({0, 0, 0, 0, 0, 0, 0, 0x10})
      .fill(16, 0);
  base::MemorySource ranges_in(ranges.get());
  auto r = skip_ranges_in_data_parts_description(ranges_in);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "parallel replica mark ranges byte length overflow");
  EXPECT_EQ(ranges_in.remaining(), 16u);
}

TEST(ServerPacketsTest, CoordinatorAnswers) {
  base::BufferSink chunked;
  base::MemorySource empty(std::span<const uint8_t>{});
  ASSERT_TRUE(*handle_coordinator_packet(empty, 13, chunked, true));
  EXPECT_EQ(hex(to_wire(chunked.buffer)), "03 00 00 00 09 01 00 00 00 00 00");

  EXPECT_EQ(hex(to_wire(build_finished_merge_tree_read_task_response("abc"))),
            "0a 07 00 00 00 00 00 00 00 31 00 03 61 62 63");

  // Other types are not read at all, including wide ones whose low byte is a coordinator type.
  Bytes bytes = {0x01, 0x02};
  for (uint64_t type : {9, 0, 18, 256 + 13}) {
    base::MemorySource in(bytes);
    base::BufferSink out;
    auto handled = handle_coordinator_packet(in, type, out, false);
    ASSERT_TRUE(handled.ok());
    EXPECT_FALSE(*handled);
    EXPECT_EQ(in.remaining(), 2u);
    EXPECT_TRUE(out.buffer.empty());
  }
}

TEST(ServerPacketsTest, UnknownPacketTypes) {
  for (uint64_t type : {0, 9, 18, 19, 256 + 1, 256 + 13}) {
    Bytes bytes = {0x00};
    base::MemorySource in(bytes);
    base::BufferSink out;
    auto kind = read_server_packet_body(in, type, {54483, &out, false});
    ASSERT_FALSE(kind.ok());
    EXPECT_EQ(kind.error().message(), "unknown packet type: " + std::to_string(type));
    EXPECT_EQ(in.remaining(), 1u);
  }
}

TEST(ServerPacketsTest, TableColumns) {
  Bytes columns = Wire().str("").str("columns\n").bytes({0x02, 0xC3, 0x28});
  base::MemorySource columns_in(columns);
  ASSERT_TRUE(read_table_columns_body(columns_in).ok());
  // Table names are strict UTF-8.
  auto bad = read_table_columns_body(columns_in);
  ASSERT_FALSE(bad.ok());
  EXPECT_TRUE(bad.error().message().starts_with("invalid utf8: "));
}

}  // namespace
}  // namespace tarnwick::sync
