// Weighted Robinson-Foulds and Kuhner-Felsenstein branch-score distances.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <span>

#include "distances/layout.h"
#include "shared/buffer.h"

namespace brantoveil::distances {

/// Weighted Robinson-Foulds: |a - b| = a + b - 2 min(a, b), summed over splits.
struct WeightedRf {
  /// min(a, b), or the other one when either is NaN; works on scalars and lane vectors alike.
  template <class V>
  static V pair_term(V a, V b) {
    const V low = a < b ? a : b;
    return b != b ? a : low;
  }
  static double finish_pair(double x) { return x; }
};

/// Kuhner-Felsenstein: (a - b)^2 = a^2 + b^2 - 2ab, summed over splits, then the square root.
struct BranchScore {
  template <class V>
  static V pair_term(V a, V b) {
    return a * b;
  }
  static double finish_pair(double x) { return std::sqrt(x); }
};

/// The n x n weighted Robinson-Foulds matrix in a new buffer; adds completed pairs to `counter`
/// when given. Empty when the calling thread's stop check ended the call.
Buffer<double> distance_wrf(Input input, std::atomic<std::uint64_t>* counter);
/// The n x n Kuhner-Felsenstein matrix, like `distance_wrf`.
Buffer<double> distance_kf(Input input, std::atomic<std::uint64_t>* counter);
/// `distance_wrf` written into `into`, which must hold n x n cells (anything else ends the
/// process); false when stopped, and then the cells are meaningless. Storage lent as zeros is
/// not cleared again.
[[nodiscard]] bool distance_wrf(Input input, std::atomic<std::uint64_t>* counter, std::span<double> into,
                                Contents contents = Contents::unknown);
/// `distance_kf` written into `into`, like `distance_wrf`.
[[nodiscard]] bool distance_kf(Input input, std::atomic<std::uint64_t>* counter, std::span<double> into,
                               Contents contents = Contents::unknown);

/// Instruction set of the dense pass; every one gives the same bits.
enum class DenseIsa { best, avx512, avx2, plain };

/// Whether this CPU can run the dense pass with `isa`.
bool dense_isa_supported(DenseIsa isa);

/// A weighted matrix with the dense/sparse boundary given: splits held by at least
/// `min_dense_support` trees are compared as f64 rows, rarer shared ones through postings.
/// `isa` pins the dense pass's instruction set (tests compare them); it must be supported.
template <class Metric>
Buffer<double> weighted_distances_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, DenseIsa isa = DenseIsa::best);

extern template Buffer<double> weighted_distances_split<WeightedRf>(Input, std::uint32_t,
                                                                    std::atomic<std::uint64_t>*, DenseIsa);
extern template Buffer<double> weighted_distances_split<BranchScore>(Input, std::uint32_t,
                                                                     std::atomic<std::uint64_t>*, DenseIsa);

}  // namespace brantoveil::distances
