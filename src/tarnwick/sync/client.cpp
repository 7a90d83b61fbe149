#include "tarnwick/sync/client.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::sync {

using base::Duration;
using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;
using Clock = std::chrono::steady_clock;

namespace {

std::string host_port_text(const ClientConfig& config) {
  return base::cat(config.host, ":", config.port);
}

Error zero_connect_timeout() {
  return Error::config(
      "connect_timeout must be greater than zero; Duration::ZERO would remove the connect "
      "deadline");
}

Status check_connect_config(const ClientConfig& config) {
  if (config.revision < kMinRevision) {
    return Error::protocol(base::cat("protocol revision ", config.revision,
                                     " is below the supported minimum ", kMinRevision));
  }
  if (config.revision > kMaxRevision) {
    return Error::protocol(base::cat("protocol revision ", config.revision,
                                     " is not enabled; max supported is ", kMaxRevision));
  }
  if (config.connect_timeout.is_zero()) return zero_connect_timeout();
  // Name resolution takes the host as a C string: a NUL would silently cut it short.
  if (config.host.find('\0') != std::string::npos) {
    return Error::config("host must not contain a NUL character");
  }
  // Refused here, before any socket is opened, rather than by the first block to be framed.
  return check_send_compression(config.compression);
}

// `total` minus `elapsed`, or zero when nothing is left.
Duration remaining(Duration total, Clock::duration elapsed) {
  int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  if (ns <= 0) return total;
  uint64_t secs = static_cast<uint64_t>(ns / 1000000000);
  uint32_t nanos = static_cast<uint32_t>(ns % 1000000000);
  if (total.secs < secs || (total.secs == secs && total.nanos <= nanos)) return {};
  Duration left{total.secs - secs, 0};
  if (total.nanos >= nanos) {
    left.nanos = total.nanos - nanos;
  } else {
    left.secs -= 1;
    left.nanos = total.nanos + 1000000000 - nanos;
  }
  return left;
}

bool is_io_or_timeout(const Error& e) {
  return e.kind() == base::ErrorKind::Io || e.kind() == base::ErrorKind::Timeout;
}

}  // namespace

// ---- SetupWatchdog ----

struct SetupWatchdog::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<bool> fired{false};
};

Result<SetupWatchdog> SetupWatchdog::start(const Socket& socket, Duration budget) {
  TW_ASSIGN_OR_RETURN(Socket handle, socket.duplicate());
  auto shared = std::make_shared<Shared>();
  SetupWatchdog watchdog;
  watchdog.timeout_ = budget;
  watchdog.shared_ = shared;
  try {
    watchdog.thread_ = std::thread([shared, budget, handle = std::move(handle)]() mutable {
      // The system limits thread names to 15 bytes; the name is cut there.
      char name[16] = {};
      std::string_view full(kWatchdogThreadName);
      full.copy(name, sizeof name - 1);
      pthread_setname_np(pthread_self(), name);

      auto deadline = base::deadline_after(budget);
      std::unique_lock lock(shared->mutex);
      auto finished = [&] { return shared->done; };
      if (deadline == Clock::time_point::max()) {
        shared->cv.wait(lock, finished);  // a deadline beyond the clock never comes
      } else if (!shared->cv.wait_until(lock, deadline, finished)) {
        shared->fired.store(true, std::memory_order_seq_cst);
        handle.shutdown_both();
      }
      lock.unlock();
      handle.close();
    });
  } catch (const std::system_error& e) {
    return Error::io(IoError::from_errno(e.code().value()));
  }
  watchdog.started_ = Clock::now();
  return watchdog;
}

void SetupWatchdog::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->done = true;
  }
  shared_->cv.notify_one();
  thread_.join();
}

bool SetupWatchdog::finish() && {
  stop();
  if (shared_->fired.load(std::memory_order_acquire)) return true;
  return Clock::now() - started_ >= timeout_.to_chrono();
}

Error setup_timeout_error(const ClientConfig& config) {
  return Error::timeout(base::cat("connection setup to ", host_port_text(config),
                                  " did not complete within ",
                                  display_duration(config.connect_timeout)));
}

// ---- SyncClient ----

Result<ServerInfo> handshake_and_negotiate(Transport& transport, const ClientConfig& config) {
  return perform_handshake(transport, transport, config);
}

SyncClient::SyncClient(ServerInfo info, std::unique_ptr<Transport> transport, ClientConfig config,
                       QueryPacketTemplate tmpl)
    : server_info_(std::move(info)),
      transport_(std::move(transport)),
      config_(std::move(config)),
      query_template_(std::move(tmpl)) {
  // The reader lives as long as the connection; it borrows the transport's read buffer, which
  // is sized once here and never again.
  transport_->set_read_buffer_capacity(config_.read_buffer_capacity);
  reader_ = std::make_unique<ConnectionReader>(*transport_, server_info_.recv_chunked);
}

