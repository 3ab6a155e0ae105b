// Per-side layout: the trees of one side of a block (its rows or its columns) over the sample's
// columns, as a dense row per tree over frequent splits plus a list of its rare ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pool/pool.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// Marks a split that takes no column (its support makes it irrelevant to the metric).
inline constexpr std::uint32_t NO_COLUMN = 0xFFFFFFFF;

/// Column of every split ID: dense columns 0..dense-1, then sparse columns dense..total-1.
struct ColumnLayout {
  std::vector<std::uint32_t> columns;
  std::uint32_t dense = 0;
  std::uint32_t total = 0;

  /// Number of sparse columns.
  std::uint32_t sparse() const { return total - dense; }
};

/// Supports that earn a column: low <= support < high.
struct Eligibility {
  std::uint64_t low;
  std::uint64_t high;
};

/// Numbers the eligible splits by descending support, ties by ascending split ID; splits with
/// support >= `min_dense_support` are the dense prefix.
ColumnLayout assign_columns(std::span<const std::uint32_t> supports, std::size_t n,
                            Eligibility eligible, std::uint32_t min_dense_support);

/// The columns of a whole sample, fixed once, so that every block of it lays its trees out alike
/// and each cell comes out with the same bits whichever block holds it.
struct SampleColumns {
  ColumnLayout rf;
  /// Split IDs held by every tree.
  std::uint32_t universal = 0;
  /// Empty for a sample without lengths.
  ColumnLayout weighted;
};

/// Numbers the sample's columns for Robinson-Foulds, and for the weighted metrics when it has lengths.
SampleColumns sample_columns(const EncodedTrees& sample);
/// `sample_columns` with both dense boundaries given rather than taken from the dense shares.
SampleColumns sample_columns_split(const EncodedTrees& sample, std::uint32_t rf_min_dense_support,
                                   std::uint32_t weighted_min_dense_support);

/// One side of a block: a dense row per tree, the tree's total, and its rare splits by ascending
/// sparse index (with their lengths for the weighted metrics).
template <class T, class Total>
struct Side {
  std::span<const std::uint64_t> trees;
  std::size_t width = 0;
  std::vector<T> rows;
  std::vector<Total> totals;
  std::vector<std::uint64_t> sparse_offsets;  // tree j owns sparse[sparse_offsets[j], sparse_offsets[j + 1])
  std::vector<std::uint32_t> sparse;
  std::vector<double> sparse_lengths;  // weighted metrics only
  // The lowest and highest tree of positions [8g, 8g + 8), once `bound_groups` has run.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> group_trees;

  /// Number of trees.
  std::size_t size() const { return trees.size(); }
  /// Tree j's dense row of `width` elements.
  const T* row(std::size_t j) const { return rows.data() + j * width; }

  /// Bounds the trees of every group of 8 positions, for sides read 8 columns at a time.
  void bound_groups() {
    group_trees.resize((trees.size() + 7) / 8);
    for (std::size_t g = 0; g < group_trees.size(); ++g) {
      const auto first = trees.begin() + static_cast<std::ptrdiff_t>(8 * g);
      const auto [low, high] = std::minmax_element(first, first + static_cast<std::ptrdiff_t>(std::min<std::size_t>(8, trees.size() - 8 * g)));
      group_trees[g] = {*low, *high};
    }
  }
  /// Bounds of the trees of positions [j0, j0 + count) (count <= 8, from one group when bounded):
  /// never narrower than the trees themselves.
  std::pair<std::uint64_t, std::uint64_t> trees_within(std::size_t j0, std::size_t count) const {
    if (j0 % 8 == 0 && j0 / 8 < group_trees.size()) return group_trees[j0 / 8];
    const auto first = trees.begin() + static_cast<std::ptrdiff_t>(j0);
    const auto [low, high] = std::minmax_element(first, first + static_cast<std::ptrdiff_t>(count));
    return {*low, *high};
  }
};

/// Each split of tree t in the order its IDs were read: pendant IDs, then the others; visit(id,
/// k, pendant) where k indexes `ids_of(t)` for the others.
template <class Visit>
void for_each_split(const EncodedTrees& sample, std::size_t t, Visit&& visit) {
  for (std::uint32_t id = 0; id < sample.pendants; ++id) visit(id, std::size_t{0}, true);
  const std::span<const std::uint32_t> ids = sample.ids_of(t);
  for (std::size_t k = 0; k < ids.size(); ++k) visit(ids[k], k, false);
}

/// Runs body(j) for every tree j < m of a side on the pool, a few dozen trees per task.
template <class Body>
void for_each_tree(std::size_t m, Body&& body) {
  // Trees per task: enough that waking a worker costs less than its trees.
  constexpr std::size_t kTrees = 64;
  pool::parallel_for((m + kTrees - 1) / kTrees, [&](std::size_t part) {
    const std::size_t last = std::min(m, (part + 1) * kTrees);
    for (std::size_t j = part * kTrees; j < last; ++j) body(j);
  });
}

/// Sizes each tree's sparse list from `layout`, so the lists are written in place.
template <class T, class Total>
void size_sparse(Side<T, Total>& side, const EncodedTrees& sample, const ColumnLayout& layout) {
  const std::size_t m = side.trees.size();
  side.sparse_offsets.assign(m + 1, 0);
  for_each_tree(m, [&](std::size_t j) {
    std::uint64_t count = 0;
    for_each_split(sample, side.trees[j], [&](std::uint32_t id, std::size_t, bool) {
      const std::uint32_t col = layout.columns[id];
      count += col != NO_COLUMN && col >= layout.dense ? 1 : 0;
    });
    side.sparse_offsets[j + 1] = count;
  });
  for (std::size_t j = 0; j < m; ++j) side.sparse_offsets[j + 1] += side.sparse_offsets[j];
  side.sparse.resize(side.sparse_offsets[m]);
}

}  // namespace brantoveil::distances
