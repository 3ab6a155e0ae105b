// The tree records snapshot/ produces and distances/ consumes: interned trees with their supports,
// owned or borrowed, and the trees of an encoded sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brantoveil {

/// One tree as split IDs. Its splits are the pendant IDs 0..pendants-1 followed by `ids`;
/// `lengths`, when kept, runs parallel to that sequence.
struct InternSnap {
  std::vector<std::uint32_t> ids;
  std::vector<double> lengths;
  std::uint32_t pendants = 0;
};

/// What a kernel consumes: the trees and the per-split supports, owned or borrowed.
/// An owned input lets the layout release each block's records as soon as it is laid out.
class Input {
 public:
  /// Takes the records and supports over; the layout frees them as it goes.
  static Input owned(std::vector<InternSnap> snaps, std::vector<std::uint32_t> supports);
  /// Views records and supports that outlive the call.
  static Input borrowed(std::span<const InternSnap> snaps, std::span<const std::uint32_t> supports);

  /// No trees.
  Input() = default;
  /// Moves keep the views on the moved vectors; a copy would alias them, so there is none.
  Input(Input&& other) noexcept;
  Input& operator=(Input&& other) noexcept;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  /// Number of trees.
  std::size_t size() const { return snaps_.size(); }
  /// Whether the records and supports belong to this input.
  bool owns() const { return owns_; }
  /// The trees' records, in input order (released ones are empty).
  std::span<const InternSnap> snaps() const { return snaps_; }
  /// Trees holding each split ID (empty once released).
  std::span<const std::uint32_t> supports() const { return supports_; }

  /// Releases the records of trees [first, last) when owned; a no-op when borrowed.
  void release(std::size_t first, std::size_t last);
  /// Releases the supports when owned; a no-op when borrowed.
  void release_supports();

 private:
  bool owns_ = false;
  std::vector<InternSnap> owned_snaps_;
  std::vector<std::uint32_t> owned_supports_;
  std::span<const InternSnap> snaps_;
  std::span<const std::uint32_t> supports_;
};

/// The trees of an encoded sample as the kernels read them. Split IDs 0..pendants-1 are the
/// pendant splits, implied in every tree; each tree lists its other IDs in ascending order, with
/// their lengths when kept. snapshot::EncodedSample adds the names and clades.
struct EncodedTrees {
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

  /// Number of trees.
  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  /// Number of split IDs, pendant ones included.
  std::size_t n_splits() const { return supports.size(); }
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
};

}  // namespace brantoveil
