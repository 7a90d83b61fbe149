// The readers of what the server sends outside blocks. The first byte picks the packet (its low
// five bits) and the negotiated revision (its high three); the rest is the packet. Every input is
// read twice, whole and one byte per refill: both reads must agree on success and on the bytes
// they consumed.
//
// Packet choices: 0 the server Hello (with its type; then the chunked-mode negotiation), 9 the
// TablesStatus response body, 1..18 otherwise the packet loop's reader for that type, 19 the
// handshake's exception chain, 20 TableColumns, 21 the parallel-replica ranges description,
// 22 the TablesStatus answer (with its type), 23..31 wide unknown types.
#include "tarnwick/sync/server_packets.h"

#include <string>

#include "fuzz_support.h"
#include "tarnwick/base/byte_sink.h"
#include "tarnwick/sync/config.h"
#include "tarnwick/sync/handshake.h"
#include "tarnwick/sync/table_status.h"

namespace tarnwick::fuzz {

namespace {

const sync::TablesStatusBounds kTablesStatusBounds{sync::kMaxTablesStatusEntries,
                                                   sync::kTablesStatusByteLimit};

constexpr uint64_t kRevisions[8] = {54412, 54459, 54460, 54463, 54464, 54469, 54477, 54483};

bool read_one(base::ByteSource& in, uint8_t choice, uint64_t revision) {
  switch (choice) {
    case 0: {
      auto info = sync::read_server_hello(in, revision);
      if (!info.ok()) return false;
      sync::ClientConfig config;
      config.revision = revision;
      (void)sync::negotiate_chunked_modes(*info, config);
      return true;
    }
    case 9:
      return sync::read_tables_status_response(in, revision, kTablesStatusBounds).ok();
    case 19:
      return sync::read_exception_chain(in).ok();
    case 20:
      return sync::read_table_columns_body(in).ok();
    case 21:
      return sync::skip_ranges_in_data_parts_description(in).ok();
    case 22:
      return sync::read_tables_status_answer(
                 in, revision, kTablesStatusBounds,
                 [](base::ByteSource& s) { return sync::read_exception_packet(s); })
          .ok();
    default: {
      base::BufferSink answers;
      sync::ServerPacketContext context{revision, &answers, (choice & 1) != 0};
      const uint64_t type = choice <= 18 ? choice : (uint64_t{1} << 8) + choice;
      return sync::read_server_packet_body(in, type, context).ok();
    }
  }
}

}  // namespace

int fuzz_server_packets(const uint8_t* data, size_t size) {
  if (size == 0) return -1;
  const uint8_t choice = data[0] & 0x1f;
  const uint64_t revision = kRevisions[data[0] >> 5];
  const std::span<const uint8_t> rest(data + 1, size - 1);

  ChunkSource whole(rest, 0);
  ChunkSource slow(rest, 1);
  const bool whole_ok = read_one(whole, choice, revision);
  const bool slow_ok = read_one(slow, choice, revision);
  TW_FUZZ_CHECK(whole_ok == slow_ok);
  if (whole_ok) TW_FUZZ_CHECK(whole.consumed() == slow.consumed());
  return 0;
}

}  // namespace tarnwick::fuzz
