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

// The value of a hex digit, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte a backslash and `c` stand for, or -1 for \N, which stands for nothing: the control
// bytes \a \b \e \f \n \r \t \v and \0, and any other byte for itself (\x is read apart).
int escaped_byte(char c) {
  switch (c) {
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'e':
      return 0x1B;
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    case '0':
      return '\0';
    case 'N':
      return -1;
    default:
      return static_cast<unsigned char>(c);
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

constexpr std::string_view kBadMembers = "cannot read the Enum members: ";

[[gnu::cold]] Error bad_members(std::string_view what) {
  return Error::protocol(cat(kBadMembers, what));
}

enum class Quoted { kOk, kNotClosed, kAcrossTheEnd };

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
  // `out`, read as the server reads it. The text ends at the first quote that is neither doubled
  // nor escaped, a backslash stepping over the byte after it. Its value is then read from the
  // start: a doubled quote stands for one, a backslash and a byte as escaped_byte says, and \x
  // for the two bytes after it as hex digits, whatever they are (one that is not a digit counts
  // as -1, so "\xZZ" is 0xEF). As \x takes three bytes after the backslash where the end was found
  // stepping over one, a \x near the end can make the value's reading run across the end found
  // ("'\x4'", "'\x4\''"): the server refuses such a text, and so does this reader.
  Quoted quoted(std::string& out) {
    const char quote = text[pos++];
    size_t end = pos;
    for (;; ++end) {
      if (end >= text.size()) return Quoted::kNotClosed;
      if (text[end] == '\\') {
        ++end;
      } else if (text[end] == quote) {
        if (end + 1 == text.size() || text[end + 1] != quote) break;
        ++end;
      }
    }
    while (pos < end) {
      const char c = text[pos];
      size_t step = 1;
      if (c == '\\') {
        const bool hex = end - pos > 1 && text[pos + 1] == 'x';
        step = hex ? 4 : 2;
        if (end - pos < step) return Quoted::kAcrossTheEnd;
        const int byte = hex ? hex_value(text[pos + 2]) * 16 + hex_value(text[pos + 3])
                             : escaped_byte(text[pos + 1]);
        if (hex || byte >= 0) out.push_back(static_cast<char>(byte));
      } else if (c == quote) {  // doubled, as the end was found
        step = 2;
        if (end - pos < step || text[pos + 1] != quote) return Quoted::kAcrossTheEnd;
        out.push_back(quote);
      } else {
        out.push_back(c);
      }
      pos += step;
    }
    ++pos;
    return Quoted::kOk;
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
      switch (quoted(member.name)) {
        case Quoted::kOk:
          break;
        case Quoted::kNotClosed:
          return bad_members("a name is not closed");
        case Quoted::kAcrossTheEnd:
          return bad_members("a \\x escape runs across the end of a name");
      }
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
    std::vector<std::string_view> names(out.size());
    std::transform(out.begin(), out.end(), names.begin(),
                   [](const EnumMember& m) { return std::string_view(m.name); });
    std::sort(names.begin(), names.end());
    const auto named_twice = std::adjacent_find(names.begin(), names.end());
    if (named_twice != names.end()) {
      return bad_members(cat("the name '", base::excerpt(*named_twice), "' is listed twice"));
    }
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
      if (r.quoted(value) != Quoted::kOk) return false;
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

std::string_view enum_refusal_reason(const base::Error& refusal) {
  std::string_view reason = refusal.message();
  if (reason.starts_with(kBadMembers)) reason.remove_prefix(kBadMembers.size());
  return reason;
}

bool same_type_text(std::string_view a, std::string_view b) {
  if (a == b) return true;
  std::string ca, cb;
  return canonical(a, ca) && canonical(b, cb) && ca == cb;
}

}  // namespace tarnwick::column
