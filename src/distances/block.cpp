// Rectangular blocks and reductions: the block drivers over each metric's kernel.
#include "distances/block.h"

#include "distances/drivers.h"
#include "distances/kernels.h"

namespace brantoveil::distances {

bool block_rf(const EncodedTrees& sample, const SampleColumns& columns, std::span<const std::uint64_t> rows,
              std::span<const std::uint64_t> cols, CellRows<std::uint32_t> cells, std::atomic<std::uint64_t>* counter,
              std::size_t tile_trees) {
  return drivers::run_block(RfKernel(sample, columns.rf, columns.universal), rows, cols, cells, counter, tile_trees);
}

bool block_weighted(BlockMetric metric, const EncodedTrees& sample, const SampleColumns& columns,
                    std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                    CellRows<double> cells, std::atomic<std::uint64_t>* counter, std::size_t tile_trees) {
  if (metric == BlockMetric::kf) {
    return drivers::run_block(WeightedKernel<BranchScore>(sample, columns.weighted), rows, cols, cells, counter,
                              tile_trees);
  }
  return drivers::run_block(WeightedKernel<WeightedRf>(sample, columns.weighted), rows, cols, cells, counter,
                            tile_trees);
}

std::optional<Reductions> block_reduce(BlockMetric metric, const EncodedTrees& sample, const SampleColumns& columns,
                                       std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                                       const ReduceRequest& request, std::atomic<std::uint64_t>* counter,
                                       std::size_t tile_trees) {
  switch (metric) {
    case BlockMetric::rf:
      return drivers::run_reduce(RfKernel(sample, columns.rf, columns.universal), rows, cols, request, counter,
                                 tile_trees);
    case BlockMetric::kf:
      return drivers::run_reduce(WeightedKernel<BranchScore>(sample, columns.weighted), rows, cols, request, counter,
                                 tile_trees);
    default:
      return drivers::run_reduce(WeightedKernel<WeightedRf>(sample, columns.weighted), rows, cols, request, counter,
                                 tile_trees);
  }
}

}  // namespace brantoveil::distances
