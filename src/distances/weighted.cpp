// Weighted kernels: per-tree totals, shared rare splits into the output cells, an 8-lane dense pass.
//
// Every sum has one fixed order (lanes by ascending column, lanes combined left to right, rare
// terms by ascending sparse index), so the matrix is bit-identical for every thread count and for
// the vector and scalar builds of the dense pass.
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
#include <type_traits>
#include <vector>

#include "distances/boundary.h"
#include "distances/isa.h"
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

// Rows per fill chunk: each group of 4 column rows, loaded once into cache, serves all 16 rows,
// so every later row is streamed once per 16 rows rather than once per 8.
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

// Dense rows as the fill reads them: one base pointer per block.
struct DenseView {
  const double* const* blocks;
  std::uint32_t shift;
  std::size_t width;

  const double* row(std::size_t tree) const {
    return blocks[tree >> shift] + (tree & ((std::size_t{1} << shift) - 1)) * width;
  }
};

// Per-tree layout: lengths of dense splits into the row, rare ones into the sparse list, and the
// tree's total T = private + (dense + sparse), each part summed in its fixed order.
template <class Metric>
double weighted_lay_out(const InternSnap& snap, const ColumnLayout& layout, std::span<double> row,
                        std::vector<SparseEntry>& sparse, double& own_only) {
  const std::size_t width = layout.dense;
  const std::size_t splits = std::min<std::size_t>(std::size_t{snap.pendants} + snap.ids.size(),
                                                   snap.lengths.size());
  own_only = 0.0;
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

  return tree_total<Metric>(row.first(width), sparse, own_only);
}

// What forming a pair again reads: each tree's dense values, rare list and private sum.
struct PairRecords {
  DenseView rows;                                  // the row-major passes
  const panel_terms::DensePanels* panels = nullptr;  // the panel pass
  const Postings* postings = nullptr;
  const double* privates = nullptr;

  DenseValues dense(std::size_t t) const {
    if (panels != nullptr) return {panels->panel(t / kLanes) + t % kLanes, kLanes};
    return {rows.width == 0 ? nullptr : rows.row(t), 1};
  }
  RareValues rare(std::size_t t) const {
    const Postings::OwnRange own = postings->own_of(t);
    return {own.block->columns.data() + own.first, own.block->weights.data() + own.first, own.last - own.first};
  }
  std::size_t width() const { return panels != nullptr ? panels->width() : rows.width; }
};

// Cell (i, j) formed term by term; out of line, as it is rarely needed.
template <class Metric>
[[gnu::noinline]] double exact_cell(const PairRecords& records, std::size_t i, std::size_t j) {
  return finish_sum<Metric>(exact_sum<Metric>(records.dense(i), records.dense(j), records.width(), records.rare(i),
                                              records.rare(j), records.privates[i], records.privates[j]));
}

// The cells of one chunk to form again, marked by the dense pass (a byte of lane bits per row and
// group of columns) and formed after it: a call inside the pass would cost its registers.
struct RedoMarks {
  std::size_t groups;  // per row
  std::vector<std::uint8_t> marks;

  RedoMarks(std::size_t rows, std::size_t groups_per_row) : groups(groups_per_row), marks(rows * groups_per_row) {}
  std::uint8_t& at(std::size_t row, std::size_t group) { return marks[row * groups + group]; }

  // Forms the marked cells again; group g of a row starts at column first + g * lanes.
  template <class Metric>
  void redo(const PairRecords& records, std::size_t r0, std::size_t n, std::size_t first, std::size_t lanes,
            double* cells) const {
    for (std::size_t k = 0; k < marks.size(); ++k) {
      unsigned bits = marks[k];
      while (bits != 0) {
        const std::size_t i = r0 + k / groups;
        const std::size_t j = first + (k % groups) * lanes + static_cast<std::size_t>(__builtin_ctz(bits));
        cells[(i - r0) * n + j] = exact_cell<Metric>(records, i, j);
        bits &= bits - 1;
      }
    }
  }
};

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

