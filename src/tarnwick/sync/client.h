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

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tarnwick/base/buffer_pool.h"
#include "tarnwick/base/duration.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/sync/config.h"
#include "tarnwick/sync/connection_reader.h"
#include "tarnwick/sync/handshake.h"
#include "tarnwick/sync/parameters.h"
#include "tarnwick/sync/query_packet.h"
#include "tarnwick/sync/schema.h"
#include "tarnwick/sync/socket.h"
#include "tarnwick/sync/stream.h"
#include "tarnwick/sync/table_status.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {

inline constexpr const char* kWatchdogThreadName = "tarnwick-connect-timeout";
// The most bytes of released block buffers one connection keeps for its next responses.
inline constexpr size_t kBlockBufferPoolBytes = size_t{64} << 20;

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

// What an exchange that outlasted query_timeout reports, as an Io error of kind TimedOut:
// "timed out: the exchange took longer than query_timeout ({duration})".
std::string exchange_timeout_text(base::Duration query_timeout);

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

  // ---- exchanges ----
  // Each runs on an idle connection and takes the client exclusively for its whole run. A failure
  // after the first byte of an exchange was written that is not a clean end of the response (a
  // server exception, an over-limit response drained to its end) shuts the connection down and
  // marks it broken: every later exchange then fails at once with an Io error of kind
  // NotConnected. Refusals before anything was written leave the connection as it was. A server
  // exception that ends an exchange begun with a Query packet (a stream's included) costs one
  // Ping round trip within the exchange's query_timeout: the connection stays idle only when the
  // answer is Pong, and is broken otherwise.

  // Runs a query and returns every Data block of its response in arrival order (blocks with no
  // rows included). `settings`, when given, overlays the session settings for this query only.
  // Decoded bytes above max_response_size, or more than response_allowance held beside them,
  // cancel the query and fail with ResponseTooLarge.
  base::Result<std::vector<protocol::Block>> query_with_params_settings_and_ignored_part_uuids(
      std::string_view query, std::span<const QueryParameter> params,
      const std::map<std::string, std::string>* settings,
      std::span<const std::array<uint8_t, 16>> ignored_part_uuids);
  // Runs a statement and reads its response to the end, keeping nothing. After a statement that
  // may change a table's columns (see query_may_change_schema) the schema cache is emptied.
  base::Status execute_with_params_settings_and_ignored_part_uuids(
      std::string_view query, std::span<const QueryParameter> params,
      const std::map<std::string, std::string>* settings,
      std::span<const std::array<uint8_t, 16>> ignored_part_uuids);
  // Reads a response already in flight to its end.
  base::Status drain_response();

  // An insert: begin_insert sends the INSERT statement and waits for the table-structure block
  // (a statement that needs no data, answered by EndOfStream, fails but leaves the connection
  // idle); send_data sends one block (validated against the cached schema when validate_schema is
  // on and `table_name` is not empty; a block without rows is not sent, since on the wire it
  // would end the data); end_insert sends the end of the data and reads the response to its end.
  // While an insert is open every other exchange is refused. The schema used for validation must
  // be cached before begin_insert (schema_for_table): a miss inside an open insert fails before
  // anything is written. Servers below revision kRevisionCheckingInsertColumns read each column
  // sent by its name with the table's own type and check nothing: there every block is checked
  // against the table-structure block first, and a block that does not fit the table ends the
  // insert (Cancel, its response drained) before any of it is written, the connection idle.
  base::Status begin_insert(std::string_view query);
  base::Status send_data(std::string_view table_name, const protocol::Block& block);
  base::Status end_insert();
  // A whole insert of `blocks`. With validation on, the schema is fetched and every block checked
  // before the INSERT is sent, so a refused block leaves the connection idle; the check against
  // the table structure of older servers covers every block before the first is sent.
  base::Status insert(std::string_view query, std::string_view table_name,
                      std::span<const protocol::Block> blocks);
  bool insert_open() const { return insert_open_; }

  // Ping and its Pong.
  base::Status ping();
  // The TablesStatus exchange for a list of tables (possibly empty), and its one-table form
  // (nothing when the server did not list the table). An answer that lists more tables than were
  // asked about, or whose entries cost more than kTablesStatusByteLimit to keep, fails and leaves
  // the connection broken.
  base::Result<TablesStatusMap> tables_status(std::span<const QualifiedTableName> tables);
  base::Result<std::optional<TableStatus>> table_status(std::string_view database,
                                                        std::string_view table);
  // Adds or replaces a session setting and rebuilds the Query-packet template; nothing is sent.
  void set_setting(std::string name, std::string value);

  // Table schemas from DESCRIBE TABLE: cached per table name as given (fetched on a miss),
  // fetched again and re-cached, fetched without touching the cache; and the cache emptied.
  base::Result<TableSchema> schema_for_table(std::string_view table);
  base::Result<TableSchema> refresh_schema_for_table(std::string_view table);
  base::Result<TableSchema> fetch_schema_for_table(std::string_view table);
  void clear_schema_cache() { schema_cache_.clear(); }
  const SchemaCache& schema_cache() const { return schema_cache_; }

  // Sends a query and hands the reading of its response to a QueryStream over a duplicated handle
  // of the socket. Until the stream has read the response's terminal packet every exchange is
  // refused; a stream that stops before it leaves the connection broken. Over TLS the stream is
  // refused before anything is sent: "streaming query clone is unsupported for TLS transports".
  base::Result<QueryStream> start_stream(std::string_view query);

  // Whether an earlier exchange (or a stream) failed midway and shut the connection down.
  bool broken() const {
    return broken_ || (stream_link_ && stream_link_->state() == StreamLink::State::Abandoned);
  }

 private:
  SyncClient(ServerInfo info, std::unique_ptr<Transport> transport, ClientConfig config,
             QueryPacketTemplate tmpl);

  // Refuses an exchange on a broken connection, while a stream reads, or inside an open insert.
  base::Status check_idle();
  // Settles what a stream left behind, then refuses on a broken connection or a running stream.
  base::Status check_connection();
  base::Status broken_error() const;
  // Ends an exchange that has begun writing: a failure that is not a clean end of the response
  // (a server exception, a response too large whose drain reached its end) shuts the connection
  // down and marks it broken.
  base::Status settle(base::Status status);
  // settle for an exchange that began with a Query packet. A server may raise its error before
  // it has read the data that follows the query, and then take those bytes for packets of their
  // own and answer each: after a server exception the session is checked (check_in_step).
  base::Status settle_query(base::Status status);
  // Sends a Ping, under the deadline in force, whose first answer must be Pong: any other packet
  // type, a failure or no answer in time shuts the connection down and marks it broken.
  void check_in_step();
  void mark_broken();
  // Sends the IgnoredPartUUIDs packet (when there are UUIDs) and the Query packet. What cannot
  // be sent is refused before anything is written; afterwards a failure breaks the connection.
  base::Status send_query(std::string_view query, std::span<const QueryParameter> params,
                          const std::map<std::string, std::string>* settings,
                          std::span<const std::array<uint8_t, 16>> ignored_part_uuids);
  base::Result<std::vector<protocol::Block>> collect_response();
  // Asks the server to stop the query in flight.
  base::Status send_cancel();
  base::Status cancel_and_drain();
  base::Status drain_in_flight();
  // Checks a block of an open insert against the table structure kept for older servers; a block
  // that does not fit ends the insert (abandon_insert).
  base::Status check_insert_structure(std::string_view table_name, const protocol::Block& block);
  // Ends an open insert with nothing more sent: Cancel, then its response drained.
  void abandon_insert();
  // Sends one block of an open insert, unchecked (nothing for a block without rows).
  base::Status send_block(std::string_view table_name, const protocol::Block& block);
  base::Status send_data_vectored(std::string_view table_name, const protocol::Block& block);
  // Ends an insert's failed write of data: the connection is broken, and when the write failed
  // on the socket the response received so far is read for the server's exception, which is
  // returned in place of the I/O error.
  base::Status settle_insert_write(base::Status written);
  base::Status send_packet(std::span<const uint8_t> packet);
  // Bounds every read and write of one exchange, from its first byte written to its last byte
  // read, by query_timeout; a call past it fails with an Io error of kind TimedOut that says so.
  DeadlineScope exchange_deadline();
  uint64_t revision() const { return server_info_.negotiated_revision; }

  ServerInfo server_info_;
  std::unique_ptr<Transport> transport_;
  ClientConfig config_;
  QueryPacketTemplate query_template_;
  std::unique_ptr<ConnectionReader> reader_;
  SchemaCache schema_cache_;
  // Body buffers of the blocks a query returned come back here once the caller is done with them,
  // and the next response's blocks reuse them.
  base::BufferPool::Ref block_buffers_{kBlockBufferPoolBytes};
  std::shared_ptr<StreamLink> stream_link_;  // the last stream started, until it is settled
  bool broken_ = false;
  bool insert_open_ = false;
  // The columns of the table an open insert writes to, kept from the table-structure block of a
  // server that checks nothing itself (below kRevisionCheckingInsertColumns).
  std::optional<TableSchema> insert_structure_;
};

// The handshake of a real connection: the Hello exchange over the transport.
base::Result<ServerInfo> handshake_and_negotiate(Transport& transport, const ClientConfig& config);

}  // namespace tarnwick::sync
