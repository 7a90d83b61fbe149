#include "binding/write_plan.h"

#include <algorithm>

#include "tarnwick/column/type_text.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::binding::conversion {

namespace {

bool strip(std::string_view& t, std::string_view head, size_t min_len) {
  if (t.size() >= min_len && t.starts_with(head) && t.ends_with(")")) {
    t = t.substr(head.size(), t.size() - head.size() - 1);
    return true;
  }
  return false;
}

Plan fixed(Op op, uint64_t width, const char* label) {
  return Plan{op, false, width, label};
}

// An Enum is written as its code, which must be one of its members'. A member list it cannot
// read leaves the type unsupported, with the reader's reason.
Plan enum_plan(std::string_view t) {
  base::Result<std::vector<column::EnumMember>> members = column::read_enum_members(t);
  if (!members) return Plan{.refused = std::move(members).error()};
  if (!t.ends_with(")")) return Plan{};
  Plan plan =
      t.starts_with("Enum8(") ? fixed(Op::I8, 1, "expected i8") : fixed(Op::I16, 2, "expected i16");
  plan.type = t;
  for (const column::EnumMember& member : *members) plan.codes.push_back(member.code);
  return plan;
}

Plan resolve_inner(std::string_view t) {
  struct Exact {
    std::string_view name;
    Op op;
    uint64_t width;
    const char* label;
  };
  static constexpr Exact kExact[] = {
      {"Int8", Op::I8, 1, "expected i8"},
      {"UInt8", Op::U8, 1, "expected u8"},
      {"Int16", Op::I16, 2, "expected i16"},
      {"UInt16", Op::U16, 2, "expected u16"},
      {"Date", Op::U16, 2, "expected u16"},
      {"Int32", Op::I32, 4, "expected i32"},
      {"Date32", Op::I32, 4, "expected i32"},
      {"UInt32", Op::U32, 4, "expected u32"},
      {"IPv4", Op::U32, 4, "expected u32"},
      {"DateTime", Op::U32, 4, "expected u32"},
      {"Int64", Op::I64, 8, "expected i64"},
      {"UInt64", Op::U64, 8, "expected u64"},
      {"Float32", Op::F32, 4, "expected f32"},
      {"Float64", Op::F64, 8, "expected f64"},
      {"Bool", Op::Bool, 1, "expected bool"},
      {"String", Op::String, 0, "expected string"},
      {"UUID", Op::Uuid, 16, "expected string for UUID"},
      {"Int128", Op::I128, 16, "expected i128"},
      {"UInt128", Op::U128, 16, "expected u128"},
      {"Int256", Op::I256, 32, "expected i256"},
      {"UInt256", Op::U256, 32, "expected u256"},
      {"IPv6", Op::Ipv6, 16, "expected string for IPv6"},
  };
  for (const Exact& e : kExact) {
    if (t == e.name) return fixed(e.op, e.width, e.label);
  }
  if (t.size() >= 10 && t.starts_with("DateTime64")) {
    return fixed(Op::DateTime64, 8, "expected i64 for DateTime64");
  }
  if (t.starts_with("DateTime(") && t.ends_with(")")) return fixed(Op::U32, 4, "expected u32");
  if (t.starts_with("Enum8(") || t.starts_with("Enum16(")) return enum_plan(t);
  base::Result<protocol::ColumnType> parsed = protocol::parse_type(t);
  if (!parsed) return Plan{};
  const protocol::ColumnType& type = *parsed;
  if (t.size() >= 12 && t.starts_with("FixedString(")) {
    // The server refuses FixedString sizes above 0xFFFFFF; so does the writer.
    if (type.kind != protocol::TypeKind::FixedString || type.length > 0xFFFFFF) return Plan{};
    return fixed(Op::FixedString, type.length, "expected string");
  }
  if (type.kind == protocol::TypeKind::Decimal && t.starts_with("Decimal")) {
    static constexpr Op kDecimal[] = {Op::Dec32, Op::Dec64, Op::Dec128, Op::Dec256};
    const std::optional<size_t> w = type.fixed_width();
    if (!w) return Plan{};
    const int index = *w == 4 ? 0 : *w == 8 ? 1 : *w == 16 ? 2 : 3;
    return fixed(kDecimal[index], *w, "expected int for Decimal");
  }
  if (type.kind == protocol::TypeKind::String || type.kind == protocol::TypeKind::JSON) {
    return fixed(Op::StrFallback, 0, "cannot convert value");
  }
  return Plan{};
}

}  // namespace

Plan write_plan(std::string_view t) {
  while (strip(t, "LowCardinality(", 16)) {
  }
  bool nullable = strip(t, "Nullable(", 10);
  if (nullable) {
    while (strip(t, "LowCardinality(", 16)) {
    }
  }
  Plan plan = resolve_inner(t);
  plan.nullable = nullable;
  return plan;
}

}  // namespace tarnwick::binding::conversion
