#include "tarnwick/sync/schema.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/vectors.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::sync {
namespace {

using protocol::Block;
using protocol::ColumnInfo;

// One String column whose body holds `values` in the native layout.
ColumnInfo string_column(std::string name, const std::vector<std::string>& values) {
  base::ByteBuffer body;
  for (const auto& v : values) protocol::write_string(body, v);
  return ColumnInfo{std::move(name), "String", base::Bytes::copy_of(body.span()), {}};
}

ColumnInfo typed_column(std::string name, std::string type) {
  return ColumnInfo{std::move(name), std::move(type), {}, {}};
}

// The block the server sent for DESCRIBE TABLE in describe_table.bin (HTTP Native: column and
// row counts, then name, type and body per column; every column there is a String).
Block golden_describe_block() {
  const std::vector<uint8_t> bytes = testing::vector_bytes("describe_table.bin");
  base::MemorySource src(bytes);
  Block block;
  const uint64_t columns = *protocol::read_varint(src);
  block.rows = *protocol::read_varint(src);
  for (uint64_t c = 0; c < columns; ++c) {
    ColumnInfo info;
    info.name = *protocol::read_string(src);
    info.type_name = *protocol::read_string(src);
    EXPECT_EQ(info.type_name, "String");
    const size_t start = bytes.size() - src.remaining();
    for (uint64_t r = 0; r < block.rows; ++r) EXPECT_TRUE(protocol::read_string_bytes(src).ok());
    const size_t end = bytes.size() - src.remaining();
    info.data = base::Bytes::copy_of(std::span(bytes).subspan(start, end - start));
    block.columns.push_back(std::move(info));
  }
  EXPECT_EQ(src.remaining(), 0u);
  return block;
}

const std::vector<TableColumn> kGoldenColumns = {
    {"id", "UInt64"},
    {"a.b", "Nullable(String)"},
    {"na\xC3\xAFve", "Array(LowCardinality(String))"},
    {"ts", "DateTime('UTC')"},
    {"d", "Decimal(18, 4)"},
};

TEST(SchemaTest, QuoteIdentifierPath) {
  // A quoted path starts with a backtick; anything else is the refusal's message.
  const std::pair<std::string, std::string> cases[] = {
      {"db.table", "`db`.`table`"},
      {"`my.db`.`t`", "`my.db`.`t`"},
      {"`a``b`", "`a``b`"},
      {"a``b", "`ab`"},
      {"` x `.y", "`x`.`y`"},
      {"`a`b", "`ab`"},
      {"a`.`b", "`a.b`"},
      {"a.b.c", "`a`.`b`.`c`"},
      {"````", "````"},                      // a part that is one backtick
      {"\xE3\x80\x80t\xE2\x80\x83", "`t`"},  // U+3000, U+2003 trimmed
      {"\xC2\xA0"
       "db.\xC2\x85t",
       "`db`.`t`"},                                              // U+00A0, U+0085 trimmed
      {"\xE2\x80\x8Bt", "`\xE2\x80\x8Bt`"},                      // U+200B is not white space
      {"default.`tw.desc``ribe`", "`default`.`tw.desc``ribe`"},  // accepted by the real server
      {"a..b", "invalid table name 'a..b'"},
      {"   ", "invalid table name '   '"},
      {" a. ", "invalid table name ' a. '"},
      {"``", "invalid table name '``'"},
      {"a.` `", "invalid table name 'a.` `'"},
      {"`abc", "unterminated quoted identifier in '`abc'"},
      {" a.`b``", "unterminated quoted identifier in ' a.`b``'"},
      {"..`", "invalid table name '..`'"},  // the empty part is met first
  };
  for (const auto& [input, want] : cases) {
    auto got = quote_identifier_path(input);
    EXPECT_EQ(got.ok() ? *got : got.error().message(), want) << input;
    if (!got.ok()) {
      EXPECT_EQ(got.error().kind(), base::ErrorKind::Protocol);
    }
    EXPECT_EQ(describe_table_statement(input).ok(), got.ok());
  }
  EXPECT_EQ(*describe_table_statement(" db.t"), "DESCRIBE TABLE `db`.`t`");
}

TEST(SchemaTest, QueryMayChangeSchema) {
  const struct {
    const char* query;
    bool changes;
  } cases[] = {
      {"drop table t", true},
      {"  Create TABLE x", true},
      {"DeTaCh table t", true},
      {"\n\tDROP", true},
      {"\xE3\x80\x80"
       "drop\xC2\xA0table",
       true},  // Unicode white space around the word
      {"SELECT 1", false},
      {"OPTIMIZE TABLE t", false},
      {"(CREATE", false},
      {"/* c */ DROP TABLE t", false},
      {"DROP;", false},
      {"DROPS", false},
      {"drop\xE2\x80\x8Btable", false},  // U+200B joins the word
      {" \t\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(query_may_change_schema(c.query), c.changes) << c.query;
}

TEST(SchemaTest, ValidateInsertBlock) {
  const TableSchema schema{{{"a", "UInt8"}, {"b", "String"}, {"c", "Date"}}};
  const auto block_of = [](std::vector<ColumnInfo> columns) {
    Block block;
    block.columns = std::move(columns);
    block.rows = 3;
    return block;
  };
  const struct {
    const char* what;
    TableSchema schema;
    Block block;
    const char* message;  // null: passes
  } cases[] = {
      {"subset in any order", schema,
       block_of({typed_column("b", "String"), typed_column("a", "UInt8")}), nullptr},
      {"no columns", TableSchema{}, block_of({}), nullptr},
      {"repeated block column", schema,
       block_of({typed_column("a", "UInt8"), typed_column("a", "UInt8")}), nullptr},
      {"type differs", TableSchema{{{"a", "UInt8"}, {"b", "Nullable(String)"}}},
       block_of({typed_column("a", "UInt8"), typed_column("b", "String")}),
       "insert block for db.t column 'b' has type 'String', expected 'Nullable(String)'"},
      {"type text compared byte for byte", schema, block_of({typed_column("c", "Date ")}),
       "insert block for db.t column 'c' has type 'Date ', expected 'Date'"},
      {"unknown column", schema, block_of({typed_column("a", "UInt8"), typed_column("z", "UInt8")}),
       "insert block for db.t contains unknown column 'z'"},
      {"the first failing column is reported", schema,
       block_of({typed_column("x", "UInt8"), typed_column("a", "Int8")}),
       "insert block for db.t contains unknown column 'x'"},
      {"a repeated schema name: the later type wins", TableSchema{{{"a", "UInt8"}, {"a", "Int8"}}},
       block_of({typed_column("a", "UInt8")}),
       "insert block for db.t column 'a' has type 'UInt8', expected 'Int8'"},
  };
  for (const auto& c : cases) {
    auto st = c.schema.validate_insert_block("db.t", c.block);
    if (c.message == nullptr) {
      EXPECT_TRUE(st.ok()) << c.what << ": " << st.error().to_string();
    } else {
      ASSERT_FALSE(st.ok()) << c.what;
      EXPECT_EQ(st.error().kind(), base::ErrorKind::Protocol) << c.what;
      EXPECT_EQ(st.error().message(), c.message) << c.what;
    }
  }
}

TEST(SchemaTest, CheckInsertStructure) {
  // The table's types as the server prints them; a block's types compared by meaning.
  const TableSchema structure{{{"d", "Decimal(9, 2)"},
                               {"e", "Enum8('a, b' = 1, 'it\\'s (x)' = 2)"},
                               {"t", "DateTime('UTC')"},
                               {"n", "Nullable(Enum16('x' = -1, 'y' = 300))"},
                               {"s", "String"},
                               {"u", "Tuple(Enum8 UInt8)"},
                               {"v", "Tuple(\xC3\xA9 UInt8)"}}};
  const struct {
    const char* column;
    const char* type;
    bool same;
  } cases[] = {
      {"d", "Decimal(9,2)", true},
      {"d", " Decimal ( 9 , 2 ) ", true},
      {"e", "Enum8('a, b'=1,'it\\'s (x)'=2)", true},
      {"e", "Enum8('it\\'s (x)' = 2, 'a, b' = 1)", true},
      {"e", "Enum8('a, b' = +1, 'it''s (x)' = 02)", true},  // the same names and codes
      {"e", "Enum8('a\\x2c b' = 1, 'it\\'s (x)' = 2)", true},
      {"t", "DateTime( 'UTC' )", true},
      {"n", "Nullable( Enum16('y' = 300, 'x' = -1) )", true},
      {"s", "String", true},
      {"d", "Decimal(9, 3)", false},
      {"d", "Decimal32(2)", false},  // an alias is another spelling of the type, not compared
      {"e", "Enum8('a, b' = 1)", false},
      {"e", "Enum8('a, b' = 1, 'it\\'s (x)' = 2, 'c' = 3)", false},
      {"e", "Enum8('a,b' = 1, 'it\\'s (x)' = 2)", false},  // spacing inside quotes counts
      {"e", "Enum8('a, b' = 2, 'it\\'s (x)' = 1)", false},
      {"e", "Enum16('a, b' = 1, 'it\\'s (x)' = 2)", false},
      {"e", "Enum8('a, b' = 1, 'it\\'s (x)' = 2", false},
      {"e", "Enum8('a, b' = 1, 'a, b' = 1, 'it\\'s (x)' = 2)", false},
      {"t", "DateTime", false},
      {"t", "DateTime('utc')", false},
      {"t", "DateTime('UTC)", false},
      {"n", "Enum16('x' = -1, 'y' = 300)", false},
      {"s", "Str ing", false},
      {"s", "FixedString(1)", false},
      {"u", "Tuple(Enum8  UInt8 )", true},
      {"u", "Tuple(Enum8UInt8)", false},  // an Enum's name without its members is a word
      {"v", "Tuple(\xC3\xA9UInt8)", false},
  };
  for (const auto& c : cases) {
    Block block;
    block.rows = 1;
    block.columns = {typed_column("s", "String"), typed_column(c.column, c.type)};
    const base::Status st = structure.check_insert_structure("db.t", block);
    if (c.same) {
      EXPECT_TRUE(st.ok()) << c.type << ": " << st.error().to_string();
    } else {
      ASSERT_FALSE(st.ok()) << c.type;
      std::string table_type;
      for (const TableColumn& column : structure.columns) {
        if (column.name == c.column) table_type = column.type_name;
      }
      EXPECT_EQ(st.error().message(), "insert block for db.t column '" + std::string(c.column) +
                                          "' has type '" + c.type + "', the table's is '" +
                                          table_type + "'");
    }
  }
  // The structure holds the insert's columns: with a column list, only the listed ones.
  Block extra;
  extra.columns = {typed_column("d", "Decimal(9, 2)"), typed_column("x", "UInt8")};
  EXPECT_EQ(structure.check_insert_structure("db.t", extra).error().message(),
            "insert block for db.t column 'x' is not among the insert's columns");
  // The schema check stays byte for byte.
  Block spelled;
  spelled.columns = {typed_column("d", "Decimal(9,2)")};
  EXPECT_FALSE(structure.validate_insert_block("db.t", spelled).ok());
}

TEST(SchemaTest, SchemaFromDescribeBlocks) {
  const Block golden = golden_describe_block();
  ASSERT_EQ(golden.columns.size(), 5u);
  auto schema = table_schema_from_blocks(std::span(&golden, 1));
  ASSERT_TRUE(schema.ok()) << schema.error().to_string();
  EXPECT_EQ(schema->columns, kGoldenColumns);

  // Several blocks append in order; a header block with no rows, a block with the columns in
  // another order and an extra one, and an empty block without columns (older servers end the
  // result with one) contribute as they should; invalid UTF-8 is replaced.
  std::vector<Block> blocks(4);
  blocks[0].columns = {string_column("name", {}), string_column("type", {})};
  blocks[1].columns = {string_column("type", {"UInt8", "String"}), string_column("x", {"", ""}),
                       string_column("name", {"a", "b\xFF"})};
  blocks[1].rows = 2;
  blocks[2] = golden;
  auto joined = table_schema_from_blocks(blocks);
  ASSERT_TRUE(joined.ok()) << joined.error().to_string();
  std::vector<TableColumn> expected = {{"a", "UInt8"}, {"b\xEF\xBF\xBD", "String"}};
  expected.insert(expected.end(), kGoldenColumns.begin(), kGoldenColumns.end());
  EXPECT_EQ(joined->columns, expected);

  EXPECT_EQ(table_schema_from_blocks({})->columns.size(), 0u);

  Block no_type;
  no_type.columns = {string_column("name", {"a"}), string_column("Type", {"UInt8"})};
  no_type.rows = 1;
  auto missing = table_schema_from_blocks(std::span(&no_type, 1));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "column 'type' not found");

  // A body shorter than the row count claims fails in the column reader, before any row is kept.
  Block short_body;
  short_body.columns = {string_column("name", {"a"}), string_column("type", {"UInt8"})};
  short_body.rows = 10000000;
  EXPECT_FALSE(table_schema_from_blocks(std::span(&short_body, 1)).ok());
}

// Stands in for the connection: answers DESCRIBE statements from a table of schemas.
struct FakeServer {
  std::vector<std::string> statements;
  std::vector<TableColumn> columns = {{"a", "UInt8"}};
  bool fail = false;

  DescribeRunner runner() {
    return [this](const std::string& statement) -> base::Result<std::vector<Block>> {
      statements.push_back(statement);
      if (fail) return base::Error::server(60, "UNKNOWN_TABLE", "no such table");
      std::vector<std::string> names, types;
      for (const auto& c : columns) {
        names.push_back(c.name);
        types.push_back(c.type_name);
      }
      std::vector<Block> blocks(1);
      blocks[0].columns = {string_column("name", names), string_column("type", types)};
      blocks[0].rows = columns.size();
      return blocks;
    };
  }
};

TEST(SchemaTest, CacheKeysAreExactNames) {
  FakeServer server;
  SchemaCache cache;
  const auto run = server.runner();
  for (int i = 0; i < 2; ++i) {
    auto got = cache.get("t", run);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->columns, server.columns);
  }
  EXPECT_EQ(server.statements, std::vector<std::string>{"DESCRIBE TABLE `t`"});

  for (const char* name : {"db.t", "`t`", " t", "T"}) ASSERT_TRUE(cache.get(name, run).ok());
  EXPECT_EQ(server.statements.size(), 5u);
  EXPECT_EQ(server.statements[1], "DESCRIBE TABLE `db`.`t`");
  EXPECT_EQ(server.statements[2], "DESCRIBE TABLE `t`");
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_NE(cache.find("`t`"), nullptr);
  EXPECT_EQ(cache.find("t "), nullptr);
}

TEST(SchemaTest, CacheMissRefreshAndClear) {
  FakeServer server;
  SchemaCache cache;
  const auto run = server.runner();

  // A failed fetch caches nothing; a bad name fails before anything is sent.
  server.fail = true;
  auto failed = cache.get("t", run);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), base::ErrorKind::Server);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_FALSE(cache.get("a..b", run).ok());
  EXPECT_EQ(server.statements.size(), 1u);
  server.fail = false;

  ASSERT_TRUE(cache.get("t", run).ok());
  server.columns = {{"a", "UInt8"}, {"b", "String"}};
  EXPECT_EQ(cache.get("t", run)->columns.size(), 1u);  // the old columns until refreshed

  // A failed refresh keeps the old entry; a good one replaces it.
  server.fail = true;
  EXPECT_FALSE(cache.refresh("t", run).ok());
  EXPECT_EQ(cache.find("t")->columns.size(), 1u);
  server.fail = false;
  auto refreshed = cache.refresh("t", run);
  ASSERT_TRUE(refreshed.ok());
  EXPECT_EQ(refreshed->columns, server.columns);
  EXPECT_EQ(cache.find("t")->columns, server.columns);

  // Refresh of a name not cached yet creates its entry.
  ASSERT_TRUE(cache.refresh("u", run).ok());
  EXPECT_EQ(cache.size(), 2u);

  // Copies leave the cache: changing one does not change the entry.
  auto copy = cache.get("t", run);
  copy->columns.clear();
  EXPECT_EQ(cache.find("t")->columns.size(), 2u);

  const size_t sent = server.statements.size();
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.find("t"), nullptr);
  ASSERT_TRUE(cache.get("t", run).ok());
  EXPECT_EQ(server.statements.size(), sent + 1);
}

}  // namespace
}  // namespace tarnwick::sync
