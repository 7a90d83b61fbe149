// The byte layer under a connection: durations, addresses, socket time-outs, the transport's
// waits and shutdown, the chunked framing read and written, vectored writes.
#include "tarnwick/sync/transport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/sources.h"
#include "tarnwick/sync/chunked.h"
#include "tarnwick/sync/socket.h"

namespace tarnwick::sync {
namespace {

using base::Duration;
using Bytes = std::vector<uint8_t>;

TEST(DisplayDuration, CompactForms) {
  const std::pair<Duration, const char*> cases[] = {
      {Duration::from_secs(10), "10s"},
      {Duration{1, 500000000}, "1.5s"},
      {Duration{1, 1}, "1.000000001s"},
      {Duration::from_millis(500), "500ms"},
      {Duration{0, 1500000}, "1.5ms"},
      {Duration{0, 1200}, "1.2\xC2\xB5s"},
      {Duration{0, 7}, "7ns"},
      {Duration{}, "0ns"},
      {Duration{UINT64_MAX, 999999999}, "18446744073709551615.999999999s"},
  };
  for (auto& [d, text] : cases) EXPECT_EQ(display_duration(d), text);
}

TEST(SocketAddr, ParseAndDisplay) {
  const std::pair<const char*, const char*> ok[] = {
      {"127.0.0.1:9000", "127.0.0.1:9000"},
      {"[::1]:9440", "[::1]:9440"},
      {"[fe80::1%3]:1", "[fe80::1%3]:1"},
  };
  for (auto& [text, shown] : ok) {
    auto addr = SocketAddr::parse(text);
    ASSERT_TRUE(addr.has_value()) << text;
    EXPECT_EQ(addr->to_string(), shown);
  }
  for (const char* bad : {"localhost:9000", "::1:9000", "[::1]", "1.2.3.4:65536", "1.2.3.4:+1"}) {
    EXPECT_FALSE(SocketAddr::parse(bad).has_value()) << bad;
  }
}

timeval read_timeout(const Socket& s, int option = SO_RCVTIMEO) {
  timeval tv{};
  socklen_t len = sizeof tv;
  getsockopt(s.fd(), SOL_SOCKET, option, &tv, &len);
  return tv;
}

TEST(Socket, TimeoutsSaturateAndNeverBecomeUnlimited) {
  auto [a, b] = testing::tcp_pair();
  auto zero = a.set_read_timeout(Duration{});
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().to_string(), "I/O error: cannot set a 0 duration timeout");

  // 1 ns must still be a (tiny) limit, not "no limit".
  ASSERT_TRUE(a.set_read_timeout(Duration{0, 1}).ok());
  timeval tiny = read_timeout(a);
  EXPECT_TRUE(tiny.tv_sec != 0 || tiny.tv_usec != 0);

  // The largest duration is accepted and stays a limit.
  ASSERT_TRUE(a.set_write_timeout(Duration{UINT64_MAX, 999999999}).ok());
  timeval huge = read_timeout(a, SO_SNDTIMEO);
  EXPECT_GT(huge.tv_sec, 0);

  ASSERT_TRUE(a.set_write_timeout(std::nullopt).ok());
  timeval none = read_timeout(a, SO_SNDTIMEO);
  EXPECT_EQ(none.tv_sec, 0);
  EXPECT_EQ(none.tv_usec, 0);
}

TEST(Transport, ShutdownFromAnotherThreadEndsABlockedRead) {
  auto [a, b] = testing::tcp_pair();
  ASSERT_TRUE(a.set_read_timeout(Duration::from_secs(20)).ok());
  auto t = Transport::new_plain(std::move(a));
  auto handle = t->duplicate_socket();
  ASSERT_TRUE(handle.ok());
  std::thread cutter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handle->shutdown_both();
  });
  uint8_t byte;
  auto st = t->read_exact(&byte, 1);
  cutter.join();
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_io(base::IoKind::UnexpectedEof)) << st.error().to_string();
  // Writes after the shutdown fail with an error, not a signal.
  uint8_t data[1] = {1};
  EXPECT_FALSE(t->write_all(data).ok());
}

