// Weighted kernels: per-tree totals, shared rare splits into the cells, an 8-lane dense pass.
//
// Every sum has one fixed order (lanes by ascending column, lanes combined left to right, rare
// terms by ascending sparse index), so the matrix is bit-identical for every thread count, every
// driver and block, and the vector and scalar builds of the dense pass.
//
// The fast sum S = (T_i + T_j) - 2Q cancels: its rounding error is a few ulps of T_i + T_j, not
// of S, and for nearly equal trees it is all there is (two trees 1e-8 apart on one branch of
// length 1 came out 0). Wherever S < 2^-10 (T_i + T_j) the pair is formed again term by term
// (`exact_sum`: every term |a - b| or (a - b)^2 is non-negative, so its error is a few ulps of
// S per term). Elsewhere the cancellation cannot hurt: T_i, T_j and Q are each within k ulps of
// their own size (k terms), and T_i + T_j <= 2^10 S, so S is within about 2^11 k ulps of
// itself, 5e-11 relative at k = 200 splits, and typically far less. (With negative lengths the
// totals may cancel too, which this bound does not cover.) Only nearly equal trees take the
// slow way, about a dense row's and two rare lists' work per such pair; NaN sums never do.
//
// The dense passes, one per instruction set, are in weighted_rows.cpp and weighted_panels.cpp, the
// pieces they share in weighted_passes-inl.h; this file holds the layout, the kernel's hook, the
// list of passes it picks from, the exact sum and the one-call driver.

// Lane vectors only pass between always-inlined helpers, so their calling convention never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "distances/weighted.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <vector>

#include "distances/boundary.h"
#include "distances/drivers.h"
#include "distances/isa.h"
#include "distances/kernels.h"
#include "distances/matrix.h"
#include "distances/panel.h"
#include "distances/weighted_passes-inl.h"
#include "distances/weighted_passes.h"

