// One table of column bodies run through every reader of the column grammar: the keeping reader
// (whole and one byte per refill), the discarding reader and the buffered parser (as the one column
// of a block). Each case names what each reader gives; every strict prefix of an accepted body is
// incomplete in all of them, never a wrong result.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/column_reading.h"
#include "support/results.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/base/format.h"
#include "tarnwick/column/any.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_state.h"

namespace tarnwick::protocol {
namespace {

using testing::error_of;
using testing::lc_head;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

const std::string kE = "protocol error: ";
const std::string kOutOfBounds = kE + "LowCardinality dictionary index out of bounds";
const std::string kIncomplete = "I/O error: failed to fill whole buffer";
// Each reader's own refusal of the column's type.
const std::string kRefused = "refused";
// The buffered parser refuses JSON nested in another type.
const std::string kNestedJson = "nested JSON";
// Not checked for this reader.
const std::string kUnchecked = "unchecked";
// The keeping reader's result.
const std::string kSame = "same";

struct Case {
  std::string type;
  uint64_t rows;
  ByteVec wire;
  std::string keep = "ok";
  std::string discard = kSame;
  std::string parse = kSame;
  std::optional<ByteVec> kept = {};    // what the keeping reader keeps; unset: the body itself
  std::optional<uint64_t> taken = {};  // bytes both readers take before failing, where checked
};

Wire dyn2(std::vector<std::string> names) {  // a version-2 Dynamic prefix
  Wire w;
  w.u64(2).varint(names.size());
  for (const auto& n : names) w.str(n);
  return w;
}

// Each quotes the type as an excerpt.
std::string refusal(const std::string& reader, const ColumnType& type) {
  // A type whose layout is unknown the parser refuses in the keeping reader's words.
  if (reader == "keep" || (reader == "parse" && type.kind == TypeKind::Other))
    return kE + "streaming read unsupported for column type " + base::excerpt(type.debug_string());
  if (reader == "discard")
    return kE + "discard unsupported for column type " + base::excerpt(type.debug_string());
  return kE + base::excerpt(type.to_string()) +
         " columns are not supported in buffered block reads";
}

std::string expected(const Case& c, const std::string& reader, const ColumnType& type) {
  std::string want = reader == "discard" ? c.discard : reader == "parse" ? c.parse : c.keep;
  if (want == kSame) want = c.keep;
  if (want == kRefused) want = refusal(reader, type);
  if (want == kNestedJson) {
    want = kE + "nested JSON columns are not supported in buffered block reads (column type " +
           base::excerpt(type.to_string()) + "); use uncompressed reads or query_raw";
  }
  return want;
}

std::vector<Case> cases() {
  std::vector<std::string> names256;
  for (int i = 0; i < 256; ++i) names256.push_back("T" + std::to_string(i));  // Other: strings
  Wire chain;  // 3 Dynamic levels named "Dynamic", the last one of version 0
  for (int i = 0; i < 3; ++i) chain.raw(dyn2({"Dynamic"}));
  chain.u64(0).bytes({0, 0, 0});
  Wire deep_ok, deep_over;  // 257 Dynamic levels are accepted, 258 are not
  for (int i = 0; i < 256; ++i) deep_ok.raw(dyn2({"Dynamic"}));
  deep_ok.u64(0).fill(256, 0);
  for (int i = 0; i < 257; ++i) deep_over.raw(dyn2({"Dynamic"}));
  Wire names_ok = Wire().u64(2).varint(65536);
  for (int i = 0; i < 65536; ++i) names_ok.str("UInt8");
  names_ok.le<uint32_t>(65536);  // a NULL row
  Wire paths_ok = Wire().raw(dyn2({"JSON"})).u64(3).varint(65536);
  for (int i = 0; i < 65536; ++i) paths_ok.str("p");
  for (int i = 0; i < 65536; ++i) paths_ok.u64(0);
  paths_ok.bytes({0});  // one row: 65536 path bodies
  std::string deep_array;
  for (int i = 0; i < 256; ++i) deep_array += "Array(";
  deep_array += "UInt8" + std::string(256, ')');
  Wire deep_offsets;
  for (int i = 0; i < 256; ++i) deep_offsets.u64(1);
  deep_offsets.bytes({7});
  std::string wide_tuple = "Tuple(UInt8";  // its parse takes more than a column may hold
  for (int i = 0; i < 600000; ++i) wide_tuple += ", UInt8";
  // A long name whose type holds little more than its text.
  const std::string long_other = "Nested(" + std::string(1 << 20, 'x') + ")";
  wide_tuple += ")";
  const Wire lc_member = Wire().raw(dyn2({"LowCardinality(String)"})).u64(1).bytes({0});
  const std::string unsupported_state = kE +
                                        "AggregateFunction columns are not supported in "
                                        "buffered block reads";
  // clang-format off
  std::vector<Case> out = {
      // Plain kinds.
      {"UInt8", 3, Wire().bytes({1, 2, 3})},
      {"UInt8", 4, Wire().bytes({1, 2, 3}), kIncomplete},
      {"UInt64", 8388609, {}, kE + "fixed-width column byte length 67108872 exceeds limit 67108864",
       kSame, kE + "column byte length byte length 67108872 exceeds limit 67108864"},
      {"UInt64", 8388608, {}, kIncomplete},  // passes the length check
      {"Decimal(77, 2)", 1, Wire().fill(32, 0), kE + "unsupported Decimal precision 77"},
      {"AggregateFunction(sum, UInt64)", 1, Wire().fill(8, 0), kRefused, kRefused, kRefused},
      // Other: its bytes are never read as anything, not even where they would pass as strings,
      // nor where, read as string lengths, they would ask for more bytes than follow.
      {"Nested(a UInt8)", 2, Wire().str("a").str(""), kRefused, kRefused, kRefused, {}, 0},
      {"IntervalSecond", 2, Wire().u64(1000).u64(1000), kRefused, kRefused, kRefused, {}, 0},
      {"Array(IntervalSecond)", 1, Wire().u64(2).u64(1000).u64(1000),
       kE + "streaming read unsupported for column type Other(\"IntervalSecond\")",
       kE + "discard unsupported for column type Other(\"IntervalSecond\")", kSame, {}, 8},
      {"String", 1, Wire().varint(16777216),
       kE + "string value length 16777216 exceeds limit 16777215"},
      {"String", 1, Wire().varint(16777215).fill(16777214, 0), kIncomplete},
      {"String", 1, Wire().varint(16777215).fill(16777215, 0)},
      {"JSON", 2, Wire().u64(1).str("{}").str("[]"), "ok", kSame, kSame, Wire().str("{}").str("[]")},
      {"JSON", 1, Wire().u64(2).str("{}"),
       kE + "materialized JSON reads require string serialization version 1 or 4, got 2; enable "
            "output_format_native_write_json_as_string=1 or use query_raw"},
      {"JSON", 1, Wire().bytes({4, 0, 0}), kIncomplete},
      {"Array(JSON)", 1, Wire().u64(1).u64(1).str("{}"), "ok", kSame, kNestedJson,
       Wire().u64(1).str("{}")},
      {"Array(UInt8)", 2, Wire().u64(2).u64(1), kE + "array offset decreased from 2 to 1"},
      {"Array(UInt8)", 1, Wire().u64(10000000).fill(10000000, 0)},
      {"Map(UInt8, UInt8)", 1, Wire().u64(10000001),
       kE + "map offset total 10000001 exceeds limit 10000000"},
      {"Array(UInt8)", 2, Wire().u64(0).fill(7, 0), kIncomplete},
      {deep_array, 1, deep_offsets},
      // LowCardinality: expanded by the keeping reader (and so by the parser).
      {"LowCardinality(String)", 3, lc_head(0x200, 2).str("a").str("bc").u64(3).bytes({1, 0, 1}),
       "ok", kSame, kSame, Wire().str("bc").str("a").str("bc")},
      {"LowCardinality(UInt8)", 1, lc_head(0x603, 1).bytes({7}).u64(1).fill(8, 0), "ok", kSame,
       kSame, Wire().bytes({7})},
      {"Array(LowCardinality(String))", 1,
       Wire().u64(1).u64(1).u64(0x200).u64(1).str("q").u64(1).bytes({0}), "ok", kSame, kSame,
       Wire().u64(1).str("q")},
      {"LowCardinality(UInt8)", 1, lc_head(0x300, 1, 2),
       kE + "unsupported LowCardinality key serialization version 2"},
      {"LowCardinality(UInt8)", 1, lc_head(0x300, 1),
       kE + "LowCardinality global dictionaries are not supported"},
      {"LowCardinality(UInt8)", 1, lc_head(0, 1), kE + "LowCardinality additional keys flag is missing"},
      {"LowCardinality(UInt8)", 1, lc_head(0x200, 10000003),
       kE + "LowCardinality key count 10000003 exceeds limit 10000002"},
      {"LowCardinality(UInt8)", 4, lc_head(0x200, 0).u64(3),
       kE + "LowCardinality index count 3 does not match row count 4"},
      {"LowCardinality(Nullable(String))", 1, lc_head(0x200, 2).str("").str("").u64(1).bytes({2}),
       kOutOfBounds, "ok"},
      {"LowCardinality(UInt32)", 1, lc_head(0x200, 2).fill(8, 1).u64(1).bytes({2}), kOutOfBounds,
       "ok"},
      {"LowCardinality(String)", 1, lc_head(0x200, 1).str("a").u64(1).bytes({1}), kOutOfBounds,
       "ok"},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 1}), kOutOfBounds,
       "ok"},
      {"LowCardinality(FixedString(0))", 2, lc_head(0x200, 1).u64(2).bytes({0, 0}), "ok", kSame,
       kSame, ByteVec{}},
      {"LowCardinality(JSON)", 2, lc_head(0x200, 1).u64(1).str("{}").u64(2).bytes({0, 0}), "ok",
       kSame, kSame, Wire().str("{}").str("{}")},
      {"LowCardinality(Array(UInt8))", 1, lc_head(0x200, 1).u64(0).u64(1).bytes({0}),
       kE + "LowCardinality(Array(UInt8)) materialization is not supported", "ok"},
      {"LowCardinality(Nullable(Decimal(9, 2)))", 1, lc_head(0x200, 1).fill(4, 0).u64(1).bytes({0}),
       kE + "LowCardinality(Decimal(9, 2)) materialization is not supported", "ok"},
      // Variant: its prefix (the mode word, then the members' prefixes), then the discriminators or
      // the compact record and the member bodies.
      {"Variant()", 1, Wire().u64(99), "ok"},
      {"Variant(String, UInt8)", 4, Wire().u64(0).bytes({1, 7, 255, 0}).str("s").bytes({9}), "ok"},
      {"Variant(UInt8, String)", 3, Wire().u64(1).u64(1).u64(2).str("x").str(""), "ok"},
      {"Variant(UInt8, String)", 3, Wire().u64(1).u64(2).u64(3), "ok"},  // no such member
      {"Variant(Enum8('a' = 1), String)", 1, Wire().u64(0).bytes({0, 1}), "ok"},
      {"Variant(String, UInt8)", 10, Wire().u64(1).u64(0).u64(11),
       kE + "Variant compact rows 11 exceeds row count 10"},
      {"Variant(String, UInt8)", 1, Wire().u64(2), kE + "unknown Variant serialization mode 2"},
      // A dictionary-encoded member is kept as sent, other index flags included; the parser,
      // which cannot know their layout, refuses those.
      {"Variant(LowCardinality(String), Array(UInt8))", 3,
       Wire().u64(0).u64(1).bytes({0, 1, 0}).u64(0x600).u64(2).str("a").str("b").u64(2)
           .bytes({1, 0}).u64(0), "ok"},
      {"Variant(LowCardinality(String))", 1,
       Wire().u64(0).u64(1).bytes({0}).u64(0x100).u64(1).str("a").u64(1).bytes({0}), "ok",
       kSame, kE + "LowCardinality global dictionaries are not supported"},
      {"Variant(JSON)", 2, Wire().u64(0).u64(0).varint(0).varint(0).bytes({0, 0}).fill(16, 0), "ok",
       kSame, kNestedJson},
      {"Variant(JSON)", 1, Wire().u64(0).u64(3).varint(0).bytes({0}), "ok", kSame, kNestedJson},
      {"Variant(JSON)", 1, Wire().u64(0).u64(2), kE + "unknown JSON serialization version 2"},
      {"Variant(JSON)", 1, Wire().u64(0).u64(3).varint(65537),
       kE + "JSON path count 65537 exceeds limit 65536"},
      {"Variant(JSON)", 1,
       Wire().u64(0).u64(3).varint(1).str("a.b").raw(dyn2({"UInt8"})).bytes({0, 0, 5}), "ok",
       kSame, kNestedJson},
      {"Variant(Array(Variant(UInt8)))", 1, Wire().u64(0).u64(0).bytes({0}).u64(0), "ok"},
      // A column's prefix is that of its whole type tree, ahead of every body byte, offsets and
      // earlier tuple elements included.
      {"Array(Variant(String, Dynamic))", 1,
       Wire().u64(0).raw(dyn2({"String"})).u64(2).bytes({1, 0}).str("s").bytes({0}).str("d"), "ok"},
      {"Tuple(UInt8, Variant(JSON))", 1,
       Wire().u64(0).u64(0).varint(5).varint(0).bytes({7}).bytes({0}).u64(1), "ok",
       kSame, kNestedJson},
      {"Array(Variant(String, UInt64))", 1,  // [42, 'x']
       Wire().u64(0).u64(2).bytes({1, 0}).bytes({1, 0x78}).u64(42), "ok"},
      {"Variant(LowCardinality(String), UInt64)", 2,  // 'ab', 42
       Wire().u64(0).u64(1).bytes({0, 1}).u64(0x200).u64(1).bytes({2, 0x61, 0x62}).u64(1)
           .bytes({0}).u64(42), "ok"},
      {"Variant(LowCardinality(String), UInt64)", 1, Wire().u64(0).u64(2).bytes({0}),
       kE + "unsupported LowCardinality key serialization version 2"},
      {"Array(Dynamic)", 1,
       dyn2({"UInt8", "String"}).u64(2).bytes({1, 0}).bytes({5}).str("x"), "ok"},
      {"Map(String, Dynamic)", 1,
       dyn2({"LowCardinality(String)"}).u64(1).u64(2).str("a").str("b").bytes({0, 1})
           .u64(0x200).u64(1).str("v").u64(1).bytes({0}), "ok"},
      {"Tuple(UInt8, Dynamic)", 2,
       dyn2({"Variant(String, UInt8)"}).u64(0).bytes({7, 8}).bytes({0, 1}).bytes({1}).bytes({3}),
       "ok"},
      {"Array(JSON)", 1, Wire().u64(1).u64(2).str("{}").str("[]"), "ok", kSame, kNestedJson,
       Wire().u64(2).str("{}").str("[]")},
      {"Tuple(UInt8, JSON)", 2, Wire().u64(4).bytes({7, 8}).str("{}").str("[]"), "ok", kSame,
       kNestedJson, Wire().bytes({7, 8}).str("{}").str("[]")},
      {"Array(JSON)", 1, Wire().u64(3).u64(1),
       kE + "materialized JSON reads require string serialization version 1 or 4, got 3; enable "
            "output_format_native_write_json_as_string=1 or use query_raw"},
      {"Array(Dynamic)", 1, Wire().raw(dyn2({"JSON"})).u64(3).varint(1).str("a")
           .raw(dyn2({"UInt8"})).u64(1).bytes({0}).bytes({0}).bytes({6}), "ok"},
      // Dynamic: its prefix, discriminators, member bodies in name order.
      {"Dynamic", 5, Wire().u64(0), "ok"},
      {"Dynamic", 3, dyn2({"UInt8", "String", "Foo"}).bytes({2, 3, 0}).bytes({5}).str("x"), "ok"},
      {"Dynamic", 1, dyn2({"UInt8", "String", "Foo"}).bytes({4}),
       kE + "Dynamic discriminator 4 exceeds type count 3"},
      {"Dynamic", 2,
       Wire().u64(1).varint(0).varint(2).str("UInt8").str("Int8").u64(0).bytes({255, 1}).bytes({3}),
       "ok"},
      {"Dynamic", 1, Wire().u64(1).varint(0).varint(3).str("A").str("B").str("C").u64(0).bytes({254}),
       kE + "deprecated Dynamic discriminator 254 exceeds type count 3"},
      {"Dynamic", 2, dyn2(names256).bytes({0, 1, 5, 0}).str("z"), "ok"},  // 256: NULL
      {"Dynamic", 1, chain, "ok"},
      {"Dynamic", 1, deep_ok, "ok"},
      {"Dynamic", 1, deep_over, kE + "type nesting exceeds 256 levels"},
      {"Dynamic", 2,
       dyn2({"JSON"}).u64(3).varint(2).str("a").str("b").raw(dyn2({"UInt8"})).u64(2).varint(0)
           .bytes({0, 0}).bytes({0, 1}).bytes({4}), "ok"},
      {"Dynamic", 1, names_ok, "ok"},
      {"Dynamic", 1, paths_ok, "ok"},
      {"Dynamic", 1, dyn2({"Array("}),
       kE + "bad dynamic type 'Array(': malformed type name (unclosed paren): Array("},
      {"Dynamic", 1, dyn2({"\xff"}),
       kE + "invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 0"},
      {"Dynamic", 1, Wire().u64(2).varint(65537),
       kE + "dynamic subcolumn types count 65537 exceeds limit 65536"},
      {"Dynamic", 1, Wire().u64(2).varint(1).varint(16777216),
       kE + "dynamic type length 16777216 exceeds limit 16777215"},
      {"Dynamic", 1, dyn2({"JSON"}).u64(3).varint(1).varint(16777216),
       kE + "JSON path length 16777216 exceeds limit 16777215"},
      {"Dynamic", 1, Wire().u64(5), kE + "unknown Dynamic subcolumn serialization version 5"},
      {"Dynamic", 1, Wire(lc_member).u64(0).u64(10000003),
       kE + "LowCardinality key count 10000003 exceeds limit 10000002", kSame,
       kE + "LowCardinality additional keys flag is missing"},
      {"Dynamic", 1, dyn2({"AggregateFunction(sum, UInt64)"}).bytes({0}),
       kE + "raw capture does not support type AggregateFunction",
       kE + "discard unsupported for column type AggregateFunction", unsupported_state},
      {"Dynamic", 1, dyn2({long_other}).bytes({1}), "ok"},
      {"Dynamic", 1, dyn2({wide_tuple}).bytes({1}),
       kE + "column cumulative byte length exceeds limit 67108864"},
      {"Dynamic", 67108865, dyn2({"UInt8"}),
       kE + "Dynamic discriminators byte length 67108865 exceeds limit 67108864"},
  };
  // clang-format on
  // The readers' shared fixtures: two well-formed rows of every layout, which all readers accept.
  for (const auto& b : testing::body_cases()) {
    out.push_back({b.type, 2, b.wire, "ok", kSame, kSame,
                   b.kept.empty() ? std::nullopt : std::optional<ByteVec>(b.kept)});
  }
  // Bodies both readers refuse, and the bytes they take until then; the parser is not asked.
  for (const auto& f : testing::failure_cases()) {
    const bool refused = f.error.starts_with(kE + "streaming read unsupported");
    Case c{f.type, f.rows, f.wire, refused ? kRefused : f.error, kSame, kUnchecked};
    if (refused) c.discard = kRefused;
    c.taken = f.consumed;
    out.push_back(std::move(c));
  }
  return out;
}

