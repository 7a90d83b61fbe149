// The exchanges of a SyncClient after set-up: buffered queries and statements, inserts, ping,
// table status, settings and the schema cache.
#include <algorithm>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/block_writer.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/chunked.h"
#include "tarnwick/sync/client.h"
#include "tarnwick/sync/response.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using base::Error;
using base::ErrorKind;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;
using protocol::Block;

namespace {

constexpr base::Duration kMaxDrain = base::Duration::from_secs(5);

const SettingsMap& no_overlay() {
  static const SettingsMap empty;
  return empty;
}

// Wipes a packet buffer that may carry the client's credentials (the initial user).
struct WipeOnExit {
  ByteBuffer& buffer;
  ~WipeOnExit() { buffer.wipe(); }
};

}  // namespace

// ---- exchange bookkeeping ----

Status SyncClient::broken_error() const {
  return Error::io(IoError::custom(
      IoKind::NotConnected, "connection is broken by an earlier failed exchange; reconnect"));
}

Status SyncClient::check_connection() {
  if (stream_link_) {
    switch (stream_link_->state()) {
      case StreamLink::State::Reading:
        return Error::protocol(
            "a query stream is still reading this connection; read it to its end or discard it");
      case StreamLink::State::Abandoned:
        mark_broken();  // the rest of its response is still on the connection
        break;
      case StreamLink::State::Ended:
        // What the stream received past its response is the start of what comes next.
        reader_->give_back(stream_link_->take_leftover_payload(),
                           stream_link_->take_leftover_raw());
        // The stream's thread writes nothing but its answers to the server's parallel-replica
        // requests: a response it saw end in an exception is checked here, by a Ping, before the
        // next exchange writes anything.
        if (stream_link_->ended_by_exception()) {
          DeadlineScope deadline = exchange_deadline();
          check_in_step();
        }
        break;
    }
    stream_link_.reset();
  }
  if (broken_) return broken_error();
  return {};
}

Status SyncClient::check_idle() {
  TW_TRY(check_connection());
  if (insert_open_) {
    return Error::protocol(
        "an insert is in progress on this connection; finish it with end_insert_stream()");
  }
  return {};
}

void SyncClient::mark_broken() {
  if (!broken_) transport_->shutdown();
  broken_ = true;
  insert_open_ = false;
  insert_structure_.reset();
}

Status SyncClient::settle(Status status) {
  if (status.ok()) return status;
  const ErrorKind kind = status.error().kind();
  if (kind != ErrorKind::Server && kind != ErrorKind::ResponseTooLarge) mark_broken();
  return status;
}

Status SyncClient::settle_query(Status status) {
  Status settled = settle(std::move(status));
  if (!settled.ok() && settled.error().kind() == ErrorKind::Server) check_in_step();
  return settled;
}

void SyncClient::check_in_step() {
  ByteBuffer packet;
  write_ping(packet);
  // Only the packet type is read: whatever follows anything but Pong is never needed.
  if (!send_packet(packet.span()).ok() || !read_pong(*reader_).ok()) mark_broken();
}

std::string exchange_timeout_text(base::Duration query_timeout) {
  return base::cat("timed out: the exchange took longer than query_timeout (",
                   display_duration(query_timeout), ")");
}

DeadlineScope SyncClient::exchange_deadline() {
  return DeadlineScope(*transport_, config_.query_timeout,
                       exchange_timeout_text(config_.query_timeout));
}

Status SyncClient::send_packet(std::span<const uint8_t> packet) {
  return write_native_packet(*reader_, packet, server_info_.send_chunked);
}

// ---- buffered queries ----

