#include "tarnwick/sync/transport.h"

#include <limits.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/format.h"

namespace tarnwick::sync {

using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;

namespace {

// Gathered TLS writes up to this size go out as one SSL_write (one record run, one send).
constexpr size_t kTlsGatherLimit = 65536;

Error errno_error(int err) {
  return Error::io(IoError::from_errno(err));
}

Error write_zero(const char* message) {
  return Error::io(IoError::custom(IoKind::Other, message));
}

// One receive or send on the channel's socket, made by `call` without blocking: it waits for the
// socket under the channel's deadline and the thread's interrupt hook, and retries interrupted
// calls. A call that starts after the deadline fails as a wait past it would.
template <class Call>
Result<size_t> socket_io(detail::SocketBioState& st, short events, Call&& call) {
  if (st.deadline && st.deadline->passed()) return st.deadline->error();
  TW_TRY(check_interrupt());
  // Chosen at the first wait, so a call served at once reads no clock for it.
  const std::optional<WaitDeadline>* deadline = nullptr;
  std::optional<WaitDeadline> limited;  // the wait limit, when it ends first
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno_error(errno);
    if (deadline == nullptr) {
      deadline = &st.deadline;
      if (st.wait_limit) {
        limited = WaitDeadline{base::deadline_after(*st.wait_limit), {}};
        if (!st.deadline || limited->at < st.deadline->at) deadline = &limited;
      }
    }
    Status waited = wait_ready(st.fd, events, *deadline);
    if (!waited.ok() && deadline == &limited && waited.error().is_io(IoKind::TimedOut)) {
      return errno_error(EAGAIN);
    }
    TW_TRY(std::move(waited));
  }
}

// A socket BIO of our own: sends with MSG_NOSIGNAL, waits through socket_io, and records the
// failure so that it survives the TLS library's bookkeeping.
struct BioFns {
  static int write(BIO* bio, const char* data, int len) {
    auto* st = static_cast<detail::SocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    Result<size_t> put = socket_io(*st, POLLOUT, [&] {
      return ::send(st->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (put.ok()) return static_cast<int>(*put);
    st->failure = std::move(put).error();
    return -1;
  }
  static int read(BIO* bio, char* data, int len) {
    auto* st = static_cast<detail::SocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    Result<size_t> got = socket_io(
        *st, POLLIN, [&] { return ::recv(st->fd, data, static_cast<size_t>(len), MSG_DONTWAIT); });
    if (!got.ok()) {
      st->failure = std::move(got).error();
      return -1;
    }
    if (*got == 0) st->eof = true;
    return static_cast<int>(*got);
  }
  static long ctrl(BIO* bio, int cmd, long, void*) {
    switch (cmd) {
      case BIO_CTRL_FLUSH:
        return 1;
      case BIO_CTRL_EOF:
        return static_cast<detail::SocketBioState*>(BIO_get_data(bio))->eof ? 1 : 0;
      default:
        return 0;
    }
  }
  static int create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }
  static int destroy(BIO*) { return 1; }
};

BIO_METHOD* socket_bio_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnwick socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, BioFns::write);
    BIO_meth_set_read(m, BioFns::read);
    BIO_meth_set_ctrl(m, BioFns::ctrl);
    BIO_meth_set_create(m, BioFns::create);
    BIO_meth_set_destroy(m, BioFns::destroy);
    return m;
  }();
  return method;
}

}  // namespace

Transport::Transport(Socket socket) : socket_(std::move(socket)) {
  bio_state_.fd = socket_.fd();
}

Transport::~Transport() {
  if (ssl_ == nullptr) return;
  // Closing without a close notice would make the TLS library drop the session from the cache;
  // a connection that merely ends keeps its session resumable (fatal errors drop it anyway).
  if (SSL_is_init_finished(ssl_) == 1)
    SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  SSL_free(ssl_);
}

std::unique_ptr<Transport> Transport::new_plain(Socket socket) {
  return std::unique_ptr<Transport>(new Transport(std::move(socket)));
}

std::string Transport::tls_version() const {
  if (ssl_ == nullptr || SSL_is_init_finished(ssl_) != 1) return {};
  return SSL_get_version(ssl_);
}

bool Transport::tls_session_reused() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

Socket Transport::take_socket() && {
  return std::move(socket_);
}

