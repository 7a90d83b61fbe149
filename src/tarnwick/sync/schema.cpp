#include "tarnwick/sync/schema.h"

#include <cstdint>
#include <utility>

#include "tarnwick/base/format.h"
#include "tarnwick/column/string.h"
#include "tarnwick/column/type_text.h"

namespace tarnwick::sync {

using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

// The byte length of the Unicode white-space character (the White_Space property) starting at
// `i`, or 0. Backtick and dot are ASCII, so scanning the rest byte by byte is safe in UTF-8.
size_t space_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[i + k]); };
  const size_t left = s.size() - i;
  const uint8_t c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && left >= 2) return (b(1) == 0x85 || b(1) == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  if (c == 0xE1) return (b(1) == 0x9A && b(2) == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE3) return (b(1) == 0x80 && b(2) == 0x80) ? 3 : 0;  // U+3000
  if (c != 0xE2) return 0;
  if (b(1) == 0x80) {
    const uint8_t d = b(2);
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) ? 3 : 0;
  }
  return (b(1) == 0x81 && b(2) == 0x9F) ? 3 : 0;  // U+205F
}

// The byte length of a white-space character that ends just before `end`, or 0.
size_t space_before(std::string_view s, size_t end) {
  for (size_t n = 1; n <= 3 && n <= end; ++n) {
    if (space_at(s.substr(0, end), end - n) == n) return n;
  }
  return 0;
}

std::string_view trim_spaces(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    const size_t n = space_at(s, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = s.size();
  while (end > begin) {
    const size_t n = space_before(s, end);
    if (n == 0) break;
    end -= n;
  }
  return s.substr(begin, end - begin);
}

[[gnu::cold]] Error invalid_table_name(std::string_view input) {
  return Error::protocol(cat("invalid table name '", input, "'"));
}

[[gnu::cold]] Error unterminated_identifier(std::string_view input) {
  return Error::protocol(cat("unterminated quoted identifier in '", input, "'"));
}

[[gnu::cold]] Error unknown_insert_column(std::string_view table, std::string_view column) {
  return Error::protocol(
      cat("insert block for ", table, " contains unknown column '", base::excerpt(column), "'"));
}

[[gnu::cold]] Error insert_column_type_mismatch(std::string_view table, std::string_view column,
                                                std::string_view got, std::string_view expected) {
  return Error::protocol(cat("insert block for ", table, " column '", base::excerpt(column),
                             "' has type '", base::excerpt(got), "', expected '",
                             base::excerpt(expected), "'"));
}

// How an insert block names itself in a refusal: by its table when it has one.
std::string insert_block_for(std::string_view table) {
  return table.empty() ? std::string("insert block") : cat("insert block for ", table);
}

// The structure the server sends holds the columns the insert writes: with a column list, only
// those.
[[gnu::cold]] Error column_not_in_insert(std::string_view table, std::string_view column) {
  return Error::protocol(cat(insert_block_for(table), " column '", base::excerpt(column),
                             "' is not among the insert's columns"));
}

[[gnu::cold]] Error column_type_differs_from_table(std::string_view table, std::string_view column,
                                                   std::string_view got,
                                                   std::string_view table_type) {
  return Error::protocol(cat(insert_block_for(table), " column '", base::excerpt(column),
                             "' has type '", base::excerpt(got), "', the table's is '",
                             base::excerpt(table_type), "'"));
}

bool same_bytes(std::string_view a, std::string_view b) {
  return a == b;
}

// Checks each column of `block`, in order, against `columns`: its name must be among them and its
// type text the same as theirs by `same` (a name listed twice takes its later type). The first
// column that fails is refused with `unknown` (its name is not among them) or `differs`.
using SameType = bool (*)(std::string_view got, std::string_view expected);
using UnknownColumn = Error (*)(std::string_view table, std::string_view column);
using ColumnTypeDiffers = Error (*)(std::string_view table, std::string_view column,
                                    std::string_view got, std::string_view expected);
Status check_block_columns(const std::vector<TableColumn>& columns, std::string_view table_name,
                           const protocol::Block& block, SameType same, UnknownColumn unknown,
                           ColumnTypeDiffers differs) {
  if (block.columns.empty()) return {};
  std::unordered_map<std::string_view, std::string_view> types;
  types.reserve(columns.size());
  for (const TableColumn& column : columns) types.insert_or_assign(column.name, column.type_name);
  for (const protocol::ColumnInfo& column : block.columns) {
    const auto it = types.find(column.name);
    if (it == types.end()) return unknown(table_name, column.name);
    if (!same(column.type_name, it->second)) {
      return differs(table_name, column.name, column.type_name, it->second);
    }
  }
  return {};
}

}  // namespace

