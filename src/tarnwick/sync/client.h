// The connection: set-up of a socket into an authenticated session, and the SyncClient that owns
// it.
//
// connect_with_config checks the configuration, resolves "host:port", and tries each address in
// turn, each with the whole connect time-out for its TCP connect. On the first socket that
// connects, the set-up (TCP_NODELAY, socket time-outs of the remaining budget, optional TLS whose
// handshake runs inside the first write, the Hello exchange) runs under that budget, guarded by a
// watchdog thread that shuts the socket down when the budget runs out. Only I/O and time-out
// failures move on to the next address.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <thread>

#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"
#include "tarnwick/sync/config.h"
#include "tarnwick/sync/handshake.h"
#include "tarnwick/sync/query_packet.h"
#include "tarnwick/sync/socket.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {

inline constexpr const char* kWatchdogThreadName = "tarnwick-connect-timeout";

// Guards one set-up: a thread that waits for the set-up to finish and, when the budget runs out
// first, marks the attempt as timed out and shuts the socket down (through its own duplicate
// handle), which makes the set-up's blocked read or write fail at once. Finishing wakes the
// thread at once and joins it; so does destruction.
class SetupWatchdog {
 public:
  static base::Result<SetupWatchdog> start(const Socket& socket, base::Duration budget);

  SetupWatchdog(SetupWatchdog&& other) noexcept = default;
  SetupWatchdog& operator=(SetupWatchdog&&) = delete;
  ~SetupWatchdog() { stop(); }

  // Stops the thread; true when the set-up ran out of time (the watchdog fired, or the budget
  // has elapsed since the start even though it did not).
  bool finish() &&;

 private:
  struct Shared;
  SetupWatchdog() = default;
  void stop();

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  std::chrono::steady_clock::time_point started_;
  base::Duration timeout_;
};

// The error of a set-up that ran past its budget.
base::Error setup_timeout_error(const ClientConfig& config);

// A timed-out set-up becomes setup_timeout_error whatever its result; a socket time-out during
// it (an Io error of kind TimedOut or WouldBlock) too; anything else passes through.
template <class T>
base::Result<T> classify_setup_error(base::Result<T> result, const ClientConfig& config,
                                     bool timed_out) {
  if (timed_out) return setup_timeout_error(config);
  if (!result.ok() && (result.error().is_io(base::IoKind::TimedOut) ||
                       result.error().is_io(base::IoKind::WouldBlock))) {
    return setup_timeout_error(config);
  }
  return result;
}

// The handshake step of the set-up; replaceable for tests.
using HandshakeFn = std::function<base::Result<ServerInfo>(Transport&, const ClientConfig&)>;

class SyncClient {
 public:
  static base::Result<SyncClient> connect_with_config(ClientConfig config);
  static base::Result<SyncClient> connect_with_config(ClientConfig config,
                                                      const HandshakeFn& handshake);
  // The per-address loop of connect_with_config over addresses already resolved.
  static base::Result<SyncClient> connect_to_addresses(std::span<const SocketAddr> addresses,
                                                       const ClientConfig& config,
                                                       const HandshakeFn& handshake);
  // The set-up of one connected socket within `budget`.
  static base::Result<SyncClient> connect_transport_with_budget(
      std::unique_ptr<Transport> transport, ClientConfig config, base::Duration budget,
      const HandshakeFn& handshake);

  SyncClient(SyncClient&&) noexcept = default;
  SyncClient& operator=(SyncClient&&) noexcept = default;

  const ServerInfo& server_info() const { return server_info_; }
  const ClientConfig& config() const { return config_; }
  ClientConfig& config() { return config_; }
  Transport& transport() { return *transport_; }
  const QueryPacketTemplate& query_template() const { return query_template_; }

  // A second handle on the connection's socket (plain TCP and TLS alike), for shutting the
  // connection down from another thread while this one is blocked on it.
  base::Result<Socket> socket_shutdown_handle() const { return transport_->duplicate_socket(); }
  // Shuts the connection down; any blocked or later read or write fails.
  void shutdown() const { transport_->shutdown(); }

 private:
  SyncClient(ServerInfo info, std::unique_ptr<Transport> transport, ClientConfig config,
             QueryPacketTemplate tmpl);

  ServerInfo server_info_;
  std::unique_ptr<Transport> transport_;
  ClientConfig config_;
  QueryPacketTemplate query_template_;
};

// The handshake of a real connection: the Hello exchange over the transport.
base::Result<ServerInfo> handshake_and_negotiate(Transport& transport, const ClientConfig& config);

}  // namespace tarnwick::sync
