#include "tarnwick/protocol/block_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

namespace {

constexpr uint8_t kBlockInfo[] = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// The block info and the column and row counts.
void write_block_head(ByteBuffer& out, const Block& block) {
  out.append(kBlockInfo, sizeof kBlockInfo);
  write_varint(out, block.columns.size());
  write_varint(out, block.rows);
}

// What precedes a column's body: its name, its type and, where the layout has it, the
// serialization byte.
void write_column_head(ByteBuffer& out, const ColumnInfo& column, const BlockLayout& layout) {
  write_string(out, column.name);
  write_string(out, column.type_name);
  if (layout.serialization_flag) out.push_back(0);
}

[[noreturn, gnu::cold]] void size_overflow() {
  // The sizes of objects held in memory cannot add up past 2^64.
  std::fputs("tarnwick: block size overflows 64 bits\n", stderr);
  std::abort();
}

void add(size_t& total, size_t n) {
  if (__builtin_add_overflow(total, n, &total)) size_overflow();
}

[[gnu::cold]] Error unsendable(const ColumnInfo& column, std::string_view why) {
  return Error::protocol(cat("cannot send column '", base::excerpt(column.name), "' of type ",
                             base::excerpt(column.type_name), ": ", why));
}

}  // namespace

Result<std::optional<Block>> wire_form(const Block& block) {
  std::optional<Block> out;
  for (size_t i = 0; i < block.columns.size(); ++i) {
    const ColumnInfo& column = block.columns[i];
    // A filled `materialized` marks a body encoded already; most type names name no LowCardinality.
    if (!column.materialized.empty() ||
        column.type_name.find("LowCardinality") == std::string::npos) {
      continue;
    }
    Result<ColumnType> type = parse_type(column.type_name);
    if (!type.ok() || !has_low_cardinality(*type)) continue;  // sent as given, as any other
    if (block.rows == 0 && column.data.empty()) continue;
    if (type->kind != TypeKind::LowCardinality) {
      return unsendable(column,
                        "a LowCardinality nested in another type is held expanded and is not "
                        "encoded for sending");
    }
    if (!out) out = block;  // shares every body
    ColumnInfo& sent = out->columns[i];
    if (block.rows == 0) {  // no rows, no body
      sent.data = {};
      continue;
    }
    Result<base::ByteBuffer> encoded =
        encode_low_cardinality(type->inner(), column.data.span(), block.rows);
    if (!encoded.ok()) return unsendable(column, encoded.error().message());
    sent.materialized = column.data;
    sent.data = std::move(*encoded).freeze();
  }
  return out;
}

size_t block_capacity(const Block& block, const BlockLayout& layout) {
  size_t total = sizeof kBlockInfo;
  add(total, varint_length(block.columns.size()));
  add(total, varint_length(block.rows));
  for (const ColumnInfo& column : block.columns) {
    add(total, varint_length(column.name.size()));
    add(total, column.name.size());
    add(total, varint_length(column.type_name.size()));
    add(total, column.type_name.size());
    add(total, layout.serialization_flag ? 1 : 0);
    add(total, column.data.size());
  }
  return total;
}

void write_block(ByteBuffer& out, const Block& block, const BlockLayout& layout) {
  out.reserve(out.size() + block_capacity(block, layout));
  write_block_head(out, block);
  for (const ColumnInfo& column : block.columns) {
    write_column_head(out, column, layout);
    out.append(column.data.span());
  }
}

size_t data_packet_compressed_capacity(std::string_view table, const Block& block,
                                       const BlockLayout& layout) {
  const size_t payload = block_capacity(block, layout);
  const size_t frames = payload / kMaxFramePayload + 1;
  // Per frame: its prefix and the LZ4 worst-case growth (n / 255 + 16) of a full piece.
  const size_t per_frame = compression::kFramePrefixSize + kMaxFramePayload / 255 + 16;
  size_t total = 1 + varint_length(table.size()) + table.size();
  add(total, payload);
  add(total, frames * per_frame);
  return total;
}

Status write_data_packet_compressed(ByteBuffer& out, std::string_view table, const Block& block,
                                    uint8_t method, const BlockLayout& layout) {
  out.reserve(out.size() + data_packet_compressed_capacity(table, block, layout));
  out.push_back(code(ClientPacket::Data));
  write_string(out, table);
  // The block is the run of its head, then each column's header and body. It is framed in pieces
  // of kMaxFramePayload bytes, each compressed and hashed while it is still in cache: a piece that
  // lies inside one body is framed straight from it, the others are gathered into `staging`.
  ByteBuffer headers;
  std::vector<size_t> header_ends;
  write_block_head(headers, block);
  header_ends.push_back(headers.size());
  for (const ColumnInfo& column : block.columns) {
    write_column_head(headers, column, layout);
    header_ends.push_back(headers.size());
  }
  ByteBuffer staging;
  auto feed = [&](std::span<const uint8_t> bytes) -> Status {
    while (!bytes.empty()) {
      if (staging.empty() && bytes.size() >= kMaxFramePayload) {
        TW_TRY(compression::encode_frame_into(out, bytes.first(kMaxFramePayload), method));
        bytes = bytes.subspan(kMaxFramePayload);
        continue;
      }
      const size_t take = std::min(kMaxFramePayload - staging.size(), bytes.size());
      staging.append(bytes.first(take));
      bytes = bytes.subspan(take);
      if (staging.size() == kMaxFramePayload) {
        TW_TRY(compression::encode_frame_into(out, staging.span(), method));
        staging.clear();
      }
    }
    return {};
  };
  size_t at = 0;
  for (size_t i = 0; i < header_ends.size(); ++i) {
    TW_TRY(feed(headers.span().subspan(at, header_ends[i] - at)));
    at = header_ends[i];
    if (i > 0) TW_TRY(feed(block.columns[i - 1].data.span()));
  }
  if (!staging.empty()) TW_TRY(compression::encode_frame_into(out, staging.span(), method));
  return {};
}

}  // namespace tarnwick::protocol
