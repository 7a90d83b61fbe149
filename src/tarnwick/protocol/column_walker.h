// The one walker of the column-body grammar. Every reader of Native column bodies (the keeping
// reader, the discarding reader and the in-memory skipper of the buffered parser) is this walker
// run over a byte source with a sink of its own; the sink decides what happens to the bytes (kept
// under a budget, dropped) and carries the few texts and rules in which the readers differ.
//
// A column (column()) is the state prefix of its whole type tree, then its body, which holds no
// prefix bytes. The prefix is read in one place (prefix()) into a ColumnState tree that the body
// walk follows. The prefix of Nullable, Array, Map and Tuple is their children's prefixes in
// order; a LowCardinality's is its key version; a Variant's is its mode word and then its members'
// prefixes; Dynamic and JSON prefixes carry their member types' prefixes inside them.
//
// One function walks every body, in two settings. In the plain setting (outside Variant and
// Dynamic bodies) a LowCardinality is expanded or stepped over from its flags, its key version
// neither kept nor charged, and JSON has only its string form, whose version word is dropped
// likewise. Under a Variant or Dynamic (the raw setting) every byte, prefix and body, is kept as it
// came and a LowCardinality stays dictionary-encoded. So a kept column is the raw prefixes of its
// tree, then its body; read_kept_prefix() and kept_body_length() read that form back.
// A new kind of column is a case of walk() (or of leaf(), when it reads alike in both).
// Depth counts one level per type constructor, in prefixes and bodies alike, Dynamic members and
// JSON paths included; past kMaxTypeDepth the walk fails instead of recursing further.
//
// The layout of the connection's blocks (block_layout.h) says whether a LowCardinality of no rows
// nested in a column with rows still has a body.
//
// Running out of bytes is whatever the source says (an in-memory source: the Io error of kind
// UnexpectedEof); the walker never looks past what it has read.
//
// A sink provides:
//   kExpands, kStateKinds, kCheckStateLcFlags, kBoundsOffsets (offset arrays are bounded as a
//   whole, as what is kept), offset_run(left) (how many of `left` offsets to look at in one run),
//   kKeptForm (the source is a kept column: the words of the plain setting are not there),
//   take(source, n), view(source, n), word(source), varint(source), text(source, label),
//   run_room(window), took_run(p, n), hold(n) (memory the walk or the kept column will take beyond
//   its bytes), values(n) (values without bytes that elements make), release(n) (memory held
//   that the walk gave back), room() (what hold() may take),
//   length_label(label), unsupported(type, in_state),
//   and, when kExpands, expand_low_cardinality(source, inner, header, rows, depth, layout).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/format.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/block_layout.h"
#include "tarnwick/protocol/column_common.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/column_state.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::protocol {

// ---- pieces of the grammar that need no sink (column_walker.cpp) --------------------------------

// The flags and key count of a LowCardinality body, checked: the index width in bytes and the
// number of dictionary entries.
struct LowCardinalityHeader {
  unsigned width;
  uint64_t keys;
};
// With `check_flags` the flags must name no global dictionary and must carry additional keys;
// without, only the width code is taken from them.
base::Result<LowCardinalityHeader> checked_lc_header(uint64_t flags, uint64_t keys,
                                                     bool check_flags);
