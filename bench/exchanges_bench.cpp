// End-to-end throughput of a connection's exchanges over loopback TCP, against a server thread
// that replays prepared bytes: a buffered query of UInt64 values and one of short strings (plain
// and LZ4), the UInt64 response read by a client that only receives and drops the bytes (the
// socket's yardstick), and an insert of UInt64 values (plain and LZ4). TARNWICK_BENCH_ROWS sets the
// total row count (default 100,000,000 in blocks of 1,048,576 rows).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/block_writer.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/client.h"

namespace tarnwick::sync {
namespace {

using base::ByteBuffer;

constexpr uint64_t kBlockRows = 1 << 20;

uint64_t total_rows() {
  const char* v = std::getenv("TARNWICK_BENCH_ROWS");
  return v != nullptr ? std::strtoull(v, nullptr, 10) : 100000000;
}
uint64_t block_count() {
  return (total_rows() + kBlockRows - 1) / kBlockRows;
}

protocol::Block uint64_block() {
  ByteBuffer body;
  for (uint64_t i = 0; i < kBlockRows; ++i) protocol::write_fixed<uint64_t>(body, i * 7 + 1);
  protocol::Block block;
  block.rows = kBlockRows;
  block.columns.push_back({"x", "UInt64", std::move(body).freeze(), {}});
  return block;
}

// Short strings, as a mixed result holds them: each value is read on its own.
protocol::Block string_block() {
  ByteBuffer body;
  for (uint64_t i = 0; i < kBlockRows; ++i)
    protocol::write_string(body, "value-" + std::to_string(i % 9973));
  protocol::Block block;
  block.rows = kBlockRows;
  block.columns.push_back({"s", "String", std::move(body).freeze(), {}});
  return block;
}

// A server Data packet carrying `block`, plain or as one compressed frame.
ByteBuffer data_packet(const protocol::Block& block, uint8_t compression) {
  ByteBuffer out;
  out.push_back(1);
  protocol::write_string(out, "");
  if (compression == kCompressionOff) {
    protocol::write_block(out, block);
    return out;
  }
  ByteBuffer raw;
  protocol::write_block(raw, block);
  auto frame = compression::encode_frame(raw.span(), compression);
  out.append(frame->span());
  return out;
}

bool send_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return true;
}

// Reads until the bytes received end with `tail` (the empty Data packet that ends a query and an
// insert); false when the peer closed.
bool read_until(int fd, std::span<const uint8_t> tail, std::vector<uint8_t>& buf) {
  std::vector<uint8_t> last;
  for (;;) {
    ssize_t got = ::recv(fd, buf.data(), buf.size(), 0);
    if (got <= 0) return false;
    last.insert(last.end(), buf.begin(), buf.begin() + got);
    if (last.size() > 4 * tail.size()) last.erase(last.begin(), last.end() - 2 * tail.size());
    if (last.size() >= tail.size() &&
        std::equal(tail.begin(), tail.end(), last.end() - static_cast<ptrdiff_t>(tail.size()))) {
      return true;
    }
  }
}

// One connection: answers each query with `response` sent `repeat` times and EndOfStream; for an
// insert, answers with the table-structure packet, reads the data to its end, then EndOfStream.
class ReplayServer {
 public:
  ReplayServer(uint8_t compression, bool insert, protocol::Block block = uint64_block())
      : compression_(compression), insert_(insert), block_(std::move(block)) {
    response_ = data_packet(block_, compression);
    write_empty_data_block_for(tail_, compression).ok();
    protocol::Block header;
    header.columns.push_back({"x", "UInt64", {}, {}});
    structure_ = data_packet(header, compression);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ReplayServer() {
    ::shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
  }

  uint16_t port() const { return port_; }
  const protocol::Block& block() const { return block_; }
  uint64_t response_bytes() const { return response_.size() * block_count() + 1; }
  std::span<const uint8_t> tail() const { return tail_.span(); }

 private:
  void serve() {
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 10000) != 1) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::vector<uint8_t> buf(1 << 20);
    const uint8_t eos[1] = {5};
    while (read_until(fd, tail_.span(), buf)) {
      if (insert_) {
        if (!send_all(fd, structure_.span()) || !read_until(fd, tail_.span(), buf)) break;
      } else {
        bool ok = true;
        for (uint64_t i = 0; ok && i < block_count(); ++i) ok = send_all(fd, response_.span());
        if (!ok) break;
      }
      if (!send_all(fd, eos)) break;
    }
    ::close(fd);
  }

