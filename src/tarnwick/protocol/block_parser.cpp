#include "tarnwick/protocol/block_parser.h"

#include <algorithm>
#include <new>
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
                          const BlockLayout& layout, uint64_t& budget) {
  base::MemorySource source(body);
  base::ByteBuffer out;
  Status read = read_column_data_into(source, type, rows, out, budget, layout);
  if (!read.ok()) [[unlikely]] {
    if (read.error().kind() == base::ErrorKind::Protocol ||
        read.error().kind() == base::ErrorKind::OutOfMemory) {
      return std::move(read).error();
    }
    return Error::protocol(read.error().to_string());
  }
  if (source.remaining() != 0) [[unlikely]] {
    return Error::protocol(
        cat("column body of ", body.size(), " bytes read as ", body.size() - source.remaining()));
  }
  return std::move(out).freeze();
}

// Parses one column record and body; what the body keeps or needs is charged to `budget` (the
// column's allowance) before it is taken. A body that needs more than the allowance fails as soon
// as that is known, even when its bytes have not all arrived.
Result<ColumnInfo> parse_column(std::span<const uint8_t> buf, uint64_t& pos, uint64_t rows,
                                const BlockLayout& layout, uint64_t& budget) {
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
                        read_low_cardinality_from_buffer(buf, pos, type.inner(), rows, budget));
    column.data = std::move(body).freeze();
    return column;
  }

  const uint64_t start = pos;
  Status skipped = skip_column_data(buf, pos, type, rows, 0, layout);
  if (!skipped.ok()) {
    // A body still arriving is refused once the bytes it needs are more than it may take.
    if (ran_out(buf, pos) && pos - start > budget) {
      pos = start;
      return charge_budget(budget, budget + 1, "column").error();
    }
    return std::move(skipped).error();
  }
  TW_ASSIGN_OR_RETURN(uint64_t kept, materialized_column_data_start(buf.size(), start, type, rows));
  const auto body = buf.subspan(kept, pos - kept);
  if (rows != 0 && has_low_cardinality(type)) {
    TW_ASSIGN_OR_RETURN(column.data, expand_body(body, type, rows, layout, budget));
  } else {
    TW_TRY(charge_budget(budget, body.size(), "column"));
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

namespace {

Result<Block> parse_block_columns(std::span<const uint8_t> buf, uint64_t& pos,
                                  const BlockLayout& layout, uint64_t byte_limit) {
  TW_TRY(skip_block_info(buf, pos));
  TW_ASSIGN_OR_RETURN(uint64_t column_count, parse_varint(buf, pos));
  TW_TRY(checked_count(column_count, "block column", kMaxBlockColumns));
  TW_ASSIGN_OR_RETURN(uint64_t rows, parse_varint(buf, pos));
  TW_TRY(checked_count(rows, "block row", kMaxBlockRows));
  TW_ASSIGN_OR_RETURN(BlockAllowance allowance,
                      BlockAllowance::start(rows, column_count, byte_limit));

  Block block;
  block.rows = rows;
  // Each column record takes at least two bytes, so that many can be there at the most.
  const uint64_t backed = pos < buf.size() ? (buf.size() - pos) / 2 : 0;
  block.columns.reserve(static_cast<size_t>(std::min(column_count, backed)));
  for (uint64_t i = 0; i < column_count; ++i) {
    const uint64_t given = allowance.column_budget();
    uint64_t budget = given;
    Result<ColumnInfo> column = parse_column(buf, pos, rows, layout, budget);
    TW_TRY(allowance.settle(given, budget,
                            column.ok() ? Status{} : Status(std::move(column).error())));
    block.columns.push_back(std::move(column).value());
  }
  return block;
}

}  // namespace

Result<Block> parse_block_body(std::span<const uint8_t> buf, uint64_t& pos,
                               const BlockLayout& layout, uint64_t byte_limit) {
  try {
    return parse_block_columns(buf, pos, layout, byte_limit);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory(0);
  }
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
