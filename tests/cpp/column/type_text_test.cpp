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

// The type as 18.16 prints it in DESCRIBE TABLE: the members sorted by code, each name quoted
// with only the quote, the backslash, NUL, \b, \f, \n, \r and \t escaped; or the refusal.
std::string printed(std::string_view text) {
  base::Result<std::vector<EnumMember>> members = read_enum_members(text);
  if (!members) return members.error().message();
  std::string out(text.substr(0, text.find('(')));
  for (const EnumMember& m : *members) {
    out += &m == &members->front() ? "('" : ", '";
    for (const char c : m.name) {
      static constexpr std::string_view kFrom("'\\\0\b\f\n\r\t", 8), kTo("'\\0bfnrt");
      const size_t k = kFrom.find(c);
      out += k == std::string_view::npos ? std::string(1, c) : std::string{'\\', kTo[k]};
    }
    out += base::cat("' = ", m.code);
  }
  return out + ")";
}

TEST(TypeTextTest, EscapesReadAsTheServerReadsThem) {
  // Each expectation is what 18.16's DESCRIBE TABLE printed for a table created with the type,
  // or, where 18.16 refused the type, the reader's refusal. \N stands for nothing, \x takes the
  // next two bytes whatever they are (a byte that is no hex digit counting as -1, so \xZZ is
  // 0xEF), \a \b \e \f \n \r \t \v \0 are control bytes and any other escaped byte is itself.
  const std::string kAcross =
      "cannot read the Enum members: a \\x escape runs across the end of a name";
  const std::pair<std::string, std::string> cases[] = {
      {"Enum8('n\\Nm' = 1)", "Enum8('nm' = 1)"},
      {"Enum8('\\N' = 1)", "Enum8('' = 1)"},
      {"Enum16('n\\Nm' = -1000, 'nNm' = 1000)", "Enum16('nm' = -1000, 'nNm' = 1000)"},
      {"Enum8('\\x41' = 1)", "Enum8('A' = 1)"},
      {"Enum8('a\\x4b\\x4B' = 1)", "Enum8('aKK' = 1)"},
      {"Enum8('\\xZZ' = 1)", "Enum8('\xEF' = 1)"},
      {"Enum8('\\x4g' = 1)", "Enum8('?' = 1)"},
      {"Enum8('\\x4\\x41' = 1)", "Enum8('?x41' = 1)"},
      {"Enum8('\\x\xC3\xA9' = 1)", "Enum8('\xEF' = 1)"},
      {"Enum8('\\x\\\\' = 1, 'b\\x\\'' = 2)", "Enum8('\xEF' = 1, 'b\xEF' = 2)"},
      {"Enum8('a\\x'' = 1, ' = 2)", "Enum8('a\xEF = 1, ' = 2)"},
      {"Enum8('\\0' = 1, '\\01' = 2, 'a\\x00' = 3)", "Enum8('\\0' = 1, '\\01' = 2, 'a\\0' = 3)"},
      {"Enum8('\\a\\b\\e\\f' = 1, '\\n\\r\\t\\v' = 2)",
       "Enum8('\x07\\b\x1B\\f' = 1, '\\n\\r\\t\x0B' = 2)"},
      {"Enum8('\\\\' = 1, '\\'' = 2, 'a''' = 3)", "Enum8('\\\\' = 1, '\\'' = 2, 'a\\'' = 3)"},
      {"Enum8('\\q\\z\\\"\\1\\u0041\\X41' = 1)", "Enum8('qz\"1u0041X41' = 1)"},
      {"Enum8('\\\xC3\xA9\\\t\\ ' = 1)", "Enum8('\xC3\xA9\\t ' = 1)"},
      {"Enum8('\xC3\xA9' = 1, '\xC3' = 2, '\\xc3\\xa9\\xff' = 3)",
       "Enum8('\xC3\xA9' = 1, '\xC3' = 2, '\xC3\xA9\xFF' = 3)"},
      // Refused by 18.16 too.
      {"Enum8('\\x4' = 1)", kAcross},
      {"Enum8('\\x' = 1)", kAcross},
      {"Enum8('\\x4\\'' = 1)", kAcross},
      {"Enum8('\\x4\\\\' = 1)", kAcross},
      {"Enum8('a\\x'b' = 1)", kAcross},
      {"Enum8('a\\' = 1)", "cannot read the Enum members: a name is not closed"},
      {"Enum8('a\\\\\\' = 1)", "cannot read the Enum members: a name is not closed"},
      {"Enum8('\\N' = 1, '' = 2)", "cannot read the Enum members: the name '' is listed twice"},
      {"Enum8('\\xZZ' = 1, '\\xef' = 2)",
       "cannot read the Enum members: the name '\xEF' is listed twice"},
      {"Enum8('a' = 1, 'a' = 2)", "cannot read the Enum members: the name 'a' is listed twice"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(printed(text), want) << text;
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
