#include "tarnwick/protocol/block_parser.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_walker.h"

namespace tarnwick::protocol {

using base::Bytes;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

// Steps over a body to find where it ends, the bytes left in the source, which keeps them. Unlike
// the keeping reader it charges the column's budget only with the memory the walk holds (the body
// is charged once it is measured), and refuses a LowCardinality with other index flags inside a
// Variant or Dynamic body, whose layout it cannot know. Lengths are checked under one label. A
// type whose layout is unknown is refused as the keeping reader refuses it: its bytes are never
// stepped over as something else.
struct SkippingSink : DroppingSink {
  static constexpr bool kStateKinds = true;
  static constexpr bool kCheckStateLcFlags = true;
  static constexpr bool kBoundsOffsets = true;

  SkippingSink(base::RetainingSource& source, ColumnBudget& budget)
      : source(source), start(source.offset()), budget(budget) {}

  Status take(base::ByteSource& from, uint64_t n) {
    TW_TRY(reach(n));
    return DroppingSink::take(from, n);
  }
  // Runs the walk looks at lie in the source: nothing is copied.
  Result<std::span<const uint8_t>> view(base::ByteSource&, uint64_t n) {
    TW_TRY(reach(n));
    return source.view(static_cast<size_t>(n));
  }
  // A counted run that reaches past the bytes at hand is measured against what the body may
  // take before any more bytes are waited for: one that cannot fit is refused at once.
  Status reach(uint64_t n) {
    if (n <= source.buffered().size()) return {};
    const uint64_t at = source.offset() - start + n;
    needed = std::max(needed, at);
    if (at > budget.room) return budget.charge(at, Charge::Kept).error();
    return {};
  }

  Status hold(uint64_t n) { return budget.charge(n, Charge::Held); }
  Status values(uint64_t n) { return budget.charge_values(n); }
  void release(uint64_t n) { budget.room += n; }
  uint64_t room() const { return budget.room; }
  std::string_view length_label(std::string_view) const { return "column byte length"; }
  Error unsupported(const ColumnType& type, bool /*in_state*/) const {
    if (type.kind == TypeKind::Other) return streaming_read_unsupported(type);
    return Error::protocol(
        cat(base::excerpt(type.to_string()), " columns are not supported in buffered block reads"));
  }

