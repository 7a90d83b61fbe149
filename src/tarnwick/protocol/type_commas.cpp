#include "tarnwick/protocol/type_commas.h"

#include <algorithm>
#include <cassert>
#include <limits>

namespace tarnwick::protocol {

namespace {

// Calls visit(depth, index) for each comma of `text` at depths 1 to `max_depth`.
template <class Visit>
void for_each_indexed_comma(std::string_view text, uint32_t max_depth, Visit&& visit) {
  for_each_comma(text, [&](int64_t depth, size_t i) {
    if (depth >= 1 && depth <= max_depth) visit(static_cast<size_t>(depth), i);
    return true;
  });
}

}  // namespace

uint64_t CommaIndex::plan(std::string_view text, uint32_t max_depth) {
  assert(text.size() <= std::numeric_limits<uint32_t>::max());
  max_depth_ = std::min(max_depth, kMaxTypeDepth + 1);
  for_each_indexed_comma(text, max_depth_, [&](size_t d, size_t) {
    ++counts_[d];
    ++total_;
    deepest_ = std::max(deepest_, d);
  });
  return (2 * (deepest_ + 1) + total_) * sizeof(uint32_t);
}

void CommaIndex::fill(std::string_view text) {
  slots_.resize(2 * (deepest_ + 1) + total_);
  for (size_t d = 1; d <= deepest_; ++d) {
    cursor(d) = end(d - 1);
    end(d) = end(d - 1) + counts_[d];
  }
  for_each_indexed_comma(
      text, max_depth_, [&](size_t d, size_t i) { comma(cursor(d)++) = static_cast<uint32_t>(i); });
  for (size_t d = 1; d <= deepest_; ++d) cursor(d) = end(d - 1);
}

std::optional<size_t> CommaIndex::next(uint32_t depth, size_t from, size_t to) {
  assert(depth >= 1);
  if (depth > deepest_) return std::nullopt;
  size_t k = cursor(depth);
  const size_t first = end(depth - 1), last = end(depth);
  // Out of order (which the grammar never asks): look again from the start of the run.
  if (k > first && comma(k - 1) >= from) k = first;
  while (k < last && comma(k) < from) ++k;
  cursor(depth) = static_cast<uint32_t>(k);
  if (k < last && comma(k) < to) return comma(k);
  return std::nullopt;
}

}  // namespace tarnwick::protocol
