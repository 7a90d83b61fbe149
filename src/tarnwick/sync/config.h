// Every connection parameter with its default. A configuration is filled by its caller, cloned once
// per connection attempt and then owned by the client that the attempt produced. The user name,
// password and initial user are wiped from memory when any copy is destroyed or moved from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"

namespace tarnwick::sync {

class TlsConfig;

// Overwrites a string's whole allocation (not just its length) with zeros.
void wipe_string(std::string& s);

// A string for credentials: its memory is overwritten with zeros when it is destroyed, moved from
// (moving a short string copies its inline bytes) or assigned over.
class SecretString : public std::string {
 public:
  SecretString() = default;
  SecretString(const char* s) : std::string(s) {}
  SecretString(const std::string& s) : std::string(s) {}
  SecretString(std::string&& s) noexcept : std::string(std::move(s)) { wipe_string(s); }
  SecretString(const SecretString& other) : std::string(other) {}
  SecretString(SecretString&& other) noexcept : std::string(std::move(other)) {
    wipe_string(other);
  }
  SecretString& operator=(const SecretString& other) {
    if (this != &other) assign_wiped(other);
    return *this;
  }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) assign_wiped(std::move(other));
    return *this;
  }
  template <class T>
  requires(std::is_assignable_v<std::string&, T&&> &&
           !std::is_same_v<std::remove_cvref_t<T>, SecretString>) SecretString&
  operator=(T&& value) {
    assign_wiped(std::forward<T>(value));
    return *this;
  }
  ~SecretString() { wipe_string(*this); }

 private:
  // Wipes the old text, then assigns; a string moved in is wiped afterwards.
  template <class T>
  void assign_wiped(T&& value) {
    wipe_string(*this);
    std::string::operator=(std::forward<T>(value));
    if constexpr (std::is_base_of_v<std::string, std::remove_cvref_t<T>> &&
                  !std::is_lvalue_reference_v<T>) {
      wipe_string(value);
    }
  }
};

// Signs the SSH challenge message: returns the signature text, or an error whose message is the
// refusal. Called from whichever thread connects.
using SshSigner = std::function<base::Result<std::string>(std::span<const uint8_t> message)>;

// `compression` when compressed frames are off; any other value is a frame method byte.
inline constexpr uint8_t kCompressionOff = 3;

inline constexpr uint64_t kMinRevision = 54459;
inline constexpr uint64_t kMaxRevision = 54483;

struct ClientConfig {
  std::string host;
  SecretString user = "default";
  SecretString password;
  std::string database;
  std::string client_name = "tarnwick-sync";
  std::string os_user;
  std::string client_hostname = "localhost";
  std::string quota_key;
  std::string proto_send_chunked = "chunked_optional";
  std::string proto_recv_chunked = "chunked_optional";
  SecretString initial_user;
  std::string initial_address = "0.0.0.0:0";
  std::string tls_domain;
  base::Duration connect_timeout = base::Duration::from_secs(10);
  base::Duration query_timeout = base::Duration::from_secs(30);
  // Iterated in key order, so the settings block of every Query packet is deterministic.
  std::map<std::string, std::string> settings;
  uint64_t client_version_major = 26;
  uint64_t client_version_minor = 4;
  uint64_t client_version_patch = 1;
  uint64_t revision = kMaxRevision;
  size_t max_response_size = 268435456;
  size_t read_buffer_capacity = 65536;
  std::shared_ptr<const SshSigner> ssh_signer;
  std::shared_ptr<const TlsConfig> tls_config;
  uint16_t port = 9000;
  bool validate_schema = false;
  uint8_t compression = kCompressionOff;  // or the method byte of data frames

  // Uses `tls` for the connection and checks the server's certificate against `domain`.
  ClientConfig with_tls(std::shared_ptr<const TlsConfig> tls, std::string domain) &&;

  bool compression_enabled() const { return compression != kCompressionOff; }
};

}  // namespace tarnwick::sync
