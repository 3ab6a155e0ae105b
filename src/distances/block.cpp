// Block kernels: the trees of a tile's rows and columns laid out over the whole sample's columns,
// then every cell formed with exactly the sums, terms and order of the one-call matrix.
//
// The one-call matrix computes each pair once, from the tree with the lower index. A block cell
// may hold the pair either way round, so every asymmetric step (the argument order of a term,
// which total comes first) is taken from the lower tree index, never from the row/column role.

#include "distances/block.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "distances/boundary.h"
#include "distances/isa.h"
#include "distances/panel.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "pool/pool.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif

namespace brantoveil::distances {

namespace {

// Cells of one task: up to 8 rows (the weighted pass shares each column row among them) against
// up to 1024 columns, so a block with few rows still spreads over the pool.
constexpr std::size_t kChunkRows = 8;
constexpr std::size_t kSegmentColumns = 1024;
constexpr std::size_t kLanes = 8;
// Trees per layout task.
constexpr std::size_t kLayoutTrees = 64;

using Counter = std::atomic<std::uint64_t>;
using WordSpan = std::pair<std::uint32_t, std::uint32_t>;

template <class Body>
void for_each_tree(std::size_t m, Body&& body) {
  pool::parallel_for((m + kLayoutTrees - 1) / kLayoutTrees, [&](std::size_t part) {
    const std::size_t last = std::min(m, (part + 1) * kLayoutTrees);
    for (std::size_t j = part * kLayoutTrees; j < last; ++j) body(j);
  });
}

// One side of a tile (its row trees or its column trees) over the sample's columns: a dense row
// per tree, the tree's total, and its rare splits by ascending sparse index.
template <class T, class Total>
struct Side {
  std::span<const std::uint64_t> trees;
  std::size_t width = 0;
  std::vector<T> rows;
  std::vector<Total> totals;
  std::vector<std::uint64_t> sparse_offsets;
  std::vector<std::uint32_t> sparse;
  std::vector<double> sparse_lengths;  // weighted metrics only
  std::vector<WordSpan> spans;         // Robinson-Foulds only: non-zero words of each row

