// Robinson-Foulds distance: dense AND-popcount over frequent splits, postings over rare ones.
#pragma once

#include <atomic>
#include <cstdint>

#include "distances/buffer.h"
#include "distances/layout.h"

namespace brantoveil::distances {

/// The n x n Robinson-Foulds matrix, row-major; adds completed pairs to `counter` when given.
Buffer<std::uint32_t> distance_rf(Input input, std::atomic<std::uint64_t>* counter);

}  // namespace brantoveil::distances
