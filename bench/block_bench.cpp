// Throughput of the block decoder and writer, each beside a plain memcpy of the same bytes as the
// yardstick: a UInt64 column, a String column of 16-byte values (each decoded from a byte source
// and parsed from memory), and write_block of the UInt64 block. The argument is the row count.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/block_writer.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {
namespace {

void head(ByteBuffer& out, uint64_t rows, std::string_view type) {
  const uint8_t info[] = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  out.append(info, sizeof info);
  write_varint(out, 1);
  write_varint(out, rows);
  write_string(out, "c");
  write_string(out, type);
  out.push_back(0);
}

ByteBuffer uint64_block(uint64_t rows) {
  ByteBuffer out;
  head(out, rows, "UInt64");
  for (uint64_t i = 0; i < rows; ++i) write_fixed<uint64_t>(out, i * 2654435761u);
  return out;
}

ByteBuffer string_block(uint64_t rows) {
  ByteBuffer out;
  head(out, rows, "String");
  char value[17];
  for (uint64_t i = 0; i < rows; ++i) {
    std::snprintf(value, sizeof value, "%016llx", static_cast<unsigned long long>(i * 7919));
    write_string(out, std::string_view(value, 16));
  }
  return out;
}

void memcpy_of(benchmark::State& state, const ByteBuffer& wire) {
  std::vector<uint8_t> dst(wire.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), wire.data(), wire.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void read_of(benchmark::State& state, const ByteBuffer& wire) {
  for (auto _ : state) {
    base::MemorySource src(wire.span());
    auto block = read_block_body(src);
    if (!block.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void parse_of(benchmark::State& state, const ByteBuffer& wire) {
  for (auto _ : state) {
    uint64_t pos = 0;
    auto block = parse_block_body(wire.span(), pos);
    if (!block.ok()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void BM_MemcpyUInt64Block(benchmark::State& state) {
  memcpy_of(state, uint64_block(static_cast<uint64_t>(state.range(0))));
}
void BM_ReadUInt64Block(benchmark::State& state) {
  read_of(state, uint64_block(static_cast<uint64_t>(state.range(0))));
}
void BM_ParseUInt64Block(benchmark::State& state) {
  parse_of(state, uint64_block(static_cast<uint64_t>(state.range(0))));
}
void BM_MemcpyStringBlock(benchmark::State& state) {
  memcpy_of(state, string_block(static_cast<uint64_t>(state.range(0))));
}
void BM_ReadStringBlock(benchmark::State& state) {
  read_of(state, string_block(static_cast<uint64_t>(state.range(0))));
}
void BM_ParseStringBlock(benchmark::State& state) {
  parse_of(state, string_block(static_cast<uint64_t>(state.range(0))));
}

void BM_WriteUInt64Block(benchmark::State& state) {
  ByteBuffer wire = uint64_block(static_cast<uint64_t>(state.range(0)));
  base::MemorySource src(wire.span());
  Block block = *read_block_body(src);
  ByteBuffer out;  // reused, as a connection reuses its packet buffer
  for (auto _ : state) {
    out.clear();
    write_block(out, block);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

BENCHMARK(BM_MemcpyUInt64Block)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ReadUInt64Block)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ParseUInt64Block)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_WriteUInt64Block)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_MemcpyStringBlock)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ReadStringBlock)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ParseStringBlock)->Arg(65536)->Arg(1 << 20);

}  // namespace
}  // namespace tarnwick::protocol
