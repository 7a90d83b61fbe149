#include "tarnwick/sync/table_status.h"

#include <utility>

#include "tarnwick/base/format.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {

using base::cat;
using base::Error;
using base::Result;
using base::Status;
using protocol::ClientPacket;
using protocol::code;
using protocol::kRevisionWithTablesStatus;

Status check_tables_status_revision(uint64_t negotiated_revision) {
  if (negotiated_revision < kRevisionWithTablesStatus) [[unlikely]] {
    return Error::protocol(
        cat("TablesStatus requires protocol revision >= ", kRevisionWithTablesStatus));
  }
  return {};
}

void write_tables_status_request(base::ByteBuffer& out,
                                 std::span<const QualifiedTableName> tables) {
  protocol::write_varint(out, code(ClientPacket::TablesStatusRequest));
  protocol::write_varint(out, tables.size());
  for (const QualifiedTableName& name : tables) {
    protocol::write_string(out, name.database);
    protocol::write_string(out, name.table);
  }
}

size_t tables_status_entry_cost(const std::string& database, const std::string& table) {
  // A node holds the link to the next one, the entry and its cached hash; the bucket array keeps
  // a slot per entry, twice that while it grows; every allocation carries the allocator's header.
  constexpr size_t kAllocation = 16;
  constexpr size_t kNode =
      sizeof(void*) + sizeof(TablesStatusMap::value_type) + sizeof(size_t) + kAllocation;
  constexpr size_t kBucket = 2 * sizeof(void*);
  static const size_t inline_capacity = std::string().capacity();
  const auto heap = [](const std::string& name) {
    return name.capacity() > inline_capacity ? name.capacity() + 1 + kAllocation : 0;
  };
  return kNode + kBucket + heap(database) + heap(table);
}

Result<TablesStatusMap> read_tables_status_response(base::ByteSource& source,
                                                    uint64_t negotiated_revision,
                                                    const TablesStatusBounds& bounds) {
  TW_TRY(check_tables_status_revision(negotiated_revision));
  TW_ASSIGN_OR_RETURN(const uint64_t count, protocol::read_varint(source));
  if (count > kMaxTablesStatusEntries) [[unlikely]] {
    return Error::protocol(
        cat("TablesStatus entry count ", count, " exceeds limit ", kMaxTablesStatusEntries));
  }
  if (count > bounds.requested) [[unlikely]] {
    return Error::protocol(cat("TablesStatus answer lists ", count, " tables, ", bounds.requested,
                               " were asked about"));
  }
  const bool has_readonly = negotiated_revision >= protocol::kRevisionWithTableReadonly;

  // Not reserved from `count`: every entry takes at least three bytes that must arrive first.
  TablesStatusMap answer;
  KeptTexts names;
  size_t charged = 0;
  for (uint64_t i = 0; i < count; ++i) {
    TW_ASSIGN_OR_RETURN(std::string database, names.read(source));
    TW_ASSIGN_OR_RETURN(std::string table, names.read(source));
    // Charged before it is kept (a repeated pair too, though it takes no new node).
    const size_t cost = tables_status_entry_cost(database, table);
    if (cost > bounds.max_bytes - charged) [[unlikely]] {
      return Error::response_too_large(charged + cost, bounds.max_bytes);
    }
    charged += cost;
    TW_ASSIGN_OR_RETURN(const uint8_t replicated, source.read_u8());
    TableStatus status;
    if (replicated != 0) {
      status.is_replicated = true;
      TW_ASSIGN_OR_RETURN(status.absolute_delay, protocol::read_varint(source));
      if (has_readonly) {
        TW_ASSIGN_OR_RETURN(const uint64_t readonly, protocol::read_varint(source));
        status.is_readonly = readonly != 0;
      }
    }
    answer.insert_or_assign(QualifiedTableName(std::move(database), std::move(table)), status);
  }
  return answer;
}

Error unexpected_tables_status_packet(uint64_t packet_type) {
  return Error::protocol(cat("expected TablesStatusResponse packet, got ", packet_type));
}

std::optional<TableStatus> find_table_status(const TablesStatusMap& answer,
                                             std::string_view database, std::string_view table) {
  const auto it = answer.find(QualifiedTableName(std::string(database), std::string(table)));
  if (it == answer.end()) return std::nullopt;
  return it->second;
}

void write_ping(base::ByteBuffer& out) {
  protocol::write_varint(out, code(ClientPacket::Ping));
}

Status read_pong(base::ByteSource& source) {
  TW_ASSIGN_OR_RETURN(const uint8_t packet_type, source.read_u8());
  if (packet_type != code(protocol::ServerPacket::Pong)) [[unlikely]] {
    return Error::protocol("expected Pong");
  }
  return {};
}

void set_session_setting(ClientConfig& config, std::string name, std::string value) {
  config.settings.insert_or_assign(std::move(name), std::move(value));
}

}  // namespace tarnwick::sync
