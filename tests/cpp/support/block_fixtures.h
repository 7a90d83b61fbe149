// Block and column-body tables shared by the keeping reader's and the discarding reader's tests:
// both must walk every entry alike (the discarder names refused kinds "discard unsupported" where
// the reader says "streaming read unsupported").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/wire_builder.h"

namespace tarnwick::testing {

using FixtureBytes = std::vector<uint8_t>;

// The 24-byte head of a top-level LowCardinality body: version, index flags, key count.
inline Wire lc_head(uint64_t flags, uint64_t keys, uint64_t version = 1) {
  return Wire().u64(version).u64(flags).u64(keys);
}

// A nested LowCardinality body up to its dictionary: flags and key count.
inline Wire lc_body(uint64_t keys, uint64_t flags = 0x600) {
  return Wire().u64(flags).u64(keys);
}

// A well-formed two-row body per layout the readers tell apart.
struct BodyCase {
  std::string type;
  FixtureBytes wire;
  FixtureBytes kept = {};  // what the keeping reader keeps; empty: the body itself
};

inline std::vector<BodyCase> body_cases() {
  const Wire versions = Wire().u64(1).u64(1);
  std::vector<BodyCase> out = {
      {"UInt8", Wire().bytes({1, 2})},
      {"Nothing", Wire().bytes({0, 0})},  // one placeholder byte per row
      {"Nullable(Nothing)", Wire().bytes({1, 1, 0, 0})},
      {"Array(Nothing)", Wire().u64(1).u64(3).bytes({0, 0, 0})},
      {"Enum16('a' = 1)", Wire().fill(4, 7)},
      {"DateTime('UTC')", Wire().fill(8, 7)},
      {"DateTime64(9, 'UTC')", Wire().fill(16, 7)},
      {"UUID", Wire().fill(32, 7)},
      {"Int256", Wire().fill(64, 7)},
      {"FixedString(3)", Wire().raw("abcdef")},
      {"FixedString(0)", {}},
      {"String", Wire().str(std::string(128, 'q')).bytes({0x80, 0x00})},  // 80 00: non-shortest
      {"Nullable(String)", Wire().bytes({1, 0}).str("").str("x")},
      {"Array(UInt32)", Wire().u64(2).u64(5).fill(20, 9)},
      {"Array(Array(UInt8))", Wire().u64(0).u64(0)},  // no elements: no inner offsets
      {"Array(Array(String))", Wire().u64(0).u64(2).u64(1).u64(1).str("z")},
      {"Map(String, UInt8)",
       Wire().u64(1).u64(4).str("k1").str("k2").str("k3").str("k4").fill(4, 1)},
      {"Map(String, Array(UInt8))", Wire().u64(0).u64(0)},
      {"Tuple(UInt8, String)", Wire().bytes({1, 2}).str("x").str("yz")},
      {"Tuple()", {}},
      {"Point", Wire().fill(16, 1).fill(16, 2)},
      {"Ring", Wire().u64(0).u64(4).fill(32, 1).fill(32, 2)},
      {"Polygon", Wire().u64(1).u64(1).u64(2).fill(16, 1).fill(16, 2)},
      {"MultiPolygon", Wire().u64(0).u64(1).u64(1).u64(1).fill(8, 1).fill(8, 2)},
      {"JSON", Wire().u64(1).str("{}").str("[1]"), Wire().str("{}").str("[1]")},
      {"Object('json')", Wire().u64(4).str("{}").str(""), Wire().str("{}").str("")},
      // Dictionary-encoded: kept expanded, as the plain body of the inner type. Index widths 1,
      // 2, 4 and 8 (flags 0x603: bit 10 is ignored); the server's own flags are 0x600.
      {"LowCardinality(String)", lc_head(0x600, 3).str("").str("a").str("bc").u64(2).bytes({2, 1}),
       Wire().str("bc").str("a")},
      {"LowCardinality(UInt16)",
       lc_head(0x201, 2).le<uint16_t>(7).le<uint16_t>(9).u64(2).le<uint16_t>(1).le<uint16_t>(1),
       Wire().le<uint16_t>(9).le<uint16_t>(9)},
      {"LowCardinality(FixedString(2))",
       lc_head(0x202, 2).raw("abcd").u64(2).le<uint32_t>(1).le<uint32_t>(0), Wire().raw("cdab")},
      // A Nullable dictionary is plain values, key 0 standing for NULL (as the server sends it).
      {"LowCardinality(Nullable(UInt8))", lc_head(0x603, 3).bytes({0, 0, 7}).u64(2).u64(0).u64(2),
       Wire().bytes({1, 0, 0, 7})},
      {"LowCardinality(Nullable(String))",
       lc_head(0x600, 3).str("").str("").str("ab").u64(2).bytes({2, 0}),
       Wire().bytes({0, 1}).str("ab").str("")},
      // Nested: every key version first (the column's state prefix), then the body, each
      // LowCardinality's starting at its flags; one of no rows has no body.
      {"Array(LowCardinality(String))",
       Wire().u64(1).u64(1).u64(3).raw(lc_body(2, 0x200).str("x").str("").u64(3).bytes({1, 0, 0})),
       Wire().u64(1).u64(3).str("").str("x").str("x")},
      {"Tuple(LowCardinality(UInt8), Array(LowCardinality(String)))",
       Wire(versions).raw(lc_body(1).bytes({5}).u64(2).bytes({0, 0})).u64(0).u64(0),
       Wire().bytes({5, 5}).u64(0).u64(0)},
  };
  const std::pair<int, size_t> decimals[] = {{1, 4},   {9, 4},   {10, 8},  {18, 8},
                                             {19, 16}, {38, 16}, {39, 32}, {76, 32}};
  for (auto [precision, width] : decimals)
    out.push_back({"Decimal(" + std::to_string(precision) + ", 0)", Wire().fill(2 * width, 7)});
  return out;
}

// Every body case as one block of two rows, columns c0, c1, ...
inline Wire sample_block() {
  auto bodies = body_cases();
  Wire w;
  w.block_head(bodies.size(), 2);
  for (size_t i = 0; i < bodies.size(); ++i)
    w.column("c" + std::to_string(i), bodies[i].type).raw(bodies[i].wire);
  return w;
}

// Block headers of every shape, with what the keeping reader makes of them.
struct HeaderCase {
  const char* what;
  FixtureBytes wire;
  std::string error;  // "ok" or the display text of the failure
  uint64_t rows = 0;
  size_t columns = 0;
};

inline std::vector<HeaderCase> header_cases() {
  return {
      {"rows without columns", Wire().block_head(0, 5), "ok", 5},
      {"all block-info fields", Wire().bytes({1, 0, 2, 1, 2, 3, 4, 3, 0xAC, 0x02, 0, 0, 0}), "ok"},
      {"unknown field ends the list", Wire().bytes({7, 1, 3}).column("a", "UInt8").bytes({9, 9, 9}),
       "ok", 3, 1},
      {"leading space goes through the grammar",
       Wire().block_head(1, 1).column("a", " UInt8").bytes({1}), "ok", 1, 1},
      {"zero rows: records only, refused kinds too",
       Wire()
           .block_head(3, 0)
           .column("a", "Dynamic")
           .column("b", "LowCardinality(String)")
           .column("c", "JSON"),
       "ok", 0, 3},
      {"flag", Wire().block_head(1, 1).str("x").str("Array(").bytes({1}),
       "protocol error: unsupported custom serialization for column 'x'"},
      {"bad type", Wire().block_head(1, 1).column("x", "Array(UInt8"),
       "protocol error: bad type 'Array(UInt8': malformed type name (unclosed paren): Array(UInt8"},
      {"bad name", Wire().block_head(1, 1).str("\xff").str("UInt8").bytes({0, 1}),
       "protocol error: invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      // An Enum member '\xff', which 18.16 accepts and sends; its answer fails the same way.
      {"bad type text", Wire().block_head(1, 1).str("e").str("Enum8('\xff' = 1)").bytes({0, 1}),
       "protocol error: invalid utf8: invalid utf-8 sequence of 1 bytes from index 7"},
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

// Bodies both readers refuse, with the keeping reader's message and the bytes taken until then.
struct FailureCase {
  std::string type;
  uint64_t rows;
  FixtureBytes wire;
  std::string error;
  uint64_t consumed;
};

inline std::vector<FailureCase> failure_cases() {
  const std::string json_version =
      "protocol error: materialized JSON reads require string serialization version 1 or 4, got 2; "
      "enable output_format_native_write_json_as_string=1 or use query_raw";
  const std::string refused = "protocol error: streaming read unsupported for column type ";
  return {
      {"Decimal(77, 0)", 1, Wire().fill(32, 0), "protocol error: unsupported Decimal precision 77",
       0},
      {"Decimal(0, 0)", 1, Wire().fill(32, 0), "protocol error: unsupported Decimal precision 0",
       0},
      {"AggregateFunction(sum, UInt64)", 1, Wire().fill(8, 0), refused + "AggregateFunction", 0},
      {"Nested(a UInt8)", 1, Wire().fill(8, 0), refused + "Other(\"Nested(a UInt8)\")", 0},
      {"LowCardinality(String)", 1, lc_head(0x200, 1, 2).str("a"),
       "protocol error: unsupported LowCardinality key serialization version 2", 8},
      {"Array(LowCardinality(String))", 1, Wire().u64(2).u64(1),  // before the offsets
       "protocol error: unsupported LowCardinality key serialization version 2", 8},
      {"LowCardinality(String)", 1, lc_head(0x300, 1).str("a"),
       "protocol error: LowCardinality global dictionaries are not supported", 24},
      {"LowCardinality(String)", 1, lc_head(0x0, 1).str("a"),
       "protocol error: LowCardinality additional keys flag is missing", 24},
      {"LowCardinality(UInt8)", 4, lc_head(0x200, 1).bytes({0}).u64(3).fill(4, 0),
       "protocol error: LowCardinality index count 3 does not match row count 4", 33},
      {"JSON", 1, Wire().u64(2).str("{}"), json_version, 8},
      {"JSON", 1, Wire().u64(1).varint(16777216),
       "protocol error: JSON string length 16777216 exceeds limit 16777215", 12},
      {"String", 1, Wire().varint(16777216),
       "protocol error: string value length 16777216 exceeds limit 16777215", 4},
      {"String", 1, Wire().fill(9, 0xFF).bytes({0x02}), "protocol error: varint overflow", 10},
      {"Array(UInt32)", 2, Wire().u64(3).u64(2),
       "protocol error: array offset decreased from 3 to 2", 16},
      {"Map(UInt8, UInt8)", 1, Wire().u64(10000001),
       "protocol error: map offset total 10000001 exceeds limit 10000000", 8},
      {"Array(UInt64)", 1, Wire().u64(10000000),  // 80 MB of elements: refused before any room
       "protocol error: fixed-width column byte length 80000000 exceeds limit 67108864", 8},
      {"FixedString(9223372036854775808)",
       2,
       {},
       "protocol error: FixedString column byte length overflow",
       0},
      {"UInt32", 1, Wire().bytes({1, 2, 3}), "I/O error: failed to fill whole buffer", 3},
      {"String", 1, Wire().varint(5).raw("abc"), "I/O error: failed to fill whole buffer", 4},
  };
}

// Sizes at and one past each limit: `prefix`, then `zeros` zero bytes. The discarder appends
// nothing, so the caps of appending reads do not bind it.
struct LimitCase {
  std::string type;
  uint64_t rows;
  FixtureBytes prefix;
  uint64_t zeros;
  std::string keep_error, discard_error;
};

inline std::vector<LimitCase> limit_cases() {
  const std::string ok = "ok", e = "protocol error: ";
  const std::string fixed_over =
      e + "fixed-width column byte length 67108872 exceeds limit 67108864";
  const std::string read_over = e + "column byte length 67108865 exceeds limit 67108864";
  const std::string total_over = e + "array offset total 10000001 exceeds limit 10000000";
  return {
      {"UInt64", 8388608, {}, 67108864, ok, ok},
      {"UInt64", 8388609, {}, 67108872, fixed_over, fixed_over},
      {"Point", 4194304, {}, 67108864, ok, ok},  // each half is a body of its own
      {"Point", 8388609, {}, 134217744, fixed_over, fixed_over},
      {"FixedString(67108864)", 1, {}, 67108864, ok, ok},
      {"FixedString(67108865)",
       1,
       {},
       67108865,
       e + "FixedString column byte length 67108865 exceeds limit 67108864",
       e + "FixedString column byte length 67108865 exceeds limit 67108864"},
      {"UInt8", 67108864, {}, 67108864, ok, ok},
      {"Nothing", 67108865, {}, 67108865, read_over, ok},
      {"Nullable(UInt8)", 67108865, {}, 134217730, read_over, ok},
      {"String", 1, Wire().varint(16777215), 16777215, ok, ok},
      {"Array(UInt8)", 1, Wire().u64(10000000), 10000000, ok, ok},
      {"Array(UInt8)", 1, Wire().u64(10000001), 10000001, total_over, total_over},
      {"Map(UInt8, Nothing)", 2, Wire().u64(7).u64(10000000), 20000000, ok, ok},
      {"Map(UInt8, Nothing)", 2, Wire().u64(7).u64(6), 0, e + "map offset decreased from 7 to 6",
       e + "map offset decreased from 7 to 6"},
      {"Array(UInt8)", 8388608, {}, 67108864, ok, ok},  // all offsets 0: they alone fill the budget
      {"Array(UInt8)",
       8388609,
       {},
       67108872,
       e + "array offset byte length 67108872 exceeds limit 67108864",
       ok},
      // LowCardinality: keys, index bytes (width 8) and the expansion, each past its limit; the
      // dictionary, the indexes and the expansion are held at once, and together at and past the
      // column's budget.
      {"LowCardinality(FixedString(0))", 1, lc_head(0x200, 10000002).u64(1), 1, ok, ok},
      {"LowCardinality(UInt8)", 1, lc_head(0x200, 10000003), 0,
       e + "LowCardinality key count 10000003 exceeds limit 10000002",
       e + "LowCardinality key count 10000003 exceeds limit 10000002"},
      // 1 + 9 * 7456540 = 67108861 bytes, then 9 more.
      {"LowCardinality(UInt8)", 7456540, lc_head(0x203, 1).bytes({0}).u64(7456540), 59652320, ok,
       ok},
      {"LowCardinality(UInt8)", 7456541, lc_head(0x203, 1).bytes({0}).u64(7456541), 59652328,
       e + "column cumulative byte length exceeds limit 67108864", ok},
      {"LowCardinality(UInt8)", 8388609, lc_head(0x203, 1).bytes({0}).u64(8388609), 67108872,
       e + "LowCardinality index byte length 67108872 exceeds limit 67108864",
       e + "LowCardinality index byte length 67108872 exceeds limit 67108864"},
      // 8 + 9 * 7456539 = 67108859 bytes, then 9 more.
      {"LowCardinality(FixedString(8))", 7456539, lc_head(0x200, 1).fill(8, 0).u64(7456539),
       7456539, ok, ok},
      {"LowCardinality(FixedString(8))", 7456540, lc_head(0x200, 1).fill(8, 0).u64(7456540),
       7456540, e + "column cumulative byte length exceeds limit 67108864", ok},
      {"LowCardinality(FixedString(8))", 8388609, lc_head(0x200, 1).fill(8, 0).u64(8388609),
       8388609,
       e + "LowCardinality materialized column byte length 67108872 exceeds limit 67108864", ok},
      // One entry of 16777211 bytes (length included) three times, beside the dictionary, its two
      // offsets and the indexes: 67108863 bytes; one of 13421773 five times.
      {"LowCardinality(String)", 3, lc_head(0x200, 1).varint(16777207).fill(16777207, 0).u64(3), 3,
       ok, ok},
      {"LowCardinality(String)", 5, lc_head(0x200, 1).varint(13421769).fill(13421769, 0).u64(5), 5,
       e + "LowCardinality materialized column cumulative byte length 67108865 exceeds limit "
           "67108864",
       ok},
      // The expansion is what the column appends: its budget pays for it.
      {"Tuple(LowCardinality(UInt8), FixedString(67108863))", 1,
       lc_head(0x200, 1).bytes({9}).u64(1).bytes({0}), 67108863, ok, ok},
      {"Tuple(LowCardinality(UInt8), FixedString(67108864))", 1,
       lc_head(0x200, 1).bytes({9}).u64(1).bytes({0}), 67108864,
       e + "column cumulative byte length exceeds limit 67108864", ok},
  };
}

}  // namespace tarnwick::testing