// Adds the terms of columns [0, whole) of one own row against 4 column rows to their cells'
// lanes, then those of the zero-padded partial group when there is one. Fully unrolled so the
// accumulators stay in registers.
template <class Term, class V>
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
        acc[c].part[h] = acc[c].part[h] + Term::of(x, y);
      }
    }
  };
  for (std::size_t k = 0; k < whole; k += 8) step(own, col, k);
  if (own_pad != nullptr) step(own_pad, col_pad, 0);
}

// Dense pass and finish for rows [r0, r0 + count) against every later column, 4 columns at a
// time. Each (row, column) cell keeps 8 lanes; lane k mod 8 receives its terms in ascending k,
// so an 8-lane vector per cell is exactly the scalar order. The lanes live in registers across
// the whole row: the 512-wide segments of the order only matter for cache, and the 4 column
// rows stay in cache while the chunk's rows sweep them.
//
// The last, partial group of 8 columns is read from zero-padded copies. A lane starts at +0.0
// and so can never be -0.0, which makes adding the padding's +0.0 terms an exact no-op.
// Cells enter holding the shared rare sum and leave holding the distance.
template <class Metric, class V>
[[gnu::always_inline]] inline void dense_finish(const PairRecords& records, const double* totals,
                                                std::size_t n, std::size_t r0, std::size_t count,
                                                double* cells) {
  const DenseView& rows = records.rows;
  using Term = DenseTerm<Metric>;
  const std::size_t width = rows.width;
  const std::size_t whole = width - width % kLanes;
  const bool tail = whole != width;
  // The chunk's own partial groups, copied once so no load waits on a fresh store.
  alignas(64) double own_tail[kChunkRows][kLanes] = {};
  const double* own_row[kChunkRows] = {};
  // Column groups start at r0 + 1, 4 columns each.
  RedoMarks redo_marks(count, (n - r0 - 1 + kGroupColumns - 1) / kGroupColumns);
  for (std::size_t i = r0; i < r0 + count; ++i) {
    own_row[i - r0] = width == 0 ? nullptr : rows.row(i);
    for (std::size_t k = whole; k < width; ++k) own_tail[i - r0][k - whole] = own_row[i - r0][k];
  }
  for (std::size_t c0 = r0 + 1; c0 < n; c0 += kGroupColumns) {
    const std::size_t group = std::min(kGroupColumns, n - c0);
    const std::size_t last = c0 + group - 1;
    // A short last group repeats its last column; those sums are computed and dropped.
    const double* col[kGroupColumns];
    alignas(64) double col_tail[kGroupColumns][kLanes];
    for (std::size_t c = 0; c < kGroupColumns; ++c) {
      col[c] = width == 0 ? nullptr : rows.row(std::min(c0 + c, last));
      if (!tail) continue;
      for (std::size_t k = 0; k < kLanes; ++k) col_tail[c][k] = whole + k < width ? col[c][whole + k] : 0.0;
    }
    const v4d t_j = {totals[c0], totals[std::min(c0 + 1, last)], totals[std::min(c0 + 2, last)],
                     totals[last]};
    // The next group's rows come from L3 or memory; ask for them while this group computes, one
    // row before each tile: asked all at once, they fill the core's miss buffers and it stalls.
    const std::size_t next_end = width == 0 ? last + 1 : std::min(last + 1 + kGroupColumns, n);
    std::size_t next = last + 1;
    const auto fetch_next_row = [&] {
      if (next >= next_end) return;
      const char* bytes = reinterpret_cast<const char*>(rows.row(next++));
      for (std::size_t b = 0; b < width * sizeof(double); b += 64) __builtin_prefetch(bytes + b);
    };

    // Q = lanes left to right plus the rare sum, then S = (T_i + T_j) - (Q + Q), per cell.
    const auto finish_row = [&](std::size_t i, const Lanes<V> (&acc)[kGroupColumns]) {
      v4d lane[kLanes];
      lanes_side_by_side(acc, lane);
      double* row_cells = cells + (i - r0) * n;
      const v4d rare = group == kGroupColumns
                           ? load4(row_cells + c0)
                           : v4d{row_cells[c0], group > 1 ? row_cells[c0 + 1] : 0.0,
                                 group > 2 ? row_cells[c0 + 2] : 0.0, 0.0};
      v4d q = lane[0];
      for (std::size_t l = 1; l < kLanes; ++l) q = q + lane[l];
      q = q + rare;
      const v4d t_i = {totals[i], totals[i], totals[i], totals[i]};
      const v4d both = t_i + t_j;
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
      if (group == kGroupColumns && c0 > i) {
        std::memcpy(row_cells + c0, &done, sizeof done);
      } else {
        for (std::size_t c = 0; c < group; ++c) {
          if (c0 + c > i) row_cells[c0 + c] = done[c];
        }
      }
      const auto redo = sums < both * kExactShare;
      unsigned bits = 0;
      for (std::size_t c = 0; c < kGroupColumns; ++c) bits |= (redo[c] != 0 && c < group && c0 + c > i ? 1u : 0u) << c;
      redo_marks.at(i - r0, (c0 - r0 - 1) / kGroupColumns) = static_cast<std::uint8_t>(bits);
    };

    const double* col_pad[kGroupColumns] = {col_tail[0], col_tail[1], col_tail[2], col_tail[3]};
    for (std::size_t i = r0; i < r0 + count && i < last; ++i) {
      fetch_next_row();
      // Zeroed part by part: an aggregate `= {}` became a block clear of the stack copy.
      Lanes<V> acc[kGroupColumns];
#pragma GCC unroll 4
      for (std::size_t c = 0; c < kGroupColumns; ++c) {
#pragma GCC unroll 8
        for (int h = 0; h < Lanes<V>::kParts; ++h) acc[c].part[h] = V{};
      }
      if (width > 0) sweep<Term, V>(own_row[i - r0], col, whole, tail ? own_tail[i - r0] : nullptr, col_pad, acc);
      finish_row(i, acc);
    }
    while (next < next_end) fetch_next_row();
  }
  redo_marks.redo<Metric>(records, r0, n, r0 + 1, kGroupColumns, cells);
}

