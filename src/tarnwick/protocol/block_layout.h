// The protocol revisions at which the wire rules of blocks and queries change, and the block layout
// that a negotiated revision implies. Every revision test that concerns the Native block layout or
// the settings block is made with these names.
#pragma once

#include <cstdint>

namespace tarnwick::protocol {

// From this revision on, settings travel as strings (name, flags, value); older servers read each
// setting in a binary form of its own type.
inline constexpr uint64_t kRevisionWithSettingsAsStrings = 54429;
// From this revision on, every column record carries a custom-serialization byte after its type.
inline constexpr uint64_t kRevisionWithCustomSerialization = 54454;
// Up to this revision, a LowCardinality nested in an Array, Map or Tuple has a body (flags, key
// count, an empty dictionary and an index count of 0) even when it holds no rows.
inline constexpr uint64_t kLastRevisionWithEmptyLowCardinalityBody = 54412;

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
