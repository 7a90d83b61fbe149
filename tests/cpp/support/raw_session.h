// A minimal native-protocol session at revision 54412 for integration tests against the real
// server: a blocking loopback socket with send and receive timeouts and an overall deadline per
// exchange, the Hello exchange, Query packets with compression on, and a reader of the server's
// packets that decodes Data blocks through DecompressingReader and the column reader. That
// revision's blocks carry no per-column flag byte, in either direction.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/sync/socket.h"

namespace tarnwick::testing {

inline constexpr uint64_t kRawRevision = 54412;

struct RawColumn {
  std::string name;
  std::string type;
  std::vector<uint8_t> body;  // native layout
};

struct RawBlock {
  uint64_t rows = 0;
  std::vector<RawColumn> columns;
};

// Everything the server sent up to the packet that ended the exchange.
struct RawReply {
  std::vector<RawBlock> blocks;          // Data packets, in order (header blocks included)
  std::optional<std::string> exception;  // the messages of an Exception packet, joined by " | "
  bool end_of_stream = false;
};

// The bytes of a block at this revision: block info, counts, per column name, type and body.
void write_raw_block(base::ByteBuffer& out, const RawBlock& block);

// A client Data packet (empty table name) carrying `framed`, a block already in compressed frames.
base::ByteBuffer raw_data_packet(std::span<const uint8_t> framed);

class RawSession final : public base::ByteSource {
 public:
  // Connects to "host:port", sends Hello (user default, no password) and reads the server's.
  base::Status open(const std::string& address);

  base::Status send(std::span<const uint8_t> bytes);
  // A Query packet with compression on, then the empty compressed Data packet that ends the
  // (absent) external tables.
  base::Status send_query(std::string_view query);
  // The empty compressed Data packet that ends an insert.
  base::Status send_end_of_data();

  // Reads packets until EndOfStream or Exception, or, with `stop_at_data`, the first Data packet.
  base::Result<RawReply> read_reply(bool stop_at_data = false);

  // Runs a statement and expects EndOfStream without an exception.
  base::Status execute(std::string_view query);

 protected:
  base::Result<size_t> refill() override;

 private:
  sync::Socket socket_;
  std::chrono::steady_clock::time_point deadline_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(1 << 16);
};

}  // namespace tarnwick::testing