// The buffered parser over a block of one column holding `body`; the column's bytes on success.
std::string parse_one(const std::string& type, uint64_t rows, std::span<const uint8_t> body,
                      ByteVec* data = nullptr) {
  Wire w;
  w.block_head(1, rows).column("c", type).raw(std::string(body.begin(), body.end()));
  const ByteVec& wire = w;
  uint64_t pos = 0;
  auto block = parse_block_body(wire, pos);
  if (!block.ok()) {
    EXPECT_EQ(pos, 0u) << type;  // a failure leaves the position where it was
    return block.error().to_string();
  }
  EXPECT_EQ(pos, wire.size()) << type;
  if (data) {
    auto view = block->columns.at(0).data.view();
    data->assign(view.begin(), view.end());
  }
  return "ok";
}

TEST(ColumnWalkerTest, EveryReaderWalksEveryCaseAsTheTableSays) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.type + " rows " + std::to_string(c.rows));
    auto type = parse_type(c.type);
    ASSERT_TRUE(type.ok());
    ByteVec wire = c.wire;
    if (c.keep == "ok") wire.push_back(0xEE);  // must stay unread

    // Large bodies are read whole only, and cut at a few places.
    const bool large = c.wire.size() > 65536;
    testing::ReadOutcome kept;
    if (large) {
      base::MemorySource src(wire);
      kept = testing::read_column(src, *type, c.rows);
      kept.consumed = wire.size() - src.remaining();
    } else {
      kept = testing::read_both(c.type, c.rows, wire);  // whole, then one byte per refill
    }
    EXPECT_EQ(kept.error, expected(c, "keep", *type));
    if (c.taken) {
      EXPECT_EQ(kept.consumed, *c.taken);
    }
    if (kept.error == "ok") {
      EXPECT_EQ(kept.consumed, c.wire.size());
      EXPECT_EQ(kept.kept, c.kept.value_or(c.wire));
      // Every kept byte is charged, and so is the state the prefixes leave in memory.
      if (keeps_state_prefix(*type)) {
        EXPECT_LE(kept.budget, kColumnByteLimit - kept.kept.size());
      } else {
        EXPECT_EQ(kept.budget, kColumnByteLimit - kept.kept.size());
      }
    }

    base::MemorySource whole(wire);
    const std::string dropped = error_of(discard_column_data(whole, *type, c.rows));
    EXPECT_EQ(dropped, expected(c, "discard", *type));
    if (dropped == "ok") {
      EXPECT_EQ(whole.remaining(), wire.size() - c.wire.size());
    }
    if (!large) {
      testing::OneByteSource slow(wire);
      EXPECT_EQ(error_of(discard_column_data(slow, *type, c.rows)), dropped);
      if (dropped == "ok" || c.taken) {
        EXPECT_EQ(slow.consumed(), c.taken.value_or(c.wire.size()));
      }
    }

    const bool parses = c.rows <= kMaxBlockRows && c.parse != kUnchecked;
    if (parses) {
      ByteVec data;
      const std::string parsed = parse_one(c.type, c.rows, c.wire, &data);
      EXPECT_EQ(parsed, expected(c, "parse", *type));
      if (parsed == "ok" && kept.error == "ok") {
        EXPECT_EQ(data, kept.kept);
      }
    }

    // Zero rows read nothing, whatever the bytes.
    base::MemorySource none(wire);
    EXPECT_EQ(testing::read_column(none, *type, 0).error, "ok");
    EXPECT_EQ(none.remaining(), wire.size());
    testing::OneByteSource nothing(wire);
    EXPECT_EQ(error_of(discard_column_data(nothing, *type, 0)), "ok");
    EXPECT_EQ(nothing.consumed(), 0u);

    // Every strict prefix of an accepted body is incomplete.
    const size_t n = c.wire.size();
    for (size_t len = 0; len < n; ++len) {
      if (large && len >= 64 && len + 64 < n) len = n - 64;
      const std::span<const uint8_t> cut = std::span(c.wire).first(len);
      if (kept.error == "ok") {
        base::MemorySource src(cut);
        ASSERT_EQ(testing::read_column(src, *type, c.rows).error, kIncomplete) << len;
      }
      if (dropped == "ok") {
        base::MemorySource src(cut);
        ASSERT_EQ(error_of(discard_column_data(src, *type, c.rows)), kIncomplete) << len;
      }
      if (parses && !large && expected(c, "parse", *type) == "ok") {
        ASSERT_EQ(parse_one(c.type, c.rows, cut), kIncomplete) << len;
      }
    }
  }
}

