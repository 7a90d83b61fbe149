#include "tarnwick/protocol/block_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/block_fixtures.h"
#include "support/results.h"
#include "support/sources.h"
#include "support/wire_builder.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_writer.h"
#include "tarnwick/protocol/column_state.h"

namespace tarnwick::protocol {
namespace {

using base::ByteSource;
using testing::error_of;
using testing::Wire;
using ByteVec = std::vector<uint8_t>;

ByteVec bytes_of(const base::Bytes& b) {
  return ByteVec(b.data(), b.data() + b.size());
}

TEST(BlockReaderTest, DecodesColumnsIntoOneSharedBuffer) {
  const auto bodies = testing::body_cases();
  const ByteVec wire = testing::sample_block();
  for (bool one_byte : {false, true}) {
    base::MemorySource whole(wire);
    testing::OneByteSource slow(wire);
    ByteSource& src = one_byte ? static_cast<ByteSource&>(slow) : whole;
    auto block = read_block_body(src);
    ASSERT_EQ(error_of(block), "ok");
    EXPECT_EQ(one_byte ? wire.size() - slow.consumed() : whole.remaining(), 0u);
    EXPECT_EQ(block->rows, 2u);
    ASSERT_EQ(block->columns.size(), bodies.size());
    const uint8_t* next = block->columns[0].data.data();
    for (size_t i = 0; i < bodies.size(); ++i) {
      const ColumnInfo& c = block->columns[i];
      EXPECT_EQ(c.name, "c" + std::to_string(i));
      EXPECT_EQ(c.type_name, bodies[i].type);
      EXPECT_EQ(bytes_of(c.data), bodies[i].kept.empty() ? bodies[i].wire : bodies[i].kept)
          << c.type_name;
      if (c.data.size() == 0) continue;
      EXPECT_EQ(c.data.data(), next) << c.type_name;  // back to back in one allocation
      next = c.data.data() + c.data.size();
    }
  }
}

TEST(BlockReaderTest, HeaderShapesAndFailures) {
  for (const auto& c : testing::header_cases()) {
    base::MemorySource src(c.wire);
    auto block = read_block_body(src);
    EXPECT_EQ(error_of(block), c.error) << c.what;
    if (block.ok()) {
      EXPECT_EQ(block->rows, c.rows) << c.what;
      EXPECT_EQ(block->columns.size(), c.columns) << c.what;
      EXPECT_EQ(src.remaining(), 0u) << c.what;
    }
  }
}

// A column's type is parsed holding no more than a column may: a Tuple of 600001 elements is
// refused as its list grows from 2^19 nodes to 2^20 (the index of its 600000 commas held too),
// within a response limit its text fits.
TEST(BlockReaderTest, TypeParsesWithinWhatAColumnMayHold) {
  std::string wide = "Tuple(UInt8";
  for (int i = 0; i < 600000; ++i) wide += ", UInt8";
  wide += ")";
  const ByteVec wire = Wire().block_head(1, 0).column("x", wide).get();
  const uint64_t needed = (uint64_t{1} << 19) * 3 * sizeof(ColumnType) + (2 * 2 + 600000) * 4;
  const std::string want = "': type name needs " + std::to_string(needed) +
                           " bytes to hold, more than the limit of 67108864";
  base::MemorySource src(wire);
  const std::string kept = error_of(read_block_body(src, {}, uint64_t{256} << 20));
  uint64_t pos = 0;
  const std::string parsed = error_of(parse_block_body(wire, pos, {}, uint64_t{256} << 20));
  for (const std::string& got : {kept, parsed}) {
    EXPECT_EQ(got.substr(0, 27), "protocol error: bad type 'T");
    EXPECT_TRUE(got.ends_with("... (truncated)" + want)) << got.substr(got.size() - 100);
    // The 4.2 MB text is quoted as an excerpt only.
    EXPECT_LT(got.size(), base::kQuoteLimit + 200);
  }
}

// A refused type text of any length is quoted as an excerpt, cut at a character boundary, in
// every message that quotes it.
TEST(BlockReaderTest, RefusedTypeTextsAreQuotedAsExcerpts) {
  // No closing paren; a two-byte character stands across byte 4096 of the text.
  const std::string head = "Tuple(" + std::string(4089, 'a') + "\xc3\xa9" + std::string(1000, 'a');
  const ByteVec wire = Wire().block_head(1, 0).column("x", head).get();
  const std::string reason = "malformed type name (unclosed paren): ";
  base::MemorySource src(wire);
  EXPECT_EQ(error_of(read_block_body(src)),
            "protocol error: bad type '" + head.substr(0, 4095) + "... (truncated)': " + reason +
                head.substr(0, 4096 - reason.size()) + "... (truncated)");
}

// A type that no reader can step over is refused with an excerpt of its 15 MiB text, alone or
// nested, by the keeping reader and the discarding one (and by the buffered parser, where it
// refuses it).
TEST(BlockReaderTest, UnreadableTypesAreQuotedAsExcerpts) {
  const std::string name = "Interval" + std::string(15 << 20, 'S');
  const std::string kept_words = "protocol error: streaming read unsupported for column type ";
  const std::string dropped_words = "protocol error: discard unsupported for column type ";
  for (const std::string& type : {name, "Array(" + name + ")", "Nullable(" + name + ")"}) {
    // One row: an offset of 1 for the Array, a null-map byte for the Nullable.
    const ByteVec wire = Wire().block_head(1, 1).column("x", type).u64(1).get();
    base::MemorySource kept(wire), dropped(wire);
    uint64_t pos = 0;
    const std::string parsed = error_of(parse_block_body(wire, pos, {}, uint64_t{64} << 20));
    const struct {
      std::string got, words;
    } refusals[] = {
        {error_of(read_block_body(kept, {}, uint64_t{64} << 20)), kept_words},
        {error_of(discard_block_body(dropped)), dropped_words},
        {parsed, "protocol error: "},
    };
    for (const auto& r : refusals) {
      // The buffered parser may read the column as strings instead.
      if (&r.got == &refusals[2].got && r.got.find("support") == std::string::npos) continue;
      EXPECT_TRUE(r.got.starts_with(r.words)) << r.got.substr(0, 100);
      EXPECT_NE(r.got.find("Interval" + std::string(4000, 'S')), std::string::npos);
      EXPECT_NE(r.got.find("... (truncated)"), std::string::npos);
      EXPECT_LT(r.got.size(), r.words.size() + base::kQuoteLimit + 100) << r.got.substr(0, 100);
    }
  }
}

TEST(BlockReaderTest, CountLimitsAtTheirBoundaries) {
  // 65536 columns and 10000000 rows are read (one more of each: header_cases).
  Wire many;
  many.block_head(65536, 0);
  for (int i = 0; i < 65536; ++i) many.column("", "UInt8");
  base::MemorySource src(many.get());
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  EXPECT_EQ(block->columns.size(), 65536u);

  testing::ZeroTailSource rows(Wire().block_head(1, 10000000).column("z", "UInt8"), 10000000);
  auto big = read_block_body(rows);
  ASSERT_EQ(error_of(big), "ok");
  EXPECT_EQ(big->columns[0].data.size(), 10000000u);

  // Every column has a budget of its own: two full 64 MiB columns in one block.
  testing::ChainSource two;
  two.bytes(Wire().block_head(2, 8388608).column("a", "UInt64")).zeros(67108864);
  two.bytes(Wire().column("b", "UInt64")).zeros(67108864);
  auto full = read_block_body(two);
  ASSERT_EQ(error_of(full), "ok");
  EXPECT_EQ(full->columns[1].data.size(), 67108864u);
}

// The block's limits, for the reader and the buffer parser alike. The decoded size (the bodies)
// is counted apart from what else the block holds: its least cost and every record's, names and
// type texts as their lengths are read, the floor of kRowCellCost per row of a column whose rows
// carry no bytes, and as much per row for each tuple member that carries none. Held to one whole
// figure, what a column makes (a LowCardinality expansion above all) is charged before the memory
// is taken. A refusal counts the charge that crossed.
TEST(BlockReaderTest, LimitsCountDecodedBytesApartFromWhatElseIsHeld) {
  const ByteVec key(8000, 'k');
  const auto lc_column = [&](Wire& wire, const char* name) {
    wire.column(name, "LowCardinality(String)").u64(1).u64(0x200).u64(1).varint(key.size());
    wire.raw(key).u64(8192).fill(8192, 0);
  };
  Wire lc = Wire().block_head(2, 8192);
  lc_column(lc, "a");
  lc_column(lc, "b");
  Wire lc_one = Wire().block_head(1, 8192);
  lc_column(lc_one, "a");
  const uint64_t expanded = 8192 * 8002;  // per column
  const uint64_t indexes = 8192;          // kept beside each expansion
  const uint64_t lc_cost = 128 + 2 * (256 + 1 + 22) + 2 * expanded;
  // The block, one record, its name "x" and its type text, without the body.
  const uint64_t block = 128;
  const uint64_t x_u64 = block + 256 + 1 + 6;
  const std::string long_name(5000, 'n');
  Wire empty_columns = Wire().block_head(40, 0);
  for (int i = 0; i < 40; ++i) empty_columns.column("c", "UInt8");
  const uint64_t mib16 = 16 << 20;
  const auto data = [&](uint64_t n) { return BlockLimits{n, mib16, UINT64_MAX}; };
  const auto held = [](uint64_t n) { return BlockLimits{1 << 30, n, UINT64_MAX}; };
  // 1,000 members of Tuple(): each costs kRowCellCost per row (or element), whatever its siblings
  // carry, beside the row's floor or the element itself.
  std::string members = "Tuple()";
  for (int i = 1; i < 1000; ++i) members += ", Tuple()";
  const std::string empties = "Tuple(" + members + ")";
  const std::string beside = "Tuple(UInt8, " + members + ")";
  const std::string elements = "Array(" + empties + ")";
  const auto record = [&](const std::string& type) { return block + 256 + 1 + type.size(); };
  const uint64_t empties_held = record(empties) + 1000 * 1001 * kRowCellCost;
  const uint64_t beside_held = record(beside) + 1000 * 1000 * kRowCellCost;
  const uint64_t elements_held = record(elements) + 1000 * 1001 * kRowCellCost;
  const ByteVec empty_rows = Wire().block_head(1, 1000).column("t", empties);
  const ByteVec beside_rows = Wire().block_head(1, 1000).column("t", beside).fill(1000, 1);
  const ByteVec one_row = Wire().block_head(1, 1).column("t", elements).u64(1000);
  // 50,000 of them: 400 MB, past what one column may take, held like rows.
  const ByteVec many_elements = Wire().block_head(1, 1).column("t", elements).u64(50000);
  const uint64_t many_held = record(elements) + 50000 * 1001 * kRowCellCost;
  const auto held_text = [](uint64_t n) { return std::to_string(n) + " bytes held"; };
  // Walked: refused blocks are read to their end.
  const auto walked = [&](uint64_t n) { return BlockLimits{n, mib16, UINT64_MAX}; };
  Wire wide_lc = Wire().block_head(1, 8192);
  const ByteVec wide_key(9000, 'k');
  wide_lc.column("w", "LowCardinality(String)").u64(1).u64(0x200).u64(1).varint(wide_key.size());
  wide_lc.raw(wide_key).u64(8192).fill(8192, 0);
  // One row of the empty key, with two keys of 12,000,000 bytes beside it: the 24,000,009 bytes of
  // dictionary are held while it is read, beside the 407 bytes of the block and its record.
  Wire big_dict = Wire().block_head(1, 1);
  big_dict.column("d", "LowCardinality(String)").u64(1).u64(0x200).u64(3).varint(0);
  const ByteVec half_key(12000000, 'k');
  for (int i = 0; i < 2; ++i) big_dict.varint(half_key.size()).raw(half_key);
  big_dict.u64(1).fill(1, 0);
  // 100,000 rows of one 100-byte key expand to 10,100,000 bytes: over the data, within the room.
  Wire long_lc = Wire().block_head(1, 100000);
  long_lc.column("l", "LowCardinality(String)").u64(1).u64(0x200).u64(1).varint(100);
  long_lc.raw(ByteVec(100, 'k')).u64(100000).fill(100000, 0);
  // A Variant member carries its discriminators: the tuple holds only its record and the Variant's
  // parsed state.
  const std::string variant = "Tuple(Variant(UInt8), UInt8)";
  const uint64_t variant_held = record(variant) + sizeof(ColumnState);
  const ByteVec variant_rows =
      Wire().block_head(1, 1000).column("t", variant).u64(0).fill(1000, 0).fill(2000, 1);
  struct Case {
    const char* what;
    ByteVec wire;
    BlockLimits limits;
    std::string error;
  };
  const Case cases[] = {
      {"three UInt64 rows", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1), data(24),
       "ok"},
      {"one byte short", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1), data(23),
       "decoded 24 bytes"},
      {"a header block under 0",
       Wire().block_head(2, 0).column("a", "UInt64").column("b", "String"), data(0), "ok"},
      {"a block of nothing under 0", Wire().block_head(0, 0), data(0), "ok"},
      {"three UInt8 rows", Wire().block_head(1, 3).column("x", "UInt8").fill(3, 1), data(3), "ok"},
      // Rows that carry bytes hold nothing beyond them; only the record is held.
      {"UInt8 rows hold only their record", Wire().block_head(1, 3).column("x", "UInt8").fill(3, 1),
       held(x_u64 - 1), "ok"},
      {"the record one byte over", Wire().block_head(1, 3).column("x", "UInt8").fill(3, 1),
       held(x_u64 - 2), "390 bytes held beside the decoded data"},
      // The floor is charged once the record is read: 392 bytes and the floor.
      {"rows of nothing", Wire().block_head(1, 10000000).column("t", "Tuple()"), held(64 << 20),
       "80000392 bytes held"},
      {"rows without columns", Wire().block_head(0, 5), held(block + 39), "168 bytes held"},
      {"a block of nothing", Wire().block_head(0, 0), held(block - 1), "128 bytes held"},
      {"records without rows", empty_columns, held(block + 40 * (256 + 1 + 5) - 1),
       "10608 bytes held"},
      {"a long name, refused before it is read", Wire().block_head(1, 0).column(long_name, "UInt8"),
       held(4096), "5384 bytes held"},
      {"a long type text", Wire().block_head(1, 0).column("x", "Tuple(" + long_name + " UInt8)"),
       held(4096), "5398 bytes held"},
      {"1,000 empty members per row", empty_rows, held(empties_held), "ok"},
      {"one byte short of them", empty_rows, held(empties_held - 1), held_text(empties_held)},
      {"beside a UInt8", beside_rows, held(beside_held), "ok"},
      {"beside it, one byte short", beside_rows, held(beside_held - 1), held_text(beside_held)},
      {"1,000 elements of them", one_row, held(elements_held), "ok"},
      {"the elements one byte short", one_row, held(elements_held - 1), held_text(elements_held)},
      {"50,000 elements of them", many_elements, held(many_held), "ok"},
      {"50,000 elements one byte short", many_elements, held(many_held - 1), held_text(many_held)},
      {"50,000 elements, walked", many_elements, walked(1 << 20), held_text(many_held)},
      {"a Variant member", variant_rows, held(variant_held), "ok"},
      {"a Variant member, one byte short", variant_rows, held(variant_held - 1),
       held_text(variant_held)},
      // Refused before it is taken, with 1 MiB of data and 16 MiB held to go.
      {"the first expansion over the data", lc, data(1 << 20),
       "decoded " + std::to_string(expanded) +
           " bytes of result blocks exceeds max_response_size "
           "1048576"},
      // Held to one figure:
      {"three UInt64 rows, whole", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1),
       x_u64 + 24, "ok"},
      {"one byte short of it", Wire().block_head(1, 3).column("x", "UInt64").fill(24, 1),
       x_u64 + 23, "decoded 415 bytes"},
      // The 100-byte value is refused with 49 bytes left: the block asked for 51 more.
      {"a refused value counts whole",
       Wire().block_head(1, 1).column("x", "String").varint(100).fill(100, 'v'), x_u64 + 50,
       "decoded 492 bytes"},
      // The second expansion is made while the first one's kept indexes, its own dictionary (8002
      // bytes), indexes (8192) and entry offsets (16) are held.
      {"expansions within the limit", lc, lc_cost + indexes + 16210, "ok"},
      {"the second expansion over it", lc, lc_cost + indexes + 16209,
       "decoded " + std::to_string(lc_cost + indexes + 16210)},
      // The indexes kept beside an expansion are held: the block, one record, its texts and them.
      {"kept indexes, held", lc_one, held(block + 256 + 1 + 22 + indexes), "ok"},
      {"kept indexes, one byte over", lc_one, held(block + 256 + 1 + 22 + indexes - 1),
       "8599 bytes held"},
      {"the first one over it", lc, 1 << 20, "exceeds max_response_size 1048576"},
      // Memory held for elements of nothing is held, whichever reader blames it.
      {"elements of nothing over the held bytes",
       Wire().block_head(1, 1).column("a", "Array(Tuple())").u64(1000000),
       BlockLimits{1 << 20, 4 << 20, UINT64_MAX}, "8000399 bytes held"},
      // Walked to its end, a refused block counts its whole decoded size: the second expansion is
      // counted, not made, and so is a column after the crossing.
      {"both expansions, walked", lc, walked(1 << 20),
       "decoded " + std::to_string(2 * expanded) + " bytes of result blocks"},
      {"a wide column and the next, walked",
       Wire()
           .block_head(2, 300000)
           .column("a", "FixedString(100)")
           .fill(30000000, 'a')
           .column("b", "UInt64")
           .fill(2400000, 1),
       walked(1 << 20), "decoded 32400000 bytes of result blocks exceeds max_response_size"},
      {"rows of nothing, walked",
       Wire().block_head(2, 10000000).column("t", "Tuple()").column("u", "Tuple()"), walked(0),
       "80000648 bytes held"},
      // A dictionary is not data: only what its expansion keeps counts.
      {"a long unused key, walked",
       Wire()
           .block_head(1, 1)
           .column("l", "LowCardinality(String)")
           .u64(1)
           .u64(0x200)
           .u64(2)
           .varint(0)
           .varint(key.size())
           .raw(key)
           .u64(1)
           .fill(1, 0),
       walked(100), "ok"},
      // A dictionary is held, not decoded: over the held bytes it is the allowance's refusal.
      {"a dictionary over the held bytes", big_dict, data(1 << 20), held_text(24000416)},
      {"a dictionary over the held bytes, walked", big_dict, walked(1 << 20), held_text(24000416)},
      {"an expansion over the data, walked", long_lc, walked(1 << 20),
       "decoded 10100000 bytes of result blocks exceeds max_response_size 1048576"},
      // The column's own bound is no refusal: the walk fails there.
      {"an expansion over the column's bound, walked", wide_lc, walked(1 << 20),
       "protocol error: LowCardinality materialized column cumulative byte length"},
      // Refused as soon as the length is read, though the bytes have not all arrived.
      {"a string longer than the limit, still arriving",
       Wire().block_head(1, 1).column("x", "String").varint(2000000).fill(10, 0), 1 << 20,
       "decoded 2000394 bytes of result blocks exceeds max_response_size 1048576"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    base::MemorySource src(c.wire);
    // The rows named so are read on past their refusal (the keeping reader only).
    const bool walked = std::string_view(c.what).find("walked") != std::string_view::npos;
    const std::string kept = error_of(read_block_body(
        src, {}, c.limits, nullptr, nullptr, walked ? Refused::StepOver : Refused::Fail));
    if (walked) {
      EXPECT_NE(kept.find(c.error), std::string::npos) << kept;
      if (kept.rfind("response too large", 0) == 0) {
        EXPECT_EQ(src.remaining(), 0u);
      }
      continue;
    }
    uint64_t pos = 0;
    const std::string parsed = error_of(parse_block_body(c.wire, pos, {}, c.limits));
    for (const std::string& got : {kept, parsed}) {
      if (c.error == "ok") {
        EXPECT_EQ(got, "ok");
      } else {
        EXPECT_NE(got.find(c.error), std::string::npos) << got;
      }
    }
  }
}

