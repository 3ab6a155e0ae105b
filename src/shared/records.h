// The tree record snapshot/ produces and distances/ consumes: the trees of an encoded sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brantoveil {

/// The trees of a sample as every kernel and driver reads them. Split IDs 0..pendants-1 are the
/// pendant splits, implied in every tree; each tree lists its other IDs, with their lengths when
/// kept, in ascending order when `sorted` (an encoded sample) and else in the order read (the one
/// call's record: no kernel depends on the order, and not sorting spares the call that time). snapshot::EncodedSample adds the names and clades.
struct EncodedTrees {
  bool has_lengths = false;
  bool sorted = true;
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

  /// Number of trees.
  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  /// Number of split IDs, pendant ones included.
  std::size_t n_splits() const { return supports.size(); }
  /// Tree t's non-pendant split IDs.
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
};

}  // namespace brantoveil
