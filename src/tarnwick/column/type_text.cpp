#include "tarnwick/column/type_text.h"

#include <algorithm>

#include "tarnwick/base/format.h"

namespace tarnwick::column {

using base::cat;
using base::Error;
using base::Result;
using base::Status;

namespace {

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Letters, digits and the underscore; bytes of characters beyond ASCII count as letters.
bool is_word(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The character a backslash escape stands for: the usual control letters, \xHH, and any other
// character for itself. `pos` is at the character after the backslash and moves past the escape.
char unescape(std::string_view text, size_t& pos) {
  const char c = text[pos++];
  switch (c) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'a':
      return '\a';
    case 'v':
      return '\v';
    case '0':
      return '\0';
    case 'x':
      if (pos + 2 <= text.size() && hex_value(text[pos]) >= 0 && hex_value(text[pos + 1]) >= 0) {
        pos += 2;
        return static_cast<char>(hex_value(text[pos - 2]) << 4 | hex_value(text[pos - 1]));
      }
      return c;
    default:
      return c;
  }
}

// A quoted text as the canonical form writes it: the quote and the backslash escaped, every
// other byte as it is.
void append_quoted(std::string& out, char quote, std::string_view value) {
  out.push_back(quote);
  for (char c : value) {
    if (c == quote || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back(quote);
}

[[gnu::cold]] Error bad_members(std::string_view what) {
  return Error::protocol(cat("cannot read the Enum members: ", what));
}

// A cursor over a type text.
struct Reader {
  std::string_view text;
  size_t pos = 0;

  bool at(char c) const { return pos < text.size() && text[pos] == c; }
  // The run of word characters at `pos` (empty where none stands there).
  std::string_view word() {
    const size_t start = pos;
    while (pos < text.size() && is_word(text[pos])) ++pos;
    return text.substr(start, pos - start);
  }
  void skip_space() {
    while (pos < text.size() && is_space(text[pos])) ++pos;
  }
  // Skips spacing, then `c` when it comes next.
  bool eat(char c) {
    skip_space();
    if (!at(c)) return false;
    ++pos;
    return true;
  }

  // The quoted text starting at `pos` (its quote character is text[pos]), escapes resolved, into
  // `out`; false when it is not closed.
  bool quoted(std::string& out) {
    const char quote = text[pos++];
    while (pos < text.size()) {
      const char c = text[pos++];
      if (c == '\\' && pos < text.size()) {
        out.push_back(unescape(text, pos));
      } else if (c == quote && at(quote)) {  // a doubled quote stands for one
        out.push_back(quote);
        ++pos;
      } else if (c == quote) {
        return true;
      } else {
        out.push_back(c);
      }
    }
    return false;
  }

  // An optionally signed decimal code, at most `bound` away from zero.
  Result<int32_t> code(std::string_view member, int64_t bound) {
    skip_space();
    const bool negative = at('-');
    if (negative || at('+')) ++pos;
    const size_t digits = pos;
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
      value = std::min<int64_t>(value * 10 + (text[pos] - '0'), bound + 1);
    }
    if (pos == digits) return bad_members(cat("no code after '", base::excerpt(member), "'"));
    if (negative) value = -value;
    if (value < -bound || value >= bound) {
      return bad_members(cat("the code of '", base::excerpt(member), "' is out of range"));
    }
    return static_cast<int32_t>(value);
  }

  // The members after the opening parenthesis, through the closing one, sorted by code. Enum8
  // and Enum16 hold codes of `bits` bits, so a list of more than 2^bits members repeats a code.
  Status members(unsigned bits, std::vector<EnumMember>& out) {
    const int64_t bound = int64_t{1} << (bits - 1);
    do {
      skip_space();
      if (!at('\'')) return bad_members("expected a quoted name");
      if (out.size() == size_t{1} << bits)
        return bad_members(cat("more than ", 2 * bound, " members"));
      EnumMember member;
      if (!quoted(member.name)) return bad_members("a name is not closed");
      if (!eat('=')) return bad_members(cat("no '=' after '", base::excerpt(member.name), "'"));
      TW_ASSIGN_OR_RETURN(member.code, code(member.name, bound));
      out.push_back(std::move(member));
    } while (eat(','));
    if (!eat(')')) return bad_members("expected ',' or ')' after a member");
    std::sort(out.begin(), out.end(),
              [](const EnumMember& a, const EnumMember& b) { return a.code < b.code; });
    const auto twice = std::adjacent_find(
        out.begin(), out.end(),
        [](const EnumMember& a, const EnumMember& b) { return a.code == b.code; });
    if (twice != out.end()) return bad_members(cat("the code ", twice->code, " is listed twice"));
    return {};
  }
};

// The bits of an Enum's codes by its name, or 0 for any other word.
unsigned enum_bits(std::string_view word) {
  return word == "Enum8" ? 8 : word == "Enum16" ? 16 : 0;
}

// The canonical form of a type text (see same_type_text); false when it cannot be read.
bool canonical(std::string_view text, std::string& out) {
  Reader r{text};
  bool gap = false;  // spacing since the last token
  while (r.pos < text.size()) {
    const char c = text[r.pos];
    if (is_space(c)) {
      gap = true;
      ++r.pos;
      continue;
    }
    if (gap && is_word(c) && !out.empty() && is_word(out.back())) out.push_back(' ');
    gap = false;
    if (c == '\'' || c == '"' || c == '`') {
      std::string value;
      if (!r.quoted(value)) return false;
      append_quoted(out, c, value);
      continue;
    }
    if (!is_word(c)) {
      out.push_back(c);
      ++r.pos;
      continue;
    }
    const std::string_view word = r.word();
    out.append(word);
    const unsigned bits = enum_bits(word);
    const size_t after = r.pos;
    if (bits == 0 || !r.eat('(')) {
      r.pos = after;  // the spacing after the word is read as such
      continue;
    }
    std::vector<EnumMember> members;
    if (!r.members(bits, members).ok()) return false;
    out.push_back('(');
    for (const EnumMember& m : members) {
      if (out.back() != '(') out.push_back(',');
      append_quoted(out, '\'', m.name);
      out.append(cat("=", m.code));
    }
    out.push_back(')');
  }
  return true;
}

}  // namespace

Result<std::vector<EnumMember>> read_enum_members(std::string_view type_text) {
  Reader r{type_text};
  r.skip_space();
  const unsigned bits = enum_bits(r.word());
  if (bits == 0 || !r.eat('(')) return bad_members("not an Enum8 or Enum16 type");
  std::vector<EnumMember> members;
  TW_TRY(r.members(bits, members));
  r.skip_space();
  if (r.pos != type_text.size()) return bad_members("text after the closing parenthesis");
  return members;
}

bool same_type_text(std::string_view a, std::string_view b) {
  if (a == b) return true;
  std::string ca, cb;
  return canonical(a, ca) && canonical(b, cb) && ca == cb;
}

}  // namespace tarnwick::column
