// Owned column data over blocks the real server sent (tests/vectors/native_*.bin, decoded with the
// block reader), compared value by value with the server's own text rendering of the same rows
// (the manifest's rows_tsv).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/golden_blocks.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::column {
namespace {

using protocol::ColumnType;
using protocol::TypeKind;
using Cell = std::optional<std::string>;  // nothing for NULL

// The escapes of the server's text output: \0 \t \n \r \b \f \\ \' and \xHH.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    char e = s[++i];
    const std::string_view from = "0tnrbf", to("\0\t\n\r\b\f", 6);
    if (e == 'x') {
      out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(from.find(e) == std::string_view::npos ? e : to[from.find(e)]);
    }
  }
  return out;
}

// The leaf values of an array or tuple literal such as [['a','b'],[]] or (1,'x'), flattened.
std::vector<Cell> literal_leaves(std::string_view s) {
  std::vector<Cell> out;
  for (size_t i = 0; i < s.size();) {
    char c = s[i];
    if (c == '[' || c == ']' || c == '(' || c == ')' || c == ',') {
      ++i;
    } else if (c == '\'') {
      size_t j = ++i;
      while (j < s.size() && s[j] != '\'') j += s[j] == '\\' ? 2 : 1;
      out.push_back(unescape(s.substr(i, j - i)));
      i = j + 1;
    } else {
      size_t j = i;
      while (j < s.size() && s[j] != ',' && s[j] != ']' && s[j] != ')') ++j;
      std::string token(s.substr(i, j - i));
      out.push_back(token == "NULL" ? Cell() : Cell(token));
      i = j;
    }
  }
  return out;
}

const ColumnType& strip(const ColumnType& t) {
  if (t.kind == TypeKind::LowCardinality || t.kind == TypeKind::Nullable) return strip(t.inner());
  return t;
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The server renders day 0 as 0000-00-00 and wraps dates past its table's end (2105); for those
// rows the wire value is taken on trust.
std::optional<int64_t> rendered_time(const std::string& text, bool with_time, int64_t got) {
  if (text.starts_with("0000-00-00")) return 0;
  const int64_t end_of_table = days_from_civil(2106, 1, 1) * (with_time ? 86400 : 1);
  if (got >= end_of_table) return std::nullopt;
  int64_t days = days_from_civil(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)),
                                 std::stoi(text.substr(8, 2)));
  if (!with_time) return days;
  return days * 86400 + std::stoi(text.substr(11, 2)) * 3600 + std::stoi(text.substr(14, 2)) * 60 +
         std::stoi(text.substr(17, 2));
}

// Enum member values from the type text: 'name' = value pairs.
std::map<std::string, int64_t> enum_members(const std::string& type_text) {
  std::map<std::string, int64_t> out;
  for (size_t i = type_text.find('\''); i != std::string::npos; i = type_text.find('\'', i)) {
    size_t end = type_text.find('\'', i + 1);
    size_t eq = type_text.find('=', end);
    out[type_text.substr(i + 1, end - i - 1)] = std::stoll(type_text.substr(eq + 1));
    i = type_text.find_first_of(",)", eq);
  }
  return out;
}

