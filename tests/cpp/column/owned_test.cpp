#include "tarnwick/column/owned.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/wire_builder.h"
#include "tarnwick/column/any.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::column {
namespace {

using protocol::Block;
using testing::Wire;

// clang-format off
OwnedColumnData U(std::vector<uint64_t> v) { return {std::move(v)}; }
OwnedColumnData I(std::vector<int64_t> v) { return {std::move(v)}; }
OwnedColumnData F(std::vector<double> v) { return {std::move(v)}; }
OwnedColumnData B(std::vector<uint8_t> v) { return {std::move(v)}; }
OwnedColumnData L(uint64_t n) { return {LengthOnly{n}}; }
OwnedColumnData E() { return {NoValues{}}; }
// clang-format on
OwnedColumnData T(std::vector<std::string> texts) {
  OwnedStrings out;
  for (const std::string& t : texts) {
    out.bytes += t;
    out.finish_text();
  }
  return {std::move(out)};
}

std::vector<uint8_t> ip6(std::initializer_list<uint16_t> groups) {
  std::vector<uint8_t> out;
  for (uint16_t g : groups) {
    out.push_back(static_cast<uint8_t>(g >> 8));
    out.push_back(static_cast<uint8_t>(g));
  }
  return out;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

OwnedColumnData convert(const std::string& type, uint64_t rows, const std::vector<uint8_t>& body) {
  Block block;
  block.rows = rows;
  block.columns.push_back({"c", type, base::Bytes::copy_of(body.data(), body.size()), {}});
  auto view = block.read_column_by_index(0);
  EXPECT_TRUE(view.ok()) << type << ": " << (view.ok() ? "" : view.error().message());
  if (!view.ok()) return E();
  return view->into_owned();
}

struct Case {
  std::string type;
  uint64_t rows;
  std::vector<uint8_t> body;
  OwnedColumnData expected;
};

TEST(IntoOwned, ConversionTable) {
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"UInt8", 2, {0xFF, 0}, U({255, 0})},
      {"UInt64", 1, Wire().le(~uint64_t{0}), U({~uint64_t{0}})},
      {"Int8", 2, {0xFF, 0x80}, I({-1, -128})},
      {"Int64", 1, Wire().le(INT64_MIN), I({INT64_MIN})},
      {"Enum8('a' = -1, 'b' = 1)", 2, {0xFF, 1}, I({-1, 1})},
      {"Date32", 1, Wire().le(int32_t{-1}), I({-1})},
      {"Date", 2, {0xFF, 0xFF, 1, 0}, I({65535, 1})},
      {"DateTime('UTC')", 1, Wire().le(~uint32_t{0}), I({4294967295})},
      {"DateTime64(3, 'UTC')", 1, Wire().le(int64_t{1551675967123}), I({1551675967123})},
      {"Time", 2, Wire().le(int32_t{-3600}).le(INT32_MAX), I({-3600, INT32_MAX})},
      {"Time64(3)", 1, Wire().le(int64_t{-1500}), I({-1500})},
      {"LowCardinality(UInt16)", 1, {1, 1}, U({257})},
      {"Float32", 2, Wire().le(0.1f).le(-0.0f), F({0.100000001490116119384765625, -0.0})},
      {"Bool", 3, {0, 1, 2}, B({0, 1, 1})},
      {"String", 3,
       Wire()
           .str("a\xFF"
                "b")
           .str("")
           .str("日本"),
       T({"a" + replacement + "b", "", "日本"})},
      {"FixedString(4)",
       2,
       {'a', 'b', 0, 0, 0xC3, 0xA9, 0, 'x'},
       T({std::string("ab\0\0", 4), std::string("é\0x", 4)})},
      {"JSON", 2, Wire().str("{}").str("[\xFF]"), T({"{}", "[" + replacement + "]"})},
      {"UUID", 1, Wire().le(uint64_t{0x61f0c4045cb311e7}).le(uint64_t{0x907ba6006ad3dba0}),
       T({"61f0c404-5cb3-11e7-907b-a6006ad3dba0"})},
      {"IPv4",
       3,
       {4, 3, 2, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
       T({"1.2.3.4", "0.0.0.0", "255.255.255.255"})},
      {"IPv6", 10,
       join({ip6({0, 0, 0, 0, 0, 0, 0, 1}), ip6({0, 0, 0, 0, 0, 0, 0, 0}),
             ip6({0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}), ip6({1, 0, 0, 2, 0, 0, 3, 4}),
             ip6({1, 0, 0, 2, 0, 0, 0, 3}), ip6({1, 0, 2, 3, 4, 5, 6, 7}),
             ip6({0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), ip6({0, 0, 0, 0, 0xFFFF, 0, 0x0102, 0x0304}),
             ip6({0xABCD, 0x00EF, 0, 0, 0, 0, 0, 0x0A00}), ip6({1, 2, 3, 4, 5, 6, 0, 0})}),
       T({"::1", "::", "::ffff:1.2.3.4", "1::2:0:0:3:4", "1:0:0:2::3", "1:0:2:3:4:5:6:7",
          "::102:304", "::ffff:0:102:304", "abcd:ef::a00", "1:2:3:4:5:6::"})},
      // Kinds without a value form: a count when there are values, nothing otherwise.
      {"UInt128", 5, std::vector<uint8_t>(80), L(5)},
      {"UInt128", 0, {}, E()},
      {"Decimal(9, 2)", 2, std::vector<uint8_t>(8), L(2)},
      {"Dynamic", 3, {1, 2, 3}, L(3)},
      {"Variant(UInt8, String)", 2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}, L(2)},
      {"AggregateFunction(sum, UInt64)", 1, std::vector<uint8_t>(8), L(1)},
      // Map and Tuple: always a count, also of zero; a Tuple counts its rows.
      {"Map(String, UInt8)", 0, {}, L(0)},
      {"Map(String, UInt8)", 2, Wire().u64(1).u64(1).str("k").bytes({9}), L(2)},
      {"Tuple(UInt8, String)", 3, Wire().bytes({1, 2, 3}).str("x").str("").str("y"), L(3)},
      {"Ring", 1, Wire().u64(3).raw(std::vector<uint8_t>(48)), L(3)},
      {"Polygon", 2, Wire().u64(1).u64(1).u64(0), L(0)},
      // Wrappers unwrap: null rows give the nested value, arrays flatten.
      {"Nullable(Int32)", 3, Wire().bytes({0, 1, 0}).le(1).le(0).le(3), I({1, 0, 3})},
      {"Array(UInt8)", 3, Wire().u64(2).u64(2).u64(3).bytes({1, 2, 3}), U({1, 2, 3})},
      {"Array(Array(UInt8))", 2, Wire().u64(1).u64(2).u64(2).u64(3).bytes({7, 8, 9}), U({7, 8, 9})},
      {"Array(Nullable(String))", 1, Wire().u64(2).bytes({1, 0}).str("").str("z"), T({"", "z"})},
      {"Array(String)", 2, Wire().u64(0).u64(0), T({})},
      {"Array(Array(UInt8))", 2, Wire().u64(0).u64(0), U({})},
      {"Array(Array(String))", 1, Wire().u64(0), T({})},
      {"Nothing", 3, {0, 0, 0}, E()},
      {"Nullable(Nothing)", 2, {1, 1, 0, 0}, E()},
      {"Bool", 0, {}, B({})},
      {"Float32", 0, {}, F({})},
      {"FixedString(3)", 0, {}, T({})},
  };
  for (const Case& c : cases) {
    OwnedColumnData got = convert(c.type, c.rows, c.body);
    EXPECT_EQ(got, c.expected) << c.type << " over " << c.rows << " rows";
  }
}

TEST(IntoOwned, RowsTheViewCannotDeliverGetDefaults) {
  const uint8_t bytes[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  auto plain = AnyColumnData::make<ColumnKind::UInt32>(PlainColumnData<uint32_t>{bytes, 6, 2});
  EXPECT_EQ(plain.into_owned(), U({1, 0}));
  auto floats = AnyColumnData::make<ColumnKind::Float32>(PlainColumnData<float>{bytes, 0, 1});
  EXPECT_EQ(floats.into_owned(), F({0.0}));
  StringColumnData strings{{{1, 2}, {3, 9}}, std::span<const uint8_t>(bytes, 4)};
  EXPECT_EQ(AnyColumnData::make<ColumnKind::String>(strings).into_owned(),
            T({std::string(1, '\0'), ""}));
  JsonColumnData json{{'a'}, {1, 5}};
  EXPECT_EQ(AnyColumnData::make<ColumnKind::Json>(json).into_owned(), T({"a", ""}));
}

TEST(IntoOwned, IsRepeatableAndIndependentOfTheBlock) {
  Block block;
  block.rows = 2;
  block.columns.push_back(
      {"s", "String", base::Bytes::copy_of(std::string_view("\x02hi\x01!")), {}});
  auto view = block.read_column_by_index(0);
  ASSERT_TRUE(view.ok());
  OwnedColumnData first = view->into_owned();
  OwnedColumnData second = view->into_owned();
  EXPECT_EQ(first, second);
  EXPECT_NE(first.texts().bytes.data(), second.texts().bytes.data());
  block = Block();
  EXPECT_EQ(first.texts()[0], "hi");
  EXPECT_EQ(first.texts()[1], "!");
}

}  // namespace
}  // namespace tarnwick::column
