// The keeping and the discarding block readers walk one layout: on every input both succeed or
// both fail, and on success they consume the same bytes and report the same row count. Every kind
// the keeping reader reads the discarder steps over (Variant and Dynamic included), and refuses
// only what that reader refuses. One difference is by design: only the keeping reader keeps what
// it reads, so only it refuses what that takes past a limit, and only it expands LowCardinality
// columns, so only it refuses a dictionary it cannot expand (an inner type without an expansion,
// an index past the dictionary, an expansion over a limit).
//
// The buffered parser reads the same input from memory: it fails only with protocol errors or as
// incomplete (the input ran out), leaves its position where it was on failure, and builds the
// keeping reader's block, ending where it ends, whenever the keeping reader succeeds, unless the
// block has a nested JSON column or a LowCardinality with other index flags inside a Variant or
// Dynamic column, which only it refuses (the keeping reader stores those bodies as they came,
// reading the flags only for the index width). It may accept what the keeping reader refuses: it
// has no column budget.
//
// The selector's low flag bit picks the layout of older servers (no custom-serialization flag, a
// body for a nested LowCardinality of no rows); all three decoders read with the same layout.
//
// With the selector's high flag bit set, the input after one byte is the tail of a one-row Dynamic
// column whose prefix opens 2 * that byte nested Dynamic levels, so that the nesting limit is in
// reach of small inputs.
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::fuzz {

namespace {

void check_parser(std::span<const uint8_t> input, const base::Result<protocol::Block>& kept,
                  size_t kept_end, const protocol::BlockLayout& layout) {
  uint64_t pos = 0;
  auto parsed = protocol::parse_block_body(input, pos, layout);
  TW_FUZZ_CHECK(parsed.ok() ? pos <= input.size() : pos == 0);
  if (!parsed.ok()) {
    // A block over the byte limit is refused by both decoders, though not always at one column.
    if (parsed.error().kind() == base::ErrorKind::ResponseTooLarge) return;
    TW_FUZZ_CHECK(parsed.error().kind() == base::ErrorKind::Protocol ||
                  protocol::is_incomplete(parsed.error()));
    const std::string& why = parsed.error().message();
    if (kept.ok() && !why.starts_with("nested JSON columns") &&
        !why.starts_with("LowCardinality global") &&
        !why.starts_with("LowCardinality additional")) {
      std::fprintf(stderr, "parse_block_body: %s\n", parsed.error().to_string().c_str());
      TW_FUZZ_CHECK(!kept.ok());
    }
    return;
  }
  if (!kept.ok()) return;
  TW_FUZZ_CHECK(pos == kept_end);
  TW_FUZZ_CHECK(parsed->rows == kept->rows);
  TW_FUZZ_CHECK(parsed->columns.size() == kept->columns.size());
  for (size_t i = 0; i < kept->columns.size(); ++i) {
    const protocol::ColumnInfo &p = parsed->columns[i], &k = kept->columns[i];
    TW_FUZZ_CHECK(p.name == k.name && p.type_name == k.type_name);
    TW_FUZZ_CHECK(p.data.view() == k.data.view());
  }
}

// A block of one Dynamic column of one row: `levels` nested prefixes naming "Dynamic", then `tail`.
std::vector<uint8_t> nested_dynamic(unsigned levels, std::span<const uint8_t> tail) {
  std::vector<uint8_t> out = {0, 1, 1};  // no block info, one column, one row
  auto text = [&](std::string_view s) {
    out.push_back(static_cast<uint8_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  };
  text("d");
  text("Dynamic");
  out.push_back(0);
  for (unsigned i = 0; i < levels; ++i) {
    const uint8_t version2[8] = {2};
    out.insert(out.end(), version2, version2 + 8);
    out.push_back(1);
    text("Dynamic");
  }
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

}  // namespace

int fuzz_block_differential(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  std::vector<uint8_t> nested;
  if ((in.flags & 2) != 0 && !in.rest.empty()) {
    nested = nested_dynamic(2u * in.rest[0], in.rest.subspan(1));
    in.rest = nested;
  }
  ChunkSource keep_source(in.rest, in.chunk);
  ChunkSource drop_source(in.rest, in.chunk);
  const protocol::BlockLayout layout =
      (in.flags & 1) != 0
          ? protocol::BlockLayout::for_revision(protocol::kLastRevisionWithEmptyLowCardinalityBody)
          : protocol::BlockLayout{};
  auto kept = protocol::read_block_body(keep_source, layout);
  auto dropped = protocol::discard_block_body(drop_source, layout);
  check_parser(in.rest, kept, keep_source.consumed(), layout);
  // What a kept block makes is charged to limits that the discarder, which keeps nothing, has no
  // need of.
  const bool expansion_refused = !kept.ok() && dropped.ok() &&
                                 (kept.error().kind() == base::ErrorKind::ResponseTooLarge ||
                                  (kept.error().kind() == base::ErrorKind::Protocol &&
                                   (kept.error().message().starts_with("LowCardinality") ||
                                    kept.error().message().starts_with("column cumulative"))));
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
