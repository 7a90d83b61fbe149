// Type texts read for what they mean rather than how they are spelled: the member list of an
// Enum8 or Enum16 as the server writes it ("Enum8('a, b' = 1, 'it\'s' = 2)": single-quoted names
// with backslash escapes, " = ", the code, ", " between members), and the comparison of two type
// texts that ignores spacing outside quotes and the order of Enum members.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/result.h"

namespace tarnwick::column {

struct EnumMember {
  std::string name;  // its escapes resolved
  int32_t code = 0;

  bool operator==(const EnumMember&) const = default;
};

// The members of an Enum8 or Enum16 type text, sorted by code. Spacing around the quoted names,
// "=", "," and the parentheses is free; a name may be quoted with backslash escapes or a doubled
// quote, read as the server reads them (\N stands for nothing, \xZZ is the byte 0xEF). Fails with
// Error::protocol on any other text, an empty list, a code outside the type's width or listed
// twice, a name listed twice, a \x escape running across the end of a name, and a list longer
// than the width allows (256 or 65536 members), which is refused before the next member is kept.
base::Result<std::vector<EnumMember>> read_enum_members(std::string_view type_text);

// The reason a refusal of read_enum_members gives ("the name 'a' is listed twice"), without the
// words every such refusal begins with.
std::string_view enum_refusal_reason(const base::Error& refusal);

// Whether two type texts name the same type: equal once the spacing outside quotes is dropped
// (where it does not separate two words), quoted texts compared by their value, and the members
// of each Enum8 and Enum16 compared as a set of names and codes. A text that cannot be read that
// way (an unclosed quote, an Enum member list read_enum_members refuses) equals only itself.
// Aliases are different types: "Decimal32(2)" is not "Decimal(9, 2)".
bool same_type_text(std::string_view a, std::string_view b);

}  // namespace tarnwick::column
