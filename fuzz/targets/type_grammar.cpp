// The column type grammar over arbitrary text. A parsed type prints to a text that parses back to
// a tree printing the same text, and to the same tree unless it holds a kind whose printed form
// drops its arguments (Enum8, Enum16 and the two aggregate-function kinds print bare names, which
// parse as Other). The block reader's fast path must agree with the grammar, and the Debug form
// and widths must be computable for every tree.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::fuzz {

namespace {

bool prints_lossy(const protocol::ColumnType& type) {
  using protocol::TypeKind;
  switch (type.kind) {
    case TypeKind::Enum8:
    case TypeKind::Enum16:
    case TypeKind::AggregateFunction:
    case TypeKind::SimpleAggregateFunction:
      return true;
    default:
      for (const protocol::ColumnType& nested : type.nested) {
        if (prints_lossy(nested)) return true;
      }
      return false;
  }
}

}  // namespace

int fuzz_type_grammar(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = protocol::parse_type(text);
  auto fast = protocol::parse_column_type(text);
  TW_FUZZ_CHECK(parsed.ok() == fast.ok());
  if (!parsed.ok()) return 0;
  TW_FUZZ_CHECK(*parsed == *fast);

  const std::string printed = parsed->to_string();
  auto again = protocol::parse_type(printed);
  TW_FUZZ_CHECK(again.ok());
  TW_FUZZ_CHECK(again->to_string() == printed);
  TW_FUZZ_CHECK((*again == *parsed) != prints_lossy(*parsed));

  const std::string debug = parsed->debug_string();
  TW_FUZZ_CHECK(!debug.empty());
  (void)parsed->fixed_width();
  return 0;
}

}  // namespace tarnwick::fuzz
