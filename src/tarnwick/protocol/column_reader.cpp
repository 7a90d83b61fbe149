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
// LowCardinality of a plain column into the plain body of its dictionary type. A charge the block
// refuses is noted (refuse()); where the reading steps over a refused column it keeps nothing more
// from there on, stepping over the rest and counting what it would have kept.
struct KeepingSink {
  static constexpr bool kExpands = true;
  static constexpr bool kKeptForm = false;
  static constexpr bool kStateKinds = true;
  // A LowCardinality inside a Variant or Dynamic body is kept as it came: its flags give only the
  // width.
  static constexpr bool kCheckStateLcFlags = false;
  static constexpr bool kBoundsOffsets = true;

  KeepingSink(ByteBuffer& out, ColumnBudget& budget, Refused on_refusal)
      : out(out), budget(budget), on_refusal(on_refusal), start(out.size()) {}

  Status take(ByteSource& source, uint64_t n) {
    if (!steps_over(n)) return read_exact_into(source, out, n, budget.room);
    TW_TRY(step(n, Charge::Kept));
    return drop.take(source, n);
  }
  Result<std::span<const uint8_t>> view(ByteSource& source, uint64_t n) {
    if (steps_over(n)) {
      TW_TRY(step(n, Charge::Kept));
      return drop.view(source, n);
    }
    TW_TRY(read_exact_into(source, out, n, budget.room));
    return out.span().last(static_cast<size_t>(n));
  }
  Result<uint64_t> word(ByteSource& source) {
    if (!steps_over(8)) return read_u64_into(source, out, budget.room);
    TW_TRY(step(8, Charge::Kept));
    return drop.word(source);
  }
  Result<uint64_t> varint(ByteSource& source) {
    auto next = [&]() -> Result<uint8_t> {  // a refusal may fall on any byte
      TW_ASSIGN_OR_RETURN(uint8_t byte, source.read_u8());
      if (steps_over(1)) {
        TW_TRY(step(1, Charge::Kept));
      } else {
        TW_TRY(charge_budget(budget.room, 1, "column"));
        out.push_back_within(byte, budget.room + 1);
      }
      return byte;
    };
    return decode_varint(next, [] { return varint_overflow(); });
  }
  Result<std::string> text(ByteSource& source, std::string_view label) {
    TW_ASSIGN_OR_RETURN(uint64_t len, varint(source));
    if (len > kStringValueLimit) return string_over_limit(label, len);
    TW_ASSIGN_OR_RETURN(std::span<const uint8_t> text, view(source, len));
    return utf8_text(text);
  }
  size_t run_room(size_t window) const {
    const uint64_t data = stepping() ? budget.room : data_left();
    return static_cast<size_t>(std::min<uint64_t>({budget.room, data, window}));
  }
  // Offsets are kept in one run, or looked at a few at a time where they may be stepped over.
  uint64_t offset_run(uint64_t left) const {
    if (on_refusal == Refused::StepOver &&
        (stepping() || left > budget.room / 8 || left > data_left() / 8)) {
      return 8192;
    }
    return kOffsetTotalLimit;
  }
  Status took_run(const uint8_t* p, size_t n) {
    if (steps_over(n)) return step(n, Charge::Kept);
    TW_TRY(reserve_more(out, n, budget.room));
    out.append(p, n);
    budget.room -= n;
    return {};
  }
  Status hold(uint64_t n) { return charge(n, Charge::Held); }
  Status values(uint64_t n) {
    if (stepping()) return {};
    if (!budget.grant.values_room) return hold(n);
    if (n > *budget.grant.values_room - budget.values) return refuse(n, Charge::Held);
    budget.values += n;
    return {};
  }
  void release(uint64_t n) { budget.room += n; }
  uint64_t room() const { return budget.room; }
  std::string_view length_label(std::string_view label) const { return label; }
  Error unsupported(const ColumnType& type, bool in_state) const {
    if (in_state)
      return Error::protocol(
          cat("raw capture does not support type ", base::excerpt(type.to_string())));
    return streaming_read_unsupported(type);
  }

  // What one LowCardinality body expands from.
  struct Expansion {
    std::span<const uint8_t> dictionary;
    LowCardinalityHeader header;
    const ColumnType& inner;
    std::span<const uint8_t> indexes;
    uint64_t rows;
  };

