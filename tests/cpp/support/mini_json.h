// A small JSON reader for test manifests: objects, arrays, strings (with \uXXXX escapes, UTF-8
// out), numbers kept as their text, true, false and null. Malformed input fails the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::testing {

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  std::string text;  // String: the decoded text; Number, Bool: the literal
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& key) const { return fields.at(key); }
  const Json& operator[](size_t i) const { return items.at(i); }
  size_t size() const { return items.size(); }
  uint64_t as_u64() const { return std::stoull(text); }

  static Json parse(std::string_view input) {
    size_t pos = 0;
    Json out = parse_value(input, pos);
    skip_space(input, pos);
    EXPECT_EQ(pos, input.size()) << "trailing JSON text";
    return out;
  }

 private:
  static void skip_space(std::string_view s, size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t'))
      ++pos;
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  static std::string parse_string(std::string_view s, size_t& pos) {
    std::string out;
    ++pos;  // opening quote
    while (pos < s.size() && s[pos] != '"') {
      char c = s[pos++];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      char e = s.at(pos++);
      switch (e) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'u': {
          uint32_t cp = std::stoul(std::string(s.substr(pos, 4)), nullptr, 16);
          pos += 4;
          if (cp >= 0xD800 && cp < 0xDC00 && s.substr(pos, 2) == "\\u") {
            uint32_t low = std::stoul(std::string(s.substr(pos + 2, 4)), nullptr, 16);
            pos += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          out.push_back(e);
          break;  // \" \\ \/
      }
    }
    EXPECT_LT(pos, s.size()) << "unterminated JSON string";
    ++pos;
    return out;
  }

  static Json parse_value(std::string_view s, size_t& pos) {
    skip_space(s, pos);
    Json out;
    if (pos >= s.size()) {
      ADD_FAILURE() << "JSON ends early";
      return out;
    }
    char c = s[pos];
    if (c == '{' || c == '[') {
      const bool object = c == '{';
      out.kind = object ? Kind::Object : Kind::Array;
      ++pos;
      skip_space(s, pos);
      if (pos < s.size() && s[pos] == (object ? '}' : ']')) {
        ++pos;
        return out;
      }
      while (pos < s.size()) {
        if (object) {
          skip_space(s, pos);
          std::string key = parse_string(s, pos);
          skip_space(s, pos);
          ++pos;  // colon
          out.fields[key] = parse_value(s, pos);
        } else {
          out.items.push_back(parse_value(s, pos));
        }
        skip_space(s, pos);
        if (pos < s.size() && s[pos] == ',') {
          ++pos;
          continue;
        }
        ++pos;  // closing bracket
        break;
      }
      return out;
    }
    if (c == '"') {
      out.kind = Kind::String;
      out.text = parse_string(s, pos);
      return out;
    }
    size_t start = pos;
    while (pos < s.size() && s[pos] != ',' && s[pos] != ']' && s[pos] != '}' && s[pos] != ' ' &&
           s[pos] != '\n')
      ++pos;
    out.text = std::string(s.substr(start, pos - start));
    out.kind = out.text == "null"                            ? Kind::Null
               : (out.text == "true" || out.text == "false") ? Kind::Bool
                                                             : Kind::Number;
    return out;
  }
};

}  // namespace tarnwick::testing
