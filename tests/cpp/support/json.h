// A small JSON reader for test manifests: objects, arrays, strings (with \u escapes and surrogate
// pairs), numbers kept as their text, true, false and null. Malformed input fails the test.
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
  std::string text;  // String: the decoded text; Number: the literal; Bool: "true"/"false"
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](std::string_view key) const {
    auto it = fields.find(std::string(key));
    EXPECT_NE(it, fields.end()) << key;
    static const Json kNull;
    return it == fields.end() ? kNull : it->second;
  }
  const Json& operator[](size_t i) const { return items.at(i); }
  size_t size() const { return items.size(); }
  uint64_t u64() const { return std::stoull(text); }

  static Json parse(std::string_view in) {
    size_t pos = 0;
    Json j = value(in, pos);
    skip_space(in, pos);
    EXPECT_EQ(pos, in.size()) << "trailing bytes in JSON";
    return j;
  }

 private:
  static void skip_space(std::string_view in, size_t& pos) {
    while (pos < in.size() &&
           (in[pos] == ' ' || in[pos] == '\n' || in[pos] == '\r' || in[pos] == '\t')) {
      ++pos;
    }
  }
  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  static uint32_t hex4(std::string_view in, size_t& pos) {
    uint32_t v = static_cast<uint32_t>(std::stoul(std::string(in.substr(pos, 4)), nullptr, 16));
    pos += 4;
    return v;
  }
  static std::string string(std::string_view in, size_t& pos) {
    std::string out;
    ++pos;  // opening quote
    while (pos < in.size() && in[pos] != '"') {
      char c = in[pos++];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      char e = in[pos++];
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
          uint32_t cp = hex4(in, pos);
          if (cp >= 0xD800 && cp < 0xDC00 && in.substr(pos, 2) == "\\u") {
            pos += 2;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(in, pos) - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          out.push_back(e);  // \" \\ \/
      }
    }
    ++pos;  // closing quote
    return out;
  }
  static Json value(std::string_view in, size_t& pos) {
    skip_space(in, pos);
    Json j;
    if (pos >= in.size()) {
      ADD_FAILURE() << "JSON ends early";
      return j;
    }
    char c = in[pos];
    if (c == '{') {
      j.kind = Kind::Object;
      ++pos;
      skip_space(in, pos);
      while (pos < in.size() && in[pos] != '}') {
        skip_space(in, pos);
        std::string key = string(in, pos);
        skip_space(in, pos);
        ++pos;  // ':'
        j.fields[key] = value(in, pos);
        skip_space(in, pos);
        if (in[pos] == ',') ++pos;
        skip_space(in, pos);
      }
      ++pos;
    } else if (c == '[') {
      j.kind = Kind::Array;
      ++pos;
      skip_space(in, pos);
      while (pos < in.size() && in[pos] != ']') {
        j.items.push_back(value(in, pos));
        skip_space(in, pos);
        if (in[pos] == ',') ++pos;
        skip_space(in, pos);
      }
      ++pos;
    } else if (c == '"') {
      j.kind = Kind::String;
      j.text = string(in, pos);
    } else if (in.substr(pos, 4) == "true" || in.substr(pos, 5) == "false") {
      j.kind = Kind::Bool;
      j.text = c == 't' ? "true" : "false";
      pos += j.text.size();
    } else if (in.substr(pos, 4) == "null") {
      pos += 4;
    } else {
      j.kind = Kind::Number;
      size_t start = pos;
      while (pos < in.size() &&
             std::string_view("+-.eE0123456789").find(in[pos]) != std::string_view::npos) {
        ++pos;
      }
      j.text = std::string(in.substr(start, pos - start));
      if (j.text.empty()) {
        ADD_FAILURE() << "bad JSON at " << pos;
        pos = in.size();
      }
    }
    return j;
  }
};

}  // namespace tarnwick::testing
