#include "tarnwick/protocol/block_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/column_walker.h"
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
  base::Bytes lc_indexes;
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

uint64_t room_of(uint64_t limit, uint64_t used) {
  return limit > used ? limit - used : 0;
}

// Reads a column record, each text's length passed to `charge` before its bytes are taken.
template <class Charge>
Result<ColumnRecord> read_record_with(ByteSource& source, const BlockLayout& layout,
                                      Charge&& charge) {
  auto read_text = [&]() -> Result<std::string> {
    TW_ASSIGN_OR_RETURN(const uint64_t len, read_string_length(source));
    TW_TRY(charge(len));
    return read_string_text(source, len);
  };
  TW_ASSIGN_OR_RETURN(std::string name, read_text());
  TW_ASSIGN_OR_RETURN(std::string type_name, read_text());
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
  return read_record_with(source, layout, [](uint64_t) { return Status{}; });
}

uint64_t block_cost(const Block& block) {
  const uint64_t floor = block.rows * kRowCellCost;
  if (block.columns.empty()) return kBlockLeastCost + floor;
  uint64_t total = kBlockLeastCost;
  for (const ColumnInfo& column : block.columns) {
    total += kColumnRecordCost + column.name.size() + column.type_name.size() +
             std::max<uint64_t>(column.data.size() + column.materialized.size(), floor) +
             column.lc_indexes.size();
  }
  return total;
}

uint64_t block_data_size(const Block& block) {
  uint64_t total = 0;
  for (const ColumnInfo& column : block.columns) {
    total += column.data.size() + column.materialized.size();
  }
  return total;
}

Result<BlockAllowance> BlockAllowance::start(uint64_t rows, uint64_t columns, BlockLimits limits) {
  // Records are paid for even when their block has no rows, and rows even when no column carries
  // them. Both counts are checked against their limits before this, so the sums fit.
  BlockAllowance a;
  a.limits_ = limits;
  a.floor_ = rows * kRowCellCost;
  TW_TRY(
      a.charge_held(kBlockLeastCost + columns * kColumnRecordCost + (columns == 0 ? a.floor_ : 0)));
  return a;
}

Status BlockAllowance::charge_held(uint64_t n) {
  if (__builtin_add_overflow(charged_.held, n, &charged_.held)) charged_.held = UINT64_MAX;
  return check();
}

Status BlockAllowance::check() const {
  uint64_t both;
  if (__builtin_add_overflow(charged_.data, charged_.held, &both)) both = UINT64_MAX;
  if (both > limits_.total) return Error::response_too_large(both, limits_.total);
  if (charged_.data > limits_.data) return Error::response_too_large(charged_.data, limits_.data);
  if (charged_.held > limits_.held) return Error::allowance_exceeded(charged_.held, limits_.held);
  return {};
}

Result<ColumnRecord> BlockAllowance::read_record(ByteSource& source, const BlockLayout& layout) {
  TW_ASSIGN_OR_RETURN(ColumnRecord record, read_record_with(source, layout, [this](uint64_t len) {
                        return charge_held(len);
                      }));
  // Each row makes its tuple members that carry no bytes, whatever the body holds: charged before
  // it is read.
  uint64_t members;
  if (__builtin_mul_overflow(floor_, byteless_members(record.type), &members)) members = UINT64_MAX;
  TW_TRY(charge_held(members));
  return record;
}

uint64_t BlockAllowance::either_room() const {
  uint64_t either;
  if (__builtin_add_overflow(room_of(limits_.data, charged_.data),
                             room_of(limits_.held, charged_.held), &either)) {
    return UINT64_MAX;
  }
  return either;
}

uint64_t BlockAllowance::column_budget() const {
  const uint64_t total_room = room_of(limits_.total, charged_.data + charged_.held);
  return std::min({kColumnByteLimit, either_room(), total_room});
}

Status BlockAllowance::settle(uint64_t given, uint64_t budget, uint64_t appended, bool hold_refused,
                              Status read) {
  const uint64_t took = given - budget;
  if (!read.ok()) {
    if (given >= kColumnByteLimit || !is_budget_exhausted(read.error())) return read;
    // The column had all the block had left: the refused charge is counted whole, against the
    // limit that ran short.
    const uint64_t asked = budget + std::max<uint64_t>(read.error().decoded(), 1);
    const uint64_t used = charged_.data + charged_.held;
    if (given == room_of(limits_.total, used) && given < either_room()) {
      return Error::response_too_large(used + took + asked, limits_.total);
    }
    const uint64_t data = charged_.data + appended + (hold_refused ? 0 : asked);
    if (data > limits_.data) return Error::response_too_large(data, limits_.data);
    const uint64_t held = took > appended ? took - appended : 0;
    return Error::allowance_exceeded(charged_.held + held + (hold_refused ? asked : 0),
                                     limits_.held);
  }
  // What the column held beyond its body; a column whose rows carry no bytes still becomes a value
  // per row, so it pays the floor at the least.
  const uint64_t beyond = took > appended ? took - appended : 0;
  charged_.data += appended;
  return charge_held(appended == 0 ? std::max(beyond, floor_) : beyond);  // checks the data too
}

namespace {

Result<Block> read_block_columns(ByteSource& source, const BlockLayout& layout, BlockLimits limits,
                                 base::BufferPool* pool, BlockCharges* charges) {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  TW_ASSIGN_OR_RETURN(BlockAllowance allowance,
                      BlockAllowance::start(counts.rows, counts.columns, limits));
  const uint64_t rows = counts.rows;
  Block block;
  block.rows = rows;
  if (counts.columns == 0) {
    if (charges != nullptr) *charges = allowance.charged();
    return block;
  }

  ByteBuffer buffer = pool != nullptr ? pool->take() : ByteBuffer();
  std::vector<PendingColumn> pending;
  // Room for records is taken as they arrive: a column count alone claims nothing.
  pending.reserve(static_cast<size_t>(std::min<uint64_t>(counts.columns, 64)));
  for (uint64_t i = 0; i < counts.columns; ++i) {
    TW_ASSIGN_OR_RETURN(ColumnRecord record, allowance.read_record(source, layout));
    const uint64_t start = buffer.size();
    const uint64_t given = allowance.column_budget();
    uint64_t budget = given;
    bool hold_refused = false;
    ByteBuffer indexes;
    Status read = read_column_data_into(source, record.type, rows, buffer, budget, layout,
                                        &hold_refused, &indexes);
    TW_TRY(allowance.settle(given, budget, buffer.size() - start, hold_refused, std::move(read)));
    pending.push_back({std::move(record.name), std::move(record.type_name), start, buffer.size(),
                       std::move(indexes).freeze()});
  }

  buffer.trim_slack();
  const base::Bytes shared = std::move(buffer).freeze();
  block.columns.reserve(pending.size());
  for (PendingColumn& column : pending) {
    block.columns.push_back(ColumnInfo{std::move(column.name),
                                       std::move(column.type_name),
                                       shared.slice(column.start, column.end - column.start),
                                       {},
                                       std::move(column.lc_indexes)});
  }
  if (charges != nullptr) *charges = allowance.charged();
  return block;
}

}  // namespace

Result<Block> read_block_body(ByteSource& source, const BlockLayout& layout, BlockLimits limits,
                              base::BufferPool* pool, BlockCharges* charges) {
  // Growth that the system refuses ends the block as a value, whatever container asked for it.
  try {
    return read_block_columns(source, layout, limits, pool, charges);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory(0);
  }
}

}  // namespace tarnwick::protocol
