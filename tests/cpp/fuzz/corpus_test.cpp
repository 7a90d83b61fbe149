// Runs every fuzz target over its checked-in corpus (seeds and the inputs of past findings), so
// the regular suite catches a decoder that starts crashing or breaking an invariant on them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace tarnwick::fuzz {
namespace {

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

constexpr Target kTargets[] = {
    {"type_grammar", fuzz_type_grammar},
    {"block_body", fuzz_block_body},
    {"block_differential", fuzz_block_differential},
    {"frames", fuzz_frames},
    {"server_packets", fuzz_server_packets},
    {"chunked", fuzz_chunked},
    {"stream_buffer", fuzz_stream_buffer},
};

class FuzzCorpusTest : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpusTest, RunsEveryInput) {
  const std::filesystem::path dir =
      std::filesystem::path(TARNWICK_FUZZ_CORPUS_DIR) / GetParam().name;
  size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    SCOPED_TRACE(entry.path().string());
    GetParam().run(bytes.data(), bytes.size());
    ++inputs;
  }
  EXPECT_GT(inputs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusTest, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::fuzz
