// Placeholder decoders for the column kinds whose bodies are not decoded yet: Variant and Dynamic
// (bodies led by state prefixes). Each refuses the column with a protocol error before reading
// anything, so a block holding one fails cleanly. Their real decoders replace this file.
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {

namespace {

[[gnu::cold]] base::Error refuse(const std::string& debug_text) {
  return base::Error::protocol(
      base::cat("streaming read unsupported for column type ", debug_text));
}

}  // namespace

Status read_variant_into(ByteSource&, const ColumnType& variant, uint64_t, ByteBuffer&, uint64_t&) {
  return refuse(variant.debug_string());
}

Status read_dynamic_into(ByteSource&, uint64_t, ByteBuffer&, uint64_t&) {
  return refuse("Dynamic");
}

}  // namespace tarnwick::protocol
