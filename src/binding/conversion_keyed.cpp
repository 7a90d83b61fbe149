// LowCardinality columns converted by dictionary index: the rows of one index hold the same bytes,
// so they share the object that the index's first row makes.
#include <algorithm>
#include <vector>

#include "binding/conversion_cursor.h"

namespace tarnwick::binding::conversion {

using base::Result;
using base::Status;
using protocol::TypeKind;

namespace {

// Runs f(Index{}) with the unsigned type of a `width`-byte index (1, 2, 4 or 8).
template <class F>
Result<bool> by_index_width(uint64_t width, F&& f) {
  switch (width) {
    case 1:
      return f(uint8_t{});
    case 2:
      return f(uint16_t{});
    case 4:
      return f(uint32_t{});
    default:
      return f(uint64_t{});
  }
}

}  // namespace

// A NULL row's bytes (key 0's) are still made into an object once, as the value by value
// conversion makes them. The table has a slot per index up to the largest, so a column whose
// largest index passes its row count is left to the value by value conversion.
Result<bool> decode_shared_keys(Cursor& c, const protocol::ColumnType& type,
                                std::span<const uint8_t> indexes, uint64_t rows, PyVec& out,
                                SignalCheck& check) {
  const protocol::ColumnType& inner = type.inner();
  const bool nullable = inner.kind == TypeKind::Nullable;
  const uint64_t width = rows == 0 ? 0 : indexes.size() / rows;
  if ((nullable ? inner.inner() : inner).kind != TypeKind::String ||
      width * rows != indexes.size() || (width != 1 && width != 2 && width != 4 && width != 8)) {
    return false;
  }
  return by_index_width(width, [&](auto zero) -> Result<bool> {
    using Index = decltype(zero);
    auto index = [&](uint64_t i) -> uint64_t { return load<Index>(indexes.data() + i * width); };
    uint64_t top = 0;
    for (uint64_t i = 0; i < rows; ++i) top = std::max(top, index(i));
    if (top > rows) return false;
    const uint8_t* nulls = nullptr;
    if (nullable) {
      TW_ASSIGN_OR_RETURN(nulls, parse_exact(c, rows));
    }
    std::vector<PyRef> made(static_cast<size_t>(top + 1));
    out.reserve(out.size() + rows);
    TW_TRY(check.each(rows, [&](uint64_t i) -> Status {
      PyRef& object = made[index(i)];
      if (object) {
        TW_ASSIGN_OR_RETURN(uint64_t n, read_length(c));
        TW_TRY(parse_exact(c, n));
      } else {
        TW_ASSIGN_OR_RETURN(PyObject * s, next_str(c));
        object = PyRef::steal(s);
      }
      out.push(Py_NewRef(nulls != nullptr && nulls[i] != 0 ? Py_None : object.get()));
      return {};
    }));
    return true;
  });
}

}  // namespace tarnwick::binding::conversion
