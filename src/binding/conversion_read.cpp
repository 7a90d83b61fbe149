// Column bodies to Python values. One call converts one column: the type is parsed once and each
// kind runs its own loop over the rows; composite kinds convert their inner columns whole and
// then assemble lists, dicts and tuples from them.
#include <string>

#include "binding/conversion.h"
#include "binding/conversion_cursor.h"
#include "binding/errors.h"
#include "binding/objects.h"
#include "binding/values.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/format.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/column_state.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::binding::conversion {

using base::cat;
using base::Error;
using base::Result;
using base::Status;
using protocol::ColumnState;
using protocol::ColumnType;
using protocol::TypeKind;
using SK = ColumnState::Kind;

namespace {

// Array and Map columns may claim at most this many elements in total.
constexpr uint64_t kMaxOffset = 10000000;

template <size_t (*Format)(const uint8_t*, char*)>
PyObject* text_value(const uint8_t* p) {
  char buf[values::kTextCapacity];
  return py_text({buf, Format(p, buf)}).release();
}

// The bytes per row of a kind converted value by value from a fixed-width slot, or 0.
uint64_t scalar_width(const ColumnType& t) {
  switch (t.kind) {
    case TypeKind::UInt8:
    case TypeKind::Int8:
    case TypeKind::Enum8:
    case TypeKind::Bool:
    case TypeKind::UInt16:
    case TypeKind::Int16:
    case TypeKind::Enum16:
    case TypeKind::Date:
    case TypeKind::UInt32:
    case TypeKind::Int32:
    case TypeKind::Float32:
    case TypeKind::Date32:
    case TypeKind::DateTime:
    case TypeKind::Time:
    case TypeKind::IPv4:
    case TypeKind::UInt64:
    case TypeKind::Int64:
    case TypeKind::Float64:
    case TypeKind::DateTime64:
    case TypeKind::Time64:
    case TypeKind::UInt128:
    case TypeKind::Int128:
    case TypeKind::UUID:
    case TypeKind::IPv6:
    case TypeKind::UInt256:
    case TypeKind::Int256:
      return *t.fixed_width();
    case TypeKind::Decimal:
      return t.fixed_width().value_or(0);
    default:
      return 0;
  }
}

struct VecSink {
  PyVec& out;
  void set(uint64_t, PyObject* v) { out.push(v); }
};

// Fills a list from slot `at` on; the slots must still be empty.
struct ListSink {
  PyObject* list;
  Py_ssize_t at;
  void set(uint64_t i, PyObject* v) { py_list_set(list, at + static_cast<Py_ssize_t>(i), v); }
};

template <class Sink, class F>
Status fill(const uint8_t* p, uint64_t rows, uint64_t width, Sink& sink, F make,
            SignalCheck& check) {
  return check.each(rows, [&](uint64_t i) -> Status {
    PyObject* v = make(p + i * width);
    if (v == nullptr) return py_protocol_err();
    sink.set(i, v);
    return {};
  });
}

// Makes the object of a `T` value through `make`, sharing one object across a run of equal
// neighbouring values: columns sorted by time repeat a second many times over, and datetimes are
// immutable, so the run needs only its first conversion.
template <class T, class Make>
struct RunShared {
  explicit RunShared(Make m) : make(std::move(m)) {}

  Make make;
  T last{};
  PyRef object;

