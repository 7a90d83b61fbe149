#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/wire_builder.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::column {
namespace {

using protocol::Block;
using protocol::ColumnInfo;
using protocol::ReadColumnContext;
using testing::Wire;

template <class T>
std::string error_text(const base::Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message();
}

base::Result<AnyColumnData> read_typed(std::string_view type_text, ReadColumnContext& ctx) {
  auto type = protocol::parse_type(type_text);
  EXPECT_TRUE(type.ok()) << type_text;
  return read_column_by_type(*type, ctx);
}

TEST(FixedWidthReader, BoundsAndOverflow) {
  std::vector<uint8_t> bytes(24, 0xAB);
  {
    ReadColumnContext ctx(std::span(bytes.data(), 24), 3);
    auto view = read_column<PlainColumnData<uint64_t>>(ctx);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(ctx.pos(), 24u);
    EXPECT_EQ(*view->get(2), 0xABABABABABABABABu);
    EXPECT_EQ(error_text(view->get(3)), "PlainColumnData: index 3 out of bounds (len 3)");
  }
  {
    ReadColumnContext ctx(std::span(bytes.data(), 23), 3);
    EXPECT_EQ(error_text(PlainColumnData<double>::read_column(ctx)),
              "ReadColumnContext: requested 24 bytes at offset 0, buffer len 23");
    EXPECT_EQ(ctx.pos(), 0u);
  }
  ReadColumnContext wide(std::span(bytes.data(), 24), uint64_t{1} << 59);
  EXPECT_EQ(error_text(PlainColumnData<Int256>::read_column(wide)), "column size overflow");
  ReadColumnContext v6(std::span(bytes.data(), 24), uint64_t{1} << 60);
  EXPECT_EQ(error_text(Ipv6ColumnData::read_column(v6)), "IPv6 column size overflow");
  ReadColumnContext narrow(std::span(bytes.data(), 24), 25);
  EXPECT_EQ(error_text(PlainColumnData<int8_t>::read_column(narrow)),
            "ReadColumnContext: requested 25 bytes at offset 0, buffer len 24");
}

TEST(FixedWidthReader, AccessorsRefuseViewsWhoseFieldsDisagree) {
  std::vector<uint8_t> bytes(8, 0);
  PlainColumnData<uint32_t> short_view{bytes.data(), 6, 2};
  EXPECT_TRUE(short_view.get(0).ok());
  EXPECT_EQ(error_text(short_view.get(1)), "PlainColumnData: buffer shorter than logical length");
  PlainColumnData<Int256> huge{bytes.data(), 8, ~uint64_t{0}};
  EXPECT_EQ(error_text(huge.get(uint64_t{1} << 60)), "PlainColumnData: index byte offset overflow");
  Ipv6ColumnData v6{bytes.data(), 0, ~uint64_t{0}};
  EXPECT_EQ(error_text(v6.get(uint64_t{1} << 61)), "IPv6 column offset overflow");
  EXPECT_EQ(error_text(Ipv6ColumnData{}.get(0)), "Ipv6ColumnData: index 0 out of bounds (len 0)");
  EXPECT_EQ(error_text(FixedStringColumnData{}.get(0)),
            "FixedStringColumnData: index 0 out of bounds (len 0)");
  EXPECT_EQ(error_text(BoolColumnData{}.get(0)), "BoolColumnData: index out of bounds");
}

TEST(StringReader, RangesAndBody) {
  std::vector<uint8_t> bytes = {0xEE, 0x01, 0x61, 0x00, 0xEE};
  ReadColumnContext ctx(bytes, 1);
  ASSERT_TRUE(ctx.read_exact(1).ok());
  ctx.set_rows(2);
  auto view = StringColumnData::read_column(ctx);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view->ranges, (std::vector<StringColumnData::Range>{{1, 2}, {3, 3}}));
  EXPECT_EQ(view->body.size(), 3u);
  EXPECT_EQ(ctx.pos(), 4u);
  EXPECT_EQ(*view->get_string(0), "a");
  EXPECT_EQ(*view->get_string(1), "");
  EXPECT_EQ(error_text(view->get_bytes(2)), "StringColumnData: index out of bounds");

  StringColumnData bad{{{2, 1}}, view->body};
  EXPECT_EQ(error_text(bad.get_string(0)), "StringColumnData: invalid range");
  bad.ranges[0] = {0, 4};
  EXPECT_EQ(error_text(bad.get_bytes(0)), "StringColumnData: invalid range");
}

