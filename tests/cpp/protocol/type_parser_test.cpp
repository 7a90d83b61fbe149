#include "tarnwick/protocol/type_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick::protocol {
namespace {

std::string nest(std::string_view open, int levels, std::string_view leaf,
                 std::string_view close = ")") {
  std::string s;
  for (int i = 0; i < levels; ++i) s.append(open);
  s.append(leaf);
  for (int i = 0; i < levels; ++i) s.append(close);
  return s;
}

std::string parse_outcome(std::string_view text, uint32_t depth = 0) {
  auto r = parse_type_rec(text, depth);
  if (r.ok()) return "parsed: " + r->debug_string();
  EXPECT_EQ(r.error().kind(), base::ErrorKind::Protocol);
  return r.error().message();
}

// Kinds whose arguments the parser drops, so their Display text does not parse back to them.
bool drops_arguments(const ColumnType& t) {
  if (t.kind == TypeKind::Enum8 || t.kind == TypeKind::Enum16 ||
      t.kind == TypeKind::AggregateFunction || t.kind == TypeKind::SimpleAggregateFunction) {
    return true;
  }
  for (const ColumnType& n : t.nested) {
    if (drops_arguments(n)) return true;
  }
  return false;
}

constexpr char kControlsText[] = "Tuple(a\0b\tc\nd\re\x1b)";
constexpr std::string_view kControls(kControlsText, sizeof kControlsText - 1);

struct Parsed {
  std::string_view text, debug, display;
};

TEST(TypeParserTest, ParsesCorpusAndPrintsBack) {
  const Parsed cases[] = {
      {"  Nullable( String )  ", "Nullable(String)", "Nullable(String)"},
      {"\u00a0\u3000Array(UInt8)\u2029\t", "Array(UInt8)", "Array(UInt8)"},
      {"DateTime('UTC')", "DateTime", "DateTime"},
      {"DateTime64(3, 'UTC')", "DateTime64(3)", "DateTime64(3)"},
      {"Enum8('a' = 1, 'b' = 2)", "Enum8", "Enum8"},
      {"Enum8", "Other(\"Enum8\")", "Enum8"},
      {"AggregateFunction(uniq, UInt64)", "AggregateFunction", "AggregateFunction"},
      {"Decimal( +10 ,2 )", "Decimal(10, 2)", "Decimal(10, 2)"},
      {"Decimal(4294967295, 0)", "Decimal(4294967295, 0)", "Decimal(4294967295, 0)"},
      {"Decimal32(2)", "Decimal(9, 2)", "Decimal(9, 2)"},
      {"Decimal256(80)", "Decimal(76, 80)", "Decimal(76, 80)"},
      {"Object('json')", "JSON", "JSON"},
      {"Json", "JSON", "JSON"},
      {"JSON(max_dynamic_paths=8)", "Other(\"JSON(max_dynamic_paths=8)\")",
       "JSON(max_dynamic_paths=8)"},
      {"Time64(3, 'UTC')", "Time64(3)", "Time64(3)"},
      {"Time('UTC')", "Other(\"Time('UTC')\")", "Time('UTC')"},
      {"Nested(a UInt8, b String)", "Other(\"Nested(a UInt8, b String)\")",
       "Nested(a UInt8, b String)"},
      {"Tuple(a UInt8, b String)", "Tuple([Other(\"a UInt8\"), Other(\"b String\")])",
       "Tuple(a UInt8, b String)"},
      {"Tuple()", "Tuple([])", "Tuple()"},
      {"Tuple(UInt8,)", "Tuple([UInt8])", "Tuple(UInt8)"},
      {"Tuple('x,y' String)", "Tuple([Other(\"'x\"), Other(\"y' String\")])",
       "Tuple('x, y' String)"},  // quotes are not special
      {"Tuple(a), b)", "Tuple([Other(\"a), b\")])", "Tuple(a), b)"},
      {"Map(String, UInt8, UInt8)", "Map(String, Other(\"UInt8, UInt8\"))",
       "Map(String, UInt8, UInt8)"},
      {"FixedString(18446744073709551615)", "FixedString(18446744073709551615)",
       "FixedString(18446744073709551615)"},
      {"Array", "Other(\"Array\")", "Array"},
      {"Map(a\"b\\c, Ni\u00e9\u0085\x01\x7f\n\r\t)",
       "Map(Other(\"a\\\"b\\\\c\"), Other(\"Ni\u00e9\\u{85}\\u{1}\\u{7f}\"))",
       "Map(a\"b\\c, Ni\u00e9\u0085\x01\x7f)"},
      {kControls, "Tuple([Other(\"a\\0b\\tc\\nd\\re\\u{1b}\")])", kControls},
  };
  for (const Parsed& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = parse_type(c.text);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->debug_string(), c.debug);
    EXPECT_EQ(r->to_string(), c.display);
    auto again = parse_type(r->to_string());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again == *r, !drops_arguments(*r));
  }
}

