// Blocks captured from a real server, as native-protocol block bodies (block info, counts, column
// records with their flag byte, bodies):
//  - the Native-format captures of native_columns.json (HTTP carries bare column records; the
//    manifest gives each body's extent), framed as the native protocol carries them;
//  - every Data packet of the tcp_*.bin replies, decoded through the server's own compressed
//    frames. That server's revision sends no flag byte, so each column record gets one here.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "support/json.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::testing {

struct GoldenBlock {
  std::string what;  // file and block or packet offset
  std::vector<uint8_t> wire;
  uint64_t rows;
};

inline std::string slurp_vector(const std::string& name) {
  std::ifstream f(std::string(TARNWICK_VECTORS_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(f.good()) << name;
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void add_manifest_blocks(std::vector<GoldenBlock>& out) {
  Json manifest = Json::parse(slurp_vector("native_columns.json"));
  for (const Json& entry : manifest.items) {
    const std::string file = entry["file"].text;
    const std::string raw = slurp_vector(file);
    std::span<const uint8_t> all(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
    for (const Json& blk : entry["blocks"].items) {
      uint64_t pos = blk["offset"].u64();
      uint64_t ncols = *protocol::parse_varint(all, pos), nrows = *protocol::parse_varint(all, pos);
      Wire wire;
      wire.block_head(ncols, nrows);
      for (uint64_t c = 0; c < ncols; ++c) {
        std::string name(*protocol::parse_string(all, pos));
        std::string type(*protocol::parse_string(all, pos));
        uint64_t start = blk["column_bodies"][c][0].u64(), end = blk["column_bodies"][c][1].u64();
        wire.column(name, type).raw(std::vector<uint8_t>(all.begin() + start, all.begin() + end));
        pos = end;
      }
      out.push_back({file + " @" + std::to_string(blk["offset"].u64()), wire.get(), nrows});
    }
  }
}

// Walks a reply of the server (Data, ProfileInfo, Progress, EndOfStream packets).
inline void add_reply_blocks(std::vector<GoldenBlock>& out, const std::string& file) {
  const std::string raw = slurp_vector(file);
  std::span<const uint8_t> all(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
  base::MemorySource reply(all);
  for (int packet = 0; packet < 100; ++packet) {
    const size_t at = all.size() - reply.remaining();
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
    ASSERT_TRUE(protocol::skip_block_info_from_reader(src).ok());
    uint64_t ncols = *protocol::read_varint(src), rows = *protocol::read_varint(src);
    Wire wire;
    wire.block_head(ncols, rows);
    for (uint64_t c = 0; c < ncols; ++c) {
      std::string name = *protocol::read_string(src), type_name = *protocol::read_string(src);
      base::ByteBuffer body;
      uint64_t budget = protocol::kColumnByteLimit;
      ASSERT_TRUE(protocol::read_column_data_into(src, *protocol::parse_column_type(type_name),
                                                  rows, body, budget)
                      .ok());
      wire.column(name, type_name)
          .raw(std::vector<uint8_t>(body.data(), body.data() + body.size()));
    }
    ASSERT_EQ(src.buffered().size(), 0u);
    out.push_back({file + " @" + std::to_string(at), wire.get(), rows});
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