Result<SyncClient> SyncClient::connect_with_config(ClientConfig config) {
  return connect_with_config(std::move(config), handshake_and_negotiate);
}

Result<SyncClient> SyncClient::connect_with_config(ClientConfig config,
                                                   const HandshakeFn& handshake) {
  TW_TRY(check_connect_config(config));
  TW_ASSIGN_OR_RETURN(std::vector<SocketAddr> addresses,
                      resolve_socket_addrs(host_port_text(config)));
  if (addresses.empty()) return Error::protocol("no address resolved");
  return connect_to_addresses(addresses, config, handshake);
}

Result<SyncClient> SyncClient::connect_to_addresses(std::span<const SocketAddr> addresses,
                                                    const ClientConfig& config,
                                                    const HandshakeFn& handshake) {
  TW_TRY(check_connect_config(config));
  if (addresses.empty()) return Error::protocol("no address resolved");
  std::optional<Error> last;
  for (const SocketAddr& addr : addresses) {
    auto began = Clock::now();
    Result<Socket> socket = connect_with_timeout(addr, config.connect_timeout);
    if (!socket.ok()) {
      const Error& e = socket.error();
      if (e.is_io(IoKind::TimedOut) || e.is_io(IoKind::WouldBlock)) {
        last = Error::timeout(base::cat("TCP connect to ", addr.to_string(), " timed out after ",
                                        display_duration(config.connect_timeout)));
      } else {
        last = std::move(socket).error();
      }
      if (interrupt_requested()) break;
      continue;
    }
    Duration budget = remaining(config.connect_timeout, Clock::now() - began);
    if (budget.is_zero()) {
      last = Error::timeout(base::cat("connect to ", addr.to_string(), " timed out after ",
                                      display_duration(config.connect_timeout)));
      continue;  // the socket closes here
    }
    Result<SyncClient> client = connect_transport_with_budget(
        Transport::new_plain(std::move(socket).value()), ClientConfig(config), budget, handshake);
    if (client.ok()) return client;
    if (!is_io_or_timeout(client.error())) return client;
    last = std::move(client).error();
    if (interrupt_requested()) break;  // the caller is being stopped: no further address
  }
  return std::move(*last);
}

Result<SyncClient> SyncClient::connect_transport_with_budget(std::unique_ptr<Transport> transport,
                                                             ClientConfig config, Duration budget,
                                                             const HandshakeFn& handshake) {
  if (config.connect_timeout.is_zero()) return zero_connect_timeout();
  if (budget.is_zero()) {
    return Error::timeout(base::cat("connection setup to ", host_port_text(config),
                                    " had no remaining connect timeout"));
  }
  const Socket& socket = transport->socket();
  TW_TRY(socket.set_nodelay(true));
  TW_TRY(socket.set_read_timeout(budget));
  TW_TRY(socket.set_write_timeout(budget));

  TW_ASSIGN_OR_RETURN(SetupWatchdog watchdog, SetupWatchdog::start(socket, budget));

  if (config.tls_config) {
    // A refused domain or TLS connection ends the whole connect (the watchdog stops on return).
    TW_ASSIGN_OR_RETURN(transport, Transport::new_tls(std::move(*transport).take_socket(),
                                                      config.tls_config, config.tls_domain));
  }

  // Every read and write of the set-up ends with its budget, however the waits are cut up.
  transport->set_deadline(WaitDeadline::after(budget, "connection setup ran out of time"));
  Result<ServerInfo> info = handshake(*transport, config);
  transport->set_deadline(std::nullopt);
  bool timed_out = std::move(watchdog).finish();
  TW_ASSIGN_OR_RETURN(ServerInfo server_info,
                      classify_setup_error(std::move(info), config, timed_out));

  // Set-up is over: from here each exchange bounds its own reads and writes by the query
  // time-out (SyncClient::exchange_deadline). The socket's own time-outs play no part in the
  // waits; setting them still refuses a zero query time-out.
  TW_TRY(transport->socket().set_read_timeout(config.query_timeout));
  TW_TRY(transport->socket().set_write_timeout(std::nullopt));

  TW_ASSIGN_OR_RETURN(
      QueryPacketTemplate tmpl,
      build_query_packet_template(config, server_info.negotiated_revision,
                                  [](std::span<const uint8_t> payload, uint8_t method) {
                                    return compression::encode_frame(payload, method);
                                  }));
  return SyncClient(std::move(server_info), std::move(transport), std::move(config),
                    std::move(tmpl));
}

}  // namespace tarnwick::sync
