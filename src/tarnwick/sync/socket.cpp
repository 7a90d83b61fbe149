#include "tarnwick/sync/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/sync/lookup.h"
#include "tarnwick/sync/wait.h"

namespace tarnwick::sync {

using base::Duration;
using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;

namespace {

Error errno_error(int err) {
  return Error::io(IoError::from_errno(err));
}

// A timeval for SO_RCVTIMEO / SO_SNDTIMEO: seconds saturate (the system treats a huge value as
// "no limit", a negative one as zero), and a non-zero duration never rounds down to zero.
timeval to_timeval(Duration d) {
  constexpr uint64_t kMaxSecs = static_cast<uint64_t>(INT32_MAX);
  timeval tv{};
  if (d.secs > kMaxSecs) {
    tv.tv_sec = static_cast<time_t>(kMaxSecs);
    tv.tv_usec = 0;
  } else {
    tv.tv_sec = static_cast<time_t>(d.secs);
    tv.tv_usec = static_cast<suseconds_t>(d.nanos / 1000);
  }
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

Status set_timeout(int fd, int option, std::optional<Duration> timeout) {
  timeval tv{};
  if (timeout) {
    if (timeout->is_zero()) {
      return Error::io(IoError::custom(IoKind::Other, "cannot set a 0 duration timeout"));
    }
    tv = to_timeval(*timeout);
  }
  if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return errno_error(errno);
  return {};
}

// Appends `value` with the fraction `frac` (of `frac_digits` decimal places), trailing zeros of
// the fraction dropped.
void append_decimal(std::string& out, uint64_t value, uint64_t frac, int frac_digits) {
  out += base::cat(value);
  if (frac == 0) return;
  char digits[16];
  for (int i = frac_digits - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + frac % 10);
    frac /= 10;
  }
  int len = frac_digits;
  while (len > 0 && digits[len - 1] == '0') --len;
  out.push_back('.');
  out.append(digits, static_cast<size_t>(len));
}

bool parse_port(std::string_view text, uint16_t& port) {
  if (text.empty()) return false;
  unsigned value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size() || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Result<Socket> Socket::duplicate() const {
  int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno_error(errno);
  return Socket(fd);
}

void Socket::shutdown_both() const {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

Status Socket::set_nodelay(bool on) const {
  int value = on ? 1 : 0;
  if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
    return errno_error(errno);
  }
  return {};
}

Status Socket::set_read_timeout(std::optional<Duration> timeout) const {
  return set_timeout(fd_, SO_RCVTIMEO, timeout);
}

Status Socket::set_write_timeout(std::optional<Duration> timeout) const {
  return set_timeout(fd_, SO_SNDTIMEO, timeout);
}

uint16_t SocketAddr::port() const {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
}

void SocketAddr::set_port(uint16_t port) {
  if (family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
  } else if (family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
  }
}

std::string SocketAddr::to_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return base::cat(text, ":", port());
  }
  auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  if (in6->sin6_scope_id != 0) {
    return base::cat("[", text, "%", in6->sin6_scope_id, "]:", port());
  }
  return base::cat("[", text, "]:", port());
}

std::optional<SocketAddr> SocketAddr::parse(std::string_view text) {
  SocketAddr addr;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    std::string host(text.substr(1, close - 1));
    uint32_t scope = 0;
    size_t pct = host.find('%');
    if (pct != std::string::npos) {
      std::string_view scope_text = std::string_view(host).substr(pct + 1);
      auto res = std::from_chars(scope_text.data(), scope_text.data() + scope_text.size(), scope);
      if (scope_text.empty() || res.ec != std::errc() ||
          res.ptr != scope_text.data() + scope_text.size()) {
        return std::nullopt;
      }
      host.resize(pct);
    }
    uint16_t port = 0;
    if (!parse_port(text.substr(close + 2), port)) return std::nullopt;
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr.storage);
    if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) != 1) return std::nullopt;
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_scope_id = scope;
    addr.len = sizeof(sockaddr_in6);
    return addr;
  }
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string host(text.substr(0, colon));
  uint16_t port = 0;
  if (!parse_port(text.substr(colon + 1), port)) return std::nullopt;
  auto* in = reinterpret_cast<sockaddr_in*>(&addr.storage);
  if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) != 1) return std::nullopt;
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  addr.len = sizeof(sockaddr_in);
  return addr;
}

SocketAddr SocketAddr::v4_loopback(uint16_t port) {
  SocketAddr addr;
  auto* in = reinterpret_cast<sockaddr_in*>(&addr.storage);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.len = sizeof(sockaddr_in);
  return addr;
}

Result<std::vector<SocketAddr>> resolve_socket_addrs(std::string_view host_port) {
  if (auto literal = SocketAddr::parse(host_port)) return std::vector<SocketAddr>{*literal};

  size_t colon = host_port.rfind(':');
  if (colon == std::string_view::npos) {
    return Error::io(IoError::custom(IoKind::Other, "invalid socket address"));
  }
  uint16_t port = 0;
  if (!parse_port(host_port.substr(colon + 1), port)) {
    return Error::io(IoError::custom(IoKind::Other, "invalid port value"));
  }
  return look_up_in_thread(std::string(host_port.substr(0, colon)), port, look_up_host);
}

Result<Socket> connect_with_timeout(const SocketAddr& addr, Duration timeout) {
  if (timeout.is_zero()) {
    return Error::io(IoError::custom(IoKind::Other, "cannot set a 0 duration timeout"));
  }
  Socket sock(::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  if (!sock.valid()) return errno_error(errno);

  const std::optional<WaitDeadline> deadline = WaitDeadline::after(timeout, "connection timed out");
  if (::connect(sock.fd(), addr.raw(), addr.len) != 0) {
    if (errno != EINPROGRESS) return errno_error(errno);
    TW_TRY(wait_ready(sock.fd(), POLLOUT, deadline));
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(sock.fd(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
      return errno_error(errno);
    }
    if (so_error != 0) return errno_error(so_error);
  }
  int flags = fcntl(sock.fd(), F_GETFL);
  if (flags < 0 || fcntl(sock.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return errno_error(errno);
  }
  return sock;
}

std::string display_duration(Duration d) {
  std::string out;
  if (d.secs > 0) {
    append_decimal(out, d.secs, d.nanos, 9);
    out += "s";
  } else if (d.nanos >= 1000000) {
    append_decimal(out, d.nanos / 1000000, d.nanos % 1000000, 6);
    out += "ms";
  } else if (d.nanos >= 1000) {
    append_decimal(out, d.nanos / 1000, d.nanos % 1000, 3);
    out += "\xC2\xB5s";
  } else {
    out += base::cat(d.nanos, "ns");
  }
  return out;
}

}  // namespace tarnwick::sync