  PyObject* operator()(const uint8_t* q) {
    const T value = load<T>(q);
    if (!object || value != last) {
      PyObject* made = make(value);
      if (made == nullptr) return nullptr;
      object = PyRef::steal(made);
      last = value;
    }
    return Py_NewRef(object.get());
  }
};

template <class T, class Make>
RunShared<T, Make> run_shared(Make make) {
  return RunShared<T, Make>(std::move(make));
}

// Converts `rows` fixed-width values at `p` (already bounds-checked) into the sink.
template <class Sink>
Status fill_fixed(const ModuleState& st, const ColumnType& t, const uint8_t* p, uint64_t rows,
                  Sink& sink, SignalCheck& check) {
  const uint64_t w = t.kind == TypeKind::FixedString ? t.length : scalar_width(t);
  auto put = [&](auto make) { return fill(p, rows, w, sink, std::move(make), check); };
  switch (t.kind) {
    case TypeKind::UInt8:
      return put([](auto q) { return PyLong_FromUnsignedLong(*q); });
    case TypeKind::UInt16:
      return put([](auto q) { return PyLong_FromUnsignedLong(load<uint16_t>(q)); });
    case TypeKind::UInt32:
      return put([](auto q) { return PyLong_FromUnsignedLong(load<uint32_t>(q)); });
    case TypeKind::UInt64:
      return put([](auto q) { return PyLong_FromUnsignedLongLong(load<uint64_t>(q)); });
    case TypeKind::Int8:
    case TypeKind::Enum8:
      return put([](auto q) { return PyLong_FromLong(load<int8_t>(q)); });
    case TypeKind::Int16:
    case TypeKind::Enum16:
      return put([](auto q) { return PyLong_FromLong(load<int16_t>(q)); });
    case TypeKind::Int32:
    case TypeKind::Time:
      return put([](auto q) { return PyLong_FromLong(load<int32_t>(q)); });
    case TypeKind::Int64:
    case TypeKind::Time64:
      return put([](auto q) { return PyLong_FromLongLong(load<int64_t>(q)); });
    case TypeKind::Float32:
      return put([](auto q) { return PyFloat_FromDouble(load<float>(q)); });
    case TypeKind::Float64:
      return put([](auto q) { return PyFloat_FromDouble(load<double>(q)); });
    case TypeKind::Bool:
      return put([](auto q) { return PyBool_FromLong(*q != 0); });
    case TypeKind::Date:
    case TypeKind::Date32: {
      DayObjects& days = check.days();
      days.reserve(rows);
      auto make = [&](int32_t day) { return date_from_days(st, day); };
      if (t.kind == TypeKind::Date) {
        return put([&](auto q) { return days.get(load<uint16_t>(q), make); });
      }
      return put([&](auto q) { return days.get(load<int32_t>(q), make); });
    }
    case TypeKind::DateTime:
      return put(
          run_shared<uint32_t>([&](int64_t v) { return datetime_from_timestamp(st, v, 0); }));
    case TypeKind::DateTime64: {
      const uint32_t precision = t.precision;
      return put(run_shared<int64_t>(
          [&](int64_t v) { return datetime_from_timestamp(st, v, precision); }));
    }
    case TypeKind::UInt128:
      return put(text_value<values::uint128_text>);
    case TypeKind::Int128:
      return put(text_value<values::int128_text>);
    case TypeKind::UInt256:
    case TypeKind::Int256:
      return put(text_value<values::hex256_text>);
    case TypeKind::Decimal:
      if (w == 4) {
        return put([](auto q) { return PyLong_FromLong(load<int32_t>(q)); });
      }
      if (w == 8) {
        return put([](auto q) { return PyLong_FromLongLong(load<int64_t>(q)); });
      }
      if (w == 16) return put(text_value<values::int128_text>);
      return put(text_value<values::hex256_text>);
    case TypeKind::UUID:
      return put(text_value<values::uuid_text>);
    case TypeKind::IPv4:
      return put(text_value<values::ipv4_text>);
    case TypeKind::IPv6:
      return put(text_value<values::ipv6_text>);
    case TypeKind::FixedString:
      return put(
          [w](auto q) { return lossy_str(std::string_view(reinterpret_cast<const char*>(q), w)); });
    default:
      return Error::protocol(cat("no fixed-width conversion for ", base::excerpt(t.to_string())));
  }
}

bool is_fixed(const ColumnType& t) {
  return t.kind == TypeKind::FixedString || scalar_width(t) != 0;
}

// The fewest body bytes one row of `t` takes on the wire (used to refuse element counts that the
// remaining bytes cannot hold before anything is reserved for them).
uint64_t min_row_bytes(const ColumnType& t) {
  switch (t.kind) {
    case TypeKind::FixedString:
      return t.length;
    case TypeKind::String:
    case TypeKind::JSON:
    case TypeKind::Nothing:
      return 1;
    case TypeKind::Nullable: {
      const uint64_t inner = min_row_bytes(t.inner());
      return inner == UINT64_MAX ? inner : inner + 1;
    }
    case TypeKind::Array:
    case TypeKind::Map:
    case TypeKind::Ring:
    case TypeKind::Polygon:
    case TypeKind::MultiPolygon:
      return 8;
    case TypeKind::Point:
      return 16;
    case TypeKind::LowCardinality:
      return min_row_bytes(t.inner());
    case TypeKind::Tuple: {
      uint64_t sum = 0;
      for (const ColumnType& e : t.nested) {
        if (__builtin_add_overflow(sum, min_row_bytes(e), &sum)) return UINT64_MAX;
      }
      return sum;
    }
    default:
      return scalar_width(t);
  }
}

// Reads `rows` offsets and checks them: never decreasing, the last at most kMaxOffset, and
// enough bytes left for that many elements of `element`.
Result<const uint8_t*> parse_offsets(Cursor& c, uint64_t rows, const ColumnType& element,
                                     std::string_view label, uint64_t& last) {
  TW_ASSIGN_OR_RETURN(uint64_t len, checked_len(rows, 8));
  TW_ASSIGN_OR_RETURN(const uint8_t* offsets, parse_exact(c, len));
  uint64_t prev = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const uint64_t off = load<uint64_t>(offsets + 8 * i);
    if (off < prev) {
      return Error::protocol(
          cat(label, " offsets decrease at row ", i, ": ", off, " after ", prev));
    }
    prev = off;
  }
  TW_ASSIGN_OR_RETURN(last, limits::checked_count(prev, cat(label, " element"), kMaxOffset));
  uint64_t need = 0;
  if (__builtin_mul_overflow(last, min_row_bytes(element), &need) || need > c.remaining()) {
    return eof_error();
  }
  return offsets;
}

