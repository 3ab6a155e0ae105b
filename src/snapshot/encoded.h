// An encoded sample: every tree of a set as sorted split IDs, kept for repeated block work and shipped as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "shared/records.h"
#include "shared/result.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {

/// The trees of `set` as the kernels read them, each tree's split IDs sorted when `sort`. With
/// `consume` the set's trees and supports are taken over (each tree freed once encoded), else
/// copied and the set left whole.
EncodedTrees encode_trees(Snapshots& set, bool has_lengths, bool consume, bool sort);

/// A read-only sample of trees: the trees the kernels read (EncodedTrees) with the names of the
/// trees and leaves and every split's clade.
struct EncodedSample : EncodedTrees {
  std::vector<std::string> names;       // one per tree
  std::vector<std::string> leaf_names;  // sorted; leaf index i is leaf_names[i]
  bool rooted = false;
  std::vector<std::uint8_t> clades;     // ceil(leaves / 8) bytes per split ID, bit i = leaf i

  /// Number of leaves of every tree.
  std::size_t n_leaves() const { return leaf_names.size(); }
  /// Bytes of one clade row.
  std::size_t clade_row_bytes() const { return (leaf_names.size() + 7) / 8; }

  /// Encodes a set read with clades kept (and lengths when `set` has them); the set is consumed.
  static EncodedSample from_snapshots(Snapshots set, std::vector<std::string> names, bool rooted,
                                      bool has_lengths);

  /// The versioned little-endian byte form.
  std::vector<std::uint8_t> to_bytes() const;
  /// Reads `to_bytes` output back, checking every count, offset and ID.
  static Result<EncodedSample> from_bytes(std::span<const std::uint8_t> bytes);
};

}  // namespace brantoveil::snapshot
