// One decoded column of any type: a tagged view chosen by the column's parsed type. Composite
// types (Nullable, Array, Map, Tuple, the geometric kinds) and the kinds without a typed view
// (Dynamic, aggregate functions, Nothing, unknown types) fold into a few further shapes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/column/plain.h"
#include "tarnwick/column/string.h"
#include "tarnwick/protocol/block.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::column {

class AnyColumnData;
class OwnedColumnData;

// Nullable and Array: the view of the nested column. Neither keeps its null map or offsets, so a
// Nullable view holds the nested values of every row (null rows included) and an Array view the
// elements of all rows back to back.
struct NestedColumnData {
  std::unique_ptr<AnyColumnData> inner;
};

struct MapColumnData {
  std::vector<uint64_t> offsets;    // cumulative end offsets into keys and values, one per row
  std::span<const uint8_t> keys;    // the key column's body
  std::span<const uint8_t> values;  // the value column's body
};

struct TupleColumnData {
  std::vector<std::span<const uint8_t>> elements;  // one body per element type, in order
  uint64_t rows = 0;
};

struct EmptyColumnData {};

// The variants, in the order of AnyColumnData's alternatives.
enum class ColumnKind : uint8_t {
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  UInt128,
  Int8,
  Int16,
  Int32,
  Int64,
  Int128,
  Float32,
  Float64,
  String,
  FixedString,
  DateTime64,
  Decimal32,
  Decimal64,
  Decimal128,
  Decimal256,
  UInt256,
  Int256,
  Bool,
  Date,
  DateTime,
  Uuid,
  Ipv4,
  Ipv6,
  Json,
  Variant,
  Dynamic,
  AggregateFunction,
  Nullable,
  Array,
  Map,
  Tuple,
  Empty,
};

class AnyColumnData {
 public:
  using Storage = std::variant<
      PlainColumnData<uint8_t>, PlainColumnData<uint16_t>, PlainColumnData<uint32_t>,
      PlainColumnData<uint64_t>, PlainColumnData<UInt128>, PlainColumnData<int8_t>,
      PlainColumnData<int16_t>, PlainColumnData<int32_t>, PlainColumnData<int64_t>,
      PlainColumnData<Int128>, PlainColumnData<float>, PlainColumnData<double>, StringColumnData,
      FixedStringColumnData, PlainColumnData<DateTime64Value>, PlainColumnData<Decimal32>,
      PlainColumnData<Decimal64>, PlainColumnData<Decimal128>, PlainColumnData<Decimal256>,
      PlainColumnData<UInt256>, PlainColumnData<Int256>, BoolColumnData, PlainColumnData<Date>,
      PlainColumnData<DateTime>, PlainColumnData<Uuid>, PlainColumnData<Ipv4>, Ipv6ColumnData,
      JsonColumnData, VariantColumnData, RawColumnData, RawColumnData, NestedColumnData,
      NestedColumnData, MapColumnData, TupleColumnData, EmptyColumnData>;

  template <ColumnKind K>
  using Payload = std::variant_alternative_t<static_cast<size_t>(K), Storage>;

  AnyColumnData() : storage_(std::in_place_index<static_cast<size_t>(ColumnKind::Empty)>) {}

  template <ColumnKind K>
  static AnyColumnData make(Payload<K> payload) {
    return AnyColumnData(std::in_place_index<static_cast<size_t>(K)>, std::move(payload));
  }
  static AnyColumnData nested(ColumnKind kind, AnyColumnData inner);  // Nullable or Array

  ColumnKind kind() const { return static_cast<ColumnKind>(storage_.index()); }

  template <ColumnKind K>
  const Payload<K>& get() const {
    return std::get<static_cast<size_t>(K)>(storage_);
  }
  // The view inside a Nullable or Array view.
  const AnyColumnData& inner() const;
  // Follows Nullable and Array views down to the first other view.
  const AnyColumnData& innermost() const;

  const Storage& storage() const { return storage_; }

  // The number of values: the rows of the innermost view (under Array, the elements of all rows
  // together); 0 for Empty.
  uint64_t len() const;

  // An owned copy in one of the seven value forms; never fails.
  OwnedColumnData into_owned() const;

 private:
  template <size_t I, class P>
  AnyColumnData(std::in_place_index_t<I> tag, P&& payload)
      : storage_(tag, std::forward<P>(payload)) {}

  Storage storage_;
};

// Reads a kept column of type `type` from `ctx` (its state prefix, then its body), recursing into
// nested types over the same cursor. Advances the cursor past what it consumed; ctx.rows() is
// unchanged afterwards.
base::Result<AnyColumnData> read_column_by_type(const protocol::ColumnType& type,
                                                ReadColumnContext& ctx);

}  // namespace tarnwick::column
