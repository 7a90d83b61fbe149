#include "tarnwick/column/owned.h"

#include <algorithm>
#include <charconv>

#include "tarnwick/base/utf8.h"
#include "tarnwick/column/any.h"

namespace tarnwick::column {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex64(std::string& out, uint64_t value, int from_digit, int to_digit) {
  for (int d = from_digit; d < to_digit; ++d) out.push_back(kHex[(value >> (60 - 4 * d)) & 0xF]);
}

void append_decimal(std::string& out, unsigned value) {
  char buf[8];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

void append_dotted_quad(std::string& out, const uint8_t octets[4]) {
  for (int i = 0; i < 4; ++i) {
    if (i != 0) out.push_back('.');
    append_decimal(out, octets[i]);
  }
}

// A list of n values: row i is `convert(view.at(i))`; a row the view cannot deliver gets the
// default value. For every view the readers build all n rows are readable.
template <class Out, class View, class Convert>
std::vector<Out> fill_list(const View& view, uint64_t n, Convert convert) {
  std::vector<Out> out;
  out.reserve(n);
  const uint64_t readable = std::min(n, view.readable_rows());
  for (uint64_t i = 0; i < readable; ++i) out.push_back(convert(view.at(i)));
  out.resize(n, Out{});
  return out;
}

template <class View>
std::vector<uint64_t> unsigned_list(const View& view, uint64_t n) {
  return fill_list<uint64_t>(view, n, [](auto v) { return static_cast<uint64_t>(v); });
}

template <class View>
std::vector<int64_t> signed_list(const View& view, uint64_t n) {
  return fill_list<int64_t>(view, n, [](auto v) { return static_cast<int64_t>(v); });
}

// A Text list of n rows: `append_row(out, i)` appends row i's text and reports whether the view
// delivered it; a failed row is the empty text. `reserve_bytes` is the expected text size.
template <class AppendRow>
OwnedStrings text_list(uint64_t n, uint64_t reserve_bytes, AppendRow append_row) {
  OwnedStrings out;
  out.bytes.reserve(reserve_bytes);
  out.ends.reserve(n);
  for (uint64_t i = 0; i < n; ++i) {
    const size_t mark = out.bytes.size();
    if (!append_row(out.bytes, i)) out.bytes.resize(mark);
    out.finish_text();
  }
  return out;
}

template <class View>
OwnedStrings lossy_text_list(const View& view, uint64_t n, uint64_t reserve_bytes) {
  return text_list(n, reserve_bytes, [&](std::string& out, uint64_t i) {
    auto bytes = view.get_bytes(i);
    if (!bytes.ok()) return false;
    base::append_utf8_lossy(out, bytes->data(), bytes->size());
    return true;
  });
}

OwnedColumnData length_or_empty(uint64_t n) {
  if (n == 0) return OwnedColumnData{NoValues{}};
  return OwnedColumnData{LengthOnly{n}};
}

}  // namespace

void append_uuid_text(std::string& out, const Uuid& value) {
  append_hex64(out, value.high, 0, 8);
  out.push_back('-');
  append_hex64(out, value.high, 8, 12);
  out.push_back('-');
  append_hex64(out, value.high, 12, 16);
  out.push_back('-');
  append_hex64(out, value.low, 0, 4);
  out.push_back('-');
  append_hex64(out, value.low, 4, 16);
}

void append_ipv4_text(std::string& out, uint32_t value) {
  const uint8_t octets[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                             static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  append_dotted_quad(out, octets);
}

void append_ipv6_text(std::string& out, const uint8_t bytes[16]) {
  static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(kMappedPrefix, kMappedPrefix + 12, bytes)) {
    out.append("::ffff:");
    append_dotted_quad(out, bytes + 12);
    return;
  }
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i)
    groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  // The longest run of two or more zero groups; the first one wins a tie.
  int best_start = -1;
  int best_len = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out.append("::");
      i += best_len - 1;
      continue;
    }
    if (i != 0 && i != best_start + best_len) out.push_back(':');
    char buf[4];
    auto res = std::to_chars(buf, buf + sizeof buf, groups[i], 16);
    out.append(buf, res.ptr);
  }
}

