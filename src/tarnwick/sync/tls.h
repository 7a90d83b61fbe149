// The client's TLS configuration: TLS 1.3 and 1.2 only, nine AEAD cipher suites, X25519, P-256 and
// P-384 key exchange, web-PKI verification of the server certificate against a trust store, an
// optional client certificate, and a client session cache of 256 entries keyed by server name.
// Built once and shared (read-only) by every connection that uses it.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tarnwick/base/result.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

namespace tarnwick::sync {

inline constexpr size_t kTlsSessionCacheSize = 256;

class TlsConfig {
 public:
  // Builds the configuration from PEM files: `ca_file` holds the trust anchors (none means the
  // system's trust store, from the TLS library's default verify paths); the client certificate
  // chain and its private key go together (one without the other is refused). Unreadable files
  // fail with an Io error whose message is the whole text ("cannot read CA file {}: {}", "cannot
  // read cert file {}: {}", "cannot read key file {}: {}"); bad material fails with a Config
  // error whose message is the whole text ("invalid CA certificate: {}", "invalid client cert:
  // {}", "invalid client key: {}", "mTLS config error: {}"). A CA file without certificates, or a
  // system store that holds none, is refused as bad material. Pass-phrase protected keys are
  // refused, never prompted for. A path holding a NUL character fails first, with the Config error
  // "{argument} must not contain a NUL character" (tls_ca_file, tls_client_cert, tls_client_key).
  static base::Result<std::shared_ptr<const TlsConfig>> build(
      const std::optional<std::string>& ca_file, const std::optional<std::string>& client_cert,
      const std::optional<std::string>& client_key);

  ~TlsConfig();
  TlsConfig(const TlsConfig&) = delete;
  TlsConfig& operator=(const TlsConfig&) = delete;

  SSL_CTX* ctx() const { return ctx_; }
  // Connections store their server name (a const std::string*) as the SSL object's app data so
  // that new sessions reach the cache under that name.
  bool has_client_auth() const { return client_auth_; }

  // Session cache: a resumable session for `server` (a new reference), or null.
  SSL_SESSION* take_session(const std::string& server) const;
  // Keeps `session` (taking over the reference) as the latest for `server`.
  void store_session(const std::string& server, SSL_SESSION* session) const;
  size_t cached_sessions() const;

 private:
  TlsConfig() = default;

  SSL_CTX* ctx_ = nullptr;
  bool client_auth_ = false;

  struct CacheEntry {
    std::string server;
    SSL_SESSION* session;
  };
  mutable std::mutex cache_mutex_;
  mutable std::list<CacheEntry> cache_lru_;  // most recent first
  mutable std::unordered_map<std::string, std::list<CacheEntry>::iterator> cache_index_;
};

// The kinds of server name a TLS connection can verify.
enum class TlsServerNameKind { Dns, Ip, Invalid };
// A DNS name by the rules of certificate identifiers (labels of letters, digits, '-' and '_', at
// most 63 bytes each, 253 in all, the last label not all digits, an optional trailing dot), or
// else an IPv4 or IPv6 address literal (without brackets).
TlsServerNameKind classify_tls_server_name(std::string_view name);

// The text of the TLS library's oldest queued error (the queue is cleared), or `fallback`.
std::string take_tls_error_text(std::string_view fallback);

}  // namespace tarnwick::sync
