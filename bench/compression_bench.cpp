// Throughput of the frame checksum and of frame decoding, each beside a plain memcpy of the same
// bytes as the yardstick.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstring>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/compression/cityhash.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::compression {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

std::vector<uint8_t> sample_bytes(size_t n) {
  std::vector<uint8_t> out(n);
  uint32_t x = 12345;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// Column-like data: runs of small integers, which LZ4 compresses to about a third.
std::vector<uint8_t> column_bytes(size_t n) {
  std::vector<uint8_t> out(n);
  uint32_t x = 7;
  for (size_t i = 0; i < n; i += 8) {
    x = x * 1103515245u + 12345u;
    uint64_t v = (i / 8) + ((x >> 16) & 0xFF);
    std::memcpy(out.data() + i, &v, std::min<size_t>(8, n - i));
  }
  return out;
}

void BM_CityHash128(benchmark::State& state) {
  auto data = sample_bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Hash128 h = city_hash128(data.data(), data.size());
    benchmark::DoNotOptimize(h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CityHash128)->Arg(1 * kMiB)->Arg(64 * 1024);

void BM_Memcpy(benchmark::State& state) {
  auto src = sample_bytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(1 * kMiB)->Arg(64 * 1024);

// Decodes a body of 16 LZ4 frames of 64 KiB each (1 MiB decoded) through a DecompressingReader,
// as a packet reader does; bytes processed are decoded bytes.
void BM_DecodeLz4Frames(benchmark::State& state) {
  const size_t frame_payload = 64 * 1024;
  const size_t frames = 16;
  auto payload = column_bytes(frame_payload * frames);
  base::ByteBuffer wire;
  for (size_t i = 0; i < frames; ++i) {
    auto s = encode_frame_into(
        wire, std::span<const uint8_t>(payload.data() + i * frame_payload, frame_payload),
        static_cast<uint8_t>(state.range(0)));
    if (!s.ok()) state.SkipWithError("encode failed");
  }
  std::vector<uint8_t> dst(frame_payload * frames);
  const size_t read_size = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    base::MemorySource inner(wire.span());
    DecompressingReader reader(inner);
    if (!reader.start().ok()) state.SkipWithError("start failed");
    for (size_t done = 0; done < dst.size(); done += read_size) {
      if (!reader.read_exact(dst.data() + done, read_size).ok()) state.SkipWithError("read");
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dst.size()));
  state.counters["ratio"] = static_cast<double>(wire.size()) / static_cast<double>(dst.size());
}
// method, read size: 4 KiB reads go through the reader's buffer, 1 MiB reads decode straight
// into the destination.
BENCHMARK(BM_DecodeLz4Frames)
    ->Args({kMethodLz4, 4096})
    ->Args({kMethodLz4, 1 * kMiB})
    ->Args({kMethodNone, 4096});

// The codec alone over the same 16 blocks, without framing, checksums or the reader.
void BM_Lz4DecompressRaw(benchmark::State& state) {
  const size_t frame_payload = 64 * 1024;
  const size_t frames = 16;
  auto payload = column_bytes(frame_payload * frames);
  std::vector<std::vector<char>> blocks;
  for (size_t i = 0; i < frames; ++i) {
    std::vector<char> block(LZ4_compressBound(static_cast<int>(frame_payload)));
    int n = LZ4_compress_default(reinterpret_cast<const char*>(payload.data() + i * frame_payload),
                                 block.data(), static_cast<int>(frame_payload),
                                 static_cast<int>(block.size()));
    block.resize(static_cast<size_t>(n));
    blocks.push_back(std::move(block));
  }
  std::vector<uint8_t> dst(frame_payload * frames);
  for (auto _ : state) {
    for (size_t i = 0; i < frames; ++i) {
      LZ4_decompress_safe(blocks[i].data(), reinterpret_cast<char*>(dst.data() + i * frame_payload),
                          static_cast<int>(blocks[i].size()), static_cast<int>(frame_payload));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dst.size()));
}
BENCHMARK(BM_Lz4DecompressRaw);

}  // namespace
}  // namespace tarnwick::compression
