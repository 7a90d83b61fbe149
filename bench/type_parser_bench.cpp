// The column type grammar over long, deeply nested type names. The time per byte must not grow
// with the nesting depth: every level finds its own commas without walking the text of the levels
// inside it again.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {
namespace {

// `depth` constructors around one long unknown name (which parses to Other), `length` bytes in
// all. A Tuple walks its whole argument text looking for commas, a Map its key text.
std::string nested_name(std::string_view open, std::string_view close, int64_t depth,
                        int64_t length) {
  std::string text;
  text.reserve(static_cast<size_t>(length));
  for (int64_t i = 0; i < depth; ++i) text.append(open);
  const auto frame = static_cast<int64_t>(text.size() + close.size() * static_cast<size_t>(depth));
  text.append(static_cast<size_t>(length > frame ? length - frame : 1), 'x');
  for (int64_t i = 0; i < depth; ++i) text.append(close);
  return text;
}

void run(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto parsed = parse_type(text);
    if (!parsed.ok()) {
      state.SkipWithError(parsed.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(parsed->kind);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Arguments: nesting depth, text length in bytes.
void BM_TypeNameNestedTuple(benchmark::State& state) {
  run(state, nested_name("Tuple(", ")", state.range(0), state.range(1)));
}

void BM_TypeNameNestedMapKey(benchmark::State& state) {
  run(state, nested_name("Map(", ", UInt8)", state.range(0), state.range(1)));
}

void depths(benchmark::internal::Benchmark* b) {
  for (int64_t depth : {1, 4, 16, 64, 128, 256}) b->Args({depth, int64_t{1} << 20});
  b->Args({250, int64_t{16} << 20});
  b->Unit(benchmark::kMillisecond);
}

// A type name of the usual size, for the cost of a parse when nothing is long.
void BM_TypeNameUsual(benchmark::State& state) {
  run(state, "Map(String, Tuple(a UInt8, b Nullable(String), c Array(LowCardinality(String))))");
}

BENCHMARK(BM_TypeNameUsual);
BENCHMARK(BM_TypeNameNestedTuple)->Apply(depths);
BENCHMARK(BM_TypeNameNestedMapKey)->Apply(depths);

}  // namespace
}  // namespace tarnwick::protocol
