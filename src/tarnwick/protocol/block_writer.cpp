#include "tarnwick/protocol/block_writer.h"

#include <cstdio>
#include <cstdlib>

#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

namespace {

constexpr uint8_t kBlockInfo[] = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Bytes of the varint of `value`.
constexpr size_t varint_len(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

[[noreturn, gnu::cold]] void size_overflow() {
  // The sizes of objects held in memory cannot add up past 2^64.
  std::fputs("tarnwick: block size overflows 64 bits\n", stderr);
  std::abort();
}

void add(size_t& total, size_t n) {
  if (__builtin_add_overflow(total, n, &total)) size_overflow();
}

}  // namespace

size_t block_capacity(const Block& block) {
  size_t total = sizeof kBlockInfo;
  add(total, varint_len(block.columns.size()));
  add(total, varint_len(block.rows));
  for (const ColumnInfo& column : block.columns) {
    add(total, varint_len(column.name.size()));
    add(total, column.name.size());
    add(total, varint_len(column.type_name.size()));
    add(total, column.type_name.size());
    add(total, 1);
    add(total, column.data.size());
  }
  return total;
}

void write_block(ByteBuffer& out, const Block& block) {
  out.reserve(out.size() + block_capacity(block));
  out.append(kBlockInfo, sizeof kBlockInfo);
  write_varint(out, block.columns.size());
  write_varint(out, block.rows);
  for (const ColumnInfo& column : block.columns) {
    write_string(out, column.name);
    write_string(out, column.type_name);
    out.push_back(0);
    out.append(column.data.span());
  }
}

}  // namespace tarnwick::protocol
