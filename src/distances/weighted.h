// Weighted Robinson-Foulds and Kuhner-Felsenstein branch-score distances.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "distances/isa.h"
#include "shared/buffer.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// Weighted Robinson-Foulds: |a - b| = a + b - 2 min(a, b), summed over splits.
struct WeightedRf {
  /// |a - b|, one split's share of the distance, formed directly.
  static double difference(double a, double b) { return a < b ? b - a : a - b; }
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
  /// (a - b)^2, one split's share of the squared distance, formed directly.
  static double difference(double a, double b) { return (a - b) * (a - b); }
  template <class V>
  static V pair_term(V a, V b) {
    return a * b;
  }
  static double finish_pair(double x) { return std::sqrt(x); }
};

/// The dense passes' term (one call and tiles alike, on scalars and lane vectors). Weighted RF
/// drops the NaN rule of `pair_term` here: a NaN in a dense row also enters that tree's total,
/// which makes every distance of the tree NaN whatever the shared sum is, so a plain minimum (one
/// instruction) gives the same matrix.
template <class Metric>
struct DenseTerm;
template <>
struct DenseTerm<WeightedRf> {
  template <class V>
  static V of(V a, V b) {
    return a < b ? a : b;
  }
};
template <>
struct DenseTerm<BranchScore> {
  template <class V>
  static V of(V a, V b) {
    return a * b;
  }
};

/// A tree's total T = private + (dense + rare), in the one order every path uses: the terms
/// pair_term(a, a) of its dense row in 8 lanes (column k into lane k mod 8, ascending k), the
/// lanes left to right, then its rare splits' terms by ascending sparse index (`rare_lengths`
/// in that order).
template <class Metric>
double tree_total(std::span<const double> row, std::span<const double> rare_lengths, double own_only) {
  constexpr std::size_t kLanes = 8;
  double lanes[kLanes] = {};
  for (std::size_t k = 0; k < row.size(); ++k) {
    lanes[k % kLanes] = lanes[k % kLanes] + Metric::pair_term(row[k], row[k]);
  }
  double dense = lanes[0];
  for (std::size_t l = 1; l < kLanes; ++l) dense = dense + lanes[l];
  double rare = 0.0;
  for (const double length : rare_lengths) rare = rare + Metric::pair_term(length, length);
  return own_only + (dense + rare);
}

/// Below this share of T_i + T_j, a pair's sum (T_i + T_j) - 2Q is formed again term by term
/// (see `exact_sum`), as the subtraction has lost too many digits; a power of two, so that the
/// comparison rounds nowhere.
inline constexpr double kExactShare = 0x1p-10;

/// Whether the fast sum of a pair whose totals add up to `totals` must be formed again: true
/// for a sum below kExactShare * totals (zero and rounding below zero included), false for NaN.
inline bool needs_exact(double sum, double totals) { return sum < totals * kExactShare; }

/// One tree's dense values: value k at at[k * stride] (zero for a split the tree lacks).
struct DenseValues {
  const double* at;
  std::size_t stride;
};

/// One tree's rare splits: `count` sparse indices, ascending, with their lengths.
struct RareValues {
  const std::uint32_t* index;
  const double* length;
  std::size_t count;
};

/// A pair's sum formed term by term, with no cancellation: `difference(a, b)` of every dense
/// column (a split one tree lacks counting as 0) in ascending column order, then of the rare
/// splits in ascending index order (a split only one tree holds adds its own term,
/// pair_term(a, a), as the totals count it), then both private sums. Symmetric in the two trees
/// to the bit, and the same on every path, so the matrix stays path- and thread-independent.
template <class Metric>
double exact_sum(DenseValues a, DenseValues b, std::size_t width, RareValues rare_a, RareValues rare_b,
                 double private_a, double private_b);

extern template double exact_sum<WeightedRf>(DenseValues, DenseValues, std::size_t, RareValues, RareValues,
                                             double, double);
extern template double exact_sum<BranchScore>(DenseValues, DenseValues, std::size_t, RareValues,
                                                     RareValues, double, double);

/// A pair's finished distance from its sum: a NaN stays, anything not above zero gives +0.0.
template <class Metric>
inline double finish_sum(double sum) {
  const double clamped = sum > 0.0 ? sum : (sum != sum ? sum : 0.0);
  return Metric::finish_pair(clamped);
}

/// The n x n weighted Robinson-Foulds matrix of `trees` (which have lengths) in a new buffer;
/// adds completed pairs to `counter` when given. Empty when the calling thread's stop check ended
/// the call. The trees are freed once laid out.
Buffer<double> distance_wrf(EncodedTrees trees, std::atomic<std::uint64_t>* counter);
/// The n x n Kuhner-Felsenstein matrix, like `distance_wrf`.
Buffer<double> distance_kf(EncodedTrees trees, std::atomic<std::uint64_t>* counter);
/// `distance_wrf` written into `into`, which must hold n x n cells (anything else ends the
/// process); false when stopped, and then the cells are meaningless. Storage lent as zeros is
/// not cleared again.
[[nodiscard]] bool distance_wrf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<double> into,
                                Contents contents = Contents::unknown);
/// `distance_kf` written into `into`, like `distance_wrf`.
[[nodiscard]] bool distance_kf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<double> into,
                               Contents contents = Contents::unknown);

/// Whether the dense pass has an implementation of level `isa` that runs here; every one gives
/// the same bits.
bool dense_implemented(Isa isa);

/// A weighted matrix with the dense/sparse boundary given: splits held by at least
/// `min_dense_support` trees are compared as f64 rows, rarer shared ones through postings.
/// `isa` pins the dense pass's instruction set (tests compare them); it must be implemented.
template <class Metric>
Buffer<double> weighted_distances_split(EncodedTrees trees, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, std::optional<Isa> isa = {});

extern template Buffer<double> weighted_distances_split<WeightedRf>(EncodedTrees, std::uint32_t,
                                                                    std::atomic<std::uint64_t>*, std::optional<Isa>);
extern template Buffer<double> weighted_distances_split<BranchScore>(EncodedTrees, std::uint32_t,
                                                                     std::atomic<std::uint64_t>*, std::optional<Isa>);

}  // namespace brantoveil::distances
