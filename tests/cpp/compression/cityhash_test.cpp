#include "tarnwick/compression/cityhash.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/golden_blocks.h"

namespace tarnwick::compression {
namespace {

// Values of the 1.0.2 implementation shipped in the server's own library (cityhash128.txt): the
// pattern i -> (i*7+3) & 0xFF at every length from 0 to 300 (each path of the unseeded hash and
// each tail length of the bulk loop) and a few large ones, some texts, and the bytes each captured
// compressed frame's checksum covers.
TEST(CityHash128Test, MatchesTheServerLibrary) {
  std::istringstream in(testing::slurp_vector("cityhash128.txt"));
  std::vector<uint8_t> pattern;
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind, low, high;
    std::string data;
    fields >> kind;
    if (kind == "pattern") {
      size_t len;
      fields >> len;
      for (size_t i = pattern.size(); i < len; ++i)
        pattern.push_back(static_cast<uint8_t>(i * 7 + 3));
      data.assign(pattern.begin(), pattern.begin() + len);
    } else if (kind == "text") {
      fields >> data;
    } else {
      std::string file;
      size_t offset, len;
      ASSERT_EQ(kind, "frame");
      fields >> file >> offset >> len;
      data = testing::slurp_vector(file).substr(offset + 16, len);
      ASSERT_EQ(data.size(), len) << line;
    }
    ASSERT_TRUE(fields >> low >> high) << line;
    Hash128 got = city_hash128(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_EQ(got, (Hash128{std::stoull(low, nullptr, 16), std::stoull(high, nullptr, 16)}))
        << line;
    ++checked;
  }
  EXPECT_EQ(checked, 304 + 4 + 16);
}

}  // namespace
}  // namespace tarnwick::compression
