// Query streams over a local socket pair, a writer thread sending prepared response bytes: how a
// stream's cost depends on the way its packets arrive (whole, or in pieces the reader waits for)
// and on what is queued behind a large packet.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "tarnwick/sync/stream.h"

namespace tarnwick::sync {
namespace {

using namespace std::chrono_literals;

void varint(std::vector<uint8_t>& out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<uint8_t>(v) | 0x80);
  out.push_back(static_cast<uint8_t>(v));
}

void text(std::vector<uint8_t>& out, std::string_view s) {
  varint(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
}

// A Data packet of one column (revision 54483 layout) of `rows` rows whose body is `body`.
std::vector<uint8_t> data_packet(std::string_view type, uint64_t rows,
                                 const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out;
  varint(out, 1);
  text(out, "");
  for (uint8_t b : {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}) out.push_back(b);
  varint(out, 1);
  varint(out, rows);
  text(out, "c");
  text(out, type);
  out.push_back(0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> string_body(uint64_t rows, size_t length) {
  std::vector<uint8_t> body;
  for (uint64_t i = 0; i < rows; ++i) {
    varint(body, length);
    body.insert(body.end(), length, 'v');
  }
  return body;
}

// One part of the response, sent after a pause (none for 0).
struct Part {
  std::vector<uint8_t> bytes;
  std::chrono::microseconds pause{0};
};

// Reads the response the parts make to its end, the parts sent on another thread; returns the
// number of blocks.
size_t stream_parts(const std::vector<Part>& parts) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  Socket server(fds[1]);
  std::thread writer([&] {
    for (const Part& part : parts) {
      if (part.pause.count() != 0) std::this_thread::sleep_for(part.pause);
      for (size_t sent = 0; sent < part.bytes.size();) {
        const ssize_t n =
            ::send(server.fd(), part.bytes.data() + sent, part.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
      }
    }
  });
  StreamSettings settings;
  settings.revision = 54483;
  QueryStream stream(Transport::new_plain(Socket(fds[0])), {}, {}, settings,
                     std::make_shared<StreamLink>());
  size_t blocks = 0;
  for (;;) {
    auto next = stream.read_next_block();
    if (!next.ok() || !next->has_value()) break;
    ++blocks;
  }
  writer.join();
  return blocks;
}

// `count` packets, each cut into pieces of `piece` bytes (0: whole) sent `pause` apart.
std::vector<Part> in_pieces(const std::vector<uint8_t>& packet, int count, size_t piece,
                            std::chrono::microseconds pause) {
  std::vector<Part> parts;
  for (int i = 0; i < count; ++i) {
    const size_t step = piece == 0 ? packet.size() : piece;
    for (size_t at = 0; at < packet.size(); at += step) {
      const size_t n = std::min(step, packet.size() - at);
      parts.push_back({{packet.begin() + at, packet.begin() + at + n}, at == 0 ? 0us : pause});
    }
  }
  parts.push_back({{5}});  // EndOfStream
  return parts;
}

void run(benchmark::State& state, const std::vector<Part>& parts) {
  for (auto _ : state) benchmark::DoNotOptimize(stream_parts(parts));
}

// Four blocks of one 32 MiB String column (short values), whole or in 256 KiB pieces 1 ms apart.
void BM_StreamLargeBlocks(benchmark::State& state) {
  const auto packet = data_packet("String", (32 << 20) / 9, string_body((32 << 20) / 9, 8));
  run(state, in_pieces(packet, 4, static_cast<size_t>(state.range(0)), 1ms));
}
BENCHMARK(BM_StreamLargeBlocks)->Arg(0)->Arg(256 << 10)->Unit(benchmark::kMillisecond);

// 65,536-row UInt64 blocks, the ordinary case.
void BM_StreamUInt64Blocks(benchmark::State& state) {
  const auto packet = data_packet("UInt64", 65536, std::vector<uint8_t>(65536 * 8, 1));
  run(state, in_pieces(packet, 64, 0, 0us));
}
BENCHMARK(BM_StreamUInt64Blocks)->Unit(benchmark::kMillisecond);

// 20,000 one-row blocks, alone (0) or behind a 4 MiB block whose last byte comes 20 ms late (1).
void BM_StreamSmallBlocksBehindALargeOne(benchmark::State& state) {
  std::vector<uint8_t> small;
  for (int i = 0; i < 20000; ++i) {
    const auto one = data_packet("UInt8", 1, {7});
    small.insert(small.end(), one.begin(), one.end());
  }
  small.push_back(5);
  std::vector<Part> parts;
  if (state.range(0) != 0) {
    const auto big = data_packet("String", 4, string_body(4, 1 << 20));
    parts.push_back({{big.begin(), big.end() - 1}});
    small.insert(small.begin(), big.back());
    parts.push_back({std::move(small), 20ms});
  } else {
    parts.push_back({std::move(small)});
  }
  run(state, parts);
}
BENCHMARK(BM_StreamSmallBlocksBehindALargeOne)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick::sync