Result<std::unique_ptr<Transport>> Transport::new_tls(Socket socket,
                                                      std::shared_ptr<const TlsConfig> config,
                                                      std::string_view domain) {
  TlsServerNameKind kind = classify_tls_server_name(domain);
  if (kind == TlsServerNameKind::Invalid) {
    return Error::protocol(base::cat("invalid TLS domain '", domain, "'"));
  }
  std::unique_ptr<Transport> t(new Transport(std::move(socket)));
  auto refuse = [](const char* fallback) {
    return Error::protocol(base::cat("TLS handshake failed: ", take_tls_error_text(fallback)));
  };
  ERR_clear_error();
  t->ssl_ = SSL_new(config->ctx());
  if (t->ssl_ == nullptr) return refuse("cannot create a TLS connection");
  BIO_METHOD* method = socket_bio_method();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) return refuse("cannot create a TLS socket channel");
  BIO_set_data(bio, &t->bio_state_);
  SSL_set_bio(t->ssl_, bio, bio);
  SSL_set_connect_state(t->ssl_);

  // Certificate names are checked against subject alternative names only, never the CN.
  X509_VERIFY_PARAM* param = SSL_get0_param(t->ssl_);
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  std::string name(domain);
  if (kind == TlsServerNameKind::Dns) {
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    if (X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) != 1 ||
        SSL_set_tlsext_host_name(t->ssl_, name.c_str()) != 1) {
      return refuse("server name refused");
    }
  } else if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1) {
    return refuse("server address refused");
  }
  t->server_name_ = std::move(name);
  t->tls_config_ = std::move(config);
  SSL_set_app_data(t->ssl_, &t->server_name_);
  if (SSL_SESSION* session = t->tls_config_->take_session(t->server_name_)) {
    SSL_set_session(t->ssl_, session);
    SSL_SESSION_free(session);
  }
  return t;
}

Error Transport::tls_failure(int ret, const char* op) {
  int code = SSL_get_error(ssl_, ret);
  std::optional<Error> channel = std::exchange(bio_state_.failure, std::nullopt);
  switch (code) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      // The channel waits for its socket itself; it only stops on a failure of its own.
      ERR_clear_error();
      if (channel) return std::move(*channel);
      return errno_error(EAGAIN);
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      if (channel) return std::move(*channel);
      return Error::io(IoError::custom(IoKind::UnexpectedEof,
                                       "peer closed connection without sending TLS close_notify"));
    case SSL_ERROR_SSL: {
      unsigned long e = ERR_peek_error();
      if (ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return Error::io(IoError::custom(
            IoKind::UnexpectedEof, "peer closed connection without sending TLS close_notify"));
      }
      if (channel && e == 0) return std::move(*channel);
      long verify = SSL_get_verify_result(ssl_);
      if (ERR_GET_REASON(e) == SSL_R_CERTIFICATE_VERIFY_FAILED && verify != X509_V_OK) {
        ERR_clear_error();
        return Error::io(IoError::custom(
            IoKind::InvalidData,
            base::cat("invalid peer certificate: ", X509_verify_cert_error_string(verify))));
      }
      return Error::io(IoError::custom(
          IoKind::InvalidData, base::cat("TLS ", op, " failed: ", take_tls_error_text("error"))));
    }
    default:
      ERR_clear_error();
      return Error::io(
          IoError::custom(IoKind::Other, base::cat("TLS ", op, " failed (code ", code, ")")));
  }
}

Result<size_t> Transport::read_some(uint8_t* dst, size_t n) {
  if (n == 0) return size_t{0};
  if (ssl_ == nullptr) {
    return socket_io(bio_state_, POLLIN,
                     [&] { return ::recv(socket_.fd(), dst, n, MSG_DONTWAIT); });
  }
  ERR_clear_error();
  bio_state_.failure.reset();
  int got = SSL_read(ssl_, dst, static_cast<int>(std::min<size_t>(n, INT_MAX)));
  if (got > 0) return static_cast<size_t>(got);
  if (SSL_get_error(ssl_, got) == SSL_ERROR_ZERO_RETURN) return size_t{0};
  return tls_failure(got, "read");
}

