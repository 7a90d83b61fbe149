#include "tarnwick/protocol/low_cardinality.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::ByteBuffer;
using base::ByteSource;
using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

constexpr std::string_view kMaterializedLabel = "LowCardinality materialized column";

// ---- failure texts (built only when something fails) --------------------------------------------

[[gnu::cold]] Error not_expandable(const ColumnType& type) {
  return Error::protocol(cat("LowCardinality(", base::excerpt(type.to_string()),
                             ") materialization is not supported"));
}

[[gnu::cold]] Error out_of_bounds() {
  return Error::protocol("LowCardinality dictionary index out of bounds");
}

// What is wrong with index `idx` of a dictionary of `w`-byte values that it does not fit.
[[gnu::cold]] Error fixed_index_error(uint64_t idx, uint64_t w) {
  uint64_t offset, end;
  if (__builtin_mul_overflow(idx, w, &offset) || __builtin_add_overflow(offset, w, &end)) {
    return Error::protocol("LowCardinality index overflow");
  }
  return out_of_bounds();
}

// Charges `n` bytes to the column's budget and makes room for them, both before anything is
// written: a budget too small is the column's limit, memory not to be had is out of memory.
Status take_room(ByteBuffer& out, uint64_t n, uint64_t& budget) {
  TW_TRY(charge_budget(budget, n, "column"));
  return reserve_more(out, static_cast<size_t>(n), n + budget);
}

// Whether `type` is a wrapper whose members may hold a LowCardinality that its body carries in
// line. A Variant, Dynamic or JSON column reads its members' prefixes itself.
bool is_plain_wrapper(const ColumnType& type) {
  return type.kind == TypeKind::Nullable || type.kind == TypeKind::Array ||
         type.kind == TypeKind::Map || type.kind == TypeKind::Tuple;
}

// ---- expansion ----------------------------------------------------------------------------------

// Copies the `w`-byte entry `index(row)` of `dict` (which holds `entries` of them) for each row.
// Returns the first row whose index is `entries` or more, or `rows` when every row was copied.
// W is `w` when known at compile time, 0 otherwise.
template <class Index, size_t W>
uint64_t gather(const uint8_t* dict, uint64_t entries, size_t w, const uint8_t* indexes,
                uint64_t rows, uint8_t* dst) {
  const size_t width = W != 0 ? W : w;
  for (uint64_t row = 0; row < rows; ++row) {
    const uint64_t idx = index_at<Index>(indexes, row);
    if (idx >= entries) [[unlikely]]
      return row;
    std::memcpy(dst, dict + idx * width, width);
    dst += width;
  }
  return rows;
}

template <class Index>
uint64_t gather_by_width(const uint8_t* dict, uint64_t entries, size_t w, const uint8_t* indexes,
                         uint64_t rows, uint8_t* dst) {
  switch (w) {
    case 1:
      return gather<Index, 1>(dict, entries, w, indexes, rows, dst);
    case 2:
      return gather<Index, 2>(dict, entries, w, indexes, rows, dst);
    case 4:
      return gather<Index, 4>(dict, entries, w, indexes, rows, dst);
    case 8:
      return gather<Index, 8>(dict, entries, w, indexes, rows, dst);
    case 16:
      return gather<Index, 16>(dict, entries, w, indexes, rows, dst);
    default:
      return gather<Index, 0>(dict, entries, w, indexes, rows, dst);
  }
}

// gather() over indexes of any width; same result.
uint64_t gather_any(std::span<const uint8_t> dict, uint64_t entries, size_t w,
                    std::span<const uint8_t> indexes, unsigned width, uint64_t rows, uint8_t* dst) {
  switch (width) {
    case 1:
      return gather_by_width<uint8_t>(dict.data(), entries, w, indexes.data(), rows, dst);
    case 2:
      return gather_by_width<uint16_t>(dict.data(), entries, w, indexes.data(), rows, dst);
    case 4:
      return gather_by_width<uint32_t>(dict.data(), entries, w, indexes.data(), rows, dst);
    default:
      return gather_by_width<uint64_t>(dict.data(), entries, w, indexes.data(), rows, dst);
  }
}

// Per row, the `w` dictionary bytes at index * w. A zero width copies nothing, but every index
// must still name one of the `keys` entries.
Status materialize_lc_fixed(std::span<const uint8_t> dict, uint64_t keys, size_t w,
                            std::span<const uint8_t> indexes, unsigned width, uint64_t rows,
                            ByteBuffer& out, uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t total, checked_column_len(rows, w, kMaterializedLabel));
  if (w == 0) {
    for (uint64_t row = 0; row < rows; ++row) {
      if (lc_index(indexes, row, width) >= keys) [[unlikely]]
        return out_of_bounds();
    }
    return {};
  }
  TW_TRY(take_room(out, total, budget));
  uint8_t* dst = out.extend(static_cast<size_t>(total));
  const uint64_t stop = gather_any(dict, dict.size() / w, w, indexes, width, rows, dst);
  if (stop != rows) [[unlikely]]
    return fixed_index_error(lc_index(indexes, stop, width), w);
  return {};
}

