#include "tarnwick/protocol/type_parser.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/type_commas.h"

namespace tarnwick::protocol {

using base::Error;
using base::Result;
using base::Status;

namespace {

constexpr std::string_view kEmptyName = "empty type name";

// Messages may quote the type text, which can be megabytes long: they are cut to an excerpt.
[[gnu::cold, gnu::noinline]] Error fail(const std::string& message) {
  return Error::protocol(base::excerpt(message));
}

// Byte length of the White_Space character that starts `s`, or 0. Every such character outside
// ASCII is two or three bytes of UTF-8, so matching byte patterns is exact.
size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (s.size() < 2) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  if (s.size() < 3) return 0;
  const auto b2 = static_cast<unsigned char>(s[2]);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      }
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:                                    // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the White_Space character that ends `s`, or 0. A lead byte is never a
// continuation byte, so a match on the last two or three bytes is a whole character.
size_t trailing_space(std::string_view s) {
  const size_t n = s.size();
  if (n >= 1 && leading_space(s.substr(n - 1)) == 1) return 1;
  if (n >= 2 && leading_space(s.substr(n - 2)) == 2) return 2;
  if (n >= 3 && leading_space(s.substr(n - 3)) == 3) return 3;
  return 0;
}

constexpr const char* kNumEmpty = "cannot parse integer from empty string";
constexpr const char* kNumInvalid = "invalid digit found in string";
constexpr const char* kNumTooLarge = "number too large to fit in target type";

// Parses an unsigned decimal number: ASCII digits with one optional leading '+'. Returns nullptr
// on success, else the reason. Digits are taken left to right and the first fault met decides
// the reason, so "99999999999x" is too large for 32 bits while "9x" is an invalid digit.
template <class T>
const char* parse_unsigned(std::string_view s, T& out) {
  if (s.empty()) return kNumEmpty;
  if (s.size() == 1 && (s[0] == '+' || s[0] == '-')) return kNumInvalid;
  if (s[0] == '+') s.remove_prefix(1);
  constexpr T kMax = std::numeric_limits<T>::max();
  T value = 0;
  for (char c : s) {
    const bool mul_overflows = value > kMax / 10;
    if (c < '0' || c > '9') return kNumInvalid;
    if (mul_overflows) return kNumTooLarge;
    const T digit = static_cast<T>(c - '0');
    value = static_cast<T>(value * 10);
    if (value > kMax - digit) return kNumTooLarge;
    value = static_cast<T>(value + digit);
  }
  out = value;
  return nullptr;
}

// A number argument of a type: on failure, "<label>: <reason>".
template <class T>
Result<T> number_arg(std::string_view text, std::string_view label) {
  T value = 0;
  if (const char* reason = parse_unsigned(text, value)) [[unlikely]] {
    return fail(base::cat(label, ": ", reason));
  }
  return value;
}

std::string_view before_first_comma(std::string_view s) {
  return s.substr(0, s.find(','));
}

struct PlainName {
  std::string_view name;
  TypeKind kind;
};

constexpr PlainName kPlainNames[] = {{"UInt8", TypeKind::UInt8},
                                     {"UInt16", TypeKind::UInt16},
                                     {"UInt32", TypeKind::UInt32},
                                     {"UInt64", TypeKind::UInt64},
                                     {"UInt128", TypeKind::UInt128},
                                     {"UInt256", TypeKind::UInt256},
                                     {"Int8", TypeKind::Int8},
                                     {"Int16", TypeKind::Int16},
                                     {"Int32", TypeKind::Int32},
                                     {"Int64", TypeKind::Int64},
                                     {"Int128", TypeKind::Int128},
                                     {"Int256", TypeKind::Int256},
                                     {"Float32", TypeKind::Float32},
                                     {"Float64", TypeKind::Float64},
                                     {"Bool", TypeKind::Bool},
                                     {"String", TypeKind::String},
                                     {"Date", TypeKind::Date},
                                     {"Date32", TypeKind::Date32},
                                     {"DateTime", TypeKind::DateTime},
                                     {"UUID", TypeKind::UUID},
                                     {"IPv4", TypeKind::IPv4},
                                     {"IPv6", TypeKind::IPv6},
                                     {"Nothing", TypeKind::Nothing},
                                     {"Time", TypeKind::Time},
                                     {"JSON", TypeKind::JSON},
                                     {"Json", TypeKind::JSON},
                                     {"Dynamic", TypeKind::Dynamic},
                                     {"Point", TypeKind::Point},
                                     {"Ring", TypeKind::Ring},
                                     {"Polygon", TypeKind::Polygon},
                                     {"MultiPolygon", TypeKind::MultiPolygon}};

[[gnu::cold, gnu::noinline]] Error over_budget(uint64_t needed, uint64_t budget) {
  return Error::budget_short(
      base::cat("type name needs ", needed, " bytes to hold, more than the limit of ", budget),
      static_cast<size_t>(needed - budget));
}

// The heap bytes a string copied from `text` holds: nothing while it fits in place.
uint64_t text_cost(std::string_view text) {
  return text.size() > std::string().capacity() ? text.size() + 1 : 0;
}

// Type texts up to this many bytes find their commas by walking the arguments at each level:
// the usual names are far shorter, and walking a few hundred bytes again costs less than indexing.
constexpr size_t kWalkedTypeText = 256;

// One parse: the whole text, the depth it started at, its budget, what it holds and, once a Map,
// Tuple or Variant needs it, the index of its commas.
struct Grammar {
  std::string_view whole;
  uint32_t first_depth = 0;
  uint64_t budget = 0;
  uint64_t held = 0;
  std::optional<CommaIndex> commas;

