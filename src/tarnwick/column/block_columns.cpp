// The column entry points of Block: a column by name as text, and the typed view of a column by
// position.
#include "tarnwick/base/format.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/string.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using base::Result;

Result<column::StringColumnData> Block::column(std::string_view name) const {
  for (const ColumnInfo& info : columns) {
    if (info.name != name) continue;
    ReadColumnContext ctx(info.body().span(), rows);
    return column::StringColumnData::read_column(ctx);
  }
  return Error::protocol(cat("column '", name, "' not found"));
}

Result<column::AnyColumnData> Block::read_column_by_index(size_t index) const {
  if (index >= columns.size()) return Error::protocol(cat("column at index ", index, " not found"));
  const ColumnInfo& info = columns[index];
  auto type = parse_type_rec(info.type_name, 0);
  if (!type.ok()) {
    return Error::protocol(
        cat("bad type '", base::excerpt(info.type_name), "': ", type.error().message()));
  }
  ReadColumnContext ctx(info.body().span(), rows);
  return column::read_column_by_type(*type, ctx);
}

}  // namespace tarnwick::protocol
