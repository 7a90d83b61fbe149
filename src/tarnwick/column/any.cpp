#include "tarnwick/column/any.h"

#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/column/owned.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/column_state.h"

namespace tarnwick::column {

using base::cat;
using base::Error;
using base::Result;
using protocol::ColumnState;
using protocol::ColumnType;
using protocol::TypeKind;

AnyColumnData AnyColumnData::nested(ColumnKind kind, AnyColumnData inner) {
  NestedColumnData payload{std::make_unique<AnyColumnData>(std::move(inner))};
  if (kind == ColumnKind::Nullable) return make<ColumnKind::Nullable>(std::move(payload));
  return make<ColumnKind::Array>(std::move(payload));
}

const AnyColumnData& AnyColumnData::inner() const {
  if (kind() == ColumnKind::Nullable) return *get<ColumnKind::Nullable>().inner;
  return *get<ColumnKind::Array>().inner;
}

const AnyColumnData& AnyColumnData::innermost() const {
  const AnyColumnData* view = this;
  while (view->kind() == ColumnKind::Nullable || view->kind() == ColumnKind::Array) {
    view = &view->inner();
  }
  return *view;
}

uint64_t AnyColumnData::len() const {
  const AnyColumnData& view = innermost();
  return std::visit(
      [](const auto& payload) -> uint64_t {
        using P = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<P, EmptyColumnData> || std::is_same_v<P, NestedColumnData>) {
          return 0;
        } else if constexpr (std::is_same_v<P, MapColumnData>) {
          return payload.offsets.size();
        } else if constexpr (std::is_same_v<P, TupleColumnData>) {
          return payload.rows;
        } else {
          return payload.len();
        }
      },
      view.storage());
}