Status SyncClient::send_query(std::string_view query, std::span<const QueryParameter> params,
                              const std::map<std::string, std::string>* settings,
                              std::span<const std::array<uint8_t, 16>> ignored_part_uuids) {
  TW_TRY(check_send_compression(config_.compression));
  const SettingsMap& overlay = settings != nullptr ? *settings : no_overlay();
  TW_TRY(check_settings_sendable(query_template_.session_settings, overlay, revision()));
  if (!ignored_part_uuids.empty() && revision() <= protocol::kLastRevisionWithoutIgnoredPartUuids) {
    return Error::protocol(base::cat("ignored_part_uuids cannot be sent at protocol revision ",
                                     revision(), ": servers at revision ",
                                     protocol::kLastRevisionWithoutIgnoredPartUuids,
                                     " and below do not read the IgnoredPartUUIDs packet"));
  }
  const bool chunked = server_info_.send_chunked;
  ByteBuffer uuids;
  if (!ignored_part_uuids.empty()) {
    write_ignored_part_uuids(uuids, ignored_part_uuids);
    TW_TRY(check_packet_length(uuids.size(), chunked));
  }
  ByteBuffer packet(query_packet_capacity(query_template_, query, params, overlay));
  WipeOnExit wipe{packet};
  write_query_packet(packet, query_template_, query, params, overlay);
  TW_TRY(check_packet_length(packet.size(), chunked));
  // From here on bytes reach the server: a failure leaves the connection unusable.
  if (!uuids.empty()) TW_TRY(settle(send_packet(uuids.span())));
  return settle(send_packet(packet.span()));
}

Result<std::vector<Block>> SyncClient::collect_response() {
  const ResponseContext context{revision(), server_info_.send_chunked,
                                config_.compression_enabled(), block_buffers_.get()};
  block_buffers_.get()->begin_response();
  auto blocks = read_query_response(*reader_, context, base::deadline_after(config_.query_timeout),
                                    config_.max_response_size);
  block_buffers_.get()->end_response();
  if (blocks.ok() || blocks.error().kind() != ErrorKind::ResponseTooLarge) return blocks;
  Error too_large = std::move(blocks).error();
  // The refused block was read to its end: the server is told to stop and the rest is drained.
  if (!cancel_and_drain().ok()) mark_broken();
  return too_large;
}

Status SyncClient::send_cancel() {
  const uint8_t cancel[1] = {protocol::code(protocol::ClientPacket::Cancel)};
  return send_packet(cancel);
}

Status SyncClient::cancel_and_drain() {
  TW_TRY(send_cancel());
  // The drain is capped: reads, a stalled one included, wait no longer than what is left of it.
  const base::Duration cap = std::min(config_.query_timeout, kMaxDrain);
  DeadlineScope drain(
      *transport_, cap,
      base::cat("timed out: the drain after a cancel took longer than ", display_duration(cap)));
  auto rows = read_response_row_count(*reader_, transport_->deadline()->at, revision(),
                                      server_info_.send_chunked, config_.compression_enabled());
  return rows.ok() ? Status{} : Status(std::move(rows).error());
}

Status SyncClient::drain_in_flight() {
  auto rows =
      read_response_row_count(*reader_, base::deadline_after(config_.query_timeout), revision(),
                              server_info_.send_chunked, config_.compression_enabled());
  return rows.ok() ? Status{} : Status(std::move(rows).error());
}

Result<std::vector<Block>> SyncClient::query_with_params_settings_and_ignored_part_uuids(
    std::string_view query, std::span<const QueryParameter> params,
    const std::map<std::string, std::string>* settings,
    std::span<const std::array<uint8_t, 16>> ignored_part_uuids) {
  TW_TRY(check_idle());
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(send_query(query, params, settings, ignored_part_uuids));
  auto blocks = collect_response();
  if (!blocks.ok()) TW_TRY(settle_query(std::move(blocks).error()));
  return blocks;
}

Status SyncClient::execute_with_params_settings_and_ignored_part_uuids(
    std::string_view query, std::span<const QueryParameter> params,
    const std::map<std::string, std::string>* settings,
    std::span<const std::array<uint8_t, 16>> ignored_part_uuids) {
  TW_TRY(check_idle());
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(send_query(query, params, settings, ignored_part_uuids));
  TW_TRY(settle_query(drain_in_flight()));
  if (query_may_change_schema(query)) clear_schema_cache();
  return {};
}

Status SyncClient::drain_response() {
  TW_TRY(check_connection());
  DeadlineScope deadline = exchange_deadline();
  return settle_query(drain_in_flight());
}

// ---- inserts ----