TEST(TypeParserTest, PlainNamesAndNesting) {
  const std::vector<std::string_view> plain = {
      "UInt8", "UInt16",  "UInt32",   "UInt64", "UInt128", "UInt256",     "Int8",    "Int16",
      "Int32", "Int64",   "Int128",   "Int256", "Float32", "Float64",     "Bool",    "String",
      "Date",  "Date32",  "DateTime", "UUID",   "IPv4",    "IPv6",        "Nothing", "Time",
      "JSON",  "Dynamic", "Point",    "Ring",   "Polygon", "MultiPolygon"};
  for (std::string_view name : plain) {
    auto r = parse_type(name);
    ASSERT_TRUE(r.ok());
    EXPECT_NE(r->kind, TypeKind::Other) << name;
    EXPECT_EQ(r->to_string(), name);
    EXPECT_EQ(r->debug_string(), name);
    EXPECT_EQ(type_kind_name(r->kind), name);
  }
  EXPECT_EQ(
      parse_type("Nullable(Tuple(UInt8, Map(String, Int8)))").value(),
      ColumnType::nullable(ColumnType::tuple(
          {ColumnType::of(TypeKind::UInt8),
           ColumnType::map(ColumnType::of(TypeKind::String), ColumnType::of(TypeKind::Int8))})));
}

TEST(TypeParserTest, FailuresCarryExactMessages) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "empty type name"},
      {"Tuple(,UInt8)", "empty type name"},
      {"Array(UInt8", "malformed type name (unclosed paren): Array(UInt8"},
      {"Map(String)", "cannot parse Map types from: String"},
      {"Decimal(10)", "Decimal needs precision,scale: Decimal(10)"},
      {"Decimal(10, 2, 3)", "Decimal scale: invalid digit found in string"},
      {"Decimal(, 2)", "Decimal precision: cannot parse integer from empty string"},
      {"Decimal(4294967296, 2)", "Decimal precision: number too large to fit in target type"},
      {"Decimal32(+)", "Decimal32: invalid digit found in string"},
      {"Decimal128(１)", "Decimal128: invalid digit found in string"},  // fullwidth digit
      {"Decimal256(99999999999x)", "Decimal256: number too large to fit in target type"},
      {"DateTime64('UTC')", "DateTime64: invalid digit found in string"},
      {"Time64(x)", "Time64: invalid digit found in string"},
      {"FixedString(18446744073709551616)", "FixedString: number too large to fit in target type"},
      {"Time64", "invalid Time64"},
      {"Time64x", "invalid Time64"},
      {"Map(Tuple(,), FixedString(x))", "empty type name"},  // key fails first
      {"Map(UInt8, FixedString(x))", "FixedString: invalid digit found in string"},
      {"Tuple(UInt8, Decimal(1), FixedString(x))", "Decimal needs precision,scale: Decimal(1)"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(parse_outcome(text), message) << text;
}

