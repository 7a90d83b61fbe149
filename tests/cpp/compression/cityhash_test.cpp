#include "tarnwick/compression/cityhash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::compression {
namespace {

// Values produced by the 1.0.2 implementation shipped in the server's own library, for the byte
// pattern i -> (i*7+3) & 0xFF: every length from 0 to 300 (the 0-7, 8-15, 16-127 and 128+ paths
// of the unseeded hash and each tail length of the bulk loop) and a few large inputs.
TEST(CityHash128Test, MatchesGoldenValuesOfTheOneZeroSeries) {
  std::ifstream in(TARNWICK_VECTORS_DIR "/cityhash128_golden.txt");
  ASSERT_TRUE(in) << "missing cityhash128_golden.txt";
  std::vector<uint8_t> data;
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    size_t len;
    std::string low_hex, high_hex;
    ASSERT_TRUE(fields >> len >> low_hex >> high_hex) << line;
    if (data.size() < len) {
      size_t old = data.size();
      data.resize(len);
      for (size_t i = old; i < len; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    Hash128 want{std::stoull(low_hex, nullptr, 16), std::stoull(high_hex, nullptr, 16)};
    Hash128 got = city_hash128(data.data(), len);
    char got_text[40];
    std::snprintf(got_text, sizeof got_text, "%016llx %016llx",
                  static_cast<unsigned long long>(got.low),
                  static_cast<unsigned long long>(got.high));
    EXPECT_EQ(got, want) << "length " << len << ": got " << got_text << ", want " << low_hex << " "
                         << high_hex;
    ++checked;
  }
  EXPECT_EQ(checked, 305);
}

}  // namespace
}  // namespace tarnwick::compression
