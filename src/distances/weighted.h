// Weighted Robinson-Foulds and Kuhner-Felsenstein branch-score distances.
#pragma once

#include <atomic>
#include <cstdint>

#include "distances/buffer.h"
#include "distances/layout.h"

namespace brantoveil::distances {

/// The n x n weighted Robinson-Foulds matrix; adds completed pairs to `counter` when given.
Buffer<double> distance_wrf(Input input, std::atomic<std::uint64_t>* counter);
/// The n x n Kuhner-Felsenstein matrix; adds completed pairs to `counter` when given.
Buffer<double> distance_kf(Input input, std::atomic<std::uint64_t>* counter);

}  // namespace brantoveil::distances
