// A query stream over arbitrary server bytes, read twice: once in receives of a few bytes each, so
// that nearly every packet arrives in pieces and its reading waits for more inside it, and once
// with the whole input in the first receive. Both readings must yield the same blocks and end the
// same way (at EndOfStream, or with an error).
//
// Selector flags: bit 0 makes the receive direction chunked, bit 1 turns compression on; the chunk
// bits give the small receive size (0 reads one byte at a time).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "tarnwick/sync/stream.h"

namespace tarnwick::fuzz {

namespace {

struct Reading {
  std::vector<std::string> blocks;  // per block: rows, then each column's name, type and bytes
  bool ended = false;               // EndOfStream, not an error
};

std::string describe(const protocol::Block& block) {
  std::string out = std::to_string(block.rows);
  for (const protocol::ColumnInfo& column : block.columns) {
    out += '|' + column.name + '|' + column.type_name + '|';
    const base::Bytes& bytes = column.materialized.empty() ? column.data : column.materialized;
    out.append(bytes.view());
  }
  return out;
}

std::optional<Reading> read_all(std::span<const uint8_t> input, size_t read_chunk, bool chunked,
                                bool compressed) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return std::nullopt;
  sync::Socket server(fds[1]);
  // The input is small (libFuzzer's default length limit), so it fits the socket's buffer.
  size_t sent = 0;
  while (sent < input.size()) {
    const ssize_t n = ::send(server.fd(), input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return std::nullopt;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(server.fd(), SHUT_WR);  // the end of the input is the end of the connection
  // The stream answers parallel-replica task requests with writes: they are read off here until
  // the stream's end of the pair closes, so that no answer waits for room in the socket's buffer.
  // Declared before the stream, it is joined after the stream is gone.
  std::jthread drain([fd = server.fd()] {
    char sink[4096];
    for (;;) {
      const ssize_t n = ::read(fd, sink, sizeof sink);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  });

  sync::StreamSettings settings;
  settings.read_chunk = read_chunk;
  settings.revision = 54483;
  settings.compression = compressed;
  settings.recv_chunked = chunked;
  settings.block_byte_limit = 1 << 20;
  sync::QueryStream stream(sync::Transport::new_plain(sync::Socket(fds[0])), {}, {}, settings,
                           std::make_shared<sync::StreamLink>());
  Reading out;
  for (;;) {
    auto next = stream.read_next_block();
    if (!next.ok()) break;
    if (!next->has_value()) {
      out.ended = true;
      break;
    }
    out.blocks.push_back(describe(**next));
  }
  // Once ended, the stream stays ended.
  auto after = stream.read_next_block();
  TW_FUZZ_CHECK(after.ok() && !after->has_value());
  return out;
}

}  // namespace

int fuzz_stream_buffer(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  if (in.rest.size() > 65536) return -1;
  const bool chunked = (in.flags & 1) != 0;
  const bool compressed = (in.flags & 2) != 0;
  const auto pieces = read_all(in.rest, in.chunk == 0 ? 1 : in.chunk, chunked, compressed);
  const auto whole = read_all(in.rest, 1 << 17, chunked, compressed);
  if (!pieces || !whole) return 0;
  TW_FUZZ_CHECK(pieces->blocks == whole->blocks);
  TW_FUZZ_CHECK(pieces->ended == whole->ended);
  return 0;
}

}  // namespace tarnwick::fuzz
