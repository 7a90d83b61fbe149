#include "tarnwick/protocol/block.h"

#include <cstring>

#include "tarnwick/base/format.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;
using base::Result;

const base::Bytes& ColumnInfo::body() const {
  if (!materialized.empty() && std::string_view(type_name).starts_with("LowCardinality(")) {
    return materialized;
  }
  return data;
}

Result<std::span<const uint8_t>> ReadColumnContext::read_exact(uint64_t n) {
  uint64_t end;
  if (__builtin_add_overflow(pos_, n, &end)) [[unlikely]] {
    return Error::protocol(
        cat("ReadColumnContext: requested ", n, " bytes at offset ", pos_, ", length overflow"));
  }
  if (end > len_) [[unlikely]] {
    return Error::protocol(
        cat("ReadColumnContext: requested ", n, " bytes at offset ", pos_, ", buffer len ", len_));
  }
  std::span<const uint8_t> view(buf_ + pos_, n);
  pos_ = end;
  return view;
}

Result<std::span<const uint8_t>> ReadColumnContext::read_rows_bytes(uint64_t width) {
  uint64_t n;
  if (__builtin_mul_overflow(rows_, width, &n)) [[unlikely]] {
    return Error::protocol("ReadColumnContext: row byte length overflow");
  }
  return read_exact(n);
}

Result<std::vector<uint64_t>> ReadColumnContext::read_offsets() {
  if (rows_ == 0) return std::vector<uint64_t>{};
  // The bytes are checked to be present before anything is allocated.
  TW_ASSIGN_OR_RETURN(auto bytes, read_rows_bytes(8));
  std::vector<uint64_t> offsets(rows_);
  std::memcpy(offsets.data(), bytes.data(), bytes.size());
  return offsets;
}

}  // namespace tarnwick::protocol
