#include "tarnwick/sync/query_packet.h"

#include "tarnwick/base/format.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using protocol::varint_length;
using protocol::write_string;
using protocol::write_varint;

namespace {

using compression::kMethodLz4;
using compression::kMethodNone;
using protocol::ClientPacket;
using protocol::code;

constexpr uint64_t kStageComplete = 2;
constexpr uint64_t kSettingFlags = 0;

constexpr std::string_view kSparseSetting = "ratio_of_defaults_for_sparse_serialization";
constexpr std::string_view kJsonAsStringSetting = "output_format_native_write_json_as_string";

size_t string_length(size_t bytes) {
  return varint_length(bytes) + bytes;
}

// The names of the two added settings, as keys for look-ups that allocate nothing.
const std::string& sparse_setting() {
  static const std::string name(kSparseSetting);
  return name;
}
const std::string& json_as_string_setting() {
  static const std::string name(kJsonAsStringSetting);
  return name;
}

bool names(const SettingsMap& map, const std::string& name) {
  return !map.empty() && map.find(name) != map.end();
}

void write_setting(ByteBuffer& out, std::string_view name, std::string_view value) {
  write_string(out, name);
  write_varint(out, kSettingFlags);
  write_string(out, value);
}

size_t settings_capacity(const SettingsMap& base, const SettingsMap& overlay) {
  size_t n = string_length(kSparseSetting.size()) + string_length(kJsonAsStringSetting.size()) +
             2 * (1 + string_length(1)) + 1;
  for (const auto* map : {&base, &overlay}) {
    for (const auto& [name, value] : *map) {
      n += string_length(name.size()) + 1 + string_length(value.size());
    }
  }
  return n;
}

size_t parameters_length(std::span<const QueryParameter> parameters) {
  size_t n = 0;
  for (const auto& p : parameters) {
    n += string_length(p.name.size()) + 1 + string_length(encoded_parameter_value_length(p));
  }
  return n;
}

bool sends_parameters(uint64_t revision) {
  return revision >= protocol::kRevisionWithParameters;
}

}  // namespace

base::Status check_send_compression(uint8_t compression) {
  if (compression == kCompressionOff || compression == kMethodNone || compression == kMethodLz4) {
    return {};
  }
  return base::Error::compression("ZSTD compression requested but 'zstd' feature not enabled");
}

base::Status write_empty_data_block_for(ByteBuffer& out, uint8_t compression,
                                        const FrameEncoder& encode) {
  TW_TRY(check_send_compression(compression));
  if (compression == kCompressionOff || compression == kMethodNone) {
    out.push_back(code(ClientPacket::Data));
    out.push_back(0);  // no table name
    out.append(kEmptyBlock.data(), kEmptyBlock.size());
    return {};
  }
  TW_ASSIGN_OR_RETURN(ByteBuffer frame, encode
                                            ? encode(kEmptyBlock, compression)
                                            : compression::encode_frame(kEmptyBlock, compression));
  out.push_back(code(ClientPacket::Data));
  out.push_back(0);
  out.append(frame.span());
  return {};
}

size_t write_settings_block(ByteBuffer& out, const SettingsMap& base, const SettingsMap& overlay,
                            uint64_t revision) {
  const size_t start = out.size();
  if (revision < protocol::kRevisionWithSettingsAsStrings) {
    out.push_back(0);
    return 1;
  }
  const std::string& sparse = sparse_setting();
  const std::string& json = json_as_string_setting();
  if (revision >= protocol::kRevisionWithSparseSerialization && !names(base, sparse) &&
      !names(overlay, sparse)) {
    write_setting(out, sparse, "1");
  }
  if (!names(base, json) && !names(overlay, json)) write_setting(out, json, "1");
  // Both maps are in key order: one walk finds the base entries the overlay replaces.
  auto replaced = overlay.begin();
  for (const auto& [name, value] : base) {
    while (replaced != overlay.end() && replaced->first < name) ++replaced;
    if (replaced == overlay.end() || replaced->first != name) write_setting(out, name, value);
  }
  for (const auto& [name, value] : overlay) write_setting(out, name, value);
  out.push_back(0);
  return out.size() - start;
}