// "unsupported LowCardinality key serialization version {}" unless `version` is 1.
base::Status check_key_version(uint64_t version);
// The state node kind of a type that only wraps others (Nullable, Array, LowCardinality, Map,
// Tuple, Variant); Plain for every other kind.
ColumnState::Kind wrapper_state_kind(TypeKind kind);
// A Dynamic member's type name, parsed holding at most `budget` bytes; failures read
// "bad dynamic type '{name}': {reason}" (decoded() is what the budget lacked, as parse_type says).
base::Result<ColumnType> parse_dynamic_type(const std::string& name, uint64_t budget);
// The memory a string holds beyond its own object.
inline uint64_t text_memory_size(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}
// A value of a type that holds no bytes (a tuple of such, FixedString(0), a Variant without
// members or discriminators, a Dynamic without types) is still one once the column is used, so
// each costs what a row of a column without bytes does (kRowCellCost).
//
// The values without bytes that one value of `type` makes beside itself: each member of a tuple, at
// any depth, whose type holds no bytes, whatever its siblings carry (through Nullable and
// LowCardinality too). Array and Map elements are not among them: they are charged where their
// offsets are read. A Variant or Dynamic member counts as carrying bytes (its discriminators).
// Saturates at UINT64_MAX.
uint64_t byteless_members(const ColumnType& type);
// What `elements` elements of the Array or Map `type` (laid out as `state`; `raw` inside Variant
// and Dynamic bodies) cost beyond their bytes: kRowCellCost for each value without bytes that an
// element makes (the element itself when it holds none, and its members as above; a Map entry is a
// value of its own only where neither key nor value holds bytes). Saturates at UINT64_MAX.
uint64_t byteless_elements_cost(const ColumnType& type, const ColumnState& state, bool raw,
                                uint64_t elements);
// "LowCardinality index count {} does not match row count {}".
[[gnu::cold]] base::Error index_count_mismatch(uint64_t count, uint64_t rows);
// Checks `n` cumulative offsets at `p` that continue from `previous`; returns the last.
base::Result<uint64_t> checked_offsets(const uint8_t* p, uint64_t n, uint64_t previous,
                                       std::string_view label);
// Counts the rows of each of `n` Dynamic types in `rows` discriminators of `width` bytes at `p`.
// A value of n is a NULL row (255 in the deprecated one-byte form); above that is an error.
base::Result<std::vector<uint64_t>> count_dynamic_rows(const uint8_t* p, uint64_t rows, uint64_t n,
                                                       unsigned width, bool deprecated);

template <class Sink>
class ColumnWalker {
 public:
  using Kind = ColumnState::Kind;

  ColumnWalker(base::ByteSource& source, Sink& sink, const BlockLayout& layout = {})
      : src_(source), sink_(sink), layout_(layout) {}

  // A whole column of `rows` rows: the state prefix of its whole type tree, then its body. Zero
  // rows read nothing, whatever the type.
  base::Status column(const ColumnType& type, uint64_t rows, uint32_t depth = 0) {
    if (rows == 0) return {};
    TW_ASSIGN_OR_RETURN(ColumnState state, prefix(type, depth, false));
    return walk(type, state, rows, depth, false);
  }

  // The state prefix of a column of `type`, outside Variant and Dynamic bodies (`raw` false) or
  // inside them. A plain-setting LowCardinality's prefix is its key version alone: its dictionary
  // is a column of its own, read with the body.
  base::Result<ColumnState> prefix(const ColumnType& type, uint32_t depth, bool raw) {
    if (depth > kMaxTypeDepth) [[unlikely]]
      return nesting_too_deep_error();
    ColumnState node;
    switch (type.kind) {
      case TypeKind::JSON:
        return json_prefix(depth, raw);
      case TypeKind::Dynamic: {
        if constexpr (!Sink::kStateKinds) return sink_.unsupported(type, false);
        node.kind = Kind::Dynamic;
        TW_TRY(sink_.hold(sizeof(DynamicState)));
        TW_ASSIGN_OR_RETURN(DynamicState state, dynamic_prefix(depth));
        node.dynamic.push_back(std::move(state));
        return node;
      }
      case TypeKind::LowCardinality: {
        TW_ASSIGN_OR_RETURN(uint64_t version, raw ? sink_.word(src_) : plain_word());
        TW_TRY(check_key_version(version));
        if (!raw) return node;
        break;
      }
      case TypeKind::Variant: {
        if constexpr (!Sink::kStateKinds) return sink_.unsupported(type, false);
        TW_ASSIGN_OR_RETURN(node.version, sink_.word(src_));  // the mode word
        raw = true;
        break;
      }
      default:
        break;
    }
    node.kind = wrapper_state_kind(type.kind);
    if (node.kind == Kind::Plain) return node;
    // Under a Variant or Dynamic the tree mirrors types the server named: held while the column
    // is walked, so charged before room is made for it.
    if (raw) TW_TRY(sink_.hold(type.nested.size() * sizeof(ColumnState)));
    node.children.reserve(type.nested.size());
    for (const ColumnType& child : type.nested) {
      TW_ASSIGN_OR_RETURN(ColumnState state, prefix(child, depth + 1, raw));
      node.children.push_back(std::move(state));
    }
    return node;
  }

