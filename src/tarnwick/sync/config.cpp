#include "tarnwick/sync/config.h"

#include <utility>

#include "tarnwick/base/bytes.h"

namespace tarnwick::sync {

void wipe_string(std::string& s) {
  // capacity() excludes the terminator; the allocation (or the inline buffer) holds one more byte.
  base::wipe_bytes(s.data(), s.capacity() + 1);
  s.clear();
}

ClientConfig ClientConfig::with_tls(std::shared_ptr<const TlsConfig> tls, std::string domain) && {
  tls_config = std::move(tls);
  tls_domain = std::move(domain);
  return std::move(*this);
}

}  // namespace tarnwick::sync
