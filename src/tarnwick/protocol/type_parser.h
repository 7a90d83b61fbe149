// The column type grammar: turns the type text the server sends for each column (for example
// "Array(Nullable(String))") into a ColumnType tree, prints it back in canonical form, and gives
// the per-row width of fixed-width kinds.
//
// The parser is shallow on purpose. It keeps only what the decoders need (widths, precisions,
// scales, nested types), drops time zones, enum members and aggregate-function signatures, and
// turns every text it does not recognise into the catch-all kind Other, which carries the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/result.h"

namespace tarnwick::protocol {

enum class TypeKind : uint8_t {
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  UInt128,
  UInt256,
  Int8,
  Int16,
  Int32,
  Int64,
  Int128,
  Int256,
  Float32,
  Float64,
  Bool,
  String,
  FixedString,
  Date,
  Date32,
  DateTime,
  DateTime64,
  Decimal,
  UUID,
  IPv4,
  IPv6,
  Enum8,
  Enum16,
  Nullable,
  Array,
  Map,
  Tuple,
  LowCardinality,
  AggregateFunction,
  SimpleAggregateFunction,
  Nothing,
  Time,
  Time64,
  JSON,
  Variant,
  Dynamic,
  Point,
  Ring,
  Polygon,
  MultiPolygon,
  Other,
};

inline constexpr size_t kTypeKindCount = 45;

// The deepest nesting of type constructors the parser accepts.
inline constexpr uint32_t kMaxTypeDepth = 256;

// The name of a kind, as printed by the Debug form ("UInt8", "Nullable", "Other", ...).
std::string_view type_kind_name(TypeKind kind);

// Bytes per row of the kinds whose width the kind alone fixes (numbers, dates, UUID, IP
// addresses, Bool and Enum: 1 to 32), else 0. Nothing, FixedString, Decimal and Point are not
// among them.
constexpr unsigned plain_width(TypeKind kind) {
  switch (kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Bool:
    case TypeKind::Enum8:
      return 1;
    case TypeKind::UInt16:
    case TypeKind::Int16:
    case TypeKind::Date:
    case TypeKind::Enum16:
      return 2;
    case TypeKind::UInt32:
    case TypeKind::Int32:
    case TypeKind::Float32:
    case TypeKind::Date32:
    case TypeKind::DateTime:
    case TypeKind::IPv4:
    case TypeKind::Time:
      return 4;
    case TypeKind::UInt64:
    case TypeKind::Int64:
    case TypeKind::Float64:
    case TypeKind::DateTime64:
    case TypeKind::Time64:
      return 8;
    case TypeKind::UInt128:
    case TypeKind::Int128:
    case TypeKind::UUID:
    case TypeKind::IPv6:
      return 16;
    case TypeKind::UInt256:
    case TypeKind::Int256:
      return 32;
    default:
      return 0;
  }
}

// Bytes per value of a Decimal of `precision` digits (1 to 76), else 0.
constexpr unsigned decimal_width(uint32_t precision) {
  if (precision == 0 || precision > 76) return 0;
  if (precision <= 9) return 4;
  if (precision <= 18) return 8;
  if (precision <= 38) return 16;
  return 32;
}

// One parsed column type: a plain value tree that owns its nested types.
struct ColumnType {
  TypeKind kind = TypeKind::Other;
  uint32_t precision = 0;  // DateTime64, Time64, Decimal
  uint32_t scale = 0;      // Decimal
  uint64_t length = 0;     // FixedString(N)
  // Nullable/Array/LowCardinality: {inner}; Map: {key, value}; Tuple/Variant: the elements.
  std::vector<ColumnType> nested;
  std::string text;  // Other: the whole trimmed type text

  // The nested type of Nullable, Array and LowCardinality.
  const ColumnType& inner() const;
  // The key and value types of Map.
  const ColumnType& key() const;
  const ColumnType& value() const;

  // Bytes per row in a column body, or nothing for variable-width and composite kinds.
  std::optional<size_t> fixed_width() const;

  // Display: the canonical type text ("Decimal(9, 2)", "Tuple(UInt8, String)").
  std::string to_string() const;
  // Debug: the variant-name form used in refusal messages ("Tuple([UInt8, String])",
  // "Other(\"Nested(a UInt8)\")").
  std::string debug_string() const;

  bool operator==(const ColumnType&) const = default;

  static ColumnType of(TypeKind kind);
  static ColumnType fixed_string(uint64_t length);
  static ColumnType date_time64(uint32_t precision);
  static ColumnType time64(uint32_t precision);
  static ColumnType decimal(uint32_t precision, uint32_t scale);
  static ColumnType nullable(ColumnType inner);
  static ColumnType array(ColumnType inner);
  static ColumnType low_cardinality(ColumnType inner);
  static ColumnType map(ColumnType key, ColumnType value);
  static ColumnType tuple(std::vector<ColumnType> elements);
  static ColumnType variant(std::vector<ColumnType> elements);
  static ColumnType other(std::string text);
};

// The bytes a parse may hold when its caller sets no budget: the text is trusted or was bounded
// before it got here.
inline constexpr uint64_t kUnboundedTypeBudget = UINT64_MAX;

// Parses a type text, in time linear in its length whatever its nesting. Failures are
// Error::protocol with a bare message ("empty type name"); callers wrap them as
// "bad type '<text>': <message>". Everything the parse allocates (the nested nodes with their
// vectors' capacity, the texts of unknown types, its index of the text's commas) is charged to
// `budget` bytes before it is taken; a charge that does not fit fails the parse with
// "type name needs {bytes} bytes to hold, more than the limit of {budget}", whose decoded() is
// what the budget lacked. A parsed type then holds type_memory_size(type) - sizeof(ColumnType)
// bytes beyond its own node, within the budget.
base::Result<ColumnType> parse_type(std::string_view text, uint64_t budget = kUnboundedTypeBudget);

// The recursive parser; depth counts the enclosing type constructors. Callers outside the parser
// pass 0 (or use parse_type).
base::Result<ColumnType> parse_type_rec(std::string_view text, uint32_t depth,
                                        uint64_t budget = kUnboundedTypeBudget);

// The memory a parsed type holds: its node, its nested nodes (with their vectors' spare capacity)
// and the texts that do not fit in place.
uint64_t type_memory_size(const ColumnType& type);

// The byte index of the first comma outside all parentheses, or nothing. Quotes are not special.
std::optional<size_t> find_top_level_comma(std::string_view text);

// Trims characters with the Unicode White_Space property from both ends of UTF-8 text.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace tarnwick::protocol
