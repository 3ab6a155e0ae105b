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

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif
#if BRANTOVEIL_NEON
#include <arm_neon.h>
#endif

namespace brantoveil::distances {

namespace {

// Rows per call of the row-major pass: each group of 4 column rows, loaded once into cache, serves
// all 16 rows, so every column row is streamed once per 16 rows rather than once per 8.
constexpr std::size_t kChunkRows = 16;
constexpr std::size_t kGroupColumns = 4;

constexpr std::size_t kLanes = 8;

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

// One cell's 8 lanes as vectors of the widest type the row-major pass has: two v4d with AVX2,
// four v2d with SSE2. Generic 8-wide code would be split badly.
template <class V>
struct Lanes {
  static constexpr int kParts = 8 / static_cast<int>(sizeof(V) / sizeof(double));
  V part[kParts];
};

template <class V>
[[gnu::always_inline]] inline V load_part(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline v4d load4(const double* p) {
  v4d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Lanes 0-3 and 4-7 of one cell.
[[gnu::always_inline]] inline void halves(const Lanes<v4d>& l, v4d& lo, v4d& hi) {
  lo = l.part[0];
  hi = l.part[1];
}
[[gnu::always_inline]] inline void halves(const Lanes<v2d>& l, v4d& lo, v4d& hi) {
  lo = __builtin_shufflevector(l.part[0], l.part[1], 0, 1, 2, 3);
  hi = __builtin_shufflevector(l.part[2], l.part[3], 0, 1, 2, 3);
}

// One rare split of a tree while its side is laid out: its sparse index and its length.
struct SparseEntry {
  std::uint32_t index;
  double length;
};

// Cell (i of a, j of b) formed term by term; out of line, as it is rarely needed. Symmetric in
// the two trees to the bit.
template <class Metric>
[[gnu::noinline]] double exact_cell(const WeightedSide& a, std::size_t i, const WeightedSide& b, std::size_t j) {
  return finish_sum<Metric>(
      exact_sum<Metric>(a.dense(i), b.dense(j), a.width, a.rare(i), b.rare(j), a.privates[i], b.privates[j]));
}

// The cells of one call to form again, marked by the dense pass (a byte of lane bits per row and
// group of columns) and formed after it: a call inside the pass would cost its registers.
struct RedoMarks {
  std::size_t groups;  // per row
  std::vector<std::uint8_t> marks;

  RedoMarks(std::size_t rows, std::size_t groups_per_row) : groups(groups_per_row), marks(rows * groups_per_row) {}
  std::uint8_t& at(std::size_t row, std::size_t group) { return marks[row * groups + group]; }

  // Forms the marked cells again; group g of a row starts at column c0 + g * lanes.
  template <class Metric>
  void redo(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0, std::size_t c0, std::size_t lanes,
            double* out, std::size_t stride) const {
    for (std::size_t k = 0; k < marks.size(); ++k) {
      unsigned bits = marks[k];
      while (bits != 0) {
        const std::size_t r = r0 + k / groups;
        const std::size_t c = c0 + (k % groups) * lanes + static_cast<std::size_t>(__builtin_ctz(bits));
        out[(r - r0) * stride + (c - c0)] = exact_cell<Metric>(rows, r, cols, c);
        bits &= bits - 1;
      }
    }
  }
};

// The lanes of row `row` to finish against the 8 columns from j0: those inside the block, and
// with `above` (one side against itself) only those right of the diagonal.
[[gnu::always_inline]] inline unsigned row_lanes(unsigned inside, bool above, std::size_t row, std::size_t j0) {
  return above && row >= j0 ? inside & (0xFFu << (row - j0 + 1)) & 0xFFu : inside;
}

// One cell from the lower-index tree's side: lane k mod 8 takes its terms in ascending k, the
// lanes are combined left to right, then the rare sum; S = (T_low + T_high) - (Q + Q). A lane
// starts at +0.0 and so is never -0.0, which makes the vector passes' zero padding of the last
// lane group a no-op that need not be repeated here. Tree i of `low` against tree j of `high`.
template <class Metric>
[[gnu::always_inline]] inline double weighted_cell(const WeightedSide& low, std::size_t i, const WeightedSide& high,
                                                   std::size_t j, double rare) {
  const DenseValues a = low.dense(i);
  const DenseValues b = high.dense(j);
  const std::size_t width = low.width;
  double lane[kLanes] = {};
  const std::size_t whole = width - width % kLanes;
  for (std::size_t k = 0; k < whole; k += kLanes) {
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) {
      lane[l] = lane[l] + DenseTerm<Metric>::of(a.at[(k + l) * a.stride], b.at[(k + l) * b.stride]);
    }
  }
  for (std::size_t k = whole; k < width; ++k) {
    lane[k - whole] = lane[k - whole] + DenseTerm<Metric>::of(a.at[k * a.stride], b.at[k * b.stride]);
  }
  double q = lane[0];
  for (std::size_t l = 1; l < kLanes; ++l) q = q + lane[l];
  q = q + rare;
  const double both = low.totals[i] + high.totals[j];
  const double sum = both - (q + q);
  // A sum that cancelled too far is formed again term by term.
  if (__builtin_expect(needs_exact(sum, both), 0)) return exact_cell<Metric>(low, i, high, j);
  return finish_sum<Metric>(sum);
}

// Cell (r, c) of rows against cols, whichever tree is lower; `cell` holds its shared rare sum.
template <class Metric>
[[gnu::always_inline]] inline double any_cell(const WeightedSide& rows, std::size_t r, const WeightedSide& cols,
                                              std::size_t c, double cell) {
  const std::uint64_t row_tree = rows.trees[r];
  const std::uint64_t col_tree = cols.trees[c];
  if (row_tree == col_tree) return 0.0;
  return row_tree < col_tree ? weighted_cell<Metric>(rows, r, cols, c, cell) : weighted_cell<Metric>(cols, c, rows, r, cell);
}

// Which side holds the lower tree of every cell of a panel tile: its rows, its columns, or
// neither (a tree against itself, or rows on both sides of a column). `above`: every cell lies
// right of the diagonal of one side against itself, so the rows are lower.
enum class LowSide { rows, cols, mixed };

[[gnu::always_inline]] inline LowSide low_side(const WeightedSide& rows, std::size_t r, std::size_t take, bool above,
                                               std::uint64_t col_min, std::uint64_t col_max) {
  if (above) return LowSide::rows;
  const auto [low, high] = std::minmax_element(rows.trees.begin() + r, rows.trees.begin() + r + take);
  if (*high < col_min) return LowSide::rows;
  return *low > col_max ? LowSide::cols : LowSide::mixed;
}

// The cells of a tile whose lower trees lie on both sides, each decided on its own.
template <class Metric>
void mixed_tile(const WeightedSide& rows, std::size_t r, std::size_t take, const WeightedSide& cols, std::size_t j0,
                std::size_t count, double* cells, std::size_t stride) {
  for (std::size_t i = 0; i < take; ++i) {
    for (std::size_t c = 0; c < count; ++c) {
      double& cell = cells[i * stride + c];
      cell = any_cell<Metric>(rows, r + i, cols, j0 + c, cell);
    }
  }
}

// Lanes 0-3 and 4-7 of four cells to eight vectors holding lane l of each of the four cells.
template <class V>
[[gnu::always_inline]] inline void lanes_side_by_side(const Lanes<V> (&acc)[4], v4d (&lane)[8]) {
  v4d lo[4], hi[4];
  for (int c = 0; c < 4; ++c) halves(acc[c], lo[c], hi[c]);
  for (int half = 0; half < 2; ++half) {
    const v4d* part = half == 0 ? lo : hi;
    const v4d t0 = __builtin_shufflevector(part[0], part[1], 0, 4, 2, 6);
    const v4d t1 = __builtin_shufflevector(part[0], part[1], 1, 5, 3, 7);
    const v4d t2 = __builtin_shufflevector(part[2], part[3], 0, 4, 2, 6);
    const v4d t3 = __builtin_shufflevector(part[2], part[3], 1, 5, 3, 7);
    lane[4 * half + 0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    lane[4 * half + 1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    lane[4 * half + 2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    lane[4 * half + 3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
  }
}


#if defined(__clang__)
#pragma clang fp contract(off)
#define NO_FUSED_MULTIPLY_ADD
#else
#define NO_FUSED_MULTIPLY_ADD __attribute__((optimize("fp-contract=off")))
#endif

// Adds the terms of columns [0, whole) of one own row against 4 column rows to their cells'
// lanes, then those of the zero-padded partial group when there is one; the term takes the own
// row's value first when kOwnLow. Fully unrolled so the accumulators stay in registers.
template <class Term, class V, bool kOwnLow>
[[gnu::always_inline]] inline void sweep(const double* own, const double* const (&col)[4], std::size_t whole,
                                         const double* own_pad, const double* const (&col_pad)[4],
                                         Lanes<V> (&acc)[4]) {
  constexpr int kWidth = static_cast<int>(sizeof(V) / sizeof(double));
  const auto step = [&](const double* x_at, const double* const (&y_at)[4], std::size_t k) {
#pragma GCC unroll 8
    for (int h = 0; h < Lanes<V>::kParts; ++h) {
      const V x = load_part<V>(x_at + k + h * kWidth);
#pragma GCC unroll 4
      for (int c = 0; c < 4; ++c) {
        const V y = load_part<V>(y_at[c] + k + h * kWidth);
        acc[c].part[h] = acc[c].part[h] + (kOwnLow ? Term::of(x, y) : Term::of(y, x));
      }
    }
  };
  for (std::size_t k = 0; k < whole; k += 8) step(own, col, k);
  if (own_pad != nullptr) step(own_pad, col_pad, 0);
}

// Row-major dense pass and finish for rows [r0, r1) (at most kChunkRows) against columns
// [c0, c1), 4 columns at a time. Each (row, column) cell keeps 8 lanes; lane k mod 8 receives its
// terms in ascending k, so an 8-lane vector per cell is exactly the scalar order. The lanes live
// in registers across the whole row: the 512-wide segments of the order only matter for cache,
// and the 4 column rows stay in cache while the rows sweep them. A row whose tree lies between
// the group's trees (or among them) takes its 4 cells one by one.
//
// The last, partial group of 8 columns is read from zero-padded copies. A lane starts at +0.0
// and so can never be -0.0, which makes adding the padding's +0.0 terms an exact no-op.
// Cells enter holding the shared rare sum and leave holding the distance.
template <class Metric, class V>
[[gnu::always_inline]] inline void dense_rows(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0,
                                              std::size_t r1, std::size_t c0, std::size_t c1, double* out,
                                              std::size_t stride, bool above) {
  using Term = DenseTerm<Metric>;
  const std::size_t count = r1 - r0;
  const std::size_t width = rows.width;
  const std::size_t whole = width - width % kLanes;
  const bool tail = whole != width;
  // The rows' own partial groups, copied once so no load waits on a fresh store.
  alignas(64) double own_tail[kChunkRows][kLanes] = {};
  const double* own_row[kChunkRows] = {};
  RedoMarks redo_marks(count, (c1 - c0 + kGroupColumns - 1) / kGroupColumns);
  for (std::size_t i = r0; i < r1; ++i) {
    own_row[i - r0] = width == 0 ? nullptr : rows.row(i);
    for (std::size_t k = whole; k < width; ++k) own_tail[i - r0][k - whole] = own_row[i - r0][k];
  }
  for (std::size_t g0 = c0; g0 < c1; g0 += kGroupColumns) {
    const std::size_t group = std::min(kGroupColumns, c1 - g0);
    const std::size_t last = g0 + group - 1;
    // A short last group repeats its last column; those sums are computed and dropped.
    const double* col[kGroupColumns];
    alignas(64) double col_tail[kGroupColumns][kLanes];
    std::uint64_t low_tree = UINT64_MAX;
    std::uint64_t high_tree = 0;
    for (std::size_t c = 0; c < kGroupColumns; ++c) {
      const std::size_t j = std::min(g0 + c, last);
      low_tree = std::min(low_tree, cols.trees[j]);
      high_tree = std::max(high_tree, cols.trees[j]);
      col[c] = width == 0 ? nullptr : cols.row(j);
      if (!tail) continue;
      for (std::size_t k = 0; k < kLanes; ++k) col_tail[c][k] = whole + k < width ? col[c][whole + k] : 0.0;
    }
    const v4d t_j = {cols.totals[g0], cols.totals[std::min(g0 + 1, last)], cols.totals[std::min(g0 + 2, last)],
                     cols.totals[last]};
    // The next group's rows come from L3 or memory; ask for them while this group computes, one
    // row before each row of the pass: asked all at once, they fill the core's miss buffers and it stalls.
    const std::size_t next_end = width == 0 ? last + 1 : std::min(last + 1 + kGroupColumns, c1);
    std::size_t next = last + 1;
    const auto fetch_next_row = [&] {
      if (next >= next_end) return;
      const char* bytes = reinterpret_cast<const char*>(cols.row(next++));
      for (std::size_t b = 0; b < width * sizeof(double); b += 64) __builtin_prefetch(bytes + b);
    };

    // Q = lanes left to right plus the rare sum, then S = (T_low + T_high) - (Q + Q), per cell.
    const auto finish_row = [&](std::size_t i, const Lanes<V> (&acc)[kGroupColumns], bool row_low, unsigned keep) {
      v4d lane[kLanes];
      lanes_side_by_side(acc, lane);
      double* row_cells = out + (i - r0) * stride + (g0 - c0);
      const v4d rare = group == kGroupColumns
                           ? load4(row_cells)
                           : v4d{row_cells[0], group > 1 ? row_cells[1] : 0.0, group > 2 ? row_cells[2] : 0.0, 0.0};
      v4d q = lane[0];
      for (std::size_t l = 1; l < kLanes; ++l) q = q + lane[l];
      q = q + rare;
      const v4d t_i = {rows.totals[i], rows.totals[i], rows.totals[i], rows.totals[i]};
      const v4d both = row_low ? t_i + t_j : t_j + t_i;
      const v4d sums = both - (q + q);
      // A NaN sum means a NaN length or infinite lengths cancelling: the distance is unknown,
      // and 0 would claim the trees equal, so it stays NaN. A sum below zero is rounding and
      // gives +0.0. One comparison does both, NaN failing it; a zero sum is always +0.0, since
      // no total is -0.0 (each starts from +0.0).
      const v4d zero = {};
      const v4d clamped = zero > sums ? zero : sums;
      v4d done = clamped;
      if constexpr (std::is_same_v<Metric, BranchScore>) {
        // The vector square root rounds exactly as std::sqrt does, without the library call
        // that std::sqrt keeps for a negative argument's errno; no sum here is negative.
#if BRANTOVEIL_X86_64
        const v2d lo = _mm_sqrt_pd(__builtin_shufflevector(clamped, clamped, 0, 1));
        const v2d hi = _mm_sqrt_pd(__builtin_shufflevector(clamped, clamped, 2, 3));
        done = __builtin_shufflevector(lo, hi, 0, 1, 2, 3);
#else
        for (int c = 0; c < 4; ++c) done[c] = std::sqrt(clamped[c]);
#endif
      }
      if (keep == 0xFu) {
        std::memcpy(row_cells, &done, sizeof done);
      } else {
        for (std::size_t c = 0; c < group; ++c) {
          if ((keep >> c & 1u) != 0) row_cells[c] = done[c];
        }
      }
      const auto redo = sums < both * kExactShare;
      unsigned bits = 0;
      for (std::size_t c = 0; c < kGroupColumns; ++c) bits |= (redo[c] != 0 && (keep >> c & 1u) != 0 ? 1u : 0u) << c;
      redo_marks.at(i - r0, (g0 - c0) / kGroupColumns) = static_cast<std::uint8_t>(bits);
    };

    const double* col_pad[kGroupColumns] = {col_tail[0], col_tail[1], col_tail[2], col_tail[3]};
    for (std::size_t i = r0; i < r1; ++i) {
      fetch_next_row();
      const std::uint64_t tree = rows.trees[i];
      // With `above` only columns of later trees: none from the group's last on, and on the
      // diagonal's group the cells right of it.
      if (above && tree >= high_tree) continue;
      unsigned keep = (1u << group) - 1;
      if (above && tree >= low_tree) {
        keep = 0;
        for (std::size_t c = 0; c < group; ++c) keep |= (cols.trees[g0 + c] > tree ? 1u : 0u) << c;
      } else if (tree >= low_tree && tree <= high_tree) {
        double* row_cells = out + (i - r0) * stride + (g0 - c0);
        for (std::size_t c = 0; c < group; ++c) row_cells[c] = any_cell<Metric>(rows, i, cols, g0 + c, row_cells[c]);
        continue;
      }
      // Zeroed part by part: an aggregate `= {}` became a block clear of the stack copy.
      Lanes<V> acc[kGroupColumns];
#pragma GCC unroll 4
      for (std::size_t c = 0; c < kGroupColumns; ++c) {
#pragma GCC unroll 8
        for (int h = 0; h < Lanes<V>::kParts; ++h) acc[c].part[h] = V{};
      }
      const bool row_low = above || tree < low_tree;
      if (width > 0) {
        const double* own_pad = tail ? own_tail[i - r0] : nullptr;
        if (row_low) {
          sweep<Term, V, true>(own_row[i - r0], col, whole, own_pad, col_pad, acc);
        } else {
          sweep<Term, V, false>(own_row[i - r0], col, whole, own_pad, col_pad, acc);
        }
      }
      finish_row(i, acc, row_low, keep);
    }
    while (next < next_end) fetch_next_row();
  }
  redo_marks.redo<Metric>(rows, cols, r0, c0, kGroupColumns, out, stride);
}

// The row-major passes, one per instruction set below AVX-512 (which has the panel pass for its
// ordered tiles), the widest the CPU has unless a test pins one. No FMA is used in any pass (the
// compiler may not fuse a product into its sum), so every product and sum rounds separately and
// all instruction sets give the same bits.
#if BRANTOVEIL_X86_64
template <class Metric>
NO_FUSED_MULTIPLY_ADD __attribute__((target("avx2")))
void dense_rows_avx2(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0, std::size_t r1,
                     std::size_t c0, std::size_t c1, double* out, std::size_t stride, bool above) {
  for (std::size_t r = r0; r < r1; r += kChunkRows) {
    dense_rows<Metric, v4d>(rows, cols, r, std::min(r1, r + kChunkRows), c0, c1, out + (r - r0) * stride, stride,
                            above);
  }
}
#endif

template <class Metric>
NO_FUSED_MULTIPLY_ADD
void dense_rows_plain(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0, std::size_t r1,
                      std::size_t c0, std::size_t c1, double* out, std::size_t stride, bool above) {
  for (std::size_t r = r0; r < r1; r += kChunkRows) {
    dense_rows<Metric, v2d>(rows, cols, r, std::min(r1, r + kChunkRows), c0, c1, out + (r - r0) * stride, stride,
                            above);
  }
}

using panel_terms::DensePanels;

// Rows per one-call chunk of the panel pass: each panel, once in L1, serves 32 rows, which halves
// the panels streamed from L3 against 16 rows; at 64 the rows' own panels crowd L1 out.
constexpr std::size_t kPanelChunkRows = 32;

#if BRANTOVEIL_X86_64
// `Rows` rows (value k of row i at x[i][k * kStride]) against the 8 trees of one panel, all of
// whose cells share the lower tree's side (the rows' when kRowLow): lane l of each cell sums the
// terms of columns k = l mod 8 in ascending k, exactly as the row-major passes do, then the finish.
template <class Metric, bool kRowLow, int Rows, std::size_t kStride>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f"))) inline void panel_cells(
    const double* const (&x)[Rows], const double* row_totals, const double* panel, std::size_t width, v8d t_cols,
    const __mmask8 (&lanes)[Rows], double* cells, std::size_t stride, std::uint8_t* marks, std::size_t marks_stride) {
  v8d acc[Rows][kLanes];
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) acc[i][l] = v8d{};
  }
  panel_terms::add<Metric, kRowLow, Rows, kStride>(x, panel, width, acc);
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
    double* row_cells = cells + static_cast<std::size_t>(i) * stride;
    const __mmask8 inside = lanes[i];
    v8d q = acc[i][0];
#pragma GCC unroll 8
    for (std::size_t l = 1; l < kLanes; ++l) q = q + acc[i][l];
    q = q + _mm512_maskz_loadu_pd(inside, row_cells);
    const v8d t_row = _mm512_set1_pd(row_totals[i]);
    const v8d both = kRowLow ? t_row + t_cols : t_cols + t_row;
    const v8d sums = both - (q + q);
    // As in the row-major finish: NaN stays (the maximum returns its second operand then),
    // rounding below zero gives +0.0. Zero-masking forms, as the lanes outside `inside` are never stored.
    v8d done = _mm512_maskz_max_pd(inside, v8d{}, sums);
    if constexpr (std::is_same_v<Metric, BranchScore>) done = _mm512_maskz_sqrt_pd(inside, done);
    _mm512_mask_storeu_pd(row_cells, inside, done);
    // Cells to form again are marked, not formed here: a call would cost the tile its registers.
    marks[static_cast<std::size_t>(i) * marks_stride] = _mm512_cmp_pd_mask(sums, both * kExactShare, _CMP_LT_OQ) & inside;
  }
}

// Rows [r, r + count) of the row side, read from its own panels, against the panel from j0.
template <class Metric, bool kRowLow, int Rows>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f"))) inline void panel_tile(
    const WeightedSide& rows, std::size_t r, const double* panel, v8d t_cols, __mmask8 inside, bool above,
    std::size_t j0, double* cells, std::size_t stride, std::uint8_t* marks, std::size_t marks_stride) {
  const double* x[Rows];
  __mmask8 lanes[Rows];
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
    x[i] = rows.panels->panel((r + i) / kLanes) + (r + i) % kLanes;
    lanes[i] = static_cast<__mmask8>(row_lanes(inside, above, r + i, j0));
  }
  panel_cells<Metric, kRowLow, Rows, kLanes>(x, rows.totals.data() + r, panel, rows.width, t_cols, lanes, cells,
                                             stride, marks, marks_stride);
}

template <class Metric, bool kRowLow>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f"))) inline void panel_rows(
    std::size_t count, const WeightedSide& rows, std::size_t r, const double* panel, v8d t_cols, __mmask8 inside,
    bool above, std::size_t j0, double* cells, std::size_t stride, std::uint8_t* marks, std::size_t marks_stride) {
  if (count == 3) {
    panel_tile<Metric, kRowLow, 3>(rows, r, panel, t_cols, inside, above, j0, cells, stride, marks, marks_stride);
  } else if (count == 2) {
    panel_tile<Metric, kRowLow, 2>(rows, r, panel, t_cols, inside, above, j0, cells, stride, marks, marks_stride);
  } else {
    panel_tile<Metric, kRowLow, 1>(rows, r, panel, t_cols, inside, above, j0, cells, stride, marks, marks_stride);
  }
}

