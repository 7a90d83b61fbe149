// Column views and their owned copies over large bodies: reading a String column's row ranges and
// turning it into owned texts (one byte buffer and one offset list for all rows), beside the
// fixed-width path and a plain per-row std::string copy for scale.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick/base/bytes.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block.h"

namespace {

using tarnwick::protocol::Block;
using tarnwick::protocol::ColumnInfo;

// A String column of `rows` rows of 5 to 20 ASCII bytes, with the occasional multi-byte text.
Block string_block(uint64_t rows) {
  tarnwick::base::ByteBuffer body;
  for (uint64_t i = 0; i < rows; ++i) {
    std::string text = "row-" + std::to_string(i * 2654435761u % 100000000);
    if (i % 16 == 0) text += "\xC3\xA9\xE6\x97\xA5";
    body.push_back(static_cast<uint8_t>(text.size()));
    body.append(text);
  }
  Block block;
  block.rows = rows;
  block.columns.push_back(ColumnInfo{"s", "String", std::move(body).freeze(), {}});
  return block;
}

Block uint64_block(uint64_t rows) {
  tarnwick::base::ByteBuffer body;
  for (uint64_t i = 0; i < rows; ++i) body.append(&i, 8);
  Block block;
  block.rows = rows;
  block.columns.push_back(ColumnInfo{"n", "UInt64", std::move(body).freeze(), {}});
  return block;
}

void BM_StringReadView(benchmark::State& state) {
  const Block block = string_block(state.range(0));
  for (auto _ : state) {
    auto view = block.read_column_by_index(0);
    benchmark::DoNotOptimize(view);
  }
  state.SetBytesProcessed(state.iterations() * block.columns[0].data.size());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringReadView)->Arg(1 << 20);

void BM_StringIntoOwned(benchmark::State& state) {
  const Block block = string_block(state.range(0));
  auto view = block.read_column_by_index(0);
  for (auto _ : state) {
    auto owned = view->into_owned();
    benchmark::DoNotOptimize(owned.texts().bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * block.columns[0].data.size());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringIntoOwned)->Arg(1 << 20);

// For scale: one std::string per row, as a per-row owned list would cost.
void BM_StringPerRowCopies(benchmark::State& state) {
  const Block block = string_block(state.range(0));
  auto view = block.read_column_by_index(0);
  const auto& strings = view->get<tarnwick::column::ColumnKind::String>();
  for (auto _ : state) {
    std::vector<std::string> out;
    out.reserve(strings.len());
    for (uint64_t i = 0; i < strings.len(); ++i) out.push_back(*strings.get_string(i));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * block.columns[0].data.size());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringPerRowCopies)->Arg(1 << 20);

void BM_UInt64IntoOwned(benchmark::State& state) {
  const Block block = uint64_block(state.range(0));
  for (auto _ : state) {
    auto owned = block.read_column_by_index(0)->into_owned();
    benchmark::DoNotOptimize(owned.uint64s().data());
  }
  state.SetBytesProcessed(state.iterations() * block.columns[0].data.size());
}
BENCHMARK(BM_UInt64IntoOwned)->Arg(1 << 20);

}  // namespace