// The row-major passes, one per instruction set below AVX-512 (which has the panel pass), the
// widest the CPU has unless a test pins one. No FMA is used in any pass (the compiler may not
// fuse a product into its sum), so every product and sum rounds separately and all three
// instruction sets give the same bits.
using DenseFinish = void (*)(const PairRecords&, const double*, std::size_t, std::size_t,
                             std::size_t, double*);

#if defined(__clang__)
#pragma clang fp contract(off)
#define NO_FUSED_MULTIPLY_ADD
#else
#define NO_FUSED_MULTIPLY_ADD __attribute__((optimize("fp-contract=off")))
#endif

#if BRANTOVEIL_X86_64
template <class Metric>
NO_FUSED_MULTIPLY_ADD __attribute__((target("avx2")))
void dense_finish_avx2(const PairRecords& records, const double* totals, std::size_t n, std::size_t r0,
                       std::size_t count, double* cells) {
  dense_finish<Metric, v4d>(records, totals, n, r0, count, cells);
}
#endif

template <class Metric>
NO_FUSED_MULTIPLY_ADD
void dense_finish_plain(const PairRecords& records, const double* totals, std::size_t n, std::size_t r0,
                        std::size_t count, double* cells) {
  dense_finish<Metric, v2d>(records, totals, n, r0, count, cells);
}

using panel_terms::DensePanels;

// Rows per fill chunk of the panel pass: each panel, once in L1, serves 32 rows, which halves
// the panels streamed from L3 against 16 rows; at 64 the rows' own panels crowd L1 out.
constexpr std::size_t kPanelChunkRows = 32;