namespace {

template <ColumnKind K>
Result<AnyColumnData> read_view(ReadColumnContext& ctx) {
  using View = AnyColumnData::Payload<K>;
  TW_ASSIGN_OR_RETURN(View view, View::read_column(ctx));
  return AnyColumnData::make<K>(std::move(view));
}

// UInt8, Int8 and Bool: one byte per row.
template <ColumnKind K>
Result<AnyColumnData> read_bytes_view(ReadColumnContext& ctx) {
  TW_ASSIGN_OR_RETURN(auto bytes, ctx.read_exact(ctx.rows()));
  using View = AnyColumnData::Payload<K>;
  if constexpr (K == ColumnKind::Bool) {
    return AnyColumnData::make<K>(View{bytes.data(), ctx.rows()});
  } else {
    return AnyColumnData::make<K>(View{bytes.data(), bytes.size(), ctx.rows()});
  }
}

// Whether every value of `type` takes at least one byte of the body. Only then does an element
// count above the remaining bytes prove the body short.
bool takes_bytes_per_value(const ColumnType& type) {
  switch (type.kind) {
    case TypeKind::LowCardinality:
      return takes_bytes_per_value(type.inner());
    case TypeKind::FixedString:
      return type.length > 0;
    case TypeKind::Tuple:
      for (const ColumnType& element : type.nested) {
        if (takes_bytes_per_value(element)) return true;
      }
      return false;
    case TypeKind::Variant:
    case TypeKind::Dynamic:
    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
    case TypeKind::Other:
      return false;
    default:
      return true;
  }
}

[[gnu::cold]] Error element_count_error(const char* label, uint64_t count, uint64_t remaining,
                                        bool per_value_bytes) {
  if (per_value_bytes) {
    return Error::protocol(
        cat(label, " total ", count, " exceeds the ", remaining, " bytes left in the column"));
  }
  return Error::protocol(
      cat(label, " total ", count, " exceeds limit ", protocol::kOffsetTotalLimit));
}

// Reads `rows` offsets and returns the last: the element count of the nested columns. The count
// is bounded before anything is sized by it: by the bytes left when each element takes at least
// one, else by the offset total limit.
Result<uint64_t> read_element_count(ReadColumnContext& ctx, bool per_value_bytes, const char* label,
                                    std::vector<uint64_t>* keep) {
  uint64_t count;
  if (keep != nullptr) {
    TW_ASSIGN_OR_RETURN(*keep, ctx.read_offsets());
    count = keep->back();
  } else {
    TW_ASSIGN_OR_RETURN(auto bytes, ctx.read_rows_bytes(8));
    std::memcpy(&count, bytes.data() + bytes.size() - 8, 8);
  }
  const uint64_t limit = per_value_bytes ? ctx.remaining() : protocol::kOffsetTotalLimit;
  if (count > limit) [[unlikely]] {
    return element_count_error(label, count, ctx.remaining(), per_value_bytes);
  }
  return count;
}

// Runs `read` with the cursor's row count set to `rows`, restoring it afterwards.
template <class F>
auto with_rows(ReadColumnContext& ctx, uint64_t rows, F&& read) {
  const uint64_t saved = ctx.rows();
  ctx.set_rows(rows);
  auto result = read(ctx);
  ctx.set_rows(saved);
  return result;
}

template <class ReadElement>
Result<AnyColumnData> read_array(ReadColumnContext& ctx, bool per_value_bytes,
                                 ReadElement&& read_element) {
  if (ctx.rows() == 0) {
    // No offsets and no elements. The element view is still made, over no bytes, so that the view
    // ends in the innermost element's kind: an Array of Arrays that are all empty then takes that
    // kind's form, as an Array of scalars does.
    ReadColumnContext none({}, 0);
    Result<AnyColumnData> inner = read_element(none);
    return AnyColumnData::nested(ColumnKind::Array,
                                 inner.ok() ? std::move(inner).value() : AnyColumnData());
  }
  TW_ASSIGN_OR_RETURN(uint64_t count,
                      read_element_count(ctx, per_value_bytes, "array offset", nullptr));
  TW_ASSIGN_OR_RETURN(AnyColumnData inner, with_rows(ctx, count, read_element));
  return AnyColumnData::nested(ColumnKind::Array, std::move(inner));
}

Result<AnyColumnData> read_by_type(const ColumnType& type, ReadColumnContext& ctx,
                                   const ColumnState& state);

Result<AnyColumnData> read_map(const ColumnType& type, ReadColumnContext& ctx,
                               const ColumnState& state) {
  MapColumnData map;
  if (ctx.rows() == 0) return AnyColumnData::make<ColumnKind::Map>(std::move(map));
  const bool per_value_bytes =
      takes_bytes_per_value(type.key()) || takes_bytes_per_value(type.value());
  TW_ASSIGN_OR_RETURN(uint64_t count,
                      read_element_count(ctx, per_value_bytes, "map offset", &map.offsets));
  const auto start = peek_rest(ctx);
  const uint64_t p0 = ctx.pos();
  const ColumnState& keys = state.child_or_plain(ColumnState::Kind::Map, 0);
  const ColumnState& values = state.child_or_plain(ColumnState::Kind::Map, 1);
  TW_TRY(with_rows(ctx, count,
                   [&](ReadColumnContext& c) { return read_by_type(type.key(), c, keys); }));
  const uint64_t p1 = ctx.pos();
  TW_TRY(with_rows(ctx, count,
                   [&](ReadColumnContext& c) { return read_by_type(type.value(), c, values); }));
  const uint64_t p2 = ctx.pos();
  map.keys = start.first(p1 - p0);
  map.values = start.subspan(p1 - p0, p2 - p1);
  return AnyColumnData::make<ColumnKind::Map>(std::move(map));
}

Result<AnyColumnData> read_tuple(std::span<const ColumnType> elements, ReadColumnContext& ctx,
                                 const ColumnState& state) {
  TupleColumnData tuple;
  tuple.rows = ctx.rows();
  tuple.elements.reserve(elements.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    const auto start = peek_rest(ctx);
    const uint64_t p = ctx.pos();
    TW_TRY(read_by_type(elements[i], ctx, state.child_or_plain(ColumnState::Kind::Tuple, i)));
    tuple.elements.push_back(start.first(ctx.pos() - p));
  }
  return AnyColumnData::make<ColumnKind::Tuple>(std::move(tuple));
}

// Point is Tuple(Float64, Float64); Ring, Polygon and MultiPolygon are arrays of the kind below.
Result<AnyColumnData> read_geo(TypeKind kind, ReadColumnContext& ctx) {
  switch (kind) {
    case TypeKind::Point: {
      TupleColumnData tuple;
      tuple.rows = ctx.rows();
      for (int i = 0; i < 2; ++i) {
        TW_ASSIGN_OR_RETURN(auto bytes, detail::read_fixed_width(ctx, 8, "column size overflow"));
        tuple.elements.emplace_back(bytes.data, bytes.byte_len);
      }
      return AnyColumnData::make<ColumnKind::Tuple>(std::move(tuple));
    }
    case TypeKind::Ring:
      return read_array(ctx, true,
                        [](ReadColumnContext& c) { return read_geo(TypeKind::Point, c); });
    case TypeKind::Polygon:
      return read_array(ctx, true,
                        [](ReadColumnContext& c) { return read_geo(TypeKind::Ring, c); });
    default:
      return read_array(ctx, true,
                        [](ReadColumnContext& c) { return read_geo(TypeKind::Polygon, c); });
  }
}

// Copies everything from the cursor to the end of the body.
RawColumnData read_raw(ReadColumnContext& ctx) {
  auto rest = peek_rest(ctx);
  (void)ctx.read_exact(rest.size());
  return RawColumnData{std::vector<uint8_t>(rest.begin(), rest.end()), ctx.rows()};
}

// The body of `type` after its column's prefix, whose tree gives `state`.
Result<AnyColumnData> read_by_type(const ColumnType& type, ReadColumnContext& ctx,
                                   const ColumnState& state) {
  using K = ColumnKind;
  using S = ColumnState::Kind;
  switch (type.kind) {
    case TypeKind::LowCardinality:  // kept expanded
      return read_by_type(type.inner(), ctx, ColumnState::plain());
    case TypeKind::UInt8:
      return read_bytes_view<K::UInt8>(ctx);
    case TypeKind::Int8:
    case TypeKind::Enum8:
      return read_bytes_view<K::Int8>(ctx);
    case TypeKind::Bool:
      return read_bytes_view<K::Bool>(ctx);
    case TypeKind::UInt16:
      return read_view<K::UInt16>(ctx);
    case TypeKind::UInt32:
      return read_view<K::UInt32>(ctx);
    case TypeKind::UInt64:
      return read_view<K::UInt64>(ctx);
    case TypeKind::UInt128:
      return read_view<K::UInt128>(ctx);
    case TypeKind::UInt256:
      return read_view<K::UInt256>(ctx);
    case TypeKind::Int16:
    case TypeKind::Enum16:
      return read_view<K::Int16>(ctx);
    case TypeKind::Int32:
    case TypeKind::Date32:
    case TypeKind::Time:  // signed seconds
      return read_view<K::Int32>(ctx);
    case TypeKind::Int64:
      return read_view<K::Int64>(ctx);
    case TypeKind::Int128:
      return read_view<K::Int128>(ctx);
    case TypeKind::Int256:
      return read_view<K::Int256>(ctx);
    case TypeKind::Float32:
      return read_view<K::Float32>(ctx);
    case TypeKind::Float64:
      return read_view<K::Float64>(ctx);
    case TypeKind::Date:
      return read_view<K::Date>(ctx);
    case TypeKind::DateTime:
      return read_view<K::DateTime>(ctx);
    case TypeKind::DateTime64:
    case TypeKind::Time64:
      return read_view<K::DateTime64>(ctx);
    case TypeKind::Decimal:
      if (type.precision <= 9) return read_view<K::Decimal32>(ctx);
      if (type.precision <= 18) return read_view<K::Decimal64>(ctx);
      if (type.precision <= 38) return read_view<K::Decimal128>(ctx);
      return read_view<K::Decimal256>(ctx);
    case TypeKind::UUID:
      return read_view<K::Uuid>(ctx);
    case TypeKind::IPv4:
      return read_view<K::Ipv4>(ctx);
    case TypeKind::IPv6:
      return read_view<K::Ipv6>(ctx);
    case TypeKind::String:
      return read_view<K::String>(ctx);
    case TypeKind::JSON:
      return read_view<K::Json>(ctx);
    case TypeKind::Variant: {
      TW_ASSIGN_OR_RETURN(VariantColumnData view, VariantColumnData::read_body(ctx, state.version));
      return AnyColumnData::make<K::Variant>(std::move(view));
    }
    case TypeKind::FixedString: {
      TW_ASSIGN_OR_RETURN(auto bytes, ctx.read_rows_bytes(type.length));
      return AnyColumnData::make<K::FixedString>(
          FixedStringColumnData{bytes.data(), bytes.size(), type.length, ctx.rows()});
    }
    case TypeKind::Dynamic:
      return AnyColumnData::make<K::Dynamic>(read_raw(ctx));
    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
      return AnyColumnData::make<K::AggregateFunction>(read_raw(ctx));
    case TypeKind::Nullable: {
      TW_TRY(ctx.read_exact(ctx.rows()));  // the null map, not kept
      TW_ASSIGN_OR_RETURN(AnyColumnData inner,
                          read_by_type(type.inner(), ctx, state.child_or_plain(S::Nullable, 0)));
      return AnyColumnData::nested(K::Nullable, std::move(inner));
    }
    case TypeKind::Array: {
      const ColumnType& element = type.inner();
      const ColumnState& inner = state.child_or_plain(S::Array, 0);
      return read_array(ctx, takes_bytes_per_value(element),
                        [&](ReadColumnContext& c) { return read_by_type(element, c, inner); });
    }
    case TypeKind::Map:
      return read_map(type, ctx, state);
    case TypeKind::Tuple:
      return read_tuple(type.nested, ctx, state);
    case TypeKind::Point:
    case TypeKind::Ring:
    case TypeKind::Polygon:
    case TypeKind::MultiPolygon:
      return read_geo(type.kind, ctx);
    case TypeKind::Nothing:
      TW_TRY(ctx.read_exact(ctx.rows()));  // one placeholder byte per row
      return AnyColumnData();
    case TypeKind::Other:
      (void)ctx.read_exact(ctx.remaining());
      return AnyColumnData();
  }
  return AnyColumnData();
}

}  // namespace

Result<AnyColumnData> read_column_by_type(const ColumnType& type, ReadColumnContext& ctx) {
  // A Dynamic column's view is its whole kept body, prefix included.
  if (ctx.rows() == 0 || type.kind == TypeKind::Dynamic || !protocol::keeps_state_prefix(type)) {
    return read_by_type(type, ctx, ColumnState::plain());
  }
  Result<protocol::KeptPrefix> prefix = protocol::read_kept_prefix(peek_rest(ctx), type);
  if (!prefix.ok()) {
    // The Variant view reports no error: a prefix it cannot walk leaves its data empty.
    if (type.kind == TypeKind::Variant) {
      return AnyColumnData::make<ColumnKind::Variant>(VariantColumnData{{}, ctx.rows()});
    }
    // The bytes are all in memory: running out of them is a malformed column, not I/O.
    if (protocol::is_incomplete(prefix.error())) {
      return base::Error::protocol(base::cat("ReadColumnContext: the state prefix runs past the ",
                                             peek_rest(ctx).size(), " bytes of the column"));
    }
    return std::move(prefix).error();
  }
  TW_TRY(ctx.read_exact(prefix->length));
  return read_by_type(type, ctx, prefix->state);
}

}  // namespace tarnwick::column
