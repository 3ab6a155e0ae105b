// Column layout: trees as dense rows over frequent splits plus a postings index over rare ones.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "snapshot/intern.h"

namespace brantoveil::distances {

using snapshot::InternSnap;

/// What a kernel consumes: the trees and the per-split supports, owned or borrowed.
/// An owned input lets the layout release each block's records as soon as it is laid out.
class Input {
 public:
  static Input owned(std::vector<InternSnap> snaps, std::vector<std::uint32_t> supports);
  static Input borrowed(std::span<const InternSnap> snaps, std::span<const std::uint32_t> supports);

  std::size_t size() const { return snaps_.size(); }
  bool owns() const { return owns_; }
  std::span<const InternSnap> snaps() const { return snaps_; }
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
