// Runs the keeping column reader over test bytes: once over a source, and twice over the same
// bytes (whole buffer and one byte per refill), checking that both readings agree.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/sources.h"
#include "tarnwick/protocol/column_reader.h"

namespace tarnwick::testing {

struct ReadOutcome {
  std::string error;  // "ok" on success
  std::vector<uint8_t> kept;
  uint64_t consumed = 0;
  uint64_t budget = protocol::kColumnByteLimit;
};

inline ReadOutcome read_column(base::ByteSource& src, const protocol::ColumnType& type,
                               uint64_t rows) {
  base::ByteBuffer out;
  ReadOutcome o;
  base::Status st = protocol::read_column_data_into(src, type, rows, out, o.budget);
  o.error = st.ok() ? "ok" : st.error().to_string();
  o.kept.assign(out.data(), out.data() + out.size());
  return o;
}

// Reads through the whole-buffer fast path and again one byte per refill; both must agree.
inline ReadOutcome read_both(std::string_view type_text, uint64_t rows,
                             const std::vector<uint8_t>& wire) {
  auto type = protocol::parse_type(type_text);
  EXPECT_TRUE(type.ok()) << type_text;
  base::MemorySource whole(wire);
  ReadOutcome a = read_column(whole, *type, rows);
  a.consumed = wire.size() - whole.remaining();
  OneByteSource slow(wire);
  ReadOutcome b = read_column(slow, *type, rows);
  EXPECT_EQ(a.error, b.error) << type_text;
  EXPECT_EQ(a.kept, b.kept) << type_text;
  EXPECT_EQ(a.consumed, slow.consumed()) << type_text;
  return a;
}

}  // namespace tarnwick::testing
