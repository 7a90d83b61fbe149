// The byte layer under every exchange with the server: a connected TCP socket, plain or with TLS
// over it. A Transport is a byte source (with a read buffer of its own, which lives as long as the
// connection, so no reader on top of it can swallow bytes it does not consume) and a byte sink.
//
// Every receive and send is made without blocking and waits for the socket in wait_ready, under
// the transport's deadline (when one is set: an exchange's query_timeout, the set-up budget) and
// the calling thread's interrupt hook; the socket's own time-outs play no part. Interrupted calls
// are retried with the time left. Sends never raise SIGPIPE. Another thread stops a blocked call
// by shutting the socket down through a duplicated handle.
//
// Over TLS the handshake runs inside the first read or write, so it falls under whatever
// time-outs and watchdog guard that first exchange.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/byte_sink.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/sync/socket.h"
#include "tarnwick/sync/tls.h"
#include "tarnwick/sync/wait.h"

typedef struct ssl_st SSL;

namespace tarnwick::sync {

inline constexpr size_t kDefaultReadBufferCapacity = 65536;

namespace detail {
// The socket channel under both kinds of transport: the socket, the deadline its waits end at,
// the failure of the last call (kept apart from errno, which the TLS library may overwrite) and
// whether the peer ended the stream.
struct SocketBioState {
  int fd = -1;
  std::optional<WaitDeadline> deadline;
  std::optional<base::Duration> wait_limit;
  std::optional<base::Error> failure;
  bool eof = false;
};
}  // namespace detail

class Transport final : public base::ByteSource, public base::ByteSink {
 public:
  static std::unique_ptr<Transport> new_plain(Socket socket);
  // TLS over `socket`, verifying the server certificate for `domain` (a DNS name or an IP address
  // literal). An invalid domain fails with Protocol "invalid TLS domain '{}'", a connection the
  // TLS library cannot create with Protocol "TLS handshake failed: {}"; the socket is closed on
  // failure. No bytes are exchanged here.
  static base::Result<std::unique_ptr<Transport>> new_tls(Socket socket,
                                                          std::shared_ptr<const TlsConfig> config,
                                                          std::string_view domain);

  ~Transport() override;

  bool is_tls() const { return ssl_ != nullptr; }
  // The negotiated TLS version ("TLSv1.3", "TLSv1.2"), empty for plain TCP or before the handshake.
  std::string tls_version() const;
  // Whether the TLS handshake resumed a cached session.
  bool tls_session_reused() const;
  const Socket& socket() const { return socket_; }
  // Takes the socket out of a plain transport that has buffered nothing (to wrap it in TLS).
  Socket take_socket() &&;
  // A second handle on the connection's socket, under plain TCP and TLS alike.
  base::Result<Socket> duplicate_socket() const { return socket_.duplicate(); }
  // Shuts both directions of the socket down (errors ignored).
  void shutdown() const { socket_.shutdown_both(); }

  // One receive into dst: the count read, 0 at end of stream (over TLS after a clean close
  // notice). Bypasses the read buffer; call only when buffered() is empty.
  base::Result<size_t> read_some(uint8_t* dst, size_t n);
  // One send: the count accepted, which may be fewer than n.
  base::Result<size_t> write_some(const uint8_t* src, size_t n);

  base::Status write_all(std::span<const uint8_t> bytes) override;
  // Plain TCP: sendmsg over the slices, resumed after partial writes. TLS: the slices are
  // gathered into one record run (the gathering buffer is wiped afterwards).
  base::Status write_all_vectored(std::span<const std::span<const uint8_t>> slices) override;
  base::Status flush() override { return {}; }

  // While set, every receive and send (TLS records included) ends by `deadline`: a call that
  // starts after it, or waits past it, fails with an Io error of kind TimedOut carrying the
  // deadline's message. Without one, calls wait without limit.
  void set_deadline(std::optional<WaitDeadline> deadline) {
    bio_state_.deadline = std::move(deadline);
  }
  const std::optional<WaitDeadline>& deadline() const { return bio_state_.deadline; }
  // While set, one receive or send waits at most `limit` for its socket, then fails as an expired
  // socket time-out does (EAGAIN, kind WouldBlock): a query stream's pause between two waits.
  void set_wait_limit(std::optional<base::Duration> limit) { bio_state_.wait_limit = limit; }

  // Makes `bytes` the buffered bytes, read before anything received; only on a transport that
  // has buffered nothing. The buffer grows to hold them when it is smaller.
  void preload(std::span<const uint8_t> bytes);

  // Capacity of the read buffer (default 65536); buffered bytes are kept when it changes.
  void set_read_buffer_capacity(size_t capacity);
  size_t read_buffer_capacity() const { return capacity_; }

 protected:
  base::Result<size_t> refill() override;
  base::Status read_direct(uint8_t* dst, size_t n) override;

 private:
  explicit Transport(Socket socket);
  base::Error tls_failure(int ret, const char* op);

  Socket socket_;
  SSL* ssl_ = nullptr;
  std::shared_ptr<const TlsConfig> tls_config_;
  std::string server_name_;  // the TLS session cache key
  detail::SocketBioState bio_state_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = kDefaultReadBufferCapacity;
};

// Bounds the transport's calls by `limit` from its construction; the previous deadline comes
// back when it ends. One per exchange: its reads and writes share the one deadline.
class DeadlineScope {
 public:
  DeadlineScope(Transport& transport, base::Duration limit, std::string expired)
      : transport_(transport), previous_(transport.deadline()) {
    transport_.set_deadline(WaitDeadline::after(limit, std::move(expired)));
  }
  ~DeadlineScope() { transport_.set_deadline(std::move(previous_)); }
  DeadlineScope(const DeadlineScope&) = delete;
  DeadlineScope& operator=(const DeadlineScope&) = delete;

 private:
  Transport& transport_;
  std::optional<WaitDeadline> previous_;
};

// The writing half of the readers layered over a borrowed transport: writes go straight to it.
class TransportWriter : public base::ByteSink {
 public:
  explicit TransportWriter(Transport& transport) : transport_(transport) {}

  Transport& transport() { return transport_; }

  base::Status write_all(std::span<const uint8_t> bytes) override {
    return transport_.write_all(bytes);
  }
  base::Status write_all_vectored(std::span<const std::span<const uint8_t>> slices) override {
    return transport_.write_all_vectored(slices);
  }
  base::Status flush() override { return transport_.flush(); }

 protected:
  Transport& transport_;
};

}  // namespace tarnwick::sync
