// An encoded sample: every tree of a set as sorted split IDs, kept for repeated block work and shipped as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "shared/result.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {

/// A read-only sample of trees. Split IDs 0..pendants-1 are the pendant splits, implied in every
/// tree; each tree lists its other IDs in ascending order, with their lengths when kept.
struct EncodedSample {
  std::vector<std::string> names;       // one per tree
  std::vector<std::string> leaf_names;  // sorted; leaf index i is leaf_names[i]
  bool rooted = false;
  bool has_lengths = false;
  std::uint32_t pendants = 0;
  std::vector<std::uint64_t> offsets;  // tree t owns ids[offsets[t], offsets[t + 1])
  std::vector<std::uint32_t> ids;
  std::vector<double> lengths;          // parallel to ids (with lengths only)
  std::vector<double> pendant_lengths;  // pendants per tree, leaf index order (with lengths only)
  // Per tree, the sum of pair_term(l, l) over its splits held by no other tree, in the order the
  // tree was read: that order fixes the rounding of every distance of the tree, and sorting the
  // IDs loses it.
  std::vector<double> private_wrf;
  std::vector<double> private_kf;
  std::vector<std::uint32_t> supports;  // trees holding each split ID
  std::vector<std::uint8_t> clades;     // ceil(leaves / 8) bytes per split ID, bit i = leaf i

  /// Number of trees.
  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  /// Number of leaves of every tree.
  std::size_t n_leaves() const { return leaf_names.size(); }
  /// Number of split IDs, pendant ones included.
  std::size_t n_splits() const { return supports.size(); }
  /// Bytes of one clade row.
  std::size_t clade_row_bytes() const { return (leaf_names.size() + 7) / 8; }
  /// Tree t's non-pendant split IDs, ascending.
  std::span<const std::uint32_t> ids_of(std::size_t t) const {
    return {ids.data() + offsets[t], ids.data() + offsets[t + 1]};
  }
  /// Tree t's lengths of `ids_of(t)` (with lengths only).
  std::span<const double> lengths_of(std::size_t t) const {
    return {lengths.data() + offsets[t], lengths.data() + offsets[t + 1]};
  }
  /// Tree t's pendant lengths (with lengths only).
  std::span<const double> pendant_lengths_of(std::size_t t) const {
    return {pendant_lengths.data() + t * pendants, pendants};
  }

  /// Encodes a set read with clades kept (and lengths when `set` has them); the set is consumed.
  static EncodedSample from_snapshots(Snapshots set, std::vector<std::string> names, bool rooted,
                                      bool has_lengths);

  /// The versioned little-endian byte form.
  std::vector<std::uint8_t> to_bytes() const;
  /// Reads `to_bytes` output back, checking every count, offset and ID.
  static Result<EncodedSample> from_bytes(std::span<const std::uint8_t> bytes);
};

}  // namespace brantoveil::snapshot