#if BRANTOVEIL_X86_64
// `Rows` rows from `i` against the 8 columns of panel `p`: lane l of each cell sums the terms of
// columns k = l mod 8 in ascending k, exactly as the row-major passes do, then the finish.
template <class Metric, int Rows>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f"))) inline void panel_tile(
    const PairRecords& records, const double* totals, std::size_t n, std::size_t r0, std::size_t i, std::size_t p,
    v8d t_j, __mmask8 inside, double* cells, RedoMarks& redo_marks) {
  const DensePanels& panels = *records.panels;
  const double* x[Rows];
  v8d acc[Rows][kLanes];
#pragma GCC unroll 4
  for (int r = 0; r < Rows; ++r) {
    x[r] = panels.panel((i + r) / kLanes) + (i + r) % kLanes;
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) acc[r][l] = v8d{};
  }
  // The rows sit in panels too: a row's value k is 8 doubles after its value k - 1.
  panel_terms::add<Metric, true, Rows, kLanes>(x, panels.panel(p), panels.width(), acc);
  const std::size_t j0 = p * kLanes;
#pragma GCC unroll 4
  for (int r = 0; r < Rows; ++r) {
    const std::size_t row = i + r;
    // Only the cells above the diagonal are the kernel's; the panel may start at or below it.
    const __mmask8 above =
        row < j0 ? inside : static_cast<__mmask8>(inside & (0xFFu << (row - j0 + 1)) & 0xFFu);
    double* row_cells = cells + (row - r0) * n + j0;
    v8d q = acc[r][0];
#pragma GCC unroll 8
    for (std::size_t l = 1; l < kLanes; ++l) q = q + acc[r][l];
    q = q + _mm512_maskz_loadu_pd(above, row_cells);
    const v8d t_i = _mm512_set1_pd(totals[row]);
    const v8d both = t_i + t_j;
    const v8d sums = both - (q + q);
    // As in the row-major finish: NaN stays, rounding below zero gives +0.0. Zero-masking forms,
    // as the lanes outside `above` are never stored.
    v8d done = _mm512_maskz_max_pd(above, v8d{}, sums);
    if constexpr (std::is_same_v<Metric, BranchScore>) done = _mm512_maskz_sqrt_pd(above, done);
    _mm512_mask_storeu_pd(row_cells, above, done);
    redo_marks.at(row - r0, p) = _mm512_cmp_pd_mask(sums, both * kExactShare, _CMP_LT_OQ) & above;
  }
}

template <class Metric>
NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f")))
void panel_finish_avx512(const PairRecords& records, const double* totals, std::size_t n, std::size_t r0,
                         std::size_t count, double* cells) {
  RedoMarks redo_marks(count, (n + kLanes - 1) / kLanes);
  for (std::size_t p = (r0 + 1) / kLanes; p * kLanes < n; ++p) {
    const std::size_t j0 = p * kLanes;
    const std::size_t columns = std::min(kLanes, n - j0);
    const auto inside = static_cast<__mmask8>((1u << columns) - 1);
    const v8d t_j = _mm512_maskz_loadu_pd(inside, totals + j0);
    // Rows below the panel's last column; later rows of the chunk have nothing above the diagonal here.
    const std::size_t stop = std::min(r0 + count, j0 + columns - 1);
    // Three rows a tile: 24 accumulators, the column and a term fill 26 of the 32 registers.
    std::size_t i = r0;
    for (; i + 3 <= stop; i += 3) {
      if (j0 + kLanes < n) {
        // The cells of the next panel are read and written when its turn comes: fetch them now.
        for (std::size_t r = 0; r < 3; ++r) __builtin_prefetch(cells + (i + r - r0) * n + j0 + kLanes, 1);
      }
      panel_tile<Metric, 3>(records, totals, n, r0, i, p, t_j, inside, cells, redo_marks);
    }
    if (i + 2 <= stop) {
      panel_tile<Metric, 2>(records, totals, n, r0, i, p, t_j, inside, cells, redo_marks);
      i += 2;
    }
    if (i < stop) panel_tile<Metric, 1>(records, totals, n, r0, i, p, t_j, inside, cells, redo_marks);
  }
  redo_marks.redo<Metric>(records, r0, n, 0, kLanes, cells);
}
#endif