// Whether a dictionary of `type` is laid out as String's: each entry a varint length and its bytes
// (the keeping reader drops a JSON column's version word: entries only).
bool has_string_entries(const ColumnType& type) {
  return type.kind == TypeKind::String || type.kind == TypeKind::Other ||
         type.kind == TypeKind::JSON;
}

// Rows, width and index data that agree.
Status check_index_data(std::span<const uint8_t> indexes, unsigned width, uint64_t rows) {
  if (width != 1 && width != 2 && width != 4 && width != 8) [[unlikely]]
    return Error::protocol(cat("unsupported LowCardinality index width ", width));
  uint64_t need;
  if (__builtin_mul_overflow(rows, width, &need)) [[unlikely]]
    return Error::protocol("LowCardinality index overflow");
  if (need > indexes.size()) [[unlikely]]
    return Error::protocol("LowCardinality index data is truncated");
  return {};
}

// The room entry_starts takes: one word per entry and one for the end.
uint64_t entry_starts_size(std::span<const uint8_t> dict, uint64_t keys) {
  return (std::min<uint64_t>(keys, dict.size()) + 1) * sizeof(uint64_t);
}

// Where each entry of a String-layout dictionary starts, and where the last one ends: charged to
// `budget` (entry_starts_size) while it is made and held (the caller gives it back).
Result<std::vector<uint64_t>> entry_starts(std::span<const uint8_t> dict, uint64_t keys,
                                           uint64_t& budget) {
  const uint64_t size = entry_starts_size(dict, keys);
  TW_TRY(charge_budget(budget, size, "column"));
  std::vector<uint64_t> starts;
  starts.reserve(static_cast<size_t>(size / sizeof(uint64_t)));
  uint64_t pos = 0;
  while (pos < dict.size()) {
    starts.push_back(pos);
    TW_ASSIGN_OR_RETURN(uint64_t len, parse_varint(dict, pos));
    uint64_t end;
    if (__builtin_add_overflow(pos, len, &end)) [[unlikely]]
      return Error::protocol("LowCardinality string overflow");
    if (end > dict.size()) [[unlikely]]
      return Error::protocol("LowCardinality string dictionary is truncated");
    pos = end;
  }
  starts.push_back(pos);
  return starts;
}

// The bytes the expansion of a String-layout dictionary takes: every row's whole entry. Every
// index and the running total are checked, row by row. An entry is at most a 10-byte varint and
// 16777215 bytes, so the sum cannot wrap.
Result<uint64_t> string_expansion_size(std::span<const uint64_t> starts,
                                       std::span<const uint8_t> indexes, unsigned width,
                                       uint64_t rows) {
  const uint64_t entries = starts.size() - 1;
  uint64_t total = 0;
  for (uint64_t row = 0; row < rows; ++row) {
    const uint64_t idx = lc_index(indexes, row, width);
    if (idx >= entries) [[unlikely]]
      return out_of_bounds();
    total += starts[idx + 1] - starts[idx];
    if (total > kColumnByteLimit) [[unlikely]]
      return checked_column_bytes(total, 0).error();
  }
  return total;
}

// Per row, the whole dictionary entry: its varint length and its bytes, copied as they stand.
Status materialize_lc_string(std::span<const uint8_t> dict, uint64_t keys,
                             std::span<const uint8_t> indexes, unsigned width, uint64_t rows,
                             ByteBuffer& out, uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(const std::vector<uint64_t> starts, entry_starts(dict, keys, budget));
  TW_ASSIGN_OR_RETURN(const uint64_t total, string_expansion_size(starts, indexes, width, rows));
  TW_TRY(take_room(out, total, budget));
  uint8_t* dst = out.extend(static_cast<size_t>(total));
  for (uint64_t row = 0; row < rows; ++row) {
    const uint64_t idx = lc_index(indexes, row, width);
    const size_t n = static_cast<size_t>(starts[idx + 1] - starts[idx]);
    std::memcpy(dst, dict.data() + starts[idx], n);
    dst += n;
  }
  budget += entry_starts_size(dict, keys);
  return {};
}

// The width of a value that expands by copying fixed-size entries, or nothing.
std::optional<size_t> expansion_width(const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::Nothing:  // one placeholder byte per row on the wire, but width 0
    case TypeKind::Decimal:
    case TypeKind::Point:
      return std::nullopt;
    default:
      return type.fixed_width();
  }
}

Status materialize(std::span<const uint8_t> dict, uint64_t keys, const ColumnType& inner,
                   std::span<const uint8_t> indexes, unsigned width, uint64_t rows, ByteBuffer& out,
                   uint64_t& budget);

// Writes the null map of `rows` rows to `dst`: 1 where the row's index is 0, the dictionary's
// stand-in for NULL.
template <class Index>
void null_flags(const uint8_t* indexes, uint64_t rows, uint8_t* dst) {
  for (uint64_t row = 0; row < rows; ++row) dst[row] = index_at<Index>(indexes, row) == 0;
}