Result<std::string> quote_identifier_path(std::string_view input) {
  const std::string_view text = trim_spaces(input);
  std::vector<std::string> parts;
  std::string part;
  bool quoted = false;

  const auto finish_part = [&]() -> Status {
    const std::string_view trimmed = trim_spaces(part);
    if (trimmed.empty()) return invalid_table_name(input);
    parts.emplace_back(trimmed);
    part.clear();
    return {};
  };

  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '`') {
      if (!quoted) {
        quoted = true;
      } else if (i + 1 < text.size() && text[i + 1] == '`') {
        part.push_back('`');
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '.' && !quoted) {
      TW_TRY(finish_part());
    } else {
      part.push_back(c);
    }
  }
  if (quoted) return unterminated_identifier(input);
  TW_TRY(finish_part());

  std::string out;
  for (size_t p = 0; p < parts.size(); ++p) {
    if (p != 0) out.push_back('.');
    out.push_back('`');
    for (char c : parts[p]) {
      if (c == '`') out.push_back('`');
      out.push_back(c);
    }
    out.push_back('`');
  }
  return out;
}

Result<std::string> describe_table_statement(std::string_view table) {
  TW_ASSIGN_OR_RETURN(std::string path, quote_identifier_path(table));
  return cat("DESCRIBE TABLE ", path);
}

Result<TableSchema> table_schema_from_blocks(std::span<const protocol::Block> blocks) {
  TableSchema schema;
  for (const protocol::Block& block : blocks) {
    if (block.rows == 0) continue;  // a header block, or the empty block some servers end with
    TW_ASSIGN_OR_RETURN(const column::StringColumnData names, block.column("name"));
    TW_ASSIGN_OR_RETURN(const column::StringColumnData types, block.column("type"));
    // Reading the views checked one length prefix per row against the column bodies, so the row
    // count is backed by bytes before it sizes anything; get_string checks each index again.
    schema.columns.reserve(schema.columns.size() + names.len());
    for (uint64_t row = 0; row < block.rows; ++row) {
      TW_ASSIGN_OR_RETURN(std::string name, names.get_string(row));
      TW_ASSIGN_OR_RETURN(std::string type_name, types.get_string(row));
      schema.columns.push_back(TableColumn{std::move(name), std::move(type_name)});
    }
  }
  return schema;
}

Result<TableSchema> fetch_table_schema(std::string_view table, const DescribeRunner& run) {
  TW_ASSIGN_OR_RETURN(const std::string statement, describe_table_statement(table));
  TW_ASSIGN_OR_RETURN(const std::vector<protocol::Block> blocks, run(statement));
  return table_schema_from_blocks(blocks);
}

bool query_may_change_schema(std::string_view query) {
  size_t begin = 0;
  while (begin < query.size()) {
    const size_t n = space_at(query, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = begin;
  while (end < query.size() && space_at(query, end) == 0) ++end;
  const std::string_view word = query.substr(begin, end - begin);
  if (word.size() < 4 || word.size() > 8) return false;

  char upper[8];
  for (size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const std::string_view w(upper, word.size());
  static constexpr std::string_view kKeywords[] = {
      "DROP", "ALTER", "ATTACH", "CREATE", "DETACH", "RENAME", "EXCHANGE", "TRUNCATE",
  };
  for (std::string_view keyword : kKeywords) {
    if (w == keyword) return true;
  }
  return false;
}

Status TableSchema::validate_insert_block(std::string_view table_name,
                                          const protocol::Block& block) const {
  return check_block_columns(columns, table_name, block, same_bytes, unknown_insert_column,
                             insert_column_type_mismatch);
}

TableSchema TableSchema::of_structure_block(protocol::Block&& structure) {
  TableSchema schema;
  schema.columns.reserve(structure.columns.size());
  for (protocol::ColumnInfo& column : structure.columns) {
    schema.columns.push_back(TableColumn{std::move(column.name), std::move(column.type_name)});
  }
  return schema;
}

Status TableSchema::check_insert_structure(std::string_view table_name,
                                           const protocol::Block& block) const {
  return check_block_columns(columns, table_name, block, column::same_type_text,
                             column_not_in_insert, column_type_differs_from_table);
}

const TableSchema* SchemaCache::find(std::string_view table) const {
  const auto it = entries_.find(table);
  return it == entries_.end() ? nullptr : &it->second;
}

Result<TableSchema> SchemaCache::get(std::string_view table, const DescribeRunner& run) {
  if (const TableSchema* cached = find(table)) return *cached;
  TW_ASSIGN_OR_RETURN(TableSchema schema, fetch_table_schema(table, run));
  entries_.insert_or_assign(std::string(table), schema);
  return schema;
}

Result<TableSchema> SchemaCache::refresh(std::string_view table, const DescribeRunner& run) {
  TW_ASSIGN_OR_RETURN(TableSchema schema, fetch_table_schema(table, run));
  entries_.insert_or_assign(std::string(table), schema);
  return schema;
}

}  // namespace tarnwick::sync
