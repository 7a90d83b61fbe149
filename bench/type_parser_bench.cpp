// The column type grammar over long, deeply nested type names. The time per byte must not grow
// with the nesting depth: every level finds its own commas without walking the text of the levels
// inside it again.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "tarnwick/protocol/column_reader.h"
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

// Parses under the budget a column's type has; with `refused`, refusal is the expected outcome.
void run(benchmark::State& state, const std::string& text, bool refused = false) {
  for (auto _ : state) {
    auto parsed = parse_type(text, kColumnByteLimit);
    if (parsed.ok() == refused) {
      state.SkipWithError(refused ? "parsed, though a column may not hold it"
                                  : parsed.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(parsed.ok());
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

// A Tuple of `length` bytes whose elements are all `element`: the most nodes a name of that length
// makes. At 16 MiB each is refused once its nodes need more than a column may hold.
std::string wide_tuple(std::string_view element, int64_t length) {
  std::string text = "Tuple(";
  text.reserve(static_cast<size_t>(length));
  while (static_cast<int64_t>(text.size() + element.size() + 2) < length) {
    text.append(element);
    text.push_back(',');
  }
  text.append(element);
  text.push_back(')');
  return text;
}

void BM_TypeNameWideTuple(benchmark::State& state) {
  static constexpr std::string_view kElements[] = {"UInt8", "a", "Tuple(a)"};
  run(state, wide_tuple(kElements[state.range(0)], state.range(1)), true);
}

// A type name of the usual size, for the cost of a parse when nothing is long.
void BM_TypeNameUsual(benchmark::State& state) {
  run(state, "Map(String, Tuple(a UInt8, b Nullable(String), c Array(LowCardinality(String))))");
}

BENCHMARK(BM_TypeNameUsual);
BENCHMARK(BM_TypeNameNestedTuple)->Apply(depths);
BENCHMARK(BM_TypeNameNestedMapKey)->Apply(depths);
// Arguments: the element (UInt8, a single letter, a one-element Tuple), text length in bytes.
BENCHMARK(BM_TypeNameWideTuple)
    ->ArgsProduct({{0, 1, 2}, {int64_t{16} << 20}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick::protocol
