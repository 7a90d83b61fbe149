// Variant, Dynamic and JSON-with-paths columns: state prefixes and bodies, kept byte for byte.
#include "tarnwick/protocol/variant_dynamic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/column_reading.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/column/any.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::Wire;
using ByteVec = std::vector<uint8_t>;

using Outcome = testing::ReadOutcome;
using testing::read_both;

Wire dyn2(std::initializer_list<const char*> names) {  // a version-2 Dynamic prefix
  Wire w;
  w.u64(2).varint(names.size());
  for (const char* n : names) w.str(n);
  return w;
}

struct BodyCase {
  const char* what;
  std::string type;
  uint64_t rows;
  ByteVec wire;
};

std::vector<BodyCase> body_cases() {
  Wire chain;  // 3 Dynamic levels named "Dynamic", the last one of version 0
  for (int i = 0; i < 3; ++i) chain.raw(dyn2({"Dynamic"}));
  chain.u64(0).bytes({0, 0, 0});
  Wire wide = Wire().u64(2).varint(256);  // 256 names: two-byte discriminators
  for (int i = 0; i < 256; ++i) wide.str("T" + std::to_string(i));
  wide.le<uint16_t>(255).le<uint16_t>(256).str("v");
  // clang-format off
  return {
      {"basic: 255 and the member count are NULL rows", "Variant(String, UInt64)", 4,
       Wire().u64(0).bytes({0, 255, 1, 2}).str("ab").u64(7)},
      {"no members: only the mode word", "Variant()", 1, Wire().u64(7)},
      {"compact", "Variant(UInt8, String)", 3, Wire().u64(1).u64(1).u64(2).str("x").str("")},
      {"compact, no such member", "Variant(UInt8, String)", 3, Wire().u64(1).u64(2).u64(3)},
      {"an Enum8 member keeps its own width", "Variant(Enum8('a' = 1), String)", 1,
       Wire().u64(0).bytes({0, 1})},
      {"dictionary-encoded member kept as sent; empty arrays",
       "Variant(LowCardinality(String), Array(UInt8))", 3,
       Wire().u64(0).bytes({0, 1, 0})
           .u64(1).u64(0).u64(2).str("a").str("b").u64(2).bytes({1, 0})  // 2 LowCardinality rows
           .u64(0)},                                                      // 1 empty array
      {"member prefix before the mode word", "Array(Variant(String, Dynamic))", 1,
       Wire().u64(2).raw(dyn2({"String"})).u64(0).bytes({1, 0}).str("s").bytes({0}).str("d")},
      {"Dynamic v2: 2 is NULL", "Dynamic", 3,
       Wire().raw(dyn2({"Int64", "String"})).bytes({0, 2, 1}).u64(5).str("x")},
      {"Dynamic v0", "Dynamic", 2, Wire().u64(0)},
      {"Dynamic v1: 255 is NULL", "Dynamic", 2,
       Wire().u64(1).varint(32).varint(1).str("UInt8").u64(0).bytes({0, 255, 9})},
      {"Dynamic in Dynamic in Dynamic", "Dynamic", 1, chain},
      {"Nothing, unknown and Enum8 members", "Dynamic", 3,
       Wire().raw(dyn2({"Nothing", "Foo", "Enum8('a' = 1)"})).bytes({0, 1, 2})
           .bytes({0}).str("f").bytes({1})},
      {"256 names", "Dynamic", 2, wide},
      {"JSON member, v3 with two paths", "Dynamic", 2,
       Wire().raw(dyn2({"JSON"})).u64(3).varint(2).str("a").str("b")  // paths a and b
           .raw(dyn2({"UInt8"})).u64(2).varint(0)                      // their Dynamic prefixes
           .bytes({0, 0}).bytes({0, 1}).bytes({4})},
      {"JSON member, v0: trailing offsets", "Tuple(UInt8, Variant(JSON))", 1,
       Wire().bytes({7}).u64(0).varint(5).varint(0).u64(0).bytes({0}).u64(1)},
      {"JSON member, string form", "Map(String, Variant(JSON))", 1,
       Wire().u64(1).str("k").u64(4).u64(0).bytes({0}).str("{}")},
  };
  // clang-format on
}

TEST(VariantDynamicTest, BodiesAreKeptAsSentAndEveryPrefixFails) {
  for (const auto& c : body_cases()) {
    ByteVec wire = c.wire;
    wire.push_back(0xEE);  // must stay unread
    Outcome o = read_both(c.type, c.rows, wire);
    EXPECT_EQ(o.error, "ok") << c.what;
    EXPECT_EQ(o.kept, c.wire) << c.what;
    // Every byte kept is charged, and so is the state the prefixes leave in memory.
    EXPECT_LE(o.budget, kColumnByteLimit - c.wire.size()) << c.what;
    for (size_t n = 0; n < c.wire.size(); ++n) {
      ByteVec prefix(c.wire.begin(), c.wire.begin() + n);
      EXPECT_EQ(read_both(c.type, c.rows, prefix).error, "I/O error: failed to fill whole buffer")
          << c.what << " cut at " << n;
    }
    // The discarding reader refuses these kinds before reading.
    if (!c.type.starts_with("Variant") && c.type != "Dynamic") continue;
    testing::OneByteSource src(c.wire);
    EXPECT_EQ(discard_column_data(src, *parse_type(c.type), c.rows).error().message(),
              "discard unsupported for column type " + parse_type(c.type)->debug_string());
    EXPECT_EQ(src.consumed(), 0u);
  }
}