  Result<ColumnType> parse(std::string_view text, uint32_t depth);

  // Charged before the memory is taken.
  Status charge(uint64_t n) {
    if (n > budget - held) [[unlikely]]
      return over_budget(held + n, budget);
    held += n;
    return {};
  }
  // Memory the parse gave back.
  void release(uint64_t n) { held -= n; }

  // find_top_level_comma(args) for the arguments of a type at `depth`, a part of `whole`. Those
  // arguments lie at parenthesis depth depth - first_depth + 1 of `whole`: a nested type's text
  // starts where its parent's arguments start or just after a comma at their depth, and before
  // its own "(" it holds only white space and a name without parentheses.
  // Texts too long for the index's 32-bit positions are walked as well.
  Result<std::optional<size_t>> top_level_comma(std::string_view args, uint32_t depth) {
    if (whole.size() <= kWalkedTypeText || whole.size() > UINT32_MAX) {
      return find_top_level_comma(args);
    }
    const uint32_t level = depth - first_depth;
    if (!commas) {
      CommaIndex index;
      TW_TRY(charge(index.plan(whole, kMaxTypeDepth - first_depth + 1)));
      index.fill(whole);
      commas.emplace(std::move(index));
    }
    const auto from = static_cast<size_t>(args.data() - whole.data());
    const std::optional<size_t> at = commas->next(level + 1, from, from + args.size());
    if (!at) return std::optional<size_t>();
    return std::optional<size_t>(*at - from);
  }
};

// A type text without parentheses.
Result<ColumnType> parse_plain(std::string_view t, Grammar& g) {
  if (t.empty()) return fail(std::string(kEmptyName));
  for (const PlainName& p : kPlainNames) {
    if (p.name == t) return ColumnType::of(p.kind);
  }
  if (t.starts_with("Time64")) return fail("invalid Time64");
  TW_TRY(g.charge(text_cost(t)));
  return ColumnType::other(std::string(t));
}

// Tuple and Variant arguments: elements split at top-level commas, one trailing comma ignored.
Result<std::vector<ColumnType>> parse_list(Grammar& g, std::string_view args, uint32_t depth) {
  std::vector<ColumnType> elements;
  std::string_view rest = args;
  while (!rest.empty()) {
    TW_ASSIGN_OR_RETURN(const std::optional<size_t> comma, g.top_level_comma(rest, depth));
    TW_ASSIGN_OR_RETURN(ColumnType element,
                        g.parse(comma ? rest.substr(0, *comma) : rest, depth + 1));
    if (elements.size() == elements.capacity()) {
      // Grown here rather than by push_back, so that the charge covers the new room while the
      // old is still held.
      const size_t room = std::max<size_t>(2 * elements.capacity(), 1);
      TW_TRY(g.charge(room * sizeof(ColumnType)));
      g.release(elements.capacity() * sizeof(ColumnType));
      elements.reserve(room);
    }
    elements.push_back(std::move(element));
    if (!comma) break;
    rest.remove_prefix(*comma + 1);
  }
  return elements;
}

// A decimal with the precision fixed by its name and the scale as the whole argument text.
Result<ColumnType> sized_decimal(std::string_view args, uint32_t precision,
                                 std::string_view label) {
  TW_ASSIGN_OR_RETURN(uint32_t scale, number_arg<uint32_t>(args, label));
  return ColumnType::decimal(precision, scale);
}

// name(args): the text ended with ')' and `args` is already trimmed.
Result<ColumnType> parse_constructed(Grammar& g, std::string_view t, std::string_view name,
                                     std::string_view args, uint32_t depth) {
  if (name == "Array" || name == "Nullable" || name == "LowCardinality") {
    TW_ASSIGN_OR_RETURN(ColumnType inner, g.parse(args, depth + 1));
    TW_TRY(g.charge(sizeof(ColumnType)));
    if (name == "Array") return ColumnType::array(std::move(inner));
    if (name == "Nullable") return ColumnType::nullable(std::move(inner));
    return ColumnType::low_cardinality(std::move(inner));
  }
  if (name == "Map") {
    TW_ASSIGN_OR_RETURN(const std::optional<size_t> comma, g.top_level_comma(args, depth));
    if (!comma) return fail(base::cat("cannot parse Map types from: ", args));
    TW_ASSIGN_OR_RETURN(ColumnType key, g.parse(args.substr(0, *comma), depth + 1));
    TW_ASSIGN_OR_RETURN(ColumnType value, g.parse(args.substr(*comma + 1), depth + 1));
    TW_TRY(g.charge(2 * sizeof(ColumnType)));
    return ColumnType::map(std::move(key), std::move(value));
  }
  if (name == "Tuple" || name == "Variant") {
    TW_ASSIGN_OR_RETURN(std::vector<ColumnType> elements, parse_list(g, args, depth));
    if (name == "Tuple") return ColumnType::tuple(std::move(elements));
    return ColumnType::variant(std::move(elements));
  }
  if (name == "Decimal") {
    const size_t comma = args.find(',');
    if (comma == std::string_view::npos) {
      return fail(base::cat("Decimal needs precision,scale: ", t));
    }
    TW_ASSIGN_OR_RETURN(
        uint32_t precision,
        number_arg<uint32_t>(trim_unicode_space(args.substr(0, comma)), "Decimal precision"));
    TW_ASSIGN_OR_RETURN(
        uint32_t scale,
        number_arg<uint32_t>(trim_unicode_space(args.substr(comma + 1)), "Decimal scale"));
    return ColumnType::decimal(precision, scale);
  }
  if (name == "Decimal32") return sized_decimal(args, 9, name);
  if (name == "Decimal64") return sized_decimal(args, 18, name);
  if (name == "Decimal128") return sized_decimal(args, 38, name);
  if (name == "Decimal256") return sized_decimal(args, 76, name);
  if (name == "DateTime64" || name == "Time64") {
    TW_ASSIGN_OR_RETURN(uint32_t precision,
                        number_arg<uint32_t>(trim_unicode_space(before_first_comma(args)), name));
    return name == "Time64" ? ColumnType::time64(precision) : ColumnType::date_time64(precision);
  }
  if (name == "FixedString") {
    TW_ASSIGN_OR_RETURN(uint64_t length, number_arg<uint64_t>(args, "FixedString"));
    return ColumnType::fixed_string(length);
  }
  if (name == "DateTime") return ColumnType::of(TypeKind::DateTime);
  if (name == "Enum8") return ColumnType::of(TypeKind::Enum8);
  if (name == "Enum16") return ColumnType::of(TypeKind::Enum16);
  if (name == "AggregateFunction") return ColumnType::of(TypeKind::AggregateFunction);
  if (name == "SimpleAggregateFunction") return ColumnType::of(TypeKind::SimpleAggregateFunction);
  if (name == "Object" || name == "object") return ColumnType::of(TypeKind::JSON);
  TW_TRY(g.charge(text_cost(t)));
  return ColumnType::other(std::string(t));
}

void append_debug_text(std::string& out, std::string_view text);

void write_type(std::string& out, const ColumnType& t, bool debug) {
  auto list = [&](std::string_view name) {
    out.append(name);
    out.append(debug ? "([" : "(");
    for (size_t i = 0; i < t.nested.size(); ++i) {
      if (i > 0) out.append(", ");
      write_type(out, t.nested[i], debug);
    }
    out.append(debug ? "])" : ")");
  };
  switch (t.kind) {
    case TypeKind::FixedString:
      out.append(base::cat("FixedString(", t.length, ")"));
      return;
    case TypeKind::DateTime64:
    case TypeKind::Time64:
      out.append(base::cat(type_kind_name(t.kind), "(", t.precision, ")"));
      return;
    case TypeKind::Decimal:
      out.append(base::cat("Decimal(", t.precision, ", ", t.scale, ")"));
      return;
    case TypeKind::Nullable:
    case TypeKind::Array:
    case TypeKind::LowCardinality:
    case TypeKind::Map:
      out.append(type_kind_name(t.kind));
      out.push_back('(');
      write_type(out, t.kind == TypeKind::Map ? t.key() : t.inner(), debug);
      if (t.kind == TypeKind::Map) {
        out.append(", ");
        write_type(out, t.value(), debug);
      }
      out.push_back(')');
      return;
    case TypeKind::Tuple:
    case TypeKind::Variant:
      list(type_kind_name(t.kind));
      return;
    case TypeKind::Other:
      if (!debug) {
        out.append(t.text);
      } else {
        out.append("Other(\"");
        append_debug_text(out, t.text);
        out.append("\")");
      }
      return;
    default:
      out.append(type_kind_name(t.kind));
      return;
  }
}

void append_hex_escape(std::string& out, uint32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.append("\\u{");
  int shift = 28;
  while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
  out.push_back('}');
}

const char* named_escape(unsigned char b) {
  switch (b) {
    case '\0':
      return "\\0";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    default:
      return nullptr;
  }
}

// Quoted-string escaping: backslash before '"' and '\', named escapes for NUL, tab, newline and
// carriage return, \u{..} for every other control character (C0, DEL and C1). Bytes that are not
// well-formed UTF-8 come out as \x.. so the text stays unambiguous.
void append_debug_text(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (const char* named = named_escape(b)) {
        out.append(named);
      } else if (b < 0x20 || b == 0x7F) {
        append_hex_escape(out, b);
      } else {
        out.push_back(static_cast<char>(b));
      }
      ++i;
      continue;
    }
    // Well-formed multi-byte sequence?
    size_t len = 0;
    uint32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07;
    }
    bool ok = len != 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    ok = ok && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) &&
         !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
    if (!ok) {
      static constexpr char kHex[] = "0123456789abcdef";
      out.append("\\x");
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
      ++i;
      continue;
    }
    if (cp >= 0x80 && cp <= 0x9F) {
      append_hex_escape(out, cp);
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
}

}  // namespace