base::Status check_settings_sendable(const SettingsMap& base, const SettingsMap& overlay,
                                     uint64_t revision) {
  if (revision >= protocol::kRevisionWithSettingsAsStrings) return {};
  const SettingsMap& named = base.empty() ? overlay : base;
  if (named.empty()) return {};
  return base::Error::protocol(
      base::cat("setting '", named.begin()->first, "' cannot be sent at protocol revision ",
                revision, ": servers below revision ", protocol::kRevisionWithSettingsAsStrings,
                " read settings in a typed binary form; settings need revision ",
                protocol::kRevisionWithSettingsAsStrings, " or later"));
}

base::Result<QueryPacketTemplate> build_query_packet_template(const ClientConfig& config,
                                                              uint64_t revision,
                                                              const FrameEncoder& encode) {
  QueryPacketTemplate t;
  t.revision = revision;
  if (revision >= protocol::kRevisionWithClientInfo) {
    t.client_info = build_client_info_template(config, revision);
  }
  t.session_settings = config.settings;
  t.settings_length = write_settings_block(t.middle, t.session_settings, {}, revision);
  if (revision >= protocol::kRevisionWithExternalRoles) write_varint(t.middle, 0);
  if (revision >= protocol::kRevisionWithInterserverSecret) write_varint(t.middle, 0);
  write_varint(t.middle, kStageComplete);
  t.middle.push_back(config.compression_enabled() ? 1 : 0);

  if (sends_parameters(revision)) t.tail.push_back(0);  // no parameters
  t.data_packet_offset = t.tail.size();
  TW_TRY(write_empty_data_block_for(t.tail, config.compression, encode));

  t.size_hint = 1 + t.middle.size() + t.tail.size();
  if (t.client_info) t.size_hint += t.client_info->prefix.size() + t.client_info->suffix.size();
  return t;
}

size_t query_packet_capacity(const QueryPacketTemplate& t, std::string_view query,
                             std::span<const QueryParameter> parameters,
                             const SettingsMap& overlay) {
  size_t n = t.size_hint + 2 * (1 + kMaxQueryIdLength) + string_length(query.size());
  if (!overlay.empty()) n += settings_capacity(t.session_settings, overlay);
  if (!parameters.empty()) n += parameters_length(parameters) + 1;
  return n;
}

void write_query_packet(ByteBuffer& out, const QueryPacketTemplate& t, const QueryId& id,
                        std::string_view query, std::span<const QueryParameter> parameters,
                        const SettingsMap& overlay) {
  out.clear();
  out.reserve(query_packet_capacity(t, query, parameters, overlay));
  out.push_back(code(ClientPacket::Query));
  write_string(out, id.view());
  if (t.client_info) write_client_info_from_template(out, *t.client_info, id.view());
  if (overlay.empty()) {
    out.append(t.middle.span());
  } else {
    write_settings_block(out, t.session_settings, overlay, t.revision);
    out.append(t.middle.span().subspan(t.settings_length));
  }
  write_string(out, query);
  if (parameters.empty()) {
    out.append(t.tail.span());
    return;
  }
  if (sends_parameters(t.revision)) {
    for (const auto& p : parameters) write_query_parameter(out, p);
    out.push_back(0);
  }
  out.append(t.tail.span().subspan(t.data_packet_offset));
}

QueryId write_query_packet(ByteBuffer& out, const QueryPacketTemplate& t, std::string_view query,
                           std::span<const QueryParameter> parameters, const SettingsMap& overlay) {
  QueryId id = QueryId::next();
  write_query_packet(out, t, id, query, parameters, overlay);
  return id;
}

void write_ignored_part_uuids(ByteBuffer& out, std::span<const PartUuid> uuids) {
  if (uuids.empty()) return;
  out.reserve(out.size() + 1 + varint_length(uuids.size()) + 16 * uuids.size());
  out.push_back(code(ClientPacket::IgnoredPartUuids));
  write_varint(out, uuids.size());
  for (const auto& uuid : uuids) out.append(uuid.data(), uuid.size());
}

}  // namespace tarnwick::sync