// Sizes at and one past each limit; the discarder keeps nothing, so the caps of what a column
// keeps do not bind it.
TEST(ColumnWalkerTest, LimitsAtTheirBoundariesInBothReaders) {
  for (const auto& c : testing::limit_cases()) {
    SCOPED_TRACE(c.type + " rows " + std::to_string(c.rows));
    const ColumnType type = *parse_type(c.type);
    testing::ZeroTailSource keep_src(c.prefix, c.zeros), drop_src(c.prefix, c.zeros);
    const testing::ReadOutcome kept = testing::read_column(keep_src, type, c.rows);
    EXPECT_EQ(kept.error, c.keep_error);
    if (kept.error == "ok") {
      EXPECT_FALSE(keep_src.read_u8().ok());  // all taken
    } else if (c.prefix.empty()) {
      EXPECT_TRUE(kept.kept.empty());  // refused before anything is read
    }
    const std::string dropped = error_of(discard_column_data(drop_src, type, c.rows));
    EXPECT_EQ(dropped, c.discard_error);
    if (dropped == "ok") {
      EXPECT_FALSE(drop_src.read_u8().ok());
    }
  }
  testing::ZeroTailSource rows(Wire().block_head(1, 10000000).column("z", "UInt8"), 10000000);
  EXPECT_EQ(error_of(discard_block_body(rows)), "ok");

  // Skips of more than size_t-sized steps, without a copy.
  testing::ChainSource big;
  big.zeros(uint64_t{3} << 30);
  EXPECT_TRUE(discard_exact(big, uint64_t{3} << 30).ok());
  EXPECT_EQ(error_of(discard_exact(big, 1)), kIncomplete);
}