  const T* row(std::size_t j) const { return rows.data() + j * width; }
};

// Each split of tree t in the one-call layout's order of IDs: pendant IDs, then the others.
template <class Visit>
void for_each_split(const EncodedSample& sample, std::size_t t, Visit&& visit) {
  for (std::uint32_t id = 0; id < sample.pendants; ++id) visit(id, std::size_t{0}, true);
  const std::span<const std::uint32_t> ids = sample.ids_of(t);
  for (std::size_t k = 0; k < ids.size(); ++k) visit(ids[k], k, false);
}

// Sizes each tree's sparse list, so the lists are written in place without per-tree vectors.
template <class T, class Total>
void size_sparse(Side<T, Total>& side, const EncodedSample& sample, const ColumnLayout& layout) {
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

Side<std::uint64_t, std::uint32_t> lay_out_rf(const EncodedSample& sample, const SampleColumns& columns,
                                              std::span<const std::uint64_t> trees) {
  const ColumnLayout& layout = columns.rf;
  Side<std::uint64_t, std::uint32_t> side;
  side.trees = trees;
  side.width = (std::size_t{layout.dense} + 63) / 64;
  const std::size_t m = trees.size();
  side.rows.assign(m * side.width, 0);
  side.totals.resize(m);
  side.spans.assign(m, WordSpan{0, 0});
  size_sparse(side, sample, layout);
  for_each_tree(m, [&](std::size_t j) {
    const std::size_t t = trees[j];
    std::uint64_t* row = side.rows.data() + j * side.width;
    std::uint32_t* sparse = side.sparse.data() + side.sparse_offsets[j];
    std::size_t placed = 0;
    for_each_split(sample, t, [&](std::uint32_t id, std::size_t, bool) {
      const std::uint32_t col = layout.columns[id];
      if (col == NO_COLUMN) return;
      if (col < layout.dense) {
        row[col >> 6] |= std::uint64_t{1} << (col & 63);
      } else {
        sparse[placed++] = col - layout.dense;
      }
    });
    std::sort(sparse, sparse + placed);
    // Splits held by every tree cancel out of every pair, as in the one-call totals (mod 2^32).
    side.totals[j] = sample.pendants + static_cast<std::uint32_t>(sample.ids_of(t).size()) - columns.universal;
    std::size_t last = side.width;
    while (last > 0 && row[last - 1] == 0) --last;
    std::size_t first = 0;
    while (first < last && row[first] == 0) ++first;
    if (last > 0) side.spans[j] = {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
  });
  return side;
}

// The one-call weighted layout of one tree: lengths into the dense row, rare splits sorted by
// index, and T = private + (8-lane dense sum + rare sum).
template <class Metric>
Side<double, double> lay_out_weighted(const EncodedSample& sample, const SampleColumns& columns,
                                      std::span<const std::uint64_t> trees) {
  const ColumnLayout& layout = columns.weighted;
  Side<double, double> side;
  side.trees = trees;
  side.width = layout.dense;
  const std::size_t m = trees.size();
  side.rows.assign(m * side.width, 0.0);
  side.totals.resize(m);
  size_sparse(side, sample, layout);
  side.sparse_lengths.resize(side.sparse.size());
  const bool kf = std::is_same_v<Metric, BranchScore>;
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
      if (col == NO_COLUMN) return;  // already in the tree's private sum
      const double length = is_pendant ? pendant[id] : lengths[k];
      if (col < layout.dense) {
        row[col] = length;
      } else {
        sparse.push_back({col - layout.dense, length});
      }
    });
    std::sort(sparse.begin(), sparse.end(),
              [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; });
    double lanes[kLanes] = {};
    for (std::size_t k = 0; k < side.width; ++k) {
      lanes[k % kLanes] = lanes[k % kLanes] + Metric::pair_term(row[k], row[k]);
    }
    double dense = lanes[0];
    for (std::size_t l = 1; l < kLanes; ++l) dense = dense + lanes[l];
    double rare = 0.0;
    for (std::size_t e = 0; e < sparse.size(); ++e) {
      rare = rare + Metric::pair_term(sparse[e].length, sparse[e].length);
      side.sparse[first + e] = sparse[e].index;
      side.sparse_lengths[first + e] = sparse[e].length;
    }
    const double own_only = kf ? sample.private_kf[t] : sample.private_wrf[t];
    side.totals[j] = own_only + (dense + rare);
  });
  return side;
}

// The column side's rare splits inverted: for each sparse index present, the ascending positions
// of the column trees holding it, with their lengths.
struct LocalPostings {
  std::vector<std::uint32_t> index;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> positions;
  std::vector<double> lengths;

  struct Hit {
    std::uint64_t first;
    std::uint64_t last;
  };
  // Positions in [c0, c1) of the trees holding sparse index s.
  Hit find(std::uint32_t s, std::size_t c0, std::size_t c1) const {
    const auto it = std::lower_bound(index.begin(), index.end(), s);
    if (it == index.end() || *it != s) return {0, 0};
    const auto k = static_cast<std::size_t>(it - index.begin());
    const std::uint32_t* begin = positions.data() + offsets[k];
    const std::uint32_t* end = positions.data() + offsets[k + 1];
    const std::uint32_t* lo = std::lower_bound(begin, end, static_cast<std::uint32_t>(c0));
    const std::uint32_t* hi = std::lower_bound(lo, end, static_cast<std::uint32_t>(c1));
    return {static_cast<std::uint64_t>(lo - positions.data()), static_cast<std::uint64_t>(hi - positions.data())};
  }
};

template <class T, class Total>
LocalPostings invert(const Side<T, Total>& cols, bool weighted) {
  struct Posting {
    std::uint32_t index;
    std::uint32_t position;
    double length;
  };
  std::vector<Posting> all;
  all.reserve(cols.sparse.size());
  for (std::size_t j = 0; j < cols.trees.size(); ++j) {
    for (std::uint64_t e = cols.sparse_offsets[j]; e < cols.sparse_offsets[j + 1]; ++e) {
      all.push_back({cols.sparse[e], static_cast<std::uint32_t>(j), weighted ? cols.sparse_lengths[e] : 0.0});
    }
  }
  // Stable: a tree's entries keep their order, as in the one-call postings.
  std::stable_sort(all.begin(), all.end(), [](const Posting& a, const Posting& b) { return a.index < b.index; });
  LocalPostings out;
  out.positions.resize(all.size());
  if (weighted) out.lengths.resize(all.size());
  for (std::size_t p = 0; p < all.size(); ++p) {
    if (p == 0 || all[p].index != all[p - 1].index) {
      out.index.push_back(all[p].index);
      out.offsets.push_back(p);
    }
    out.positions[p] = all[p].position;
    if (weighted) out.lengths[p] = all[p].length;
  }
  out.offsets.push_back(all.size());
  return out;
}