TEST(StringReader, FailuresLeaveTheCursorInPlace) {
  struct Case {
    std::vector<uint8_t> body;
    uint64_t rows;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x61, 0x02, 0x62},
       2,
       "ReadColumnContext: requested 5 bytes at offset 1, buffer len 5"},
      {{}, 1, "unexpected end of data in varint"},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       1,
       "ReadColumnContext: requested 9223372036854775818 bytes at offset 1, buffer len 11"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       1,
       "StringColumnData: body range overflow"},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, 1, "varint overflow"},
      // A row count far beyond what the body could hold fails without sizing anything by it.
      {{0x01, 0x61, 0x00}, uint64_t{1} << 62, "unexpected end of data in varint"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = {0xEE};
    bytes.insert(bytes.end(), c.body.begin(), c.body.end());
    ReadColumnContext ctx(bytes, 1);
    ASSERT_TRUE(ctx.read_exact(1).ok());
    ctx.set_rows(c.rows);
    EXPECT_EQ(error_text(StringColumnData::read_column(ctx)), c.error) << c.body.size();
    EXPECT_EQ(ctx.pos(), 1u);
  }
}

TEST(JsonReader, CopiesRowsAndChecksEachOne) {
  Wire body;
  body.str("{}").str("[1]");
  ReadColumnContext ctx(body.get(), 2);
  auto view = JsonColumnData::read_column(ctx);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(std::string(view->text.begin(), view->text.end()), "{}[1]");
  EXPECT_EQ(view->ends, (std::vector<uint64_t>{2, 5}));
  EXPECT_EQ(*view->get_string(1), "[1]");
  EXPECT_EQ(error_text(view->get_string(2)), "JsonColumnData: index out of range");
  JsonColumnData bad{{'x'}, {2}};
  EXPECT_EQ(error_text(bad.get_string(0)), "JsonColumnData: invalid byte range");

  Wire truncated;
  truncated.str("{}").varint(3).raw("[1");
  ReadColumnContext tc(truncated.get(), 2);
  EXPECT_EQ(error_text(JsonColumnData::read_column(tc)),
            "ReadColumnContext: requested 3 bytes at offset 4, buffer len 6");
  EXPECT_EQ(tc.pos(), 4u);
  ReadColumnContext hostile(truncated.get(), ~uint64_t{0});
  EXPECT_FALSE(JsonColumnData::read_column(hostile).ok());
}

TEST(VariantReader, ShortBodiesGiveEmptyData) {
  struct Case {
    std::vector<uint8_t> body;
    uint64_t rows;
    std::vector<uint8_t> data;
    uint64_t pos;
  };
  const std::vector<Case> cases = {
      {{1, 0, 0, 0, 0, 0, 0}, 3, {}, 0},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 7, 8}, 3, {7, 8}, 13},
      {{1, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 3, {}, 8},
      {{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 3, {9}, 25},
      {{0, 0, 0, 0, 0, 0, 0, 0, 1, 1}, ~uint64_t{0}, {}, 8},
  };
  for (const Case& c : cases) {
    ReadColumnContext ctx(c.body, c.rows);
    auto view = VariantColumnData::read_column(ctx);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view->data, c.data);
    EXPECT_EQ(view->rows, c.rows);
    EXPECT_EQ(ctx.pos(), c.pos);
  }
}

TEST(ReadColumnByType, ConsumesWhatEachShapeHolds) {
  struct Case {
    const char* type;
    uint64_t rows;
    std::vector<uint8_t> body;
    ColumnKind kind;
    uint64_t consumed;
    uint64_t len;
  };
  const std::vector<Case> cases = {
      {"Decimal(0, 0)", 1, {0, 0, 0, 0}, ColumnKind::Decimal32, 4, 1},
      {"Decimal(39, 0)", 1, std::vector<uint8_t>(32), ColumnKind::Decimal256, 32, 1},
      {"Tuple()", 4, {9}, ColumnKind::Tuple, 0, 4},
      {"Nothing", 3, {0, 0, 0, 0}, ColumnKind::Empty, 3, 0},
      {"Nested(a UInt8)", 3, {1, 2, 3, 4}, ColumnKind::Empty, 4, 0},
      {"Dynamic", 3, {}, ColumnKind::Dynamic, 0, 3},
      {"AggregateFunction(sum, UInt64)", 2, {1, 2, 3}, ColumnKind::AggregateFunction, 3, 2},
      {"Variant(UInt8, String)", 2, Wire().u64(0).bytes({0, 0, 5, 6}), ColumnKind::Variant, 12, 2},
      {"Array(Tuple())", 2, Wire().u64(3).u64(5), ColumnKind::Array, 16, 5},
  };
  for (const Case& c : cases) {
    ReadColumnContext ctx(c.body, c.rows);
    auto view = read_typed(c.type, ctx);
    ASSERT_TRUE(view.ok()) << c.type << ": " << error_text(view);
    EXPECT_EQ(view->kind(), c.kind) << c.type;
    EXPECT_EQ(ctx.pos(), c.consumed) << c.type;
    EXPECT_EQ(view->len(), c.len) << c.type;
    EXPECT_EQ(ctx.rows(), c.rows) << c.type;
  }
}

