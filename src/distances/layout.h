// Column layout: trees as dense rows over frequent splits plus a postings index over rare ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "distances/postings.h"
#include "pool/pool.h"
#include "shared/buffer.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// The records the kernels consume, under the names callers of the kernels use.
using brantoveil::Input;
using brantoveil::InternSnap;

/// Marks a split that takes no column (its support makes it irrelevant to the metric).
inline constexpr std::uint32_t NO_COLUMN = 0xFFFFFFFF;

/// Column of every split ID: dense columns 0..dense-1, then sparse columns dense..total-1.
struct ColumnLayout {
  std::vector<std::uint32_t> columns;
  std::uint32_t dense = 0;
  std::uint32_t total = 0;
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

/// log2 of the layout block size for `threads` workers: about four trees per worker.
std::uint32_t block_shift_for(std::size_t threads);
/// log2 of the layout block size for the current pool.
inline std::uint32_t block_shift() { return block_shift_for(pool::thread_count()); }

/// Dense rows of all trees, one buffer per block of 2^shift trees.
template <class T>
struct Rows {
  std::vector<Buffer<T>> blocks;
  std::uint32_t shift = 0;
  std::size_t width = 0;

  /// Tree i's row of `width` elements (meaningless when `width` is 0).
  const T* row(std::size_t i) const {
    return blocks[i >> shift].data() + (i & ((std::size_t{1} << shift) - 1)) * width;
  }
};

/// Everything the pairwise fill reads: dense rows, postings and one total per tree.
template <class T, class Total>
struct Layout {
  Rows<T> rows;
  Postings postings;
  std::vector<Total> totals;
};

/// Trees laid out per parallel step of `lay_out`, whole blocks at a time.
inline constexpr std::size_t kLayoutStepTrees = 256;

/// `lay_out`'s default: every step's rows are kept in the layout's blocks.
struct KeepRows {};

/// Lays the trees out block by block. per_tree(tree, record, columns, row, sparse) fills tree `tree`'s zeroed
/// row of max(width, 1) elements, appends its sparse entries sorted by index, and returns its total.
///
/// Steps of whole blocks of 2^shift trees (kLayoutStepTrees trees, or one block when blocks are
/// larger) bound what is held at once: an owned input's records of a step are released as soon as
/// the step is laid out, and its supports once all steps are done. The calling thread's stop check
/// is asked between steps; when it stops, the layout is incomplete.
///
/// Given a `take_rows(first, end, row)` in place of KeepRows, each step instead hands it its rows
/// (row(k) of tree first + k, for trees [first, end)) and frees them after: a caller that stores
/// them its own way holds one step twice, not the whole layout, and `rows` stays empty. Steps
/// start at multiples of kLayoutStepTrees or of the block, whichever is larger.
template <class T, class Total, class PerTree, class TakeRows = KeepRows>
Layout<T, Total> lay_out(Input& input, ColumnLayout columns, std::uint32_t shift,
                         bool weighted_flag, std::size_t width, PerTree&& per_tree, TakeRows&& take_rows = {}) {
  const std::size_t n = input.size();
  const std::size_t block = std::size_t{1} << shift;
  const std::size_t blocks = (n + block - 1) / block;
  Layout<T, Total> out;
  out.rows.shift = shift;
  out.rows.width = width;
  out.rows.blocks.reserve(blocks);
  out.totals.resize(n);
  PostingsBuilder builder = Postings::builder(input.supports(), columns, n, shift, weighted_flag);
  const std::size_t stride = width == 0 ? 1 : width;
  const std::span<const InternSnap> snaps = input.snaps();
  // Several blocks per parallel step: a step per block of a few trees cost more in waking the
  // workers than the layout itself (16 ms of 10,001 trees of 123 taxa, two threads).
  const std::size_t step_trees = std::max(block, kLayoutStepTrees);
  for (std::size_t first = 0; first < n; first += step_trees) {
    // A stopped call leaves the layout unfinished; the kernel checks `pool::stopped()` after it.
    if (pool::stop_requested()) return out;
    const std::size_t end = std::min(n, first + step_trees);
    std::vector<Buffer<T>> buffers;
    for (std::size_t b = first; b < end; b += block) buffers.emplace_back(std::min(block, end - b) * stride);
    std::vector<std::vector<SparseEntry>> lists(end - first);
    pool::parallel_for(end - first, [&](std::size_t k) {
      std::span<T> row(buffers[k >> shift].data() + (k & (block - 1)) * stride, stride);
      out.totals[first + k] = per_tree(first + k, snaps[first + k], std::as_const(columns), row, lists[k]);
    });
    constexpr bool kKeep = std::is_same_v<std::remove_cvref_t<TakeRows>, KeepRows>;
    if constexpr (!kKeep) {
      take_rows(first, end,
                [&](std::size_t k) -> const T* { return buffers[k >> shift].data() + (k & (block - 1)) * stride; });
    }
    for (std::size_t b = 0; b < buffers.size(); ++b) {
      const std::size_t from = b * block;
      builder.push_block(std::span(lists).subspan(from, std::min(block, lists.size() - from)));
      if constexpr (kKeep) out.rows.blocks.push_back(width == 0 ? Buffer<T>() : std::move(buffers[b]));
    }
    input.release(first, end);
  }
  input.release_supports();
  columns = ColumnLayout{};
  out.postings = std::move(builder).finish();
  return out;
}

}  // namespace brantoveil::distances
