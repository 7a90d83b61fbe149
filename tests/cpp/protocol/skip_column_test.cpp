#include "tarnwick/protocol/skip_column.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/wire_builder.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {
namespace {

using testing::lc_head;
using testing::Wire;

struct SkipCase {
  std::string type;
  uint64_t rows;
  Wire wire;
  std::string error = "ok";  // on success the body must end exactly at the end of `wire`
};

Wire dynamic_v2(std::vector<std::string> names) {
  Wire w;
  w.u64(2).varint(names.size());
  for (const auto& n : names) w.str(n);
  return w;
}

TEST(SkipColumnTest, Table) {
  const std::string e = "protocol error: ",
                    end = e + "unexpected end of buffer skipping column data";
  const std::string over = e + "column byte length byte length 67108872 exceeds limit 67108864";
  std::vector<std::string> names256;
  for (int i = 0; i < 256; ++i) names256.push_back("T" + std::to_string(i));  // Other: strings
  const SkipCase cases[] = {
      {"UInt8", 3, Wire().bytes({1, 2, 3})},
      {"UInt8", 4, Wire().bytes({1, 2, 3}), end},
      {"UInt64", 8388609, Wire(), over},  // refused before the buffer is looked at
      {"UInt64", 8388608, Wire(), end},   // passes the length check
      {"Decimal(77, 2)", 1, Wire().fill(32, 0), e + "unsupported Decimal precision 77"},
      {"AggregateFunction(sum, UInt64)", 1, Wire().fill(8, 0),
       e + "AggregateFunction columns are not supported in buffered block reads"},
      {"Nested(a UInt8)", 2, Wire().str("a").str("")},  // Other: rows of strings
      {"String", 1, Wire().varint(16777216),
       e + "string value length 16777216 exceeds limit 16777215"},
      {"String", 1, Wire().varint(16777215).fill(16777214, 0), end},
      {"String", 1, Wire().varint(16777215).fill(16777215, 0)},
      {"JSON", 1, Wire().u64(2).str("{}"),
       e + "materialized JSON reads require string serialization version 1 or 4, got 2; enable "
           "output_format_native_write_json_as_string=1 or use query_raw"},
      {"JSON", 1, Wire().bytes({4, 0, 0}), e + "unexpected end of buffer parsing bytes"},
      {"Array(UInt8)", 2, Wire().u64(2).u64(1), e + "array offset decreased from 2 to 1"},
      {"Array(UInt8)", 1, Wire().u64(10000000).fill(10000000, 0)},
      {"Map(UInt8, UInt8)", 1, Wire().u64(10000001),
       e + "map offset total 10000001 exceeds limit 10000000"},
      {"Array(UInt8)", 2, Wire().u64(0).fill(7, 0),
       e + "unexpected end of buffer parsing array offsets"},
      {"LowCardinality(String)", 3, lc_head(0x200, 2).str("a").str("bc").u64(3).bytes({1, 0, 1})},
      {"LowCardinality(UInt8)", 1, lc_head(0x603, 1).bytes({7}).u64(1).fill(8, 0)},
      {"LowCardinality(UInt8)", 1, lc_head(0x300, 1, 2),
       e + "unsupported LowCardinality key serialization version 2"},
      {"LowCardinality(UInt8)", 1, lc_head(0x300, 1),
       e + "LowCardinality global dictionaries are not supported"},
      {"LowCardinality(UInt8)", 1, lc_head(0, 1),
       e + "LowCardinality additional keys flag is missing"},
      {"LowCardinality(UInt8)", 1, lc_head(0x200, 10000003),
       e + "LowCardinality key count 10000003 exceeds limit 10000002"},
      {"LowCardinality(UInt8)", 4, lc_head(0x200, 0).u64(3),
       e + "LowCardinality index count 3 does not match row count 4"},
      {"Variant()", 1, Wire().u64(99)},
      {"Variant(String, UInt8)", 4, Wire().u64(0).bytes({1, 7, 255, 0}).str("s").bytes({9})},
      {"Variant(String, UInt8)", 10, Wire().u64(1).u64(1).u64(4).fill(4, 0)},
      {"Variant(String, UInt8)", 10, Wire().u64(1).u64(0).u64(11),
       e + "Variant compact rows 11 exceeds row count 10"},
      {"Variant(String, UInt8)", 1, Wire().u64(2), e + "unknown Variant serialization mode 2"},
      {"Variant(JSON)", 2, Wire().u64(0).varint(0).varint(0).u64(0).bytes({0, 0}).fill(16, 0)},
      {"Variant(JSON)", 1, Wire().u64(3).varint(0).u64(0).bytes({0})},
      {"Variant(JSON)", 1, Wire().u64(2), e + "unknown JSON serialization version 2"},
      {"Variant(JSON)", 1, Wire().u64(3).varint(65537),
       e + "JSON path count 65537 exceeds limit 65536"},
      {"Variant(JSON)", 1,
       Wire().u64(3).varint(1).str("a.b").raw(dynamic_v2({"UInt8"})).u64(0).bytes({0, 0, 5})},
      // A member whose offsets are all 0 has its prefix read and no mode word.
      {"Variant(Array(Variant(UInt8)))", 1, Wire().u64(0).bytes({0}).u64(0)},
      {"Dynamic", 5, Wire().u64(0)},
      {"Dynamic", 3, dynamic_v2({"UInt8", "String", "Foo"}).bytes({2, 3, 0}).bytes({5}).str("x")},
      {"Dynamic", 1, dynamic_v2({"UInt8", "String", "Foo"}).bytes({4}),
       e + "Dynamic discriminator 4 exceeds type count 3"},
      {"Dynamic", 2,
       Wire().u64(1).varint(0).varint(2).str("UInt8").str("Int8").u64(0).bytes({255, 1}).bytes(
           {3})},
      {"Dynamic", 1,
       Wire().u64(1).varint(0).varint(3).str("A").str("B").str("C").u64(0).bytes({254}),
       e + "deprecated Dynamic discriminator 254 exceeds type count 3"},
      {"Dynamic", 2, dynamic_v2(names256).bytes({0, 1, 5, 0}).str("z")},  // 2-byte; 256 is NULL
      {"Dynamic", 1, dynamic_v2({"Array("}),
       e + "bad dynamic type 'Array(': malformed type name (unclosed paren): Array("},
      {"Dynamic", 1, Wire().u64(2).varint(1).str("\xff"),
       e + "dynamic type name utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"Dynamic", 1, Wire().u64(2).varint(65537),
       e + "dynamic subcolumn types count 65537 exceeds limit 65536"},
      {"Dynamic", 1, Wire().u64(5), e + "unknown Dynamic subcolumn serialization version 5"},
      {"Dynamic", 1, Wire().u64(2).varint(1).str("AggregateFunction(sum, UInt8)").bytes({0}),
       e + "AggregateFunction columns are not supported in buffered block reads"},
  };
  for (const SkipCase& c : cases) {
    auto type = parse_type(c.type);
    ASSERT_TRUE(type.ok()) << c.type;
    const std::vector<uint8_t>& bytes = c.wire;
    uint64_t pos = 0;
    base::Status st = skip_column_data(bytes, pos, *type, c.rows);
    EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), c.error) << c.type << " " << c.rows;
    if (st.ok()) {
      EXPECT_EQ(pos, bytes.size()) << c.type;
    }
    // The keeping reader (which refuses Other) accepts the same bodies and takes the same bytes.
    if (type->kind != TypeKind::Other) {
      base::MemorySource src(bytes);
      base::ByteBuffer out;
      uint64_t budget = kColumnByteLimit;
      EXPECT_EQ(read_column_data_into(src, *type, c.rows, out, budget).ok(), st.ok()) << c.type;
      if (st.ok()) {
        EXPECT_EQ(src.remaining(), 0u) << c.type;
      }
    }
    uint64_t none = 0;  // zero rows: nothing read, whatever the bytes
    EXPECT_TRUE(skip_column_data(bytes, none, *type, 0).ok() && none == 0) << c.type;
  }
}