// The panel pass with narrower vectors (AVX2's 4 doubles, NEON's 2): `Rows` rows against a
// panel's 8 trees, one lane at a time, so that each column loaded serves every row and the
// accumulators stay in registers. The sums are those of the AVX-512 pass, term by term and lane
// by lane: each cell's lanes added left to right as they complete, then the rare sum, then the
// same finish.
#if BRANTOVEIL_X86_64 || BRANTOVEIL_NEON
#if BRANTOVEIL_X86_64
using NarrowLanes = v4d;
#define NARROW_PANEL_TARGET __attribute__((target("avx2")))
#else
using NarrowLanes = v2d;
#define NARROW_PANEL_TARGET
#endif

template <class Metric, int Rows>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET inline void narrow_panel_tile(
    const PairRecords& records, const double* totals, std::size_t n, std::size_t r0, std::size_t i, std::size_t p,
    const double (&t_j_cells)[kLanes], std::size_t columns, double* cells, RedoMarks& redo_marks) {
  using V = NarrowLanes;
  constexpr std::size_t kWidth = sizeof(V) / sizeof(double);
  constexpr std::size_t kParts = kLanes / kWidth;
  const DensePanels& panels = *records.panels;
  const double* own[Rows];
  for (int r = 0; r < Rows; ++r) own[r] = panels.panel((i + r) / kLanes) + (i + r) % kLanes;
  V q[Rows][kParts];
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    V acc[Rows][kParts] = {};
    panel_terms::add_lane<Metric, V, Rows>(own, panels.panel(p), panels.width(), lane, acc);
    for (int r = 0; r < Rows; ++r) {
      for (std::size_t part = 0; part < kParts; ++part) q[r][part] = lane == 0 ? acc[r][part] : q[r][part] + acc[r][part];
    }
  }
  const std::size_t j0 = p * kLanes;
  for (int r = 0; r < Rows; ++r) {
    const std::size_t row = i + r;
    // Only the cells above the diagonal are the kernel's; the panel may start at or below it.
    const std::size_t first = row < j0 ? 0 : row - j0 + 1;
    double* row_cells = cells + (row - r0) * n + j0;
    // A whole row of the panel above the diagonal, the usual case, is read and written in place.
    const bool whole = first == 0 && columns == kLanes;
    alignas(64) double rare[kLanes] = {};
    if (!whole) {
      for (std::size_t c = first; c < columns; ++c) rare[c] = row_cells[c];
    }
    const double* rare_cells = whole ? row_cells : rare;
    alignas(64) double done[kLanes];
    unsigned redo = 0;
    const double t_i = totals[row];
    V own_total;
    for (std::size_t w = 0; w < kWidth; ++w) own_total[w] = t_i;
#pragma GCC unroll 4
    for (std::size_t part = 0; part < kParts; ++part) {
      V rare_part, t_j;
      std::memcpy(&rare_part, rare_cells + part * kWidth, sizeof rare_part);
      std::memcpy(&t_j, t_j_cells + part * kWidth, sizeof t_j);
      const V sum_q = q[r][part] + rare_part;
      const V both = own_total + t_j;
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
      for (std::size_t c = first; c < columns; ++c) row_cells[c] = done[c];
    }
    const unsigned above = ((1u << columns) - 1) & ~((1u << first) - 1);
    redo_marks.at(row - r0, p) = static_cast<std::uint8_t>(redo & above);
  }
}

