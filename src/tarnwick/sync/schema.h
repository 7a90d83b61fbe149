// Table schemas as DESCRIBE TABLE reports them, the per-connection cache that holds them, and the
// check of an insert block against a schema. Nothing here touches the connection: the client hands
// in a callback that runs the DESCRIBE statement and returns its result blocks.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::sync {

struct TableColumn {
  std::string name;
  std::string type_name;  // exactly as the server printed it

  bool operator==(const TableColumn&) const = default;
};

struct TableSchema {
  std::vector<TableColumn> columns;  // in the server's order

  bool operator==(const TableSchema&) const = default;

  // Checks every column of `block` against this schema: its name must be known and its type text
  // equal byte for byte. `table_name` appears only in the messages. Columns of the schema missing
  // from the block, column order, repeated columns and row counts are not checked.
  base::Status validate_insert_block(std::string_view table_name,
                                     const protocol::Block& block) const;

  // The structure of the table an insert writes to, from the table-structure block the server
  // sends before the data: the block's column names and types, moved out of it.
  static TableSchema of_structure_block(protocol::Block&& structure);

  // Checks `block` against the structure of the table an insert writes to (the columns the
  // insert names, or all it can write), as validate_insert_block checks it against a schema but
  // with the types compared by meaning (column::same_type_text), and says what differs in the
  // table's terms: "column '{}' has type '{}', the table's is '{}'" or "column '{}' is not among
  // the insert's columns".
  base::Status check_insert_structure(std::string_view table_name,
                                      const protocol::Block& block) const;
};

// Turns a possibly dotted, possibly backtick-quoted table name into a path whose every part is
// backtick-quoted: " db.`my.t` " -> `db`.`my.t`. Fails on an empty part ("invalid table name
// '{}'") or an unclosed backtick ("unterminated quoted identifier in '{}'").
base::Result<std::string> quote_identifier_path(std::string_view input);

// "DESCRIBE TABLE " followed by the quoted path of `table`.
base::Result<std::string> describe_table_statement(std::string_view table);

// Collects the "name" and "type" columns of DESCRIBE TABLE result blocks, in order.
base::Result<TableSchema> table_schema_from_blocks(std::span<const protocol::Block> blocks);

// Whether a statement may change some table's columns, judged by its first word alone (DROP,
// ALTER, ATTACH, CREATE, DETACH, RENAME, EXCHANGE or TRUNCATE in any letter case). A client's
// `execute` clears its schema cache after such a statement succeeded.
bool query_may_change_schema(std::string_view query);

// Runs one statement on the connection and returns every result block (the buffered query path,
// without parameters, settings overlay or ignored part UUIDs).
using DescribeRunner =
    std::function<base::Result<std::vector<protocol::Block>>(const std::string& statement)>;

// Asks the server for a table's schema. A quoting failure is returned before anything runs.
base::Result<TableSchema> fetch_table_schema(std::string_view table, const DescribeRunner& run);

// The schemas a connection has fetched, keyed by the table name exactly as the caller gave it (not
// trimmed, unquoted or case-folded: t, db.t and `t` are three entries). No size limit, no expiry;
// entries change only through get (on a miss), refresh and clear.
class SchemaCache {
 public:
  // A copy of the cached schema; on a miss it is fetched through `run` and cached. A failed fetch
  // caches nothing.
  base::Result<TableSchema> get(std::string_view table, const DescribeRunner& run);
  // Fetches the schema again and replaces the entry; a failed fetch leaves the cache as it was.
  base::Result<TableSchema> refresh(std::string_view table, const DescribeRunner& run);
  // Drops every entry, keeping the map's capacity.
  void clear() { entries_.clear(); }

  // The cached schema, or null; nothing is fetched.
  const TableSchema* find(std::string_view table) const;
  size_t size() const { return entries_.size(); }

 private:
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, TableSchema, KeyHash, std::equal_to<>> entries_;
};

}  // namespace tarnwick::sync