// What a decoded block costs is what its reading was charged: a block is read under exactly its
// cost and refused one byte below it.
TEST(BlockReaderTest, CostIsWhatTheReadingCharges) {
  const ByteVec wire = Wire()
                           .block_head(2, 2)
                           .column("a", "UInt64")
                           .fill(16, 1)
                           .column("bb", "String")
                           .str("")
                           .str(std::string(40, 's'))
                           .get();
  const uint64_t cost = 128 + (256 + 1 + 6 + 16) + (256 + 2 + 6 + 42);
  base::MemorySource whole(wire);
  auto block = read_block_body(whole);
  ASSERT_EQ(error_of(block), "ok");
  EXPECT_EQ(block_cost(*block), cost);
  for (uint64_t limit : {cost, cost - 1}) {
    base::MemorySource src(wire);
    uint64_t pos = 0;
    for (const std::string& got : {error_of(read_block_body(src, {}, limit)),
                                   error_of(parse_block_body(wire, pos, {}, limit))}) {
      EXPECT_EQ(got, limit == cost ? "ok"
                                   : "response too large: decoded " + std::to_string(cost) +
                                         " bytes of result blocks exceeds max_response_size " +
                                         std::to_string(limit) +
                                         "; raise ClientConfig::max_response_size "
                                         "(with_max_response_size), or use a streaming API "
                                         "(start_stream/query_with_block_view) which is not "
                                         "size-budgeted");
    }
  }
}

TEST(BlockReaderTest, RoundTripsThroughTheWriter) {
  const ByteVec wire = testing::sample_block();
  base::MemorySource src(wire);
  auto block = read_block_body(src);
  ASSERT_EQ(error_of(block), "ok");
  // Bodies kept in another form (JSON without its version word, LowCardinality expanded) are
  // written back as they came.
  Block b = *block;
  const auto bodies = testing::body_cases();
  for (size_t i = 0; i < bodies.size(); ++i) {
    if (!bodies[i].kept.empty()) b.columns[i].data = base::Bytes::copy_of(bodies[i].wire);
  }
  base::ByteBuffer out;
  write_block(out, b);
  EXPECT_EQ(out.size(), block_capacity(b));
  EXPECT_EQ(ByteVec(out.data(), out.data() + out.size()), wire);
}

}  // namespace
}  // namespace tarnwick::protocol
