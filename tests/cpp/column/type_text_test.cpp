#include "tarnwick/column/type_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/base/format.h"

namespace tarnwick::column {
namespace {

// The members as "name=code" texts in the reader's order, or the refusal's message.
std::string read(std::string_view text) {
  base::Result<std::vector<EnumMember>> members = read_enum_members(text);
  if (!members) return members.error().message();
  std::string out;
  for (const EnumMember& m : *members)
    out += base::cat(out.empty() ? "" : " ", m.name, "=", m.code);
  return out;
}

TEST(TypeTextTest, ReadEnumMembers) {
  const std::pair<std::string, std::string> cases[] = {
      // As 18.16 prints them (sorted by code), escapes resolved.
      {"Enum8('q\\\\z\\n' = -3, 'a, b' = 1, 'it\\'s (x)' = 2)", "q\\z\n=-3 a, b=1 it's (x)=2"},
      {"Enum16('b' = 1000, 'a' = -32768, 'c' = 32767)", "a=-32768 b=1000 c=32767"},
      {"  Enum8 ( 'a'=1 ,'b'  =  -2 )  ", "b=-2 a=1"},
      {"Enum8('=' = 1, ')' = 2, '' = 3, 'a''b' = 4, '\\x41\\t\\0' = 5)",
       std::string("==1 )=2 =3 a'b=4 A\t") + '\0' + "=5"},
      {"Enum8('a' = 127, 'b' = -128)", "b=-128 a=127"},
      {"Enum8('a' = 128)", "cannot read the Enum members: the code of 'a' is out of range"},
      {"Enum8('a' = -129)", "cannot read the Enum members: the code of 'a' is out of range"},
      {"Enum16('a' = 99999999999999999999999)",
       "cannot read the Enum members: the code of 'a' is out of range"},
      {"Enum8('a' = 1, 'b' = 1)", "cannot read the Enum members: the code 1 is listed twice"},
      {"Enum8('a', 'b')", "cannot read the Enum members: no '=' after 'a'"},
      {"Enum8('a' = )", "cannot read the Enum members: no code after 'a'"},
      {"Enum8('a' = 1,)", "cannot read the Enum members: expected a quoted name"},
      {"Enum8()", "cannot read the Enum members: expected a quoted name"},
      {"Enum8(a = 1)", "cannot read the Enum members: expected a quoted name"},
      {"Enum8('a) = 1)", "cannot read the Enum members: a name is not closed"},
      {"Enum8('a' = 1", "cannot read the Enum members: expected ',' or ')' after a member"},
      {"Enum8('a' = 1 'b' = 2)",
       "cannot read the Enum members: expected ',' or ')' after a member"},
      {"Enum8('a' = 1) x", "cannot read the Enum members: text after the closing parenthesis"},
      {"Enum('a' = 1)", "cannot read the Enum members: not an Enum8 or Enum16 type"},
      {"Nullable(Enum8('a' = 1))", "cannot read the Enum members: not an Enum8 or Enum16 type"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(read(text), want) << text;
}

TEST(TypeTextTest, MemberCountIsBoundedByTheCodeWidth) {
  // Every code of the width once is the longest list; one member more is refused as it is met,
  // before it is kept, whatever its code.
  for (const int bits : {8, 16}) {
    const int count = 1 << bits;
    std::string text = base::cat("Enum", bits, "(");
    for (int i = 0; i < count; ++i) {
      text += base::cat(i == 0 ? "" : ", ", "'m", i, "' = ", i - count / 2);
    }
    base::Result<std::vector<EnumMember>> all = read_enum_members(text + ")");
    ASSERT_TRUE(all.ok()) << all.error().message();
    EXPECT_EQ(all->size(), static_cast<size_t>(count));
    EXPECT_EQ(all->front(), (EnumMember{base::cat("m0"), -count / 2}));
    EXPECT_EQ(read(text + ", 'x' = 0)"),
              base::cat("cannot read the Enum members: more than ", count, " members"));
  }
}

}  // namespace
}  // namespace tarnwick::column