void check_column(const std::string& type_text, const AnyColumnData& view,
                  const std::vector<std::string>& cells, const std::string& where) {
  auto parsed = protocol::parse_type(type_text);
  ASSERT_TRUE(parsed.ok()) << where;
  const ColumnType& base = strip(*parsed);
  // NULL cells: a null row holds whatever the nested column stores there, so only the count of
  // values is checked for them.
  std::vector<Cell> values;
  for (const std::string& cell : cells) {
    if (base.kind == TypeKind::Array) {
      for (Cell& v : literal_leaves(cell)) values.push_back(std::move(v));
    } else {
      values.push_back(cell == "\\N" ? Cell() : Cell(cell));
    }
  }
  const ColumnType& leaf = base.kind == TypeKind::Array ? strip(base.inner()) : base;
  const OwnedColumnData owned = view.into_owned();
  switch (owned.kind()) {
    case OwnedColumnData::Kind::UInt64:
      ASSERT_EQ(owned.uint64s().size(), values.size()) << where;
      for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) continue;
        EXPECT_EQ(owned.uint64s()[i], std::stoull(*values[i])) << where << i;
      }
      break;
    case OwnedColumnData::Kind::Int64: {
      ASSERT_EQ(owned.int64s().size(), values.size()) << where;
      const auto members = enum_members(type_text);
      for (size_t i = 0; i < values.size(); ++i) {
        const int64_t got = owned.int64s()[i];
        std::optional<int64_t> want;
        if (!values[i]) {
        } else if (leaf.kind == TypeKind::Enum8 || leaf.kind == TypeKind::Enum16) {
          want = members.at(*values[i]);
        } else if (leaf.kind == TypeKind::Date || leaf.kind == TypeKind::DateTime) {
          want = rendered_time(*values[i], leaf.kind == TypeKind::DateTime, got);
        } else {
          want = std::stoll(*values[i]);
        }
        if (want) {
          EXPECT_EQ(got, *want) << where << " value " << i;
        }
      }
      break;
    }
    case OwnedColumnData::Kind::Float64:
      ASSERT_EQ(owned.float64s().size(), values.size()) << where;
      for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) continue;
        const double got = owned.float64s()[i];
        const double want = leaf.kind == TypeKind::Float32
                                ? static_cast<double>(std::strtof(values[i]->c_str(), nullptr))
                                : std::strtod(values[i]->c_str(), nullptr);
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(got)) << where << i;
        } else {
          EXPECT_EQ(got, want) << where << i;
          EXPECT_EQ(std::signbit(got), std::signbit(want)) << where << i;
        }
      }
      break;
    case OwnedColumnData::Kind::Text:
      ASSERT_EQ(owned.texts().size(), values.size()) << where;
      for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) continue;
        std::string want;
        {
          // Top-level cells are still escaped; literal leaves were unescaped when split out.
          std::string raw = base.kind == TypeKind::Array ? *values[i] : unescape(*values[i]);
          want = leaf.kind == TypeKind::UUID
                     ? raw
                     : base::decode_utf8_lossy(reinterpret_cast<const uint8_t*>(raw.data()),
                                               raw.size());
        }
        EXPECT_EQ(owned.texts()[i], want) << where << " value " << i;
      }
      break;
    case OwnedColumnData::Kind::LengthOnly:
      EXPECT_EQ(owned.length_only(), values.size()) << where;
      break;
    default:
      ADD_FAILURE() << where << ": unexpected form " << static_cast<int>(owned.kind());
  }

  // The forms without values are checked through their views.
  const AnyColumnData& inner = view.innermost();
  if (inner.kind() == ColumnKind::Decimal32 || inner.kind() == ColumnKind::Decimal64 ||
      inner.kind() == ColumnKind::Decimal128) {
    for (size_t i = 0; i < values.size(); ++i) {
      std::string digits = *values[i];
      digits.erase(digits.find('.'), 1);
      Int128 want = 0;
      const bool negative = digits[0] == '-';
      for (char ch : digits.substr(negative ? 1 : 0)) want = want * 10 + (ch - '0');
      if (negative) want = -want;
      Int128 got = inner.kind() == ColumnKind::Decimal32
                       ? inner.get<ColumnKind::Decimal32>().get(i)->value
                   : inner.kind() == ColumnKind::Decimal64
                       ? inner.get<ColumnKind::Decimal64>().get(i)->value
                       : inner.get<ColumnKind::Decimal128>().get(i)->value;
      EXPECT_TRUE(got == want) << where << " decimal " << i;
    }
  }
  if (inner.kind() == ColumnKind::Tuple) {
    // Tuple(UInt8, String): the element bodies read as their own columns.
    const TupleColumnData& tuple = inner.get<ColumnKind::Tuple>();
    ASSERT_EQ(tuple.elements.size(), 2u) << where;
    protocol::ReadColumnContext numbers(tuple.elements[0], tuple.rows);
    protocol::ReadColumnContext texts(tuple.elements[1], tuple.rows);
    auto first = PlainColumnData<uint8_t>::read_column(numbers);
    auto second = StringColumnData::read_column(texts);
    ASSERT_TRUE(first.ok() && second.ok()) << where;
    for (size_t r = 0; r < cells.size(); ++r) {
      auto leaves = literal_leaves(cells[r]);
      EXPECT_EQ(*first->get(r), std::stoul(*leaves[0])) << where;
      EXPECT_EQ(*second->get_string(r), *leaves[1]) << where;
    }
  }
}

TEST(GoldenColumns, OwnedDataMatchesTheServerRendering) {
  size_t columns_checked = 0;
  for (const auto& g : testing::golden_blocks()) {
    if (g.columns.empty()) continue;  // replies: no server text to compare with
    base::MemorySource source(g.wire);
    auto block = protocol::read_block_body(source, testing::kGoldenLayout);
    ASSERT_TRUE(block.ok()) << g.what << ": " << block.error().to_string();
    for (size_t c = 0; c < g.columns.size(); ++c) {
      const std::string where = g.what + " column " + g.columns[c].first;
      auto view = block->read_column_by_index(c);
      ASSERT_TRUE(view.ok()) << where << ": " << view.error().to_string();
      std::vector<std::string> cells;
      for (const auto& row : g.tsv) cells.push_back(row.at(c));
      check_column(g.columns[c].second, *view, cells, where);
      ++columns_checked;
    }
  }
  EXPECT_GE(columns_checked, 30u);
}

}  // namespace
}  // namespace tarnwick::column
