// Column numbering by support, and the layout block size.
#include "distances/layout.h"

#include <bit>
#include <cassert>

namespace brantoveil::distances {

ColumnLayout assign_columns(std::span<const std::uint32_t> supports, std::size_t n,
                            Eligibility eligible, std::uint32_t min_dense_support) {
  const auto is_eligible = [&](std::uint32_t c) {
    return c >= eligible.low && c < eligible.high && c <= n;
  };
  // Counting sort by descending support: start[c] = eligible splits with support above c.
  std::vector<std::uint32_t> start(n + 1, 0);
  for (const std::uint32_t c : supports) {
    if (is_eligible(c)) ++start[c];
  }
  std::uint32_t above = 0;
  std::uint32_t dense = 0;
  for (std::size_t c = n + 1; c-- > 0;) {
    const std::uint32_t count = start[c];
    start[c] = above;
    above += count;
    if (c >= min_dense_support) dense += count;
  }
  ColumnLayout layout;
  layout.total = above;
  layout.dense = dense;
  layout.columns.resize(supports.size());
  for (std::size_t id = 0; id < supports.size(); ++id) {
    const std::uint32_t c = supports[id];
    layout.columns[id] = is_eligible(c) ? start[c]++ : NO_COLUMN;
  }
  return layout;
}

std::uint32_t block_shift_for(std::size_t threads) {
  const std::size_t trees = 4 * (threads == 0 ? 1 : threads);
  return static_cast<std::uint32_t>(std::bit_width(trees) - 1);
}

}  // namespace brantoveil::distances
