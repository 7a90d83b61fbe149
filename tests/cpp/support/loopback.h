// Loopback sockets for tests: a listener on 127.0.0.1 with a bounded accept, a port that refuses
// connections, and a connected TCP pair.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "tarnwick/sync/socket.h"

namespace tarnwick::testing {

class Listener {
 public:
  Listener() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    sock_ = sync::Socket(fd);
  }
  uint16_t port() const { return port_; }
  sync::SocketAddr addr() const { return sync::SocketAddr::v4_loopback(port_); }
  int fd() const { return sock_.fd(); }

  // The next connection, or an invalid socket when none arrives within `timeout_ms`.
  sync::Socket accept(int timeout_ms = 5000) const {
    pollfd pfd{sock_.fd(), POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) != 1) return sync::Socket();
    return sync::Socket(::accept4(sock_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  // Whether a connection is waiting, without waiting for one.
  bool has_pending() const {
    pollfd pfd{sock_.fd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
  }
  void close() { sock_.close(); }

 private:
  sync::Socket sock_;
  uint16_t port_ = 0;
};

// A loopback port with nothing listening on it: connecting is refused.
inline uint16_t refused_port() {
  Listener l;
  uint16_t port = l.port();
  l.close();
  return port;
}

// Both ends of a loopback TCP connection.
inline std::pair<sync::Socket, sync::Socket> tcp_pair() {
  Listener l;
  auto client = sync::connect_with_timeout(l.addr(), base::Duration::from_secs(5));
  sync::Socket server = l.accept();
  return {std::move(client).value(), std::move(server)};
}

}  // namespace tarnwick::testing