std::string_view type_kind_name(TypeKind kind) {
  // clang-format off
  static constexpr std::string_view kNames[kTypeKindCount] = {
      "UInt8", "UInt16", "UInt32", "UInt64", "UInt128", "UInt256", "Int8", "Int16", "Int32",
      "Int64", "Int128", "Int256", "Float32", "Float64", "Bool", "String", "FixedString", "Date",
      "Date32", "DateTime", "DateTime64", "Decimal", "UUID", "IPv4", "IPv6", "Enum8", "Enum16",
      "Nullable", "Array", "Map", "Tuple", "LowCardinality", "AggregateFunction",
      "SimpleAggregateFunction", "Nothing", "Time", "Time64", "JSON", "Variant", "Dynamic", "Point",
      "Ring", "Polygon", "MultiPolygon", "Other",
  };
  // clang-format on
  const auto index = static_cast<size_t>(kind);
  return index < kTypeKindCount ? kNames[index] : std::string_view("Other");
}

const ColumnType& ColumnType::inner() const {
  assert(!nested.empty());
  return nested.front();
}
const ColumnType& ColumnType::key() const {
  assert(kind == TypeKind::Map && nested.size() == 2);
  return nested.front();
}
const ColumnType& ColumnType::value() const {
  assert(kind == TypeKind::Map && nested.size() == 2);
  return nested.back();
}