// Robinson-Foulds ---------------------------------------------------------------------------

using RfSide = Side<std::uint64_t, std::uint32_t>;

// Cells of one row against columns [c0, c1): each enters holding the rare splits the two trees
// share and leaves holding K_i + K_j - 2 * (dense shared + rare shared).
[[gnu::always_inline]] inline void finish_rf_cells(const RfSide& rows, const RfSide& cols, std::size_t r,
                                                   std::size_t c0, std::size_t c1, std::uint32_t* cells) {
  const std::uint64_t* own = rows.row(r);
  const WordSpan own_span = rows.spans[r];
  const std::uint32_t k_r = rows.totals[r];
  const std::uint64_t tree = rows.trees[r];
  for (std::size_t c = c0; c < c1; ++c) {
    std::uint32_t& cell = cells[c - c0];
    if (cols.trees[c] == tree) {
      cell = 0;
      continue;
    }
    const std::size_t lo = std::max(own_span.first, cols.spans[c].first);
    const std::size_t hi = std::min(own_span.second, cols.spans[c].second);
    const std::uint64_t* other = cols.row(c);
    std::uint32_t shared = 0;
    for (std::size_t w = lo; w < hi; ++w) shared += static_cast<std::uint32_t>(__builtin_popcountll(own[w] & other[w]));
    cell = k_r + cols.totals[c] - 2 * (shared + cell);
  }
}

using FinishRfCells = void (*)(const RfSide&, const RfSide&, std::size_t, std::size_t, std::size_t, std::uint32_t*);

#if BRANTOVEIL_X86_64
__attribute__((target("popcnt"))) void finish_rf_cells_popcnt(const RfSide& rows, const RfSide& cols, std::size_t r,
                                                              std::size_t c0, std::size_t c1, std::uint32_t* cells) {
  finish_rf_cells(rows, cols, r, c0, c1, cells);
}
#endif

void finish_rf_cells_plain(const RfSide& rows, const RfSide& cols, std::size_t r, std::size_t c0, std::size_t c1,
                           std::uint32_t* cells) {
  finish_rf_cells(rows, cols, r, c0, c1, cells);
}

FinishRfCells pick_finish_rf_cells() {
#if BRANTOVEIL_X86_64
  if (rf_isa_supported(RfIsa::popcnt)) return finish_rf_cells_popcnt;
#endif
  return finish_rf_cells_plain;
}

struct RfKernel {
  using Cell = std::uint32_t;
  const EncodedSample& sample;
  const SampleColumns& columns;

  RfSide lay_out(std::span<const std::uint64_t> trees) const { return lay_out_rf(sample, columns, trees); }
  RfSide lay_out_columns(std::span<const std::uint64_t> trees) const { return lay_out(trees); }
  static constexpr bool kWeighted = false;

  // Rows [r0, r1) against columns [c0, c1); row r's cells start at out + (r - r0) * stride.
  void compute(const RfSide& rows, const RfSide& cols, const LocalPostings& postings, std::size_t r0, std::size_t r1,
               std::size_t c0, std::size_t c1, Cell* out, std::size_t stride) const {
    const FinishRfCells finish = pick_finish_rf_cells();
    for (std::size_t r = r0; r < r1; ++r) {
      Cell* cells = out + (r - r0) * stride;
      std::fill(cells, cells + (c1 - c0), Cell{0});
      for (std::uint64_t e = rows.sparse_offsets[r]; e < rows.sparse_offsets[r + 1]; ++e) {
        const LocalPostings::Hit hit = postings.find(rows.sparse[e], c0, c1);
        for (std::uint64_t p = hit.first; p < hit.last; ++p) ++cells[postings.positions[p] - c0];
      }
      finish(rows, cols, r, c0, c1, cells);
    }
  }
};

