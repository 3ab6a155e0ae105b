// The weighted kernel's dense passes share these always-inlined pieces: lane vectors, the cell
// formed one at a time, the cells marked to form again, and the row sweep. The sums' fixed order and
// the cancellation rule are stated in weighted.cpp. Included only by the passes and the kernel.
#pragma once

// Lane vectors only pass between always-inlined helpers, so their calling convention never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "distances/isa.h"
#include "distances/kernels.h"
#include "distances/panel.h"
#include "distances/weighted.h"

namespace brantoveil::distances::dense {

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

// Rows per one-call chunk of the panel pass: each panel, once in L1, serves 32 rows, which halves
// the panels streamed from L3 against 16 rows; at 64 the rows' own panels crowd L1 out.
constexpr std::size_t kPanelChunkRows = 32;

}  // namespace brantoveil::distances::dense