template <class Metric>
NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET void panel_finish_narrow(const PairRecords& records, const double* totals,
                                                                   std::size_t n, std::size_t r0, std::size_t count,
                                                                   double* cells) {
  RedoMarks redo_marks(count, (n + kLanes - 1) / kLanes);
  for (std::size_t p = (r0 + 1) / kLanes; p * kLanes < n; ++p) {
    const std::size_t j0 = p * kLanes;
    const std::size_t columns = std::min(kLanes, n - j0);
    alignas(64) double t_j_cells[kLanes] = {};
    for (std::size_t c = 0; c < columns; ++c) t_j_cells[c] = totals[j0 + c];
    // Rows below the panel's last column; later rows of the chunk have nothing above the diagonal here.
    const std::size_t stop = std::min(r0 + count, j0 + columns - 1);
    std::size_t i = r0;
    for (; i + 4 <= stop; i += 4) {
      if (j0 + kLanes < n) {
        // The cells of the next panel are read and written when its turn comes: fetch them now.
        for (std::size_t r = 0; r < 4; ++r) __builtin_prefetch(cells + (i + r - r0) * n + j0 + kLanes, 1);
      }
      narrow_panel_tile<Metric, 4>(records, totals, n, r0, i, p, t_j_cells, columns, cells, redo_marks);
    }
    if (i + 2 <= stop) {
      narrow_panel_tile<Metric, 2>(records, totals, n, r0, i, p, t_j_cells, columns, cells, redo_marks);
      i += 2;
    }
    if (i < stop) narrow_panel_tile<Metric, 1>(records, totals, n, r0, i, p, t_j_cells, columns, cells, redo_marks);
  }
  redo_marks.redo<Metric>(records, r0, n, 0, kLanes, cells);
}
#undef NARROW_PANEL_TARGET
#endif

// The instruction set `best` stands for on this CPU.
[[maybe_unused]] DenseIsa resolved(DenseIsa isa) {
  if (isa != DenseIsa::best) return isa;
  return dense_isa_supported(DenseIsa::avx512) ? DenseIsa::avx512
         : dense_isa_supported(DenseIsa::avx2) ? DenseIsa::avx2
         : dense_isa_supported(DenseIsa::neon) ? DenseIsa::neon
                                               : DenseIsa::plain;
}

template <class Metric>
DenseFinish dense_finish_for(DenseIsa isa) {
#if BRANTOVEIL_X86_64
  if (resolved(isa) == DenseIsa::avx2) return dense_finish_avx2<Metric>;
#else
  (void)isa;
#endif
  return dense_finish_plain<Metric>;
}

}  // namespace

bool dense_isa_supported(DenseIsa isa) {
  switch (isa) {
    case DenseIsa::avx512:
      return isa_allows(IsaLevel::avx512) && cpu_has_avx512f();
    case DenseIsa::avx2:
      return isa_allows(IsaLevel::avx2) && cpu_has_avx2();
    case DenseIsa::neon:
      return isa_allows(IsaLevel::neon) && cpu_has_neon();
    default:
      return true;
  }
}

