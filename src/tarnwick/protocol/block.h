// One data block of the native protocol: named columns whose bodies stay in the wire layout until a
// caller asks for values. In a decoded block every body is a slice of one shared allocation.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"

namespace tarnwick::column {
class StringColumnData;
class AnyColumnData;
}  // namespace tarnwick::column

namespace tarnwick::protocol {

struct ColumnInfo {
  std::string name;
  std::string type_name;  // exactly as received or given, not normalised
  // The body in the native layout of its type, as the block writer sends it. A decoded block keeps
  // a LowCardinality(T) column expanded here, in T's plain layout, and leaves `materialized` empty.
  // A block built for an insert (dicts_to_block) holds the dictionary-encoded body the server
  // reads here, and the plain body in `materialized`.
  base::Bytes data;
  base::Bytes materialized;
  // A decoded top-level LowCardinality(String) or LowCardinality(Nullable(String)) column with rows
  // also keeps each row's dictionary index here as it came (1, 2, 4 or 8 bytes a row,
  // little-endian): rows of one index hold the same value, so that a conversion makes one object
  // per key. Not part of the decoded size.
  base::Bytes lc_indexes = {};

  // The body readers take: `materialized` for a LowCardinality type when it is filled, else `data`.
  const base::Bytes& body() const;
};

struct Block {
  std::vector<ColumnInfo> columns;
  uint64_t rows = 0;

  // Reads the first column named `name` (byte for byte) as String values.
  base::Result<column::StringColumnData> column(std::string_view name) const;
  // The typed view of column `index`, chosen by its parsed type.
  base::Result<column::AnyColumnData> read_column_by_index(size_t index) const;
};

// A bounds-checked cursor over one column body, living for one column read.
class ReadColumnContext {
 public:
  ReadColumnContext(std::span<const uint8_t> bytes, uint64_t rows)
      : buf_(bytes.data()), len_(bytes.size()), rows_(rows) {}

  uint64_t rows() const { return rows_; }
  void set_rows(uint64_t rows) { rows_ = rows; }
  uint64_t pos() const { return pos_; }
  uint64_t len() const { return len_; }
  uint64_t remaining() const { return len_ - pos_; }

  // A view of the next `n` bytes; advances past them.
  base::Result<std::span<const uint8_t>> read_exact(uint64_t n);
  // A view of rows() * width bytes; advances past them.
  base::Result<std::span<const uint8_t>> read_rows_bytes(uint64_t width);
  // rows() unsigned 64-bit little-endian values, copied out as they stand.
  base::Result<std::vector<uint64_t>> read_offsets();

 private:
  const uint8_t* buf_;
  uint64_t len_;
  uint64_t rows_;
  uint64_t pos_ = 0;
};

}  // namespace tarnwick::protocol