// The panel pass: rows against the column side's panels of 8 trees, three rows a tile (24
// accumulators, the column and a term fill 26 of the 32 registers). A tile whose cells do not all
// take the lower tree from the same side (a tree against itself, or rows on both sides of a
// column) is formed cell by cell; with `above` (one side against itself) such a tile is the
// diagonal's, and only its lanes right of the diagonal are finished. Both sides hold panels; `c0`
// is a multiple of 8.
template <class Metric>
NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f")))
void panel_pass_avx512(const WeightedSide& rows, const WeightedSide& cols, std::size_t r0, std::size_t r1,
                       std::size_t c0, std::size_t c1, double* out, std::size_t stride, bool above) {
  // Lane bits of the cells to form again term by term, one byte per row and panel.
  const std::size_t groups = (c1 - c0 + kLanes - 1) / kLanes;
  RedoMarks redo_marks(r1 - r0, groups);
  for (std::size_t j0 = c0; j0 < c1; j0 += kLanes) {
    const std::size_t count = std::min(kLanes, c1 - j0);
    const auto inside = static_cast<__mmask8>((1u << count) - 1);
    const v8d t_cols = _mm512_maskz_loadu_pd(inside, cols.totals.data() + j0);
    const double* panel = cols.panels->panel(j0 / kLanes);
    const auto [col_min, col_max] = cols.trees_within(j0, count);
    // Above the diagonal, rows from the panel's last column on have nothing to finish here.
    const std::size_t stop = above ? std::min(r1, j0 + count - 1) : r1;
    for (std::size_t r = r0; r < stop;) {
      const std::size_t take = std::min<std::size_t>(3, stop - r);
      double* cells = out + (r - r0) * stride + (j0 - c0);
      if (j0 + kLanes < c1) {
        // The cells of the next panel are read and written when its turn comes: fetch them now.
        for (std::size_t i = 0; i < take; ++i) __builtin_prefetch(cells + i * stride + kLanes, 1);
      }
      std::uint8_t* tile_marks = &redo_marks.at(r - r0, (j0 - c0) / kLanes);
      const LowSide low = low_side(rows, r, take, above, col_min, col_max);
      if (low == LowSide::rows) {
        panel_rows<Metric, true>(take, rows, r, panel, t_cols, inside, above, j0, cells, stride, tile_marks, groups);
      } else if (low == LowSide::cols) {
        panel_rows<Metric, false>(take, rows, r, panel, t_cols, inside, false, j0, cells, stride, tile_marks, groups);
      } else {
        mixed_tile<Metric>(rows, r, take, cols, j0, count, cells, stride);
      }
      r += take;
    }
  }
  redo_marks.redo<Metric>(rows, cols, r0, c0, kLanes, out, stride);
}
#endif