Result<size_t> Transport::write_some(const uint8_t* src, size_t n) {
  if (n == 0) return size_t{0};
  if (ssl_ == nullptr) {
    return socket_io(bio_state_, POLLOUT,
                     [&] { return ::send(socket_.fd(), src, n, MSG_NOSIGNAL | MSG_DONTWAIT); });
  }
  ERR_clear_error();
  bio_state_.failure.reset();
  int put = SSL_write(ssl_, src, static_cast<int>(std::min<size_t>(n, INT_MAX)));
  if (put > 0) return static_cast<size_t>(put);
  return tls_failure(put, "write");
}

Status Transport::write_all(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left != 0) {
    TW_ASSIGN_OR_RETURN(size_t put, write_some(p, left));
    if (put == 0) return write_zero("failed to write whole buffer");
    p += put;
    left -= put;
  }
  return {};
}

Status Transport::write_all_vectored(std::span<const std::span<const uint8_t>> slices) {
  size_t total = 0;
  for (auto s : slices) total += s.size();
  if (total == 0) return {};

  if (ssl_ != nullptr) {
    if (total > kTlsGatherLimit) {
      for (auto s : slices) TW_TRY(write_all(s));
      return {};
    }
    base::ByteBuffer gathered(total);
    for (auto s : slices) gathered.append(s);
    Status st = write_all(gathered.span());
    gathered.wipe();  // it may have carried credentials
    return st;
  }

  // Plain TCP: one sendmsg per batch of up to IOV_MAX slices, resumed where a partial write
  // stopped, even inside a slice.
  size_t index = 0;   // first slice with unwritten bytes
  size_t offset = 0;  // unwritten bytes of slices[index] start here
  std::vector<iovec> iov;
  iov.reserve(std::min<size_t>(slices.size(), IOV_MAX));
  for (;;) {
    while (index < slices.size() && offset == slices[index].size()) {
      ++index;
      offset = 0;
    }
    if (index == slices.size()) return {};
    iov.clear();
    for (size_t i = index; i < slices.size() && iov.size() < IOV_MAX; ++i) {
      size_t skip = i == index ? offset : 0;
      if (slices[i].size() == skip) continue;
      iov.push_back(iovec{const_cast<uint8_t*>(slices[i].data()) + skip, slices[i].size() - skip});
    }
    msghdr msg{};
    msg.msg_iov = iov.data();
    msg.msg_iovlen = iov.size();
    TW_ASSIGN_OR_RETURN(size_t done, socket_io(bio_state_, POLLOUT, [&] {
                          return ::sendmsg(socket_.fd(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
                        }));
    if (done == 0) return write_zero("failed to write vectored packet");
    while (done != 0) {
      size_t room = slices[index].size() - offset;
      if (done < room) {
        offset += done;
        done = 0;
      } else {
        done -= room;
        ++index;
        offset = 0;
      }
    }
  }
}

void Transport::set_read_buffer_capacity(size_t capacity) {
  size_t have = static_cast<size_t>(end_ - pos_);
  capacity = std::max<size_t>({capacity, have, 1});
  if (capacity == capacity_ && buffer_) return;
  if (buffer_ || have != 0) {
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[capacity]);
    if (have != 0) std::memcpy(fresh.get(), pos_, have);
    buffer_ = std::move(fresh);
    pos_ = buffer_.get();
    end_ = pos_ + have;
  }
  capacity_ = capacity;
}

void Transport::preload(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  capacity_ = std::max(capacity_, bytes.size());
  buffer_.reset(new uint8_t[capacity_]);
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  pos_ = buffer_.get();
  end_ = pos_ + bytes.size();
}

Result<size_t> Transport::refill() {
  if (!buffer_) buffer_.reset(new uint8_t[capacity_]);
  TW_ASSIGN_OR_RETURN(size_t got, read_some(buffer_.get(), capacity_));
  pos_ = buffer_.get();
  end_ = pos_ + got;
  return got;
}

Status Transport::read_direct(uint8_t* dst, size_t n) {
  // A request at least as large as the buffer goes straight into the destination.
  while (n >= capacity_) {
    TW_ASSIGN_OR_RETURN(size_t got, read_some(dst, n));
    if (got == 0) return Error::io(IoError::unexpected_eof());
    dst += got;
    n -= got;
  }
  return ByteSource::read_direct(dst, n);
}

}  // namespace tarnwick::sync
