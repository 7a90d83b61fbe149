#include "tarnwick/sync/tls.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/format.h"

namespace tarnwick::sync {

using base::Error;
using base::IoError;
using base::Result;
using base::Status;

namespace {

constexpr const char* kTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr const char* kSignatureAlgorithms =
    "ecdsa_secp256r1_sha256:ecdsa_secp384r1_sha384:ed25519:rsa_pss_rsae_sha256:"
    "rsa_pss_rsae_sha384:rsa_pss_rsae_sha512:rsa_pkcs1_sha256:rsa_pkcs1_sha384:rsa_pkcs1_sha512";

// Never asks for a pass phrase: an encrypted key simply fails to load.
int no_pass_phrase(char*, int, int, void*) {
  return 0;
}

// A file's whole contents. The buffer is wiped when destroyed, since it may hold a private key.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(FileBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  ~FileBytes() {
    if (!bytes_.empty()) base::wipe_bytes(bytes_.data(), bytes_.capacity());
  }
  std::vector<char> bytes_;
};

// Reads a whole file; on failure the errno.
Result<FileBytes> read_file(const std::string& path, const char* what) {
  auto fail = [&](int err) {
    IoError io = IoError::from_errno(err);
    io.message = base::cat("cannot read ", what, " ", path, ": ", io.to_string());
    io.os_code = 0;
    return Error::io(std::move(io));
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  FileBytes file;
  // Grow without realloc-copies left behind: reserve generously and wipe on any regrowth.
  file.bytes_.reserve(16384);
  for (;;) {
    if (file.bytes_.size() == file.bytes_.capacity()) {
      std::vector<char> bigger;
      bigger.reserve(file.bytes_.capacity() * 2);
      bigger.assign(file.bytes_.begin(), file.bytes_.end());
      base::wipe_bytes(file.bytes_.data(), file.bytes_.capacity());
      file.bytes_.swap(bigger);
    }
    size_t old = file.bytes_.size();
    size_t room = file.bytes_.capacity() - old;
    file.bytes_.resize(old + room);
    ssize_t got = ::read(fd, file.bytes_.data() + old, room);
    if (got < 0) {
      int err = errno;
      file.bytes_.resize(old);
      if (err == EINTR) continue;
      ::close(fd);
      return fail(err);
    }
    file.bytes_.resize(old + static_cast<size_t>(got));
    if (got == 0) break;
  }
  ::close(fd);
  return file;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

BioPtr memory_bio(const FileBytes& file) {
  return BioPtr(BIO_new_mem_buf(file.bytes_.data(), static_cast<int>(file.bytes_.size())));
}

// Every CERTIFICATE section of a PEM text, in order; sections of other kinds are skipped. A
// malformed section or certificate fails with `label` and the TLS library's text.
Result<std::vector<X509Ptr>> read_certificates(const FileBytes& file, const char* label) {
  BioPtr bio = memory_bio(file);
  if (!bio) return Error::config(base::cat(label, take_tls_error_text("out of memory")));
  std::vector<X509Ptr> certs;
  ERR_clear_error();
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &len) == 0) {
      unsigned long e = ERR_peek_last_error();
      if (ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE) {
        ERR_clear_error();
        break;
      }
      return Error::config(base::cat(label, take_tls_error_text("malformed PEM section")));
    }
    bool is_cert = std::strcmp(name, "CERTIFICATE") == 0;
    X509Ptr cert;
    if (is_cert) {
      const unsigned char* p = data;
      cert.reset(d2i_X509(nullptr, &p, len));
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (!is_cert) continue;
    if (!cert) {
      return Error::config(base::cat(label, take_tls_error_text("malformed certificate")));
    }
    certs.push_back(std::move(cert));
  }
  return certs;
}

// Whether a directory of the default search path holds a certificate in the form the TLS library
// looks them up by (a hash of eight hex digits, a dot and a number). Those are read only when a
// chain is verified, so the store's count cannot tell.
bool default_directory_has_certificates() {
  const char* env = std::getenv(X509_get_default_cert_dir_env());
  const std::string dirs = env != nullptr ? env : X509_get_default_cert_dir();
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
    if (!handle) continue;
    while (const dirent* entry = ::readdir(handle.get())) {
      const std::string_view name(entry->d_name);
      if (name.size() < 10 || name[8] != '.') continue;
      auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
      auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
      if (std::all_of(name.begin(), name.begin() + 8, hex) &&
          std::all_of(name.begin() + 9, name.end(), digit)) {
        return true;
      }
    }
  }
  return false;
}