  // The dictionary goes to a vector of its own and the indexes are read, both charged to the
  // column's budget as passing: the expansion is made while they are held, so it is charged on top
  // of them, and they are given back once it is done. A column that steps over the expansion
  // still reads the dictionary (within its own bound) to count what the expansion would take.
  Status expand_low_cardinality(ByteSource& source, const ColumnType& inner,
                                LowCardinalityHeader header, uint64_t rows, uint32_t depth,
                                const BlockLayout& layout) {
    ByteBuffer dictionary;
    ColumnBudget within = ColumnBudget::of(reach());
    KeepingSink keep{dictionary, within, Refused::Fail};
    Status read = ColumnWalker<KeepingSink>(source, keep, layout)
                      .column(lc_dictionary_type(inner), header.keys, depth + 1);
    if (!read.ok()) {  // a dictionary past its room asked for all it held and the refused charge
      if (within.refusal)
        TW_TRY(charge(within.refusal->used + within.refusal->size, Charge::Passing));
      return read;
    }
    TW_TRY(charge(within.used(), Charge::Passing));
    TW_ASSIGN_OR_RETURN(uint64_t count, read_fixed<uint64_t>(source));
    if (count != rows) [[unlikely]]
      return index_count_mismatch(count, rows);
    TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, header.width, "LowCardinality index"));
    TW_TRY(charge(n, Charge::Passing));

    // The indexes are used in place when the source has them buffered or keeps what it serves,
    // else read into a copy.
    std::span<const uint8_t> indexes = source.buffered();
    ByteBuffer copy;
    if (indexes.size() >= n) {
      indexes = indexes.first(static_cast<size_t>(n));
      source.consume(static_cast<size_t>(n));  // the window stays valid: nothing refills it
    } else if (base::RetainingSource* kept = source.retaining()) {
      TW_ASSIGN_OR_RETURN(indexes, kept->view(static_cast<size_t>(n)));
    } else {
      TW_TRY(reserve_more(copy, static_cast<size_t>(n)));
      uint8_t* room = copy.extend(static_cast<size_t>(n));
      TW_TRY(source.read_exact(room, static_cast<size_t>(n)));
      indexes = copy.span();
    }
    const uint64_t passing = within.used() + n;  // the dictionary and the indexes
    const Expansion e{dictionary.span(), header, inner, indexes, rows};
    Status made;
    uint64_t asked = 0;
    if (!stepping()) {
      made = make_expansion(e, asked);
      if (made.ok()) {
        budget.room += passing;
        return keep_indexes(inner, indexes, depth);
      }
      if (asked == 0) return made;
    }
    TW_TRY(count_expansion(e, asked, std::move(made)));
    budget.room += passing;
    return {};
  }

  // Makes the expansion within the room (where a refused column is stepped over, within what the
  // data limit has left and what the expansion holds while made). A charge it could not pay is
  // the block's refusal where the reading fails there; where it steps over, `asked` is set to what
  // the expansion asked for, with what it held while made.
  Status make_expansion(const Expansion& e, uint64_t& asked) {
    uint64_t cap = budget.room;
    if (on_refusal == Refused::StepOver && data_left() < cap) {  // both within the bound then
      cap = std::min(
          cap, data_left() + low_cardinality_expansion_held(e.dictionary, e.header.keys, e.inner));
    }
    uint64_t left = cap;
    Status made = materialize_low_cardinality_inner(e.dictionary, e.header.keys, e.inner, e.indexes,
                                                    e.header.width, e.rows, out, left);
    const bool short_of_room = !made.ok() && made.error().is_budget_short();
    if (short_of_room && on_refusal == Refused::StepOver) {
      asked = cap + made.error().decoded();
      return made;
    }
    budget.room -= cap - left;  // kept, or held when it was refused
    const uint64_t refused = short_of_room ? left + made.error().decoded() : 0;
    if (short_of_room && refuses(refused, Charge::Kept)) TW_TRY(refuse(refused, Charge::Kept));
    return made;
  }

  // Counts an expansion that is not made, working it out within the column's own bound: past the
  // data limit it is the refusal, else what it asked for past the room; neither, it fails as
  // `made` did.
  Status count_expansion(const Expansion& e, uint64_t asked, Status made) {
    uint64_t within = reach();
    TW_ASSIGN_OR_RETURN(uint64_t expanded,
                        low_cardinality_expansion_size(e.dictionary, e.header.keys, e.inner,
                                                       e.indexes, e.header.width, e.rows, within));
    if (!stepping()) {
      const bool as_data = refuses(expanded, Charge::Kept);
      if (!as_data && !refuses(asked, Charge::Passing)) return made;
      TW_TRY(as_data ? refuse(expanded, Charge::Kept) : refuse(asked, Charge::Passing));
    }
    return step(expanded, Charge::Kept);
  }

  // A top-level LowCardinality of strings keeps its rows' indexes beside the expanded body, held
  // for as long as it, so that its rows' values can be made once per key.
  Status keep_indexes(const ColumnType& inner, std::span<const uint8_t> indexes, uint32_t depth) {
    if (depth != 0 || kept_indexes == nullptr ||
        lc_dictionary_type(inner).kind != TypeKind::String) {
      return {};
    }
    TW_TRY(hold(indexes.size()));
    if (stepping()) return {};  // refused: the block is walked to its end and dropped
    TW_TRY(reserve_more(*kept_indexes, indexes.size()));
    kept_indexes->append(indexes.data(), indexes.size());
    return {};
  }

  // Whether a refusal was noted: the column keeps nothing more.
  bool stepping() const { return budget.refusal.has_value(); }
  // Whether the block's limits refuse a charge of `n` (past the room, or bytes past what the data
  // limit has left) that the column's own bound allows, or that a block granting less than that
  // bound refuses where the reading fails at a refusal.
  bool refuses(uint64_t n, Charge what) const {
    if (n <= budget.room && (what != Charge::Kept || n <= data_left())) return false;
    if (on_refusal == Refused::StepOver) return n <= reach();
    return budget.block_bounded();
  }
  // Whether `n` more bytes are stepped over rather than kept.
  bool steps_over(uint64_t n) const { return stepping() || refuses(n, Charge::Kept); }
  // What the column may charge at most: its room, and where a refused column is stepped over, as
  // far as its own bound reaches (its room once a refusal is noted).
  uint64_t reach() const {
    const bool slack = on_refusal == Refused::StepOver && !stepping();
    return budget.room + (slack ? kColumnByteLimit - budget.grant.room : 0);
  }
  // What the block's data limit has left for the column to keep.
  uint64_t data_left() const {
    const uint64_t kept = out.size() - start;
    return budget.grant.data_room > kept ? budget.grant.data_room - kept : 0;
  }
  // Notes the block's refusal of a charge of `n`. Where the reading fails at a refusal that is its
  // failure; else the column's own bound becomes its room.
  Status refuse(uint64_t n, Charge what) {
    const uint64_t within = reach();
    budget.refusal = Refusal{what, n, budget.used()};
    if (on_refusal == Refused::Fail)
      return budget_exhausted("column", n > budget.room ? n - budget.room : 1);
    budget.room = within;
    return {};
  }
  // Steps over a charge of `n` that the column does not keep: the first is the block's refusal.
  // Each is charged within the column's own bound; bytes count as stepped over.
  Status step(uint64_t n, Charge what) {
    if (!stepping()) TW_TRY(refuse(n, what));
    TW_TRY(charge_budget(budget.room, n, "column"));
    if (what == Charge::Kept) budget.stepped += n;
    return {};
  }
  // Charges `n` bytes that are not appended here.
  Status charge(uint64_t n, Charge what) {
    if (stepping() || refuses(n, what)) return step(n, what);
    return charge_budget(budget.room, n, "column");
  }

  ByteBuffer& out;
  ColumnBudget& budget;
  const Refused on_refusal;
  const size_t start;                  // where the column starts in `out`
  DroppingSink drop;                   // steps over what is not kept
  ByteBuffer* kept_indexes = nullptr;  // receives a top-level LowCardinality's string indexes
};

