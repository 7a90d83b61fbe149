// String columns: one varint length and that many bytes per row. The view records where each
// row's bytes lie and borrows the body; nothing is copied or checked for UTF-8 until asked.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block.h"

namespace tarnwick::column {

class StringColumnData {
 public:
  // Offsets of one row's bytes (without the length prefix), relative to the start of `body`.
  struct Range {
    uint64_t start;
    uint64_t end;
    bool operator==(const Range&) const = default;
  };

  std::vector<Range> ranges;      // one per row
  std::span<const uint8_t> body;  // from the first row's prefix to the last row's end

  static base::Result<StringColumnData> read_column(protocol::ReadColumnContext& ctx);

  uint64_t len() const { return ranges.size(); }
  // The bytes of row `index`.
  base::Result<std::span<const uint8_t>> get_bytes(uint64_t index) const;
  // The text of row `index`, each ill-formed UTF-8 sequence replaced by U+FFFD.
  base::Result<std::string> get_string(uint64_t index) const;
};

namespace detail {
// Decodes a length prefix at `pos` of `bytes` (at most 10 bytes). On success `size` is the
// prefix's byte count. Failures: "unexpected end of data in varint", "varint overflow".
base::Result<uint64_t> decode_length_prefix(std::span<const uint8_t> bytes, uint64_t pos,
                                            uint64_t& size);
}  // namespace detail

}  // namespace tarnwick::column
