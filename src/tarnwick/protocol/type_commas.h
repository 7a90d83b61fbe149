// The commas of a type text by parenthesis depth: the walk that finds them, and the index that
// lets the type grammar split long texts in time linear in their length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tarnwick/protocol/type_parser.h"

namespace tarnwick::protocol {

// Walks `text` keeping its parenthesis depth (0 at the start; "(" adds one and ")" takes one
// away, quotes are not special) and calls visit(depth, index) for each comma, until a visit
// returns false.
template <class Visit>
void for_each_comma(std::string_view text, Visit&& visit) {
  // Wider than any parenthesis count a text can hold, so it cannot overflow.
  int64_t depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '(':
        ++depth;
        break;
      case ')':
        --depth;
        break;
      case ',':
        if (!visit(depth, i)) return;
        break;
      default:
        break;
    }
  }
}

// Where the commas of a type text lie, by parenthesis depth (the count of "(" minus ")" before
// a character), so that every level of the grammar finds the commas splitting its arguments
// without walking the text of the levels inside them again. A type at nesting level L (counted
// from the start of the parse) has its arguments at depth L + 1, and the commas that split them
// are exactly the ones at that depth: "(" and ")" change the depth by one, so a stretch of text
// that dips below or rises above it holds no such comma.
class CommaIndex {
 public:
  // The first pass over `text`: counts its commas at depths 1 to `max_depth` (kMaxTypeDepth + 1
  // at most) and returns the bytes that holding them takes. Text positions are 32 bits wide, so
  // the text must be shorter than 2^32 bytes.
  uint64_t plan(std::string_view text, uint32_t max_depth);
  // The second pass: takes the bytes plan() named and records where the commas lie.
  void fill(std::string_view text);

  // The first comma at `depth` (at least 1) in [from, to), as an index into the text.
  std::optional<size_t> next(uint32_t depth, size_t from, size_t to);

 private:
  // One allocation: where each depth's run of commas ends (depths 0 to deepest_), each depth's
  // cursor, then the comma indices, each depth's run in text order from end(d - 1) to end(d).
  std::vector<uint32_t> slots_;
  std::array<uint32_t, kMaxTypeDepth + 2> counts_{};
  uint32_t max_depth_ = 0;
  size_t deepest_ = 0;  // the deepest depth holding a comma
  size_t total_ = 0;
  uint32_t& end(size_t d) { return slots_[d]; }
  // Per depth, where its last lookup stopped. The grammar asks for one depth's commas in text
  // order (types at one nesting level do not overlap and are parsed left to right), so a parse
  // steps over each comma once.
  uint32_t& cursor(size_t d) { return slots_[deepest_ + 1 + d]; }
  uint32_t& comma(size_t k) { return slots_[2 * (deepest_ + 1) + k]; }
};

}  // namespace tarnwick::protocol
