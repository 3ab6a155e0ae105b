// Rectangular blocks of the distance matrix of an encoded sample, and reductions fused into them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "distances/layout.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// Trees of one side of a block laid out at once; bounds the dense rows held whatever the block's size.
inline constexpr std::size_t kBlockTileTrees = 4096;

/// The three metrics a block can hold.
enum class BlockMetric { rf, wrf, kf };

/// Where a block's cells go: row r's cells start at data + r * row_stride (row_stride >= cols).
template <class T>
struct CellRows {
  T* data;
  std::size_t row_stride;
};

/// Distances from each tree of `rows` to each tree of `cols` (tree indices below the sample's
/// size), row by row into `cells`. A tree against itself gives 0. Adds the cells done to
/// `counter` when given. False when the calling thread's stop check ended the call, and then
/// some cells were never written.
[[nodiscard]] bool block_rf(const EncodedTrees& sample, const SampleColumns& columns, std::span<const std::uint64_t> rows,
              std::span<const std::uint64_t> cols, CellRows<std::uint32_t> cells,
              std::atomic<std::uint64_t>* counter, std::size_t tile_trees = kBlockTileTrees);
/// `block_rf` for weighted Robinson-Foulds or Kuhner-Felsenstein; the sample must have lengths.
[[nodiscard]] bool block_weighted(BlockMetric metric, const EncodedTrees& sample, const SampleColumns& columns,
                    std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                    CellRows<double> cells, std::atomic<std::uint64_t>* counter,
                    std::size_t tile_trees = kBlockTileTrees);

/// What a reduction over a block asks for besides the row sums.
struct ReduceRequest {
  /// Nearest column trees per row; 0 for none.
  std::size_t k = 0;
  /// Histogram edges, non-decreasing; empty for no histogram (else at least two).
  std::span<const double> bins;
};

/// Per-row answers of a block that is never held whole.
struct Reductions {
  /// Sum over the columns, in column order.
  std::vector<double> sums;
  /// rows x k column tree indices, nearest first, ties by lower tree index; a row with fewer
  /// than k other trees is padded with -1 and +inf. A NaN distance ranks after every number.
  std::vector<std::int64_t> knn_index;
  std::vector<double> knn_distance;
  /// Cells in [bins[i], bins[i + 1]), the last bin closed; NaN cells are not counted.
  std::vector<std::int64_t> histogram;
};

/// Computes the block row chunk by row chunk and reduces each chunk as it is done; nothing when
/// the calling thread's stop check ended the call.
std::optional<Reductions> block_reduce(BlockMetric metric, const EncodedTrees& sample, const SampleColumns& columns,
                        std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                        const ReduceRequest& request, std::atomic<std::uint64_t>* counter,
                        std::size_t tile_trees = kBlockTileTrees);

}  // namespace brantoveil::distances