namespace brantoveil::distances {

namespace {

using dense::any_cell;
using dense::kChunkRows;
using dense::kLanes;
using dense::kPanelChunkRows;
using panel_terms::DensePanels;

// One rare split of a tree while its side is laid out: its sparse index and its length.
struct SparseEntry {
  std::uint32_t index;
  double length;
};

// The dense passes, best first: the row-major pass and the panel pass (null: rows only) of each level.
struct DensePasses {
  WeightedDense row_major;
  WeightedDense panel;
};

template <class Metric>
const Implementation<DensePasses> kDensePasses[] = {
#if BRANTOVEIL_X86_64
    {Isa::avx512, {dense::dense_rows_avx2<Metric>, dense::panel_pass_avx512<Metric>}},
    {Isa::avx2, {dense::dense_rows_avx2<Metric>, dense::panel_pass_narrow<Metric>}},
#endif
#if BRANTOVEIL_NEON
    {Isa::neon, {dense::dense_rows_plain<Metric>, dense::panel_pass_narrow<Metric>}},
#endif
    {Isa::plain, {dense::dense_rows_plain<Metric>, nullptr}},
};

}  // namespace

bool dense_implemented(Isa isa) { return implemented<DensePasses>(kDensePasses<WeightedRf>, isa); }

template <class Metric>
WeightedKernel<Metric>::WeightedKernel(const EncodedTrees& sample, const ColumnLayout& layout, std::optional<Isa> isa)
    : sample_(sample), layout_(layout) {
  const DensePasses& passes = pick<DensePasses>(kDensePasses<Metric>, isa).entry;
  row_major_ = passes.row_major;
  panel_ = passes.panel;
}

// Lengths of dense splits into the row, rare ones into the sparse list by ascending index, and
// the tree's total T = private + (dense + rare), each part summed in its fixed order. Splits of a
// single tree take no column: they are already in the tree's private sum.
template <class Metric>
WeightedSide WeightedKernel<Metric>::lay_out(std::span<const std::uint64_t> trees) const {
  const ColumnLayout& layout = layout_;
  const EncodedTrees& sample = sample_;
  WeightedSide side;
  side.trees = trees;
  side.width = layout.dense;
  const std::size_t m = trees.size();
  side.rows.assign(m * side.width, 0.0);
  side.totals.resize(m);
  side.privates.resize(m);
  size_sparse(side, sample, layout);
  side.sparse_lengths.resize(side.sparse.size());
  constexpr bool kf = std::is_same_v<Metric, BranchScore>;
  for_each_tree(m, [&](std::size_t j) {
    const std::size_t t = trees[j];
    double* row = side.rows.data() + j * side.width;
    const std::uint64_t first = side.sparse_offsets[j];
    std::vector<SparseEntry> sparse;
    sparse.reserve(side.sparse_offsets[j + 1] - first);
    const std::span<const double> pendant = sample.pendant_lengths_of(t);
    const std::span<const double> lengths = sample.lengths_of(t);
    for_each_split(sample, t, [&](std::uint32_t id, std::size_t k, bool is_pendant) {
      const std::uint32_t col = layout.columns[id];
      if (col == NO_COLUMN) return;
      const double length = is_pendant ? pendant[id] : lengths[k];
      if (col < layout.dense) {
        row[col] = length;
      } else {
        sparse.push_back({col - layout.dense, length});
      }
    });
    std::sort(sparse.begin(), sparse.end(),
              [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; });
    for (std::size_t e = 0; e < sparse.size(); ++e) {
      side.sparse[first + e] = sparse[e].index;
      side.sparse_lengths[first + e] = sparse[e].length;
    }
    const double own_only = kf ? sample.private_kf[t] : sample.private_wrf[t];
    side.privates[j] = own_only;
    side.totals[j] = tree_total<Metric>({row, side.width},
                                        {side.sparse_lengths.data() + first, sparse.size()}, own_only);
  });
  // With the panel pass every read of a dense value goes through the panels, so the rows are
  // never held twice.
  if (panel_ != nullptr && side.width > 0) {
    side.panels.emplace(m, side.width);
    side.panels->take(0, m, [&](std::size_t j) { return side.row(j); });
    std::vector<double>().swap(side.rows);
    side.bound_groups();
  }
  return side;
}

template <class Metric>
WeightedSide WeightedKernel<Metric>::lay_out_columns(std::span<const std::uint64_t> trees) const {
  return lay_out(trees);
}

template <class Metric>
void WeightedKernel<Metric>::compute(const WeightedSide& rows, const WeightedSide& cols, const Postings& postings,
                                     std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1, Cell* out,
                                     std::size_t stride, Wanted wanted) const {
  const bool above = wanted == Wanted::above_diagonal;
  // Shared rare splits first, into the cells, by ascending sparse index; the term takes the
  // higher-index tree's length first.
  for (std::size_t r = r0; r < r1; ++r) {
    Cell* cells = out + (r - r0) * stride;
    const std::uint64_t row_tree = rows.trees[r];
    const std::size_t from = above ? std::max(c0, r + 1) : c0;
    for (std::uint64_t e = rows.sparse_offsets[r]; e < rows.sparse_offsets[r + 1]; ++e) {
      const double x = rows.sparse_lengths[e];
      const Postings::Range range = postings.range(rows.sparse[e], from, c1);
      for (std::uint64_t p = range.first; p < range.last; ++p) {
        const std::uint32_t c = postings.positions[p];
        double& cell = cells[c - c0];
        const double w = postings.lengths[p];
        cell = (row_tree < cols.trees[c] ? Metric::pair_term(w, x) : Metric::pair_term(x, w)) + cell;
      }
    }
  }
  if (!cols.panels) {
    row_major_(rows, cols, {r0, r1, c0, c1, out, stride, above});
  } else if (c0 % kLanes == 0) {
    panel_(rows, cols, {r0, r1, c0, c1, out, stride, above});
  } else {
    // Columns that do not start a panel: every driver's do, so this is only a safe way out.
    for (std::size_t r = r0; r < r1; ++r) {
      for (std::size_t c = above ? std::max(c0, r + 1) : c0; c < c1; ++c) {
        double& cell = out[(r - r0) * stride + (c - c0)];
        cell = any_cell<Metric>(rows, r, cols, c, cell);
      }
    }
  }
}

template class WeightedKernel<WeightedRf>;
template class WeightedKernel<BranchScore>;

namespace {

// The whole matrix into `cells` (see fill_symmetric); false when stopped.
template <class Metric>
bool fill_weighted(EncodedTrees trees, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter,
                   std::optional<Isa> isa, Buffer<double>& cells) {
  const std::size_t n = trees.size();
  if (n == 0) {
    if (!cells.empty()) wrong_result_size(0, cells.size());
    return true;
  }
  // Splits of a single tree need no column: they only add to that tree's total.
  const ColumnLayout layout = assign_columns(trees.supports, n, {2, std::uint64_t{n} + 1}, min_dense_support);
  const WeightedKernel<Metric> kernel(trees, layout, isa);
  std::vector<std::uint64_t> all(n);
  std::iota(all.begin(), all.end(), std::uint64_t{0});
  const WeightedSide side = kernel.lay_out_columns(all);
  const Postings postings = kernel.postings(side);
  trees = EncodedTrees{};
  const std::size_t rows_per_chunk = side.panels ? kPanelChunkRows : kChunkRows;
  return run_symmetric(kernel, side, postings, rows_per_chunk, LowerCells::mirror, counter, cells);
}

}  // namespace

template <class Metric>
double exact_sum(DenseValues a, DenseValues b, std::size_t width, RareValues rare_a, RareValues rare_b,
                 double private_a, double private_b) {
  double dense = 0.0;
  for (std::size_t k = 0; k < width; ++k) dense = dense + Metric::difference(a.at[k * a.stride], b.at[k * b.stride]);
  // The two rare lists merged by index: a split in both adds its difference, one in a single
  // list its own term (a lone negative length counts as itself, as in the totals).
  double rare = 0.0;
  std::size_t p = 0;
  std::size_t q = 0;
  while (p < rare_a.count || q < rare_b.count) {
    const std::uint32_t s = p < rare_a.count ? rare_a.index[p] : UINT32_MAX;
    const std::uint32_t t = q < rare_b.count ? rare_b.index[q] : UINT32_MAX;
    if (q == rare_b.count || (p < rare_a.count && s < t)) {
      rare = rare + Metric::pair_term(rare_a.length[p], rare_a.length[p]);
      ++p;
    } else if (p == rare_a.count || t < s) {
      rare = rare + Metric::pair_term(rare_b.length[q], rare_b.length[q]);
      ++q;
    } else {
      rare = rare + Metric::difference(rare_a.length[p], rare_b.length[q]);
      ++p;
      ++q;
    }
  }
  return (dense + rare) + (private_a + private_b);
}

template double exact_sum<WeightedRf>(DenseValues, DenseValues, std::size_t, RareValues, RareValues, double, double);
template double exact_sum<BranchScore>(DenseValues, DenseValues, std::size_t, RareValues, RareValues, double, double);

template <class Metric>
Buffer<double> weighted_distances_split(EncodedTrees trees, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, std::optional<Isa> isa) {
  Buffer<double> cells;
  if (!fill_weighted<Metric>(std::move(trees), min_dense_support, counter, isa, cells)) return {};
  return cells;
}

template Buffer<double> weighted_distances_split<WeightedRf>(EncodedTrees, std::uint32_t,
                                                             std::atomic<std::uint64_t>*, std::optional<Isa>);
template Buffer<double> weighted_distances_split<BranchScore>(EncodedTrees, std::uint32_t,
                                                              std::atomic<std::uint64_t>*, std::optional<Isa>);

Buffer<double> distance_wrf(EncodedTrees trees, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(trees.size());
  return weighted_distances_split<WeightedRf>(std::move(trees), min_dense_support, counter);
}

Buffer<double> distance_kf(EncodedTrees trees, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(trees.size());
  return weighted_distances_split<BranchScore>(std::move(trees), min_dense_support, counter);
}

bool distance_wrf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<double> into,
                  Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(trees.size());
  Buffer<double> cells = Buffer<double>::over(into, contents);
  return fill_weighted<WeightedRf>(std::move(trees), min_dense_support, counter, std::nullopt, cells);
}

bool distance_kf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<double> into,
                 Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(trees.size());
  Buffer<double> cells = Buffer<double>::over(into, contents);
  return fill_weighted<BranchScore>(std::move(trees), min_dense_support, counter, std::nullopt, cells);
}

}  // namespace brantoveil::distances
