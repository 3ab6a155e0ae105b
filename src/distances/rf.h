// Robinson-Foulds distance: dense AND-popcount over frequent splits, postings over rare ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "distances/layout.h"
#include "shared/buffer.h"

namespace brantoveil::distances {

/// Every tree's bit row over the dense columns, with the span of its non-zero words.
struct BitRows {
  /// Takes n rows of `width` words laid end to end and finds each row's non-zero span.
  BitRows(std::vector<std::uint64_t> words, std::size_t width, std::size_t n);

  std::vector<std::uint64_t> words;
  /// Per tree: first non-zero word and one past the last; (0, 0) for an empty row.
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  std::size_t width = 0;
};

/// The n x n Robinson-Foulds matrix, row-major, in a new buffer; adds completed pairs to `counter`
/// when given. Empty when the calling thread's stop check ended the call.
Buffer<std::uint32_t> distance_rf(Input input, std::atomic<std::uint64_t>* counter);

/// `distance_rf` written into `into`, which must hold n x n cells (anything else ends the
/// process); false when stopped, and then the cells are meaningless. Storage lent as zeros is
/// not cleared again.
[[nodiscard]] bool distance_rf(Input input, std::atomic<std::uint64_t>* counter, std::span<std::uint32_t> into,
                               Contents contents = Contents::unknown);

/// Instruction set of the dense pass; every one gives the same matrix.
enum class RfIsa { best, avx512, avx2, popcnt, neon, plain };

/// Whether this CPU can run the dense pass with `isa`.
bool rf_isa_supported(RfIsa isa);

/// `distance_rf` with the dense/sparse boundary given: splits held by at least
/// `min_dense_support` trees are compared as bit rows, rarer ones through postings. `isa` pins
/// the dense pass's instruction set (tests compare them); it must be supported.
Buffer<std::uint32_t> distance_rf_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, RfIsa isa = RfIsa::best);

}  // namespace brantoveil::distances
