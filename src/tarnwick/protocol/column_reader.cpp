#include "tarnwick/protocol/column_reader.h"

#include <algorithm>
#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_walker.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

namespace {

// ---- failure texts (built only when something fails) --------------------------------------------

// `short_by`: what the budget lacked for the refused charge.
[[gnu::cold]] Error budget_exhausted(std::string_view label, uint64_t short_by) {
  return Error::budget_short(cat(label, " cumulative byte length exceeds limit ", kColumnByteLimit),
                             static_cast<size_t>(short_by));
}

[[gnu::cold]] Error read_too_long(uint64_t n) {
  return Error::protocol(cat("column byte length ", n, " exceeds limit ", kColumnByteLimit));
}

[[gnu::cold]] Error length_overflow(std::string_view label) {
  return Error::protocol(cat(label, " byte length overflow"));
}

[[gnu::cold]] Error length_over_limit(std::string_view label, uint64_t len) {
  return Error::protocol(cat(label, " byte length ", len, " exceeds limit ", kColumnByteLimit));
}

}  // namespace

// Keeps every byte it is given in the block buffer, charged to the column budget; expands each
// LowCardinality of a plain column into the plain body of its dictionary type.
struct KeepingSink {
  static constexpr bool kExpands = true;
  static constexpr bool kKeptForm = false;
  static constexpr bool kStateKinds = true;
  // A LowCardinality inside a Variant or Dynamic body is kept as it came: its flags give only the
  // width.
  static constexpr bool kCheckStateLcFlags = false;
  static constexpr bool kBoundsOffsets = true;
  static constexpr uint64_t kOffsetRun = kOffsetTotalLimit;

  Status take(ByteSource& source, uint64_t n) { return read_exact_into(source, out, n, budget); }
  Result<std::span<const uint8_t>> view(ByteSource& source, uint64_t n) {
    TW_TRY(read_exact_into(source, out, n, budget));
    return out.span().last(static_cast<size_t>(n));
  }
  Result<uint64_t> word(ByteSource& source) { return read_u64_into(source, out, budget); }
  Result<uint64_t> varint(ByteSource& source) { return read_varint_into(source, out, budget); }
  Result<std::string> text(ByteSource& source, std::string_view label) {
    return read_string_into(source, out, label, budget);
  }
  size_t run_room(size_t window) const {
    return static_cast<size_t>(std::min<uint64_t>(budget, window));
  }
  Status took_run(const uint8_t* p, size_t n) {
    TW_TRY(reserve_more(out, n));
    out.append(p, n);
    budget -= n;
    return {};
  }
  Status hold(uint64_t n) {
    Status held = charge_budget(budget, n, "column");
    if (!held.ok()) hold_refused = true;
    return held;
  }
  void release(uint64_t n) { budget += n; }
  uint64_t room() const { return budget; }
  std::string_view length_label(std::string_view label) const { return label; }
  Error unsupported(const ColumnType& type, bool in_state) const {
    if (in_state)
      return Error::protocol(
          cat("raw capture does not support type ", base::excerpt(type.to_string())));
    return streaming_read_unsupported(type);
  }

  // The dictionary goes to a vector of its own and the indexes are read, both charged to the
  // column's budget: the expansion is made while they are held, so it is charged on top of them,
  // and they are given back once it is done.
  Status expand_low_cardinality(ByteSource& source, const ColumnType& inner,
                                LowCardinalityHeader header, uint64_t rows, uint32_t depth,
                                const BlockLayout& layout) {
    const uint64_t before = budget;
    ByteBuffer dictionary;
    KeepingSink keep{dictionary, budget};
    TW_TRY(ColumnWalker<KeepingSink>(source, keep, layout)
               .column(lc_dictionary_type(inner), header.keys, depth + 1));
    budget = keep.budget;
    TW_ASSIGN_OR_RETURN(uint64_t count, read_fixed<uint64_t>(source));
    if (count != rows) [[unlikely]]
      return index_count_mismatch(count, rows);
    TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, header.width, "LowCardinality index"));
    TW_TRY(charge_budget(budget, n, "column"));

    // The indexes are used in place when the source has them buffered, else read into a copy.
    std::span<const uint8_t> indexes = source.buffered();
    ByteBuffer copy;
    if (indexes.size() >= n) {
      indexes = indexes.first(static_cast<size_t>(n));
      source.consume(static_cast<size_t>(n));  // the window stays valid: nothing refills it
    } else {
      TW_TRY(reserve_more(copy, static_cast<size_t>(n)));
      uint8_t* room = copy.extend(static_cast<size_t>(n));
      TW_TRY(source.read_exact(room, static_cast<size_t>(n)));
      indexes = copy.span();
    }
    const uint64_t held = before - budget;
    TW_TRY(materialize_low_cardinality_inner(dictionary.span(), header.keys, inner, indexes,
                                             header.width, rows, out, budget));
    budget += held;
    if (depth != 0 || kept_indexes == nullptr ||
        lc_dictionary_type(inner).kind != TypeKind::String) {
      return {};
    }
    TW_TRY(hold(n));  // kept beside the body, held for as long as it
    TW_TRY(reserve_more(*kept_indexes, static_cast<size_t>(n)));
    kept_indexes->append(indexes.data(), static_cast<size_t>(n));
    return {};
  }

  ByteBuffer& out;
  uint64_t budget;
  bool hold_refused = false;           // a charge of hold() was refused
  ByteBuffer* kept_indexes = nullptr;  // receives a top-level LowCardinality's string indexes
};

Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, uint64_t& budget, const BlockLayout& layout,
                             bool* hold_refused, ByteBuffer* lc_indexes) {
  KeepingSink keep{out, budget, false, lc_indexes};
  Status st = ColumnWalker<KeepingSink>(source, keep, layout).column(type, rows);
  budget = keep.budget;
  if (hold_refused != nullptr) *hold_refused = keep.hold_refused;
  return st;
}

