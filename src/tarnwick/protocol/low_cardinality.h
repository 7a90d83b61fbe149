// LowCardinality(T) columns: a dictionary of distinct values of T plus one small unsigned index per
// row. The decoders expand ("materialize") them at once into the plain body of T, so that a decoded
// block holds exactly the bytes a plain T column of the same rows would hold.
//
// The body on the wire (all integers unsigned little-endian): key-serialization version (8 bytes,
// must be 1), index flags (8 bytes: bits 0-1 the index width code, bit 8 global dictionary, bit 9
// additional keys, bit 10 dictionary update), key count (8 bytes, at most kMaxLowCardinalityKeys),
// the dictionary, the index count (8 bytes, equal to the row count), then the indexes.
//
// The dictionary is a body of the dictionary type (lc_dictionary_type) with key-count rows: T
// itself, or for T = Nullable(U) plain U values without a null map, key 0 standing for NULL (it
// holds U's default value, as does key 1). The server puts T's default value at key 0 (key 1 for
// Nullable) and the other values in order of first appearance.
//
// The key version is the column's state prefix: a column holding LowCardinality types (in Array,
// Map, Tuple or Nullable) starts with one version word per LowCardinality, depth first, before
// anything else of its body, and each LowCardinality body then starts at its flags. At the top
// level the two meet. A nested LowCardinality of no rows has no body, except in the layout of old
// servers (BlockLayout::empty_low_cardinality_body), where it still has one (flags, keys, the
// dictionary, an index count of 0) whenever the column has rows.
//
// The column walker (column_walker.h) reads it in every form; the keeping reader expands it with
// materialize_low_cardinality_inner. encode_low_cardinality writes it from a plain body, for
// inserts.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

// The most dictionary entries one LowCardinality body may declare (the value itself is accepted):
// one per row of the largest column a block may hold (kMaxBlockRows, kOffsetTotalLimit), plus
// NULL and the default value. A block of 65536 distinct values comes with 65537 keys.
inline constexpr uint64_t kMaxLowCardinalityKeys = 10000002;

// The index of `row` among indexes of type `Index` (unsigned, little-endian).
template <class Index>
inline uint64_t index_at(const uint8_t* indexes, uint64_t row) {
  Index v;
  std::memcpy(&v, indexes + row * sizeof(Index), sizeof(Index));
  return v;
}

// The index of `row` among indexes of `width` bytes (1, 2, 4 or 8).
inline uint64_t lc_index(std::span<const uint8_t> indexes, uint64_t row, unsigned width) {
  switch (width) {
    case 1:
      return index_at<uint8_t>(indexes.data(), row);
    case 2:
      return index_at<uint16_t>(indexes.data(), row);
    case 4:
      return index_at<uint32_t>(indexes.data(), row);
    default:
      return index_at<uint64_t>(indexes.data(), row);
  }
}

// The type of the dictionary's values: `inner`, or U for `inner` = Nullable(U).
const ColumnType& lc_dictionary_type(const ColumnType& inner);

// Whether a LowCardinality sits in `type` (itself, or inside Nullable, Array, Map or Tuple).
bool has_low_cardinality(const ColumnType& type);

// Appends the plain body of `inner` for `rows` rows: row i takes dictionary entry `index(i)`, where
// the indexes are `width`-byte unsigned integers. `dictionary` is the body of `keys` values of
// lc_dictionary_type(inner) as the keeping reader leaves it; for Nullable, index 0 is NULL. What
// the expansion appends or holds is charged to `budget` before room is made for it. On failure
// `out` is left as it was.
base::Status materialize_low_cardinality_inner(std::span<const uint8_t> dictionary, uint64_t keys,
                                               const ColumnType& inner,
                                               std::span<const uint8_t> indexes, unsigned width,
                                               uint64_t rows, base::ByteBuffer& out,
                                               uint64_t& budget);

// What materialize_low_cardinality_inner holds, beside what it appends, while it makes the
// expansion: charged to its budget and given back.
uint64_t low_cardinality_expansion_held(std::span<const uint8_t> dictionary, uint64_t keys,
                                        const ColumnType& inner);

// The bytes materialize_low_cardinality_inner would append, without appending them. What working
// it out holds is charged to `budget` and given back.
base::Result<uint64_t> low_cardinality_expansion_size(std::span<const uint8_t> dictionary,
                                                      uint64_t keys, const ColumnType& inner,
                                                      std::span<const uint8_t> indexes,
                                                      unsigned width, uint64_t rows,
                                                      uint64_t& budget);

// The LowCardinality body of `rows` rows of `inner` whose plain body is `plain`, as the server
// writes it: version 1, flags (index width code | 0x600), the dictionary (T's default at key 0;
// for Nullable(U), key 0 standing for NULL and U's default at key 1; then the other values in order
// of first appearance), the index count and the indexes in the narrowest width that fits. `plain`
// must be exactly `rows` rows of a String-layout or fixed-width T, or of Nullable of either.
base::Result<base::ByteBuffer> encode_low_cardinality(const ColumnType& inner,
                                                      std::span<const uint8_t> plain,
                                                      uint64_t rows);

}  // namespace tarnwick::protocol
