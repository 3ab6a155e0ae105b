// The drivers of the kernel family: the one-call symmetric matrix, rectangular blocks and
// reductions, each a loop over a kernel's compute(rows, cols) hook.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "distances/block.h"
#include "distances/kernels.h"
#include "distances/matrix.h"
#include "pool/pool.h"

namespace brantoveil::distances {

/// The n x n matrix of one side against itself (its trees ascending) into `cells` (see
/// fill_symmetric), in chunks of `rows_per_chunk` rows: whole rows when `lower` is the kernel's,
/// else only the cells right of the diagonal, from the 8-column group holding it on. False when
/// stopped.
template <class Kernel>
bool run_symmetric(const Kernel& kernel, const typename Kernel::Columns& side, const Postings& postings,
                   std::size_t rows_per_chunk, LowerCells lower, std::atomic<std::uint64_t>* counter,
                   Buffer<typename Kernel::Cell>& cells) {
  using Cell = typename Kernel::Cell;
  const std::size_t n = side.size();
  return fill_symmetric<Cell>(n, rows_per_chunk, counter, [&](std::size_t r0, std::span<Cell> chunk) {
    const std::size_t rows = chunk.size() / n;
    const std::size_t c0 = lower == LowerCells::kernel ? 0 : (r0 + 1) / 8 * 8;
    if (c0 >= n) return;
    kernel.compute(side, side, postings, r0, r0 + rows, c0, n, chunk.data() + c0, n,
                   lower == LowerCells::kernel ? Wanted::all : Wanted::above_diagonal);
  }, cells, lower);
}

namespace drivers {

/// Columns per block task, so a block with few rows still spreads over the pool.
inline constexpr std::size_t kSegmentColumns = 1024;

/// Walks a block tile by tile (at most `tile` trees laid out per side) and hands each tile's
/// prepared sides to `run`, in ascending row-tile then column-tile order, while `run` returns true
/// (it returns false when the calling thread's stop check ended its loop); false when stopped.
template <class Kernel, class Run>
bool for_each_tile(const Kernel& kernel, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                   std::size_t tile, Run&& run) {
  tile = std::max<std::size_t>(tile, 1);
  for (std::size_t rt = 0; rt < rows.size(); rt += tile) {
    const std::size_t r_end = std::min(rows.size(), rt + tile);
    const auto row_side = kernel.lay_out(rows.subspan(rt, r_end - rt));
    for (std::size_t ct = 0; ct < cols.size(); ct += tile) {
      const std::size_t c_end = std::min(cols.size(), ct + tile);
      const auto col_side = kernel.lay_out_columns(cols.subspan(ct, c_end - ct));
      const Postings postings = kernel.postings(col_side);
      if (!run(rt, ct, row_side, col_side, postings)) return false;
    }
  }
  return true;
}

/// Every cell of a block into `cells`. Row chunks of each tile run in batches with a stop check
/// between them, so a signal ends even a large block within a batch's time.
template <class Kernel>
bool run_block(const Kernel& kernel, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
               CellRows<typename Kernel::Cell> cells, std::atomic<std::uint64_t>* counter, std::size_t tile) {
  using Cell = typename Kernel::Cell;
  const std::size_t stride = cells.row_stride;
  return for_each_tile(kernel, rows, cols, tile, [&](std::size_t rt, std::size_t ct, const auto& row_side,
                                                     const auto& col_side, const Postings& postings) {
    const std::size_t m = row_side.size();
    const std::size_t w = col_side.size();
    const std::size_t row_chunks = (m + Kernel::kBlockRows - 1) / Kernel::kBlockRows;
    const std::size_t segments = (w + kSegmentColumns - 1) / kSegmentColumns;
    return pool::parallel_for_batches(row_chunks * segments, [&](std::size_t task) {
      const std::size_t r0 = (task / segments) * Kernel::kBlockRows;
      const std::size_t r1 = std::min(m, r0 + Kernel::kBlockRows);
      const std::size_t c0 = (task % segments) * kSegmentColumns;
      const std::size_t c1 = std::min(w, c0 + kSegmentColumns);
      Cell* out = cells.data + (rt + r0) * stride + ct + c0;
      for (std::size_t r = r0; r < r1; ++r) std::fill(out + (r - r0) * stride, out + (r - r0) * stride + (c1 - c0), Cell{});
      kernel.compute(row_side, col_side, postings, r0, r1, c0, c1, out, stride);
      if (counter != nullptr) counter->fetch_add((r1 - r0) * (c1 - c0), std::memory_order_relaxed);
    });
  });
}

/// Nearest-first order: by distance, NaN after every number, ties by lower tree index.
inline bool nearer(double a, std::int64_t a_index, double b, std::int64_t b_index) {
  const bool a_nan = a != a;
  const bool b_nan = b != b;
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a != b) return a < b;
  return a_index < b_index;
}

/// The bin of v among non-decreasing edges, the last bin closed; -1 outside or for NaN.
inline std::ptrdiff_t bin_of(double v, std::span<const double> edges) {
  if (!(v >= edges.front() && v <= edges.back())) return -1;
  if (v == edges.back()) return static_cast<std::ptrdiff_t>(edges.size()) - 2;
  return (std::upper_bound(edges.begin(), edges.end(), v) - edges.begin()) - 1;
}

/// A block computed row chunk by row chunk and reduced as each chunk is done; nothing when stopped.
template <class Kernel>
std::optional<Reductions> run_reduce(const Kernel& kernel, std::span<const std::uint64_t> rows,
                                     std::span<const std::uint64_t> cols, const ReduceRequest& request,
                                     std::atomic<std::uint64_t>* counter, std::size_t tile) {
  using Cell = typename Kernel::Cell;
  const std::size_t k = request.k;
  const std::size_t bins = request.bins.size() < 2 ? 0 : request.bins.size() - 1;
  Reductions out;
  out.sums.assign(rows.size(), 0.0);
  out.knn_index.assign(rows.size() * k, -1);
  out.knn_distance.assign(rows.size() * k, std::numeric_limits<double>::infinity());
  out.histogram.assign(bins, 0);
  std::mutex histogram_mutex;
  std::vector<std::size_t> found(k > 0 ? rows.size() : 0, 0);
  // Whole rows per task keep each row's sum in column order; few rows make smaller chunks.
  const std::size_t threads = std::max<std::size_t>(pool::thread_count(), 1);
  const std::size_t chunk_rows = std::clamp<std::size_t>(rows.size() / (4 * threads), 1, Kernel::kBlockRows);

  const bool done = for_each_tile(kernel, rows, cols, tile, [&](std::size_t rt, std::size_t, const auto& row_side,
                                                                const auto& col_side, const Postings& postings) {
    const std::size_t m = row_side.size();
    const std::size_t w = col_side.size();
    return pool::parallel_for_batches((m + chunk_rows - 1) / chunk_rows, [&](std::size_t task) {
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
      if (bins > 0) {
        // Once per task, so a lock costs nothing here (and libc++ long lacked std::atomic_ref).
        const std::lock_guard lock(histogram_mutex);
        for (std::size_t b = 0; b < bins; ++b) out.histogram[b] += counts[b];
      }
      if (counter != nullptr) counter->fetch_add((r1 - r0) * w, std::memory_order_relaxed);
    });
  });
  if (!done) return std::nullopt;
  return out;
}

}  // namespace drivers

}  // namespace brantoveil::distances
