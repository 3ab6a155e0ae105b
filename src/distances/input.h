// What the kernels consume: interned trees and their split supports, owned or borrowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brantoveil::distances {

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

}  // namespace brantoveil::distances