std::optional<size_t> ColumnType::fixed_width() const {
  if (const unsigned width = plain_width(kind); width != 0) return width;
  switch (kind) {
    case TypeKind::Nothing:
      return 0;
    case TypeKind::Point:
      return 16;
    case TypeKind::FixedString:
      return static_cast<size_t>(length);
    case TypeKind::Decimal:
      if (const unsigned width = decimal_width(precision); width != 0) return width;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::string ColumnType::to_string() const {
  std::string out;
  write_type(out, *this, false);
  return out;
}

std::string ColumnType::debug_string() const {
  std::string out;
  write_type(out, *this, true);
  return out;
}

ColumnType ColumnType::of(TypeKind kind) {
  ColumnType t;
  t.kind = kind;
  return t;
}
ColumnType ColumnType::fixed_string(uint64_t length) {
  ColumnType t = of(TypeKind::FixedString);
  t.length = length;
  return t;
}
ColumnType ColumnType::date_time64(uint32_t precision) {
  ColumnType t = of(TypeKind::DateTime64);
  t.precision = precision;
  return t;
}
ColumnType ColumnType::time64(uint32_t precision) {
  ColumnType t = of(TypeKind::Time64);
  t.precision = precision;
  return t;
}
ColumnType ColumnType::decimal(uint32_t precision, uint32_t scale) {
  ColumnType t = of(TypeKind::Decimal);
  t.precision = precision;
  t.scale = scale;
  return t;
}
ColumnType ColumnType::nullable(ColumnType inner) {
  ColumnType t = of(TypeKind::Nullable);
  t.nested.push_back(std::move(inner));
  return t;
}
ColumnType ColumnType::array(ColumnType inner) {
  ColumnType t = of(TypeKind::Array);
  t.nested.push_back(std::move(inner));
  return t;
}
ColumnType ColumnType::low_cardinality(ColumnType inner) {
  ColumnType t = of(TypeKind::LowCardinality);
  t.nested.push_back(std::move(inner));
  return t;
}
ColumnType ColumnType::map(ColumnType key, ColumnType value) {
  ColumnType t = of(TypeKind::Map);
  t.nested.reserve(2);
  t.nested.push_back(std::move(key));
  t.nested.push_back(std::move(value));
  return t;
}
ColumnType ColumnType::tuple(std::vector<ColumnType> elements) {
  ColumnType t = of(TypeKind::Tuple);
  t.nested = std::move(elements);
  return t;
}
ColumnType ColumnType::variant(std::vector<ColumnType> elements) {
  ColumnType t = of(TypeKind::Variant);
  t.nested = std::move(elements);
  return t;
}
ColumnType ColumnType::other(std::string text) {
  ColumnType t = of(TypeKind::Other);
  t.text = std::move(text);
  return t;
}

std::string_view trim_unicode_space(std::string_view text) {
  while (size_t n = leading_space(text)) text.remove_prefix(n);
  while (size_t n = trailing_space(text)) text.remove_suffix(n);
  return text;
}

std::optional<size_t> find_top_level_comma(std::string_view text) {
  std::optional<size_t> found;
  for_each_comma(text, [&](int64_t depth, size_t i) {
    if (depth == 0) found = i;
    return depth != 0;
  });
  return found;
}

Result<ColumnType> parse_type(std::string_view text, uint64_t budget) {
  return parse_type_rec(text, 0, budget);
}

Result<ColumnType> parse_type_rec(std::string_view text, uint32_t depth, uint64_t budget) {
  Grammar g{text, depth, budget, 0, std::nullopt};
  return g.parse(text, depth);
}

namespace {

Result<ColumnType> Grammar::parse(std::string_view text, uint32_t depth) {
  if (depth > kMaxTypeDepth) {
    return fail(base::cat("type nesting exceeds ", kMaxTypeDepth, " levels"));
  }
  const std::string_view t = trim_unicode_space(text);
  const size_t open = t.find('(');
  if (open == std::string_view::npos) return parse_plain(t, *this);
  if (open == 0) return fail(std::string(kEmptyName));
  if (t.back() != ')') return fail(base::cat("malformed type name (unclosed paren): ", t));
  const std::string_view name = t.substr(0, open);
  const std::string_view args = trim_unicode_space(t.substr(open + 1, t.size() - open - 2));
  return parse_constructed(*this, t, name, args, depth);
}

}  // namespace

uint64_t type_memory_size(const ColumnType& type) {
  uint64_t n = sizeof(ColumnType);
  if (type.text.capacity() > std::string().capacity())
    n += type.text.capacity() + 1;  // not held in place
  n += (type.nested.capacity() - type.nested.size()) * sizeof(ColumnType);
  for (const ColumnType& child : type.nested) n += type_memory_size(child);
  return n;
}

}  // namespace tarnwick::protocol
