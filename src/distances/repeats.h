// Trees with identical split sets: found once, so a metric that sees only the set can be computed
// between distinct sets and spread to every tree.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/records.h"

namespace brantoveil::distances {

/// The trees of a call grouped by split set: trees of one class have the same splits.
struct TreeClasses {
  /// Class of each tree; classes are numbered by their first tree, in input order.
  std::vector<std::uint32_t> class_of;
  /// First tree of each class.
  std::vector<std::uint32_t> first;
};

/// Groups the trees by the set of their split IDs.
TreeClasses group_repeats(const EncodedTrees& trees);

/// Writes every cell (r, c) of the n x n matrix `cells` as `table`[class_of[r] * m + class_of[c]],
/// m being the number of classes, in parallel row chunks; adds each chunk's pairs above the
/// diagonal to `counter` when given, once its rows are written. False when the calling thread's
/// stop check ended it (the cells are then meaningless).
[[nodiscard]] bool expand_classes(std::span<const std::uint32_t> table, const TreeClasses& classes, std::uint32_t* cells,
                    std::atomic<std::uint64_t>* counter);

}  // namespace brantoveil::distances
