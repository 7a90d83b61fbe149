// The column type grammar over arbitrary text. A parsed type prints to a text that parses back to
// a tree printing the same text, and to the same tree unless it holds a kind whose printed form
// drops its arguments (Enum8, Enum16 and the two aggregate-function kinds print bare names, which
// parse as Other). The block reader's fast path must agree with the grammar, and the Debug form
// and widths must be computable for every tree. The Enum member reader and the comparison of type
// texts read the same texts.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tarnwick/base/format.h"
#include "tarnwick/column/type_text.h"
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

// The Enum member reader: members sorted by distinct codes, no more than the widest list holds,
// and printed back with quotes escaped they read as the same members and the same type.
void check_enum_members(std::string_view text) {
  TW_FUZZ_CHECK(column::same_type_text(text, text));
  auto members = column::read_enum_members(text);
  if (!members.ok()) return;
  TW_FUZZ_CHECK(!members->empty() && members->size() <= 65536);
  std::string printed = "Enum16(";
  for (size_t i = 0; i < members->size(); ++i) {
    const column::EnumMember& m = (*members)[i];
    TW_FUZZ_CHECK(i == 0 || (*members)[i - 1].code < m.code);
    printed += i == 0 ? "'" : ", '";
    for (char c : m.name) {
      if (c == '\\' || c == '\'') printed += '\\';
      printed += c;
    }
    printed += base::cat("' = ", m.code);
  }
  printed += ")";
  auto again = column::read_enum_members(printed);
  TW_FUZZ_CHECK(again.ok() && *again == *members);
  const bool wide = text.find("Enum16") < text.find('(');
  TW_FUZZ_CHECK(column::same_type_text(printed, text) == wide);
}

}  // namespace

int fuzz_type_grammar(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_enum_members(text);
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
