// Robinson-Foulds distance: dense AND-popcount over frequent splits, postings over rare ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "distances/isa.h"
#include "shared/buffer.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// The n x n Robinson-Foulds matrix of `trees`, row-major, in a new buffer; adds completed pairs
/// to `counter` when given. Empty when the calling thread's stop check ended the call. The trees
/// are freed once laid out.
Buffer<std::uint32_t> distance_rf(EncodedTrees trees, std::atomic<std::uint64_t>* counter);

/// `distance_rf` written into `into`, which must hold n x n cells (anything else ends the
/// process); false when stopped, and then the cells are meaningless. Storage lent as zeros is
/// not cleared again.
[[nodiscard]] bool distance_rf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<std::uint32_t> into,
                               Contents contents = Contents::unknown);

/// Whether the dense pass has an implementation of level `isa` that runs here; every one gives
/// the same matrix.
bool rf_implemented(Isa isa);

/// How the cells left of the diagonal are made: `chosen` by the cost of a pair at the level that
/// runs, or forced to every pair twice (`whole_rows`) or to the mirror (`mirrored`).
enum class RfRows { chosen, whole_rows, mirrored };

/// `distance_rf` with the dense/sparse boundary given: splits held by at least
/// `min_dense_support` trees are compared as bit rows, rarer ones through postings. `isa` pins
/// the dense pass's instruction set and `rows` how the lower cells are made (tests compare
/// them); a pinned level must be implemented (rf_implemented).
Buffer<std::uint32_t> distance_rf_split(EncodedTrees trees, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, std::optional<Isa> isa = {},
                                        RfRows rows = RfRows::chosen);

}  // namespace brantoveil::distances