TEST(TypeParserTest, NestingLimit) {
  const std::string_view kTooDeep = "type nesting exceeds 256 levels";
  auto ok = parse_type(nest("Array(", 256, "UInt8"));
  ASSERT_TRUE(ok.ok());
  const ColumnType* t = &*ok;
  for (int i = 0; i < 256; ++i) t = &t->inner();
  EXPECT_EQ(t->kind, TypeKind::UInt8);
  EXPECT_EQ(parse_type(ok->to_string()).value(), *ok);
  EXPECT_EQ(parse_outcome(nest("Array(", 257, "UInt8")), kTooDeep);
  EXPECT_EQ(parse_outcome(nest("Map(UInt8, Nullable(", 129, "UInt8", "))")), kTooDeep);
  EXPECT_TRUE(parse_type(nest("Map(UInt8, Nullable(", 128, "UInt8", "))")).ok());
  EXPECT_EQ(parse_outcome("Tuple(UInt8, " + nest("Array(", 256, "UInt8") + ")"), kTooDeep);
  auto tuples = parse_type(nest("Tuple(a, ", 256, "b"));  // commas at every depth up to 256
  ASSERT_TRUE(tuples.ok());
  t = &*tuples;
  for (int i = 0; i < 255; ++i) t = &t->nested.at(1);
  EXPECT_EQ(t->debug_string(), "Tuple([Other(\"a\"), Other(\"b\")])");
  EXPECT_EQ(parse_outcome(nest("Tuple(a, ", 257, "b")), kTooDeep);
  EXPECT_EQ(parse_outcome(nest("Tuple(a, ", 57, "b"), 200), kTooDeep);
  EXPECT_TRUE(parse_type_rec(nest("Tuple(a, ", 57, "b", ", c)"), 199).ok());
  EXPECT_EQ(parse_outcome(nest("Array(", 1000000, "UInt8")),
            kTooDeep);  // stops without deep recursion
  EXPECT_EQ(parse_outcome("UInt8", 256), "parsed: UInt8");
  EXPECT_EQ(parse_outcome("UInt8", 257), kTooDeep);
  EXPECT_EQ(parse_outcome("", 4000000000u), kTooDeep);
}

// Long texts find their commas through an index of the whole text rather than by walking each
// level's arguments; white space around a short text makes it long without changing its outcome.
TEST(TypeParserTest, LongTextsParseLikeShortOnes) {
  const std::string_view texts[] = {
      "Map(Tuple(a, b), Tuple(c, Map(d, e)))",
      "Tuple(Tuple(a, b), Tuple(c, d), Map(e, Tuple(f, g)), Variant(h, i,), j)",
      "Map(Map(Map(a, b), c), Map(d, Map(e, f)))",
      "Tuple(Enum8('a' = 1, 'b' = 2), Nested(x UInt8, y String), DateTime64(3, 'UTC'), z)",
      "Tuple(a), b)",
      "Map(a), (b, c)",
      "Tuple(a)((b), c)",
      "Map(a)(, b)",
      "Tuple(a)), Tuple(b, c), (d, e)",
      "Tuple(x), y, (z)",
      "Tuple((a, b), c), d)",
      "Map(Tuple(a, b)), c, d)",
      "Tuple(Map(a, b), Tuple(c, d)",
      "Tuple(Tuple(, a), b)",
      "Tuple(a, Map(b))",
      "Variant(Tuple(Tuple(Tuple(a, b), c), d), e)",
      "Nullable(Tuple(Array(Map(a, b)), LowCardinality(Tuple(c,)), d))",
      "Tuple(\u00a0a ,\u3000b\u2029, Map( c , d ) )",
  };
  const std::string pad(150, ' ');
  for (std::string_view text : texts) {
    const std::string padded = pad + "\u00a0" + std::string(text) + "\u3000" + pad;
    for (uint32_t depth : {0u, 1u, 253u, 254u, 255u, 256u}) {
      EXPECT_EQ(parse_outcome(padded, depth), parse_outcome(text, depth)) << text << " " << depth;
    }
  }
  // A comma after a ")" that dips below the arguments' depth and a "(" that returns to it splits.
  EXPECT_EQ(parse_outcome(pad + "Tuple(a)((b), c)"),
            "parsed: Tuple([Other(\"a)((b)\"), Other(\"c\")])");
}

