#include "tarnwick/sync/config.h"

#include <utility>

#include "tarnwick/base/bytes.h"

namespace tarnwick::sync {

void wipe_string(std::string& s) {
  // capacity() excludes the terminator; the allocation (or the inline buffer) holds one more byte.
  base::wipe_bytes(s.data(), s.capacity() + 1);
  s.clear();
}

void ClientConfig::wipe_credentials() {
  wipe_string(user);
  wipe_string(password);
  wipe_string(initial_user);
}

ClientConfig::~ClientConfig() {
  wipe_credentials();
}

ClientConfig& ClientConfig::operator=(const ClientConfig& other) {
  if (this != &other) {
    ClientConfig copy(other);
    *this = std::move(copy);
  }
  return *this;
}

// Moving a short string copies its inline bytes, so the source is wiped explicitly.
ClientConfig::ClientConfig(ClientConfig&& other) noexcept
    : host(std::move(other.host)),
      user(other.user),
      password(other.password),
      database(std::move(other.database)),
      client_name(std::move(other.client_name)),
      os_user(std::move(other.os_user)),
      client_hostname(std::move(other.client_hostname)),
      quota_key(std::move(other.quota_key)),
      proto_send_chunked(std::move(other.proto_send_chunked)),
      proto_recv_chunked(std::move(other.proto_recv_chunked)),
      initial_user(other.initial_user),
      initial_address(std::move(other.initial_address)),
      tls_domain(std::move(other.tls_domain)),
      connect_timeout(other.connect_timeout),
      query_timeout(other.query_timeout),
      settings(std::move(other.settings)),
      client_version_major(other.client_version_major),
      client_version_minor(other.client_version_minor),
      client_version_patch(other.client_version_patch),
      revision(other.revision),
      max_response_size(other.max_response_size),
      read_buffer_capacity(other.read_buffer_capacity),
      ssh_signer(std::move(other.ssh_signer)),
      tls_config(std::move(other.tls_config)),
      port(other.port),
      validate_schema(other.validate_schema),
      compression(other.compression) {
  other.wipe_credentials();
}

ClientConfig& ClientConfig::operator=(ClientConfig&& other) noexcept {
  if (this != &other) {
    this->~ClientConfig();
    new (this) ClientConfig(std::move(other));
  }
  return *this;
}

ClientConfig ClientConfig::with_tls(std::shared_ptr<const TlsConfig> tls, std::string domain) && {
  tls_config = std::move(tls);
  tls_domain = std::move(domain);
  return std::move(*this);
}

}  // namespace tarnwick::sync