// The panel pass with narrower vectors (AVX2's 4 doubles, NEON's 2): `Rows` rows against a
// panel's 8 trees, one lane at a time, so that each column loaded serves every row and the
// accumulators stay in registers. The sums are those of the AVX-512 pass, term by term and lane
// by lane: each cell's lanes added left to right as they complete, then the rare sum, then the
// same finish. All the cells share the lower tree's side (the rows' when kRowLow).
#if BRANTOVEIL_X86_64 || BRANTOVEIL_NEON
#if BRANTOVEIL_X86_64
using NarrowLanes = v4d;
#define NARROW_PANEL_TARGET __attribute__((target("avx2")))
#else
using NarrowLanes = v2d;
#define NARROW_PANEL_TARGET
#endif

template <class Metric, bool kRowLow, int Rows>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET inline void narrow_panel_cells(
    const WeightedSide& rows, std::size_t r, const double* panel, std::size_t width, const double (&t_cols)[kLanes],
    std::size_t columns, bool above, std::size_t j0, double* cells, std::size_t stride, std::uint8_t* marks,
    std::size_t marks_stride) {
  using V = NarrowLanes;
  constexpr std::size_t kWidth = sizeof(V) / sizeof(double);
  constexpr std::size_t kParts = kLanes / kWidth;
  const double* own[Rows];
  for (int i = 0; i < Rows; ++i) own[i] = rows.panels->panel((r + i) / kLanes) + (r + i) % kLanes;
  V q[Rows][kParts];
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    V acc[Rows][kParts] = {};
    panel_terms::add_lane<Metric, V, Rows, kRowLow>(own, panel, width, lane, acc);
    for (int i = 0; i < Rows; ++i) {
      for (std::size_t part = 0; part < kParts; ++part) q[i][part] = lane == 0 ? acc[i][part] : q[i][part] + acc[i][part];
    }
  }
  for (int i = 0; i < Rows; ++i) {
    double* row_cells = cells + static_cast<std::size_t>(i) * stride;
    const unsigned keep = row_lanes((1u << columns) - 1, above, r + static_cast<std::size_t>(i), j0);
    // A whole panel, the usual case, is read and written in place.
    const bool whole = keep == 0xFFu;
    alignas(64) double rare[kLanes] = {};
    if (!whole) {
      for (std::size_t c = 0; c < columns; ++c) rare[c] = (keep >> c & 1u) != 0 ? row_cells[c] : 0.0;
    }
    const double* rare_cells = whole ? row_cells : rare;
    alignas(64) double done[kLanes];
    unsigned redo = 0;
    const double t_row = rows.totals[r + static_cast<std::size_t>(i)];
    V row_total;
    for (std::size_t w = 0; w < kWidth; ++w) row_total[w] = t_row;
#pragma GCC unroll 4
    for (std::size_t part = 0; part < kParts; ++part) {
      V rare_part, t_col;
      std::memcpy(&rare_part, rare_cells + part * kWidth, sizeof rare_part);
      std::memcpy(&t_col, t_cols + part * kWidth, sizeof t_col);
      const V sum_q = q[i][part] + rare_part;
      const V both = kRowLow ? row_total + t_col : t_col + row_total;
      const V sums = both - (sum_q + sum_q);
      // As in the other finishes: NaN stays, rounding below zero gives +0.0.
      const V zero = {};
      V finished = zero > sums ? zero : sums;
      if constexpr (std::is_same_v<Metric, BranchScore>) {
#if BRANTOVEIL_X86_64
        finished = _mm256_sqrt_pd(finished);
#else
        finished = vsqrtq_f64(finished);
#endif
      }
      std::memcpy(done + part * kWidth, &finished, sizeof finished);
      const auto below = sums < both * kExactShare;
#if BRANTOVEIL_X86_64
      redo |= static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(below))) << (part * kWidth);