// A value of a type that holds no bytes (Tuple(), a tuple of such, FixedString(0), a Variant
// without members, a Dynamic without types) becomes something each once the column is used,
// however little its Array or Map took on the wire, and so does each member of a tuple that holds
// none, whatever its siblings carry: the keeping reader and the buffered parser charge each such
// value to the column like a row of a column without bytes, and keep it charged. The discarder
// keeps nothing. Elements that carry bytes are charged those bytes alone.
TEST(ColumnWalkerTest, ElementsWithoutBytesAreChargedLikeRows) {
  const std::string over = kE + "column cumulative byte length exceeds limit 67108864";
  constexpr uint64_t kMany = 10000000;
  constexpr uint64_t kHalf = 5000000;  // 40 MB each: within the column's limit alone, not twice
  constexpr uint64_t kRefusedCharge = UINT64_MAX;
  // 1,000 members of Tuple(): an element makes 1,001 values without bytes, an entry with a key
  // 1,000; at the column's limit with the offset, and one element past it.
  std::string empties = "Tuple(Tuple()";
  for (int i = 1; i < 1000; ++i) empties += ", Tuple()";
  empties += ")";
  constexpr uint64_t kFit = (kColumnByteLimit - 8) / (1001 * kRowCellCost);
  struct Case {
    std::string type;
    ByteVec wire;          // one row
    uint64_t charged;      // beyond the bytes kept
    bool discards = true;  // the discarder reads it whole
    // Past the column's own limit, the charge is the block's to refuse: what the buffer parser
    // makes of it under a block limit of 256 MiB ("ok" or a prefix of its failure).
    const char* in_block = nullptr;
  };
  const Case cases[] = {
      {"Array(Tuple())", Wire().u64(3), 3 * kRowCellCost},
      {"Array(Tuple())", Wire().u64(kMany), kRefusedCharge, true, "ok"},
      // At the column's limit with its offset, and one element past it.
      {"Array(Tuple())", Wire().u64(8388607), 8388607 * kRowCellCost},
      {"Array(Tuple())", Wire().u64(8388608), kRefusedCharge, true, "ok"},
      {"Array(Tuple(Tuple(), Tuple(Tuple())))", Wire().u64(kMany), kRefusedCharge, true,
       "response too large: decoded 320000422 bytes"},
      {"Array(Array(Tuple()))", Wire().u64(1).u64(kMany), kRefusedCharge, true, "ok"},
      {"Array(FixedString(0))", Wire().u64(kMany), kRefusedCharge, true, "ok"},
      {"Map(Tuple(), Tuple())", Wire().u64(kMany), kRefusedCharge, true, "ok"},
      {"Array(Variant())", Wire().u64(0).u64(kMany), kRefusedCharge, true, "ok"},
      {"Array(Dynamic)", Wire().u64(0).u64(kMany), kRefusedCharge, true, "ok"},
      // Expanded to values of Tuple(); refused before its body, which is not there (within a
      // block's limit, the body is looked for).
      {"Array(LowCardinality(Tuple()))", Wire().u64(1).u64(kMany), kRefusedCharge, false,
       "I/O error: failed to fill whole buffer"},
      {"Tuple(Array(Tuple()), Array(Tuple()))", Wire().u64(kHalf).u64(kHalf), kRefusedCharge, true,
       "ok"},
      {"Tuple(Array(Tuple()), Array(UInt8))", Wire().u64(kHalf).u64(3).fill(3, 7),
       kHalf * kRowCellCost},
      {"Map(Tuple(), UInt8)", Wire().u64(3).fill(3, 7), 0},
      {"Array(" + empties + ")", Wire().u64(kFit), kFit * 1001 * kRowCellCost},
      {"Array(" + empties + ")", Wire().u64(kFit + 1), kRefusedCharge, true, "ok"},
      {"Tuple(UInt8, Array(" + empties + "))", Wire().fill(1, 7).u64(2), 2 * 1001 * kRowCellCost},
      {"Map(UInt8, " + empties + ")", Wire().u64(2).fill(2, 7), 2 * 1000 * kRowCellCost},
      {"Array(Nullable(" + empties + "))", Wire().u64(2).fill(2, 0), 2 * 1000 * kRowCellCost},
      {"Array(UInt8)", Wire().u64(kMany).fill(kMany, 7), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const ColumnType type = *parse_type(c.type);
    const bool ok = c.charged != kRefusedCharge;
    base::MemorySource src(c.wire);
    const testing::ReadOutcome kept = testing::read_column(src, type, 1);
    EXPECT_EQ(kept.error, ok ? "ok" : over);
    if (ok) {
      EXPECT_EQ(kept.kept, c.wire);
      EXPECT_EQ(kept.budget, kColumnByteLimit - c.wire.size() - c.charged);
    }
    ByteVec parsed;
    const std::string parse = parse_one(c.type, 1, c.wire, &parsed);
    const std::string in_block = c.in_block != nullptr ? c.in_block : ok ? "ok" : over;
    if (c.in_block != nullptr) {  // a prefix: the rest names the limit
      EXPECT_EQ(parse.rfind(in_block, 0), 0u) << parse;
    } else {
      EXPECT_EQ(parse, in_block);
    }
    if (in_block == "ok") {
      EXPECT_EQ(parsed, c.wire);
    }
    base::MemorySource drop(c.wire);
    EXPECT_EQ(error_of(discard_column_data(drop, type, 1)) == "ok", c.discards);
  }

  // The charge counts against the block too: two columns of 5,000,000 such elements fit their own
  // limits but not a block limit of 64 MiB; one does.
  for (int columns : {1, 2}) {
    Wire w = Wire().block_head(columns, 1);
    for (int i = 0; i < columns; ++i) w.column("a", "Array(Tuple())").u64(kHalf);
    const ByteVec wire = w;
    base::MemorySource src(wire);
    uint64_t pos = 0;
    for (const std::string& got : {error_of(read_block_body(src, {}, kColumnByteLimit)),
                                   error_of(parse_block_body(wire, pos, {}, kColumnByteLimit))}) {
      if (columns == 1) {
        EXPECT_EQ(got, "ok");
      } else {
        EXPECT_NE(got.find("too large"), std::string::npos) << got;
      }
    }
  }
  // Past the column's own limit they are the block's to refuse, as rows are: kept under 1 GiB,
  // refused by the held bytes under 64 MiB.
  const ByteVec past = Wire().block_head(1, 1).column("a", "Array(" + empties + ")").u64(kFit + 1);
  for (uint64_t limit : {uint64_t{1} << 30, kColumnByteLimit}) {
    base::MemorySource src(past);
    uint64_t pos = 0;
    for (const std::string& got : {error_of(read_block_body(src, {}, limit)),
                                   error_of(parse_block_body(past, pos, {}, limit))}) {
      EXPECT_EQ(got.find(limit == kColumnByteLimit ? "response too large" : "ok"), 0u) << got;
    }
  }
}

TEST(ColumnWalkerTest, NestingDepthIsBoundedInEveryReader) {
  ColumnType deeper = ColumnType::of(TypeKind::UInt8);
  for (int i = 0; i < 300; ++i) deeper = ColumnType::nullable(std::move(deeper));
  const std::string too_deep = kE + "type nesting exceeds 256 levels";
  testing::ZeroTailSource a({}, 1000), b({}, 1000);
  EXPECT_EQ(testing::read_column(a, deeper, 1).error, too_deep);
  EXPECT_EQ(error_of(discard_column_data(b, deeper, 1)), too_deep);
}

TEST(ColumnWalkerTest, BlocksKeepStatePrefixesAndViewsStepOverThem) {
  // Variant(Dynamic, UInt8): the mode word and the Dynamic member's prefix, then the
  // discriminators.
  const ByteVec variant =
      Wire().u64(0).raw(dyn2({"String"})).bytes({1, 0}).bytes({0}).str("s").bytes({9});
  const ByteVec dynamic = Wire().raw(dyn2({"UInt8"})).bytes({0, 1}).bytes({3});
  // [42, 'x'], []: the mode word stands before the offsets.
  const ByteVec members = Wire().str("x").u64(42);
  const ByteVec array = Wire().u64(0).u64(2).u64(2).bytes({1, 0}).raw(members);
  Wire w;
  w.block_head(4, 2).column("v", "Variant(Dynamic, UInt8)").raw(variant);
  w.column("d", "Dynamic").raw(dynamic).column("n", "UInt8").bytes({5, 6});
  w.column("a", "Array(Variant(String, UInt64))").raw(array);
  base::MemorySource src(w.get());
  auto block = read_block_body(src);
  ASSERT_TRUE(block.ok()) << block.error().to_string();
  EXPECT_EQ(src.remaining(), 0u);
  ASSERT_EQ(block->columns.size(), 4u);
  EXPECT_EQ(ByteVec(block->columns[0].data.view().begin(), block->columns[0].data.view().end()),
            variant);

  auto v = block->read_column_by_index(0);
  ASSERT_TRUE(v.ok()) << v.error().to_string();
  const size_t member_bodies = dyn2({"String"}).size() + 8 + 2;  // prefix, mode, discriminators
  EXPECT_EQ(v->get<column::ColumnKind::Variant>().data,
            ByteVec(variant.begin() + member_bodies, variant.end()));
  auto d = block->read_column_by_index(1);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->get<column::ColumnKind::Dynamic>().data, dynamic);
  auto a = block->read_column_by_index(3);
  ASSERT_TRUE(a.ok()) << a.error().to_string();
  ASSERT_EQ(a->kind(), column::ColumnKind::Array);
  EXPECT_EQ(a->inner().get<column::ColumnKind::Variant>().data, members);

  uint64_t pos = 0;  // the buffered parser keeps the same bytes
  auto parsed = parse_block_body(w.get(), pos);
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(parsed->columns[i].data.view(), block->columns[i].data.view()) << i;
  }
}

}  // namespace
}  // namespace tarnwick::protocol
