// The small exchanges that run no query: the TablesStatus request and its answer, Ping and Pong,
// and the local settings change. Packets are built into buffers and read from byte sources; the
// client frames, writes and flushes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/config.h"

namespace tarnwick::sync {

inline constexpr uint64_t kMaxTablesStatusEntries = 16777215;

struct QualifiedTableName {
  std::string database;
  std::string table;

  QualifiedTableName() = default;
  QualifiedTableName(std::string database_name, std::string table_name)
      : database(std::move(database_name)), table(std::move(table_name)) {}

  bool operator==(const QualifiedTableName&) const = default;
};

struct QualifiedTableNameHash {
  size_t operator()(const QualifiedTableName& name) const {
    const size_t h = std::hash<std::string>{}(name.database);
    return h ^ (std::hash<std::string>{}(name.table) + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
  }
};

// The answer for one table; all zero and false for a table that is not replicated.
struct TableStatus {
  uint64_t absolute_delay = 0;
  bool is_replicated = false;
  bool is_readonly = false;

  bool operator==(const TableStatus&) const = default;
};

using TablesStatusMap = std::unordered_map<QualifiedTableName, TableStatus, QualifiedTableNameHash>;

// Fails with "TablesStatus requires protocol revision >= 54226" below that revision.
base::Status check_tables_status_revision(uint64_t negotiated_revision);

// Appends the TablesStatusRequest packet: type 5, the count, then database and table per entry.
void write_tables_status_request(base::ByteBuffer& out, std::span<const QualifiedTableName> tables);

// What an answer may make the client keep. A server answers about the tables it was asked about,
// so an answer listing more than `requested` entries is malformed; each entry is charged at what
// it costs in memory (tables_status_entry_cost) against `max_bytes` before it is kept.
// What the client keeps of one table-status answer at the most, whatever the response limit.
inline constexpr size_t kTablesStatusByteLimit = 268435456;
struct TablesStatusBounds {
  uint64_t requested = 0;
  size_t max_bytes = 0;
};

// The memory one kept entry takes: its map node, bucket and allocation, and the heap bytes of
// names too long to be held inside their strings.
size_t tables_status_entry_cost(const std::string& database, const std::string& table);

// Reads the body of a TablesStatusResponse (after its packet type). A repeated pair replaces the
// earlier one. The count is refused above 16777215 (Protocol "TablesStatus entry count {} exceeds
// limit {}") and above `bounds.requested` (Protocol "TablesStatus answer lists {} tables, {} were
// asked about"); the map grows only as entries arrive, and an entry that would take the charged
// total above `bounds.max_bytes` fails with ResponseTooLarge (the total with it, the limit),
// leaving the source inside the packet. The names share one KeptTexts bound.
base::Result<TablesStatusMap> read_tables_status_response(base::ByteSource& source,
                                                          uint64_t negotiated_revision,
                                                          const TablesStatusBounds& bounds);

// "expected TablesStatusResponse packet, got {}".
[[gnu::cold]] base::Error unexpected_tables_status_packet(uint64_t packet_type);

// Reads the server's answer to a TablesStatusRequest: its packet type, then the response (9) or
// the server's exception (2, read by `read_exception`, which returns the error to report). Any
// other packet fails; nothing is skipped or waited for.
template <class ReadException>
base::Result<TablesStatusMap> read_tables_status_answer(base::ByteSource& source,
                                                        uint64_t negotiated_revision,
                                                        const TablesStatusBounds& bounds,
                                                        ReadException&& read_exception) {
  TW_ASSIGN_OR_RETURN(const uint64_t packet_type, protocol::read_varint(source));
  if (packet_type == protocol::code(protocol::ServerPacket::TablesStatusResponse)) {
    return read_tables_status_response(source, negotiated_revision, bounds);
  }
  if (packet_type == protocol::code(protocol::ServerPacket::Exception))
    return base::Error(read_exception(source));
  return unexpected_tables_status_packet(packet_type);
}

// The status of (database, table) in an answer, or nothing when the server left it out.
std::optional<TableStatus> find_table_status(const TablesStatusMap& answer,
                                             std::string_view database, std::string_view table);

// Appends the Ping packet, the single byte 04.
void write_ping(base::ByteBuffer& out);

// Reads exactly one byte, which must be the Pong type 04 ("expected Pong" otherwise). A failed
// read, end of stream included, is the source's I/O error.
base::Status read_pong(base::ByteSource& source);

// Adds or replaces a session setting; it travels in the settings block of every later Query
// packet. Neither text is checked. The client rebuilds its Query-packet template afterwards.
void set_session_setting(ClientConfig& config, std::string name, std::string value);

}  // namespace tarnwick::sync