// A deadline holds for reads and writes however often signals interrupt the waits, and a thread's
// interrupt hook is asked while a call waits without a deadline and stops it.
TEST(Transport, DeadlinesOutlastSignalsAndTheInterruptHookStopsWaits) {
  // Made before the signals start: the listener's accept would end at the first one.
  auto [a, b] = testing::tcp_pair();
  auto t = Transport::new_plain(std::move(a));
  std::vector<uint8_t> big(64 << 20);
  uint8_t byte;

  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};  // no SA_RESTART: every signal interrupts the wait
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGALRM, &quiet, &old), 0);
  itimerval every{{0, 50000}, {0, 50000}};
  setitimer(ITIMER_REAL, &every, nullptr);
  for (bool reading : {true, false}) {
    SCOPED_TRACE(reading);
    t->set_deadline(WaitDeadline::after(Duration::from_millis(400), "too slow"));
    const auto began = std::chrono::steady_clock::now();
    base::Status st = reading ? t->read_exact(&byte, 1) : t->write_all(big);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_io(base::IoKind::TimedOut)) << st.error().to_string();
    EXPECT_EQ(st.error().to_string(), "I/O error: too slow");
    EXPECT_GE(took, std::chrono::milliseconds(350));
    EXPECT_LT(took, std::chrono::seconds(3));
  }
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  t->set_deadline(std::nullopt);
  int calls = 0;
  ScopedInterruptHook hook([](void* n) { return ++*static_cast<int*>(n) >= 3; }, &calls);
  const auto began = std::chrono::steady_clock::now();
  base::Status st = t->read_exact(&byte, 1);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), interrupted_error().to_string());
  EXPECT_EQ(calls, 3);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

void put32(Bytes& out, uint32_t v) {
  const Bytes b = le32(v);
  out.insert(out.end(), b.begin(), b.end());
}

// Frames `payload` as chunks of the given sizes (cycled), with `zeros` stray zero lengths before
// each chunk, and a terminating zero length.
Bytes frame(const Bytes& payload, const std::vector<size_t>& sizes, int zeros) {
  Bytes out;
  for (size_t i = 0, at = 0; at < payload.size(); ++i) {
    const size_t n = std::min(sizes[i % sizes.size()], payload.size() - at);
    for (int z = 0; z < zeros; ++z) put32(out, 0);
    put32(out, static_cast<uint32_t>(n));
    out.insert(out.end(), payload.begin() + at, payload.begin() + at + n);
    at += n;
  }
  put32(out, 0);
  return out;
}

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

TEST(ChunkedReader, PayloadsReadAsOneStreamWhateverTheSplit) {
  const Bytes payload = pattern(5000);
  struct Case {
    std::vector<size_t> chunk_sizes;
    int stray_zeros;
    std::vector<size_t> reads;  // sizes of the read_exact calls (cycled)
  };
  const Case cases[] = {
      {{5000}, 0, {5000}},       {{1}, 0, {3}},      {{7, 1, 300}, 2, {1, 4096, 2}},
      {{1024}, 1, {1024}},       {{999}, 3, {1000}},  // reads straddle chunk boundaries
      {{4000, 1000}, 0, {4500}},
  };
  for (const Case& c : cases) {
    Bytes wire = frame(payload, c.chunk_sizes, c.stray_zeros);
    for (int one_byte = 0; one_byte < 2; ++one_byte) {
      base::MemorySource mem(wire);
      testing::OneByteSource slow(wire);
      base::ByteSource& inner = one_byte ? static_cast<base::ByteSource&>(slow) : mem;
      ChunkedReader reader(inner);
      Bytes got;
      for (size_t i = 0; got.size() < payload.size(); ++i) {
        size_t n = std::min(c.reads[i % c.reads.size()], payload.size() - got.size());
        Bytes part(n);
        ASSERT_TRUE(reader.read_exact(part.data(), n).ok());
        got.insert(got.end(), part.begin(), part.end());
      }
      EXPECT_EQ(got, payload) << "chunk " << c.chunk_sizes[0] << " one_byte " << one_byte;
      // Only the terminating zero length is left, and it yields nothing: the source has ended.
      uint8_t extra;
      EXPECT_TRUE(reader.read_exact(&extra, 1).error().is_io(base::IoKind::UnexpectedEof));
    }
  }
}

