// Weighted kernels: per-tree totals, shared rare splits into the output cells, an 8-lane dense pass.
//
// Every sum has one fixed order (lanes by ascending column, lanes combined left to right, rare
// terms by ascending sparse index), so the matrix is bit-identical for every thread count and for
// the vector and scalar builds of the dense pass.
// Lane vectors only pass between always-inlined helpers, so their calling convention never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "distances/weighted.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "distances/boundary.h"
#include "distances/matrix.h"

namespace brantoveil::distances {

namespace {

// Rows per fill chunk: the dense pass pairs 8 rows with each group of 4 columns.
constexpr std::size_t kChunkRows = 8;
constexpr std::size_t kGroupColumns = 4;
constexpr std::size_t kLanes = 8;

typedef double v4d __attribute__((vector_size(32)));

[[gnu::always_inline]] inline v4d load4(const double* p) {
  v4d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store4(double* p, v4d v) { std::memcpy(p, &v, sizeof v); }

// Dense rows as the fill reads them: one base pointer per block.
struct DenseView {
  const double* const* blocks;
  std::uint32_t shift;
  std::size_t width;

  const double* row(std::size_t tree) const {
    return blocks[tree >> shift] + (tree & ((std::size_t{1} << shift) - 1)) * width;
  }
};

// A NaN sum means a NaN length or infinite lengths cancelling: the distance is unknown, and
// reporting 0 would claim the trees equal. A sum at or below zero is rounding: exactly 0.
template <class Metric>
double finish_distance(double sum) {
  if (sum != sum) return sum;
  if (!(sum > 0.0)) return 0.0;
  return Metric::finish_pair(sum);
}

// Per-tree layout: lengths of dense splits into the row, rare ones into the sparse list, and the
// tree's total T = private + (dense + sparse), each part summed in its fixed order.
template <class Metric>
double weighted_lay_out(const InternSnap& snap, const ColumnLayout& layout, std::span<double> row,
                        std::vector<SparseEntry>& sparse) {
  const std::size_t width = layout.dense;
  const std::size_t splits = std::min<std::size_t>(std::size_t{snap.pendants} + snap.ids.size(),
                                                   snap.lengths.size());
  double own_only = 0.0;
  for (std::size_t k = 0; k < splits; ++k) {
    const std::uint32_t id = k < snap.pendants ? static_cast<std::uint32_t>(k)
                                               : snap.ids[k - snap.pendants];
    const double length = snap.lengths[k];
    const std::uint32_t col = layout.columns[id];
    if (col == NO_COLUMN) {
      own_only = own_only + Metric::pair_term(length, length);
    } else if (col < width) {
      row[col] = length;
    } else {
      sparse.push_back({col - layout.dense, length});
    }
  }
  std::sort(sparse.begin(), sparse.end(),
            [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; });

  std::array<double, kLanes> lanes{};
  for (std::size_t k = 0; k < width; ++k) {
    lanes[k % kLanes] = lanes[k % kLanes] + Metric::pair_term(row[k], row[k]);
  }
  double dense = lanes[0];
  for (std::size_t l = 1; l < kLanes; ++l) dense = dense + lanes[l];
  double rare = 0.0;
  for (const SparseEntry& entry : sparse) rare = rare + Metric::pair_term(entry.length, entry.length);
  return own_only + (dense + rare);
}

// Dense pass and finish for rows [r0, r0 + rows) against every later column, 4 columns at a
// time. Each (row, column) cell keeps 8 lanes; lane k mod 8 receives its terms in ascending k, so
// lane vectors are exactly the scalar order. The lanes live in registers across the whole row
// (the 512-wide segments of the order only matter for cache, and the 4 column rows stay cached
// while the chunk's rows sweep them). Cells enter holding the shared rare sum.
template <class Metric>
[[gnu::always_inline]] inline void dense_finish(const DenseView& rows, const double* totals,
                                                std::size_t n, std::size_t r0, std::size_t count,
                                                double* cells) {
  const std::size_t width = rows.width;
  const std::size_t whole = width - width % kLanes;
  for (std::size_t c0 = r0 + 1; c0 < n; c0 += kGroupColumns) {
    const std::size_t group = std::min(kGroupColumns, n - c0);
    const double* col[kGroupColumns];
    // A short last group repeats its last column; those sums are computed and dropped.
    for (std::size_t c = 0; c < kGroupColumns; ++c) {
      col[c] = width == 0 ? nullptr : rows.row(c0 + std::min(c, group - 1));
    }
    for (std::size_t i = r0; i < r0 + count; ++i) {
      if (c0 + group - 1 <= i) continue;  // no column of the group lies after row i
      alignas(32) double lanes[kGroupColumns][kLanes] = {};
      if (width > 0) {
        const double* own = rows.row(i);
        v4d a0 = {}, b0 = {}, a1 = {}, b1 = {}, a2 = {}, b2 = {}, a3 = {}, b3 = {};
        for (std::size_t k = 0; k < whole; k += kLanes) {
          const v4d x = load4(own + k);
          const v4d y = load4(own + k + 4);
          a0 = a0 + Metric::pair_term(x, load4(col[0] + k));
          b0 = b0 + Metric::pair_term(y, load4(col[0] + k + 4));
          a1 = a1 + Metric::pair_term(x, load4(col[1] + k));
          b1 = b1 + Metric::pair_term(y, load4(col[1] + k + 4));
          a2 = a2 + Metric::pair_term(x, load4(col[2] + k));
          b2 = b2 + Metric::pair_term(y, load4(col[2] + k + 4));
          a3 = a3 + Metric::pair_term(x, load4(col[3] + k));
          b3 = b3 + Metric::pair_term(y, load4(col[3] + k + 4));
        }
        store4(lanes[0], a0), store4(lanes[0] + 4, b0);
        store4(lanes[1], a1), store4(lanes[1] + 4, b1);
        store4(lanes[2], a2), store4(lanes[2] + 4, b2);
        store4(lanes[3], a3), store4(lanes[3] + 4, b3);
        for (std::size_t k = whole; k < width; ++k) {
          for (std::size_t c = 0; c < kGroupColumns; ++c) {
            lanes[c][k % kLanes] = lanes[c][k % kLanes] + Metric::pair_term(own[k], col[c][k]);
          }
        }
      }
      double* row_cells = cells + (i - r0) * n;
      for (std::size_t c = 0; c < group; ++c) {
        const std::size_t j = c0 + c;
        if (j <= i) continue;
        double q = lanes[c][0];
        for (std::size_t l = 1; l < kLanes; ++l) q = q + lanes[c][l];
        q = q + row_cells[j];
        const double sum = (totals[i] + totals[j]) - (q + q);
        row_cells[j] = finish_distance<Metric>(sum);
      }
    }
  }
}

// One clone per instruction set: AVX2 runs the lane vectors as single ymm operations. No FMA is
// enabled in either clone, so a product and its sum stay two roundings.
__attribute__((target_clones("avx2", "default")))
void dense_finish_wrf(const DenseView& rows, const double* totals, std::size_t n, std::size_t r0,
                      std::size_t count, double* cells) {
  dense_finish<WeightedRf>(rows, totals, n, r0, count, cells);
}

__attribute__((target_clones("avx2", "default")))
void dense_finish_kf(const DenseView& rows, const double* totals, std::size_t n, std::size_t r0,
                     std::size_t count, double* cells) {
  dense_finish<BranchScore>(rows, totals, n, r0, count, cells);
}

}  // namespace

template <class Metric>
Buffer<double> weighted_distances_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter) {
  const std::size_t n = input.size();
  if (n == 0) return {};
  // Splits of a single tree need no column: they only add to that tree's total.
  ColumnLayout layout = assign_columns(input.supports(), n, {2, std::uint64_t{n} + 1}, min_dense_support);
  const std::size_t width = layout.dense;
  const std::uint32_t shift = block_shift();
  const Layout<double, double> laid = lay_out<double, double>(
      input, std::move(layout), shift, true, width, weighted_lay_out<Metric>);

  std::vector<const double*> blocks(laid.rows.blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) blocks[b] = laid.rows.blocks[b].data();
  const DenseView rows{blocks.data(), shift, width};
  const Postings& postings = laid.postings;
  const double* totals = laid.totals.data();

  return fill_symmetric<double>(n, kChunkRows, counter, [&](std::size_t r0, std::span<double> chunk) {
    const std::size_t count = chunk.size() / n;
    // Shared rare splits first, straight into the cells, by ascending sparse index per pair.
    for (std::size_t i = r0; i < r0 + count; ++i) {
      double* row_cells = chunk.data() + (i - r0) * n;
      const Postings::OwnRange own = postings.own_of(i);
      for (std::uint64_t e = own.first; e < own.last; ++e) {
        const std::uint32_t s = own.block->columns[e];
        const double x = own.block->weights[e];
        const std::uint64_t end = postings.list_end(s);
        for (std::uint64_t p = postings.later_than(s, i); p < end; ++p) {
          double& cell = row_cells[postings.trees[p]];
          cell = Metric::pair_term(postings.weights[p], x) + cell;
        }
      }
    }
    if constexpr (std::is_same_v<Metric, WeightedRf>) {
      dense_finish_wrf(rows, totals, n, r0, count, chunk.data());
    } else {
      dense_finish_kf(rows, totals, n, r0, count, chunk.data());
    }
  });
}

template Buffer<double> weighted_distances_split<WeightedRf>(Input, std::uint32_t,
                                                             std::atomic<std::uint64_t>*);
template Buffer<double> weighted_distances_split<BranchScore>(Input, std::uint32_t,
                                                              std::atomic<std::uint64_t>*);

Buffer<double> distance_wrf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  return weighted_distances_split<WeightedRf>(std::move(input), min_dense_support, counter);
}

Buffer<double> distance_kf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  return weighted_distances_split<BranchScore>(std::move(input), min_dense_support, counter);
}

}  // namespace brantoveil::distances
