#include "tarnwick/base/byte_source.h"

#include <algorithm>

namespace tarnwick::base {

Status ByteSource::read_exact_slow(uint8_t* dst, size_t n) {
  const size_t have = take_buffered(dst, n);
  return read_direct(dst + have, n - have);
}

Status ByteSource::read_direct(uint8_t* dst, size_t n) {
  while (n != 0) {
    if (pos_ == end_) {
      TW_ASSIGN_OR_RETURN(size_t got, refill());
      if (got == 0) return Error::io(IoError::unexpected_eof());
    }
    const size_t take = take_buffered(dst, n);
    dst += take;
    n -= take;
  }
  return {};
}

Status ByteSource::skip(size_t n) {
  while (n != 0) {
    if (pos_ == end_) {
      TW_ASSIGN_OR_RETURN(size_t got, refill());
      if (got == 0) return Error::io(IoError::unexpected_eof());
    }
    size_t take = std::min(n, static_cast<size_t>(end_ - pos_));
    pos_ += take;
    n -= take;
  }
  return {};
}

Result<std::span<const uint8_t>> MemorySource::view(size_t n) {
  const std::span<const uint8_t> run = buffered();
  if (run.size() < n) {
    pos_ = end_;
    return Error::io(IoError::unexpected_eof());
  }
  pos_ += n;
  return run.first(n);
}

}  // namespace tarnwick::base
