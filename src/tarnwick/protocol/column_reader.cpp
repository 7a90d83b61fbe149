#include "tarnwick/protocol/column_reader.h"

#include <algorithm>
#include <cstring>

#include "tarnwick/base/format.h"
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
// LowCardinality of a plain column into the plain body of its dictionary type. Once a charge is
// refused by the block and the block walks refused columns, it keeps nothing more: it steps over
// the rest and counts what it would have kept.
struct KeepingSink {
  // What a charge pays for: bytes kept as the body, memory held with it, or memory taken while it
  // is read and given back (a LowCardinality's dictionary and indexes).
  enum class Charge : uint8_t { Kept, Held, Passing };

  static constexpr bool kExpands = true;
  static constexpr bool kKeptForm = false;
  static constexpr bool kStateKinds = true;
  // A LowCardinality inside a Variant or Dynamic body is kept as it came: its flags give only the
  // width.
  static constexpr bool kCheckStateLcFlags = false;
  static constexpr bool kBoundsOffsets = true;

  KeepingSink(ByteBuffer& out, ColumnBudget& budget)
      : out(out), budget(budget), start(out.size()) {}

  Status take(ByteSource& source, uint64_t n) {
    if (!steps_over(n, Charge::Kept)) return read_exact_into(source, out, n, budget.room);
    TW_TRY(step(n));
    return drop.take(source, n);
  }
  Result<std::span<const uint8_t>> view(ByteSource& source, uint64_t n) {
    if (steps_over(n, Charge::Kept)) {
      TW_TRY(step(n));
      return drop.view(source, n);
    }
    TW_TRY(read_exact_into(source, out, n, budget.room));
    return out.span().last(static_cast<size_t>(n));
  }
  Result<uint64_t> word(ByteSource& source) {
    if (!steps_over(8, Charge::Kept)) return read_u64_into(source, out, budget.room);
    TW_TRY(step(8));
    return drop.word(source);
  }
  Result<uint64_t> varint(ByteSource& source) {
    if (!budget.walk_refused) return read_varint_into(source, out, budget.room);
    auto next = [&]() -> Result<uint8_t> {  // a refusal may fall on any byte
      TW_ASSIGN_OR_RETURN(uint8_t byte, source.read_u8());
      if (steps_over(1, Charge::Kept)) {
        TW_TRY(step(1));
      } else {
        TW_TRY(charge_budget(budget.room, 1, "column"));
        out.push_back(byte);
      }
      return byte;
    };
    return decode_varint(next, [] { return varint_overflow(); });
  }
  Result<std::string> text(ByteSource& source, std::string_view label) {
    if (!budget.walk_refused) return read_string_into(source, out, label, budget.room);
    TW_ASSIGN_OR_RETURN(uint64_t len, varint(source));
    if (len > kStringValueLimit) return string_over_limit(label, len);
    TW_ASSIGN_OR_RETURN(std::span<const uint8_t> text, view(source, len));
    return utf8_text(text);
  }
  size_t run_room(size_t window) const {
    const uint64_t kept = out.size() - start;
    const uint64_t data =
        budget.stepping || budget.data_room < kept ? budget.room : budget.data_room - kept;
    return static_cast<size_t>(std::min<uint64_t>({budget.room, data, window}));
  }
  // Offsets are kept in one run, or looked at a few at a time where they may be stepped over.
  uint64_t offset_run(uint64_t left) const {
    if (budget.walk_refused &&
        (budget.stepping || left > budget.room / 8 || left > data_left() / 8)) {
      return 8192;
    }
    return kOffsetTotalLimit;
  }
  Status took_run(const uint8_t* p, size_t n) {
    if (steps_over(n, Charge::Kept)) return step(n);
    TW_TRY(reserve_more(out, n));
    out.append(p, n);
    budget.room -= n;
    return {};
  }
  Status hold(uint64_t n) { return charge(n, Charge::Held); }
  void release(uint64_t n) { budget.room += n; }
  uint64_t room() const { return budget.room; }
  std::string_view length_label(std::string_view label) const { return label; }
  Error unsupported(const ColumnType& type, bool in_state) const {
    if (in_state)
      return Error::protocol(
          cat("raw capture does not support type ", base::excerpt(type.to_string())));
    return streaming_read_unsupported(type);
  }

