// Column numbering by support, for one call's trees or a whole sample.
#include "distances/layout.h"

#include "distances/boundary.h"

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

SampleColumns sample_columns(const EncodedTrees& sample) {
  const std::size_t n = sample.size();
  return sample_columns_split(sample, min_dense_support_rf(n),
                              sample.has_lengths ? min_dense_support_weighted(n) : 0);
}

SampleColumns sample_columns_split(const EncodedTrees& sample, std::uint32_t rf_min_dense_support,
                                   std::uint32_t weighted_min_dense_support) {
  const std::size_t n = sample.size();
  SampleColumns out;
  // Robinson-Foulds leaves universal splits out (they cancel), the weighted metrics keep them.
  out.rf = assign_columns(sample.supports, n, {2, n}, rf_min_dense_support);
  const auto n32 = static_cast<std::uint32_t>(n);
  for (const std::uint32_t c : sample.supports) out.universal += c == n32 ? 1 : 0;
  if (sample.has_lengths) {
    out.weighted = assign_columns(sample.supports, n, {2, std::uint64_t{n} + 1}, weighted_min_dense_support);
  }
  return out;
}

}  // namespace brantoveil::distances
