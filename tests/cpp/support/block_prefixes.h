// Every strict prefix of a block body that the readers accept is incomplete: the keeping and the
// discarding readers fail with the source's end-of-input error and the buffered parser reports it
// incomplete without moving. Small blocks are cut everywhere (the readers fed one byte per refill);
// past 64 KiB, the first and last 4 KiB and every 65521st prefix in between.
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "support/sources.h"
#include "tarnwick/protocol/block_discarder.h"
#include "tarnwick/protocol/block_parser.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::testing {

inline void check_prefixes(const std::vector<uint8_t>& wire, const std::string& what,
                           const protocol::BlockLayout& layout, bool discards) {
  const size_t n = wire.size();
  const bool large = n > 65536;
  for (size_t len = 0; len < n; ++len) {
    if (large && len >= 4096 && len + 4096 < n && len % 65521 != 0) continue;
    const std::span<const uint8_t> prefix = std::span(wire).first(len);
    const bool slowly = !large || len < 4096;
    auto eof = [&](const auto& r) {
      ASSERT_FALSE(r.ok()) << what << " prefix " << len;
      ASSERT_TRUE(r.error().is_io(base::IoKind::UnexpectedEof))
          << what << " prefix " << len << ": " << r.error().to_string();
    };
    {
      OneByteSource slow(prefix);
      base::MemorySource whole(prefix);
      eof(protocol::read_block_body(slowly ? static_cast<base::ByteSource&>(slow) : whole, layout));
    }
    if (discards) {
      OneByteSource slow(prefix);
      base::MemorySource whole(prefix);
      eof(protocol::discard_block_body(slowly ? static_cast<base::ByteSource&>(slow) : whole,
                                       layout));
    }
    uint64_t pos = 0;
    auto r = protocol::parse_block_body(prefix, pos, layout);
    ASSERT_FALSE(r.ok()) << what << " prefix " << len;
    ASSERT_TRUE(protocol::is_incomplete(r.error())) << what << " prefix " << len;
    ASSERT_EQ(pos, 0u) << what << " prefix " << len;
  }
}

}  // namespace tarnwick::testing