  // The dictionary goes to a vector of its own and the indexes are read, both charged to the
  // column's budget as held while they pass: the expansion is made while they are held, so it is
  // charged on top of them, and they are given back once it is done. Where refused columns are
  // walked, the expansion keeps nothing past the data room: it is made under what that has left
  // (and what it holds while it is made). A column that steps over the expansion still reads the
  // dictionary (within its own bound) to count what the expansion would take.
  Status expand_low_cardinality(ByteSource& source, const ColumnType& inner,
                                LowCardinalityHeader header, uint64_t rows, uint32_t depth,
                                const BlockLayout& layout) {
    ByteBuffer dictionary;
    ColumnBudget reach = ColumnBudget::of(budget.room + budget.bound_slack);
    KeepingSink keep{dictionary, reach};
    Status read = ColumnWalker<KeepingSink>(source, keep, layout)
                      .column(lc_dictionary_type(inner), header.keys, depth + 1);
    if (!read.ok()) {
      if (is_budget_exhausted(read.error())) budget.refused_hold = true;
      return read;
    }
    TW_TRY(charge(reach.used(), Charge::Passing));
    TW_ASSIGN_OR_RETURN(uint64_t count, read_fixed<uint64_t>(source));
    if (count != rows) [[unlikely]]
      return index_count_mismatch(count, rows);
    TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, header.width, "LowCardinality index"));
    TW_TRY(charge(n, Charge::Passing));

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
    const uint64_t held = reach.used() + n;  // the dictionary and the indexes
    Status made;
    uint64_t asked = 0;  // what a refused expansion asked for, with what it held while made
    if (!budget.stepping) {
      uint64_t cap = budget.room;
      if (budget.walk_refused && data_left() < cap) {  // both within kColumnByteLimit then
        cap = std::min(cap, data_left() + low_cardinality_expansion_held(dictionary.span(),
                                                                         header.keys, inner));
      }
      const uint64_t room = budget.room;
      uint64_t left = cap;
      made = materialize_low_cardinality_inner(dictionary.span(), header.keys, inner, indexes,
                                               header.width, rows, out, left);
      budget.room -= cap - left;
      if (made.ok()) {
        budget.room += held;
        return keep_indexes(inner, indexes, depth);
      }
      if (!budget.walk_refused || !is_budget_exhausted(made.error())) return made;
      budget.room = room;
      asked = cap + std::max<uint64_t>(made.error().decoded(), 1);
    }
    // Refused: counted, not made. Working it out holds memory within the column's own bound.
    uint64_t within = budget.room + budget.bound_slack;
    TW_ASSIGN_OR_RETURN(uint64_t expanded,
                        low_cardinality_expansion_size(dictionary.span(), header.keys, inner,
                                                       indexes, header.width, rows, within));
    // The expansion past the data room is refused as data; else what it held past the room.
    if (!steps_over(expanded, Charge::Kept) && !steps_over(asked, Charge::Passing)) {
      return made;
    }
    TW_TRY(step(expanded));
    budget.room += held;
    return {};
  }

  // A top-level LowCardinality of strings keeps its rows' indexes beside the expanded body, held
  // for as long as it, so that its rows' values can be made once per key.
  Status keep_indexes(const ColumnType& inner, std::span<const uint8_t> indexes, uint32_t depth) {
    if (depth != 0 || kept_indexes == nullptr ||
        lc_dictionary_type(inner).kind != TypeKind::String) {
      return {};
    }
    TW_TRY(hold(indexes.size()));
    if (budget.stepping) return {};  // refused: the block is walked to its end and dropped
    TW_TRY(reserve_more(*kept_indexes, indexes.size()));
    kept_indexes->append(indexes.data(), indexes.size());
    return {};
  }

  // Whether `n` more bytes are stepped over rather than kept: the column steps already, or `n` is
  // a charge the block refuses (past the room, or bytes past the data limit, within the column's
  // own bound) and the block walks refused columns; the refusal is noted then, and the column's own
  // bound becomes its room.
  bool steps_over(uint64_t n, Charge charge) {
    if (budget.stepping) return true;
    if (!budget.walk_refused || n > budget.room + budget.bound_slack) return false;
    const bool over_data = charge == Charge::Kept && out.size() - start + n > budget.data_room;
    if (n <= budget.room && !over_data) return false;
    budget.stepping = true;
    budget.refused_hold = charge != Charge::Kept;
    budget.refused_charge = n;
    budget.room_at_refusal = budget.room;
    budget.kept_at_refusal = out.size() - start;
    budget.room += budget.bound_slack;
    budget.bound_slack = 0;
    return true;
  }
  // What the block's data limit has left for the column to keep.
  uint64_t data_left() const {
    const uint64_t kept = out.size() - start;
    return budget.data_room > kept ? budget.data_room - kept : 0;
  }
  // Counts `n` bytes stepped over, within the column's own bound.
  Status step(uint64_t n) {
    TW_TRY(charge_budget(budget.room, n, "column"));
    budget.stepped += n;
    return {};
  }
  // Charges `n` bytes that are not appended here.
  Status charge(uint64_t n, Charge charge) {
    if (steps_over(n, charge)) return charge_budget(budget.room, n, "column");
    Status charged = charge_budget(budget.room, n, "column");
    if (!charged.ok() && charge != Charge::Kept) budget.refused_hold = true;
    return charged;
  }

  ByteBuffer& out;
  ColumnBudget& budget;
  const size_t start;                  // where the column starts in `out`
  DroppingSink drop;                   // steps over what is not kept
  ByteBuffer* kept_indexes = nullptr;  // receives a top-level LowCardinality's string indexes
};

Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, ColumnBudget& budget, const BlockLayout& layout,
                             ByteBuffer* lc_indexes) {
  KeepingSink keep{out, budget};
  keep.kept_indexes = lc_indexes;
  Status st = ColumnWalker<KeepingSink>(source, keep, layout).column(type, rows);
  budget.kept = out.size() - keep.start;
  return st;
}

Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, uint64_t& budget, const BlockLayout& layout) {
  ColumnBudget column = ColumnBudget::of(budget);
  Status st = read_column_data_into(source, type, rows, out, column, layout);
  budget = column.room;
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
  return utf8_text(out.span().last(static_cast<size_t>(len)));
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