TEST(ReadColumnByType, HostileOffsetsAndTruncatedBodies) {
  struct Case {
    const char* type;
    uint64_t rows;
    std::vector<uint8_t> body;
    std::string error;
  };
  auto with_offsets = [](std::initializer_list<uint64_t> offsets, std::vector<uint8_t> rest) {
    Wire w;
    for (uint64_t x : offsets) w.u64(x);
    w.raw(rest);
    return w.get();
  };
  const std::vector<Case> cases = {
      {"Array(String)", 1, with_offsets({uint64_t{1} << 62}, {1, 'a'}),
       "array offset total 4611686018427387904 exceeds the 2 bytes left in the column"},
      {"Map(String, UInt8)", 2, with_offsets({1, 4}, {1, 'a', 0}),
       "map offset total 4 exceeds the 3 bytes left in the column"},
      {"Array(Tuple())", 1, with_offsets({10000001}, {}),
       "array offset total 10000001 exceeds limit 10000000"},
      {"Array(UInt32)", 1, with_offsets({2}, {1, 2, 3, 4, 5}),
       "ReadColumnContext: requested 8 bytes at offset 8, buffer len 13"},
      {"Tuple(Dynamic, UInt8)", 1, Wire().u64(0).bytes({7, 7}),  // the Dynamic prefix first
       "ReadColumnContext: requested 1 bytes at offset 10, buffer len 10"},
      {"Array(Dynamic)",
       1,
       {2, 0, 0, 0},  // the Dynamic prefix cut inside its version word
       "ReadColumnContext: the state prefix runs past the 4 bytes of the column"},
      {"FixedString(3)",
       2,
       {1, 2, 3, 4, 5},
       "ReadColumnContext: requested 6 bytes at offset 0, buffer len 5"},
      {"FixedString(4294967296)",
       uint64_t{1} << 32,
       {},
       "ReadColumnContext: row byte length overflow"},
      {"Nothing", 2, {0}, "ReadColumnContext: requested 2 bytes at offset 0, buffer len 1"},
  };
  for (const Case& c : cases) {
    ReadColumnContext ctx(c.body, c.rows);
    EXPECT_EQ(error_text(read_typed(c.type, ctx)), c.error) << c.type;
  }
}

TEST(ReadColumnByType, NoShortRead) {
  struct Case {
    const char* type;
    uint64_t rows;
    std::vector<uint8_t> body;
  };
  Wire arrays;
  arrays.u64(1).u64(3).u64(1).u64(2).u64(3).str("a").str("").str("bc");
  Wire map;
  map.u64(2).str("k1").str("k2").u64(7).u64(8);
  const std::vector<Case> cases = {
      {"Array(Array(String))", 2, arrays.get()},
      {"Map(String, UInt64)", 1, map.get()},
      {"Nullable(String)", 2, {0, 1, 1, 'a', 0}},
      {"Tuple(UInt8, String, UUID)",
       1,
       {1, 1, 'x', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {"Polygon", 1, Wire().u64(1).u64(1).raw(std::vector<uint8_t>(16, 1)).get()},
      {"JSON", 2, Wire().str("{}").str("[1]").get()},
  };
  for (const Case& c : cases) {
    ReadColumnContext full(c.body, c.rows);
    ASSERT_TRUE(read_typed(c.type, full).ok()) << c.type;
    EXPECT_EQ(full.pos(), c.body.size()) << c.type;
    for (size_t n = 0; n < c.body.size(); ++n) {
      std::vector<uint8_t> prefix(c.body.begin(), c.body.begin() + n);
      ReadColumnContext ctx(prefix, c.rows);
      EXPECT_FALSE(read_typed(c.type, ctx).ok()) << c.type << " prefix " << n;
    }
  }
}

TEST(BlockColumns, ByNameAndByIndex) {
  Block block;
  block.rows = 1;
  block.columns.push_back({"name", "String", base::Bytes::copy_of(std::string_view("\x01x")), {}});
  block.columns.push_back({"name", "String", base::Bytes::copy_of(std::string_view("\x01y")), {}});
  block.columns.push_back({"lc", "LowCardinality(String)",
                           base::Bytes::copy_of(std::string_view("junk")),
                           base::Bytes::copy_of(std::string_view("\x01z"))});
  block.columns.push_back({"bad", "Array(UInt8", {}, {}});

  EXPECT_EQ(*block.column("name")->get_string(0), "x");
  EXPECT_EQ(*block.column("lc")->get_string(0), "z");
  EXPECT_EQ(error_text(block.column("Name")), "column 'Name' not found");

  auto lc = block.read_column_by_index(2);
  ASSERT_TRUE(lc.ok());
  EXPECT_EQ(lc->into_owned().texts()[0], "z");
  EXPECT_EQ(error_text(block.read_column_by_index(4)), "column at index 4 not found");
  EXPECT_EQ(error_text(block.read_column_by_index(3)),
            "bad type 'Array(UInt8': malformed type name (unclosed paren): Array(UInt8");

  block.rows = 2;  // bytes left over are not an error
  block.columns[0].data = base::Bytes::copy_of(std::string_view("\x01x\x00\x01", 4));
  EXPECT_EQ(block.read_column_by_index(0)->into_owned().texts()[1], "");
}

}  // namespace
}  // namespace tarnwick::column
