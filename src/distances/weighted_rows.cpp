// The row-major dense passes of the weighted kernel: rows against 4 column rows at a time.

// Lane vectors only pass between always-inlined helpers, so their calling convention never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "distances/weighted_passes.h"
#include "distances/weighted_passes-inl.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif

namespace brantoveil::distances::dense {

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
// The 4 columns from g0 that rows are finished against together: their rows (a short last group
// repeats its last column; those sums are computed and dropped), their partial lane groups copied
// zero-padded, their totals and the range of their trees.
struct ColumnGroup {
  std::size_t g0 = 0;
  std::size_t group = 0;  // columns inside the block
  const double* col[kGroupColumns] = {};
  alignas(64) double col_tail[kGroupColumns][kLanes];
  const double* col_pad[kGroupColumns] = {};
  std::uint64_t low_tree = UINT64_MAX;
  std::uint64_t high_tree = 0;
  v4d t_j;
};

[[gnu::always_inline]] inline void gather_group(const WeightedSide& cols, std::size_t g0, std::size_t c1,
                                                std::size_t whole, ColumnGroup& g) {
  const std::size_t width = cols.width;
  g.g0 = g0;
  g.group = std::min(kGroupColumns, c1 - g0);
  const std::size_t last = g0 + g.group - 1;
  for (std::size_t c = 0; c < kGroupColumns; ++c) {
    const std::size_t j = std::min(g0 + c, last);
    g.low_tree = std::min(g.low_tree, cols.trees[j]);
    g.high_tree = std::max(g.high_tree, cols.trees[j]);
    g.col[c] = width == 0 ? nullptr : cols.row(j);
    g.col_pad[c] = g.col_tail[c];
    if (whole == width) continue;
    for (std::size_t k = 0; k < kLanes; ++k) g.col_tail[c][k] = whole + k < width ? g.col[c][whole + k] : 0.0;
  }
  g.t_j = v4d{cols.totals[g0], cols.totals[std::min(g0 + 1, last)], cols.totals[std::min(g0 + 2, last)],
              cols.totals[last]};
}

// Row i's cells against group `g`: Q = lanes left to right plus the rare sum, then
// S = (T_low + T_high) - (Q + Q) per cell; the cells `keep` names are stored, those that cancelled
// too far marked to form again.
template <class Metric, class V>
[[gnu::always_inline]] inline void finish_row(const WeightedSide& rows, std::size_t i, const ColumnGroup& g,
                                              const DenseBlock& block, const Lanes<V> (&acc)[kGroupColumns],
                                              bool row_low, unsigned keep, RedoMarks& redo_marks) {
  const std::size_t group = g.group;
  v4d lane[kLanes];
  lanes_side_by_side(acc, lane);
  double* row_cells = block.out + (i - block.r0) * block.stride + (g.g0 - block.c0);
  const v4d rare = group == kGroupColumns
                       ? load4(row_cells)
                       : v4d{row_cells[0], group > 1 ? row_cells[1] : 0.0, group > 2 ? row_cells[2] : 0.0, 0.0};
  v4d q = lane[0];
  for (std::size_t l = 1; l < kLanes; ++l) q = q + lane[l];
  q = q + rare;
  const v4d t_i = {rows.totals[i], rows.totals[i], rows.totals[i], rows.totals[i]};
  const v4d both = row_low ? t_i + g.t_j : g.t_j + t_i;
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
  redo_marks.at(i - block.r0, (g.g0 - block.c0) / kGroupColumns) = static_cast<std::uint8_t>(bits);
}

template <class Metric, class V>
[[gnu::always_inline]] inline void dense_rows(const WeightedSide& rows, const WeightedSide& cols,
                                              const DenseBlock& block) {
  using Term = DenseTerm<Metric>;
  const auto [r0, r1, c0, c1, out, stride, above] = block;
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
    ColumnGroup g;
    gather_group(cols, g0, c1, whole, g);
    const std::size_t group = g.group;
    const std::size_t last = g0 + group - 1;
    // The next group's rows come from L3 or memory; ask for them while this group computes, one
    // row before each row of the pass: asked all at once, they fill the core's miss buffers and it stalls.
    const std::size_t next_end = width == 0 ? last + 1 : std::min(last + 1 + kGroupColumns, c1);
    std::size_t next = last + 1;
    const auto fetch_next_row = [&] {
      if (next >= next_end) return;
      const char* bytes = reinterpret_cast<const char*>(cols.row(next++));
      for (std::size_t b = 0; b < width * sizeof(double); b += 64) __builtin_prefetch(bytes + b);
    };
    for (std::size_t i = r0; i < r1; ++i) {
      fetch_next_row();
      const std::uint64_t tree = rows.trees[i];
      // With `above` only columns of later trees: none from the group's last on, and on the
      // diagonal's group the cells right of it.
      if (above && tree >= g.high_tree) continue;
      unsigned keep = (1u << group) - 1;
      if (above && tree >= g.low_tree) {
        keep = 0;
        for (std::size_t c = 0; c < group; ++c) keep |= (cols.trees[g0 + c] > tree ? 1u : 0u) << c;
      } else if (tree >= g.low_tree && tree <= g.high_tree) {
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
      const bool row_low = above || tree < g.low_tree;
      if (width > 0) {
        const double* own_pad = tail ? own_tail[i - r0] : nullptr;
        if (row_low) {
          sweep<Term, V, true>(own_row[i - r0], g.col, whole, own_pad, g.col_pad, acc);
        } else {
          sweep<Term, V, false>(own_row[i - r0], g.col, whole, own_pad, g.col_pad, acc);
        }
      }
      finish_row<Metric, V>(rows, i, g, block, acc, row_low, keep, redo_marks);
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
void dense_rows_avx2(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block) {
  for (std::size_t r = block.r0; r < block.r1; r += kChunkRows) {
    dense_rows<Metric, v4d>(rows, cols, block.rows_from(r, std::min(block.r1, r + kChunkRows)));
  }
}
#endif

template <class Metric>
NO_FUSED_MULTIPLY_ADD
void dense_rows_plain(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block) {
  for (std::size_t r = block.r0; r < block.r1; r += kChunkRows) {
    dense_rows<Metric, v2d>(rows, cols, block.rows_from(r, std::min(block.r1, r + kChunkRows)));
  }
}

#if BRANTOVEIL_X86_64
template void dense_rows_avx2<WeightedRf>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
template void dense_rows_avx2<BranchScore>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
#endif
template void dense_rows_plain<WeightedRf>(const WeightedSide&, const WeightedSide&, const DenseBlock&);
template void dense_rows_plain<BranchScore>(const WeightedSide&, const WeightedSide&, const DenseBlock&);

}  // namespace brantoveil::distances::dense