// Moves past the body of a geometric column without converting it.
Status skip_geo(Cursor& c, const ColumnType& t, uint64_t rows) {
  static const ColumnType point = ColumnType::of(TypeKind::Point);
  static const ColumnType ring = ColumnType::of(TypeKind::Ring);
  static const ColumnType polygon = ColumnType::of(TypeKind::Polygon);
  if (t.kind == TypeKind::Point) {
    TW_ASSIGN_OR_RETURN(uint64_t len, checked_len(rows, 16));
    return parse_exact(c, len).ok() ? Status{} : eof_error();
  }
  const ColumnType& element = t.kind == TypeKind::Ring      ? point
                              : t.kind == TypeKind::Polygon ? ring
                                                            : polygon;
  if (rows == 0) return {};
  uint64_t last = 0;
  TW_ASSIGN_OR_RETURN(const uint8_t* offsets, parse_offsets(c, rows, element, t.to_string(), last));
  (void)offsets;
  return skip_geo(c, element, last);
}

// Moves past a Variant or Dynamic body, laid out as its state `s` (from the column's prefix)
// says. The block reader keeps both bodies exactly as they arrived, so walking them again in
// memory finds where they end.
Status skip_variant_or_dynamic(Cursor& c, const ColumnType& t, const ColumnState& s,
                               uint64_t rows) {
  Result<uint64_t> n = protocol::kept_body_length(
      std::span<const uint8_t>(c.data + c.pos, c.remaining()), t, s, rows);
  if (!n.ok()) return n.error().kind() == base::ErrorKind::Io ? eof_error() : n.error();
  c.pos += *n;
  return {};
}

Status decode(const ModuleState& st, Cursor& c, const ColumnType& t, const ColumnState& s,
              uint64_t rows, bool tail, PyVec& out, SignalCheck& check);

Status push_nones(PyVec& out, uint64_t rows, SignalCheck& check) {
  out.reserve(out.size() + rows);
  return check.each(rows, [&](uint64_t) -> Status {
    out.push(Py_NewRef(Py_None));
    return {};
  });
}

Status decode_strings(Cursor& c, uint64_t rows, PyVec& out, SignalCheck& check) {
  out.reserve(out.size() + std::min(rows, c.remaining()));
  return check.each(rows, [&](uint64_t) -> Status {
    TW_ASSIGN_OR_RETURN(PyObject * s, next_str(c));
    out.push(s);
    return {};
  });
}

Status decode_array(const ModuleState& st, Cursor& c, const ColumnType& t, const ColumnState& s,
                    uint64_t rows, bool tail, PyVec& out, SignalCheck& check) {
  const ColumnType& inner = t.inner();
  const ColumnState& inner_state = s.child_or_plain(SK::Array, 0);
  if (rows == 0) return decode(st, c, inner, inner_state, 0, tail, out, check);
  uint64_t last = 0;
  TW_ASSIGN_OR_RETURN(const uint8_t* offsets, parse_offsets(c, rows, inner, "array", last));
  PyVec items;
  TW_TRY(decode(st, c, inner, inner_state, last, tail, items, check));
  out.reserve(out.size() + rows);
  uint64_t start = 0;
  return check.each(rows, [&](uint64_t i) -> Status {
    const uint64_t end = load<uint64_t>(offsets + 8 * i);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(end - start));
    if (list == nullptr) return py_protocol_err();
    for (uint64_t j = start; j < end; ++j) {
      py_list_set(list, static_cast<Py_ssize_t>(j - start), Py_NewRef(items[j]));
    }
    out.push(list);
    start = end;
    return {};
  });
}