// The system's trust store, found where the TLS library was built to look (and where the
// SSL_CERT_FILE and SSL_CERT_DIR variables point). A store with nothing in it would refuse every
// server with a verification failure; it is refused here instead, saying why.
Status use_default_trust_store(SSL_CTX* ctx) {
  SSL_CTX_set_default_verify_paths(ctx);
  ERR_clear_error();  // a missing default file or directory is not an error by itself
  if (sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx))) > 0 ||
      default_directory_has_certificates()) {
    return {};
  }
  const char* file_env = std::getenv(X509_get_default_cert_file_env());
  const char* dir_env = std::getenv(X509_get_default_cert_dir_env());
  return Error::config(base::cat("no CA certificates: the system trust store (file ",
                                 file_env != nullptr ? file_env : X509_get_default_cert_file(),
                                 ", directory ",
                                 dir_env != nullptr ? dir_env : X509_get_default_cert_dir(),
                                 ") holds none; give tls_ca_file"));
}

Status fill_trust_store(SSL_CTX* ctx, const std::optional<std::string>& ca_file) {
  if (!ca_file) return use_default_trust_store(ctx);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  TW_ASSIGN_OR_RETURN(FileBytes file, read_file(*ca_file, "CA file"));
  TW_ASSIGN_OR_RETURN(auto certs, read_certificates(file, "invalid CA certificate: "));
  if (certs.empty()) {
    return Error::config(base::cat("invalid CA certificate: no certificate in ", *ca_file));
  }
  for (auto& cert : certs) {
    if (X509_STORE_add_cert(store, cert.get()) != 1) {
      unsigned long e = ERR_peek_last_error();
      if (ERR_GET_REASON(e) == X509_R_CERT_ALREADY_IN_HASH_TABLE) {
        ERR_clear_error();
        continue;
      }
      return Error::config(
          base::cat("invalid CA certificate: ", take_tls_error_text("certificate refused")));
    }
  }
  return {};
}

Status use_client_certificate(SSL_CTX* ctx, const std::string& cert_path,
                              const std::string& key_path) {
  TW_ASSIGN_OR_RETURN(FileBytes cert_file, read_file(cert_path, "cert file"));
  TW_ASSIGN_OR_RETURN(FileBytes key_file, read_file(key_path, "key file"));
  TW_ASSIGN_OR_RETURN(auto chain, read_certificates(cert_file, "invalid client cert: "));

  BioPtr key_bio = memory_bio(key_file);
  ERR_clear_error();
  EVP_PKEY* key =
      key_bio ? PEM_read_bio_PrivateKey(key_bio.get(), nullptr, no_pass_phrase, nullptr) : nullptr;
  key_bio.reset();
  if (key == nullptr) {
    return Error::config(base::cat("invalid client key: ", take_tls_error_text("no private key")));
  }
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_owner(key, EVP_PKEY_free);

  auto mtls_error = [](const char* fallback) {
    return Error::config(base::cat("mTLS config error: ", take_tls_error_text(fallback)));
  };
  if (chain.empty()) return mtls_error("no certificate in the client certificate file");
  if (SSL_CTX_use_certificate(ctx, chain[0].get()) != 1) return mtls_error("certificate refused");
  for (size_t i = 1; i < chain.size(); ++i) {
    if (SSL_CTX_add1_chain_cert(ctx, chain[i].get()) != 1) {
      return mtls_error("chain certificate refused");
    }
  }
  if (SSL_CTX_use_PrivateKey(ctx, key) != 1) return mtls_error("private key refused");
  if (SSL_CTX_check_private_key(ctx) != 1) return mtls_error("key does not match certificate");
  return {};
}

int on_new_session(SSL* ssl, SSL_SESSION* session) {
  auto* config = static_cast<const TlsConfig*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  auto* server = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (config == nullptr || server == nullptr) return 0;
  config->store_session(*server, session);
  return 1;  // the cache keeps the reference
}

}  // namespace

std::string take_tls_error_text(std::string_view fallback) {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return std::string(fallback);
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

Result<std::shared_ptr<const TlsConfig>> TlsConfig::build(
    const std::optional<std::string>& ca_file, const std::optional<std::string>& client_cert,
    const std::optional<std::string>& client_key) {
  // The files are opened by C-string name: a NUL would silently cut a path short.
  const std::pair<const std::optional<std::string>&, const char*> paths[] = {
      {ca_file, "tls_ca_file"}, {client_cert, "tls_client_cert"}, {client_key, "tls_client_key"}};
  for (const auto& [file, argument] : paths) {
    if (file && file->find('\0') != std::string::npos) {
      return Error::config(base::cat(argument, " must not contain a NUL character"));
    }
  }
  if (client_cert.has_value() != client_key.has_value()) {
    return Error::config(base::cat(
        "mTLS config error: ", client_cert ? "tls_client_cert is given without tls_client_key"
                                           : "tls_client_key is given without tls_client_cert"));
  }
  std::shared_ptr<TlsConfig> config(new TlsConfig());
  ERR_clear_error();
  config->ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX* ctx = config->ctx_;
  if (ctx == nullptr) {
    return Error::config(base::cat("TLS configuration: ", take_tls_error_text("out of memory")));
  }
  bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
            SSL_CTX_set_ciphersuites(ctx, kTls13Suites) == 1 &&
            SSL_CTX_set_cipher_list(ctx, kTls12Suites) == 1 &&
            SSL_CTX_set1_groups_list(ctx, kGroups) == 1 &&
            SSL_CTX_set1_sigalgs_list(ctx, kSignatureAlgorithms) == 1;
  if (!ok) {
    return Error::config(base::cat("TLS configuration: ", take_tls_error_text("refused")));
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_default_passwd_cb(ctx, no_pass_phrase);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);

  // Any certificate of the store is a trust anchor, as in the web PKI: the chain may end at an
  // intermediate authority given as trusted.
  X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx), X509_V_FLAG_PARTIAL_CHAIN);
  TW_TRY(fill_trust_store(ctx, ca_file));

  if (client_cert && client_key) {
    TW_TRY(use_client_certificate(ctx, *client_cert, *client_key));
    config->client_auth_ = true;
  }

  SSL_CTX_set_app_data(ctx, config.get());
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, on_new_session);
  return std::shared_ptr<const TlsConfig>(std::move(config));
}