TEST(ChunkedReader, LongChunksLeaveNoLongBuffer) {
  // Chunks longer than the buffer, read in small steps (through the buffer), in steps that end
  // inside them (partly straight into the destination) and skipped; then a small read.
  const size_t big = 3 * kChunkBufferLimit + 5;
  const Bytes payload = pattern(2 * big + 100);
  const Bytes wire = frame(payload, {big, big, 100}, 1);
  for (const size_t step : {size_t{1000}, kChunkBufferLimit + 3, size_t{0}}) {
    base::MemorySource mem(wire);
    ChunkedReader reader(mem);
    Bytes got(payload.size());
    size_t at = 0;
    if (step == 0) {
      ASSERT_TRUE(reader.skip(2 * big).ok());
      at = 2 * big;
    }
    while (at < payload.size()) {
      const size_t n = std::min(step == 0 ? size_t{7} : step, payload.size() - at);
      ASSERT_TRUE(reader.read_exact(got.data() + at, n).ok());
      at += n;
      EXPECT_LE(reader.buffer_capacity(), kChunkBufferLimit) << "step " << step << " at " << at;
    }
    if (step != 0) {
      EXPECT_EQ(got, payload) << "step " << step;
    }
    EXPECT_TRUE(std::equal(got.begin() + 2 * big, got.end(), payload.begin() + 2 * big));
  }
}

// What is left of a chunk half received, handed over with a length in front of it, reads the
// same through another reader.
TEST(ChunkedReader, HandsOverTheRestOfAChunk) {
  const size_t big = 2 * kChunkBufferLimit + 9;
  const Bytes payload = pattern(big + 50);
  const Bytes wire = frame(payload, {big, 50}, 0);
  base::MemorySource mem(wire);
  ChunkedReader reader(mem);
  Bytes got(1000);
  ASSERT_TRUE(reader.read_exact(got.data(), got.size()).ok());
  got.insert(got.end(), reader.buffered().begin(), reader.buffered().end());
  reader.consume(reader.buffered().size());
  base::ByteBuffer raw;
  reader.take_unreceived(raw);
  raw.append(mem.buffered());
  base::MemorySource rest(raw.span());
  ChunkedReader next(rest);
  const size_t have = got.size();
  got.resize(payload.size());
  ASSERT_TRUE(next.read_exact(got.data() + have, payload.size() - have).ok());
  EXPECT_EQ(got, payload);
}

TEST(ChunkedReader, ChunkLengthLimit) {
  // Exactly 64 MiB is accepted.
  {
    testing::ZeroTailSource src(le32(kMaxChunkLength), kMaxChunkLength);
    ChunkedReader reader(src);
    ASSERT_TRUE(reader.skip(kMaxChunkLength).ok());
  }
  // One byte more is refused before anything is allocated.
  {
    const Bytes wire = {0, 0, 0, 0, 0x01, 0x00, 0x00, 0x04};  // a stray zero, then 64 MiB + 1
    base::MemorySource mem(wire);
    ChunkedReader reader(mem);
    uint8_t b;
    auto st = reader.read_exact(&b, 1);
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_io(base::IoKind::InvalidData));
    EXPECT_EQ(st.error().to_string(),
              "I/O error: chunked transport chunk length 67108865 exceeds maximum 67108864");
  }
}

TEST(ChunkedReader, EndOfStreamInsideLengthOrChunk) {
  const Bytes cases[] = {
      {},
      {0x05, 0x00},
      {0x05, 0x00, 0x00, 0x00, 1, 2},
      {0x00, 0x00, 0x00, 0x00, 0x01},
  };
  for (const Bytes& wire : cases) {
    base::MemorySource mem(wire);
    ChunkedReader reader(mem);
    uint8_t b[5];
    auto st = reader.read_exact(b, 5);
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_io(base::IoKind::UnexpectedEof)) << st.error().to_string();
  }
}

