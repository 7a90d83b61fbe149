// The keeping and the discarding block readers walk one layout: on every input both succeed or
// both fail, and on success they consume the same bytes and report the same row count. Only the
// keeping reader expands LowCardinality columns, so only it refuses a dictionary it cannot expand
// (an inner type without an expansion, an index past the dictionary, an expansion over a limit).
#include "fuzz_support.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::fuzz {

int fuzz_block_differential(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  ChunkSource keep_source(in.rest, in.chunk);
  ChunkSource drop_source(in.rest, in.chunk);
  auto kept = protocol::read_block_body(keep_source);
  auto dropped = protocol::discard_block_body(drop_source);
  const bool expansion_refused = !kept.ok() && dropped.ok() &&
                                 kept.error().kind() == base::ErrorKind::Protocol &&
                                 (kept.error().message().starts_with("LowCardinality") ||
                                  kept.error().message().starts_with("column cumulative"));
  if (expansion_refused) return 0;
  if (kept.ok() != dropped.ok()) {
    std::fprintf(stderr, "read_block_body: %s\ndiscard_block_body: %s\n",
                 kept.ok() ? "ok" : kept.error().to_string().c_str(),
                 dropped.ok() ? "ok" : dropped.error().to_string().c_str());
  }
  TW_FUZZ_CHECK(kept.ok() == dropped.ok());
  if (!kept.ok()) return 0;
  TW_FUZZ_CHECK(keep_source.consumed() == drop_source.consumed());
  TW_FUZZ_CHECK(kept->rows == *dropped);
  return 0;
}

}  // namespace tarnwick::fuzz