Status SyncClient::begin_insert(std::string_view query) {
  TW_TRY(check_idle());
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(send_query(query, {}, nullptr, {}));
  const ResponseContext context{revision(), server_info_.send_chunked,
                                config_.compression_enabled()};
  Result<std::optional<Block>> structure =
      read_insert_table_structure(*reader_, context, base::deadline_after(config_.query_timeout));
  if (!structure.ok()) return settle_query(std::move(structure).error());
  // A statement that takes no data (INSERT ... SELECT, inline values) has run to its end: the
  // connection is idle again.
  if (!*structure) return Error::protocol("unexpected EndOfStream before insert data");
  insert_open_ = true;
  // Servers below this revision read each column by its name with the table's own type, whatever
  // its type on the wire: a block that does not fit would corrupt the table or lose a column. The
  // structure was charged to the block limit as it was read.
  if (revision() < protocol::kRevisionCheckingInsertColumns) {
    insert_structure_ = TableSchema::of_structure_block(std::move(**structure));
  } else {
    insert_structure_.reset();
  }
  return {};
}

Status SyncClient::check_insert_structure(std::string_view table_name, const Block& block) {
  if (!insert_structure_) return {};
  Status checked = insert_structure_->check_insert_structure(table_name, block);
  if (!checked.ok()) abandon_insert();
  return checked;
}

void SyncClient::abandon_insert() {
  insert_open_ = false;
  insert_structure_.reset();
  // The server takes the Cancel for the end of the data (blocks already sent are stored) and
  // answers as to a statement; an answer that does not end cleanly leaves the connection broken.
  DeadlineScope deadline = exchange_deadline();
  (void)settle_query(cancel_and_drain());
}

Status SyncClient::send_data(std::string_view table_name, const Block& block) {
  TW_TRY(check_connection());
  if (!insert_open_) return Error::protocol("no insert in progress; call begin_insert first");
  TW_TRY(check_send_compression(config_.compression));
  if (!table_name.empty() && config_.validate_schema) {
    // Fetching a schema here would run a query inside the insert; it must be cached already.
    const TableSchema* schema = schema_cache_.find(table_name);
    if (schema == nullptr) {
      return Error::protocol(base::cat("schema of table '", table_name,
                                       "' is not cached; fetch it with schema_for_table before "
                                       "begin_insert"));
    }
    TW_TRY(schema->validate_insert_block(table_name, block));
  }
  TW_TRY(check_insert_structure(table_name, block));
  return send_block(table_name, block);
}

Status SyncClient::insert(std::string_view query, std::string_view table_name,
                          std::span<const Block> blocks) {
  // Every block is checked before the INSERT is sent: a refused one leaves nothing half-sent.
  if (config_.validate_schema && !table_name.empty() && !blocks.empty()) {
    TW_ASSIGN_OR_RETURN(const TableSchema schema, schema_for_table(table_name));
    for (const Block& block : blocks) TW_TRY(schema.validate_insert_block(table_name, block));
  }
  TW_TRY(begin_insert(query));
  for (const Block& block : blocks) TW_TRY(check_insert_structure(table_name, block));
  for (const Block& block : blocks) TW_TRY(send_block(table_name, block));
  return end_insert();
}

Status SyncClient::send_block(std::string_view table_name, const Block& block) {
  // On the wire a block without rows ends the data: it is not sent.
  if (block.rows == 0) return {};
  // A decoded block holds its LowCardinality columns expanded; they travel encoded.
  TW_ASSIGN_OR_RETURN(std::optional<Block> encoded, protocol::wire_form(block));
  const Block& sent = encoded ? *encoded : block;
  DeadlineScope deadline = exchange_deadline();
  if (!config_.compression_enabled()) {
    return settle_insert_write(send_data_vectored(table_name, sent));
  }

  const protocol::BlockLayout layout = protocol::BlockLayout::for_revision(revision());
  ByteBuffer packet;
  TW_TRY(protocol::write_data_packet_compressed(packet, table_name, sent, config_.compression,
                                                layout));
  TW_TRY(check_packet_length(packet.size(), server_info_.send_chunked));
  return settle_insert_write(send_packet(packet.span()));
}

Status SyncClient::send_data_vectored(std::string_view table_name, const Block& block) {
  // The head and the small column headers are built here; column bodies go out from the block's
  // own buffers.
  ByteBuffer head;
  protocol::write_varint(head, protocol::code(protocol::ClientPacket::Data));
  protocol::write_string(head, table_name);
  head.append(std::span<const uint8_t>(kEmptyBlock.data(), 8));  // block info
  protocol::write_varint(head, block.columns.size());
  protocol::write_varint(head, block.rows);
  const bool flag = protocol::BlockLayout::for_revision(revision()).serialization_flag;
  std::vector<ByteBuffer> headers(block.columns.size());
  std::vector<std::span<const uint8_t>> slices;
  slices.reserve(1 + 2 * block.columns.size());
  slices.push_back(head.span());
  for (size_t i = 0; i < block.columns.size(); ++i) {
    const auto& column = block.columns[i];
    protocol::write_string(headers[i], column.name);
    protocol::write_string(headers[i], column.type_name);
    if (flag) headers[i].push_back(0);
    slices.push_back(headers[i].span());
    if (column.data.size() != 0) slices.push_back(column.data.span());
  }
  return write_native_packet(*reader_, slices, server_info_.send_chunked);
}

