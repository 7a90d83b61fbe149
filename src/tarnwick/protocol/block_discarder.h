// Skip-only twins of the block and column body readers: the column walker with a sink that keeps
// nothing, so they walk exactly the layout that read_block_body and read_column_data_into read,
// every kind those read (Variant, Dynamic, JSON and Nothing among them), holding only what the
// walk must look at. A block yields only its row count. Used where a block's content is not
// wanted: to run a statement, to drain a reply after a Cancel, to pass over unasked-for blocks.
//
// Counts and lengths from the wire are bounded as in the keeping readers (with the same messages);
// the column budget and the per-read cap do not apply to the bytes, since nothing is appended, but
// the memory the walk holds (a Dynamic column's types) is charged to the column's own bound.
#pragma once

#include <cstdint>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

// Consumes one block body (block info, counts, column records and bodies) and returns its row
// count. The source is left inside the block at the point of a failure.
base::Result<uint64_t> discard_block_body(base::ByteSource& source, const BlockLayout& layout = {});

// Consumes the body of `rows` rows of `type`. Zero rows read nothing, whatever the type; a
// LowCardinality of no rows nested in it has a body only where `layout` says so.
base::Status discard_column_data(base::ByteSource& source, const ColumnType& type, uint64_t rows,
                                 const BlockLayout& layout = {});

// Consumes exactly `n` bytes.
base::Status discard_exact(base::ByteSource& source, uint64_t n);

}  // namespace tarnwick::protocol
