// The write plans of dicts_to_block: what a column's type text makes of each Python value. A type
// without a writer gets the Unsupported plan, and is refused rather than filled with text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"

namespace tarnwick::binding::conversion {

enum class Op : uint8_t {
  I8,
  U8,
  I16,
  U16,
  I32,
  U32,
  I64,
  U64,  // plain integers (also Date, DateTime, IPv4, Enum)
  I128,
  U128,
  I256,
  U256,  // wide integers from Python int
  Dec32,
  Dec64,
  Dec128,
  Dec256,  // Decimal: the unscaled value as a Python int
  F32,
  F64,
  Bool,
  String,
  Uuid,
  DateTime64,
  FixedString,
  Ipv6,
  StrFallback,  // str() of any value in the String layout: String-layout types only
  Unsupported,
};

struct Plan {
  Op op = Op::Unsupported;
  bool nullable = false;
  uint64_t width = 0;      // bytes per value for fixed-width ops; N for FixedString(N)
  const char* label = "";  // the refusal message head, "expected i8" ...
  // Enum8 and Enum16 (I8 and I16 with members): the member codes, sorted, the Enum's type text and
  // the column's name, for the refusal of any other code.
  std::vector<int64_t> codes = {};
  std::string_view type = {};
  std::string_view column = {};
  std::optional<base::Error> refused = {};  // why an Enum member list was refused
};

// The write plan of a column's type text: LowCardinality wrappers removed (the plain values are
// written first and dictionary-encoded afterwards), then one Nullable wrapper (a null map goes
// first), then the value type.
Plan write_plan(std::string_view type_text);

}  // namespace tarnwick::binding::conversion