// Records each call, so tests can count writes.
class RecordingSink final : public base::ByteSink {
 public:
  base::Status write_all(std::span<const uint8_t> bytes) override {
    calls.push_back("write");
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }
  base::Status write_all_vectored(std::span<const std::span<const uint8_t>> slices) override {
    calls.push_back("vectored" + std::to_string(slices.size()));
    for (auto s : slices) bytes_.insert(bytes_.end(), s.begin(), s.end());
    return {};
  }
  base::Status flush() override {
    calls.push_back("flush");
    return {};
  }
  std::vector<std::string> calls;
  Bytes bytes_;
};

TEST(WriteNativePacket, FramingAndWriteCounts) {
  const Bytes ten = pattern(10);
  struct Case {
    Bytes packet;
    bool chunked;
    Bytes wire;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {ten, true, frame(ten, {10}, 0), {"vectored3", "flush"}},
      {ten, false, ten, {"write", "flush"}},
      {{}, true, Bytes(8, 0), {"vectored3", "flush"}},
  };
  for (const Case& c : cases) {
    RecordingSink sink;
    ASSERT_TRUE(write_native_packet(sink, c.packet, c.chunked).ok());
    EXPECT_EQ(sink.bytes_, c.wire);
    EXPECT_EQ(sink.calls, c.calls);
  }
}

TEST(WriteNativePacket, OversizeRefusedBeforeWriting) {
  static const uint8_t byte = 0;
  // Never read: the length check comes first.
  std::span<const uint8_t> huge(&byte, size_t{1} << 32);
  RecordingSink sink;
  auto st = write_native_packet(sink, huge, true);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "protocol error: chunked packet too large: 4294967296 bytes");
  EXPECT_TRUE(sink.calls.empty());
}

TEST(WriteNativePacket, OneSendOnTheSocket) {
  // A sequenced-packet pair keeps message boundaries: one receive returns what one send sent.
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  Socket peer(fds[1]);
  auto transport = Transport::new_plain(Socket(fds[0]));
  const Bytes packet = pattern(10);
  ASSERT_TRUE(write_native_packet(*transport, packet, true).ok());
  uint8_t buf[64];
  ssize_t got = ::recv(peer.fd(), buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(got, 18);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{10, 0, 0, 0}));
  EXPECT_EQ(Bytes(buf + 4, buf + 14), packet);
  EXPECT_EQ(Bytes(buf + 14, buf + 18), Bytes(4, 0));
  EXPECT_EQ(::recv(peer.fd(), buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing else was sent
}

TEST(WriteAllVectored, ResumesAfterPartialWrites) {
  auto [client, server] = testing::tcp_pair();
  int small = 4096, window = 16384;
  ASSERT_EQ(setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(server.fd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window), 0);
  ASSERT_TRUE(server.set_read_timeout(base::Duration::from_secs(10)).ok());

  // Odd sizes, so partial writes stop inside slices; empty slices in between; over IOV_MAX
  // slices in all, so batches follow each other.
  std::vector<Bytes> parts;
  size_t total = 0;
  for (size_t i = 0; i < 1100; ++i) {
    size_t n = i % 5 == 0 ? 0 : (i * 397) % 401;
    Bytes p(n);
    for (size_t j = 0; j < n; ++j) p[j] = static_cast<uint8_t>(i + j);
    total += n;
    parts.push_back(std::move(p));
  }
  std::vector<std::span<const uint8_t>> slices(parts.begin(), parts.end());
  Bytes expected;
  for (auto& p : parts) expected.insert(expected.end(), p.begin(), p.end());

  Bytes received;
  std::thread reader([&, fd = server.fd()] {
    uint8_t buf[700];  // small reads keep the sender's buffer full
    while (received.size() < total) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.insert(received.end(), buf, buf + n);
    }
  });
  auto transport = Transport::new_plain(std::move(client));
  ASSERT_TRUE(transport->write_all_vectored({}).ok());
  auto st = transport->write_all_vectored(slices);
  reader.join();
  ASSERT_TRUE(st.ok()) << st.error().to_string();
  EXPECT_EQ(received.size(), total);
  EXPECT_TRUE(received == expected);
}

}  // namespace
}  // namespace tarnwick::sync
