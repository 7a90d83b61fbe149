// Blocks captured from a real server, as native-protocol block bodies (block info, counts, column
// records with their flag byte, bodies):
//  - the Native-format captures of native_columns.json (HTTP carries bare column records; the
//    manifest gives each body's extent and the server's text of every row), framed as the native
//    protocol carries them;
//  - every Data packet of the tcp_*.bin replies, decoded through the server's own compressed
//    frames.
// All of them are in the layout of that server's revision (kGoldenLayout): no flag byte after the
// type name, and a body for a nested LowCardinality of no rows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/json.h"
#include "support/vectors.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::testing {

inline constexpr protocol::BlockLayout kGoldenLayout = protocol::BlockLayout::for_revision(54412);

struct GoldenBlock {
  std::string file, what;  // what: file and block or packet offset
  std::vector<uint8_t> wire;
  uint64_t rows;
  // Manifest blocks only: each column's name and type, its body as captured, the server's text of
  // each row.
  std::vector<std::pair<std::string, std::string>> columns;
  std::vector<std::vector<uint8_t>> bodies;
  std::vector<std::vector<std::string>> tsv;
};

inline void add_manifest_blocks(std::vector<GoldenBlock>& out) {
  Json manifest = Json::parse(slurp_vector("native_columns.json"));
  ASSERT_EQ(manifest.size(), 17u);
  for (const Json& entry : manifest.items) {
    const std::string file = entry["file"].text;
    const std::string raw = slurp_vector(file);
    std::span<const uint8_t> all = as_bytes(raw);
    size_t row_base = 0;
    for (const Json& blk : entry["blocks"].items) {
      uint64_t pos = blk["offset"].u64();
      GoldenBlock g{file, file + " @" + std::to_string(pos), {}, 0, {}, {}, {}};
      uint64_t ncols = *protocol::parse_varint(all, pos);
      g.rows = *protocol::parse_varint(all, pos);
      ASSERT_EQ(g.rows, blk["rows"].u64()) << g.what;
      Wire wire;
      wire.block_head(ncols, g.rows);
      for (uint64_t c = 0; c < ncols; ++c) {
        base::MemorySource record(all.subspan(pos));
        std::string name(*protocol::read_string(record)), type(*protocol::read_string(record));
        pos = all.size() - record.remaining();
        ASSERT_EQ(name, entry["columns"][c][0].text) << g.what;
        ASSERT_EQ(type, entry["columns"][c][1].text) << g.what;
        uint64_t start = blk["column_bodies"][c][0].u64(), end = blk["column_bodies"][c][1].u64();
        ASSERT_EQ(pos, start) << g.what;
        g.bodies.emplace_back(all.begin() + start, all.begin() + end);
        wire.column(name, type, false).raw(g.bodies.back());
        g.columns.emplace_back(name, type);
        pos = end;
      }
      for (uint64_t r = 0; r < g.rows; ++r) {
        g.tsv.emplace_back();
        for (const Json& cell : entry["rows_tsv"][row_base + r].items)
          g.tsv.back().push_back(cell.text);
      }
      row_base += g.rows;
      g.wire = wire.get();
      out.push_back(std::move(g));
    }
    ASSERT_EQ(row_base, entry["rows_tsv"].size()) << file;
  }
}

// Walks a reply of the server (Data, ProfileInfo, Progress, EndOfStream packets).
inline void add_reply_blocks(std::vector<GoldenBlock>& out, const std::string& file) {
  const std::string raw = slurp_vector(file);
  base::MemorySource reply(as_bytes(raw));
  for (int packet = 0; packet < 100; ++packet) {
    const size_t at = raw.size() - reply.remaining();
    auto type = protocol::read_varint(reply);
    ASSERT_TRUE(type.ok()) << file;
    if (*type == 5) return;  // EndOfStream
    if (*type == 6) {        // ProfileInfo
      for (int i = 0; i < 6; ++i)
        ASSERT_TRUE((i == 3 || i == 5 ? reply.read_u8().ok() : protocol::read_varint(reply).ok()));
      continue;
    }
    if (*type == 3) {  // Progress
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(protocol::read_varint(reply).ok());
      continue;
    }
    ASSERT_EQ(*type, 1u) << file << " @" << at;
    ASSERT_TRUE(protocol::read_string(reply).ok());
    compression::DecompressingReader src(reply);
    ASSERT_TRUE(src.start().ok());
    ASSERT_FALSE(src.passthrough());
    ASSERT_TRUE(protocol::skip_block_info_from_reader(src).ok());
    uint64_t ncols = *protocol::read_varint(src), rows = *protocol::read_varint(src);
    Wire wire;
    wire.block_head(ncols, rows);
    for (uint64_t c = 0; c < ncols; ++c) {
      std::string name = *protocol::read_string(src), type_name = *protocol::read_string(src);
      base::ByteBuffer body;
      uint64_t budget = protocol::kColumnByteLimit;
      ASSERT_TRUE(protocol::read_column_data_into(src, *protocol::parse_column_type(type_name),
                                                  rows, body, budget, kGoldenLayout)
                      .ok());
      wire.column(name, type_name, false)
          .raw(std::vector<uint8_t>(body.data(), body.data() + body.size()));
    }
    ASSERT_EQ(src.buffered().size(), 0u);  // the block ends where the frames end
    out.push_back({file, file + " @" + std::to_string(at), wire.get(), rows, {}, {}, {}});
  }
  ADD_FAILURE() << file << ": no EndOfStream";
}

inline std::vector<GoldenBlock> golden_blocks() {
  std::vector<GoldenBlock> out;
  add_manifest_blocks(out);
  for (const char* file :
       {"tcp_numbers.bin", "tcp_strings.bin", "tcp_zero_rows.bin", "tcp_large_block.bin"}) {
    add_reply_blocks(out, file);
  }
  return out;
}

}  // namespace tarnwick::testing
