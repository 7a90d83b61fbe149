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

Result<BlockAllowance> BlockAllowance::start(uint64_t rows, uint64_t columns, BlockLimits limits,
                                             Refused on_refusal) {
  // Records are paid for even when their block has no rows, and rows even when no column carries
  // them. Both counts are checked against their limits before this, so the sums fit.
  BlockAllowance a;
  a.limits_ = limits;
  a.on_refusal_ = on_refusal;
  a.row_floor_ = rows * kRowCellCost;
  TW_TRY(a.charge_held(kBlockLeastCost + columns * kColumnRecordCost +
                       (columns == 0 ? a.row_floor_ : 0)));
  return a;
}

BlockAllowance::Limit BlockAllowance::first_crossed(const BlockCharges& figures) const {
  if (saturating_add(figures.data, figures.held) > limits_.total) return Limit::Total;
  if (figures.data > limits_.data) return Limit::Data;
  if (figures.held > limits_.held) return Limit::Held;
  return Limit::None;
}

Error BlockAllowance::refusal(Limit limit, const BlockCharges& figures) const {
  switch (limit) {
    case Limit::Total:
      return Error::response_too_large(saturating_add(figures.data, figures.held), limits_.total);
    case Limit::Data:
      return Error::response_too_large(figures.data, limits_.data);
    default:
      return Error::allowance_exceeded(figures.held, limits_.held);
  }
}

Status BlockAllowance::refuse(const BlockCharges& figures) {
  // A refused charge crosses a limit by construction; were none crossed, the block still must not
  // pass for whole once anything of it was stepped over.
  Limit limit = first_crossed(figures);
  if (limit == Limit::None) limit = Limit::Data;
  if (on_refusal_ == Refused::Fail) return refusal(limit, figures);
  if (crossed_ == Limit::None) {
    crossed_ = limit;
    at_crossing_ = figures;
  }
  return {};
}

Status BlockAllowance::outcome() const {
  // The decoded size is the whole block's; what was held, what it was at the crossing.
  switch (crossed_) {
    case Limit::None:
      return {};
    case Limit::Held:
      return refusal(crossed_, at_crossing_);
    default:
      return refusal(crossed_, charged_);
  }
}

Status BlockAllowance::charge_held(uint64_t n) {
  if (__builtin_add_overflow(charged_.held, n, &charged_.held)) charged_.held = UINT64_MAX;
  if (refused() || first_crossed(charged_) == Limit::None) return {};
  return refuse(charged_);
}

Result<ColumnRecord> BlockAllowance::read_record(ByteSource& source, const BlockLayout& layout) {
  TW_ASSIGN_OR_RETURN(ColumnRecord record, read_record_with(source, layout, [this](uint64_t len) {
                        return charge_held(len);
                      }));
  // Each row makes its tuple members that carry no bytes, whatever the body holds: charged before
  // it is read.
  uint64_t members;
  if (__builtin_mul_overflow(row_floor_, byteless_members(record.type), &members))
    members = UINT64_MAX;
  TW_TRY(charge_held(members));
  return record;
}

ColumnBudget BlockAllowance::next_column() const {
  // Once the block is refused, the rest of it is stepped over, each column within its own bound.
  if (refused()) return ColumnBudget(ColumnGrant{kColumnByteLimit, 0, 0});
  ColumnGrant grant;
  const uint64_t held = room_of(limits_.held, charged_.held);
  const uint64_t total = room_of(limits_.total, charged_.data + charged_.held);
  grant.room = std::min(
      {kColumnByteLimit, saturating_add(room_of(limits_.data, charged_.data), held), total});
  grant.values_room = std::min(held, total);
  if (on_refusal_ == Refused::StepOver) grant.data_room = room_of(limits_.data, charged_.data);
  return ColumnBudget(grant);
}

Status BlockAllowance::settle(const ColumnBudget& column, Status read) {
  if (!read.ok()) {
    // A refusal by the block's limits is counted whole against the limit it crossed; the column's
    // own bound and everything else fail the block (as does every failure of a block read on).
    if (on_refusal_ == Refused::StepOver || !column.refusal) return read;
    return refuse(at_refusal(column));
  }
  if (refused()) {  // stepped over from its start
    charged_.data += column.stepped;
    return {};
  }
  if (column.refusal) {  // refused part-way, then stepped over
    TW_TRY(refuse(at_refusal(column)));
    charged_.data += column.kept + column.stepped;
    return {};
  }
  // What the column held beyond its body; a column whose rows carry no bytes still becomes a value
  // per row, so it pays the floor at the least.
  const uint64_t beyond =
      (column.used() > column.kept ? column.used() - column.kept : 0) + column.values;
  charged_.data += column.kept;
  return charge_held(column.kept == 0 ? std::max(beyond, row_floor_) : beyond);
}

BlockCharges BlockAllowance::at_refusal(const ColumnBudget& column) const {
  const Refusal& r = *column.refusal;
  const bool held = r.charge != Charge::Kept;
  const uint64_t beyond = (r.used > column.kept ? r.used - column.kept : 0) + column.values;
  return {saturating_add(charged_.data + column.kept, held ? 0 : r.size),
          saturating_add(charged_.held + beyond, held ? r.size : 0)};
}

// Growth that the system refuses ends the block as a value, whatever container asked for it.
Result<Block> read_block_body(ByteSource& source, const BlockLayout& layout, BlockLimits limits,
                              base::BufferPool* pool, BlockCharges* charges,
                              Refused on_refusal) try {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  TW_ASSIGN_OR_RETURN(BlockAllowance allowance,
                      BlockAllowance::start(counts.rows, counts.columns, limits, on_refusal));
  const uint64_t rows = counts.rows;
  Block block;
  block.rows = rows;
  if (counts.columns == 0) {
    TW_TRY(allowance.outcome());
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
    ByteBuffer indexes;
    TW_TRY(allowance.read_column([&](ColumnBudget& column) {
      return read_column_data_into(source, record.type, rows, buffer, column, layout, &indexes,
                                   on_refusal);
    }));
    if (allowance.refused()) {  // nothing of a refused block is kept while it is read on
      pending = {};
      buffer = ByteBuffer();
      continue;
    }
    pending.push_back({std::move(record.name), std::move(record.type_name), start, buffer.size(),
                       std::move(indexes).freeze()});
  }
  TW_TRY(allowance.outcome());

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
} catch (const std::bad_alloc&) {
  return Error::out_of_memory(0);
}

}  // namespace tarnwick::protocol