// ---- appending primitives -----------------------------------------------------------------------

Status read_exact_into(ByteSource& source, ByteBuffer& out, uint64_t n, uint64_t& budget) {
  if (n == 0) return {};
  if (n > kColumnByteLimit) [[unlikely]]
    return read_too_long(n);
  if (budget < n) [[unlikely]]
    return budget_exhausted("column", n - budget);
  TW_TRY(reserve_more(out, static_cast<size_t>(n)));
  budget -= n;
  const size_t before = out.size();
  uint8_t* room = out.extend(static_cast<size_t>(n));
  Status read = source.read_exact(room, static_cast<size_t>(n));
  if (!read.ok()) [[unlikely]] {
    out.resize(before);
    return read;
  }
  return {};
}

Result<uint64_t> read_varint_into(ByteSource& source, ByteBuffer& out, uint64_t& budget) {
  auto next = [&]() -> Result<uint8_t> {
    TW_ASSIGN_OR_RETURN(uint8_t byte, source.read_u8());
    if (budget == 0) [[unlikely]]
      return budget_exhausted("column", 1);
    --budget;
    out.push_back(byte);
    return byte;
  };
  return decode_varint(next, [] { return varint_overflow(); });
}

Result<std::string> read_string_into(ByteSource& source, ByteBuffer& out, std::string_view label,
                                     uint64_t& budget) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_varint_into(source, out, budget));
  if (len > kStringValueLimit) return string_over_limit(label, len);
  TW_TRY(read_exact_into(source, out, len, budget));
  const auto* text = out.data() + (out.size() - len);
  if (auto bad = base::validate_utf8(text, len)) [[unlikely]] {
    return Error::protocol(cat("invalid UTF-8 string: ", bad->to_string()));
  }
  return std::string(reinterpret_cast<const char*>(text), len);
}

Result<uint64_t> read_u64_into(ByteSource& source, ByteBuffer& out, uint64_t& budget) {
  TW_TRY(read_exact_into(source, out, 8, budget));
  uint64_t value;
  std::memcpy(&value, out.data() + out.size() - 8, 8);
  return value;
}

// ---- checks without a source --------------------------------------------------------------------

bool is_budget_exhausted(const base::Error& error) {
  if (error.kind() != base::ErrorKind::Protocol) return false;
  const std::string_view text = error.message();
  const std::string tail = cat(" cumulative byte length exceeds limit ", kColumnByteLimit);
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

Status charge_budget(uint64_t& budget, uint64_t n, std::string_view label) {
  if (budget < n) return budget_exhausted(label, n - budget);
  budget -= n;
  return {};
}

Result<uint64_t> checked_column_len(uint64_t rows, uint64_t width, std::string_view label) {
  uint64_t len;
  if (__builtin_mul_overflow(rows, width, &len)) [[unlikely]]
    return length_overflow(label);
  if (len > kColumnByteLimit) [[unlikely]]
    return length_over_limit(label, len);
  return len;
}

Result<uint64_t> checked_column_bytes(uint64_t so_far, uint64_t add) {
  constexpr std::string_view kLabel = "LowCardinality materialized column";
  uint64_t sum;
  if (__builtin_add_overflow(so_far, add, &sum)) [[unlikely]] {
    return Error::protocol(cat(kLabel, " cumulative byte length overflow"));
  }
  if (sum > kColumnByteLimit) [[unlikely]] {
    return Error::protocol(
        cat(kLabel, " cumulative byte length ", sum, " exceeds limit ", kColumnByteLimit));
  }
  return sum;
}

Result<uint64_t> checked_monotonic_offset(uint64_t previous, uint64_t offset,
                                          std::string_view label) {
  if (offset > kOffsetTotalLimit) [[unlikely]] {
    return Error::protocol(cat(label, " total ", offset, " exceeds limit ", kOffsetTotalLimit));
  }
  if (offset < previous) [[unlikely]] {
    return Error::protocol(cat(label, " decreased from ", previous, " to ", offset));
  }
  return offset;
}

}  // namespace tarnwick::protocol
