// The panel dense passes of the weighted kernel: rows against panels of 8 column trees.

// Lane vectors only pass between always-inlined helpers, so their calling convention never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "distances/weighted_passes.h"
#include "distances/weighted_passes-inl.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif
#if BRANTOVEIL_NEON
#include <arm_neon.h>
#endif

namespace brantoveil::distances::dense {

// A tile of a panel pass: rows [r, r + count) of `rows` against the panel of 8 column trees from
// j0, `columns` of them inside the block; row i's cells at cells + i * stride and its lane bits to
// form again at marks + i * marks_stride. With `above` (rows lower, one side against itself) only
// the lanes right of the diagonal are finished.
struct PanelTile {
  const WeightedSide& rows;
  std::size_t r;
  const double* panel;
  std::size_t j0;
  std::size_t columns;
  bool above;
  double* cells;
  std::size_t stride;
  std::uint8_t* marks;
  std::size_t marks_stride;

  /// The same tile from its row i on.
  PanelTile from_row(std::size_t i) const {
    return {rows, r + i, panel, j0, columns, above, cells + i * stride, stride, marks + i * marks_stride, marks_stride};
  }
};

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
    const PanelTile& tile, v8d t_cols, __mmask8 inside) {
  const WeightedSide& rows = tile.rows;
  const std::size_t r = tile.r;
  const double* x[Rows];
  __mmask8 lanes[Rows];
#pragma GCC unroll 4
  for (int i = 0; i < Rows; ++i) {
    x[i] = rows.panels->panel((r + i) / kLanes) + (r + i) % kLanes;
    lanes[i] = static_cast<__mmask8>(row_lanes(inside, tile.above, r + i, tile.j0));
  }
  panel_cells<Metric, kRowLow, Rows, kLanes>(x, rows.totals.data() + r, tile.panel, rows.width, t_cols, lanes,
                                             tile.cells, tile.stride, tile.marks, tile.marks_stride);
}

template <class Metric, bool kRowLow>
[[gnu::always_inline]] NO_FUSED_MULTIPLY_ADD __attribute__((target("avx512f"))) inline void panel_rows(
    std::size_t count, const PanelTile& tile, v8d t_cols, __mmask8 inside) {
  if (count == 3) {
    panel_tile<Metric, kRowLow, 3>(tile, t_cols, inside);
  } else if (count == 2) {
    panel_tile<Metric, kRowLow, 2>(tile, t_cols, inside);
  } else {
    panel_tile<Metric, kRowLow, 1>(tile, t_cols, inside);
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
void panel_pass_avx512(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block) {
  const auto [r0, r1, c0, c1, out, stride, above] = block;
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
        panel_rows<Metric, true>(take, {rows, r, panel, j0, count, above, cells, stride, tile_marks, groups}, t_cols,
                                 inside);
      } else if (low == LowSide::cols) {
        panel_rows<Metric, false>(take, {rows, r, panel, j0, count, false, cells, stride, tile_marks, groups}, t_cols,
                                  inside);
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
    const PanelTile& tile, const double (&t_cols)[kLanes]) {
  const auto& [rows, r, panel, j0, columns, above, cells, stride, marks, marks_stride] = tile;
  const std::size_t width = rows.width;
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
    std::size_t count, const PanelTile& tile, const double (&t_cols)[kLanes]) {
  if (count == 4) {
    narrow_panel_cells<Metric, kRowLow, 4>(tile, t_cols);
    return;
  }
  std::size_t i = 0;
  if (count >= 2) {
    narrow_panel_cells<Metric, kRowLow, 2>(tile, t_cols);
    i = 2;
  }
  if (i < count) narrow_panel_cells<Metric, kRowLow, 1>(tile.from_row(i), t_cols);
}

// The narrow panel pass over rows [r0, r1) against columns [c0, c1), four rows a tile; mixed
// tiles and `above` as in the AVX-512 pass. Both sides hold panels; `c0` is a multiple of 8.
template <class Metric>
NO_FUSED_MULTIPLY_ADD NARROW_PANEL_TARGET void panel_pass_narrow(const WeightedSide& rows, const WeightedSide& cols,
                                                                 const DenseBlock& block) {
  const auto [r0, r1, c0, c1, out, stride, above] = block;
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
        narrow_panel_rows<Metric, true>(take, {rows, r, panel, j0, columns, above, cells, stride, tile_marks, groups},
                                        t_cols);
      } else if (low == LowSide::cols) {
        narrow_panel_rows<Metric, false>(take, {rows, r, panel, j0, columns, false, cells, stride, tile_marks, groups},
                                         t_cols);
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

#if BRANTOVEIL_X86_64
template void panel_pass_avx512<WeightedRf>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
template void panel_pass_avx512<BranchScore>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
#endif
#if BRANTOVEIL_X86_64 || BRANTOVEIL_NEON
template void panel_pass_narrow<WeightedRf>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
template void panel_pass_narrow<BranchScore>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
#endif

}  // namespace brantoveil::distances::dense