Status read_column_data_into(ByteSource& source, const ColumnType& type, uint64_t rows,
                             ByteBuffer& out, ColumnBudget& budget, const BlockLayout& layout,
                             ByteBuffer* lc_indexes, Refused on_refusal) {
  KeepingSink keep{out, budget, on_refusal};
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

Status ColumnBudget::charge(uint64_t n, Charge what) {
  if (n > room && block_bounded()) refusal = Refusal{what, n, used()};
  return charge_budget(room, n, "column");
}

Status ColumnBudget::charge_values(uint64_t n) {
  if (!grant.values_room) return charge(n, Charge::Held);
  if (n > *grant.values_room - values) {
    refusal = Refusal{Charge::Held, n, used()};
    return budget_exhausted("column", n);
  }
  values += n;
  return {};
}

// ---- appending primitives -----------------------------------------------------------------------

Status read_exact_into(ByteSource& source, ByteBuffer& out, uint64_t n, uint64_t& budget) {
  if (n == 0) return {};
  if (n > kColumnByteLimit) [[unlikely]]
    return read_too_long(n);
  if (budget < n) [[unlikely]]
    return budget_exhausted("column", n - budget);
  TW_TRY(reserve_more(out, static_cast<size_t>(n), budget));
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
    out.push_back_within(byte, budget + 1);
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