  uint8_t compression_;
  bool insert_;
  protocol::Block block_;
  ByteBuffer response_, tail_, structure_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

std::optional<SyncClient> connect(uint16_t port, uint8_t compression) {
  ClientConfig config;
  config.host = "127.0.0.1";
  config.port = port;
  config.compression = compression;
  config.max_response_size = SIZE_MAX;
  config.query_timeout = base::Duration::from_secs(60);
  auto socket = connect_with_timeout(SocketAddr::v4_loopback(port), base::Duration::from_secs(5));
  if (!socket.ok()) return std::nullopt;
  auto no_handshake = [](Transport&, const ClientConfig&) -> base::Result<ServerInfo> {
    ServerInfo info;
    info.revision = info.negotiated_revision = kMaxRevision;
    return info;
  };
  auto client =
      SyncClient::connect_transport_with_budget(Transport::new_plain(std::move(socket).value()),
                                                config, base::Duration::from_secs(5), no_handshake);
  if (!client.ok()) return std::nullopt;
  return std::move(client).value();
}

// Buffered queries of `block` repeated, with the compression of the benchmark's argument.
void run_buffered_query(benchmark::State& state, protocol::Block block) {
  const uint8_t compression = static_cast<uint8_t>(state.range(0));
  ReplayServer server(compression, false, std::move(block));
  auto client = connect(server.port(), compression);
  if (!client) return state.SkipWithError("connect failed");
  for (auto _ : state) {
    auto blocks =
        client->query_with_params_settings_and_ignored_part_uuids("SELECT x", {}, nullptr, {});
    if (!blocks.ok()) return state.SkipWithError(blocks.error().to_string().c_str());
    benchmark::DoNotOptimize(blocks->data());
  }
  state.counters["rows"] = static_cast<double>(block_count() * kBlockRows);
}

void BM_BufferedQueryUInt64(benchmark::State& state) {
  run_buffered_query(state, uint64_block());
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * block_count() * kBlockRows * 8));
}
void BM_BufferedQueryString(benchmark::State& state) {
  run_buffered_query(state, string_block());
}
BENCHMARK(BM_BufferedQueryUInt64)
    ->Arg(kCompressionOff)
    ->Arg(compression::kMethodLz4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BufferedQueryString)
    ->Arg(kCompressionOff)
    ->Arg(compression::kMethodLz4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The yardstick: the same response over the same kind of socket, received and dropped.
void BM_SocketReadAndDrop(benchmark::State& state) {
  ReplayServer server(kCompressionOff, false);
  auto client = connect(server.port(), kCompressionOff);
  if (!client) return state.SkipWithError("connect failed");
  const int fd = client->transport().socket().fd();
  std::vector<uint8_t> buf(1 << 20);
  for (auto _ : state) {
    if (!send_all(fd, server.tail())) return state.SkipWithError("send failed");
    uint64_t left = server.response_bytes();
    while (left != 0) {
      ssize_t got = ::recv(fd, buf.data(), std::min<uint64_t>(left, buf.size()), 0);
      if (got <= 0) return state.SkipWithError("recv failed");
      left -= static_cast<uint64_t>(got);
    }
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * block_count() * kBlockRows * 8));
}
BENCHMARK(BM_SocketReadAndDrop)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor of a buffered result: the same bytes received into fresh buffers that are kept until
// the whole response is in, as the blocks of a result are (page faults included).
void BM_SocketReadIntoFreshBuffers(benchmark::State& state) {
  ReplayServer server(kCompressionOff, false);
  auto client = connect(server.port(), kCompressionOff);
  if (!client) return state.SkipWithError("connect failed");
  const int fd = client->transport().socket().fd();
  const size_t piece = server.response_bytes() / block_count();
  for (auto _ : state) {
    if (!send_all(fd, server.tail())) return state.SkipWithError("send failed");
    std::vector<ByteBuffer> kept;
    uint64_t left = server.response_bytes();
    while (left != 0) {
      ByteBuffer& buf = kept.emplace_back(std::min<uint64_t>(left, piece));
      uint8_t* dst = buf.extend(buf.capacity());
      size_t want = buf.capacity();
      while (want != 0) {
        ssize_t got = ::recv(fd, dst, want, 0);
        if (got <= 0) return state.SkipWithError("recv failed");
        dst += got;
        want -= static_cast<size_t>(got);
      }
      left -= buf.size();
    }
    benchmark::DoNotOptimize(kept.data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * block_count() * kBlockRows * 8));
}
BENCHMARK(BM_SocketReadIntoFreshBuffers)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InsertUInt64(benchmark::State& state) {
  const uint8_t compression = static_cast<uint8_t>(state.range(0));
  ReplayServer server(compression, true);
  auto client = connect(server.port(), compression);
  if (!client) return state.SkipWithError("connect failed");
  for (auto _ : state) {
    base::Status st = client->begin_insert("INSERT INTO t VALUES");
    for (uint64_t i = 0; st.ok() && i < block_count(); ++i)
      st = client->send_data("", server.block());
    if (st.ok()) st = client->end_insert();
    if (!st.ok()) return state.SkipWithError(st.error().to_string().c_str());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * block_count() * kBlockRows * 8));
}
BENCHMARK(BM_InsertUInt64)
    ->Arg(kCompressionOff)
    ->Arg(compression::kMethodLz4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarnwick::sync