Status decode_map(const ModuleState& st, Cursor& c, const ColumnType& t, const ColumnState& s,
                  uint64_t rows, bool tail, PyVec& out, SignalCheck& check) {
  ColumnType pair = ColumnType::tuple({t.key(), t.value()});
  uint64_t last = 0;
  const uint8_t* offsets = nullptr;
  if (rows != 0) {
    TW_ASSIGN_OR_RETURN(offsets, parse_offsets(c, rows, pair, "map", last));
  }
  PyVec keys;
  PyVec vals;
  TW_TRY(decode(st, c, t.key(), s.child_or_plain(SK::Map, 0), last, false, keys, check));
  TW_TRY(decode(st, c, t.value(), s.child_or_plain(SK::Map, 1), last, tail, vals, check));
  out.reserve(out.size() + rows);
  uint64_t start = 0;
  return check.each(rows, [&](uint64_t i) -> Status {
    const uint64_t end = load<uint64_t>(offsets + 8 * i);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return py_protocol_err();
    out.push(dict);
    for (uint64_t j = start; j < end; ++j) {
      if (py_dict_set(dict, keys[j], vals[j]) < 0) return py_protocol_err();
    }
    // One row may hold every entry of the column: its insertions count as well.
    const uint64_t entries = end - start;
    start = end;
    return check.tick(entries);
  });
}

Status decode_tuple(const ModuleState& st, Cursor& c, const ColumnType& t, const ColumnState& s,
                    uint64_t rows, bool tail, PyVec& out, SignalCheck& check) {
  const size_t n = t.nested.size();
  std::vector<PyVec> elements(n);
  for (size_t e = 0; e < n; ++e) {
    TW_TRY(decode(st, c, t.nested[e], s.child_or_plain(SK::Tuple, e), rows, tail && e + 1 == n,
                  elements[e], check));
  }
  out.reserve(out.size() + rows);
  return check.each(rows, [&](uint64_t i) -> Status {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return py_protocol_err();
    for (size_t e = 0; e < n; ++e) {
      py_tuple_set(tuple, static_cast<Py_ssize_t>(e), Py_NewRef(elements[e][i]));
    }
    out.push(tuple);
    return {};
  });
}

// Appends exactly `rows` values of type `t` read at the cursor. `tail` says that nothing is read
// after this column, so a kind whose layout is unknown may stop without finding its end.
Status decode(const ModuleState& st, Cursor& c, const ColumnType& t, const ColumnState& s,
              uint64_t rows, bool tail, PyVec& out, SignalCheck& check) {
  if (is_fixed(t)) {
    const uint64_t w = t.kind == TypeKind::FixedString ? t.length : scalar_width(t);
    TW_ASSIGN_OR_RETURN(uint64_t len, checked_len(rows, w));
    TW_ASSIGN_OR_RETURN(const uint8_t* p, parse_exact(c, len));
    out.reserve(out.size() + rows);
    VecSink sink{out};
    return fill_fixed(st, t, p, rows, sink, check);
  }
  switch (t.kind) {
    case TypeKind::String:
    case TypeKind::JSON:
      return decode_strings(c, rows, out, check);
    case TypeKind::Nullable: {
      TW_ASSIGN_OR_RETURN(const uint8_t* map, parse_exact(c, rows));
      const size_t base = out.size();
      TW_TRY(decode(st, c, t.inner(), s.child_or_plain(SK::Nullable, 0), rows, tail, out, check));
      for (uint64_t i = 0; i < rows; ++i) {
        if (map[i] != 0) out.replace(base + i, Py_NewRef(Py_None));
      }
      return {};
    }
    case TypeKind::Array:
      return decode_array(st, c, t, s, rows, tail, out, check);
    case TypeKind::Map:
      return decode_map(st, c, t, s, rows, tail, out, check);
    case TypeKind::Tuple:
      return decode_tuple(st, c, t, s, rows, tail, out, check);
    case TypeKind::LowCardinality:  // kept expanded
      return decode(st, c, t.inner(), ColumnState::plain(), rows, tail, out, check);
    case TypeKind::Nothing:
      if (!tail) TW_TRY(parse_exact(c, rows));
      return push_nones(out, rows, check);
    case TypeKind::Point:
    case TypeKind::Ring:
    case TypeKind::Polygon:
    case TypeKind::MultiPolygon:
      if (!tail) TW_TRY(skip_geo(c, t, rows));
      return push_nones(out, rows, check);
    case TypeKind::Variant:
    case TypeKind::Dynamic:
      if (!tail) TW_TRY(skip_variant_or_dynamic(c, t, s, rows));
      return push_nones(out, rows, check);
    default:
      // Aggregate functions, unknown types and decimals without a width: no values, and no known
      // end, so nothing may be read after them.
      if (!tail && rows != 0) {
        return Error::protocol(cat("cannot read past a column of type ",
                                   base::excerpt(t.to_string()), " inside ", "a composite column"));
      }
      return push_nones(out, rows, check);
  }
}

