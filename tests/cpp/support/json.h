// A small JSON reader for the test vectors' manifests: objects, arrays, strings (escapes, \u of the
// basic plane), and numbers and literals kept as their text. Malformed input fails the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::testing {

struct Json {
  std::string text;  // a string's decoded text, or a number's or literal's own text
  std::vector<Json> items;
  std::map<std::string, Json, std::less<>> fields;

  const Json& operator[](std::string_view key) const {
    auto it = fields.find(key);
    EXPECT_NE(it, fields.end()) << key;
    static const Json kMissing;
    return it == fields.end() ? kMissing : it->second;
  }
  const Json& operator[](size_t i) const { return items.at(i); }
  size_t size() const { return items.size(); }
  uint64_t u64() const { return std::stoull(text); }

  static Json parse(std::string_view in) {
    size_t pos = 0;
    Json j = value(in, pos);
    EXPECT_EQ(in.find_first_not_of(" \t\r\n", pos), std::string_view::npos) << "trailing JSON";
    return j;
  }

 private:
  static void skip(std::string_view in, size_t& pos) {
    pos = std::min(in.size(), in.find_first_not_of(" \t\r\n", pos));
  }
  static std::string string(std::string_view in, size_t& pos) {
    std::string out;
    for (++pos; pos < in.size() && in[pos] != '"'; ++pos) {
      if (in[pos] != '\\') {
        out.push_back(in[pos]);
        continue;
      }
      char e = in[++pos];
      if (e != 'u') {
        const std::string_view from = "ntrbf", to = "\n\t\r\b\f";
        size_t k = from.find(e);
        out.push_back(k == std::string_view::npos ? e : to[k]);
        continue;
      }
      uint32_t cp =
          static_cast<uint32_t>(std::stoul(std::string(in.substr(pos + 1, 4)), nullptr, 16));
      pos += 4;
      if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
      } else if (cp < 0x800) {
        out += {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
      } else {
        out += {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                static_cast<char>(0x80 | (cp & 0x3F))};
      }
    }
    EXPECT_LT(pos, in.size()) << "unterminated JSON string";
    ++pos;
    return out;
  }
  static Json value(std::string_view in, size_t& pos) {
    skip(in, pos);
    Json j;
    if (pos >= in.size()) {
      ADD_FAILURE() << "JSON ends early";
    } else if (in[pos] == '{' || in[pos] == '[') {
      const char close = in[pos] == '{' ? '}' : ']';
      for (++pos, skip(in, pos); pos < in.size() && in[pos] != close; skip(in, pos)) {
        if (close == '}') {
          std::string key = string(in, pos);
          skip(in, pos);
          ++pos;  // ':'
          j.fields[key] = value(in, pos);
        } else {
          j.items.push_back(value(in, pos));
        }
        skip(in, pos);
        if (pos < in.size() && in[pos] == ',') ++pos;
      }
      ++pos;
    } else if (in[pos] == '"') {
      j.text = string(in, pos);
    } else {
      size_t end = std::min(in.size(), in.find_first_of(",]} \t\r\n", pos));
      j.text = std::string(in.substr(pos, end - pos));
      pos = end;
    }
    return j;
  }
};

}  // namespace tarnwick::testing
