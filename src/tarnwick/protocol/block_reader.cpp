#include "tarnwick/protocol/block_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

namespace {

struct PlainName {
  std::string_view text;
  TypeKind kind;
};

// The names nearly every block uses; matched byte for byte, without trimming.
constexpr PlainName kPlainNames[] = {
    {"UInt8", TypeKind::UInt8},       {"UInt16", TypeKind::UInt16},
    {"UInt32", TypeKind::UInt32},     {"UInt64", TypeKind::UInt64},
    {"UInt128", TypeKind::UInt128},   {"UInt256", TypeKind::UInt256},
    {"Int8", TypeKind::Int8},         {"Int16", TypeKind::Int16},
    {"Int32", TypeKind::Int32},       {"Int64", TypeKind::Int64},
    {"Int128", TypeKind::Int128},     {"Int256", TypeKind::Int256},
    {"Float32", TypeKind::Float32},   {"Float64", TypeKind::Float64},
    {"Bool", TypeKind::Bool},         {"String", TypeKind::String},
    {"Date", TypeKind::Date},         {"Date32", TypeKind::Date32},
    {"DateTime", TypeKind::DateTime}, {"UUID", TypeKind::UUID},
    {"IPv4", TypeKind::IPv4},         {"IPv6", TypeKind::IPv6},
};

struct PendingColumn {
  std::string name;
  std::string type_name;
  uint64_t start;
  uint64_t end;
};

// The least costs cover what they stand for, list growth included.
static_assert(2 * sizeof(Block) <= kBlockLeastCost);
static_assert(sizeof(ColumnInfo) + sizeof(PendingColumn) <= kColumnRecordCost);

}  // namespace

Result<uint64_t> checked_count(uint64_t count, std::string_view label, uint64_t limit) {
  return limits::checked_count(count, label, limit);
}

Result<ColumnType> parse_column_type(std::string_view text) {
  for (const PlainName& plain : kPlainNames) {
    if (plain.text == text) return ColumnType::of(plain.kind);
  }
  auto parsed = parse_type(text, kColumnByteLimit);
  if (!parsed.ok()) [[unlikely]] {
    return Error::protocol(cat("bad type '", base::excerpt(text), "': ", parsed.error().message()));
  }
  return parsed;
}

Status skip_block_info_from_reader(ByteSource& source) {
  for (;;) {
    TW_ASSIGN_OR_RETURN(uint64_t field, read_varint(source));
    switch (field) {
      case 1:
        TW_TRY(source.skip(1));
        break;
      case 2:
        TW_TRY(source.skip(4));
        break;
      case 3:
        TW_TRY(read_varint(source));
        break;
      default:  // 0 ends the list; an unknown number ends it too
        return {};
    }
  }
}

Result<BlockCounts> read_block_counts(ByteSource& source) {
  TW_TRY(skip_block_info_from_reader(source));
  TW_ASSIGN_OR_RETURN(uint64_t column_count, read_varint(source));
  TW_TRY(checked_count(column_count, "block column", kMaxBlockColumns));
  TW_ASSIGN_OR_RETURN(uint64_t rows, read_varint(source));
  TW_TRY(checked_count(rows, "block row", kMaxBlockRows));
  return BlockCounts{column_count, rows};
}

namespace {

// Reads the text of a column record. With `left` set its length is charged there first: one that
// does not fit fails with ResponseTooLarge of `limit` before its bytes are taken.
Result<std::string> read_record_text(ByteSource& source, uint64_t* left, uint64_t limit) {
  TW_ASSIGN_OR_RETURN(const uint64_t len, read_string_length(source));
  if (left != nullptr) {
    if (len > *left) return Error::response_too_large(limit - *left + len, limit);
    *left -= len;
  }
  return read_string_text(source, len);
}

Result<ColumnRecord> read_record(ByteSource& source, const BlockLayout& layout, uint64_t* left,
                                 uint64_t limit) {
  TW_ASSIGN_OR_RETURN(std::string name, read_record_text(source, left, limit));
  TW_ASSIGN_OR_RETURN(std::string type_name, read_record_text(source, left, limit));
  if (layout.serialization_flag) {
    TW_ASSIGN_OR_RETURN(uint8_t flag, source.read_u8());
    if (flag != 0) [[unlikely]] {
      return Error::protocol(
          cat("unsupported custom serialization for column '", base::excerpt(name), "'"));
    }
  }
  TW_ASSIGN_OR_RETURN(ColumnType type, parse_column_type(type_name));
  return ColumnRecord{std::move(name), std::move(type_name), std::move(type)};
}

}  // namespace