// A Nullable(U) dictionary holds plain U values, key 0 standing for NULL (it holds U's default).
// The expansion is the null map, then every row's value expanded as U (a NULL row takes key 0's
// value).
Status materialize_lc_nullable(std::span<const uint8_t> dict, uint64_t keys,
                               const ColumnType& nullable, std::span<const uint8_t> indexes,
                               unsigned width, uint64_t rows, ByteBuffer& out, uint64_t& budget) {
  const ColumnType& value_type = nullable.inner();
  if (const std::optional<size_t> w = value_type.fixed_width()) {
    uint64_t hint;  // rows of flags and values, when that fits what the column may still take
    if (!__builtin_mul_overflow(rows, *w + 1, &hint) && hint <= budget &&
        hint <= kColumnByteLimit) {
      TW_TRY(take_room(out, hint, budget));
      budget += hint;  // only made room: the flags and values are charged as they are appended
    }
  }
  // The flags go first but are written last: the values' failures come first.
  const size_t flags_at = out.size();
  TW_TRY(take_room(out, rows, budget));
  out.extend(static_cast<size_t>(rows));
  TW_TRY(materialize(dict, keys, value_type, indexes, width, rows, out, budget));
  TW_TRY(checked_column_bytes(rows, out.size() - flags_at - rows));
  uint8_t* dst = out.data() + flags_at;
  switch (width) {
    case 1:
      null_flags<uint8_t>(indexes.data(), rows, dst);
      break;
    case 2:
      null_flags<uint16_t>(indexes.data(), rows, dst);
      break;
    case 4:
      null_flags<uint32_t>(indexes.data(), rows, dst);
      break;
    default:
      null_flags<uint64_t>(indexes.data(), rows, dst);
  }
  return {};
}

Status materialize(std::span<const uint8_t> dict, uint64_t keys, const ColumnType& inner,
                   std::span<const uint8_t> indexes, unsigned width, uint64_t rows, ByteBuffer& out,
                   uint64_t& budget) {
  if (has_string_entries(inner)) {
    return materialize_lc_string(dict, keys, indexes, width, rows, out, budget);
  }
  if (inner.kind == TypeKind::Nullable) {
    return materialize_lc_nullable(dict, keys, inner, indexes, width, rows, out, budget);
  }
  if (std::optional<size_t> w = expansion_width(inner)) {
    return materialize_lc_fixed(dict, keys, *w, indexes, width, rows, out, budget);
  }
  return not_expandable(inner);
}

// What the expansion of `inner` takes, without making it.
Result<uint64_t> expansion_size(std::span<const uint8_t> dict, uint64_t keys,
                                const ColumnType& inner, std::span<const uint8_t> indexes,
                                unsigned width, uint64_t rows, uint64_t& budget) {
  if (has_string_entries(inner)) {
    const uint64_t before = budget;
    TW_ASSIGN_OR_RETURN(const std::vector<uint64_t> starts, entry_starts(dict, keys, budget));
    budget = before;
    return string_expansion_size(starts, indexes, width, rows);
  }
  if (inner.kind == TypeKind::Nullable) {
    TW_ASSIGN_OR_RETURN(uint64_t values,
                        expansion_size(dict, keys, inner.inner(), indexes, width, rows, budget));
    return checked_column_bytes(rows, values);
  }
  if (std::optional<size_t> w = expansion_width(inner)) {
    return checked_column_len(rows, *w, kMaterializedLabel);
  }
  return not_expandable(inner);
}

}  // namespace

const ColumnType& lc_dictionary_type(const ColumnType& inner) {
  return inner.kind == TypeKind::Nullable ? inner.inner() : inner;
}

bool has_low_cardinality(const ColumnType& type) {
  if (type.kind == TypeKind::LowCardinality) return true;
  if (!is_plain_wrapper(type)) return false;
  return std::any_of(type.nested.begin(), type.nested.end(), has_low_cardinality);
}

Status materialize_low_cardinality_inner(std::span<const uint8_t> dictionary, uint64_t keys,
                                         const ColumnType& inner, std::span<const uint8_t> indexes,
                                         unsigned width, uint64_t rows, ByteBuffer& out,
                                         uint64_t& budget) {
  TW_TRY(check_index_data(indexes, width, rows));
  const size_t before = out.size();
  Status st = materialize(dictionary, keys, inner, indexes, width, rows, out, budget);
  if (!st.ok()) out.resize(before);
  return st;
}

uint64_t low_cardinality_expansion_held(std::span<const uint8_t> dictionary, uint64_t keys,
                                        const ColumnType& inner) {
  return has_string_entries(lc_dictionary_type(inner)) ? entry_starts_size(dictionary, keys) : 0;
}

Result<uint64_t> low_cardinality_expansion_size(std::span<const uint8_t> dictionary, uint64_t keys,
                                                const ColumnType& inner,
                                                std::span<const uint8_t> indexes, unsigned width,
                                                uint64_t rows, uint64_t& budget) {
  TW_TRY(check_index_data(indexes, width, rows));
  return expansion_size(dictionary, keys, inner, indexes, width, rows, budget);
}

}  // namespace tarnwick::protocol