// Weighted metrics -------------------------------------------------------------------------

using WeightedSide = Side<double, double>;

// The dense term of the one-call pass: its weighted Robinson-Foulds term is the plain minimum
// (a NaN length makes the tree's total NaN anyway), so it must be here too for the same bits.
template <class Metric>
struct DenseTerm {
  static double of(double a, double b) { return a * b; }
};
template <>
struct DenseTerm<WeightedRf> {
  static double of(double a, double b) { return a < b ? a : b; }
};

// One cell from the lower-index tree's side: lane k mod 8 takes its terms in ascending k, the
// lanes are combined left to right, then the rare sum; S = (T_low + T_high) - (Q + Q). A lane
// starts at +0.0 and so is never -0.0, which makes the one-call pass's zero padding of the last
// lane group a no-op that need not be repeated here.
template <class Metric>
[[gnu::always_inline]] inline double weighted_cell(const double* low, const double* high, std::size_t width,
                                                   double t_low, double t_high, double rare) {
  double lane[kLanes] = {};
  const std::size_t whole = width - width % kLanes;
  for (std::size_t k = 0; k < whole; k += kLanes) {
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) lane[l] = lane[l] + DenseTerm<Metric>::of(low[k + l], high[k + l]);
  }
  for (std::size_t k = whole; k < width; ++k) {
    lane[k - whole] = lane[k - whole] + DenseTerm<Metric>::of(low[k], high[k]);
  }
  double q = lane[0];
  for (std::size_t l = 1; l < kLanes; ++l) q = q + lane[l];
  q = q + rare;
  const double sum = (t_low + t_high) - (q + q);
  // As in the one-call matrix: rounding at or below zero gives +0.0, a NaN stays NaN.
  const double clamped = sum > 0.0 ? sum : (sum != sum ? sum : 0.0);
  return Metric::finish_pair(clamped);
}

template <class Metric>
[[gnu::always_inline]] inline void weighted_dense(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0,
                                                  std::size_t r1, std::size_t c0, std::size_t c1, double* out,
                                                  std::size_t stride) {
  for (std::size_t c = c0; c < c1; ++c) {
    const double* col_row = cols.row(c);
    const std::uint64_t col_tree = cols.trees[c];
    for (std::size_t r = r0; r < r1; ++r) {
      double& cell = out[(r - r0) * stride + (c - c0)];
      const std::uint64_t row_tree = rows.trees[r];
      if (row_tree == col_tree) {
        cell = 0.0;
      } else if (row_tree < col_tree) {
        cell = weighted_cell<Metric>(rows.row(r), col_row, rows.width, rows.totals[r], cols.totals[c], cell);
      } else {
        cell = weighted_cell<Metric>(col_row, rows.row(r), rows.width, cols.totals[c], rows.totals[r], cell);
      }
    }
  }
}

using WeightedDense = void (*)(const WeightedSide&, const WeightedSide&, std::size_t, std::size_t, std::size_t,
                               std::size_t, double*, std::size_t);

// Wider vectors where the CPU has them; no variant fuses a product into a sum, so all give the same bits.
#if BRANTOVEIL_X86_64
template <class Metric>
__attribute__((target("avx2"))) void weighted_dense_avx2(const WeightedSide& rows, const WeightedSide& cols,
                                                         std::size_t r0, std::size_t r1, std::size_t c0,
                                                         std::size_t c1, double* out, std::size_t stride) {
  weighted_dense<Metric>(rows, cols, r0, r1, c0, c1, out, stride);
}
#endif

template <class Metric>
void weighted_dense_plain(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0, std::size_t r1,
                          std::size_t c0, std::size_t c1, double* out, std::size_t stride) {
  weighted_dense<Metric>(rows, cols, r0, r1, c0, c1, out, stride);
}

template <class Metric>
WeightedDense pick_weighted_dense() {
#if BRANTOVEIL_X86_64
  if (dense_isa_supported(DenseIsa::avx2)) return weighted_dense_avx2<Metric>;
#endif
  return weighted_dense_plain<Metric>;
}

