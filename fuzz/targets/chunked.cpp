// The chunked-framing reader over arbitrary bytes, read in steps of varying size, against a
// plain reading of the framing: its output must be the chunk payloads in order, and a read may
// fail only when it asks for more than the well-formed chunks hold.
//
// Selector flags pick the step sizes: small, large (whole chunks straight into the destination),
// or mixed; every third step skips instead of reading.
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
  size_t pos = 0;  // into expected
  std::vector<uint8_t> step;
  for (size_t i = 0;; ++i) {
    const size_t n = kSteps[in.flags][i % 3];
    // The third step of each round skips (through refill); the others read (through read_direct).
    const bool skip = i % 3 == 2;
    step.resize(n);
    if (!(skip ? reader.skip(n) : reader.read_exact(step.data(), n)).ok()) {
      TW_FUZZ_CHECK(pos + n > expected.size());
      break;
    }
    TW_FUZZ_CHECK(pos + n <= expected.size());
    TW_FUZZ_CHECK(skip || std::equal(step.begin(), step.end(), expected.begin() + pos));
    pos += n;
    TW_FUZZ_CHECK(reader.chunk_remaining() <= sync::kMaxChunkLength);
  }
  return 0;
}

}  // namespace tarnwick::fuzz
