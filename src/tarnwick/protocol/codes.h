// The numbers of the native protocol in one place: the packet types of both directions and the
// protocol revisions from which a field or a packet form exists. A revision test reads
// `revision >= kRevisionWith...`, with the negotiated revision unless the comment says otherwise.
#pragma once

#include <cstdint>

namespace tarnwick::protocol {

// Packet types the client sends; the values are the wire numbers.
enum class ClientPacket : uint8_t {
  Hello = 0,
  Query = 1,
  Data = 2,
  Cancel = 3,
  Ping = 4,
  TablesStatusRequest = 5,
  IgnoredPartUuids = 8,
  ReadTaskResponse = 9,
  MergeTreeReadTaskResponse = 10,
  SshChallengeRequest = 11,
  SshChallengeResponse = 12,
};

// Packet types the server sends; the values are the wire numbers.
enum class ServerPacket : uint8_t {
  Hello = 0,
  Data = 1,
  Exception = 2,
  Progress = 3,
  Pong = 4,
  EndOfStream = 5,
  ProfileInfo = 6,
  Totals = 7,
  Extremes = 8,
  TablesStatusResponse = 9,
  Log = 10,
  TableColumns = 11,
  PartUuids = 12,
  ReadTaskRequest = 13,
  ProfileEvents = 14,
  MergeTreeAllRangesAnnouncement = 15,
  MergeTreeReadTaskRequest = 16,
  TimezoneUpdate = 17,
  SshChallenge = 18,
};

// The wire number of a packet type.
constexpr uint8_t code(ClientPacket packet) {
  return static_cast<uint8_t>(packet);
}
constexpr uint8_t code(ServerPacket packet) {
  return static_cast<uint8_t>(packet);
}

// Query packet: the client info block.
inline constexpr uint64_t kRevisionWithClientInfo = 54032;
// Server Hello: time zone.
inline constexpr uint64_t kRevisionWithServerTimezone = 54058;
// Client info: quota key.
inline constexpr uint64_t kRevisionWithQuotaKeyInClientInfo = 54060;
// TablesStatusRequest and its response.
inline constexpr uint64_t kRevisionWithTablesStatus = 54226;
// Server Hello: display name.
inline constexpr uint64_t kRevisionWithServerDisplayName = 54372;
// Server Hello and client info: the version patch number.
inline constexpr uint64_t kRevisionWithVersionPatch = 54401;
// Progress: written rows and bytes.
inline constexpr uint64_t kRevisionWithProgressWrites = 54420;
// Settings travel as strings with flags (name, flags, value) rather than in their binary form.
inline constexpr uint64_t kRevisionWithSettingsAsStrings = 54429;
// Query packet: the interserver secret (sent empty).
inline constexpr uint64_t kRevisionWithInterserverSecret = 54441;
// Client info: the trace context flag.
inline constexpr uint64_t kRevisionWithTraceContext = 54442;
// Client info: the distributed depth.
inline constexpr uint64_t kRevisionWithDistributedDepth = 54448;
// Client info: the initial query start time.
inline constexpr uint64_t kRevisionWithQueryStartTime = 54449;
// Client info: the three parallel-replica fields.
inline constexpr uint64_t kRevisionWithParallelReplicas = 54453;
// Native block: each column carries a byte that says whether it has a custom serialization.
inline constexpr uint64_t kRevisionWithCustomSerialization = 54454;
// Insert: servers from here on check or convert each column of a block themselves. Those below it
// read each column by its name with the table's own type, checking nothing: the client checks the
// blocks against the table's structure there.
inline constexpr uint64_t kRevisionCheckingInsertColumns = kRevisionWithCustomSerialization;
// Native block, up to this revision (the test reads `revision <=`): a LowCardinality nested in an
// Array, Map or Tuple has a body (flags, key count, an empty dictionary, an index count of 0) even
// when it holds no rows.
inline constexpr uint64_t kLastRevisionWithEmptyLowCardinalityBody = 54412;
// Query, up to this revision (the test reads `revision <=`): the server does not know the
// IgnoredPartUUIDs packet and closes the connection on it. 18.16 is the newest server known to
// answer so; where between it and current servers the packet became known is not assumed.
inline constexpr uint64_t kLastRevisionWithoutIgnoredPartUuids = 54412;
// The Hello addendum after the server Hello.
inline constexpr uint64_t kRevisionWithAddendum = 54458;
// Query packet: query parameters and their terminator.
inline constexpr uint64_t kRevisionWithParameters = 54459;
// Progress: the elapsed time.
inline constexpr uint64_t kRevisionWithProgressElapsed = 54460;
// Server Hello: password complexity rules.
inline constexpr uint64_t kRevisionWithPasswordComplexityRules = 54461;
// Server Hello: the nonce.
inline constexpr uint64_t kRevisionWithNonce = 54462;
// Progress: the total bytes to read.
inline constexpr uint64_t kRevisionWithProgressTotalBytes = 54463;
// Settings: the client asks for sparse columns to be sent in full.
inline constexpr uint64_t kRevisionWithSparseSerialization = 54465;
// SSH-key authentication (tested against the configured revision).
inline constexpr uint64_t kRevisionWithSshAuth = 54466;
// TablesStatusResponse: the read-only flag.
inline constexpr uint64_t kRevisionWithTableReadonly = 54467;
// ProfileInfo: the rows-before-aggregation flag and count.
inline constexpr uint64_t kRevisionWithRowsBeforeAggregation = 54469;
// Server Hello and addendum: the chunked framing modes.
inline constexpr uint64_t kRevisionWithChunkedPackets = 54470;
// Server Hello and addendum: the parallel-replicas protocol version.
inline constexpr uint64_t kRevisionWithReplicasVersion = 54471;
// Query packet: the externally granted roles (sent empty).
inline constexpr uint64_t kRevisionWithExternalRoles = 54472;
// Server Hello: the server's settings.
inline constexpr uint64_t kRevisionWithServerSettings = 54474;
// Client info: the script query number and line number.
inline constexpr uint64_t kRevisionWithQueryAndLineNumbers = 54475;
// Client info: the JWT flag.
inline constexpr uint64_t kRevisionWithJwtFlag = 54476;
// Server Hello: the version number kept as version_54477.
inline constexpr uint64_t kRevisionWithVersion54477 = 54477;
// Server Hello: the version number kept as version_54479.
inline constexpr uint64_t kRevisionWithVersion54479 = 54479;

}  // namespace tarnwick::protocol