  // The body of `rows` rows of `type` (no prefix bytes), laid out as `state` says; `raw` inside
  // Variant and Dynamic bodies.
  base::Status walk(const ColumnType& type, const ColumnState& state, uint64_t rows, uint32_t depth,
                    bool raw) {
    // Zero rows have no bytes, except in the plain setting of the older layout the body of a
    // LowCardinality nested in a column with rows.
    if (rows == 0 && (raw || !(layout_.empty_low_cardinality_body && has_low_cardinality(type)))) {
      return {};
    }
    // A parsed type is never deeper than the grammar allows; a tree built by hand may be.
    if (depth > kMaxTypeDepth) [[unlikely]]
      return nesting_too_deep_error();
    auto child = [&](Kind kind, size_t i) -> const ColumnState& {
      return state.child_or_plain(kind, i);
    };
    const uint32_t next = depth + 1;
    switch (type.kind) {
      case TypeKind::Nullable:
        TW_TRY(sink_.take(src_, rows));  // null map
        return walk(type.inner(), child(Kind::Nullable, 0), rows, next, raw);
      case TypeKind::Array: {  // elements without bytes are held, before anything is made
        TW_ASSIGN_OR_RETURN(uint64_t elements, offsets(rows, "array offset"));
        TW_TRY(sink_.values(byteless_elements_cost(type, state, raw, elements)));
        return walk(type.inner(), child(Kind::Array, 0), elements, next, raw);
      }
      case TypeKind::Map: {
        TW_ASSIGN_OR_RETURN(uint64_t entries, offsets(rows, "map offset"));
        TW_TRY(sink_.values(byteless_elements_cost(type, state, raw, entries)));
        TW_TRY(walk(type.key(), child(Kind::Map, 0), entries, next, raw));
        return walk(type.value(), child(Kind::Map, 1), entries, next, raw);
      }
      case TypeKind::Tuple:
        for (size_t i = 0; i < type.nested.size(); ++i) {
          TW_TRY(walk(type.nested[i], child(Kind::Tuple, i), rows, next, raw));
        }
        return {};
      case TypeKind::LowCardinality:
        if (!raw) return plain_low_cardinality(type.inner(), rows, depth);
        return state_low_cardinality(type.inner(), child(Kind::LowCardinality, 0), rows, depth);
      case TypeKind::JSON:
        if (raw) return json(state, rows, depth);
        return strings(rows, "JSON string length");  // the string form; the prefix checked that
      case TypeKind::Variant:
        if constexpr (!Sink::kStateKinds) return sink_.unsupported(type, false);
        if (state.kind != Kind::Variant) [[unlikely]]
          return base::Error::protocol("missing Variant state prefix");
        return variant(type.nested, state.children, state.version, rows, depth);
      case TypeKind::Dynamic:
        if constexpr (!Sink::kStateKinds) return sink_.unsupported(type, false);
        if (state.kind != Kind::Dynamic || state.dynamic.empty()) [[unlikely]]
          return base::Error::protocol("missing Dynamic state prefix");
        return dynamic(state.dynamic.front(), rows, depth);
      case TypeKind::Other:
        // Inside Variant and Dynamic bodies, kept with the String layout. Elsewhere its layout is
        // unknown: its bytes are never read as anything.
        if (raw) return strings(rows, "string value length");
        return sink_.unsupported(type, false);
      default:
        return leaf(type, rows, raw);
    }
  }

