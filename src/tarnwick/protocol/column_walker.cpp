#include "tarnwick/protocol/column_walker.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::protocol {

using base::cat;
using base::Error;

// Index flags of a LowCardinality body.
constexpr uint64_t kGlobalDictionaryFlag = 0x100;
constexpr uint64_t kAdditionalKeysFlag = 0x200;

// ---- the state tree -----------------------------------------------------------------------------

const ColumnState& ColumnState::plain() {
  static const ColumnState kPlain;
  return kPlain;
}

const ColumnState& ColumnState::child_or_plain(Kind expected, size_t i) const {
  if (kind != expected || i >= children.size()) return plain();
  return children[i];
}

bool keeps_state_prefix(const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::Variant:
    case TypeKind::Dynamic:
      return true;
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::Map:
    case TypeKind::Tuple:
      return std::any_of(type.nested.begin(), type.nested.end(), keeps_state_prefix);
    default:
      return false;
  }
}

namespace {

// Steps over a kept column in memory: its Variant and Dynamic parts are as they came, and the
// words of the plain setting are not there.
struct KeptSink : DroppingSink {
  static constexpr bool kKeptForm = true;
  static constexpr bool kStateKinds = true;
  static constexpr bool kCheckStateLcFlags = false;
  static constexpr bool kBoundsOffsets = true;

  Error unsupported(const ColumnType& type, bool /*in_state*/) const {
    return Error::protocol(
        cat("raw capture does not support type ", base::excerpt(type.to_string())));
  }
};

}  // namespace

Result<KeptPrefix> read_kept_prefix(std::span<const uint8_t> bytes, const ColumnType& type) {
  base::MemorySource source(bytes);
  KeptSink skip;
  TW_ASSIGN_OR_RETURN(ColumnState state,
                      ColumnWalker<KeptSink>(source, skip).prefix(type, 0, false));
  return KeptPrefix{std::move(state), bytes.size() - source.remaining()};
}

Result<uint64_t> kept_body_length(std::span<const uint8_t> bytes, const ColumnType& type,
                                  const ColumnState& state, uint64_t rows) {
  base::MemorySource source(bytes);
  KeptSink skip;
  TW_TRY(ColumnWalker<KeptSink>(source, skip).walk(type, state, rows, 0, false));
  return static_cast<uint64_t>(bytes.size() - source.remaining());
}

// ---- pieces of the grammar ----------------------------------------------------------------------

Status check_key_version(uint64_t version) {
  if (version != 1) [[unlikely]] {
    return Error::protocol(cat("unsupported LowCardinality key serialization version ", version));
  }
  return {};
}

Result<LowCardinalityHeader> checked_lc_header(uint64_t flags, uint64_t keys, bool check_flags) {
  if (check_flags) {
    if ((flags & kGlobalDictionaryFlag) != 0) [[unlikely]]
      return Error::protocol("LowCardinality global dictionaries are not supported");
    if ((flags & kAdditionalKeysFlag) == 0) [[unlikely]]
      return Error::protocol("LowCardinality additional keys flag is missing");
  }
  TW_TRY(limits::checked_count(keys, "LowCardinality key", kMaxLowCardinalityKeys));
  return LowCardinalityHeader{1u << (flags & 3), keys};
}

ColumnState::Kind wrapper_state_kind(TypeKind kind) {
  using K = ColumnState::Kind;
  static constexpr std::pair<TypeKind, K> kWrappers[] = {
      {TypeKind::Nullable, K::Nullable},
      {TypeKind::Array, K::Array},
      {TypeKind::LowCardinality, K::LowCardinality},
      {TypeKind::Map, K::Map},
      {TypeKind::Tuple, K::Tuple},
      {TypeKind::Variant, K::Variant}};
  for (const auto& [type, state] : kWrappers) {
    if (type == kind) return state;
  }
  return K::Plain;
}

Result<ColumnType> parse_dynamic_type(const std::string& name, uint64_t budget) {
  Result<ColumnType> type = parse_type(name, budget);
  if (!type.ok()) [[unlikely]] {
    return Error::budget_short(
        cat("bad dynamic type '", base::excerpt(name), "': ", type.error().message()),
        type.error().decoded());
  }
  return type;
}

