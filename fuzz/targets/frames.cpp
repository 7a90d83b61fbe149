// Compressed frames over arbitrary bytes: decode_frame_bytes on the input, and a
// DecompressingReader started over it and read to the end in reads of varying size. The reader's
// output is checked against the frames decoded one by one with decode_frame_bytes (or against the
// input itself when the reader passes it through).
//
// Selector flags: bit 0 rewrites the checksum of every frame the input lays out, so that inputs
// reach the codec instead of stopping at the checksum; bit 1 reads in large steps (which decode
// whole frames straight into the destination) instead of small ones.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "tarnwick/compression/cityhash.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::fuzz {

namespace {

using namespace tarnwick::compression;

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void fix_checksums(std::vector<uint8_t>& bytes) {
  size_t pos = 0;
  while (bytes.size() - pos >= kFramePrefixSize) {
    const uint32_t compressed = load_u32(&bytes[pos + kChecksumSize + 1]);
    if (compressed < kHeaderSize || bytes.size() - pos - kChecksumSize < compressed) return;
    const Hash128 sum = city_hash128(&bytes[pos + kChecksumSize], compressed);
    std::memcpy(&bytes[pos], &sum.low, 8);
    std::memcpy(&bytes[pos + 8], &sum.high, 8);
    pos += kChecksumSize + compressed;
  }
}

// What a reader over `bytes` should deliver: whether start() succeeds, and the bytes up to the
// first frame that cannot be decoded (or the end).
struct Expected {
  bool starts = false;
  std::vector<uint8_t> output;
};

Expected expect(std::span<const uint8_t> bytes) {
  Expected e;
  if (bytes.size() < kChecksumSize + 1) return e;
  const bool frames = is_known_method(bytes[kChecksumSize]);
  if (frames && bytes.size() < kFramePrefixSize) return e;
  if (!frames || load_u32(&bytes[kChecksumSize + 1]) < kHeaderSize) {
    e.starts = true;
    e.output.assign(bytes.begin(), bytes.end());
    return e;
  }
  size_t pos = 0;
  while (pos < bytes.size()) {
    auto frame = decode_frame_bytes(bytes.subspan(pos));
    if (!frame.ok()) return e;
    e.starts = true;
    e.output.insert(e.output.end(), frame->data(), frame->data() + frame->size());
    pos += kChecksumSize + load_u32(&bytes[pos + kChecksumSize + 1]);
  }
  return e;
}

}  // namespace

int fuzz_frames(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  std::vector<uint8_t> bytes(in.rest.begin(), in.rest.end());
  if (in.flags & 1) fix_checksums(bytes);

  auto single = decode_frame_bytes(bytes);
  if (single.ok()) {
    TW_FUZZ_CHECK(single->size() == load_u32(&bytes[kChecksumSize + 5]));
  }

  const Expected expected = expect(bytes);
  ChunkSource inner(bytes, in.chunk);
  DecompressingReader reader(inner);
  const bool started = reader.start().ok();
  TW_FUZZ_CHECK(started == expected.starts);
  if (!started) return 0;

  static constexpr size_t kSmall[] = {1, 5, 33};
  static constexpr size_t kLarge[] = {512, 70000};
  const bool large = (in.flags & 2) != 0;
  const std::vector<uint8_t>& want = expected.output;
  size_t pos = 0;  // into want
  std::vector<uint8_t> step;
  for (size_t i = 0;; ++i) {
    const size_t n = large ? kLarge[i % 2] : kSmall[i % 3];
    // Every fourth step skips, which goes through refill rather than read_direct.
    const bool skip = i % 4 == 3;
    step.resize(n);
    if (!(skip ? reader.skip(n) : reader.read_exact(step.data(), n)).ok()) {
      // Only a step that needed bytes beyond what decodes may fail.
      TW_FUZZ_CHECK(pos + n > want.size());
      break;
    }
    TW_FUZZ_CHECK(pos + n <= want.size());
    TW_FUZZ_CHECK(skip || std::equal(step.begin(), step.end(), want.begin() + pos));
    pos += n;
  }
  return 0;
}

}  // namespace tarnwick::fuzz