#else
      for (std::size_t w = 0; w < kWidth; ++w) redo |= (below[w] != 0 ? 1u : 0u) << (part * kWidth + w);
#endif
    }
    if (whole) {
      std::memcpy(row_cells, done, sizeof done);
    } else {
      for (std::size_t c = 0; c < columns; ++c) {
        if ((keep >> c & 1u) != 0) row_cells[c] = done[c];
      }
    }
    marks[static_cast<std::size_t>(i) * marks_stride] = static_cast<std::uint8_t>(redo & keep);
  }
}

template <class Metric, bool kRowLow>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET inline void narrow_panel_rows(
    std::size_t count, const WeightedSide& rows, std::size_t r, const double* panel, std::size_t width,
    const double (&t_cols)[kLanes], std::size_t columns, bool above, std::size_t j0, double* cells, std::size_t stride,
    std::uint8_t* marks, std::size_t marks_stride) {
  if (count == 4) {
    narrow_panel_cells<Metric, kRowLow, 4>(rows, r, panel, width, t_cols, columns, above, j0, cells, stride, marks,
                                           marks_stride);
    return;
  }
  std::size_t i = 0;
  if (count >= 2) {
    narrow_panel_cells<Metric, kRowLow, 2>(rows, r, panel, width, t_cols, columns, above, j0, cells, stride, marks,
                                           marks_stride);
    i = 2;
  }
  if (i < count) {
    narrow_panel_cells<Metric, kRowLow, 1>(rows, r + i, panel, width, t_cols, columns, above, j0, cells + i * stride,
                                           stride, marks + i * marks_stride, marks_stride);
  }
}

