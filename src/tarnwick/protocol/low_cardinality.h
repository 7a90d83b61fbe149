// LowCardinality(T) columns: a dictionary of distinct values of T plus one small unsigned index per
// row. The decoders expand ("materialize") them at once into the plain body of T, so that a decoded
// block holds exactly the bytes a plain T column of the same rows would hold.
//
// The body on the wire (all integers unsigned little-endian): key-serialization version (8 bytes,
// must be 1), index flags (8 bytes: bits 0-1 the index width code, bit 8 global dictionary, bit 9
// additional keys), key count (8 bytes, at most kMaxLowCardinalityKeys), the dictionary (a body of
// T with key-count rows), the index count (8 bytes, equal to the row count), then the indexes.
//
// Three forms read it: keep from a byte source (read_low_cardinality_into, declared in
// column_reader.h), discard from a byte source (discard_low_cardinality, block_discarder.h), and
// expand from bytes in memory (read_low_cardinality_from_buffer, below).
#pragma once

#include <cstdint>
#include <span>

#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

// The most dictionary entries one LowCardinality body may declare (the value itself is accepted).
inline constexpr uint64_t kMaxLowCardinalityKeys = 65536;

// Expands the LowCardinality body of `rows` rows of `inner` that starts at `buf[pos]` and returns
// the plain body of `inner` as a buffer of its own; `pos` moves past the body on success and stays
// where it was on failure. Zero rows return an empty buffer without reading anything. Every
// failure, a body cut short by the end of `buf` included, is a protocol error.
base::Result<base::ByteBuffer> read_low_cardinality_from_buffer(std::span<const uint8_t> buf,
                                                                uint64_t& pos,
                                                                const ColumnType& inner,
                                                                uint64_t rows);

// The index width in bytes (1, 2, 4 or 8) given by the header's version and flags, checked in this
// order: version 1, no global dictionary, additional keys present.
base::Result<unsigned> lc_idx_width(uint64_t version, uint64_t flags);

// Appends the plain body of `inner` for `rows` rows: row i takes dictionary entry `index(i)`, where
// the indexes are `width`-byte unsigned integers. `dictionary` is the body of `keys` values of
// `inner` as the keeping reader leaves it. On failure `out` is left as it was.
base::Status materialize_low_cardinality_inner(std::span<const uint8_t> dictionary, uint64_t keys,
                                               const ColumnType& inner,
                                               std::span<const uint8_t> indexes, unsigned width,
                                               uint64_t rows, base::ByteBuffer& out);

}  // namespace tarnwick::protocol