 private:
  // A LowCardinality body from its flags on; its key version stands in the column's prefix.
  base::Status plain_low_cardinality(const ColumnType& inner, uint64_t rows, uint32_t depth) {
    TW_ASSIGN_OR_RETURN(uint64_t flags, base_word());
    TW_ASSIGN_OR_RETURN(uint64_t keys, base_word());
    TW_ASSIGN_OR_RETURN(LowCardinalityHeader header, checked_lc_header(flags, keys, true));
    if constexpr (Sink::kExpands) {
      return sink_.expand_low_cardinality(src_, inner, header, rows, depth, layout_);
    } else {
      TW_TRY(column(lc_dictionary_type(inner), header.keys, depth + 1));
      TW_ASSIGN_OR_RETURN(uint64_t count, base_word());
      if (count != rows) [[unlikely]]
        return index_count_mismatch(count, rows);
      return fixed(rows, header.width, "LowCardinality index");
    }
  }

  // The dictionary-encoded form inside Variant and Dynamic bodies (its key version stands in the
  // prefix): flags, key count, dictionary (for Nullable(U), plain U values with the state of the
  // Nullable's member), index count, indexes.
  base::Status state_low_cardinality(const ColumnType& inner, const ColumnState& state,
                                     uint64_t rows, uint32_t depth) {
    TW_ASSIGN_OR_RETURN(uint64_t flags, sink_.word(src_));
    TW_ASSIGN_OR_RETURN(uint64_t keys, sink_.word(src_));
    TW_ASSIGN_OR_RETURN(LowCardinalityHeader header,
                        checked_lc_header(flags, keys, Sink::kCheckStateLcFlags));
    const ColumnState* dictionary = &state;
    if (inner.kind == TypeKind::Nullable) {
      dictionary = &dictionary->child_or_plain(Kind::Nullable, 0);
    }
    TW_TRY(walk(lc_dictionary_type(inner), *dictionary, header.keys, depth + 1, true));
    TW_ASSIGN_OR_RETURN(uint64_t count, sink_.word(src_));
    if (count != rows) [[unlikely]]
      return index_count_mismatch(count, rows);
    return fixed(rows, header.width, "LowCardinality index");
  }

  base::Status json(const ColumnState& state, uint64_t rows, uint32_t depth) {
    if (state.kind != Kind::Json) [[unlikely]]
      return base::Error::protocol("missing JSON state prefix");
    switch (state.version) {
      case 1:
      case 4:
        return strings(rows, "JSON string length");
      case 0:
      case 3:
        for (const DynamicState& path : state.dynamic) TW_TRY(dynamic(path, rows, depth + 1));
        if (state.version == 3) return {};
        return fixed(rows, 8, "JSON offsets");
      default:
        return unknown_json_version(state.version);
    }
  }

  // The discriminators or the compact record of `mode` (the prefix's word), then the member
  // bodies in member order, each holding only its own rows. `states` may be shorter than
  // `members`.
  base::Status variant(std::span<const ColumnType> members, std::span<const ColumnState> states,
                       uint64_t mode, uint64_t rows, uint32_t depth) {
    if (depth > kMaxTypeDepth) [[unlikely]]
      return nesting_too_deep_error();
    auto state_of = [&](size_t i) -> const ColumnState& {
      return i < states.size() ? states[i] : ColumnState::plain();
    };
    const uint64_t n = members.size();
    if (n == 0) return {};
    if (mode == 0) {
      TW_ASSIGN_OR_RETURN(std::span<const uint8_t> d, sink_.view(src_, rows));
      // A byte names one of the first 255 members; 255 itself marks NULL.
      std::vector<uint64_t> counts(static_cast<size_t>(std::min<uint64_t>(n, 255)), 0);
      for (uint8_t byte : d) {
        if (byte < counts.size()) ++counts[byte];
      }
      for (size_t i = 0; i < counts.size(); ++i) {
        TW_TRY(walk(members[i], state_of(i), counts[i], depth + 1, true));
      }
      return {};
    }
    if (mode == 1) {  // compact: one member for a run of rows
      TW_ASSIGN_OR_RETURN(uint64_t d, sink_.word(src_));
      TW_ASSIGN_OR_RETURN(uint64_t k, sink_.word(src_));
      if (k > rows) [[unlikely]] {
        return base::Error::protocol(
            base::cat("Variant compact rows ", k, " exceeds row count ", rows));
      }
      if (d >= n) return {};
      return walk(members[d], state_of(d), k, depth + 1, true);
    }
    return base::Error::protocol(base::cat("unknown Variant serialization mode ", mode));
  }

