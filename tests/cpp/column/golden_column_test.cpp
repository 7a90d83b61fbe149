// Owned column data over blocks the real server sent (tests/vectors/native_*.bin, decoded with the
// block reader), compared value by value with the server's own values of the same rows (the
// manifest's normalised "values": leaves in order, integers and scaled decimals in decimal, floats
// as %.17g, texts as upper-case hex).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/golden_blocks.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::column {
namespace {

using protocol::ColumnType;
using protocol::TypeKind;

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) out += {kDigits[c >> 4], kDigits[c & 15]};
  return out;
}

std::string decimal(Int128 v) {
  const bool negative = v < 0;
  std::string out;
  do {
    const int digit = static_cast<int>(v % 10);
    out.insert(out.begin(), static_cast<char>('0' + (negative ? -digit : digit)));
    v /= 10;
  } while (v != 0);
  return negative ? "-" + out : out;
}

const ColumnType& leaf_type(const ColumnType& t) {
  const bool wrapper = t.kind == TypeKind::LowCardinality || t.kind == TypeKind::Nullable ||
                       t.kind == TypeKind::Array;
  return wrapper ? leaf_type(t.inner()) : t;
}

// Appends the leaf values of one column in the manifest's rendering.
void render(const ColumnType& type, const AnyColumnData& view, std::vector<std::string>& out) {
  const AnyColumnData& inner = view.innermost();
  const uint64_t n = inner.len();
  switch (inner.kind()) {
    case ColumnKind::Tuple: {
      const TupleColumnData& tuple = inner.get<ColumnKind::Tuple>();
      const ColumnType& t = leaf_type(type);
      ASSERT_EQ(tuple.elements.size(), t.nested.size());
      for (size_t e = 0; e < t.nested.size(); ++e) {
        protocol::ReadColumnContext ctx(tuple.elements[e], tuple.rows);
        auto element = read_column_by_type(t.nested[e], ctx);
        ASSERT_TRUE(element.ok()) << element.error().to_string();
        render(t.nested[e], *element, out);
      }
      return;
    }
    case ColumnKind::Decimal32:
      for (uint64_t i = 0; i < n; ++i)
        out.push_back(decimal(inner.get<ColumnKind::Decimal32>().get(i)->value));
      return;
    case ColumnKind::Decimal64:
      for (uint64_t i = 0; i < n; ++i)
        out.push_back(decimal(inner.get<ColumnKind::Decimal64>().get(i)->value));
      return;
    case ColumnKind::Decimal128:
      for (uint64_t i = 0; i < n; ++i)
        out.push_back(decimal(inner.get<ColumnKind::Decimal128>().get(i)->value));
      return;
    default:
      break;
  }
  const OwnedColumnData owned = view.into_owned();
  switch (owned.kind()) {
    case OwnedColumnData::Kind::UInt64:
      for (uint64_t v : owned.uint64s()) out.push_back(std::to_string(v));
      break;
    case OwnedColumnData::Kind::Int64:
      for (int64_t v : owned.int64s()) out.push_back(std::to_string(v));
      break;
    case OwnedColumnData::Kind::Float64:
      for (double v : owned.float64s()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", v);
        out.push_back(std::isnan(v) ? "nan" : text);
      }
      break;
    case OwnedColumnData::Kind::Text:
      for (size_t i = 0; i < owned.texts().size(); ++i) out.push_back(hex(owned.texts()[i]));
      break;
    default:
      ADD_FAILURE() << type.to_string() << ": unexpected form " << static_cast<int>(owned.kind());
  }
}

TEST(GoldenColumns, OwnedDataMatchesTheServerValues) {
  // file -> column -> the values of all its blocks, in order
  std::map<std::string, std::vector<std::vector<std::string>>> got;
  for (const auto& g : testing::golden_blocks()) {
    if (g.columns.empty()) continue;  // replies: no server values to compare with
    base::MemorySource source(g.wire);
    auto block = protocol::read_block_body(source, testing::kGoldenLayout);
    ASSERT_TRUE(block.ok()) << g.what << ": " << block.error().to_string();
    auto& columns = got[g.file];
    columns.resize(g.columns.size());
    for (size_t c = 0; c < g.columns.size(); ++c) {
      auto view = block->read_column_by_index(c);
      ASSERT_TRUE(view.ok()) << g.what << ": " << view.error().to_string();
      render(*protocol::parse_type(g.columns[c].second), *view, columns[c]);
    }
  }
  size_t columns_checked = 0;
  const auto manifest = testing::Json::parse(testing::slurp_vector("native_columns.json"));
  for (const auto& entry : manifest.items) {
    const auto& columns = got[entry["file"].text];
    ASSERT_EQ(columns.size(), entry["values"].size()) << entry["file"].text;
    for (size_t c = 0; c < columns.size(); ++c) {
      const std::string where = entry["file"].text + " column " + entry["columns"][c][0].text;
      const auto& want = entry["values"][c];
      ASSERT_EQ(columns[c].size(), want.size()) << where;
      for (size_t i = 0; i < want.size(); ++i) {
        // A NULL row holds whatever the nested column stores there.
        if (want[i].text != "NULL") {
          EXPECT_EQ(columns[c][i], want[i].text) << where << " #" << i;
        }
      }
      ++columns_checked;
    }
  }
  EXPECT_GE(columns_checked, 30u);
}

}  // namespace
}  // namespace tarnwick::column