Status SyncClient::end_insert() {
  TW_TRY(check_connection());
  if (!insert_open_) return Error::protocol("no insert in progress; call begin_insert first");
  ByteBuffer packet;
  TW_TRY(write_empty_data_block_for(packet, config_.compression));
  TW_TRY(check_packet_length(packet.size(), server_info_.send_chunked));
  insert_open_ = false;
  insert_structure_.reset();
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(settle_insert_write(send_packet(packet.span())));
  return settle_query(drain_in_flight());
}

Status SyncClient::settle_insert_write(Status written) {
  if (written.ok()) return written;
  // A server that refuses the data sends its exception, stops reading and closes the connection,
  // so the write that follows fails; the exception, already received, says why. Reading it stays
  // within the exchange's deadline.
  if (written.error().kind() == ErrorKind::Io) {
    Status answer = drain_in_flight();
    if (!answer.ok() && answer.error().kind() == ErrorKind::Server) written = std::move(answer);
  }
  mark_broken();
  return written;
}

// ---- ping, table status, settings ----

Status SyncClient::ping() {
  TW_TRY(check_idle());
  ByteBuffer packet;
  write_ping(packet);
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(settle(send_packet(packet.span())));
  return settle(read_pong(*reader_));
}

Result<TablesStatusMap> SyncClient::tables_status(std::span<const QualifiedTableName> tables) {
  TW_TRY(check_tables_status_revision(revision()));
  TW_TRY(check_idle());
  ByteBuffer packet;
  write_tables_status_request(packet, tables);
  TW_TRY(check_packet_length(packet.size(), server_info_.send_chunked));
  DeadlineScope deadline = exchange_deadline();
  TW_TRY(settle(send_packet(packet.span())));
  const TablesStatusBounds bounds{tables.size(), kTablesStatusByteLimit};
  auto answer = read_tables_status_answer(
      *reader_, revision(), bounds, [](base::ByteSource& in) { return read_exception_packet(in); });
  if (!answer.ok()) {
    // An answer refused for its size is left part-read: no later packet can be found.
    if (answer.error().kind() == ErrorKind::ResponseTooLarge) mark_broken();
    TW_TRY(settle(std::move(answer).error()));
  }
  return answer;
}

Result<std::optional<TableStatus>> SyncClient::table_status(std::string_view database,
                                                            std::string_view table) {
  const QualifiedTableName name{std::string(database), std::string(table)};
  TW_ASSIGN_OR_RETURN(TablesStatusMap answer, tables_status(std::span(&name, 1)));
  return find_table_status(answer, database, table);
}

void SyncClient::set_setting(std::string name, std::string value) {
  set_session_setting(config_, std::move(name), std::move(value));
  // The template depends on the settings and the connection's fixed choices only; with those
  // accepted at connect time the rebuild cannot fail, and on failure the old one stays.
  auto rebuilt = build_query_packet_template(config_, revision());
  if (rebuilt.ok()) query_template_ = std::move(rebuilt).value();
}

// ---- schemas ----

Result<TableSchema> SyncClient::fetch_schema_for_table(std::string_view table) {
  return fetch_table_schema(table, [this](const std::string& statement) {
    return query_with_params_settings_and_ignored_part_uuids(statement, {}, nullptr, {});
  });
}

Result<TableSchema> SyncClient::schema_for_table(std::string_view table) {
  return schema_cache_.get(table, [this](const std::string& statement) {
    return query_with_params_settings_and_ignored_part_uuids(statement, {}, nullptr, {});
  });
}

Result<TableSchema> SyncClient::refresh_schema_for_table(std::string_view table) {
  return schema_cache_.refresh(table, [this](const std::string& statement) {
    return query_with_params_settings_and_ignored_part_uuids(statement, {}, nullptr, {});
  });
}

}  // namespace tarnwick::sync
