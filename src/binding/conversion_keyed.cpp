// LowCardinality columns converted by dictionary index: the rows of one index hold the same bytes,
// so they share the object that the index's first row makes.
#include <algorithm>

#include "binding/conversion_cursor.h"

namespace tarnwick::binding::conversion {

using base::Result;
using base::Status;
using protocol::TypeKind;

KeyObjects::KeyObjects(std::span<const uint8_t> indexes, uint64_t rows) {
  const uint64_t width = rows == 0 ? 0 : indexes.size() / rows;
  if (width * rows != indexes.size() || (width != 1 && width != 2 && width != 4 && width != 8)) {
    return;
  }
  indexes_ = indexes;
  width_ = static_cast<unsigned>(width);
  uint64_t top = 0;
  for (uint64_t i = 0; i < rows; ++i) top = std::max(top, index(i));
  if (top > rows) {
    width_ = 0;
    return;
  }
  made_.resize(static_cast<size_t>(top + 1));
}

// The reader expanded the body from the dictionary, so only the first row of each index is read:
// the cursor steps over the rows before it and stops after the last one read. A NULL row's bytes
// (key 0's) are still made into an object once, as the value by value conversion makes them.
Result<bool> decode_shared_keys(Cursor& c, const protocol::ColumnType& type,
                                std::span<const uint8_t> indexes, uint64_t rows, PyVec& out,
                                SignalCheck& check) {
  const protocol::ColumnType& inner = type.inner();
  const bool nullable = inner.kind == TypeKind::Nullable;
  if ((nullable ? inner.inner() : inner).kind != TypeKind::String) return false;
  KeyObjects keys(indexes, rows);
  if (!keys.usable()) return false;
  const uint8_t* nulls = nullptr;
  if (nullable) {
    TW_ASSIGN_OR_RETURN(nulls, parse_exact(c, rows));
  }
  out.reserve(out.size() + rows);
  uint64_t at = 0;  // the row whose value the cursor stands at
  TW_TRY(check.each(rows, [&](uint64_t i) -> Status {
    PyRef& object = keys.slot(i);
    if (!object) {
      for (; at < i; ++at) {
        TW_ASSIGN_OR_RETURN(uint64_t n, read_length(c));
        TW_TRY(parse_exact(c, n));
      }
      TW_ASSIGN_OR_RETURN(PyObject * s, next_str(c));
      object = PyRef::steal(s);
      ++at;
    }
    out.push(Py_NewRef(nulls != nullptr && nulls[i] != 0 ? Py_None : object.get()));
    return {};
  }));
  return true;
}

}  // namespace tarnwick::binding::conversion
