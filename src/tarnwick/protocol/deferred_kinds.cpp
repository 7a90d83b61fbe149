// Placeholder decoders for the column kinds whose bodies are not decoded yet: LowCardinality
// (dictionary-encoded), Variant and Dynamic (bodies led by state prefixes), for keeping and, for
// LowCardinality, for discarding. Each refuses the column with a protocol error before reading
// anything, so a block holding one fails cleanly. Their real decoders replace this file.
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {

namespace {

[[gnu::cold]] base::Error refuse(const std::string& debug_text) {
  return base::Error::protocol(
      base::cat("streaming read unsupported for column type ", debug_text));
}

}  // namespace

Status read_low_cardinality_into(ByteSource&, const ColumnType& inner, uint64_t, ByteBuffer&,
                                 uint64_t&) {
  return refuse(base::cat("LowCardinality(", inner.debug_string(), ")"));
}

Status read_variant_into(ByteSource&, const ColumnType& variant, uint64_t, ByteBuffer&, uint64_t&) {
  return refuse(variant.debug_string());
}

Status read_dynamic_into(ByteSource&, uint64_t, ByteBuffer&, uint64_t&) {
  return refuse("Dynamic");
}

Status discard_low_cardinality(ByteSource&, const ColumnType& inner, uint64_t) {
  return base::Error::protocol(
      base::cat("discard unsupported for column type LowCardinality(", inner.debug_string(), ")"));
}

}  // namespace tarnwick::protocol
