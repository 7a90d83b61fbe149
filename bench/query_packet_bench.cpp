// Building a Query packet from the connection's template: once the packet buffer is sized, a
// packet costs no allocation (counted through the global allocator; the buffer's capacity must
// not change either).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tarnwick/sync/config.h"
#include "tarnwick/sync/query_packet.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// The replacement pair: new counts, delete frees what new took from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace tarnwick::sync {
namespace {

void BM_QueryPacketFromTemplate(benchmark::State& state) {
  ClientConfig config;
  config.settings = {{"max_threads", "4"}, {"max_block_size", "65536"}};
  auto tmpl = build_query_packet_template(config, kMaxRevision);
  if (!tmpl.ok()) {
    state.SkipWithError(tmpl.error().to_string().c_str());
    return;
  }
  const std::string_view query = "SELECT number FROM system.numbers LIMIT 10";
  const QueryParameter params[] = {{"n", "10"}};
  base::ByteBuffer packet(query_packet_capacity(*tmpl, query, params, {}));
  const size_t capacity = packet.capacity();
  const uint64_t before = allocations.load();
  for (auto _ : state) {
    QueryId id = write_query_packet(packet, *tmpl, query, params);
    benchmark::DoNotOptimize(id);
    benchmark::DoNotOptimize(packet.data());
  }
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
  state.counters["buffer_grew"] = packet.capacity() != capacity ? 1 : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_QueryPacketFromTemplate);

}  // namespace
}  // namespace tarnwick::sync