namespace {

// One value of a type, as the values without bytes that it makes.
struct Byteless {
  bool none = false;    // the value itself takes no bytes in a body
  uint64_t values = 0;  // the values it makes that take none, itself included; saturating
};

// The values without bytes that `value` makes beside itself.
uint64_t members_of(Byteless value) {
  return value.values - (value.none ? 1 : 0);
}

// Outside Variant and Dynamic bodies (`raw` false) a LowCardinality is kept as the values of its
// dictionary type. A Variant or Dynamic counts as holding no bytes unless its state says that each
// row has a discriminator: in the Variant's compact mode, or without its prefix, a row may have
// none. Before any prefix is read (`unread`), it counts as carrying bytes.
Byteless byteless(const ColumnType& type, const ColumnState& state, bool raw, bool unread = false) {
  using K = ColumnState::Kind;
  switch (type.kind) {
    case TypeKind::Tuple: {
      Byteless tuple{true, 0};
      for (size_t i = 0; i < type.nested.size(); ++i) {
        const Byteless member =
            byteless(type.nested[i], state.child_or_plain(K::Tuple, i), raw, unread);
        tuple.none = tuple.none && member.none;
        tuple.values = saturating_add(tuple.values, member.values);
      }
      return {tuple.none, saturating_add(tuple.values, tuple.none ? 1 : 0)};
    }
    case TypeKind::Nullable:  // its null map stands for the value itself
      return {false, members_of(byteless(type.inner(), state.child_or_plain(K::Nullable, 0), raw,
                                         unread))};
    case TypeKind::LowCardinality:
      return raw ? Byteless{} : byteless(type.inner(), ColumnState::plain(), raw, unread);
    case TypeKind::FixedString:
      return type.length == 0 ? Byteless{true, 1} : Byteless{};
    case TypeKind::Variant:
      if (unread) return {};
      if (!type.nested.empty() && state.kind == K::Variant && state.version == 0) return {};
      return {true, 1};
    case TypeKind::Dynamic:
      if (unread) return {};
      if (state.kind == K::Dynamic && !state.dynamic.empty() &&
          state.dynamic.front().version != 0 && !state.dynamic.front().types.empty()) {
        return {};
      }
      return {true, 1};
    default:
      return {};
  }
}

}  // namespace

uint64_t byteless_members(const ColumnType& type) {
  return members_of(byteless(type, ColumnState::plain(), false, true));
}

uint64_t byteless_elements_cost(const ColumnType& type, const ColumnState& state, bool raw,
                                uint64_t elements) {
  using K = ColumnState::Kind;
  if (elements == 0) return 0;
  uint64_t values;
  if (type.kind == TypeKind::Map) {
    // An entry is a value of its own only where neither its key nor its value carries bytes.
    const Byteless key = byteless(type.key(), state.child_or_plain(K::Map, 0), raw);
    const Byteless value = byteless(type.value(), state.child_or_plain(K::Map, 1), raw);
    values = saturating_add(saturating_add(members_of(key), members_of(value)),
                            key.none && value.none ? 1 : 0);
  } else {
    values = byteless(type.inner(), state.child_or_plain(K::Array, 0), raw).values;
  }
  uint64_t cost;  // elements: at most kOffsetTotalLimit
  if (__builtin_mul_overflow(elements * kRowCellCost, values, &cost)) return UINT64_MAX;
  return cost;
}

Error index_count_mismatch(uint64_t count, uint64_t rows) {
  return Error::protocol(
      cat("LowCardinality index count ", count, " does not match row count ", rows));
}

Result<uint64_t> checked_offsets(const uint8_t* p, uint64_t n, uint64_t previous,
                                 std::string_view label) {
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t offset = load_u64(p + 8 * i);
    if (offset > kOffsetTotalLimit || offset < previous) [[unlikely]] {
      return checked_monotonic_offset(previous, offset, label).error();
    }
    previous = offset;
  }
  return previous;
}

Result<std::vector<uint64_t>> count_dynamic_rows(const uint8_t* p, uint64_t rows, uint64_t n,
                                                 unsigned width, bool deprecated) {
  std::vector<uint64_t> counts(static_cast<size_t>(n), 0);
  for (uint64_t row = 0; row < rows; ++row, p += width) {
    uint64_t d = 0;
    std::memcpy(&d, p, width);  // little-endian host
    if (d < n) {
      ++counts[static_cast<size_t>(d)];
    } else if (deprecated ? d != 255 : d != n) [[unlikely]] {
      return Error::protocol(cat(deprecated ? "deprecated " : "", "Dynamic discriminator ", d,
                                 " exceeds type count ", n));
    }
  }
  return counts;
}

// ---- the dropping sink --------------------------------------------------------------------------

Status DroppingSink::take(base::ByteSource& source, uint64_t n) {
  // Skipping straight over the source's window: nothing is copied and nothing allocated. The
  // count is split so that it fits size_t on every platform.
  constexpr uint64_t kStep = uint64_t{1} << 30;
  while (n != 0) {
    const uint64_t step = n < kStep ? n : kStep;
    TW_TRY(source.skip(static_cast<size_t>(step)));
    n -= step;
  }
  return {};
}

Result<std::span<const uint8_t>> DroppingSink::view(base::ByteSource& source, uint64_t n) {
  if (const auto window = source.buffered(); window.size() >= n) {
    source.consume(static_cast<size_t>(n));  // the window stays valid: nothing refills it
    return window.first(static_cast<size_t>(n));
  }
  scratch.resize(0);
  TW_TRY(source.read_exact(scratch.extend(static_cast<size_t>(n)), static_cast<size_t>(n)));
  return scratch.span();
}

Result<std::string> DroppingSink::text(base::ByteSource& source, std::string_view label) {
  TW_ASSIGN_OR_RETURN(uint64_t len, read_varint(source));
  if (len > kStringValueLimit) [[unlikely]]
    return string_over_limit(label, len);
  std::string text(static_cast<size_t>(len), '\0');
  TW_TRY(source.read_exact(text.data(), text.size()));
  if (auto bad = base::validate_utf8(text)) [[unlikely]] {
    return Error::protocol(cat("invalid UTF-8 string: ", bad->to_string()));
  }
  return text;
}

}  // namespace tarnwick::protocol
