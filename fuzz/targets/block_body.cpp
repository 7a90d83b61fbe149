// One data block read from a source that refills in chunks of the size the first input byte
// picks, then every column of a decoded block opened as its typed view and copied out. A body the
// block reader accepted must also be readable as its type.
#include "fuzz_support.h"
#include "tarnwick/column/any.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::fuzz {

int fuzz_block_body(const uint8_t* data, size_t size) {
  Selected in;
  if (!select_input(data, size, in)) return -1;
  ChunkSource source(in.rest, in.chunk);
  auto block = protocol::read_block_body(source);
  if (!block.ok()) return 0;
  TW_FUZZ_CHECK(source.consumed() <= in.rest.size());
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