Result<ColumnRecord> read_column_record(ByteSource& source, const BlockLayout& layout) {
  return read_record(source, layout, nullptr, 0);
}

uint64_t block_cost(const Block& block) {
  const uint64_t floor = block.rows * kRowCellCost;
  if (block.columns.empty()) return kBlockLeastCost + floor;
  uint64_t total = kBlockLeastCost;
  for (const ColumnInfo& column : block.columns) {
    total += kColumnRecordCost + column.name.size() + column.type_name.size() +
             std::max<uint64_t>(column.data.size() + column.materialized.size(), floor);
  }
  return total;
}

Result<BlockAllowance> BlockAllowance::start(uint64_t rows, uint64_t columns, uint64_t limit) {
  // Rows are paid for even when their columns carry no bytes, and records even when their block
  // has no rows. Both counts are checked against their limits before this, so the sum fits.
  BlockAllowance a;
  a.limit_ = limit;
  a.floor_ = rows * kRowCellCost;
  const uint64_t least =
      kBlockLeastCost + columns * kColumnRecordCost + a.floor_ * std::max<uint64_t>(columns, 1);
  if (least > limit) return Error::response_too_large(least, limit);
  a.left_ = limit - least;
  return a;
}

Result<ColumnRecord> BlockAllowance::read_record(ByteSource& source, const BlockLayout& layout) {
  return protocol::read_record(source, layout, &left_, limit_);
}

uint64_t BlockAllowance::column_budget() const {
  return std::min(kColumnByteLimit, left_ + floor_);
}

Status BlockAllowance::settle(uint64_t given, uint64_t budget, Status read) {
  if (!read.ok()) {
    if (given < kColumnByteLimit && is_budget_exhausted(read.error())) {
      // The column had all the block had left (given = left_ + floor_): the block asked for the
      // limit and what the refused charge lacked.
      return Error::response_too_large(limit_ + std::max<uint64_t>(read.error().decoded(), 1),
                                       limit_);
    }
    return read;
  }
  left_ = left_ + floor_ - std::max(given - budget, floor_);
  return {};
}

namespace {

Result<Block> read_block_columns(ByteSource& source, const BlockLayout& layout, uint64_t byte_limit,
                                 base::BufferPool* pool) {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  TW_ASSIGN_OR_RETURN(BlockAllowance allowance,
                      BlockAllowance::start(counts.rows, counts.columns, byte_limit));
  const uint64_t rows = counts.rows;
  Block block;
  block.rows = rows;
  if (counts.columns == 0) return block;

  ByteBuffer buffer = pool != nullptr ? pool->take() : ByteBuffer();
  std::vector<PendingColumn> pending;
  // Room for records is taken as they arrive: a column count alone claims nothing.
  pending.reserve(static_cast<size_t>(std::min<uint64_t>(counts.columns, 64)));
  for (uint64_t i = 0; i < counts.columns; ++i) {
    TW_ASSIGN_OR_RETURN(ColumnRecord record, allowance.read_record(source, layout));
    const uint64_t start = buffer.size();
    const uint64_t given = allowance.column_budget();
    uint64_t budget = given;
    Status read = read_column_data_into(source, record.type, rows, buffer, budget, layout);
    TW_TRY(allowance.settle(given, budget, std::move(read)));
    pending.push_back({std::move(record.name), std::move(record.type_name), start, buffer.size()});
  }

  buffer.trim_slack();
  const base::Bytes shared = std::move(buffer).freeze();
  block.columns.reserve(pending.size());
  for (PendingColumn& column : pending) {
    block.columns.push_back(ColumnInfo{std::move(column.name),
                                       std::move(column.type_name),
                                       shared.slice(column.start, column.end - column.start),
                                       {}});
  }
  return block;
}

}  // namespace

Result<Block> read_block_body(ByteSource& source, const BlockLayout& layout, uint64_t byte_limit,
                              base::BufferPool* pool) {
  // Growth that the system refuses ends the block as a value, whatever container asked for it.
  try {
    return read_block_columns(source, layout, byte_limit, pool);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory(0);
  }
}

}  // namespace tarnwick::protocol
