// The captured vectors under tests/vectors, read whole.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::testing {

inline std::string slurp_vector(const std::string& name) {
  std::ifstream f(std::string(TARNWICK_VECTORS_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(f.good()) << name;
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::vector<uint8_t> vector_bytes(const std::string& name) {
  const std::string s = slurp_vector(name);
  return {s.begin(), s.end()};
}

inline std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace tarnwick::testing