// A column side with its dense rows also as panels of 8 trees, for the AVX-512 pass (none
// without AVX-512).
struct WeightedColumns : WeightedSide {
  std::optional<panel_terms::DensePanels> panels;
};

#if BRANTOVEIL_X86_64
using panel_terms::v8d;

// `Rows` rows from `r` against the 8 trees of one panel, all of whose cells share the lower tree's
// side (the rows' when kRowLow): lane l of each cell sums the terms of columns k = l mod 8 in
// ascending k, the whole groups then the tail, exactly as weighted_cell does, and so does the
// finish.
template <class Metric, bool kRowLow, int Rows>
[[gnu::always_inline]] __attribute__((target("avx512f"))) inline void panel_cells(
    const WeightedSide& rows, std::size_t r, const double* panel, v8d t_cols, __mmask8 inside, double* cells,
    std::size_t stride) {
  const double* x[Rows];
  v8d acc[Rows][kLanes];
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
    x[i] = rows.row(r + i);
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) acc[i][l] = v8d{};
  }
  panel_terms::add<Metric, kRowLow, Rows, 1>(x, panel, rows.width, acc);
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
    double* row_cells = cells + static_cast<std::size_t>(i) * stride;
    v8d q = acc[i][0];
#pragma GCC unroll 8
    for (std::size_t l = 1; l < kLanes; ++l) q = q + acc[i][l];
    q = q + _mm512_maskz_loadu_pd(inside, row_cells);
    const v8d t_row = _mm512_set1_pd(rows.totals[r + i]);
    const v8d sum = (kRowLow ? t_row + t_cols : t_cols + t_row) - (q + q);
    // As weighted_cell: a NaN stays, anything not above zero becomes +0.0.
    const __mmask8 keep = static_cast<__mmask8>(_mm512_cmp_pd_mask(sum, v8d{}, _CMP_GT_OQ) |
                                                _mm512_cmp_pd_mask(sum, sum, _CMP_UNORD_Q));
    v8d done = _mm512_maskz_mov_pd(static_cast<__mmask8>(keep & inside), sum);
    // Zero-masking forms: the lanes outside `inside` are never stored.
    if constexpr (std::is_same_v<Metric, BranchScore>) done = _mm512_maskz_sqrt_pd(inside, done);
    _mm512_mask_storeu_pd(row_cells, inside, done);
  }
}

template <class Metric, bool kRowLow>
[[gnu::always_inline]] __attribute__((target("avx512f"))) inline void panel_rows(
    int count, const WeightedSide& rows, std::size_t r, const double* panel, v8d t_cols, __mmask8 inside,
    double* cells, std::size_t stride) {
  if (count == 3) {
    panel_cells<Metric, kRowLow, 3>(rows, r, panel, t_cols, inside, cells, stride);
  } else if (count == 2) {
    panel_cells<Metric, kRowLow, 2>(rows, r, panel, t_cols, inside, cells, stride);
  } else {
    panel_cells<Metric, kRowLow, 1>(rows, r, panel, t_cols, inside, cells, stride);
  }
}

// The dense pass over panels, three rows a tile (24 accumulators). A tile whose cells do not all
// take the lower tree from the same side (a tree against itself, or rows on both sides of a
// column) goes to the row-major pass, which decides cell by cell. `c0` is a multiple of 8.
template <class Metric>
__attribute__((target("avx512f"))) void panel_dense(const WeightedSide& rows, const WeightedColumns& cols,
                                                    std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1,
                                                    double* out, std::size_t stride, WeightedDense row_major) {
  for (std::size_t j0 = c0; j0 < c1; j0 += kLanes) {
    const std::size_t count = std::min(kLanes, c1 - j0);
    const auto inside = static_cast<__mmask8>((1u << count) - 1);
    const v8d t_cols = _mm512_maskz_loadu_pd(inside, cols.totals.data() + j0);
    const double* panel = cols.panels->panel(j0 / kLanes);
    const auto [col_min, col_max] = std::minmax_element(cols.trees.begin() + j0, cols.trees.begin() + j0 + count);
    for (std::size_t r = r0; r < r1;) {
      const std::size_t take = std::min<std::size_t>(3, r1 - r);
      const auto [row_min, row_max] = std::minmax_element(rows.trees.begin() + r, rows.trees.begin() + r + take);
      double* cells = out + (r - r0) * stride + (j0 - c0);
      const int tile = static_cast<int>(take);
      if (*row_max < *col_min) {
        panel_rows<Metric, true>(tile, rows, r, panel, t_cols, inside, cells, stride);
      } else if (*row_min > *col_max) {
        panel_rows<Metric, false>(tile, rows, r, panel, t_cols, inside, cells, stride);
      } else {
        row_major(rows, cols, r, r + take, j0, j0 + count, cells, stride);
      }
      r += take;
    }
  }
}
#endif