  base::RetainingSource& source;
  const uint64_t start;  // the source's offset where the body starts
  ColumnBudget& budget;  // the column's
  uint64_t needed = 0;   // the farthest a counted run that ran out of bytes reached
};

// Whether a JSON type occurs inside `type`; with below = false a bare JSON does not count.
bool nested_json_below(const ColumnType& type, bool below) {
  switch (type.kind) {
    case TypeKind::JSON:
      return below;
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::LowCardinality:
      return nested_json_below(type.inner(), true);
    case TypeKind::Map:
    case TypeKind::Tuple:
    case TypeKind::Variant:
      for (const ColumnType& member : type.nested) {
        if (nested_json_below(member, true)) return true;
      }
      return false;
    default:
      return false;
  }
}

// Any failure but running out of bytes, memory or the block's allowance is a protocol error here.
Error as_parse_error(Error error) {
  switch (error.kind()) {
    case base::ErrorKind::Protocol:
    case base::ErrorKind::OutOfMemory:
    case base::ErrorKind::ResponseTooLarge:
      return error;
    default:
      if (is_incomplete(error)) return error;
      return Error::protocol(error.to_string());
  }
}

// Parses one column body; what it keeps or needs is charged to `budget` (the column's allowance)
// before it is taken, and what it keeps is noted there. A body that needs more than the allowance
// fails as soon as that is known, even when its bytes have not all arrived.
Result<ColumnInfo> parse_column(base::RetainingSource& source, ColumnRecord record, uint64_t rows,
                                const BlockLayout& layout, ColumnBudget& budget) {
  ColumnInfo column{std::move(record.name), std::move(record.type_name), {}, {}};
  const ColumnType& type = record.type;
  if (rows == 0) return column;
  if (has_low_cardinality(type)) {
    // Read by the keeping reader, so that each LowCardinality takes the plain layout that the
    // column views read there (kept in its wire form it would be misread).
    base::ByteBuffer out;
    base::ByteBuffer indexes;
    TW_TRY(read_column_data_into(source, type, rows, out, budget, layout, &indexes));
    out.trim_slack();  // kept: it holds what it was charged for
    column.data = std::move(out).freeze();
    column.lc_indexes = std::move(indexes).freeze();
  } else {
    SkippingSink skip(source, budget);
    Status walked = ColumnWalker<SkippingSink>(source, skip, layout).column(type, rows);
    if (!walked.ok()) {
      // A body cut short is refused when the bytes it needs are more than it may take: at least
      // one byte more than it had, and more still when a counted run reached past them.
      const uint64_t arrived = source.offset() - skip.start;
      const uint64_t need = std::max(skip.needed, arrived + 1);
      if (is_incomplete(walked.error()) && need > budget.room) {
        return budget.charge(need, Charge::Kept).error();
      }
      return std::move(walked).error();
    }
    std::span<const uint8_t> body = source.served(skip.start, source.offset());
    if (type.kind == TypeKind::JSON) body = body.subspan(8);  // the version word is not kept
    TW_TRY(budget.charge(body.size(), Charge::Kept));
    column.data = Bytes::copy_of(body);
    budget.kept = body.size();
  }
  // A top-level LowCardinality(JSON) is a dictionary of strings, expanded like any other.
  if (type.kind != TypeKind::LowCardinality && nested_json_below(type, false)) [[unlikely]] {
    return Error::protocol(
        cat("nested JSON columns are not supported in buffered block reads (column type ",
            base::excerpt(type.to_string()), "); use uncompressed reads or query_raw"));
  }
  return column;
}

// Growth that the system refuses ends the block as a value, whatever container asked for it.
Result<Block> parse_block(base::RetainingSource& source, const BlockLayout& layout,
                          const BlockLimits& limits) try {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  TW_ASSIGN_OR_RETURN(BlockAllowance allowance,
                      BlockAllowance::start(counts.rows, counts.columns, limits));
  Block block;
  block.rows = counts.rows;
  // Each column record takes at least two bytes, so that many can be there at the most.
  block.columns.reserve(
      static_cast<size_t>(std::min<uint64_t>(counts.columns, source.buffered().size() / 2)));
  for (uint64_t i = 0; i < counts.columns; ++i) {
    TW_ASSIGN_OR_RETURN(ColumnRecord record, allowance.read_record(source, layout));
    TW_TRY(allowance.read_column([&](ColumnBudget& budget) -> Status {
      TW_ASSIGN_OR_RETURN(ColumnInfo column,
                          parse_column(source, std::move(record), counts.rows, layout, budget));
      block.columns.push_back(std::move(column));
      return {};
    }));
  }
  return block;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory(0);
}

}  // namespace

bool is_incomplete(const Error& error) {
  return error.is_io(base::IoKind::UnexpectedEof);
}

Result<Block> parse_block_body(std::span<const uint8_t> buf, uint64_t& pos,
                               const BlockLayout& layout, BlockLimits limits) {
  base::MemorySource source(buf.subspan(static_cast<size_t>(std::min<uint64_t>(pos, buf.size()))));
  Result<Block> block = parse_block_body(source, layout, limits);
  if (block.ok()) pos = buf.size() - source.remaining();
  return block;
}

Result<Block> parse_block_body(base::RetainingSource& source, const BlockLayout& layout,
                               BlockLimits limits) {
  Result<Block> block = parse_block(source, layout, limits);
  if (!block.ok()) return as_parse_error(std::move(block).error());
  return block;
}

}  // namespace tarnwick::protocol