namespace {

// The whole kernel into `cells` (see fill_symmetric); false when stopped.
template <class Metric>
bool fill_weighted(Input input, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter,
                   DenseIsa isa, Buffer<double>& cells) {
  const std::size_t n = input.size();
  if (n == 0) {
    if (!cells.empty()) wrong_result_size(0, cells.size());
    return true;
  }
  // Splits of a single tree need no column: they only add to that tree's total.
  ColumnLayout layout = assign_columns(input.supports(), n, {2, std::uint64_t{n} + 1}, min_dense_support);
  const std::size_t width = layout.dense;
  const std::uint32_t shift = block_shift();

  // Shared rare splits first, straight into the cells, by ascending sparse index per pair.
  const auto add_rare = [n](const Postings& postings, std::size_t r0, std::size_t count, double* chunk) {
    for (std::size_t i = r0; i < r0 + count; ++i) {
      double* row_cells = chunk + (i - r0) * n;
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
  };

  // Each tree's private sum, kept apart from its total for the pairs formed again term by term.
  std::vector<double> privates(n);
  const auto per_tree = [&](std::size_t tree, const InternSnap& snap, const ColumnLayout& columns,
                            std::span<double> row, std::vector<SparseEntry>& sparse) {
    return weighted_lay_out<Metric>(snap, columns, row, sparse, privates[tree]);
  };

  // The panel pass where the CPU has vectors for it; the row-major pass otherwise.
  using PanelFinish = void (*)(const PairRecords&, const double*, std::size_t, std::size_t, std::size_t, double*);
  PanelFinish panel_pass = nullptr;
#if BRANTOVEIL_X86_64
  if (resolved(isa) == DenseIsa::avx512) panel_pass = panel_finish_avx512<Metric>;
  if (resolved(isa) == DenseIsa::avx2) panel_pass = panel_finish_narrow<Metric>;
#elif BRANTOVEIL_NEON
  if (resolved(isa) == DenseIsa::neon) panel_pass = panel_finish_narrow<Metric>;
#endif
  if (panel_pass != nullptr) {
    // The dense rows go straight into panels, step by step, and are never all held twice.
    DensePanels panels(n, width);
    const Layout<double, double> laid = lay_out<double, double>(
        input, std::move(layout), shift, true, width, per_tree,
        [&](std::size_t first, std::size_t end, const auto& row) { panels.take(first, end, row); });
    if (pool::stopped()) return false;
    const double* totals = laid.totals.data();
    const PairRecords records{{}, &panels, &laid.postings, privates.data()};
    return fill_symmetric<double>(n, kPanelChunkRows, counter, [&](std::size_t r0, std::span<double> chunk) {
      const std::size_t count = chunk.size() / n;
      add_rare(laid.postings, r0, count, chunk.data());
      panel_pass(records, totals, n, r0, count, chunk.data());
    }, cells);
  }

  const Layout<double, double> laid = lay_out<double, double>(input, std::move(layout), shift, true, width, per_tree);
  if (pool::stopped()) return false;
  std::vector<const double*> blocks(laid.rows.blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) blocks[b] = laid.rows.blocks[b].data();
  const PairRecords records{DenseView{blocks.data(), shift, width}, nullptr, &laid.postings, privates.data()};
  const double* totals = laid.totals.data();
  const DenseFinish dense_pass = dense_finish_for<Metric>(isa);
  return fill_symmetric<double>(n, kChunkRows, counter, [&](std::size_t r0, std::span<double> chunk) {
    const std::size_t count = chunk.size() / n;
    add_rare(laid.postings, r0, count, chunk.data());
    dense_pass(records, totals, n, r0, count, chunk.data());
  }, cells);
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
Buffer<double> weighted_distances_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, DenseIsa isa) {
  Buffer<double> cells;
  if (!fill_weighted<Metric>(std::move(input), min_dense_support, counter, isa, cells)) return {};
  return cells;
}

template Buffer<double> weighted_distances_split<WeightedRf>(Input, std::uint32_t,
                                                             std::atomic<std::uint64_t>*, DenseIsa);
template Buffer<double> weighted_distances_split<BranchScore>(Input, std::uint32_t,
                                                              std::atomic<std::uint64_t>*, DenseIsa);

Buffer<double> distance_wrf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  return weighted_distances_split<WeightedRf>(std::move(input), min_dense_support, counter);
}

Buffer<double> distance_kf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  return weighted_distances_split<BranchScore>(std::move(input), min_dense_support, counter);
}

bool distance_wrf(Input input, std::atomic<std::uint64_t>* counter, std::span<double> into, Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  Buffer<double> cells = Buffer<double>::over(into, contents);
  return fill_weighted<WeightedRf>(std::move(input), min_dense_support, counter, DenseIsa::best, cells);
}

bool distance_kf(Input input, std::atomic<std::uint64_t>* counter, std::span<double> into, Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_weighted(input.size());
  Buffer<double> cells = Buffer<double>::over(into, contents);
  return fill_weighted<BranchScore>(std::move(input), min_dense_support, counter, DenseIsa::best, cells);
}

}  // namespace brantoveil::distances
