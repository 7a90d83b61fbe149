// Blocks and column bodies shared by the block readers' tests: the reader tests check what the
// keeping reader makes of them, the discarder tests that the discarding reader walks them alike.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/wire_builder.h"

namespace tarnwick::testing {

using FixtureBytes = std::vector<uint8_t>;

// A block of two rows with a column of most kinds the reader decodes itself.
struct SampleBlock {
  Wire wire;
  std::vector<std::pair<std::string, FixtureBytes>> bodies;  // type name, body as kept
};

inline SampleBlock sample_block() {
  const std::vector<std::pair<std::string, FixtureBytes>> bodies = {
      {"UInt8", Wire().bytes({1, 2})},
      {"String", Wire().str("").str("h\xc3\xa9llo")},
      {"Nullable(String)", Wire().bytes({1, 0}).str("").str("x")},
      {"Array(UInt32)", Wire().u64(1).u64(3).le<uint32_t>(7).le<uint32_t>(8).le<uint32_t>(9)},
      {"Map(String, UInt8)", Wire().u64(1).u64(1).str("k").bytes({5})},
      {"Tuple(UInt8, String)", Wire().bytes({3, 4}).str("a").str("b")},
      {"FixedString(2)", Wire().raw("abcd")},
      {"Decimal(18, 2)", Wire().u64(150).u64(static_cast<uint64_t>(-150))},
      {"Point", Wire().fill(16, 1).fill(16, 2)},
      {"JSON", Wire().u64(1).str("{}").str("[1]")},
      {"Nothing", Wire().bytes({0, 0})},
      {"Array(Array(String))", Wire().u64(0).u64(2).u64(1).u64(1).str("z")},
  };
  SampleBlock s;
  s.wire.block_head(bodies.size(), 2);
  int i = 0;
  for (const auto& [type, body] : bodies) {
    s.wire.column("c" + std::to_string(i++), type).raw(body);
    FixtureBytes kept = body;
    if (type == "JSON") kept.erase(kept.begin(), kept.begin() + 8);  // the version is not kept
    s.bodies.push_back({type, kept});
  }
  return s;
}

// Block headers of every shape, with what read_block_body makes of them.
struct HeaderCase {
  const char* what;
  FixtureBytes wire;
  std::string error;  // "ok" or the display text of the failure
  uint64_t rows = 0;
  size_t columns = 0;
};

inline std::vector<HeaderCase> header_cases() {
  return {
      {"empty block", Wire().block_head(0, 0), "ok"},
      {"rows without columns", Wire().block_head(0, 5), "ok", 5},
      {"all block-info fields", Wire().bytes({1, 0, 2, 1, 2, 3, 4, 3, 0xAC, 0x02, 0}).bytes({0, 0}),
       "ok"},
      {"unknown field ends the list", Wire().bytes({7, 1, 3}).column("a", "UInt8").bytes({9, 9, 9}),
       "ok", 3, 1},
      {"leading space goes through the grammar",
       Wire().block_head(1, 1).column("a", " UInt8").bytes({1}), "ok", 1, 1},
      {"flag", Wire().block_head(1, 1).str("x").str("Array(").bytes({1}),
       "protocol error: unsupported custom serialization for column 'x'"},
      {"bad type", Wire().block_head(1, 1).column("x", "Array(UInt8"),
       "protocol error: bad type 'Array(UInt8': malformed type name (unclosed paren): Array(UInt8"},
      {"bad name", Wire().block_head(1, 1).str("\xff").str("UInt8").bytes({0, 1}),
       "protocol error: invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"long type name", Wire().block_head(1, 1).str("x").varint(16777216),
       "protocol error: string length 16777216 exceeds clickhouse-cpp limit 16777215"},
      {"rows over limit", Wire().block_head(1, 10000001),
       "protocol error: block row count 10000001 exceeds limit 10000000"},
      {"columns over limit", Wire().block_head(65537, 1),
       "protocol error: block column count 65537 exceeds limit 65536"},
      {"body error",
       Wire().block_head(2, 1).column("a", "UInt8").bytes({1}).column("b", "Decimal(0, 0)"),
       "protocol error: unsupported Decimal precision 0"},
  };
}

// A well-formed body of `rows` rows for a column of most kinds.
struct BodyCase {
  std::string type;
  uint64_t rows;
  FixtureBytes wire;           // the body
  FixtureBytes appended = {};  // what the keeping reader keeps; empty: the body itself
};

inline std::vector<BodyCase> body_cases() {
  std::string s128(128, 'q');
  return {
      {"UInt8", 3, Wire().bytes({1, 2, 3})},
      {"Bool", 2, Wire().bytes({0, 1})},
      {"Enum8('a' = 1)", 2, Wire().bytes({1, 1})},
      {"Nothing", 2, Wire().bytes({0, 0})},  // one placeholder byte per row
      {"Nullable(Nothing)", 2, Wire().bytes({1, 1, 0, 0})},
      {"Array(Nothing)", 1, Wire().u64(3).bytes({0, 0, 0})},
      {"UInt16", 2, Wire().fill(4, 7)},
      {"Enum16('a' = 1)", 1, Wire().fill(2, 7)},
      {"Date32", 2, Wire().fill(8, 7)},
      {"DateTime('UTC')", 1, Wire().fill(4, 7)},
      {"IPv4", 1, Wire().fill(4, 7)},
      {"Time", 1, Wire().fill(4, 7)},
      {"DateTime64(9, 'UTC')", 2, Wire().fill(16, 7)},
      {"Time64(3)", 1, Wire().fill(8, 7)},
      {"UUID", 1, Wire().fill(16, 7)},
      {"Int256", 1, Wire().fill(32, 7)},
      {"Decimal(9, 2)", 1, Wire().fill(4, 7)},
      {"Decimal(10, 2)", 1, Wire().fill(8, 7)},
      {"Decimal(38, 0)", 1, Wire().fill(16, 7)},
      {"Decimal(76, 0)", 1, Wire().fill(32, 7)},
      {"Decimal32(3)", 1, Wire().fill(4, 7)},
      {"FixedString(3)", 2, Wire().raw("abcdef")},
      {"FixedString(0)", 5, {}},
      {"String", 4, Wire().str("").str("a").str(s128).bytes({0x80, 0x00})},  // 80 00: non-shortest
      {"Nullable(String)", 2, Wire().bytes({1, 0}).str("").str("x")},
      {"Array(UInt32)", 3, Wire().u64(2).u64(2).u64(5).fill(20, 9)},
      {"Array(Array(UInt8))", 2, Wire().u64(0).u64(0)},  // no elements: no inner offsets
      {"Map(String, UInt8)", 2,
       Wire().u64(1).u64(4).str("k1").str("k2").str("k3").str("k4").bytes({1, 2, 3, 4})},
      {"Map(String, Array(UInt8))", 1, Wire().u64(0)},
      {"Tuple(UInt8, String)", 2, Wire().bytes({1, 2}).str("x").str("yz")},
      {"Tuple()", 3, {}},
      {"Point", 3, Wire().fill(24, 1).fill(24, 2)},
      {"Ring", 1, Wire().u64(4).fill(32, 1).fill(32, 2)},
      {"Polygon", 1, Wire().u64(1).u64(2).fill(16, 1).fill(16, 2)},
      {"MultiPolygon", 1, Wire().u64(1).u64(1).u64(1).fill(8, 1).fill(8, 2)},
      {"JSON", 2, Wire().u64(1).str("{}").str("[1]"), Wire().str("{}").str("[1]")},
      {"Object('json')", 1, Wire().u64(4).str("{}"), Wire().str("{}")},
  };
}

}  // namespace tarnwick::testing
