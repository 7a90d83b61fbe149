// Thin, error-returning wrappers over the BSD socket calls the client needs: an owning socket
// handle, socket addresses and their display form, name resolution, a connect bounded by a
// time-out, socket time-outs, duplication and shutdown. Every send in the client goes through
// MSG_NOSIGNAL, so a closed peer is an EPIPE error, never a signal.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"

namespace tarnwick::sync {

// An owned socket handle, closed when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void close();

  // A second handle on the same socket (close-on-exec).
  base::Result<Socket> duplicate() const;
  // Shuts both directions down: every read or write blocked on the socket, through any handle,
  // fails at once. Errors are ignored.
  void shutdown_both() const;

  base::Status set_nodelay(bool on) const;
  // The receive and send time-outs. nullopt removes the time-out (block without limit); a zero
  // duration is refused with "cannot set a 0 duration timeout", since the system would read it as
  // "no limit". Durations too large for the system saturate; a time-out shorter than the system's
  // microsecond resolution becomes one microsecond, never zero.
  base::Status set_read_timeout(std::optional<base::Duration> timeout) const;
  base::Status set_write_timeout(std::optional<base::Duration> timeout) const;

 private:
  int fd_ = -1;
};

// An IPv4 or IPv6 socket address.
struct SocketAddr {
  sockaddr_storage storage{};
  socklen_t len = 0;

  const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
  uint16_t port() const;
  void set_port(uint16_t port);
  // "127.0.0.1:9000" or "[::1]:9000".
  std::string to_string() const;

  // Parses "a.b.c.d:port" or "[v6]:port" (a numeric scope id allowed after '%').
  static std::optional<SocketAddr> parse(std::string_view text);
  static SocketAddr v4_loopback(uint16_t port);
};

// Resolves "host:port" text: first as a literal socket address, else split at the last colon and
// looked up for stream sockets of any family (look_up_in_thread, lookup.h). Keeps the resolver's
// order.
base::Result<std::vector<SocketAddr>> resolve_socket_addrs(std::string_view host_port);

// Opens a TCP connection to `addr`, giving up after `timeout` with an I/O error of kind TimedOut.
// The returned socket is blocking, close-on-exec, with no time-outs set.
base::Result<Socket> connect_with_timeout(const SocketAddr& addr, base::Duration timeout);

// A duration in the compact display form: "10s", "1.5s", "500ms", "1.2µs", "7ns".
std::string display_duration(base::Duration d);

}  // namespace tarnwick::sync