// The parsed type, the bytes a column's body is read from and the state its prefix gives.
struct ColumnSource {
  ColumnType type;
  Cursor cursor;
  ColumnState state;
  std::span<const uint8_t> lc_indexes = {};  // a decoded top-level LowCardinality's
};

Result<ColumnSource> column_source(const protocol::ColumnInfo& column, uint64_t rows) {
  Result<ColumnType> parsed = protocol::parse_type(column.type_name);
  if (!parsed) {
    return Error::protocol(
        cat("bad type '", base::excerpt(column.type_name), "': ", parsed.error().message()));
  }
  ColumnType type = std::move(parsed).value();
  if (type.kind == TypeKind::LowCardinality && !column.materialized.empty()) {
    ColumnType inner = type.inner();
    return ColumnSource{
        std::move(inner), Cursor{column.materialized.data(), column.materialized.size()}, {}};
  }
  ColumnSource src{std::move(type),
                   Cursor{column.data.data(), column.data.size()},
                   {},
                   column.lc_indexes.span()};
  // A column with a Variant or Dynamic in it starts with the prefix of its whole type tree. A
  // Variant or Dynamic column itself gives no values and is not read.
  const bool bare = src.type.kind == TypeKind::Variant || src.type.kind == TypeKind::Dynamic;
  if (rows != 0 && !bare && protocol::keeps_state_prefix(src.type)) {
    Result<protocol::KeptPrefix> prefix = protocol::read_kept_prefix(
        std::span<const uint8_t>(column.data.data(), column.data.size()), src.type);
    if (!prefix.ok()) {
      return prefix.error().kind() == base::ErrorKind::Io ? eof_error() : prefix.error();
    }
    src.cursor.pos = prefix->length;
    src.state = std::move(prefix->state);
  }
  return src;
}

Status decode_column(const ModuleState& st, ColumnSource& src, uint64_t rows, PyVec& out,
                     SignalCheck& check) {
  if (!src.lc_indexes.empty()) {
    TW_ASSIGN_OR_RETURN(bool shared,
                        decode_shared_keys(src.cursor, src.type, src.lc_indexes, rows, out, check));
    if (shared) return {};
  }
  return decode(st, src.cursor, src.type, src.state, rows, true, out, check);
}

}  // namespace

Result<PyVec> column_to_py_list_typed(const ModuleState& st, const protocol::ColumnInfo& column,
                                      uint64_t rows, SignalCheck& check) {
  TW_ASSIGN_OR_RETURN(ColumnSource src, column_source(column, rows));
  PyVec out;
  TW_TRY(decode_column(st, src, rows, out, check));
  return out;
}

Status column_into_list(const ModuleState& st, const protocol::ColumnInfo& column, uint64_t rows,
                        PyObject* list, Py_ssize_t at, SignalCheck& check) {
  TW_ASSIGN_OR_RETURN(ColumnSource src, column_source(column, rows));
  if (is_fixed(src.type)) {
    const ColumnType& t = src.type;
    TW_ASSIGN_OR_RETURN(
        uint64_t len,
        checked_len(rows, t.kind == TypeKind::FixedString ? t.length : scalar_width(t)));
    TW_ASSIGN_OR_RETURN(const uint8_t* p, parse_exact(src.cursor, len));
    ListSink sink{list, at};
    return fill_fixed(st, t, p, rows, sink, check);
  }
  PyVec out;
  TW_TRY(decode_column(st, src, rows, out, check));
  out.move_into(list, at);
  return {};
}

Result<PyRef> column_to_py_list_object_typed(const ModuleState& st,
                                             const protocol::ColumnInfo& column, uint64_t rows,
                                             SignalCheck& check) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!list) return py_protocol_err();
  TW_TRY(column_into_list(st, column, rows, list.get(), 0, check));
  return list;
}

}  // namespace tarnwick::binding::conversion