TlsConfig::~TlsConfig() {
  for (auto& entry : cache_lru_) SSL_SESSION_free(entry.session);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

SSL_SESSION* TlsConfig::take_session(const std::string& server) const {
  std::lock_guard lock(cache_mutex_);
  auto it = cache_index_.find(server);
  if (it == cache_index_.end()) return nullptr;
  SSL_SESSION* session = it->second->session;
  if (SSL_SESSION_is_resumable(session) != 1) {
    SSL_SESSION_free(session);
    cache_lru_.erase(it->second);
    cache_index_.erase(it);
    return nullptr;
  }
  if (SSL_SESSION_get_protocol_version(session) == TLS1_3_VERSION) {
    // TLS 1.3 tickets are for one use: hand the reference over and forget it.
    cache_lru_.erase(it->second);
    cache_index_.erase(it);
    return session;
  }
  SSL_SESSION_up_ref(session);
  cache_lru_.splice(cache_lru_.begin(), cache_lru_, it->second);
  return session;
}

void TlsConfig::store_session(const std::string& server, SSL_SESSION* session) const {
  std::lock_guard lock(cache_mutex_);
  auto it = cache_index_.find(server);
  if (it != cache_index_.end()) {
    SSL_SESSION_free(it->second->session);
    it->second->session = session;
    cache_lru_.splice(cache_lru_.begin(), cache_lru_, it->second);
    return;
  }
  cache_lru_.push_front(CacheEntry{server, session});
  cache_index_.emplace(server, cache_lru_.begin());
  if (cache_lru_.size() > kTlsSessionCacheSize) {
    CacheEntry& oldest = cache_lru_.back();
    SSL_SESSION_free(oldest.session);
    cache_index_.erase(oldest.server);
    cache_lru_.pop_back();
  }
}

size_t TlsConfig::cached_sessions() const {
  std::lock_guard lock(cache_mutex_);
  return cache_lru_.size();
}

TlsServerNameKind classify_tls_server_name(std::string_view name) {
  // DNS name: labels of [A-Za-z0-9_-], not starting or ending with '-', 1..63 bytes; the whole
  // at most 253 bytes; the last label not all digits unless a trailing dot follows.
  bool dns_ok = !name.empty() && name.size() <= 253;
  size_t label_len = 0;
  bool label_numeric = true;
  bool last_hyphen = false;
  for (size_t i = 0; dns_ok && i < name.size(); ++i) {
    char c = name[i];
    if (c == '.') {
      if (label_len == 0 || last_hyphen) dns_ok = false;
      label_len = 0;
      label_numeric = true;
      last_hyphen = false;
      continue;
    }
    bool digit = c >= '0' && c <= '9';
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (c == '-') {
      if (label_len == 0) dns_ok = false;
      last_hyphen = true;
      label_numeric = false;
    } else if (digit || alpha) {
      last_hyphen = false;
      if (!digit) label_numeric = false;
    } else {
      dns_ok = false;
    }
    if (++label_len > 63) dns_ok = false;
  }
  // Without a trailing dot the name must not end in a hyphen or an all-digit label (that would
  // be an address); with one, the loop has already checked the last label.
  if (dns_ok && name.back() != '.' && (last_hyphen || label_numeric)) dns_ok = false;
  if (dns_ok) return TlsServerNameKind::Dns;

  std::string text(name);
  unsigned char addr[16];
  if (text.find('\0') != std::string::npos) return TlsServerNameKind::Invalid;
  if (inet_pton(AF_INET, text.c_str(), addr) == 1 || inet_pton(AF_INET6, text.c_str(), addr) == 1) {
    return TlsServerNameKind::Ip;
  }
  return TlsServerNameKind::Invalid;
}

}  // namespace tarnwick::sync
