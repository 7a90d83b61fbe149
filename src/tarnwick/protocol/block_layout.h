// The layout of Native blocks that a negotiated protocol revision implies (the revisions are named
// in codes.h).
#pragma once

#include <cstdint>

#include "tarnwick/protocol/codes.h"

namespace tarnwick::protocol {

// How the blocks of one connection are laid out. The default is the layout of current servers,
// which is what decoders used without a connection assume unless told otherwise.
struct BlockLayout {
  // A custom-serialization byte (always 0 here) follows each column's type name.
  bool serialization_flag = true;
  // A LowCardinality of no rows nested in a column that has rows still has its body.
  bool empty_low_cardinality_body = false;

  static constexpr BlockLayout for_revision(uint64_t revision) {
    return BlockLayout{revision >= kRevisionWithCustomSerialization,
                       revision <= kLastRevisionWithEmptyLowCardinalityBody};
  }
};

}  // namespace tarnwick::protocol