  // The discriminators of a Dynamic column, then its member bodies in type order; a type without
  // rows has no body.
  base::Status dynamic(const DynamicState& state, uint64_t rows, uint32_t depth) {
    if (depth > kMaxTypeDepth) [[unlikely]]
      return nesting_too_deep_error();
    const uint64_t n = state.types.size();
    if (state.version == 0 || n == 0) return {};
    const bool deprecated = state.version == 1;
    const unsigned width = deprecated ? 1 : n < 256 ? 1 : n < 65536 ? 2 : 4;
    TW_ASSIGN_OR_RETURN(
        uint64_t len,
        checked_column_len(rows, width, sink_.length_label("Dynamic discriminators")));
    TW_ASSIGN_OR_RETURN(std::span<const uint8_t> d, sink_.view(src_, len));
    TW_ASSIGN_OR_RETURN(std::vector<uint64_t> counts,
                        count_dynamic_rows(d.data(), rows, n, width, deprecated));
    for (size_t i = 0; i < counts.size(); ++i) {
      if (counts[i] == 0) continue;
      const ColumnState& member = i < state.states.size() ? state.states[i] : ColumnState::plain();
      TW_TRY(walk(state.types[i], member, counts[i], depth + 1, true));
    }
    return {};
  }

  // ---- prefixes ---------------------------------------------------------------------------------

  base::Result<DynamicState> dynamic_prefix(uint32_t depth) {
    if (depth > kMaxTypeDepth) [[unlikely]]
      return nesting_too_deep_error();
    DynamicState state;
    std::vector<std::string> names;
    TW_ASSIGN_OR_RETURN(state.version, sink_.word(src_));
    switch (state.version) {
      case 0:
        return state;
      case 1: {
        TW_TRY(sink_.varint(src_));  // the type limit, not used
        TW_ASSIGN_OR_RETURN(names, type_names());
        TW_TRY(sink_.word(src_));  // the variant version, not used
        break;
      }
      case 2:
      case 3: {
        TW_ASSIGN_OR_RETURN(names, type_names());
        break;
      }
      default:
        return base::Error::protocol(
            base::cat("unknown Dynamic subcolumn serialization version ", state.version));
    }
    // All names come first; then each is parsed and its type's prefix read, in name order. The
    // types and their states are held while the column is walked, so each is charged at what it
    // holds before it is kept; a name's parse holds no more than the column has left, nor more
    // than a column may hold.
    TW_TRY(sink_.hold(names.size() * (sizeof(ColumnType) + sizeof(ColumnState))));
    state.types.reserve(names.size());
    state.states.reserve(names.size());
    for (std::string& name : names) {
      const uint64_t room = std::min(sink_.room(), kColumnByteLimit);
      base::Result<ColumnType> parsed = parse_dynamic_type(name, room);
      if (!parsed.ok()) [[unlikely]] {
        // A parse the column could not pay for is refused as the column's own charge would be.
        if (const uint64_t short_by = parsed.error().decoded(); short_by != 0) {
          TW_TRY(sink_.hold(room + short_by));
        }
        return std::move(parsed).error();
      }
      ColumnType type = std::move(parsed).value();
      TW_TRY(sink_.hold(type_memory_size(type) - sizeof(ColumnType)));
      sink_.release(text_memory_size(name));
      std::string().swap(name);  // not needed any more
      TW_ASSIGN_OR_RETURN(ColumnState member, prefix(type, depth + 1, true));
      state.types.push_back(std::move(type));
      state.states.push_back(std::move(member));
    }
    return state;
  }