OwnedColumnData AnyColumnData::into_owned() const {
  using K = ColumnKind;
  const AnyColumnData& view = innermost();
  const uint64_t n = view.len();
  switch (view.kind()) {
    case K::UInt8:
      return {unsigned_list(view.get<K::UInt8>(), n)};
    case K::UInt16:
      return {unsigned_list(view.get<K::UInt16>(), n)};
    case K::UInt32:
      return {unsigned_list(view.get<K::UInt32>(), n)};
    case K::UInt64:
      return {unsigned_list(view.get<K::UInt64>(), n)};
    case K::Int8:
      return {signed_list(view.get<K::Int8>(), n)};
    case K::Int16:
      return {signed_list(view.get<K::Int16>(), n)};
    case K::Int32:
      return {signed_list(view.get<K::Int32>(), n)};
    case K::Int64:
      return {signed_list(view.get<K::Int64>(), n)};
    case K::Date:
      return {fill_list<int64_t>(view.get<K::Date>(), n, [](Date d) { return int64_t{d.days}; })};
    case K::DateTime:
      return {fill_list<int64_t>(view.get<K::DateTime>(), n,
                                 [](DateTime t) { return int64_t{t.seconds}; })};
    case K::DateTime64:
      return {fill_list<int64_t>(view.get<K::DateTime64>(), n,
                                 [](DateTime64Value t) { return t.ticks; })};
    case K::Float32:
      return {fill_list<double>(view.get<K::Float32>(), n, [](float f) { return double{f}; })};
    case K::Float64:
      return {fill_list<double>(view.get<K::Float64>(), n, [](double f) { return f; })};
    case K::Bool: {
      const BoolColumnData& bools = view.get<K::Bool>();
      std::vector<uint8_t> out;
      out.reserve(n);
      for (uint64_t i = 0; i < n; ++i) {
        auto value = bools.get(i);
        out.push_back(value.ok() && *value ? 1 : 0);
      }
      return {std::move(out)};
    }
    case K::String: {
      const StringColumnData& strings = view.get<K::String>();
      return {lossy_text_list(strings, n, strings.body.size())};
    }
    case K::Json: {
      const JsonColumnData& json = view.get<K::Json>();
      return {lossy_text_list(json, n, json.text.size())};
    }
    case K::FixedString: {
      const FixedStringColumnData& fixed = view.get<K::FixedString>();
      return {text_list(n, fixed.byte_len, [&](std::string& out, uint64_t i) {
        auto bytes = fixed.get(i);
        if (!bytes.ok()) return false;
        base::append_utf8_lossy(out, bytes->data(), bytes->size());
        return true;
      })};
    }
    case K::Uuid: {
      const auto& uuids = view.get<K::Uuid>();
      return {text_list(n, n * 36, [&](std::string& out, uint64_t i) {
        if (i >= uuids.readable_rows()) return false;
        append_uuid_text(out, uuids.at(i));
        return true;
      })};
    }
    case K::Ipv4: {
      const auto& addresses = view.get<K::Ipv4>();
      return {text_list(n, n * 15, [&](std::string& out, uint64_t i) {
        if (i >= addresses.readable_rows()) return false;
        append_ipv4_text(out, addresses.at(i).value);
        return true;
      })};
    }
    case K::Ipv6: {
      const Ipv6ColumnData& addresses = view.get<K::Ipv6>();
      return {text_list(n, n * 39, [&](std::string& out, uint64_t i) {
        auto value = addresses.get(i);
        if (!value.ok()) return false;
        uint8_t bytes[16];
        for (int b = 0; b < 16; ++b) bytes[b] = static_cast<uint8_t>(*value >> (120 - 8 * b));
        append_ipv6_text(out, bytes);
        return true;
      })};
    }
    case K::UInt128:
    case K::Int128:
    case K::Decimal32:
    case K::Decimal64:
    case K::Decimal128:
    case K::Decimal256:
    case K::UInt256:
    case K::Int256:
    case K::Variant:
    case K::Dynamic:
    case K::AggregateFunction:
      return length_or_empty(n);
    case K::Map:
    case K::Tuple:
      return {LengthOnly{n}};
    case K::Nullable:
    case K::Array:
    case K::Empty:
      break;
  }
  return {NoValues{}};
}

}  // namespace tarnwick::column
