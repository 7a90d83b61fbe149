#include "tarnwick/protocol/block_discarder.h"

#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_walker.h"

namespace tarnwick::protocol {

using base::ByteSource;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

// Drops what the keeping reader keeps, stepping over every kind it reads as it reads them. The
// memory the walk holds (a Dynamic column's types) is charged to the column's own bound; nothing
// else is, nor are offset arrays bounded as a whole, since nothing is kept.
struct DiscardingSink : DroppingSink {
  static constexpr bool kStateKinds = true;
  static constexpr bool kCheckStateLcFlags = false;
  static constexpr bool kBoundsOffsets = false;

  Status hold(uint64_t n) { return charge_budget(left, n, "column"); }
  void release(uint64_t n) { left += n; }
  uint64_t room() const { return left; }
  Error unsupported(const ColumnType& type, bool /*in_state*/) const {
    return Error::protocol(
        cat("discard unsupported for column type ", base::excerpt(type.debug_string())));
  }
  uint64_t left = kColumnByteLimit;  // what the walk may still hold
};

}  // namespace

Result<uint64_t> discard_block_body(ByteSource& source, const BlockLayout& layout) {
  TW_ASSIGN_OR_RETURN(const BlockCounts counts, read_block_counts(source));
  for (uint64_t i = 0; i < counts.columns; ++i) {
    TW_ASSIGN_OR_RETURN(const ColumnRecord record, read_column_record(source, layout));
    TW_TRY(discard_column_data(source, record.type, counts.rows, layout));
  }
  return counts.rows;
}

Status discard_column_data(ByteSource& source, const ColumnType& type, uint64_t rows,
                           const BlockLayout& layout) {
  DiscardingSink drop;
  return ColumnWalker<DiscardingSink>(source, drop, layout).column(type, rows);
}

Status discard_exact(ByteSource& source, uint64_t n) {
  DroppingSink drop;
  return drop.take(source, n);
}

}  // namespace tarnwick::protocol