  // The type names of a Dynamic prefix, each charged at what it holds before it is kept.
  base::Result<std::vector<std::string>> type_names() {
    TW_ASSIGN_OR_RETURN(uint64_t count, sink_.varint(src_));
    TW_TRY(limits::checked_count(count, "dynamic subcolumn types", kMaxPrefixEntries));
    // The list grows with the names actually read: room is never taken for a count alone.
    std::vector<std::string> names;
    for (uint64_t i = 0; i < count; ++i) {
      if (names.size() == names.capacity()) {
        const size_t more = std::max<size_t>(names.capacity(), 1);
        TW_TRY(sink_.hold(more * sizeof(std::string)));
        names.reserve(names.capacity() + more);
      }
      TW_ASSIGN_OR_RETURN(std::string name, sink_.text(src_, "dynamic type length"));
      TW_TRY(sink_.hold(text_memory_size(name)));
      names.push_back(std::move(name));
    }
    return names;
  }

  base::Result<ColumnState> json_prefix(uint32_t depth, bool raw) {
    ColumnState node;
    node.kind = Kind::Json;
    if (!raw) {  // the string form only; its version word is neither kept nor charged
      TW_ASSIGN_OR_RETURN(node.version, plain_word());
      if (node.version != 1 && node.version != 4) return bad_json_version(node.version);
      return node;
    }
    TW_ASSIGN_OR_RETURN(node.version, sink_.word(src_));
    switch (node.version) {
      case 1:
      case 4:  // the string form: rows are texts, no paths
        return node;
      case 0: {
        TW_TRY(sink_.varint(src_));  // not used
        break;
      }
      case 3:
        break;
      default:
        return unknown_json_version(node.version);
    }
    TW_ASSIGN_OR_RETURN(uint64_t count, sink_.varint(src_));
    TW_TRY(limits::checked_count(count, "JSON path", kMaxPrefixEntries));
    // All path names first (not needed for the walk), then one Dynamic prefix per path.
    for (uint64_t i = 0; i < count; ++i) TW_TRY(sink_.text(src_, "JSON path length"));
    // Every path has its name behind it by now; its state is held before room is made for it.
    TW_TRY(sink_.hold(count * sizeof(DynamicState)));
    node.dynamic.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
      TW_ASSIGN_OR_RETURN(DynamicState path, dynamic_prefix(depth + 1));
      node.dynamic.push_back(std::move(path));
    }
    return node;
  }

  // ---- kinds read alike in both walks -----------------------------------------------------------

  base::Status leaf(const ColumnType& type, uint64_t rows, bool in_state) {
    if (const unsigned width = plain_width(type.kind); width > 1) {
      return fixed(rows, width, kFixedLabel);
    }
    switch (type.kind) {
      case TypeKind::UInt8:
      case TypeKind::Int8:
      case TypeKind::Bool:
      case TypeKind::Enum8:
      case TypeKind::Nothing:  // one placeholder byte per row on the wire
        return sink_.take(src_, rows);
      case TypeKind::Decimal: {
        TW_ASSIGN_OR_RETURN(uint64_t width, checked_decimal_width(type.precision));
        return fixed(rows, width, kFixedLabel);
      }
      case TypeKind::FixedString:
        return fixed(rows, type.length, "FixedString column");
      case TypeKind::String:
        return strings(rows, "string value length");
      case TypeKind::Point:
        return geo(0, rows);
      case TypeKind::Ring:
        return geo(1, rows);
      case TypeKind::Polygon:
        return geo(2, rows);
      case TypeKind::MultiPolygon:
        return geo(3, rows);
      default:
        return sink_.unsupported(type, in_state);
    }
  }

  // Point (level 0), Ring (1), Polygon (2) and MultiPolygon (3): each level above Point is an
  // array of the level below.
  base::Status geo(unsigned level, uint64_t rows) {
    if (rows == 0) return {};
    if (level == 0) {
      TW_TRY(fixed(rows, 8, kFixedLabel));  // x values
      return fixed(rows, 8, kFixedLabel);   // y values
    }
    TW_ASSIGN_OR_RETURN(uint64_t elements, offsets(rows, "array offset"));
    return geo(level - 1, elements);
  }

  base::Status fixed(uint64_t rows, uint64_t width, std::string_view label) {
    TW_ASSIGN_OR_RETURN(uint64_t n, checked_column_len(rows, width, sink_.length_label(label)));
    return sink_.take(src_, n);
  }

  // `rows` cumulative offsets, checked in turn; returns the last (0 for no rows).
  base::Result<uint64_t> offsets(uint64_t rows, std::string_view label) {
    if constexpr (Sink::kBoundsOffsets) {
      TW_TRY(checked_column_len(rows, 8, sink_.length_label(label)));
    }
    uint64_t previous = 0;
    for (uint64_t left = rows; left != 0;) {
      const uint64_t n = std::min(left, sink_.offset_run(left));
      TW_ASSIGN_OR_RETURN(std::span<const uint8_t> run, sink_.view(src_, n * 8));
      TW_ASSIGN_OR_RETURN(previous, checked_offsets(run.data(), n, previous, label));
      left -= n;
    }
    return previous;
  }

  // `rows` length-prefixed strings. Whole runs of rows that lie in the source's buffered window
  // (and in the sink's room) are checked in place and handed to the sink at once; a row that
  // crosses the window's end, or that is wrong, goes through the byte-wise path, which produces
  // the exact failure.
  base::Status strings(uint64_t rows, std::string_view label) {
    uint64_t row = 0;
    while (row < rows) {
      auto window = src_.buffered();
      const uint8_t* start = window.data();
      const uint8_t* limit = start + sink_.run_room(window.size());
      const uint8_t* p = start;
      while (row < rows) {
        uint64_t len;
        const unsigned head = peek_length(p, limit, len);
        if (head == 0 || len > kStringValueLimit) break;
        if (static_cast<uint64_t>(limit - p - head) < len) break;
        p += head + len;
        ++row;
      }
      if (const size_t n = static_cast<size_t>(p - start); n != 0) {
        TW_TRY(sink_.took_run(start, n));
        src_.consume(n);
      }
      if (row == rows) break;
      TW_ASSIGN_OR_RETURN(uint64_t len, sink_.varint(src_));
      if (len > kStringValueLimit) return string_over_limit(label, len);
      TW_TRY(sink_.take(src_, len));
      ++row;
    }
    return {};
  }

  // A word of the plain setting that no sink keeps (key versions, LowCardinality headers, JSON
  // versions).
  base::Result<uint64_t> base_word() { return read_fixed<uint64_t>(src_); }
  // A key version or JSON version word of the plain setting; a kept column does not hold it, and
  // only a value that passes stands there.
  base::Result<uint64_t> plain_word() {
    if constexpr (Sink::kKeptForm) return uint64_t{1};
    return base_word();
  }

  base::ByteSource& src_;
  Sink& sink_;
  const BlockLayout layout_;
};

// ---- a sink that keeps nothing ------------------------------------------------------------------

// Steps over every byte. Bytes the walk must look at are used in the source's window when it
// holds them, else copied into a scratch buffer.
struct DroppingSink {
  static constexpr bool kExpands = false;
  static constexpr bool kKeptForm = false;
  uint64_t offset_run(uint64_t) const { return 8192; }

  base::Status take(base::ByteSource& source, uint64_t n);
  base::Result<std::span<const uint8_t>> view(base::ByteSource& source, uint64_t n);
  base::Result<uint64_t> word(base::ByteSource& source) { return read_fixed<uint64_t>(source); }
  base::Result<uint64_t> varint(base::ByteSource& source) { return read_varint(source); }
  base::Result<std::string> text(base::ByteSource& source, std::string_view label);
  size_t run_room(size_t window) const { return window; }
  base::Status took_run(const uint8_t*, size_t) { return {}; }
  base::Status hold(uint64_t) { return {}; }
  base::Status values(uint64_t) { return {}; }
  void release(uint64_t) {}
  uint64_t room() const { return kColumnByteLimit; }
  // Length failures name what was being read.
  std::string_view length_label(std::string_view label) const { return label; }

  base::ByteBuffer scratch;
};

}  // namespace tarnwick::protocol