template <class Metric>
struct WeightedKernel {
  using Cell = double;
  const EncodedSample& sample;
  const SampleColumns& columns;

  WeightedSide lay_out(std::span<const std::uint64_t> trees) const {
    return lay_out_weighted<Metric>(sample, columns, trees);
  }
  WeightedColumns lay_out_columns(std::span<const std::uint64_t> trees) const {
    WeightedColumns side;
    static_cast<WeightedSide&>(side) = lay_out(trees);
    if (side.width > 0 && dense_isa_supported(DenseIsa::avx512)) {
      side.panels.emplace(side.trees.size(), side.width);
      side.panels->take(0, side.trees.size(), [&](std::size_t t) { return side.row(t); });
    }
    return side;
  }
  static constexpr bool kWeighted = true;

  void compute(const WeightedSide& rows, const WeightedColumns& cols, const LocalPostings& postings, std::size_t r0,
               std::size_t r1, std::size_t c0, std::size_t c1, Cell* out, std::size_t stride) const {
    const WeightedDense dense = pick_weighted_dense<Metric>();
    // Shared rare splits first, into the cells, by ascending sparse index; the term takes the
    // higher-index tree's length first, as the one-call postings walk does.
    for (std::size_t r = r0; r < r1; ++r) {
      Cell* cells = out + (r - r0) * stride;
      std::fill(cells, cells + (c1 - c0), 0.0);
      const std::uint64_t row_tree = rows.trees[r];
      for (std::uint64_t e = rows.sparse_offsets[r]; e < rows.sparse_offsets[r + 1]; ++e) {
        const double x = rows.sparse_lengths[e];
        const LocalPostings::Hit hit = postings.find(rows.sparse[e], c0, c1);
        for (std::uint64_t p = hit.first; p < hit.last; ++p) {
          const std::uint32_t c = postings.positions[p];
          double& cell = cells[c - c0];
          const double w = postings.lengths[p];
          cell = (row_tree < cols.trees[c] ? Metric::pair_term(w, x) : Metric::pair_term(x, w)) + cell;
        }
      }
    }
#if BRANTOVEIL_X86_64
    if (cols.panels && c0 % kLanes == 0) {
      panel_dense<Metric>(rows, cols, r0, r1, c0, c1, out, stride, dense);
      return;
    }
#endif
    dense(rows, cols, r0, r1, c0, c1, out, stride);
  }
};

// Drivers ------------------------------------------------------------------------------------

// Walks the block tile by tile (at most `tile` trees laid out per side) and hands each tile's
// prepared sides to `run`, in ascending row-tile then column-tile order.
template <class Kernel, class Run>
void for_each_tile(const Kernel& kernel, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                   std::size_t tile, Run&& run) {
  tile = std::max<std::size_t>(tile, 1);
  for (std::size_t rt = 0; rt < rows.size(); rt += tile) {
    const std::size_t r_end = std::min(rows.size(), rt + tile);
    const auto row_side = kernel.lay_out(rows.subspan(rt, r_end - rt));
    for (std::size_t ct = 0; ct < cols.size(); ct += tile) {
      const std::size_t c_end = std::min(cols.size(), ct + tile);
      const auto col_side = kernel.lay_out_columns(cols.subspan(ct, c_end - ct));
      const LocalPostings postings = invert(col_side, Kernel::kWeighted);
      run(rt, ct, row_side, col_side, postings);
    }
  }
}