TEST(SkipColumnTest, StatesAndDepth) {
  const std::vector<uint8_t> word = Wire().u64(1);
  uint64_t pos = 0;
  EXPECT_EQ(skip_body_raw(word, pos, *parse_type("JSON"), SkipState::plain(), 1).error().message(),
            "missing JSON state prefix");
  EXPECT_EQ(
      skip_body_raw(word, pos, *parse_type("Dynamic"), SkipState::plain(), 1).error().message(),
      "missing Dynamic state prefix");
  Wire chain;
  for (int i = 0; i < 400; ++i) chain.raw(dynamic_v2({"Dynamic"}));
  const std::vector<uint8_t>& bytes = chain;
  pos = 0;
  EXPECT_EQ(skip_column_data(bytes, pos, *parse_type("Dynamic"), 1).error().message(),
            "type nesting exceeds 256 levels");

  const std::pair<const char*, bool> json_cases[] = {{"JSON", false},
                                                     {"Map(String, JSON)", true},
                                                     {"Tuple(UInt8, Nullable(JSON))", true},
                                                     {"Variant(UInt8, JSON)", true},
                                                     {"Dynamic", false}};
  for (auto [text, nested] : json_cases) {
    EXPECT_EQ(nested_json_below(*parse_type(text), false), nested) << text;
  }
}

}  // namespace
}  // namespace tarnwick::protocol
