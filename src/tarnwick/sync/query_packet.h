// The Query packet and the empty Data packet that follows it (no external tables), built from a
// per-connection template that holds every byte that does not change between queries. Building a
// packet into a buffer that is already large enough allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/sync/client_info.h"
#include "tarnwick/sync/config.h"
#include "tarnwick/sync/parameters.h"
#include "tarnwick/sync/query_id.h"

namespace tarnwick::sync {

using SettingsMap = std::map<std::string, std::string>;

// Encodes `payload` as one compressed frame with method byte `method`. An empty encoder stands for
// the frame codec's compression::encode_frame.
using FrameEncoder =
    std::function<base::Result<base::ByteBuffer>(std::span<const uint8_t> payload, uint8_t method)>;

// The block with no columns and no rows: block info (field 1 = 0, field 2 = -1, end), 0, 0.
inline constexpr std::array<uint8_t, 10> kEmptyBlock = {0x01, 0x00, 0x02, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0x00, 0x00, 0x00};

// Data blocks can be sent with compression off, method none (0x02) and LZ4 (0x82); any other
// method fails with Error::Compression "ZSTD compression requested but 'zstd' feature not
// enabled". Every send that carries a data block calls this before writing its first byte.
base::Status check_send_compression(uint8_t compression);

// Appends the empty Data packet: type 2, an empty table name, the empty block as it is when
// compression is off or 0x02, else as one frame with `compression` as its method byte.
base::Status write_empty_data_block_for(base::ByteBuffer& out, uint8_t compression,
                                        const FrameEncoder& encode = {});

// Appends a settings block (entries of name, flags 0, value; ended by an empty name) made of the
// two settings the client adds unless either map names them, the base entries the overlay does
// not override and the overlay entries, each map in key order. Returns the bytes appended. Below
// revision 54429 the block is the terminator alone: such servers read settings in a binary form
// of each setting's own type.
size_t write_settings_block(base::ByteBuffer& out, const SettingsMap& base,
                            const SettingsMap& overlay, uint64_t revision);

// Refuses settings that a server of `revision` cannot be sent (any at all below revision 54429),
// naming the first of them; the caller sends nothing then.
base::Status check_settings_sendable(const SettingsMap& base, const SettingsMap& overlay,
                                     uint64_t revision);

struct QueryPacketTemplate {
  uint64_t revision = 0;  // negotiated
  std::optional<ClientInfoTemplate> client_info;
  // The session settings block, then the empty strings, processing stage and compression flag.
  base::ByteBuffer middle;
  size_t settings_length = 0;  // the settings block at the start of `middle`
  // The parameter terminator (when parameters exist at this revision), then the empty Data packet.
  base::ByteBuffer tail;
  size_t data_packet_offset = 0;  // where the empty Data packet starts in `tail`
  SettingsMap session_settings;   // for re-serializing with a per-query overlay
  size_t size_hint = 0;           // the fixed bytes' total length
};

// Builds the template for `config` at negotiated revision `revision`. Fails with the error of
// check_send_compression, or of `encode` when the empty block has to be framed.
base::Result<QueryPacketTemplate> build_query_packet_template(const ClientConfig& config,
                                                              uint64_t revision,
                                                              const FrameEncoder& encode = {});

// The exact size write_query_packet needs at most for these inputs.
size_t query_packet_capacity(const QueryPacketTemplate& tmpl, std::string_view query,
                             std::span<const QueryParameter> parameters,
                             const SettingsMap& overlay);

// Clears `out` and writes the Query packet with query id `id` and the empty Data packet after it.
void write_query_packet(base::ByteBuffer& out, const QueryPacketTemplate& tmpl, const QueryId& id,
                        std::string_view query, std::span<const QueryParameter> parameters,
                        const SettingsMap& overlay);

// The same with a fresh query id, which it returns.
QueryId write_query_packet(base::ByteBuffer& out, const QueryPacketTemplate& tmpl,
                           std::string_view query, std::span<const QueryParameter> parameters = {},
                           const SettingsMap& overlay = {});

using PartUuid = std::array<uint8_t, 16>;

// Appends the IgnoredPartUUIDs packet: type 8, the count, each UUID's 16 bytes as given. Callers
// send nothing for an empty list.
void write_ignored_part_uuids(base::ByteBuffer& out, std::span<const PartUuid> uuids);

}  // namespace tarnwick::sync