template <class Kernel>
void run_block(const Kernel& kernel, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
               CellRows<typename Kernel::Cell> cells, Counter* counter, std::size_t tile) {
  const std::size_t stride = cells.row_stride;
  for_each_tile(kernel, rows, cols, tile, [&](std::size_t rt, std::size_t ct, const auto& row_side, const auto& col_side,
                                        const LocalPostings& postings) {
    const std::size_t m = row_side.trees.size();
    const std::size_t w = col_side.trees.size();
    const std::size_t row_chunks = (m + kChunkRows - 1) / kChunkRows;
    const std::size_t segments = (w + kSegmentColumns - 1) / kSegmentColumns;
    pool::parallel_for(row_chunks * segments, [&](std::size_t task) {
      const std::size_t r0 = (task / segments) * kChunkRows;
      const std::size_t r1 = std::min(m, r0 + kChunkRows);
      const std::size_t c0 = (task % segments) * kSegmentColumns;
      const std::size_t c1 = std::min(w, c0 + kSegmentColumns);
      kernel.compute(row_side, col_side, postings, r0, r1, c0, c1, cells.data + (rt + r0) * stride + ct + c0, stride);
      if (counter != nullptr) counter->fetch_add((r1 - r0) * (c1 - c0), std::memory_order_relaxed);
    });
  });
}

// Nearest-first order: by distance, NaN after every number, ties by lower tree index.
bool nearer(double a, std::int64_t a_index, double b, std::int64_t b_index) {
  const bool a_nan = a != a;
  const bool b_nan = b != b;
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a != b) return a < b;
  return a_index < b_index;
}

// The bin of v among non-decreasing edges, the last bin closed; -1 outside or for NaN.
std::ptrdiff_t bin_of(double v, std::span<const double> edges) {
  if (!(v >= edges.front() && v <= edges.back())) return -1;
  if (v == edges.back()) return static_cast<std::ptrdiff_t>(edges.size()) - 2;
  return (std::upper_bound(edges.begin(), edges.end(), v) - edges.begin()) - 1;
}

template <class Kernel>
Reductions run_reduce(const Kernel& kernel, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                      const ReduceRequest& request, Counter* counter, std::size_t tile) {
  using Cell = typename Kernel::Cell;
  const std::size_t k = request.k;
  const std::size_t bins = request.bins.size() < 2 ? 0 : request.bins.size() - 1;
  Reductions out;
  out.sums.assign(rows.size(), 0.0);
  out.knn_index.assign(rows.size() * k, -1);
  out.knn_distance.assign(rows.size() * k, std::numeric_limits<double>::infinity());
  out.histogram.assign(bins, 0);
  std::vector<std::size_t> found(k > 0 ? rows.size() : 0, 0);
  // Whole rows per task keep each row's sum in column order; few rows make smaller chunks.
  const std::size_t threads = std::max<std::size_t>(pool::thread_count(), 1);
  const std::size_t chunk_rows = std::clamp<std::size_t>(rows.size() / (4 * threads), 1, kChunkRows);

  for_each_tile(kernel, rows, cols, tile, [&](std::size_t rt, std::size_t, const auto& row_side, const auto& col_side,
                                        const LocalPostings& postings) {
    const std::size_t m = row_side.trees.size();
    const std::size_t w = col_side.trees.size();
    pool::parallel_for((m + chunk_rows - 1) / chunk_rows, [&](std::size_t task) {
      const std::size_t r0 = task * chunk_rows;
      const std::size_t r1 = std::min(m, r0 + chunk_rows);
      std::vector<Cell> cells((r1 - r0) * w);
      std::vector<std::int64_t> counts(bins, 0);
      for (std::size_t c0 = 0; c0 < w; c0 += kSegmentColumns) {
        const std::size_t c1 = std::min(w, c0 + kSegmentColumns);
        kernel.compute(row_side, col_side, postings, r0, r1, c0, c1, cells.data() + c0, w);
      }
      for (std::size_t r = r0; r < r1; ++r) {
        const std::size_t row = rt + r;
        const Cell* values = cells.data() + (r - r0) * w;
        double sum = out.sums[row];
        for (std::size_t c = 0; c < w; ++c) sum = sum + static_cast<double>(values[c]);
        out.sums[row] = sum;
        if (bins > 0) {
          for (std::size_t c = 0; c < w; ++c) {
            const std::ptrdiff_t b = bin_of(static_cast<double>(values[c]), request.bins);
            if (b >= 0) ++counts[static_cast<std::size_t>(b)];
          }
        }
        if (k == 0) continue;
        // The row's k best so far, nearest first; a candidate is inserted in place.
        std::int64_t* best_index = out.knn_index.data() + row * k;
        double* best = out.knn_distance.data() + row * k;
        std::size_t& held = found[row];
        for (std::size_t c = 0; c < w; ++c) {
          const auto tree = static_cast<std::int64_t>(col_side.trees[c]);
          if (col_side.trees[c] == row_side.trees[r]) continue;
          const double v = static_cast<double>(values[c]);
          if (held == k && !nearer(v, tree, best[k - 1], best_index[k - 1])) continue;
          std::size_t at = held < k ? held++ : k - 1;
          while (at > 0 && nearer(v, tree, best[at - 1], best_index[at - 1])) {
            best[at] = best[at - 1];
            best_index[at] = best_index[at - 1];
            --at;
          }
          best[at] = v;
          best_index[at] = tree;
        }
      }
      for (std::size_t b = 0; b < bins; ++b) {
        if (counts[b] != 0) std::atomic_ref<std::int64_t>(out.histogram[b]).fetch_add(counts[b]);
      }
      if (counter != nullptr) counter->fetch_add((r1 - r0) * w, std::memory_order_relaxed);
    });
  });
  return out;
}

}  // namespace

