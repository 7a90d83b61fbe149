// The chunked-framing reader over arbitrary bytes, read in steps of varying size, against a
// plain reading of the framing: its output must be the chunk payloads in order, and a read may
// fail only when it asks for more than the well-formed chunks hold.
//
// Selector flags pick the read steps: small, large (whole chunks straight into the destination),
// or mixed.
#include "tarnwick/sync/chunked.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace tarnwick::fuzz {

namespace {

// The payloads of the complete chunks before the first incomplete or oversized one.
std::vector<uint8_t> payloads(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  size_t pos = 0;
  while (bytes.size() - pos >= 4) {
    uint32_t length;
    std::memcpy(&length, &bytes[pos], 4);
    pos += 4;
    if (length > sync::kMaxChunkLength || bytes.size() - pos < length) break;
    out.insert(out.end(), bytes.begin() + pos, bytes.begin() + pos + length);
    pos += length;
  }
  return out;
}

}  // namespace

int fuzz_chunked(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  static constexpr size_t kSteps[4][3] = {{1, 2, 3}, {7, 64, 1}, {256, 4096, 65536}, {1, 300, 17}};
  const std::vector<uint8_t> expected = payloads(in.rest);

  ChunkSource inner(in.rest, in.chunk);
  sync::ChunkedReader reader(inner);
  std::vector<uint8_t> out;
  std::vector<uint8_t> step;
  for (size_t i = 0;; ++i) {
    const size_t n = kSteps[in.flags][i % 3];
    step.resize(n);
    if (!reader.read_exact(step.data(), n).ok()) {
      TW_FUZZ_CHECK(out.size() + n > expected.size());
      break;
    }
    out.insert(out.end(), step.begin(), step.end());
    TW_FUZZ_CHECK(out.size() <= expected.size());
    TW_FUZZ_CHECK(reader.chunk_remaining() <= sync::kMaxChunkLength);
  }
  TW_FUZZ_CHECK(std::equal(out.begin(), out.end(), expected.begin()));
  return 0;
}

}  // namespace tarnwick::fuzz