// The narrow panel pass over rows [r0, r1) against columns [c0, c1), four rows a tile; mixed
// tiles and `above` as in the AVX-512 pass. Both sides hold panels; `c0` is a multiple of 8.
template <class Metric>
NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET void panel_pass_narrow(const WeightedSide& rows, const WeightedSide& cols,
                                                                 std::size_t r0, std::size_t r1, std::size_t c0,
                                                                 std::size_t c1, double* out, std::size_t stride,
                                                                 bool above) {
  const std::size_t groups = (c1 - c0 + kLanes - 1) / kLanes;
  RedoMarks redo_marks(r1 - r0, groups);
  for (std::size_t j0 = c0; j0 < c1; j0 += kLanes) {
    const std::size_t columns = std::min(kLanes, c1 - j0);
    alignas(64) double t_cols[kLanes] = {};
    for (std::size_t c = 0; c < columns; ++c) t_cols[c] = cols.totals[j0 + c];
    const double* panel = cols.panels->panel(j0 / kLanes);
    const auto [col_min, col_max] = cols.trees_within(j0, columns);
    const std::size_t stop = above ? std::min(r1, j0 + columns - 1) : r1;
    for (std::size_t r = r0; r < stop;) {
      const std::size_t take = std::min<std::size_t>(4, stop - r);
      double* cells = out + (r - r0) * stride + (j0 - c0);
      if (j0 + kLanes < c1) {
        // The cells of the next panel are read and written when its turn comes: fetch them now.
        for (std::size_t i = 0; i < take; ++i) __builtin_prefetch(cells + i * stride + kLanes, 1);
      }
      std::uint8_t* tile_marks = &redo_marks.at(r - r0, (j0 - c0) / kLanes);
      const LowSide low = low_side(rows, r, take, above, col_min, col_max);
      if (low == LowSide::rows) {
        narrow_panel_rows<Metric, true>(take, rows, r, panel, rows.width, t_cols, columns, above, j0, cells, stride,
                                        tile_marks, groups);
      } else if (low == LowSide::cols) {
        narrow_panel_rows<Metric, false>(take, rows, r, panel, rows.width, t_cols, columns, false, j0, cells, stride,
                                         tile_marks, groups);
      } else {
        mixed_tile<Metric>(rows, r, take, cols, j0, columns, cells, stride);
      }
      r += take;
    }
  }
  redo_marks.redo<Metric>(rows, cols, r0, c0, kLanes, out, stride);
}
#undef NARROW_PANEL_TARGET
#endif

// The dense passes, best first: the row-major pass and the panel pass (null: rows only) of each level.
struct DensePasses {
  WeightedDense row_major;
  WeightedDense panel;
};

template <class Metric>
const Implementation<DensePasses> kDensePasses[] = {
#if BRANTOVEIL_X86_64
    {Isa::avx512, {dense_rows_avx2<Metric>, panel_pass_avx512<Metric>}},
    {Isa::avx2, {dense_rows_avx2<Metric>, panel_pass_narrow<Metric>}},
#endif
#if BRANTOVEIL_NEON
    {Isa::neon, {dense_rows_plain<Metric>, panel_pass_narrow<Metric>}},
#endif
    {Isa::plain, {dense_rows_plain<Metric>, nullptr}},
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
    row_major_(rows, cols, r0, r1, c0, c1, out, stride, above);
  } else if (c0 % kLanes == 0) {
    panel_(rows, cols, r0, r1, c0, c1, out, stride, above);
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