// What a parse holds, charged before it is taken: nodes by their vectors' capacity (the old room
// still held while a list grows into the new), texts that do not fit in place, 4 bytes per comma
// of a long text's index (and 8 per depth up to the deepest).
TEST(TypeParserTest, BudgetBoundaries) {
  constexpr uint64_t kNode = sizeof(ColumnType);
  const std::string pad(300, ' ');
  const std::pair<std::string, uint64_t> cases[] = {
      {"UInt8", 0},
      {"Tuple(UInt8, UInt8, UInt8)", (1 + 2 + 4 - 1) * kNode},
      {"Array(Map(UInt8, String))", 3 * kNode},
      {"Nested(" + std::string(100, 'x') + ")", 109},
      {pad + "Map(UInt8, String)", 2 * kNode + (2 * 2 + 1) * 4},
      {"Tuple(" + std::string(1000, ',') + ")", (2 * 2 + 1000) * 4},  // then "empty type name"
  };
  for (const auto& [text, need] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    auto unbounded = parse_type(text);
    auto within = parse_type(text, need);
    ASSERT_EQ(within.ok(), unbounded.ok());
    if (within.ok()) {
      EXPECT_EQ(*within, *unbounded);
      EXPECT_LE(type_memory_size(*within) - kNode, need);
    } else {
      EXPECT_EQ(within.error().message(), unbounded.error().message());
    }
    if (need == 0) continue;
    auto over = parse_type(text, need - 1);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error().message(), "type name needs " + std::to_string(need) +
                                          " bytes to hold, more than the limit of " +
                                          std::to_string(need - 1));
    EXPECT_EQ(over.error().decoded(), 1u);
  }
}

TEST(TypeParserTest, TopLevelCommaAndTrimming) {
  const std::pair<std::string_view, std::optional<size_t>> commas[] = {{"(a,b),c", 5},
                                                                       {"abc", std::nullopt},
                                                                       {"a),b,(c)", std::nullopt},
                                                                       {"a)(,b", 3},
                                                                       {"\u00e9,a", 2}};
  for (const auto& [text, index] : commas) EXPECT_EQ(find_top_level_comma(text), index) << text;

  const char* spaces[] = {"\t",     "\n",     "\v",     "\f",     "\r",     " ",
                          "\u0085", "\u00a0", "\u1680", "\u2000", "\u2005", "\u200a",
                          "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
  for (const char* sp : spaces) {
    const std::string text = std::string(sp) + "UInt8" + sp + sp;
    EXPECT_EQ(trim_unicode_space(text), "UInt8") << text;
  }
  for (const char* not_space : {"\u200b", "\u180e", "\ufeff", "\u2060", "\xc2", "\xe2\x80"}) {
    const std::string text = std::string(not_space) + "UInt8" + not_space;
    EXPECT_EQ(trim_unicode_space(text), text);
  }
}

TEST(TypeParserTest, FixedWidths) {
  const std::pair<std::string_view, std::optional<size_t>> cases[] = {
      {"Enum8('a' = 1)", 1},   {"Date", 2},           {"Time", 4},           {"DateTime('UTC')", 4},
      {"DateTime64(9)", 8},    {"IPv6", 16},          {"Point", 16},         {"UInt256", 32},
      {"Nothing", 0},          {"FixedString(0)", 0}, {"FixedString(7)", 7}, {"String", {}},
      {"Nullable(UInt8)", {}}, {"Tuple(UInt8)", {}},  {"Ring", {}}};
  for (const auto& [text, width] : cases) {
    EXPECT_EQ(parse_type(text).value().fixed_width(), width) << text;
  }
  // Decimal widths at and past each boundary of precision.
  const std::pair<int, std::optional<size_t>> decimals[] = {
      {0, {}}, {1, 4}, {9, 4}, {10, 8}, {18, 8}, {19, 16}, {38, 16}, {39, 32}, {76, 32}, {77, {}}};
  for (const auto& [precision, width] : decimals) {
    auto t = parse_type("Decimal(" + std::to_string(precision) + ", 0)");
    EXPECT_EQ(t.value().fixed_width(), width) << precision;
  }
}

}  // namespace
}  // namespace tarnwick::protocol
