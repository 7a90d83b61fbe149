#include "tarnwick/protocol/column_common.h"

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using base::Result;

Error nesting_too_deep_error() {
  return Error::protocol(cat("type nesting exceeds ", kMaxTypeDepth, " levels"));
}

Error string_over_limit(std::string_view label, uint64_t len) {
  return Error::protocol(cat(label, " ", len, " exceeds limit ", kStringValueLimit));
}

Result<std::string> utf8_text(std::span<const uint8_t> bytes) {
  if (auto bad = base::validate_utf8(bytes.data(), bytes.size())) [[unlikely]] {
    return Error::protocol(cat("invalid UTF-8 string: ", bad->to_string()));
  }
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Error bad_json_version(uint64_t version) {
  return Error::protocol(
      cat("materialized JSON reads require string serialization version 1 or 4, got ", version,
          "; enable output_format_native_write_json_as_string=1 or use query_raw"));
}

Error unknown_json_version(uint64_t version) {
  return Error::protocol(cat("unknown JSON serialization version ", version));
}

Error streaming_read_unsupported(const ColumnType& type) {
  return Error::protocol(
      cat("streaming read unsupported for column type ", base::excerpt(type.debug_string())));
}

Result<uint64_t> checked_decimal_width(uint32_t precision) {
  if (const unsigned width = decimal_width(precision); width != 0) return uint64_t{width};
  return Error::protocol(cat("unsupported Decimal precision ", precision));
}

}  // namespace tarnwick::protocol
