// The two dense-share knobs, read once per process, and the minimum dense support they imply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brantoveil::distances {

/// Dense share of Robinson-Foulds when BRANTOVEIL_RF_DENSE_SHARE is unset or unusable.
inline constexpr double kDefaultRfDenseShare = 0.03;
/// Dense share of the weighted metrics when BRANTOVEIL_WEIGHTED_DENSE_SHARE is unset or unusable.
inline constexpr double kDefaultWeightedDenseShare = 0.25;

/// The share an environment value stands for: `fallback` when absent, not UTF-8, not a number,
/// NaN, infinite or negative; white space around the number is ignored.
double parse_dense_share(std::optional<std::string_view> value, double fallback);

/// The Robinson-Foulds dense share; the environment is read on the first call only.
double rf_dense_share();
/// The weighted dense share; the environment is read on the first call only.
double weighted_dense_share();

/// max(2, ceil(n * share)) with the product clamped to the u32 range.
std::uint32_t dense_support_for_share(std::size_t n, double share);

/// Minimum support of a dense Robinson-Foulds column; below 256 trees every eligible split is dense.
std::uint32_t min_dense_support_rf(std::size_t n);
/// Minimum support of a dense weighted column; may exceed n, leaving no column dense.
std::uint32_t min_dense_support_weighted(std::size_t n);

}  // namespace brantoveil::distances
