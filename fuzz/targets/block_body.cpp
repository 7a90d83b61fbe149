// One data block read from a source that refills in chunks of the size the first input byte
// picks, then every column of a decoded block opened as its typed view and copied out. A body the
// block reader accepted must also be readable as its type.
//
// With the selector's flags set the block is read, and parsed from memory, under a byte limit of
// 64 bytes per input byte times the flags, within reach of the lengths small inputs claim: a block
// accepted costs no more than the limit, and one refused for it names a count above the limit.
// Read once more with half that limit for its decoded bytes and the whole of it for what else it
// holds, a block accepted decodes to no more than the half, and a refusal names the limit it met.
// Read a third time so (without flags, as under one), walking a refused block to its end, a
// refusal of the decoded bytes names the whole block's decoded size, and any refusal leaves the
// source where the block ends.
#include "fuzz_support.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::fuzz {

namespace {

void check_limit(const base::Result<protocol::Block>& block, uint64_t limit) {
  if (block.ok()) {
    TW_FUZZ_CHECK(protocol::block_cost(*block) <= limit);
  } else if (block.error().kind() == base::ErrorKind::ResponseTooLarge) {
    TW_FUZZ_CHECK(block.error().decoded() > limit && block.error().limit() == limit);
  }
}

// The byte limit the flags pick (with none, one of 64 bytes per input byte).
uint64_t limit_of(const Selected& in) {
  return uint64_t{64} * in.rest.size() * (in.flags != 0 ? in.flags : 1);
}

}  // namespace

int fuzz_block_body(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  if (in.flags != 0) {
    const uint64_t limit = limit_of(in);
    ChunkSource limited(in.rest, in.chunk);
    check_limit(protocol::read_block_body(limited, {}, limit), limit);
    uint64_t pos = 0;
    check_limit(protocol::parse_block_body(in.rest, pos, {}, limit), limit);
    const protocol::BlockLimits split{limit / 2, limit, UINT64_MAX};
    ChunkSource again(in.rest, in.chunk);
    const auto kept = protocol::read_block_body(again, {}, split);
    if (kept.ok()) {
      TW_FUZZ_CHECK(protocol::block_data_size(*kept) <= split.data);
    } else if (kept.error().kind() == base::ErrorKind::ResponseTooLarge) {
      const uint64_t met = kept.error().is_allowance_exceeded() ? split.held : split.data;
      TW_FUZZ_CHECK(kept.error().decoded() > met && kept.error().limit() == met);
    }
  }
  const protocol::BlockLimits walk{limit_of(in) / 2, limit_of(in), UINT64_MAX};
  ChunkSource walked_source(in.rest, in.chunk);
  const auto walked = protocol::read_block_body(walked_source, {}, walk, nullptr, nullptr,
                                                protocol::Refused::StepOver);
  ChunkSource source(in.rest, in.chunk);
  auto block = protocol::read_block_body(source);
  if (!block.ok()) return 0;
  TW_FUZZ_CHECK(source.consumed() <= in.rest.size());
  if (!walked.ok() && walked.error().kind() == base::ErrorKind::ResponseTooLarge) {
    TW_FUZZ_CHECK(walked_source.consumed() == source.consumed());
    if (!walked.error().is_allowance_exceeded()) {
      TW_FUZZ_CHECK(walked.error().decoded() == protocol::block_data_size(*block));
    }
  }
  for (size_t i = 0; i < block->columns.size(); ++i) {
    auto column = block->read_column_by_index(i);
    TW_FUZZ_CHECK(column.ok());
    const column::OwnedColumnData owned = column->into_owned();
    (void)owned;
    (void)column->len();
  }
  return 0;
}

}  // namespace tarnwick::fuzz