TEST(VariantDynamicTest, MalformedAndOverLimitInput) {
  const std::string e = "protocol error: ";
  const Wire lc = Wire().raw(dyn2({"LowCardinality(String)"})).bytes({0});
  const Wire deep_ok = [] {
    Wire w;
    for (int i = 0; i < 256; ++i) w.raw(dyn2({"Dynamic"}));
    return w.u64(0).fill(256, 0);
  }();
  Wire deep_over;
  for (int i = 0; i < 257; ++i) deep_over.raw(dyn2({"Dynamic"}));
  Wire names_ok = Wire().u64(2).varint(65536);
  for (int i = 0; i < 65536; ++i) names_ok.str("UInt8");
  names_ok.le<uint32_t>(65536);  // a NULL row
  Wire paths_ok = Wire().raw(dyn2({"JSON"})).u64(3).varint(65536);
  for (int i = 0; i < 65536; ++i) paths_ok.str("p");
  for (int i = 0; i < 65536; ++i) paths_ok.u64(0);
  paths_ok.bytes({0});  // one row: 65536 path bodies
  struct Case {
    std::string type;
    uint64_t rows;
    ByteVec wire;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"Variant(UInt8)", 1, Wire().u64(2), e + "unknown Variant serialization mode 2"},
      {"Variant(UInt8)", 4, Wire().u64(1).u64(0).u64(5),
       e + "Variant compact rows 5 exceeds row count 4"},
      {"Dynamic", 1, Wire().u64(4), e + "unknown Dynamic subcolumn serialization version 4"},
      {"Dynamic", 1, Wire().raw(dyn2({"JSON"})).u64(2), e + "unknown JSON serialization version 2"},
      {"Dynamic", 1, Wire().raw(dyn2({"Int64", "String"})).bytes({3}),
       e + "Dynamic discriminator 3 exceeds type count 2"},
      {"Dynamic", 1, Wire().u64(1).varint(2).varint(2).str("A").str("B").u64(0).bytes({7}),
       e + "deprecated Dynamic discriminator 7 exceeds type count 2"},
      {"Dynamic", 1, Wire().u64(2).varint(65537).str("UInt8"),
       e + "dynamic subcolumn types count 65537 exceeds limit 65536"},
      {"Dynamic", 1, names_ok, "ok"},
      {"Dynamic", 1, Wire().raw(dyn2({"JSON"})).u64(3).varint(65537),
       e + "JSON path count 65537 exceeds limit 65536"},
      {"Dynamic", 1, paths_ok, "ok"},
      {"Dynamic", 1, dyn2({"Array(UInt8"}),
       e + "bad dynamic type 'Array(UInt8': malformed type name (unclosed paren): Array(UInt8"},
      {"Dynamic", 1, dyn2({"\xff"}),
       e + "invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 0"},
      {"Dynamic", 1, Wire().u64(2).varint(1).varint(16777216),
       e + "dynamic type length 16777216 exceeds limit 16777215"},
      {"Dynamic", 1, Wire().raw(dyn2({"JSON"})).u64(3).varint(1).varint(16777216),
       e + "JSON path length 16777216 exceeds limit 16777215"},
      {"Dynamic", 1, Wire(lc).u64(1).u64(0).u64(10000003),
       e + "LowCardinality key count 10000003 exceeds limit 10000002"},
      {"Dynamic", 1, Wire().raw(dyn2({"AggregateFunction(sum, UInt64)"})).bytes({0}),
       e + "raw capture does not support type AggregateFunction"},
      {"Dynamic", 67108865, dyn2({"UInt8"}),
       e + "Dynamic discriminators byte length 67108865 exceeds limit 67108864"},
      {"Dynamic", 1, deep_ok, "ok"},
      {"Dynamic", 1, deep_over, e + "type nesting exceeds 256 levels"},
  };
  for (const Case& c : cases) {
    Outcome o = read_both(c.type, c.rows, c.wire);
    EXPECT_EQ(o.error, c.error) << c.type << " " << c.error;
    if (c.error == "ok") {
      EXPECT_EQ(o.consumed, c.wire.size()) << c.type;
    }
  }
}

TEST(VariantDynamicTest, BlocksAndViewsSeeTheWholeColumn) {
  // Variant(Dynamic, UInt8): the Dynamic member's prefix, then the mode word and discriminators.
  const ByteVec variant =
      Wire().raw(dyn2({"String"})).u64(0).bytes({1, 0}).bytes({0}).str("s").bytes({9});
  const ByteVec dynamic = Wire().raw(dyn2({"UInt8"})).bytes({0, 1}).bytes({3});
  Wire w;
  w.block_head(3, 2).column("v", "Variant(Dynamic, UInt8)").raw(variant);
  w.column("d", "Dynamic").raw(dynamic).column("n", "UInt8").bytes({5, 6});
  base::MemorySource src(w.get());
  auto block = read_block_body(src);
  ASSERT_TRUE(block.ok()) << block.error().to_string();
  EXPECT_EQ(src.remaining(), 0u);
  ASSERT_EQ(block->columns.size(), 3u);
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

  base::MemorySource again(w.get());
  EXPECT_EQ(discard_block_body(again).error().message(),
            "discard unsupported for column type Variant([Dynamic, UInt8])");
}

}  // namespace
}  // namespace tarnwick::protocol
