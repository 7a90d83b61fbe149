#include "tarnwick/protocol/block_parser.h"

#include <string>
#include <utility>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/skip_column.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::Bytes;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

// A body whose extent the skipper has checked, read by the keeping reader, so that a LowCardinality
// nested in it takes the plain layout that the column views read there (kept in its wire form it
// would be misread). Any failure is a protocol error, as every failure of this parser is.
Result<Bytes> expand_body(std::span<const uint8_t> body, const ColumnType& type, uint64_t rows,
                          const BlockLayout& layout) {
  base::MemorySource source(body);
  base::ByteBuffer out;
  uint64_t budget = kColumnByteLimit;
  Status read = read_column_data_into(source, type, rows, out, budget, layout);
  if (!read.ok()) [[unlikely]] {
    if (read.error().kind() == base::ErrorKind::Protocol) return std::move(read).error();
    return Error::protocol(read.error().to_string());
  }
  if (source.remaining() != 0) [[unlikely]] {
    return Error::protocol(
        cat("column body of ", body.size(), " bytes read as ", body.size() - source.remaining()));
  }
  return std::move(out).freeze();
}

Result<ColumnInfo> parse_column(std::span<const uint8_t> buf, uint64_t& pos, uint64_t rows,
                                const BlockLayout& layout) {
  TW_ASSIGN_OR_RETURN(std::string_view name, parse_string(buf, pos));
  TW_ASSIGN_OR_RETURN(std::string_view type_name, parse_string(buf, pos));
  if (layout.serialization_flag) {
    TW_ASSIGN_OR_RETURN(auto flag, parse_bytes(buf, pos, 1));
    if (flag[0] != 0) [[unlikely]] {
      // Such a body has a layout of its own, which the skipper would misread.
      return Error::protocol(cat("unsupported custom serialization for column '", name, "'"));
    }
  }
  TW_ASSIGN_OR_RETURN(ColumnType type, parse_column_type(type_name));
  ColumnInfo column{std::string(name), std::string(type_name), {}, {}};
  if (type.kind == TypeKind::LowCardinality) {  // expanded straight into the column's buffer
    TW_ASSIGN_OR_RETURN(base::ByteBuffer body,
                        read_low_cardinality_from_buffer(buf, pos, type.inner(), rows));
    column.data = std::move(body).freeze();
    return column;
  }

  const uint64_t start = pos;
  TW_TRY(skip_column_data(buf, pos, type, rows, 0, layout));
  TW_ASSIGN_OR_RETURN(uint64_t kept, materialized_column_data_start(buf.size(), start, type, rows));
  const auto body = buf.subspan(kept, pos - kept);
  if (rows != 0 && has_low_cardinality(type)) {
    TW_ASSIGN_OR_RETURN(column.data, expand_body(body, type, rows, layout));
  } else {
    column.data = Bytes::copy_of(body);
  }
  return column;
}

}  // namespace

Status skip_block_info(std::span<const uint8_t> buf, uint64_t& pos) {
  for (;;) {
    TW_ASSIGN_OR_RETURN(uint64_t field, parse_varint(buf, pos));
    switch (field) {
      case 1:
        TW_TRY(advance_pos(buf.size(), pos, 1));
        break;
      case 2:
        TW_TRY(advance_pos(buf.size(), pos, 4));
        break;
      case 3:
        TW_TRY(parse_varint(buf, pos));
        break;
      default:  // 0 ends the list; an unknown number ends it too
        return {};
    }
  }
}

Result<Block> parse_block_body(std::span<const uint8_t> buf, uint64_t& pos,
                               const BlockLayout& layout) {
  TW_TRY(skip_block_info(buf, pos));
  TW_ASSIGN_OR_RETURN(uint64_t column_count, parse_varint(buf, pos));
  TW_TRY(checked_count(column_count, "block column", kMaxBlockColumns));
  TW_ASSIGN_OR_RETURN(uint64_t rows, parse_varint(buf, pos));
  TW_TRY(checked_count(rows, "block row", kMaxBlockRows));

  Block block;
  block.rows = rows;
  block.columns.reserve(static_cast<size_t>(column_count));
  for (uint64_t i = 0; i < column_count; ++i) {
    TW_ASSIGN_OR_RETURN(ColumnInfo column, parse_column(buf, pos, rows, layout));
    block.columns.push_back(std::move(column));
  }
  return block;
}

Result<uint64_t> materialized_column_data_start(uint64_t len, uint64_t start,
                                                const ColumnType& type, uint64_t rows) {
  if (rows == 0) return start;
  if (nested_json_below(type, false)) [[unlikely]] {
    return Error::protocol(
        cat("nested JSON columns are not supported in buffered block reads "
            "(column type ",
            type.to_string(), "); use uncompressed reads or query_raw"));
  }
  if (type.kind != TypeKind::JSON) return start;
  uint64_t end;
  if (__builtin_add_overflow(start, 8, &end)) [[unlikely]]
    return Error::protocol("JSON version offset overflow");
  if (end > len) [[unlikely]]
    return Error::protocol("unexpected end of buffer parsing JSON version");
  return end;  // the serialization version word is not kept
}

}  // namespace tarnwick::protocol