SampleColumns sample_columns(const EncodedSample& sample) {
  const std::size_t n = sample.size();
  return sample_columns_split(sample, min_dense_support_rf(n),
                              sample.has_lengths ? min_dense_support_weighted(n) : 0);
}

SampleColumns sample_columns_split(const EncodedSample& sample, std::uint32_t rf_min_dense_support,
                                   std::uint32_t weighted_min_dense_support) {
  const std::size_t n = sample.size();
  SampleColumns out;
  // The one-call rules: Robinson-Foulds leaves universal splits out, the weighted metrics keep them.
  out.rf = assign_columns(sample.supports, n, {2, n}, rf_min_dense_support);
  const auto n32 = static_cast<std::uint32_t>(n);
  for (const std::uint32_t c : sample.supports) out.universal += c == n32 ? 1 : 0;
  if (sample.has_lengths) {
    out.weighted = assign_columns(sample.supports, n, {2, std::uint64_t{n} + 1}, weighted_min_dense_support);
  }
  return out;
}

void block_rf(const EncodedSample& sample, const SampleColumns& columns, std::span<const std::uint64_t> rows,
              std::span<const std::uint64_t> cols, CellRows<std::uint32_t> cells, Counter* counter,
              std::size_t tile_trees) {
  run_block(RfKernel{sample, columns}, rows, cols, cells, counter, tile_trees);
}

void block_weighted(BlockMetric metric, const EncodedSample& sample, const SampleColumns& columns,
                    std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                    CellRows<double> cells, Counter* counter, std::size_t tile_trees) {
  if (metric == BlockMetric::kf) {
    run_block(WeightedKernel<BranchScore>{sample, columns}, rows, cols, cells, counter, tile_trees);
  } else {
    run_block(WeightedKernel<WeightedRf>{sample, columns}, rows, cols, cells, counter, tile_trees);
  }
}

Reductions block_reduce(BlockMetric metric, const EncodedSample& sample, const SampleColumns& columns,
                        std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                        const ReduceRequest& request, Counter* counter, std::size_t tile_trees) {
  switch (metric) {
    case BlockMetric::rf:
      return run_reduce(RfKernel{sample, columns}, rows, cols, request, counter, tile_trees);
    case BlockMetric::kf:
      return run_reduce(WeightedKernel<BranchScore>{sample, columns}, rows, cols, request, counter, tile_trees);
    default:
      return run_reduce(WeightedKernel<WeightedRf>{sample, columns}, rows, cols, request, counter, tile_trees);
  }
}

}  // namespace brantoveil::distances
